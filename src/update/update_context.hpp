#pragma once
// What every step of an update works with: the log to write to, the installation it works on,
// and how its retried steps wait and ask the user.

#include "update/retry.hpp"

namespace vellicor {

class Logger;
struct Installation;

struct UpdateContext {
  Logger& logger;
  const Installation& installation;
  const RetryHooks& hooks;
};

}  // namespace vellicor
