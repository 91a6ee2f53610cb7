#include "main/failure_box.hpp"

#include <gtest/gtest.h>

namespace vellicor {
namespace {

constexpr std::string_view kAdvice =
    "Failed to install Vellicor update.\n\n"
    "Updates may fail due to anti-virus software and/or runaway processes. Please try "
    "restarting your machine before attempting to update again.\n\n"
    "If update fails repeatedly, please attach the following log file to a new issue on "
    "GitHub:\n\n";

TEST(FailureBoxTest, TextEndsWithTheLogPathItself) {
  for (const std::string path :
       {"C:\\Users\\ann\\AppData\\Local\\Temp\\vellicor-updater-1700000000.log",
        "vellicor-updater-1700000000.log", "/tmp/vellicor-updater-5.log", ""}) {
    EXPECT_EQ(failure_box_text(path), std::string(kAdvice) + path);
  }
}

}  // namespace
}  // namespace vellicor
