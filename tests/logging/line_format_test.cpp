#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "logging/logger.hpp"

namespace vellicor {
namespace {

std::string line_of(const LogRecord& record, std::string_view timestamp = "Mar 05 14:02:07.093") {
  std::string out;
  append_log_line(out, timestamp, record);
  return out;
}

TEST(LineFormatTest, LayoutOfMessageAndPairs) {
  const std::vector<LogPair> logger_pairs{{"l1", 1}, {"l2", 2}};
  struct Case {
    LogRecord record;
    std::string expected;
  };
  const Case cases[] = {
      {{.level = LogLevel::Info, .message = "Kill process if found: 4242, Vellicor.exe"},
       "Mar 05 14:02:07.093 INFO Kill process if found: 4242, Vellicor.exe\n"},
      {{.level = LogLevel::Error, .message = "m", .pairs = {{"count", 3}}},
       "Mar 05 14:02:07.093 ERRO m, count: 3\n"},
      // Nothing written after the level's space yet: no separator before the first pair.
      {{.level = LogLevel::Info, .message = "", .pairs = {{"count", 3}}},
       "Mar 05 14:02:07.093 INFO count: 3\n"},
      {{.level = LogLevel::Info, .message = "", .pairs = {{"a", 1}, {"b", 2}}},
       "Mar 05 14:02:07.093 INFO b: 2, a: 1\n"},
      {{.level = LogLevel::Warning, .message = ""}, "Mar 05 14:02:07.093 WARN \n"},
      {{.level = LogLevel::Info,
        .message = "",
        .pairs = {{"a", 1}, {"b", 2}},
        .logger_pairs = &logger_pairs},
       "Mar 05 14:02:07.093 INFO b: 2, a: 1, l2: 2, l1: 1\n"},
      {{.level = LogLevel::Info, .message = "", .logger_pairs = &logger_pairs},
       "Mar 05 14:02:07.093 INFO l2: 2, l1: 1\n"},
      // No quoting or escaping: the text goes on in the next physical line.
      {{.level = LogLevel::Critical, .message = "first\nsecond", .pairs = {{"k", "v\"w"}}},
       "Mar 05 14:02:07.093 CRIT first\nsecond, k: v\"w\n"},
      {{.level = LogLevel::Debug, .message = "d"}, "Mar 05 14:02:07.093 DEBG d\n"},
      {{.level = LogLevel::Trace, .message = "t"}, "Mar 05 14:02:07.093 TRCE t\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(line_of(c.record), c.expected);
}

TEST(LineFormatTest, AppendsToWhatIsThere) {
  std::string out = "previous\n";
  append_log_line(out, "Jan 01 00:00:00.000", {.level = LogLevel::Info, .message = "x"});
  EXPECT_EQ(out, "previous\nJan 01 00:00:00.000 INFO x\n");
}

TEST(LineFormatTest, ValueDisplay) {
  struct Case {
    LogValue value;
    std::string expected;
  };
  const Case cases[] = {
      {0, "0"},
      {-42, "-42"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<uint64_t>::max(), "18446744073709551615"},
      {static_cast<int8_t>(-7), "-7"},
      {static_cast<uint8_t>(200), "200"},
      {static_cast<short>(-300), "-300"},
      {true, "true"},
      {false, "false"},
      {'x', "x"},
      {U'\u00e9', "\xc3\xa9"},
      {U'\U0001F600', "\xf0\x9f\x98\x80"},
      {"text", "text"},
      {std::string("a, b: c"), "a, b: c"},
      {std::string_view(""), ""},
      {std::nullopt, "None"},
      {std::optional<int>(), "None"},
      {std::optional<int>(5), "5"},
      {std::optional<std::string>("s"), "s"},
      {LogValue::empty(), "()"},
      {LogValue::preformatted("0x1F"), "0x1F"},
      // Floating point: shortest text that reads back the same, never an exponent.
      {0.1, "0.1"},
      {1.0, "1"},
      {-2.5, "-2.5"},
      {0.30000000000000004, "0.30000000000000004"},
      {1e21, "1000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {0.001, "0.001"},
      {100.0, "100"},
      {12.5, "12.5"},
      {0.0, "0"},
      {1.5e-7, "0.00000015"},
      {123456789.125, "123456789.125"},
      {-0.0, "-0"},
      {0.1f, "0.1"},
      {16777216.0f, "16777216"},
      {3.4e38f, "340000000000000000000000000000000000000"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "NaN"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.value.display(), c.expected);
}

TEST(LineFormatTest, ExtremeDoublesStayInFixedNotationAndReadBack) {
  const double values[] = {std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::lowest(),
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::min(),
                           1e300,
                           1e-300};
  for (const double value : values) {
    const std::string text = LogValue(value).display();
    EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
  EXPECT_EQ(LogValue(std::numeric_limits<double>::max()).display().size(), 309u);
}

// Significant digits of a number's text, without sign, point, exponent or padding zeros.
std::string significant_digits(std::string_view text) {
  std::string digits;
  for (const char c : text.substr(0, text.find_first_of("eE")))
    if (c >= '0' && c <= '9') digits.push_back(c);
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0')
    digits.pop_back();
  return digits;
}

// std::to_chars, which gives the shortest round-trip digits, is the oracle.
template <class Float>
void check_shortest(Float value) {
  const std::string text = LogValue(value).display();
  ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
  if constexpr (std::is_same_v<Float, float>) {
    ASSERT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
  } else {
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
  char shortest[64];
  const auto end =
      std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific).ptr;
  ASSERT_EQ(significant_digits(text), significant_digits(std::string_view(shortest, end)))
      << text << " vs " << std::string_view(shortest, end);
}

template <class Float, class Bits>
void check_floats(uint64_t seed) {
  std::mt19937_64 random(seed);
  for (int i = 0; i < 3000; ++i) {
    const Float value = std::bit_cast<Float>(static_cast<Bits>(random()));
    if (std::isfinite(value)) {
      ASSERT_NO_FATAL_FAILURE(check_shortest(value));
    }
  }
  // Powers of two have a narrower rounding interval below them than above, where the
  // correctly rounded decimal may miss and a neighbour of it is the shortest.
  for (Float value = std::numeric_limits<Float>::denorm_min(); std::isfinite(value); value *= 2)
    ASSERT_NO_FATAL_FAILURE(check_shortest(value));
}

TEST(LineFormatTest, FloatsTakeTheShortestDigitsThatReadBack) {
  check_floats<double, uint64_t>(1);
  check_floats<float, uint32_t>(2);
}

}  // namespace
}  // namespace vellicor
