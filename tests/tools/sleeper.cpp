// A process for tests to find, kill, or have hold a file open:
//   sleeper [seconds] [file to hold open, or -] [file to create once running]
// Sleeps for the given number of seconds (default 60). A held file is opened for reading with
// full sharing (read, write and delete on Windows), the way a virus scanner or an editor
// might. The last file tells a test that the process is up and running its own code.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif

namespace {

bool hold_open(const char* path) {
#ifdef _WIN32
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle != INVALID_HANDLE_VALUE;
#else
  return open(path, O_RDONLY) >= 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  if (argc > 2 && std::string(argv[2]) != "-" && !hold_open(argv[2])) return 2;
  if (argc > 3) std::ofstream(argv[3]) << "running\n";
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return 0;
}
