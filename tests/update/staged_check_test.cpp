#include "update/staged_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>

#include "base/path.hpp"
#include "model/filerec/text_list.hpp"
#include "model/log_builder.hpp"
#include "model/uninstall_log.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"
#include "update/installation.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace testing_support;
using Tree = std::vector<std::string>;

const bool kWindows = native_path_style() == PathStyle::Windows;
const std::string kChecked = " files of the staged version against its uninstall log";
const std::string kUnchecked =
    "WARN The staged version could not be checked against its uninstall log: ";
const std::string kIncomplete = "The staged version is incomplete: ";
// A letter of Latin-1 and one that UTF-16 holds as a surrogate pair.
const std::string kUnicode =
    "docs/\xC3\x9C"
    "ber-\xF0\x9F\x98\x80.txt";

// An installation whose code path was given through another folder, so that the update
// folder has two spellings: its resolved path and <dir>/Given/_.
class StagedCheckTest : public ::testing::Test {
 protected:
  StagedCheckTest() {
    fs::create_directories(dir_.path() / "Vellicor" / "_");
    const auto resolved = testing_support::installation_at(dir_.path() / "Vellicor");
    installation_ =
        make_installation(resolved.code_path, join_path(dir_.at("Given"), "a.exe")).value();
  }

  const std::string& folder() const { return installation_.update_folder; }
  std::string staged(const std::string& relative) const {
    return join_path(folder(), normalize_path(relative));
  }
  // A record of the type whose first text is `path`, as the installer writes files.
  static Bytes file(const std::string& path, uint16_t typ = 0x82) {
    return record(typ, 0, encode_text_list(std::vector<std::string>{path, "", "", "", ""}));
  }
  Bytes in(const std::string& relative) const { return file(staged(relative)); }
  static Bytes log_of(std::initializer_list<Bytes> records) {
    const auto count = static_cast<uint32_t>(records.size());
    return concat({header_image({.num_recs = count}), blocks_of(concat(records))});
  }

  // A fresh update folder holding `tree`, and the log at `path` (nothing: no log; empty: a
  // folder of that name).
  void stage(const Tree& tree, const std::optional<Bytes>& log, const std::string& path) {
    fs::remove_all(dir_.path() / "Vellicor");
    testing_support::make_tree(dir_.path() / "Vellicor" / "_", tree);
    fs::create_directories(dir_.path() / "Vellicor" / "_");
    if (log && log->empty()) fs::create_directories(from_utf8(path));
    if (log && !log->empty()) write_bytes(from_utf8(path), *log);
  }
  Status run(const StagedCheckScope& scope, std::vector<std::string>& lines) {
    auto captured = make_captured_logger();
    const Status status = check_staged_version(*captured.logger, installation_, scope);
    lines = captured.release();
    return status;
  }

  TempDir dir_;
  Installation installation_;
};

TEST_F(StagedCheckTest, FileRecordsInsideTheUpdateFolderNeedTheirFile) {
  const auto checked = [](int n) { return "INFO Checked " + std::to_string(n) + kChecked; };
  const auto one = [&](const std::string& relative) {
    return kIncomplete + "1 file that its uninstall log names is missing, " + staged(relative);
  };
  const auto given = [&](const std::string& name) {
    return file(join_path(join_path(dir_.at("Given"), "_"), name));
  };
  const std::string root = installation_.root;
  // A header that promises a second record after the first block.
  const Bytes cut_short = concat({header_image({.num_recs = 2}), blocks_of(in("gone"))});
  const Bytes bad_crc = [] {
    Bytes log = log_of({});
    log[100] ^= 1;
    return log;
  }();
  // A resumed update reads the log where it lies now, and passes over what it moved in.
  const StagedCheckScope resumed{
      .log_path = join_path(root, "unins000.dat"),
      .still_staged = [](std::string_view name) { return name == "locales"; }};
  const struct {
    const char* name;
    std::optional<Bytes> log;
    Tree tree;
    std::string line;   // the start of the one line logged, if any
    std::string error;  // empty: complete
    StagedCheckScope scope = {};
  } cases[] = {
      {"present", log_of({in("a.exe"), in("docs/b.txt")}), {"a.exe", "docs/b.txt"}, checked(2), ""},
      {"missing", log_of({in("a.exe"), in(kUnicode)}), {"a.exe"}, checked(2), one(kUnicode)},
      {"log order",
       log_of({in("c"), in("a"), in("b"), in("d")}),
       {"d"},
       checked(4),
       kIncomplete + "3 files that its uninstall log names are missing, the first " + staged("c")},
      {"a folder", log_of({in("docs")}), {"docs/x"}, checked(1), one("docs")},
      {"other spelling",
       log_of({given("a.exe"), given("gone")}),
       {"a.exe"},
       checked(2),
       one("gone")},
      {"\"//\" and \".\"",
       log_of({file(folder() + "//docs/./b.txt")}),
       {"docs/b.txt"},
       checked(1),
       ""},
      {"outside the folder, or the folder itself",
       log_of({file(join_path(root, "gone")), file(folder() + "old/x"), file("elsewhere"),
               file(folder()), file(join_path(folder(), "../gone"))}),
       {},
       checked(0),
       ""},
      {"other record types, and the other texts of a file record",
       log_of({file(staged("d"), 0x81), file(staged("x"), 0x80), record(0x82, 0, {0xFF}),
               record(0x82, 0, encode_text_list(std::vector<std::string>{"x", staged("gone")}))}),
       {},
       checked(0),
       ""},
      {"no staged log", std::nullopt, {"a.exe"}, "", ""},
      {"damaged header", bad_crc, {}, kUnchecked + "Header parse error: CRC32 check failed", ""},
      {"damaged text", log_of({record(0x82, 0, {0xFE, 1})}), {}, kUnchecked + "String decode", ""},
      {"a folder named like the log", Bytes{}, {}, kUnchecked, ""},
      {"cut short", cut_short, {"a.exe"}, kUnchecked + "FileRec parse error", one("gone")},
      {"resumed",
       log_of({in("docs/x"), in("locales/en.pak"), in("locales/de.pak")}),
       {"locales/en.pak"},
       checked(2),
       one("locales/de.pak"),
       resumed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stage(c.tree, c.log, c.scope.log_path.empty() ? staged("unins000.dat") : c.scope.log_path);
    std::vector<std::string> lines;
    const Status status = run(c.scope, lines);
    ASSERT_EQ(lines.size(), c.line.empty() ? 0u : 1u);
    if (!lines.empty()) {
      EXPECT_TRUE(lines[0].starts_with(c.line)) << lines[0];
    }
    EXPECT_EQ(status ? "" : status.error().display_text(), c.error);
  }
}

// Windows compares names without regard to letter case (and Wine shows no links); a link is
// not the file it leads to.
TEST_F(StagedCheckTest, WhatTheFileSystemSays) {
  std::string named = staged(kWindows ? "a.exe" : "link");
  if (kWindows) std::transform(named.begin(), named.end(), named.begin(), ::toupper);
  stage({"a.exe"}, log_of({file(named)}), staged("unins000.dat"));
  if (!kWindows) fs::create_symlink(staged("a.exe"), named);
  std::vector<std::string> lines;
  const Status status = run({}, lines);
  EXPECT_EQ(lines, std::vector<std::string>{"INFO Checked 1" + kChecked});
  EXPECT_EQ(bool(status), kWindows);
}

}  // namespace
}  // namespace vellicor
