// What the POSIX file system does between two calls, or answers only on some volumes, arranged
// through seccomp on a thread of the test's own: an entry replaced while its identity is read,
// and a flush that the file system does not keep.

#include <fcntl.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "support/syscall_filter_posix.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using testing_support::TempDir;

// The identity is read from one open: its number, birth time and generation are one entry's
// even when another entry takes the name between two of its calls. Here the name is swapped
// with another file's (RENAME_EXCHANGE) as the first open of that name is made: read by path
// twice (a look, then an open for the generation), the identity would mix the two.
TEST(FsPosixTest, AnIdentityIsOneEntrysWhenItsNameIsSwappedWhileItIsRead) {
  TempDir dir;
  dir.write_file("probed.dll", "first");
  dir.write_file("other.dll", "second");
  const std::string probed = dir.at("probed.dll");
  const std::string other = dir.at("other.dll");
  const EntryIdentity first = entry_identity(probed).value();
  const EntryIdentity second = entry_identity(other).value();
  ASSERT_NE(first, second);
  bool swapped = false;
  const auto identity = testing_support::with_calls_paused(
      {SYS_openat},
      [&](const seccomp_data& call) {
        const char* name = reinterpret_cast<const char*>(call.args[1]);
        if (swapped || std::strcmp(name, probed.c_str()) != 0) return;
        swapped = syscall(SYS_renameat2, AT_FDCWD, probed.c_str(), AT_FDCWD, other.c_str(),
                          RENAME_EXCHANGE) == 0;
      },
      [&] { return entry_identity(probed); });
  if (!identity) GTEST_SKIP() << "no seccomp filter here";
  ASSERT_TRUE(swapped);
  ASSERT_TRUE(*identity) << identity->error().display_text();
  EXPECT_TRUE(**identity == first || **identity == second)
      << "an identity of two entries: " << (*identity)->fields[2] << " " << (*identity)->fields[3];
}

// One rule says what "no flush here" is, for every flush of a file or a folder: an answer that
// the file system keeps no flush for the entry is taken as done, and every other failure is a
// FlushError. Each flush of the program is made with every fsync and syncfs of its thread
// failing with the code.
TEST(FsPosixTest, EveryFlushTakesTheSameAnswersForNoFlushHere) {
  TempDir dir;
  dir.write_file("folder/entry.dll", "entry");
  struct Case {
    int code;
    bool done;
  };
  const Case cases[] = {
      {EINVAL, true}, {EROFS, true}, {ENOTSUP, true}, {EIO, false}, {ENOSPC, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::strerror(c.code));
    const auto results =
        testing_support::with_calls_failing({SYS_fsync, SYS_fdatasync, SYS_syncfs}, c.code, [&] {
          std::vector<std::pair<std::string, Status>> out;
          const std::string written = dir.at("written-" + std::to_string(c.code) + ".tmp");
          auto file = File::create_new(written);
          out.emplace_back("a file's flush", file ? file->flush() : fail(file.error()));
          out.emplace_back("a folder's flush", flush_directory(dir.at("folder")));
          auto opened = open_entry(dir.at("folder/entry.dll"), OpenFor::Looking,
                                   EntryIdentity::Basis::Number, Flush::WriteoutOnly);
          out.emplace_back("a file's write-out",
                           opened ? Status{} : Status(std::unexpected(opened.error())));
          opened = open_entry(dir.at("folder"), OpenFor::Looking, EntryIdentity::Basis::Number,
                              Flush::WriteoutOnly);
          out.emplace_back("a folder's write-out",
                           opened ? Status{} : Status(std::unexpected(opened.error())));
          out.emplace_back("a folder written to the device", write_to_device(dir.at("folder")));
          return out;
        });
    if (!results) GTEST_SKIP() << "no seccomp filter here";
    for (const auto& [what, status] : *results) {
      if (c.done) {
        EXPECT_TRUE(status) << what << ": " << status.error().display_text();
      } else {
        ASSERT_FALSE(status) << what;
        EXPECT_EQ(status.error().kind(), FlushError)
            << what << ": " << status.error().display_text();
      }
    }
  }
}

}  // namespace
}  // namespace vellicor
