#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/name_volume.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace vellicor::testing_support {
namespace {

using namespace std::chrono_literals;

constexpr size_t kUpcaseUnits = 65536;
constexpr uintmax_t kImageBytes = 8u << 20;  // mkntfs formats this size in well under a second

// A program of ntfs-3g by name: on the PATH, or in the system folders that a user's PATH may
// leave out (Debian puts mkntfs in /usr/sbin).
std::optional<std::string> find_tool(const std::string& name) {
  std::string folders = "/usr/sbin:/sbin:/usr/bin:/bin";
  if (const char* path = std::getenv("PATH")) folders = std::string(path) + ":" + folders;
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

// Starts `argv` with standard input from /dev/null, standard output to `output` (/dev/null when
// empty) and standard error to /dev/null; -1 when it cannot be started. The child is sent
// SIGTERM if this process ends first (a crash, a kill at a timeout): lowntfs-3g then unmounts
// its volume and ends (measured here), so that not even a test that dies leaves a mount behind.
pid_t start(const std::vector<std::string>& argv, const std::string& output = "") {
  std::vector<char*> pointers;
  for (const auto& arg : argv)
    pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  const char* out = output.empty() ? "/dev/null" : output.c_str();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here on: the test process may have threads.
  if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(127);
  const int in_fd = open("/dev/null", O_RDONLY);
  const int out_fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err_fd = open("/dev/null", O_WRONLY);
  if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
      dup2(err_fd, 2) < 0) {
    _exit(127);
  }
  execve(pointers[0], pointers.data(), environ);
  _exit(127);
}

bool run(const std::vector<std::string>& argv, const std::string& output = "") {
  const pid_t pid = start(argv, output);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// A freshly formatted NTFS image in `folder`; nothing, with the reason, when it cannot be made.
std::optional<std::string> format_image(const TempDir& folder, std::string& why_not) {
  const auto mkntfs = find_tool("mkntfs");
  if (!mkntfs) {
    why_not = "mkntfs (ntfs-3g) is not installed";
    return std::nullopt;
  }
  const std::string image = folder.at("ntfs.img");
  std::ofstream{image};
  std::error_code error;
  std::filesystem::resize_file(image, kImageBytes, error);
  if (error || !run({*mkntfs, "-F", "-Q", image})) {
    why_not = "mkntfs could not format an image";
    return std::nullopt;
  }
  return image;
}

// A FUSE mount whose driver has ended answers ENOTCONN: still a mount point.
bool is_mount_point(const std::string& path, const std::string& parent) {
  struct stat inner {};
  struct stat outer {};
  if (stat(path.c_str(), &inner) != 0) return errno == ENOTCONN;
  return stat(parent.c_str(), &outer) == 0 && inner.st_dev != outer.st_dev;
}

// The image mounted with lowntfs-3g -o ignore_case, with which "FOO, Foo, foo, etc. designate
// the same file" (ntfs-3g(8)); which other names it takes for one follows the volume's $UpCase
// (measured here: every pair of tests/base/path_test.cpp). The driver runs in the foreground
// (no_detach) as this process's child, so that it is reaped here once the volume is unmounted.
class NtfsMount : public NameVolume {
 public:
  ~NtfsMount() override { unmount(); }

  bool mount(const std::string& driver, const std::string& image) {
    std::filesystem::create_directory(mount_point_);
    driver_ = start({driver, "-o", "ignore_case,no_detach", image, mount_point_});
    if (driver_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (is_mount_point(mount_point_, folder_.str())) return true;
      if (waitpid(driver_, nullptr, WNOHANG) == driver_) {
        driver_ = -1;  // it gave up: no FUSE, or not permitted
        return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  const TempDir& folder() const { return folder_; }

  std::optional<bool> opens_as_one(const std::string& a, const std::string& b) override {
    // A name of its own for each question: the kernel's cache of looked-up names never answers.
    const std::string prefix = mount_point_ + "/" + std::to_string(++calls_) + "-";
    const std::string created_path = prefix + a;
    const int created = open(created_path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (created < 0) return std::nullopt;
    close(created);
    std::optional<bool> answer;
    const int opened = open((prefix + b).c_str(), O_RDONLY | O_CLOEXEC);
    if (opened >= 0) {
      answer = true;
      close(opened);
    } else if (errno == ENOENT) {
      answer = false;
    }
    unlink(created_path.c_str());
    return answer;
  }

 private:
  // Unmounts (umount as root, else fusermount), waits for the driver to end and kills it if it
  // does not; a mount that stays is detached, so that nothing is left behind.
  void unmount() {
    if (is_mount_point(mount_point_, folder_.str()) && umount2(mount_point_.c_str(), 0) != 0) {
      for (const char* helper : {"fusermount3", "fusermount"}) {
        const auto tool = find_tool(helper);
        if (tool && run({*tool, "-u", mount_point_})) break;
      }
    }
    if (driver_ > 0) {
      const auto deadline = std::chrono::steady_clock::now() + 20s;
      while (waitpid(driver_, nullptr, WNOHANG) != driver_) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(driver_, SIGKILL);
          waitpid(driver_, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
    if (is_mount_point(mount_point_, folder_.str())) umount2(mount_point_.c_str(), MNT_DETACH);
  }

  TempDir folder_;  // the image and the mount point; removed after unmount()
  std::string mount_point_ = folder_.at("mnt");
  pid_t driver_ = -1;
  int calls_ = 0;
};

}  // namespace

std::unique_ptr<NameVolume> NameVolume::create(std::string& why_not) {
  const auto driver = find_tool("lowntfs-3g");
  if (!driver) {
    why_not = "lowntfs-3g (ntfs-3g) is not installed";
    return nullptr;
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    why_not = "/dev/fuse is missing or not open to this user";
    return nullptr;
  }
  auto volume = std::make_unique<NtfsMount>();
  const auto image = format_image(volume->folder(), why_not);
  if (!image) return nullptr;
  if (!volume->mount(*driver, *image)) {
    why_not = "lowntfs-3g could not mount an image here (FUSE mounts not permitted?)";
    return nullptr;
  }
  return volume;
}

std::optional<std::vector<char16_t>> fresh_ntfs_upcase_table(std::string& why_not) {
  const TempDir folder;
  const auto image = format_image(folder, why_not);
  if (!image) return std::nullopt;
  const auto ntfscat = find_tool("ntfscat");
  if (!ntfscat) {
    why_not = "ntfscat (ntfs-3g) is not installed";
    return std::nullopt;
  }
  const std::string output = folder.at("upcase.bin");
  if (!run({*ntfscat, "-f", *image, "$UpCase"}, output)) {
    why_not = "ntfscat could not read $UpCase";
    return std::nullopt;
  }
  std::ifstream in(output, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.size() != 2 * kUpcaseUnits) {
    why_not = "$UpCase holds " + std::to_string(bytes.size()) + " bytes";
    return std::nullopt;
  }
  std::vector<char16_t> table(kUpcaseUnits);
  for (size_t unit = 0; unit < kUpcaseUnits; ++unit) {
    table[unit] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * unit]) |
                                        static_cast<unsigned char>(bytes[2 * unit + 1]) << 8);
  }
  return table;
}

}  // namespace vellicor::testing_support
