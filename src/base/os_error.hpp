#pragma once
// The system's texts for its error codes, and the errors built from them.

#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

// The calling thread's last error code (GetLastError on Windows, errno on POSIX). Read it
// directly after the failed call.
int last_os_error_code();
// Sets it, as a failed call would (a simulated failure: fails_simulated).
void set_last_os_error_code(int code);

// What stands for the system's message where it has none for a code.
inline constexpr const char* kUnknownOsError = "unknown error";

// The system's message for an error code, exactly as the system gives it (on Windows with its
// trailing line break), or "unknown error" when it has none. Fails with "Could not convert from
// utf16" when the system's text is not valid UTF-16.
[[nodiscard]] Result<std::string> os_error_text(int code);

// What an error code of the platform means to this program. Each platform maps its codes in one
// table (os_error_posix.cpp, os_error_win32.cpp), as LLVM's mapWindowsError maps Windows' codes
// once: the kinds that os_io_error and error_with_os_text give, is_out_of_open_files,
// is_not_found and flush_not_supported all read it, and no other place tells these codes apart.
enum class OsErrorMeaning {
  Other,         // an I/O error (IoError), which a wait may mend: another program's lock or share
  NotFound,      // nothing at the path, or a folder on the way to it missing
  OutOfHandles,  // no file or handle left to the process or the system: final
  NoFlushHere,   // a flush's answer that the file system keeps no flush for the entry
};
OsErrorMeaning os_error_meaning(int code);

// A row of a platform's table: a code, and what it means; every code without a row is Other.
struct OsErrorRow {
  int code;
  OsErrorMeaning meaning;
};
// The platform's table (os_error_posix.cpp, os_error_win32.cpp).
std::span<const OsErrorRow> os_error_table();

// A process that runs out of open files (descriptors, handles) is not waiting for another
// program's lock: no wait gives it one back while it holds what it holds. The errors of such a
// code are final (ErrorKind::is_final), with the texts of the kinds they stand for.
inline constexpr ErrorKind TooManyOpenFilesError{
    "TooManyOpenFilesError", "", ErrorKind::Text::StartsMessage, ErrorKind::Retry::Final};
// Whether the platform's error code says that the process or the system has no file to open
// any more (OsErrorMeaning::OutOfHandles).
bool is_out_of_open_files(int code);

// An IoError for a platform error code: the system's message without its trailing line break
// (or "unknown error") and the code, displayed as "<message> (os error <code>)".
Error os_io_error(int code);

// The same for the calling thread's last error. Call it directly after the failed call.
Error last_os_io_error();

// The system's message for the calling thread's last error, as os_error_text gives it. Call it
// right after the failed system call.
[[nodiscard]] Result<std::string> last_os_error_text();

// An error whose text is `prefix` followed by last_os_error_text(); when that lookup fails, its
// own error instead. Call it right after the failed system call. Both are TooManyOpenFilesError
// for a code of is_out_of_open_files.
Error error_with_os_text(std::string_view prefix);

// The same two for a flush that failed: errors of the final kind FlushError. Call them right
// after the failed call.
Error last_os_flush_error();
Error flush_error_with_os_text(std::string_view prefix);

// True when the error says that nothing is at the path (OsErrorMeaning::NotFound).
bool is_not_found(const Error& error);

}  // namespace vellicor
