#include "logging/timestamp.hpp"

#include <array>
#include <string_view>

namespace vellicor {
namespace {

constexpr std::array<std::string_view, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Values outside 0..99 never come from the clock; they are clamped so that the line keeps
// its fixed layout.
void put_two_digits(char* out, int value) {
  if (value < 0) value = 0;
  if (value > 99) value = 99;
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

std::string format_timestamp(const LocalTime& time) {
  std::string out;
  append_timestamp(out, time);
  return out;
}

void append_timestamp(std::string& out, const LocalTime& time) {
  char text[kTimestampLength + 1] = "??? 00 00:00:00.000";
  if (time.month >= 1 && time.month <= 12) {
    kMonthNames[static_cast<size_t>(time.month - 1)].copy(text, 3);
  }
  put_two_digits(text + 4, time.day);
  put_two_digits(text + 7, time.hour);
  put_two_digits(text + 10, time.minute);
  put_two_digits(text + 13, time.second == 60 ? 59 : time.second);
  // Some clocks mark a leap second with nanoseconds past one second; stay within three digits.
  uint32_t millis = time.nanoseconds / 1000000;
  if (millis > 999) millis = 999;
  text[16] = static_cast<char>('0' + millis / 100);
  text[17] = static_cast<char>('0' + millis / 10 % 10);
  text[18] = static_cast<char>('0' + millis % 10);
  out.append(text, kTimestampLength);
}

}  // namespace vellicor
