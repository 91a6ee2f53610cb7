#pragma once
// The progress window, which runs on a thread of its own, and the program's one message box.

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/one_value_channel.hpp"

namespace vellicor {

// Every message box the program shows carries the product name as its caption.
inline constexpr std::string_view kMessageBoxCaption = "Vellicor";

enum class MessageBoxButtons { Ok, RetryCancel };

enum class MessageBoxAnswer { None, Abort, Cancel, Continue, Ignore, No, Ok, Retry, TryAgain, Yes };

// Shows a system-modal error box without owner and waits for the user's answer. A box that
// cannot be shown answers None, which callers treat like Cancel.
MessageBoxAnswer show_message_box(std::string_view text, std::string_view caption,
                                  MessageBoxButtons buttons);

// The Win32 style of the box: system-modal with the error icon, plus the buttons.
uint32_t message_box_style(MessageBoxButtons buttons);

// What a Win32 message box result means; 0 (the box failed) and unknown results are None.
MessageBoxAnswer message_box_answer(int result);

using ThreadIdSender = OneValueSender<uint32_t>;

// The whole body of the progress thread: shows the progress window (hidden when silent), sends
// the thread's id once the window is initialised, and returns when a quit is posted to that id.
// The sender is released on return, so a window that never came up closes the channel.
void run_progress_dialog(bool silent, ThreadIdSender id_sender);

// Starts a detached thread running run_progress_dialog and waits for its id; nothing when the
// window could not be brought up (or the thread not started).
[[nodiscard]] std::optional<uint32_t> start_progress_thread(bool silent);

// Asks the progress thread with this id to close its window and end. Posting to a thread that
// is gone does nothing.
void post_quit_to_thread(uint32_t thread_id);

// Tells the progress window of the thread with this id that the update is over: from then on
// it lets the session end and no longer gives the reason that blocked it. Returns once the
// window has taken it in; a thread without a window is left alone.
void end_shutdown_block(uint32_t thread_id);

// Where a window of the given outer size goes to be centred on the desktop: by the desktop's
// right and bottom edges only, each half truncated toward zero.
struct WindowPosition {
  int x;
  int y;
  friend bool operator==(const WindowPosition&, const WindowPosition&) = default;
};
WindowPosition centred_window_position(int desktop_right, int desktop_bottom, int width,
                                       int height);

}  // namespace vellicor
