#include "model/filerec/text_list.hpp"

#include <gtest/gtest.h>

#include "model/log_builder.hpp"
#include "model/uninstall_log.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using namespace testing_support;
using Texts = std::vector<std::string>;

TEST(TextListTest, Decoding) {
  const struct {
    const char* name;
    Bytes data;
    std::optional<Texts> texts;  // or the error message
    std::string error = "";
  } cases[] = {
      {"one text", {0xFE, 0xFC, 0xFF, 0xFF, 0xFF, 0x41, 0x00, 0x42, 0x00, 0xFF}, Texts{"AB"}},
      {"no text", {0xFF}, Texts{}},
      // Empty texts are kept: the installer writes four of them into every 0x82 record.
      {"empty texts",
       {0xFE, 0, 0, 0, 0, 0xFE, 0xFE, 0xFF, 0xFF, 0xFF, 0x41, 0, 0xFE, 0, 0, 0, 0, 0xFF},
       Texts{"", "A", ""}},
      {"a surrogate pair",
       {0xFE, 0xFC, 0xFF, 0xFF, 0xFF, 0x3D, 0xD8, 0x00, 0xDE, 0xFF},
       Texts{"\xF0\x9F\x98\x80"}},
      {"non-ASCII",
       {0xFE, 0xFA, 0xFF, 0xFF, 0xFF, 0xDC, 0x00, 0xE5, 0x65, 0x2C, 0x67, 0xFF},
       Texts{"Ü日本"}},
      {"empty data", {}, std::nullopt, "Failed to parse file rec string header"},
      {"no end byte", {0xFE, 0, 0, 0, 0}, std::nullopt, "Failed to parse file rec string header"},
      {"bytes after the end", {0xFF, 0xFF}, std::nullopt, "Invalid file rec string header length"},
      {"a short length", {0xFE, 0x01, 0x00}, std::nullopt, "Failed to parse file rec string size"},
      {"an unpaired high surrogate",
       {0xFE, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0xD8, 0xFF},
       std::nullopt,
       "Failed to parse file rec data string"},
      {"a lone low surrogate",
       {0xFE, 0xFC, 0xFF, 0xFF, 0xFF, 0x41, 0, 0x00, 0xDC, 0xFF},
       std::nullopt,
       "Failed to parse file rec data string"},
      {"reversed surrogates",
       {0xFE, 0xFC, 0xFF, 0xFF, 0xFF, 0x00, 0xDE, 0x3D, 0xD8, 0xFF},
       std::nullopt,
       "Failed to parse file rec data string"},
      // Forms the installer never writes into these records are refused, not guessed at.
      {"another string form", {0x41, 0xFF}, std::nullopt, "What 0x41"},
      {"string form 0", {0x00}, std::nullopt, "What 0x0"},
      {"an odd length",
       {0xFE, 0xFD, 0xFF, 0xFF, 0xFF, 0x41, 0xFF},
       std::nullopt,
       "Failed to parse file rec string size"},
      {"a positive length",
       {0xFE, 0x02, 0, 0, 0, 0x41, 0, 0xFF},
       std::nullopt,
       "Failed to parse file rec string size"},
      {"a length past the data",
       {0xFE, 0xF8, 0xFF, 0xFF, 0xFF, 0x41, 0, 0xFF},
       std::nullopt,
       "Failed to parse file rec string size"},
      {"the lowest length",
       {0xFE, 0x00, 0x00, 0x00, 0x80, 0xFF},
       std::nullopt,
       "Failed to parse file rec string size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto texts = decode_text_list(c.data);
    if (c.texts) {
      ASSERT_TRUE(texts.has_value()) << texts.error().display_text();
      EXPECT_EQ(*texts, *c.texts);
      // A list that decodes encodes back to the same bytes.
      EXPECT_EQ(encode_text_list(*texts), c.data);
    } else {
      ASSERT_FALSE(texts.has_value());
      EXPECT_EQ(error_of(texts), Error(ErrorKind::StringDecode, c.error));
    }
  }
}

TEST(TextListTest, Encoding) {
  EXPECT_EQ(encode_text_list(Texts{}), (Bytes{0xFF}));
  EXPECT_EQ(encode_text_list(Texts{""}), (Bytes{0xFE, 0, 0, 0, 0, 0xFF}));
  EXPECT_EQ(encode_text_list(Texts{"smile-\xF0\x9F\x98\x80"}),
            concat({{0xFE, 0xF0, 0xFF, 0xFF, 0xFF},
                    {'s', 0, 'm', 0, 'i', 0, 'l', 0, 'e', 0, '-', 0, 0x3D, 0xD8, 0x00, 0xDE},
                    {0xFF}}));
  // Bytes that are not UTF-8 cannot come from a decoded list; they become U+FFFD rather than
  // units that would not decode again.
  EXPECT_EQ(encode_text_list(Texts{"a\xFF\xC3"}),
            (Bytes{0xFE, 0xFA, 0xFF, 0xFF, 0xFF, 'a', 0, 0xFD, 0xFF, 0xFD, 0xFF, 0xFF}));
}

// The installer's own logs: every 0x82 record holds its path and four empty texts, and every
// list survives a decode and encode unchanged.
TEST(TextListTest, InstallerRecordsSurviveARoundTrip) {
  for (const char* name : {"installed.dat", "staged.dat"}) {
    const auto log = read_uninstall_log(utf8(fixture(name)));
    ASSERT_TRUE(log.has_value()) << name;
    int lists = 0;
    for (const auto& rec : log->records) {
      if (!holds_text_list(rec.typ)) continue;
      ++lists;
      const auto texts = decode_text_list(rec.data);
      ASSERT_TRUE(texts.has_value()) << texts.error().display_text();
      if (rec.typ == FileRecType::DeleteFile) {
        ASSERT_EQ(texts->size(), 5u);
        EXPECT_EQ(Texts(texts->begin() + 1, texts->end()), Texts(4, ""));
      }
      EXPECT_EQ(encode_text_list(*texts), rec.data);
    }
    EXPECT_GT(lists, 60) << name;
  }
}

}  // namespace
}  // namespace vellicor
