#include "base/win32.hpp"
// Only after windows.h: the common controls header needs its types.
#include <commctrl.h>

#include <string_view>

#include "gui/gui.hpp"

namespace vellicor {
namespace {

constexpr WORD kProgressDialogTemplate = 1001;
constexpr int kProgressBarId = 10001;
constexpr std::string_view kShutdownBlockReason = "Vellicor is updating...";

// The dialog's own state, in its DWLP_USER slot.
constexpr LONG_PTR kStaysHidden = 1;
constexpr LONG_PTR kUpdateOver = 2;

// Sent by end_shutdown_block: the update is over, the session may end.
constexpr UINT kEndShutdownBlock = WM_APP + 1;
constexpr UINT kEndShutdownBlockTimeoutMs = 5000;

// Lives on the dialog thread's stack for the whole life of the dialog.
struct ProgressDialogStart {
  ThreadIdSender id_sender;
  bool silent;
};

void centre_and_raise(HWND dialog) {
  RECT window{};
  RECT desktop{};
  GetWindowRect(dialog, &window);
  GetWindowRect(GetDesktopWindow(), &desktop);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  const WindowPosition position =
      centred_window_position(desktop.right, desktop.bottom, width, height);
  SetWindowPos(dialog, HWND_TOPMOST, position.x, position.y, width, height, 0);
}

void on_init_dialog(HWND dialog, ProgressDialogStart& start) {
  if (start.silent) {
    ShowWindow(dialog, SW_HIDE);
    // The modal loop shows a hidden dialog once its queue first runs empty; the flag lets
    // WM_WINDOWPOSCHANGING refuse that, so a silent run really shows nothing.
    SetWindowLongPtrW(dialog, DWLP_USER, kStaysHidden);
  } else {
    SendDlgItemMessageW(dialog, kProgressBarId, PBM_SETMARQUEE, 1, 0);
    centre_and_raise(dialog);
  }
  start.id_sender.send(static_cast<uint32_t>(GetCurrentThreadId()));
  if (const auto reason = win32::to_wide(kShutdownBlockReason)) {
    ShutdownBlockReasonCreate(dialog, reason->c_str());
  }
}

bool has_flag(HWND dialog, LONG_PTR flag) {
  return (GetWindowLongPtrW(dialog, DWLP_USER) & flag) != 0;
}

// Windows (Vista and later, as Microsoft documents it) closes an application that agrees to end
// the session whatever block reason it has registered, so while the update runs the dialog
// refuses. With its registered reason a refusal keeps the session even for a hidden window
// (without one, a program without visible windows is ended anyway) until the user forces the
// end; then the next logon finishes the update.
INT_PTR on_query_end_session(HWND dialog) {
  if (has_flag(dialog, kUpdateOver)) return FALSE;  // the default handling agrees
  SetWindowLongPtrW(dialog, DWLP_MSGRESULT, FALSE);
  return TRUE;
}

// Handles no command, so no command, Escape, Enter or Alt+F4 ends the dialog: only the quit
// message posted to its thread does.
INT_PTR CALLBACK progress_dialog_proc(HWND dialog, UINT message, WPARAM, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      on_init_dialog(dialog, *reinterpret_cast<ProgressDialogStart*>(lparam));
      return 0;  // the dialog manager does not set the focus
    case WM_WINDOWPOSCHANGING:
      if (has_flag(dialog, kStaysHidden)) {
        reinterpret_cast<WINDOWPOS*>(lparam)->flags &= ~SWP_SHOWWINDOW;
      }
      return 0;
    case WM_QUERYENDSESSION:
      return on_query_end_session(dialog);
    case kEndShutdownBlock:
      SetWindowLongPtrW(dialog, DWLP_USER, GetWindowLongPtrW(dialog, DWLP_USER) | kUpdateOver);
      ShutdownBlockReasonDestroy(dialog);
      return TRUE;
    case WM_DESTROY:
      ShutdownBlockReasonDestroy(dialog);
      return 0;
    default:
      return 0;
  }
}

BOOL CALLBACK end_block_of_window(HWND window, LPARAM) {
  // The dialog's own thread takes it in, since only the thread that made a window may remove
  // its block reason; the system's windows of that thread (an input method's) are left alone.
  // The wait is bounded, so a window that no longer answers cannot hold the caller.
  wchar_t name[16] = {};
  if (GetClassNameW(window, name, 16) == 0 || std::wstring_view(name) != L"#32770") return TRUE;
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, kEndShutdownBlock, 0, 0, SMTO_NORMAL, kEndShutdownBlockTimeoutMs,
                      &result);
  return TRUE;
}

}  // namespace

void run_progress_dialog(bool silent, ThreadIdSender id_sender) {
  // The progress bar's class is registered before the dialog creates one, as the common
  // controls' documentation requires of an application. Should that fail, the dialog still
  // comes up (DS_NOFAILCREATE), only without its bar.
  const INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&classes);
  ProgressDialogStart start{std::move(id_sender), silent};
  // A WM_QUIT ends the modal loop and destroys the window; the result says nothing more.
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kProgressDialogTemplate), nullptr,
                  progress_dialog_proc, reinterpret_cast<LPARAM>(&start));
}

void post_quit_to_thread(uint32_t thread_id) {
  PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
}

void end_shutdown_block(uint32_t thread_id) {
  EnumThreadWindows(thread_id, end_block_of_window, 0);
}

MessageBoxAnswer show_message_box(std::string_view text, std::string_view caption,
                                  MessageBoxButtons buttons) {
  const auto wide_text = win32::to_wide(text);
  const auto wide_caption = win32::to_wide(caption);
  if (!wide_text || !wide_caption) return MessageBoxAnswer::None;
  return message_box_answer(
      MessageBoxW(nullptr, wide_text->c_str(), wide_caption->c_str(), message_box_style(buttons)));
}

}  // namespace vellicor
