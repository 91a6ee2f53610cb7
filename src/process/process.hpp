#pragma once
// Running processes: listing them, killing one whose image is a given executable, starting one
// detached.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace vellicor {

class Logger;

// One running process as the system's snapshot reports it.
struct ProcessEntry {
  std::string name;  // the executable's file name, without directory
  uint32_t pid = 0;
  friend bool operator==(const ProcessEntry&, const ProcessEntry&) = default;
};

// Every running process, in the order the system enumerates them. A copy: processes may end
// before it is used.
[[nodiscard]] Result<std::vector<ProcessEntry>> list_processes();

// Terminates the process only when its image path names the same file as `expected_path`
// (names_same_file). Success means "killed" or "not that executable"; the log tells which.
// Does not wait for the process to end.
[[nodiscard]] Status kill_process_if_found(Logger& logger, const ProcessEntry& entry,
                                           std::string_view expected_path);

// Whether a process's image path names the file at `expected_path`, however either is spelled:
// equal as given or as resolved (resolve_path), component by component, names compared as the
// file system compares them (on Windows without regard to letter case); where the strings
// differ, the files' identities decide (a link or a hard link to the file is that file). The
// image path of a process is spelled as the process was started (Windows), so it need not be
// the resolved one.
bool names_same_file(std::string_view image_path, std::string_view expected_path);

// Starts `executable` without arguments in `folder`, as the same user, detached from this
// program (its own session or process group, no standard handles of ours), and gives its
// process id; this program does not wait for it. Fails with the system's error of starting it.
[[nodiscard]] Result<uint32_t> start_detached(std::string_view executable, std::string_view folder);

}  // namespace vellicor
