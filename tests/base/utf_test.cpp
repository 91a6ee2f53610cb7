#include "base/utf.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vellicor {
namespace {

TEST(UtfTest, RoundTripsEveryPlane) {
  const std::string texts[] = {
      "",
      "C:\\Apps\\Vellicor\\Vellicor.exe",
      "\xC3\x9C"
      "berblick.txt",                          // Überblick.txt
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",  // 日本語
      "smile-\xF0\x9F\x98\x80.txt",            // U+1F600, a surrogate pair in UTF-16
      "\xF4\x8F\xBF\xBF",                      // U+10FFFF
      std::string("nul\0inside", 10),
  };
  for (const auto& text : texts) {
    auto wide = utf8_to_utf16(text);
    ASSERT_TRUE(wide) << text;
    auto back = utf16_to_utf8(*wide);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, text);
    EXPECT_TRUE(is_valid_utf8(text));
  }
}

TEST(UtfTest, EncodesSupplementaryCharactersAsOnePair) {
  auto wide = utf8_to_utf16("\xF0\x9F\x98\x80");
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, (std::u16string{0xD83D, 0xDE00}));
}

TEST(UtfTest, RefusesMalformedUtf8) {
  const std::string bad[] = {
      "\x80",              // continuation byte without a lead
      "\xC3",              // truncated two-byte sequence
      "\xE6\x97",          // truncated three-byte sequence
      "\xC0\xAF",          // overlong "/"
      "\xE0\x80\xAF",      // overlong "/"
      "\xF0\x80\x80\xAF",  // overlong "/"
      "\xED\xA0\x80",      // UTF-8 encoded surrogate U+D800
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xFF",              // never valid
      "ok\xC3(",           // bad continuation
  };
  for (const auto& text : bad) {
    EXPECT_FALSE(is_valid_utf8(text)) << testing::PrintToString(text);
    EXPECT_FALSE(utf8_to_utf16(text)) << testing::PrintToString(text);
  }
}

TEST(UtfTest, RefusesUnpairedSurrogates) {
  const std::u16string bad[] = {
      {0xD800}, {u'a', 0xD83D}, {0xDE00, 0xD83D}, {0xDC00, u'a'}, {0xD83D, u'a', 0xDE00},
  };
  for (const auto& units : bad)
    EXPECT_FALSE(utf16_to_utf8(units));
}

TEST(UtfTest, WideToText) {
  struct Case {
    std::u16string units;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {u"Vellicor.exe", "Vellicor.exe"},  // no terminating zero: every unit is taken
      {std::u16string(u"app.exe\0junk", 12), "app.exe"},
      {u"", ""},
      {u"\u00dcberblick",
       "\xC3\x9C"
       "berblick"},
      {u"smile-\U0001F600", "smile-\xF0\x9F\x98\x80"},
      {std::u16string{u'a', 0xD800, u'b'}, std::nullopt},
      {std::u16string{0xDE00}, std::nullopt},
      {std::u16string{u'a', 0xD83D}, std::nullopt},  // the pair is cut off by the length
  };
  for (const auto& c : cases) {
    const auto text = wide_to_text(c.units.data(), c.units.size());
    if (c.text) {
      EXPECT_EQ(text, *c.text);
    } else {
      ASSERT_FALSE(text);
      EXPECT_EQ(text.error().display_text(), "Could not convert from utf16");
    }
  }
  const std::u16string full(260, u'x');  // a 260-unit name without a zero is taken whole
  EXPECT_EQ(wide_to_text(full.data(), full.size())->size(), 260u);
}

TEST(UtfTest, UpperCaseUnitsAsWindowsNamesCompare) {
  const std::pair<char16_t, char16_t> cases[] = {
      {u'a', u'A'},     {u'z', u'Z'},     {u'A', u'A'},   {u'_', u'_'},   {0xE9, 0xC9},
      {0xF7, 0xF7},     {0xFF, 0x178},    {0x101, 0x100}, {0x100, 0x100}, {0x131, u'I'},
      {0x13A, 0x139},   {0x148, 0x147},   {0x14B, 0x14A}, {0x17A, 0x179}, {0x17F, u'S'},
      {0x3B1, 0x391},   {0x3C2, 0x3A3},   {0x3C3, 0x3A3}, {0x430, 0x410}, {0x451, 0x401},
      {0x4E00, 0x4E00}, {0xD83D, 0xD83D},
  };
  for (const auto& [unit, upper] : cases) {
    EXPECT_EQ(upper_case_unit(unit), upper) << std::hex << static_cast<int>(unit);
  }
}

}  // namespace
}  // namespace vellicor
