#include "main/command_line.hpp"

namespace vellicor {

Mode choose_mode(const std::vector<std::string>& args) {
  // Any other count of arguments is the check's bad usage.
  if (args.size() >= 2 && args[1] == "--check") return Mode::Check;
  if (args.size() == 3) {
    if (args[1] == "--parse") return Mode::Dump;
    if (args[1] == "--error") return Mode::FailureBoxDemo;
  } else if (args.size() == 2) {
    if (args[1] == "--gui") return Mode::ProgressWindowDemo;
    if (args[1] == "--retry-simulation") return Mode::RetrySimulation;
    if (args[1] == "-v" || args[1] == "--version") return Mode::Version;
  }
  return Mode::Positional;
}

std::vector<std::string> remove_double_dash_arguments(const std::vector<std::string>& args) {
  std::vector<std::string> kept;
  for (const auto& arg : args) {
    if (!arg.starts_with("--")) kept.push_back(arg);
  }
  return kept;
}

std::string log_file_name(uint64_t unix_seconds) {
  return "vellicor-updater-" + std::to_string(unix_seconds) + ".log";
}

std::string version_line() {
  return "Vellicor Update v" + std::string(kVersion) + "\n";
}

}  // namespace vellicor
