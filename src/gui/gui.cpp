#include "gui/gui.hpp"

#include <utility>

#include "base/thread.hpp"

namespace vellicor {
namespace {

constexpr uint32_t kSystemModalErrorIcon = 0x1000 | 0x0010;  // MB_SYSTEMMODAL | MB_ICONHAND
constexpr uint32_t kOkButton = 0x0;                          // MB_OK
constexpr uint32_t kRetryCancelButtons = 0x5;                // MB_RETRYCANCEL

}  // namespace

uint32_t message_box_style(MessageBoxButtons buttons) {
  switch (buttons) {
    case MessageBoxButtons::Ok:
      return kSystemModalErrorIcon | kOkButton;
    case MessageBoxButtons::RetryCancel:
      return kSystemModalErrorIcon | kRetryCancelButtons;
  }
  return kSystemModalErrorIcon | kOkButton;
}

MessageBoxAnswer message_box_answer(int result) {
  switch (result) {
    case 1:  // IDOK
      return MessageBoxAnswer::Ok;
    case 2:  // IDCANCEL
      return MessageBoxAnswer::Cancel;
    case 3:  // IDABORT
      return MessageBoxAnswer::Abort;
    case 4:  // IDRETRY
      return MessageBoxAnswer::Retry;
    case 5:  // IDIGNORE
      return MessageBoxAnswer::Ignore;
    case 6:  // IDYES
      return MessageBoxAnswer::Yes;
    case 7:  // IDNO
      return MessageBoxAnswer::No;
    case 10:  // IDTRYAGAIN
      return MessageBoxAnswer::TryAgain;
    case 11:  // IDCONTINUE
      return MessageBoxAnswer::Continue;
    default:  // 0 (the box failed), IDCLOSE, IDHELP and anything unknown
      return MessageBoxAnswer::None;
  }
}

std::optional<uint32_t> start_progress_thread(bool silent) {
  auto [sender, receiver] = make_one_value_channel<uint32_t>();
  auto thread = Thread::start([silent, sender = std::move(sender)]() mutable {
    run_progress_dialog(silent, std::move(sender));
  });
  // Never joined: the quit posted to it or the end of the process ends it. A thread that did
  // not start took the sender with it, which closes the channel.
  if (thread) thread->detach();
  return receiver.receive();
}

WindowPosition centred_window_position(int desktop_right, int desktop_bottom, int width,
                                       int height) {
  // C++ division truncates toward zero, which is the rule the window placement follows.
  return {desktop_right / 2 - width / 2, desktop_bottom / 2 - height / 2};
}

}  // namespace vellicor
