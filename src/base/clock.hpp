#pragma once
// The system clock as whole seconds since 1970-01-01 00:00:00 UTC.

#include <cstdint>
#include <optional>

namespace vellicor {

// Nothing when the clock reads earlier than 1970.
std::optional<uint64_t> unix_seconds_now();

}  // namespace vellicor
