#include "base/one_value_channel.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "base/sleep.hpp"
#include "base/thread.hpp"

namespace vellicor {
namespace {

TEST(OneValueChannelTest, DeliversTheValueSentBeforeTheReceiverWaits) {
  auto [sender, receiver] = make_one_value_channel<uint32_t>();
  EXPECT_TRUE(sender.send(42));
  EXPECT_EQ(receiver.receive(), 42u);
}

TEST(OneValueChannelTest, OnlyTheFirstValueCounts) {
  auto [sender, receiver] = make_one_value_channel<uint32_t>();
  EXPECT_TRUE(sender.send(1));
  EXPECT_FALSE(sender.send(2));
  EXPECT_EQ(receiver.receive(), 1u);
}

TEST(OneValueChannelTest, ReleasingTheSenderWithoutAValueWakesTheReceiverWithNothing) {
  auto [sender, receiver] = make_one_value_channel<uint32_t>();
  auto releaser = Thread::start([moved = std::move(sender)]() mutable {
    sleep_milliseconds(20);
    moved = OneValueSender<uint32_t>();
  });
  ASSERT_TRUE(releaser.has_value()) << releaser.error().display_text();
  EXPECT_EQ(receiver.receive(), std::nullopt);
  releaser->join();
}

TEST(OneValueChannelTest, ValueSentFromAnotherThreadWakesTheReceiver) {
  auto [sender, receiver] = make_one_value_channel<uint32_t>();
  auto sending = Thread::start([moved = std::move(sender)]() mutable {
    sleep_milliseconds(20);
    moved.send(7);
  });
  ASSERT_TRUE(sending.has_value()) << sending.error().display_text();
  EXPECT_EQ(receiver.receive(), 7u);
  sending->join();
}

TEST(OneValueChannelTest, AMovedSenderKeepsTheChannelOpen) {
  auto [sender, receiver] = make_one_value_channel<uint32_t>();
  OneValueSender<uint32_t> moved = std::move(sender);
  { OneValueSender<uint32_t> dropped = std::move(sender); }  // the empty husk closes nothing
  EXPECT_TRUE(moved.send(5));
  EXPECT_EQ(receiver.receive(), 5u);
}

TEST(OneValueChannelTest, SendingAfterTheReceiverIsGoneIsHarmless) {
  auto channel = make_one_value_channel<uint32_t>();
  OneValueSender<uint32_t> sender = std::move(channel.first);
  { auto receiver = std::move(channel.second); }
  EXPECT_TRUE(sender.send(3));
}

}  // namespace
}  // namespace vellicor
