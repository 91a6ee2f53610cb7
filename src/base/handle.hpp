#pragma once
// An operating-system handle that closes itself on every path: a HANDLE on Windows, a file
// descriptor on POSIX. Every open file, lock and process handle of the platform layer is one.

#include <cstdint>
#include <utility>

#include "base/error.hpp"

namespace vellicor {

class Handle {
 public:
  // The platform's value. -1 (INVALID_HANDLE_VALUE, no descriptor) is none, and on Windows null
  // too, which some calls return instead.
  using Native = std::intptr_t;

  Handle() = default;
  explicit Handle(Native native) : native_(native) {}
  Handle(Handle&& other) noexcept : native_(std::exchange(other.native_, kNone)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      native_ = std::exchange(other.native_, kNone);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  Native get() const { return native_; }
  bool valid() const;
  // Gives the value up: nothing closes it any more.
  Native release() { return std::exchange(native_, kNone); }
  // Closes without reporting: for paths that failed already, or that only read.
  void reset();
  // Closes and reports a failure of the close itself (an I/O error); the handle is gone
  // either way, so a close is never retried.
  [[nodiscard]] Status close();

 private:
  static constexpr Native kNone = -1;
  Native native_ = kNone;
};

}  // namespace vellicor
