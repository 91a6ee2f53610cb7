#include "base/win32.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "main/logon_resume.hpp"

// The registration is a value of the user's Run key, which Windows runs at every logon of the
// user until the value is removed (the RunOnce key would drop it before the run, which may
// itself be cut short). A 32-bit program reaches the same key as a 64-bit one: HKCU\Software
// is not redirected under WoW64.

namespace vellicor {
namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr std::string_view kRunKeyText =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Microsoft documents the data of a Run value as a command line of at most 260 characters.
constexpr size_t kLongestCommand = 260;

class RegistryKey {
 public:
  explicit RegistryKey(HKEY key) : key_(key) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() { RegCloseKey(key_); }
  HKEY get() const { return key_; }

 private:
  HKEY key_;
};

std::string value_name(std::string_view root) {
  return "Vellicor update " + path_key(root);
}

Result<std::unique_ptr<RegistryKey>> open_run_key(bool create, REGSAM access) {
  HKEY key = nullptr;
  const LSTATUS status = create ? RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, access,
                                                  nullptr, &key, nullptr)
                                : RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, access, &key);
  if (status != ERROR_SUCCESS) return fail(os_io_error(static_cast<int>(status)));
  return std::make_unique<RegistryKey>(key);
}

// True when the value holds `data` as this program writes it, terminating zero included.
bool holds(HKEY key, const std::wstring& name, const std::wstring& data) {
  wchar_t existing[kLongestCommand + 2] = {};
  DWORD bytes = sizeof existing;
  DWORD type = 0;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(existing),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;  // none, another kind, or longer than any of ours
  }
  return std::wstring_view(existing, bytes / sizeof(wchar_t)) ==
         std::wstring_view(data.c_str(), data.size() + 1);
}

}  // namespace

uint32_t logon_settle_milliseconds() {
  return 30'000;
}

std::optional<std::string> why_others_could_replace(std::string_view executable) {
  auto temp = temp_directory();
  auto resolved = temp ? resolve_path(*temp) : temp;
  if (resolved && first_name_below(*resolved, executable)) {
    return "it lies in the temporary folder " + *resolved;
  }
  return std::nullopt;
}

Result<std::string> updater_executable() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return fail(last_os_io_error());
    if (length < buffer.size()) {
      auto path = win32::from_wide(std::wstring_view(buffer.data(), length));
      if (!path) return fail(path.error());
      return resolve_path(*path);
    }
    // Cut short: the path is longer than the buffer.
    buffer.resize(buffer.size() * 2);
  }
}

Result<std::string> logon_registration_place(std::string_view root) {
  return std::string(kRunKeyText) + "\\" + value_name(root);
}

std::optional<std::string> why_not_runnable_at_logon(const std::vector<std::string>& command) {
  const std::string line = windows_command_line(command);
  auto data = win32::to_wide(line);
  if (!data) return data.error().display_text();
  if (data->size() > kLongestCommand) {
    return "Windows runs no command longer than 260 characters at logon: " + line;
  }
  return std::nullopt;
}

Status register_at_logon(std::string_view root, const std::vector<std::string>& command) {
  if (const auto unrunnable = why_not_runnable_at_logon(command)) return fail_other(*unrunnable);
  const std::string line = windows_command_line(command);
  auto data = win32::to_wide(line);
  if (!data) return fail(data.error());
  auto name = win32::to_wide(value_name(root));
  if (!name) return fail(name.error());
  auto key = open_run_key(true, KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key) return fail(key.error());
  // A run at logon finds its own value there already. Programs started from the Run key are
  // asked not to write to it while they run (it would disturb the start of the others).
  if (holds((*key)->get(), *name, *data)) return {};
  const auto bytes = static_cast<DWORD>((data->size() + 1) * sizeof(wchar_t));
  LSTATUS status = RegSetValueExW((*key)->get(), name->c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(data->c_str()), bytes);
  if (status != ERROR_SUCCESS) return fail(os_io_error(static_cast<int>(status)));
  // Without the flush the system writes the key out within seconds, which a power cut
  // right after the first delete would not wait for.
  status = RegFlushKey((*key)->get());
  if (status != ERROR_SUCCESS) {
    // A registration reported as failed leaves no value behind.
    RegDeleteValueW((*key)->get(), name->c_str());
    return fail(os_io_error(static_cast<int>(status)));
  }
  return {};
}

Result<bool> unregister_at_logon(std::string_view root) {
  auto name = win32::to_wide(value_name(root));
  if (!name) return fail(name.error());
  // RegFlushKey needs KEY_QUERY_VALUE.
  auto key = open_run_key(false, KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key) {
    if (is_not_found(key.error())) return false;
    return fail(key.error());
  }
  LSTATUS status = RegDeleteValueW((*key)->get(), name->c_str());
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status == ERROR_SUCCESS) status = RegFlushKey((*key)->get());
  if (status != ERROR_SUCCESS) return fail(os_io_error(static_cast<int>(status)));
  return true;
}

}  // namespace vellicor
