#pragma once
// Local wall-clock time for the log lines: reading it from the system and formatting it.

#include <cstdint>
#include <string>

#include "base/error.hpp"

namespace vellicor {

// A moment of local time, as much of it as a log line shows.
struct LocalTime {
  int month = 1;  // 1 to 12
  int day = 1;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;  // 60 during a leap second
  uint32_t nanoseconds = 0;
};

// "Mar 05 14:02:07.093": English month abbreviation, two-digit day, hours, minutes and seconds,
// milliseconds truncated from the nanoseconds. A leap second is written as second 59.
std::string format_timestamp(const LocalTime& time);
// The same, appended to a line being built.
void append_timestamp(std::string& out, const LocalTime& time);

// Length of every text that format_timestamp gives.
inline constexpr size_t kTimestampLength = 19;

// The system clock now, in local time under the current time-zone rules. Fails with the
// name of the conversion that failed and the system's reason.
[[nodiscard]] Result<LocalTime> local_time_now();

// The conversion that local_time_now applies to its clock reading, for a fixed moment given
// in seconds and nanoseconds since 1970-01-01 00:00:00 UTC.
[[nodiscard]] Result<LocalTime> local_time_at(int64_t unix_seconds, uint32_t nanoseconds);

}  // namespace vellicor
