#pragma once
// What every step of an update works with: the log to write to, the installation it works on,
// and how its retried steps wait and ask the user.

#include <functional>

#include "update/retry.hpp"

namespace vellicor {

class Logger;
struct Installation;

struct UpdateContext {
  Logger& logger;
  const Installation& installation;
  const RetryHooks& hooks;
  // Called once the checks before the update's first change have passed, before that change:
  // what the caller does only for an update that goes ahead (the registration at logon).
  std::function<void()> checked = {};
};

}  // namespace vellicor
