#include "base/simulated_failure.hpp"

#include <atomic>

#include "base/os_error.hpp"

namespace vellicor {
namespace {

// Constant-initialized: no program pays for a hook it never installs.
std::atomic<const FailureHook*> installed{nullptr};

}  // namespace

SimulatedFailures::SimulatedFailures(FailureHook hook) : hook_(std::move(hook)) {
  installed.store(&hook_, std::memory_order_release);
}

SimulatedFailures::~SimulatedFailures() {
  installed.store(nullptr, std::memory_order_release);
}

bool fails_simulated(DurableCall call) {
  const FailureHook* hook = installed.load(std::memory_order_acquire);
  if (hook == nullptr) return false;
  const int code = (*hook)(call);
  if (code == 0) return false;
  set_last_os_error_code(code);
  return true;
}

}  // namespace vellicor
