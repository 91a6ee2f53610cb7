// A process for tests to find and kill: sleeps for the given number of seconds (default 60).

#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return 0;
}
