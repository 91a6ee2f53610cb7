#include "logging/timestamp.hpp"

#include <array>
#include <string_view>

namespace vellicor {
namespace {

constexpr std::array<std::string_view, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Values outside 0..99 never come from the clock; they are clamped so that the line keeps
// its fixed layout.
void append_two_digits(std::string& out, int value) {
  if (value < 0) value = 0;
  if (value > 99) value = 99;
  out.push_back(static_cast<char>('0' + value / 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

std::string format_timestamp(const LocalTime& time) {
  std::string out;
  append_timestamp(out, time);
  return out;
}

void append_timestamp(std::string& out, const LocalTime& time) {
  if (time.month >= 1 && time.month <= 12) {
    out.append(kMonthNames[static_cast<size_t>(time.month - 1)]);
  } else {
    out.append("???");
  }
  out.push_back(' ');
  append_two_digits(out, time.day);
  out.push_back(' ');
  append_two_digits(out, time.hour);
  out.push_back(':');
  append_two_digits(out, time.minute);
  out.push_back(':');
  append_two_digits(out, time.second == 60 ? 59 : time.second);
  out.push_back('.');
  // Some clocks mark a leap second with nanoseconds past one second; stay within three digits.
  uint32_t millis = time.nanoseconds / 1000000;
  if (millis > 999) millis = 999;
  out.push_back(static_cast<char>('0' + millis / 100));
  out.push_back(static_cast<char>('0' + millis / 10 % 10));
  out.push_back(static_cast<char>('0' + millis % 10));
}

}  // namespace vellicor
