#include <gtest/gtest.h>

#include "gui/gui.hpp"

// Built without the product's resources: the dialog template is missing, so the window cannot
// come up, and the caller must hear so instead of waiting forever.

namespace vellicor {
namespace {

TEST(ProgressWindowWithoutTemplateTest, TheChannelClosesWithoutAnId) {
  EXPECT_EQ(start_progress_thread(false), std::nullopt);
  EXPECT_EQ(start_progress_thread(true), std::nullopt);
}

}  // namespace
}  // namespace vellicor
