#pragma once
// One update per installation at a time, across processes: a lock that the system releases
// when its holder ends, however it ends (a kill included), so that it never outlives a run.

#include <optional>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "base/handle.hpp"

namespace vellicor {

// Holds the lock of one installation until it goes away.
class UpdateLock {
 public:
  UpdateLock(UpdateLock&& other) noexcept = default;
  UpdateLock& operator=(UpdateLock&&) = delete;
  ~UpdateLock();

  // Takes the lock of the installation whose resolved root is `root`, without waiting. Fails
  // with "Another update of this installation is running: " + root while another process
  // holds it.
  [[nodiscard]] static Result<UpdateLock> take(std::string_view root);

  // The same, with nothing while another process holds the lock.
  [[nodiscard]] static Result<std::optional<UpdateLock>> try_take(std::string_view root);

 private:
  explicit UpdateLock(Handle handle) : handle_(std::move(handle)) {}
  Handle handle_;  // a mutex on Windows, the locked root's descriptor on POSIX
};

}  // namespace vellicor
