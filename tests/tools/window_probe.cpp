// A test helper for the Windows build: finds top-level windows by caption, prints what they show
// and operates their buttons, so whole-program tests can read and answer the program's windows.
//
//   window_probe screen
//   window_probe list
//   window_probe find <caption> [timeout ms] [hidden]   first window with that caption
//   window_probe gone <caption> [timeout ms]            waits until no visible one is left
//   window_probe click <caption> <button text | #id> [timeout ms]
//   window_probe post <caption> <message> <wparam> <lparam>
//
// Output is one JSON value on standard output; the exit code is 0 on success, 1 when the window
// or button did not turn up in time, 2 on bad usage.

#include "base/win32.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using vellicor::win32::from_wide;
using vellicor::win32::to_wide;

std::string json_string(const std::wstring& text) {
  const auto utf8 = from_wide(text);
  const std::string& bytes = utf8 ? *utf8 : std::string("<not unicode>");
  std::string out = "\"";
  for (const unsigned char c : bytes) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_rect(const RECT& rect) {
  char out[64];
  std::snprintf(out, sizeof out, "[%ld, %ld, %ld, %ld]", static_cast<long>(rect.left),
                static_cast<long>(rect.top), static_cast<long>(rect.right),
                static_cast<long>(rect.bottom));
  return out;
}

// WM_GETTEXT works across processes, unlike reading the caption of a control directly.
std::wstring window_text(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    return L"";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 2000, &copied);
  text.resize(copied);
  return text;
}

std::wstring class_name(HWND window) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(window, name, 256);
  return std::wstring(name, length > 0 ? length : 0);
}

std::string describe(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(window, &process);
  return "{\"text\": " + json_string(window_text(window)) +
         ", \"class\": " + json_string(class_name(window)) +
         ", \"id\": " + std::to_string(GetDlgCtrlID(window)) +
         ", \"style\": " + std::to_string(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))) +
         ", \"exstyle\": " +
         std::to_string(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE))) +
         ", \"visible\": " + (IsWindowVisible(window) ? "true" : "false") +
         ", \"rect\": " + json_rect(rect) + ", \"process\": " + std::to_string(process) +
         ", \"thread\": " + std::to_string(thread);
}

BOOL CALLBACK collect(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

std::vector<HWND> top_level_windows() {
  std::vector<HWND> windows;
  EnumWindows(collect, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::vector<HWND> children_of(HWND window) {
  std::vector<HWND> children;
  EnumChildWindows(window, collect, reinterpret_cast<LPARAM>(&children));
  return children;
}

std::string describe_with_children(HWND window) {
  std::string out = describe(window) + ", \"children\": [";
  bool first = true;
  for (HWND child : children_of(window)) {
    out += (first ? "" : ", ") + describe(child) + "}";
    first = false;
  }
  return out + "]}";
}

HWND find_window(const std::wstring& caption, bool include_hidden) {
  for (HWND window : top_level_windows()) {
    if (!include_hidden && !IsWindowVisible(window)) continue;
    if (window_text(window) == caption) return window;
  }
  return nullptr;
}

HWND wait_for_window(const std::wstring& caption, DWORD timeout_ms, bool include_hidden) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (HWND window = find_window(caption, include_hidden)) return window;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(20);
  }
}

std::wstring without_accelerator(const std::wstring& text) {
  std::wstring out;
  for (const wchar_t c : text) {
    if (c != L'&') out += c;
  }
  return out;
}

HWND find_button(HWND window, const std::wstring& which) {
  for (HWND child : children_of(window)) {
    if (!which.empty() && which[0] == L'#') {
      if (GetDlgCtrlID(child) == std::wcstol(which.c_str() + 1, nullptr, 0)) return child;
    } else if (class_name(child) == L"Button" && without_accelerator(window_text(child)) == which) {
      return child;
    }
  }
  return nullptr;
}

std::wstring wide(const char* text) {
  const auto converted = to_wide(text);
  return converted ? *converted : std::wstring();
}

DWORD number(int argc, char** argv, int index, DWORD fallback) {
  return index < argc ? static_cast<DWORD>(std::strtoul(argv[index], nullptr, 0)) : fallback;
}

int usage() {
  std::fputs(
      "usage: window_probe screen | list | find <caption> [ms] [hidden] |"
      " gone <caption> [ms] | click <caption> <text|#id> [ms] |"
      " post <caption> <message> <wparam> <lparam>\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "screen") {
    RECT desktop{};
    GetWindowRect(GetDesktopWindow(), &desktop);
    std::printf("{\"desktop\": %s, \"width\": %d, \"height\": %d}\n", json_rect(desktop).c_str(),
                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return 0;
  }
  if (command == "list") {
    std::string out = "[";
    bool first = true;
    for (HWND window : top_level_windows()) {
      out += (first ? "" : ",\n ") + describe(window) + "}";
      first = false;
    }
    std::printf("%s]\n", out.c_str());
    return 0;
  }
  if (argc < 3) return usage();
  const std::wstring caption = wide(argv[2]);
  if (command == "find") {
    const bool hidden = argc > 4 && std::string(argv[4]) == "hidden";
    HWND window = wait_for_window(caption, number(argc, argv, 3, 10000), hidden);
    if (!window) return 1;
    std::printf("%s\n", describe_with_children(window).c_str());
    return 0;
  }
  if (command == "gone") {
    const ULONGLONG deadline = GetTickCount64() + number(argc, argv, 3, 10000);
    while (find_window(caption, false)) {
      if (GetTickCount64() >= deadline) return 1;
      Sleep(20);
    }
    return 0;
  }
  if (command == "click" && argc >= 4) {
    HWND window = wait_for_window(caption, number(argc, argv, 4, 10000), false);
    HWND button = window ? find_button(window, wide(argv[3])) : nullptr;
    if (!button) return 1;
    std::printf("%s}\n", describe(button).c_str());
    std::fflush(stdout);
    // Posted rather than sent: the click may end the other program before a reply could come.
    PostMessageW(button, BM_CLICK, 0, 0);
    return 0;
  }
  if (command == "post" && argc >= 6) {
    HWND window = find_window(caption, true);
    if (!window) return 1;
    PostMessageW(window, number(argc, argv, 3, 0), number(argc, argv, 4, 0),
                 static_cast<LPARAM>(number(argc, argv, 5, 0)));
    return 0;
  }
  return usage();
}
