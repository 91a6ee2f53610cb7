#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <map>
#include <string>

#include "base/console.hpp"
#include "base/thread.hpp"
#include "gui/gui.hpp"

namespace vellicor {
namespace {

constexpr std::string_view kProgressText = "Updating Vellicor...";
constexpr std::array<char, 4> kSpinnerFrames = {'|', '/', '-', '\\'};
constexpr uint32_t kFrameIntervalMs = 100;
constexpr std::string_view kClearLine = "\r\x1b[K";

// What the progress threads and the message boxes share: the quits posted to each progress
// thread, and standard error, where a box's text must not be torn by the spinner.
struct Screen {
  Mutex mutex;
  ConditionVariable changed;
  std::map<uint32_t, bool> quit_posted;  // progress thread id -> quit posted
  int boxes_open = 0;
  bool spinner_shown = false;  // the cursor stands at the end of a spinner line
};

Screen& screen() {
  // Never destroyed: a detached progress thread may still use it while the process exits.
  static Screen* const instance = new Screen;
  return *instance;
}

void clear_spinner_line(Screen& state) {
  if (!state.spinner_shown) return;
  write_stderr(kClearLine);
  state.spinner_shown = false;
}

class Terminal {
 public:
  Terminal() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)) {}
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  ~Terminal() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool available() const { return fd_ >= 0; }

  void write(std::string_view text) const {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_, text.data(), text.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      text.remove_prefix(static_cast<size_t>(written));
    }
  }

  // One line, lower-cased and without surrounding blanks; nothing at end of input or on error.
  std::optional<std::string> read_line() const {
    constexpr size_t kKeep = 64;  // an answer is a word; the rest of a long line is dropped
    std::string line;
    for (;;) {
      char c = 0;
      const ssize_t got = ::read(fd_, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      if (c == '\n') break;
      if (line.size() < kKeep)
        line.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    const auto last = line.find_last_not_of(" \t\r");
    return line.substr(first, last - first + 1);
  }

 private:
  int fd_;
};

MessageBoxAnswer ask(const Terminal& terminal, MessageBoxButtons buttons) {
  if (buttons == MessageBoxButtons::Ok) {
    terminal.write("Press Enter to close. ");
    return terminal.read_line() ? MessageBoxAnswer::Ok : MessageBoxAnswer::None;
  }
  for (;;) {
    terminal.write("[R]etry or [C]ancel? ");
    const auto line = terminal.read_line();
    if (!line) return MessageBoxAnswer::None;
    if (*line == "r" || *line == "retry") return MessageBoxAnswer::Retry;
    if (*line == "c" || *line == "cancel") return MessageBoxAnswer::Cancel;
  }
}

}  // namespace

void run_progress_dialog(bool silent, ThreadIdSender id_sender) {
  Screen& state = screen();
  const auto id = static_cast<uint32_t>(gettid());
  const bool draw = !silent && stderr_is_terminal();
  {
    // Registered before the id goes out, so a quit posted at once is not lost.
    MutexLock lock(state.mutex);
    state.quit_posted[id] = false;
  }
  id_sender.send(id);
  MutexLock lock(state.mutex);
  for (size_t frame = 0; !state.quit_posted[id]; ++frame) {
    if (draw && state.boxes_open == 0) {
      write_stderr(std::string("\r") + kSpinnerFrames[frame % kSpinnerFrames.size()] + " " +
                   std::string(kProgressText));
      state.spinner_shown = true;
    }
    state.changed.wait_for(state.mutex, kFrameIntervalMs);
  }
  if (draw) clear_spinner_line(state);
  state.quit_posted.erase(id);
}

void post_quit_to_thread(uint32_t thread_id) {
  Screen& state = screen();
  {
    MutexLock lock(state.mutex);
    const auto found = state.quit_posted.find(thread_id);
    if (found == state.quit_posted.end()) return;
    found->second = true;
  }
  state.changed.notify_all();
}

// The spinner holds nothing back: the end of a session reaches a POSIX program as signals,
// whatever it shows.
void end_shutdown_block(uint32_t) {}

MessageBoxAnswer show_message_box(std::string_view text, std::string_view caption,
                                  MessageBoxButtons buttons) {
  Screen& state = screen();
  {
    MutexLock lock(state.mutex);
    ++state.boxes_open;
    clear_spinner_line(state);
    write_stderr(std::string(caption) + "\n\n" + std::string(text) + "\n");
  }
  MessageBoxAnswer answer = MessageBoxAnswer::None;
  if (const Terminal terminal; terminal.available()) answer = ask(terminal, buttons);
  {
    MutexLock lock(state.mutex);
    --state.boxes_open;
  }
  return answer;
}

}  // namespace vellicor
