#pragma once
// The system's clocks: the wall clock as whole seconds since 1970-01-01 00:00:00 UTC, and a
// steady clock for deadlines.

#include <cstdint>
#include <optional>

namespace vellicor {

// Nothing when the clock reads earlier than 1970.
std::optional<uint64_t> unix_seconds_now();

// Microseconds from an unspecified start on a clock that only moves forward, whatever is done
// to the wall clock meanwhile.
uint64_t steady_microseconds();

}  // namespace vellicor
