#pragma once
// A program run to its end by a benchmark, with its output thrown away.

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace bench_support {

// The peak resident size of a process, in KiB, from /proc: its own memory since its exec.
inline long peak_resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// Runs a program to its end with its output thrown away; gives its peak resident size in KiB.
// The process is traced so that it stops on its way out, while its memory is still there to be
// read (the exit status's rusage would count this big benchmark process that forked it).
inline long run_process(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  long peak = -1;
  waitpid(pid, &status, 0);  // stopped at its exec
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
  ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  for (;;) {
    if (waitpid(pid, &status, 0) != pid) abort();
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    int signal_to_pass = 0;
    if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      peak = peak_resident_kib(pid);
    } else if (WSTOPSIG(status) != SIGTRAP) {
      signal_to_pass = WSTOPSIG(status);
    }
    ptrace(PTRACE_CONT, pid, nullptr, signal_to_pass);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) abort();
  return peak;
}

}  // namespace bench_support
