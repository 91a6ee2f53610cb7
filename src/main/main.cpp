// The program's entry: split the command line and run the chosen mode.

#include "base/console.hpp"
#include "base/file.hpp"
#include "main/command_line.hpp"
#include "main/entry.hpp"
#include "main/hardening.hpp"

int main(int argc, char** argv) {
  vellicor::harden_library_search();
  // Once, before anything is opened: an update holds every old file and every staged top-level
  // file open at once, and only past the hard limit is running out final.
  vellicor::raise_open_file_limit();
  auto args = vellicor::command_line_arguments(argc, argv);
  if (!args) {
    vellicor::write_stderr("Error: " + args.error().display_text() + "\n");
    return 1;
  }
  return vellicor::run_entry_point(*args);
}
