#include "base/console.hpp"
#include "base/win32.hpp"

namespace vellicor {
namespace {

void write_handle(DWORD which, std::string_view text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = text.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(text.size());
    if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

}  // namespace

void write_stdout(std::string_view text) {
  write_handle(STD_OUTPUT_HANDLE, text);
}
void write_stderr(std::string_view text) {
  write_handle(STD_ERROR_HANDLE, text);
}

bool stderr_is_terminal() {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

}  // namespace vellicor
