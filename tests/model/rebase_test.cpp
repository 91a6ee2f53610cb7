#include "model/filerec/rebase.hpp"

#include <gtest/gtest.h>

#include <random>

#include "model/filerec/text_list.hpp"
#include "model/log_builder.hpp"
#include "model/uninstall_log.hpp"
#include "support/memory_stream.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using namespace testing_support;
using Texts = std::vector<std::string>;

constexpr auto kWindows = PathStyle::Windows;
const std::string kFolder = R"(C:\Apps\Vellicor\_)";

FileRec list_rec(const Texts& texts, FileRecType typ = FileRecType::DeleteFile) {
  return {5, encode_text_list(texts), typ};
}

Texts texts_of(const FileRec& rec) {
  return decode_text_list(rec.data).value();
}

TEST(RebaseTest, RewritesTextsInsideTheFolder) {
  const struct {
    std::string from;
    PathStyle style;
    std::string text;
    std::string expected;
  } cases[] = {
      {kFolder, kWindows, R"(C:\Apps\Vellicor\_\bin\tool.dll)", R"(C:\Apps\Vellicor\bin\tool.dll)"},
      {kFolder, kWindows, kFolder, R"(C:\Apps\Vellicor)"},
      {kFolder, kWindows, R"(C:\Apps\Vellicor\_/a.txt)", R"(C:\Apps\Vellicor/a.txt)"},
      {kFolder, kWindows, R"(C:\Apps\Vellicor\_\)", R"(C:\Apps\Vellicor\)"},
      {kFolder, kWindows, "C:\\Apps\\Vellicor\\_\\smile-\xF0\x9F\x98\x80.txt",
       "C:\\Apps\\Vellicor\\smile-\xF0\x9F\x98\x80.txt"},
      // Only the folder itself or what lies inside it: a sibling that shares the prefix stays.
      {kFolder, kWindows, R"(C:\Apps\Vellicor\_old\a.txt)", R"(C:\Apps\Vellicor\_old\a.txt)"},
      {kFolder, kWindows, R"(C:\Apps\Vellicor\__)", R"(C:\Apps\Vellicor\__)"},
      // Windows names ignore letter case; the text keeps its own spelling of the parent.
      {kFolder, kWindows, R"(c:\apps\vellicor\_\a.txt)", R"(c:\apps\vellicor\a.txt)"},
      {"C:\\\xC3\x9C\\_", kWindows, "c:\\\xC3\xBC\\_\\a", "c:\\\xC3\xBC\\a"},
      {"/opt/vellicor/_", PathStyle::Posix, "/opt/Vellicor/_/a", "/opt/Vellicor/_/a"},
      {kFolder, kWindows, R"(C:\Apps\Vellicor)", R"(C:\Apps\Vellicor)"},
      {kFolder, kWindows, R"(D:\C:\Apps\Vellicor\_\a)", R"(D:\C:\Apps\Vellicor\_\a)"},
      {kFolder, kWindows, "", ""},
      // A separator at the end of the folder still leaves one between parent and rest.
      {R"(C:\Apps\Vellicor\_\)", kWindows, R"(C:\Apps\Vellicor\_\a.txt)",
       R"(C:\Apps\Vellicor\a.txt)"},
      {R"(C:\Apps\Vellicor\_\)", kWindows, kFolder, R"(C:\Apps\Vellicor)"},
      {R"(\\srv\share\app\_)", kWindows, R"(\\srv\share\app\_\x)", R"(\\srv\share\app\x)"},
      {"/opt/vellicor/_", PathStyle::Posix, "/opt/vellicor/_/bin/a.so", "/opt/vellicor/bin/a.so"},
      {"/opt/vellicor/_", PathStyle::Posix, R"(/opt/vellicor/_\a)", R"(/opt/vellicor/_\a)"},
      {"/opt/vellicor/_", PathStyle::Posix, "/opt/vellicor/_", "/opt/vellicor"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from + " | " + c.text);
    for (auto typ : {FileRecType::DeleteDirOrFiles, FileRecType::DeleteFile}) {
      const auto rebased = rebase_file_rec(list_rec({"", c.text, ""}, typ), c.from, c.style);
      ASSERT_TRUE(rebased.has_value()) << rebased.error().display_text();
      EXPECT_EQ(texts_of(*rebased), (Texts{"", c.expected, ""}));
      EXPECT_EQ(rebased->typ, typ);
      EXPECT_EQ(rebased->extra_data, 5u);
    }
  }
}

TEST(RebaseTest, EverySpellingOfTheFolderIsRewritten) {
  const std::vector<std::string> spellings = {R"(D:\Real\Vellicor\_)", kFolder};
  const auto rebased = rebase_file_recs(
      {list_rec({R"(D:\Real\Vellicor\_\a)", R"(C:\APPS\Vellicor\_\b)", R"(D:\Real\_\c)"})},
      spellings, kWindows);
  ASSERT_TRUE(rebased.has_value()) << rebased.error().display_text();
  EXPECT_EQ(texts_of(rebased->at(0)),
            (Texts{R"(D:\Real\Vellicor\a)", R"(C:\APPS\Vellicor\b)", R"(D:\Real\_\c)"}));
}

TEST(RebaseTest, OtherRecordsAndUntouchedListsComeBackByteIdentical) {
  const std::vector<FileRec> records = {
      {1, bytes_of("C:\\Apps\\Vellicor\\_\\x"), FileRecType::StartInstall},
      {2, {0xFF}, FileRecType::DeleteFile},
      {3, {0x41, 0x42}, FileRecType::RegDeleteEntireKey},  // not a list: never decoded
      list_rec({"", R"(C:\Other\a)", "", ""}, FileRecType::DeleteDirOrFiles),
  };
  const auto rebased = rebase_file_recs(records, kFolder, kWindows);
  ASSERT_TRUE(rebased.has_value()) << rebased.error().display_text();
  EXPECT_EQ(*rebased, records);
}

TEST(RebaseTest, Failures) {
  const Bytes damaged = {0xFE, 0x01};
  const struct {
    const char* name;
    std::vector<FileRec> records;
    std::string from;
    std::optional<Error> error;
  } cases[] = {
      {"a drive root", {list_rec({"C:\\a"})}, R"(C:\)", Error(RebaseError, "")},
      {"a share root", {list_rec({})}, R"(\\srv\share)", Error(RebaseError, "")},
      {"an empty folder", {list_rec({})}, "", Error(RebaseError, "")},
      {"a folder that is not UTF-8", {list_rec({})}, "C:\\\xFF\\_", Error(RebaseError, "")},
      // The list is decoded before the folder is looked at.
      {"a damaged list and a root",
       {{0, damaged, FileRecType::DeleteDirOrFiles}},
       R"(C:\)",
       Error(StringDecodeError, "Failed to parse file rec string size")},
      {"a damaged list after a good one",
       {list_rec({"C:\\a"}), {0, damaged, FileRecType::DeleteFile}},
       kFolder,
       Error(StringDecodeError, "Failed to parse file rec string size")},
      // Without a list to rewrite the folder is never needed.
      {"no lists and a root", {{0, damaged, FileRecType::Run}}, R"(C:\)", std::nullopt},
      {"no records and a root", {}, "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto rebased = rebase_file_recs(c.records, c.from, kWindows);
    if (c.error) {
      ASSERT_FALSE(rebased.has_value());
      EXPECT_EQ(error_of(rebased), *c.error);
      EXPECT_EQ(rebased.error().display_text().rfind(
                    c.error->kind() == RebaseError ? "Rebase error" : "String decode error: ", 0),
                0u);
    } else {
      ASSERT_TRUE(rebased.has_value()) << rebased.error().display_text();
      EXPECT_EQ(*rebased, c.records);
    }
  }
}

// The rewrite in place must give exactly what decoding, rewriting each text and encoding give.
TEST(RebaseTest, AgreesWithDecodeRewriteEncode) {
  const std::string pieces[] = {kFolder, "\\", "/", "_", "a", "C:", "\xC3\x9C", "\xF0\x9F\x98\x80",
                                ""};
  std::mt19937 random(3);
  for (int round = 0; round < 500; ++round) {
    Texts texts(random() % 5);
    for (auto& text : texts) {
      for (int n = random() % 4; n > 0; --n)
        text += pieces[random() % std::size(pieces)];
    }
    Texts expected = texts;
    for (auto& text : expected) {
      if (text.rfind(kFolder, 0) == 0 &&
          (text.size() == kFolder.size() || text[kFolder.size()] == '\\' ||
           text[kFolder.size()] == '/')) {
        text = R"(C:\Apps\Vellicor)" + text.substr(kFolder.size());
      }
    }
    const auto rebased = rebase_file_rec(list_rec(texts), kFolder, kWindows);
    ASSERT_TRUE(rebased.has_value());
    ASSERT_EQ(rebased->data, encode_text_list(expected));
  }
}

TEST(RebaseTest, TheStagedLogBecomesTheRebasedOne) {
  const auto log = read_uninstall_log(utf8(fixture("staged.dat")));
  ASSERT_TRUE(log.has_value()) << log.error().display_text();
  auto rebased = rebase_file_recs(log->records, kFolder, kWindows);
  ASSERT_TRUE(rebased.has_value()) << rebased.error().display_text();
  ASSERT_EQ(rebased->size(), log->records.size());
  // 0x10 and 0x20 records mention the folder too, inside data that is not a text list.
  for (size_t i = 0; i < rebased->size(); ++i) {
    if (!holds_text_list(log->records[i].typ)) {
      EXPECT_EQ((*rebased)[i], log->records[i]);
    }
  }

  TempDir dir;
  const std::string out = dir.at("unins000.dat");
  ASSERT_TRUE(write_uninstall_log(out, log->header, *rebased).has_value());
  EXPECT_EQ(read_bytes(from_utf8(out)), read_bytes(fixture("staged-rebased.dat")));
}

}  // namespace
}  // namespace vellicor
