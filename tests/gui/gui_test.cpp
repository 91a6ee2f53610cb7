#include "gui/gui.hpp"

#include <gtest/gtest.h>

namespace vellicor {
namespace {

TEST(MessageBoxTest, StylesAreSystemModalWithTheErrorIcon) {
  EXPECT_EQ(message_box_style(MessageBoxButtons::Ok), 0x1010u);
  EXPECT_EQ(message_box_style(MessageBoxButtons::RetryCancel), 0x1015u);
}

TEST(MessageBoxTest, EveryResultMapsToItsAnswer) {
  const struct {
    int result;
    MessageBoxAnswer answer;
  } cases[] = {
      {0, MessageBoxAnswer::None},      {1, MessageBoxAnswer::Ok},
      {2, MessageBoxAnswer::Cancel},    {3, MessageBoxAnswer::Abort},
      {4, MessageBoxAnswer::Retry},     {5, MessageBoxAnswer::Ignore},
      {6, MessageBoxAnswer::Yes},       {7, MessageBoxAnswer::No},
      {8, MessageBoxAnswer::None},      {9, MessageBoxAnswer::None},
      {10, MessageBoxAnswer::TryAgain}, {11, MessageBoxAnswer::Continue},
      {12, MessageBoxAnswer::None},     {-1, MessageBoxAnswer::None},
      {32000, MessageBoxAnswer::None},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(message_box_answer(c.result), c.answer) << "result " << c.result;
  }
}

TEST(ProgressWindowTest, CentresByTheDesktopEdgesWithTruncatingHalves) {
  const struct {
    int right, bottom, width, height;
    WindowPosition expected;
  } cases[] = {
      {1920, 1080, 301, 119, {810, 481}},
      {1280, 1024, 333, 114, {474, 455}},
      {1281, 1025, 3, 3, {639, 511}},
      {800, 600, 1001, 701, {-100, -50}},  // larger than the screen: off its top-left corner
      {-3, -5, 0, 0, {-1, -2}},            // toward zero, not toward minus infinity
  };
  for (const auto& c : cases) {
    EXPECT_EQ(centred_window_position(c.right, c.bottom, c.width, c.height), c.expected)
        << c.right << "x" << c.bottom << " " << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace vellicor
