#pragma once
// A channel that carries at most one value from one thread to another.

#include <memory>
#include <optional>
#include <utility>

#include "base/thread.hpp"

namespace vellicor {

namespace detail {

template <class T>
struct OneValueState {
  Mutex mutex;
  ConditionVariable changed;
  std::optional<T> value;
  bool closed = false;
};

}  // namespace detail

// The sending end of a channel that carries at most one value. Releasing the sender closes the
// channel, value or not, so a receiver never waits for a sender that is gone.
template <class T>
class OneValueSender {
 public:
  OneValueSender() = default;
  explicit OneValueSender(std::shared_ptr<detail::OneValueState<T>> state)
      : state_(std::move(state)) {}
  OneValueSender(const OneValueSender&) = delete;
  OneValueSender& operator=(const OneValueSender&) = delete;
  OneValueSender(OneValueSender&& other) noexcept = default;
  OneValueSender& operator=(OneValueSender&& other) noexcept {
    if (this != &other) {
      close();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~OneValueSender() { close(); }

  // Hands the value to the receiver; false when a value was already sent or there is no channel.
  bool send(T value) {
    if (!state_) return false;
    {
      MutexLock lock(state_->mutex);
      if (state_->closed) return false;
      state_->value = std::move(value);
      state_->closed = true;
    }
    state_->changed.notify_all();
    return true;
  }

 private:
  void close() {
    if (!state_) return;
    {
      MutexLock lock(state_->mutex);
      state_->closed = true;
    }
    state_->changed.notify_all();
    state_.reset();
  }

  std::shared_ptr<detail::OneValueState<T>> state_;
};

template <class T>
class OneValueReceiver {
 public:
  explicit OneValueReceiver(std::shared_ptr<detail::OneValueState<T>> state)
      : state_(std::move(state)) {}

  // Blocks until the value arrives; nothing when the sender was released without one.
  std::optional<T> receive() {
    MutexLock lock(state_->mutex);
    state_->changed.wait(state_->mutex, [&] { return state_->closed; });
    return std::exchange(state_->value, std::nullopt);
  }

 private:
  std::shared_ptr<detail::OneValueState<T>> state_;
};

template <class T>
std::pair<OneValueSender<T>, OneValueReceiver<T>> make_one_value_channel() {
  auto state = std::make_shared<detail::OneValueState<T>>();
  return {OneValueSender<T>(state), OneValueReceiver<T>(state)};
}

}  // namespace vellicor
