#pragma once
// I/O errors built from the platform's error codes.

#include "base/error.hpp"

namespace vellicor {

// An Io error for a platform error code: the system's message (without a trailing line break)
// and the code, displayed as "<message> (os error <code>)".
Error os_io_error(int code);

// The same for the calling thread's last error (GetLastError on Windows, errno on POSIX).
// Call it directly after the failed call.
Error last_os_io_error();

// True when the error says that nothing is at the path (on Windows a missing file or a missing
// folder on the way to it, on POSIX ENOENT).
bool is_not_found(const Error& error);

}  // namespace vellicor
