#include "main/dump.hpp"

#include <string>

#include "base/console.hpp"
#include "base/hex.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {

int dump_uninstall_log(std::string_view path) {
  const auto summary = summarize_uninstall_log(path);
  if (!summary) {
    write_stderr(summary.error().display_text() + "\n");
    return 1;
  }
  // The lines come in ascending type order, all in one write.
  std::string report = header_text(summary->header) + "\n";
  const auto& counts = summary->records_per_type;
  for (size_t typ = 0; typ < counts.size(); ++typ) {
    if (counts[typ] == 0) continue;
    report += "Records 0x" + lower_hex(typ) + " " + std::to_string(counts[typ]) + "\n";
  }
  write_stdout(report);
  return 0;
}

}  // namespace vellicor
