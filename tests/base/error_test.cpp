#include "base/error.hpp"

#include <gtest/gtest.h>

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "support/child_process.hpp"

namespace vellicor {
namespace {

TEST(ErrorTest, DisplayTextCarriesTheKindsPrefix) {
  struct Case {
    const ErrorKind& kind;
    const char* message;
    const char* display;
  };
  const Case cases[] = {
      {OtherError, "Failed to kill process", "Failed to kill process"},
      {IoError, kUnexpectedEof, "failed to fill whole buffer"},
      {ArgumentError, "Code path needs to be absolute. Instead got: x",
       "Bad arguments: Code path needs to be absolute. Instead got: x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Error(c.kind, c.message).display_text(), c.display);
}

TEST(ErrorTest, SystemErrorsEndWithTheirCode) {
  const Error error = os_io_error(2);  // file not found on both platforms
  EXPECT_EQ(error.kind(), IoError);
  EXPECT_FALSE(error.message().empty());
  EXPECT_NE(error.message().back(), '\n');
  EXPECT_EQ(error.display_text(), error.message() + " (os error 2)");
}

TEST(ErrorTest, LastOsErrorTextIsTheSystemMessageUnchanged) {
  testing_support::set_last_os_error(2);
  const auto text = last_os_error_text();
  ASSERT_TRUE(text);
  EXPECT_FALSE(text->empty());
  if (native_path_style() == PathStyle::Windows) {
    EXPECT_TRUE(text->ends_with("\r\n")) << *text;
    testing_support::set_last_os_error(0x2FFFFFFF);  // a code without a message
    EXPECT_EQ(last_os_error_text(), std::string("unknown error"));
  } else {
    EXPECT_EQ(*text, "No such file or directory");
  }
}

}  // namespace
}  // namespace vellicor
