#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/win32.hpp"
// Only after windows.h: the common controls header needs its types.
#include <commctrl.h>

#include "gui/gui.hpp"

// This test program carries the product's resources (dialog 1001 and the manifest), so the
// progress window it opens is the real one.

namespace vellicor {
namespace {

using win32::UniqueHandle;

constexpr DWORD kWaitMs = 10000;

std::wstring text_of(HWND window) {
  wchar_t text[256] = {};
  const int length = GetWindowTextW(window, text, 256);
  return std::wstring(text, length > 0 ? length : 0);
}

std::wstring class_of(HWND window) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(window, name, 256);
  return std::wstring(name, length > 0 ? length : 0);
}

BOOL CALLBACK collect(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

HWND dialog_of_thread(uint32_t thread_id) {
  std::vector<HWND> windows;
  EnumThreadWindows(thread_id, collect, reinterpret_cast<LPARAM>(&windows));
  for (HWND window : windows) {
    if (class_of(window) == L"#32770") return window;
  }
  return nullptr;
}

template <class Predicate>
bool eventually(Predicate predicate) {
  const ULONGLONG deadline = GetTickCount64() + kWaitMs;
  while (!predicate()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(10);
  }
  return true;
}

// Opened before the quit is posted, so the handle cannot name a later thread with the same id.
UniqueHandle open_thread(uint32_t thread_id) {
  return UniqueHandle(OpenThread(SYNCHRONIZE, FALSE, thread_id));
}

bool ended(const UniqueHandle& thread) {
  return WaitForSingleObject(thread.get(), kWaitMs) == WAIT_OBJECT_0;
}

TEST(ProgressWindowWin32Test, ShowsTheCentredTopmostDialogUntilTheQuitArrives) {
  const auto id = start_progress_thread(false);
  ASSERT_TRUE(id);
  const UniqueHandle thread = open_thread(*id);
  ASSERT_TRUE(thread.valid());
  HWND dialog = dialog_of_thread(*id);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(eventually([&] { return IsWindowVisible(dialog) != FALSE; }));

  EXPECT_EQ(text_of(dialog), L"Zephrane");
  EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_FALSE(GetWindowLongW(dialog, GWL_STYLE) & WS_SYSMENU);
  RECT window{};
  RECT desktop{};
  GetWindowRect(dialog, &window);
  GetWindowRect(GetDesktopWindow(), &desktop);
  const auto expected = centred_window_position(
      desktop.right, desktop.bottom, window.right - window.left, window.bottom - window.top);
  EXPECT_EQ(window.left, expected.x);
  EXPECT_EQ(window.top, expected.y);

  HWND bar = GetDlgItem(dialog, 10001);
  ASSERT_NE(bar, nullptr) << "the progress bar class was not available";
  EXPECT_EQ(class_of(bar), L"msctls_progress32");
  EXPECT_TRUE(GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE);
  std::vector<HWND> children;
  EnumChildWindows(dialog, collect, reinterpret_cast<LPARAM>(&children));
  bool label_found = false;
  for (HWND child : children)
    label_found |= text_of(child) == L"Updating Vellicor...";
  EXPECT_TRUE(label_found);

  // Nothing the user can do closes it.
  PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(IsWindow(dialog));

  post_quit_to_thread(*id);
  EXPECT_TRUE(ended(thread));
  EXPECT_FALSE(IsWindow(dialog));
}

TEST(ProgressWindowWin32Test, SilentDialogStaysHiddenYetSendsItsId) {
  const auto id = start_progress_thread(true);
  ASSERT_TRUE(id);
  const UniqueHandle thread = open_thread(*id);
  HWND dialog = dialog_of_thread(*id);
  ASSERT_NE(dialog, nullptr);
  // Long enough for the modal loop to go idle, when a dialog manager shows hidden dialogs.
  Sleep(500);
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_FALSE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
  post_quit_to_thread(*id);
  EXPECT_TRUE(ended(thread));
}

TEST(ProgressWindowWin32Test, AQuitPostedAtOnceEndsTheDialog) {
  for (int round = 0; round < 5; ++round) {
    const auto id = start_progress_thread(false);
    ASSERT_TRUE(id);
    const UniqueHandle thread = open_thread(*id);
    post_quit_to_thread(*id);
    EXPECT_TRUE(ended(thread)) << "round " << round;
  }
}

}  // namespace
}  // namespace vellicor
