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
      EXPECT_EQ(error_of(texts), Error(StringDecodeError, c.error));
    }
  }
}

// Long texts are checked for surrogates in groups of 8 or 16 units; a pair, a lone half or a pair
// cut by the text's end must be found wherever it lies, across group borders too.
TEST(TextListTest, SurrogatesAnywhereInALongText) {
  const auto list_of = [](std::vector<uint16_t> units) {
    Bytes data{0xFE};
    put_u32(data, static_cast<uint32_t>(-2 * static_cast<int32_t>(units.size())));
    for (uint16_t unit : units)
      put_u16(data, unit);
    data.push_back(0xFF);
    return data;
  };
  for (size_t length : {8, 9, 16, 17, 23, 40}) {
    for (size_t at = 0; at < length; ++at) {
      SCOPED_TRACE("length " + std::to_string(length) + ", at " + std::to_string(at));
      std::vector<uint16_t> units(length, 'x');
      units[at] = 0xD83D;  // high half
      if (at + 1 < length) {
        EXPECT_FALSE(decode_text_list(list_of(units)).has_value()) << "a lone high half";
        units[at + 1] = 0xDE00;
        const auto texts = decode_text_list(list_of(units));
        ASSERT_TRUE(texts.has_value()) << "a pair";
        EXPECT_EQ((*texts)[0].substr(at, 4), "\xF0\x9F\x98\x80");
      } else {
        EXPECT_FALSE(decode_text_list(list_of(units)).has_value()) << "cut by the end";
      }
      units.assign(length, 'x');
      units[at] = 0xDC00;
      EXPECT_FALSE(decode_text_list(list_of(units)).has_value()) << "a lone low half";
      units[at] = 0xE000;  // just past the surrogates
      EXPECT_TRUE(decode_text_list(list_of(units)).has_value()) << "U+E000";
      units[at] = 0xD7FF;
      EXPECT_TRUE(decode_text_list(list_of(units)).has_value()) << "U+D7FF";
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
