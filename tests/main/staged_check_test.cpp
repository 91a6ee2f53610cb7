#include "main/staged_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/path.hpp"
#include "main/installation.hpp"
#include "model/filerec/text_list.hpp"
#include "model/log_builder.hpp"
#include "model/uninstall_log.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using Records = std::vector<FileRec>;
using Tree = std::vector<std::string>;

const bool kWindows = native_path_style() == PathStyle::Windows;
const std::string kChecked = " files of the staged version against its uninstall log";
const std::string kUnchecked =
    "WARN The staged version could not be checked against its uninstall log: ";
const std::string kIncomplete = "The staged version is incomplete: ";
// A letter of Latin-1 and one that UTF-16 holds as a surrogate pair.
const std::string kUnicodeName =
    "docs/\xC3\x9C"
    "ber-\xF0\x9F\x98\x80.txt";

// A relative path with the platform's separators.
std::string native(std::string relative) {
  if (kWindows) std::replace(relative.begin(), relative.end(), '/', '\\');
  return relative;
}

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
  std::string given() const { return join_path(dir_.at("Given"), "_"); }
  std::string staged(const std::string& relative) const {
    return join_path(folder(), native(relative));
  }
  FileRec file(const std::string& path, FileRecType typ = FileRecType::DeleteFile) const {
    return {0, encode_text_list(std::vector<std::string>{path, "", "", "", ""}), typ};
  }
  // A fresh update folder holding `tree` and, unless empty, a log of `records`.
  void stage(const Tree& tree, const Records& records) {
    fs::remove_all(dir_.path() / "Vellicor" / "_");
    testing_support::make_tree(dir_.path() / "Vellicor" / "_", tree);
    fs::create_directories(dir_.path() / "Vellicor" / "_");
    if (records.empty()) return;
    const UninstallHeader header{
        kHeaderId, "{APP}", "Vellicor", 1048, static_cast<uint32_t>(records.size()), 0, 1, 0};
    ASSERT_TRUE(write_uninstall_log(staged("unins000.dat"), header, records));
  }
  Status check(std::vector<std::string>& lines, const StagedCheckScope& scope = {}) {
    auto log = testing_support::make_captured_logger();
    const Status status = check_staged_version(*log.logger, installation_, scope);
    lines = log.release();
    return status;
  }

  testing_support::TempDir dir_;
  Installation installation_;
};

TEST_F(StagedCheckTest, FileRecordsInsideTheUpdateFolderNeedTheirFile) {
  struct Case {
    const char* name;
    Records records;
    Tree tree;  // besides the log
    int checked;
    std::string error;  // empty: complete
  };
  const std::string& outside = installation_.root;
  const Case cases[] = {
      {"present",
       {file(staged("a.exe")), file(staged("docs/b.txt"))},
       {"a.exe", "docs/b.txt"},
       2,
       ""},
      {"missing, named with the count",
       {file(staged("a.exe")), file(staged(kUnicodeName))},
       {"a.exe"},
       2,
       "1 file that its uninstall log names is missing, " + staged(kUnicodeName)},
      {"the first in log order",
       {file(staged("c")), file(staged("a")), file(staged("b")), file(staged("d"))},
       {"d"},
       4,
       "3 files that its uninstall log names are missing, the first " + staged("c")},
      {"a folder where the log names a file",
       {file(staged("docs"))},
       {"docs/x"},
       1,
       "1 file that its uninstall log names is missing, " + staged("docs")},
      {"another spelling of the folder",
       {file(join_path(given(), "a.exe")), file(join_path(given(), "gone"))},
       {"a.exe"},
       2,
       "1 file that its uninstall log names is missing, " + staged("gone")},
      {"separators doubled and \".\"", {file(folder() + "//docs/./b.txt")}, {"docs/b.txt"}, 1, ""},
      {"outside the folder",
       {file(join_path(outside, "gone")), file(folder() + "old/x"), file("elsewhere"),
        file(R"(C:\Apps\Vellicor\_\x)")},
       {},
       0,
       ""},
      {"the folder itself, and a path that leaves it",
       {file(folder()), file(join_path(folder(), "../gone"))},
       {},
       0,
       ""},
      {"other record types and the other texts of a file record",
       {file(staged("d"), FileRecType::DeleteDirOrFiles),
        file(staged("x"), FileRecType::Run),
        {0, encode_text_list(std::vector<std::string>{"elsewhere", staged("gone")}),
         FileRecType::DeleteFile},
        {0, {0xFF}, FileRecType::DeleteFile}},
       {},
       0,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stage(c.tree, c.records);
    std::vector<std::string> lines;
    const Status status = check(lines);
    EXPECT_EQ(lines,
              std::vector<std::string>{"INFO Checked " + std::to_string(c.checked) + kChecked});
    if (c.error.empty()) {
      EXPECT_TRUE(status) << status.error().display_text();
    } else {
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().display_text(), kIncomplete + c.error);
    }
  }
}

TEST_F(StagedCheckTest, OnlyWhatTheLogAndTheFileSystemTell) {
  if (kWindows) {
    // Windows compares names without regard to letter case, and Wine shows no links.
    std::string upper = staged("a.exe");
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; });
    stage({"a.exe"}, {file(upper)});
  } else {
    stage({"target"}, {file(staged("link"))});
    fs::create_symlink(staged("target"), staged("link"));
  }
  std::vector<std::string> lines;
  const Status status = check(lines);
  EXPECT_EQ(lines, std::vector<std::string>{"INFO Checked 1" + kChecked});
  EXPECT_EQ(bool(status), kWindows);

  // No staged log: nothing to check against, and nothing to say.
  stage({"a.exe"}, {});
  EXPECT_TRUE(check(lines));
  EXPECT_EQ(lines, std::vector<std::string>{});
}

TEST_F(StagedCheckTest, LogThatCannotBeReadIsAWarning) {
  using namespace testing_support;
  const Bytes image = header_image({.num_recs = 2});
  Bytes bad_crc = image;
  bad_crc[100] ^= 1;
  const Bytes missing_then_cut = concat(
      {header_image({.num_recs = 2}), blocks_of(record(0x82, 0, text_list({staged("gone")})))});
  const struct {
    const char* name;
    Bytes bytes;  // empty: a folder named like the log
    std::string warning;
    std::string error;
  } cases[] = {
      {"damaged header", bad_crc, "Header parse error: CRC32 check failed", ""},
      {"damaged text list",
       concat({header_image({.num_recs = 1}), blocks_of(record(0x82, 0, {0xFE, 0x01}))}),
       "String decode error: Failed to parse file rec string size", ""},
      {"a folder", {}, "", ""},
      {"cut short after a missing file", missing_then_cut,
       "FileRec parse error: Failed to parse file rec typ",
       "1 file that its uninstall log names is missing, " + staged("gone")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stage({"a.exe"}, {});
    if (c.bytes.empty()) {
      fs::create_directories(testing_support::from_utf8(staged("unins000.dat")));
    } else {
      write_bytes(from_utf8(staged("unins000.dat")), c.bytes);
    }
    std::vector<std::string> lines;
    const Status status = check(lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with(kUnchecked + c.warning)) << lines[0];
    EXPECT_EQ(status ? std::string() : status.error().display_text(),
              c.error.empty() ? std::string() : kIncomplete + c.error);
  }
}

// A resumed update reads the log where it lies now and passes over what it moved in already.
TEST_F(StagedCheckTest, ScopeNamesTheLogAndTheEntriesStillStaged) {
  stage({"locales/en.pak"}, {});
  const Records records = {file(staged("docs/gone")), file(staged("locales/en.pak")),
                           file(staged("locales/de.pak"))};
  const std::string moved_log = join_path(installation_.root, "unins000.dat");
  ASSERT_TRUE(
      write_uninstall_log(moved_log, {kHeaderId, "{APP}", "Vellicor", 1048, 3, 0, 1, 0}, records));
  std::vector<std::string> lines;
  const StagedCheckScope scope{.log_path = moved_log, .still_staged = [](std::string_view name) {
                                 return name == "locales";
                               }};
  const Status status = check(lines, scope);
  EXPECT_EQ(lines, std::vector<std::string>{"INFO Checked 2" + kChecked});
  ASSERT_FALSE(status);
  EXPECT_EQ(
      status.error().display_text(),
      kIncomplete + "1 file that its uninstall log names is missing, " + staged("locales/de.pak"));
}

}  // namespace
}  // namespace vellicor
