#include "base/os_error.hpp"
#include "base/win32.hpp"
#include "logging/logger.hpp"

namespace vellicor {
namespace {

class FileLineSink final : public LineSink {
 public:
  explicit FileLineSink(win32::UniqueHandle handle) : handle_(std::move(handle)) {}

  Status write_lines(std::string_view lines) override {
    // One WriteFile for all the lines; only a short write continues with the rest.
    while (!lines.empty()) {
      const DWORD chunk =
          lines.size() > 0x40000000 ? DWORD{0x40000000} : static_cast<DWORD>(lines.size());
      DWORD written = 0;
      if (!WriteFile(handle_.get(), lines.data(), chunk, &written, nullptr)) {
        return fail(last_os_io_error());
      }
      if (written == 0) return fail(IoError, kWriteZero);
      lines.remove_prefix(written);
    }
    return {};
  }

 private:
  win32::UniqueHandle handle_;
};

}  // namespace

Result<std::unique_ptr<LineSink>> create_log_file(std::string_view path) {
  // A zero inside the name would end it early and name another file.
  auto wide = win32::wide_path(path);
  if (!wide || path.find('\0') != std::string_view::npos) {
    return fail(os_io_error(ERROR_INVALID_NAME));
  }
  // Append access only: every write goes to the end of the file, after what other runs wrote.
  win32::UniqueHandle handle(CreateFileW(wide->c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) return fail(last_os_io_error());
  return std::make_unique<FileLineSink>(std::move(handle));
}

}  // namespace vellicor
