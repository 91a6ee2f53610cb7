#include "base/utf.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "support/name_volume.hpp"

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

// Expected units as NTFS's $UpCase maps them: the table that mkntfs 2022.10.3 writes, read back
// with ntfscat, and the names that a volume mounted with lowntfs-3g -o ignore_case takes for
// one (tests/base/path_test.cpp). Not Unicode's case mapping: dotless i, long s, final sigma,
// the titlecase letters (Dz with caron), sharp s and the letter-like symbols stay themselves.
TEST(UtfTest, UpperCaseUnitsAsWindowsNamesCompare) {
  const std::pair<char16_t, char16_t> cases[] = {
      {u'a', u'A'},     {u'z', u'Z'},     {u'A', u'A'},     {u'_', u'_'},     {0xE9, 0xC9},
      {0xF7, 0xF7},     {0xFF, 0x178},    {0x101, 0x100},   {0x100, 0x100},   {0x131, 0x131},
      {0x13A, 0x139},   {0x148, 0x147},   {0x14B, 0x14A},   {0x17A, 0x179},   {0x17F, 0x17F},
      {0x3B1, 0x391},   {0x3C2, 0x3C2},   {0x3C3, 0x3A3},   {0x430, 0x410},   {0x451, 0x401},
      {0x4E00, 0x4E00}, {0xD83D, 0xD83D}, {0xE5, 0xC5},     {0x6B, u'K'},     {0xDF, 0xDF},
      {0x3AC, 0x386},   {0x1F00, 0x1F08}, {0x491, 0x490},   {0x461, 0x460},   {0x561, 0x531},
      {0x1C6, 0x1C4},   {0x1C5, 0x1C5},   {0x1C4, 0x1C4},   {0x1CE, 0x1CD},   {0x180, 0x243},
      {0x1EA1, 0x1EA0}, {0x2170, 0x2160}, {0x24D0, 0x24B6}, {0xFF41, 0xFF21}, {0x1E9E, 0x1E9E},
      {0x212A, 0x212A}, {0x212B, 0x212B}, {0xDC00, 0xDC00}, {0xDBFF, 0xDBFF},
  };
  for (const auto& [unit, upper] : cases) {
    EXPECT_EQ(upper_case_unit(unit), upper) << std::hex << static_cast<int>(unit);
  }
}

// Every unit against the $UpCase file of a volume that mkntfs formats now (where ntfs-3g is
// installed): the committed table is what the formatter writes, not a copy gone stale or wrong.
TEST(UtfTest, UpperCaseUnitsAreThoseOfAFreshNtfsVolume) {
  std::string why_not;
  const auto upcase = testing_support::fresh_ntfs_upcase_table(why_not);
  if (!upcase) GTEST_SKIP() << why_not;
  int differences = 0;
  for (uint32_t unit = 0; unit < upcase->size(); ++unit) {
    const char16_t expected = (*upcase)[unit];
    if (upper_case_unit(static_cast<char16_t>(unit)) != expected && ++differences <= 10) {
      ADD_FAILURE() << std::hex << "unit " << unit << ": upper_case_unit gives "
                    << static_cast<int>(upper_case_unit(static_cast<char16_t>(unit)))
                    << ", $UpCase " << static_cast<int>(expected);
    }
  }
  EXPECT_EQ(differences, 0);
}

}  // namespace
}  // namespace vellicor
