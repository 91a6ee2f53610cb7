#include "base/error.hpp"

#include <gtest/gtest.h>

#include <vector>

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

// Each platform's codes as their documentation numbers them (winerror.h; Linux's errno.h), and
// what they mean to the program: running out of files is final (no wait gives one back), every
// other I/O error may be waited for.
TEST(ErrorTest, PlatformCodesMeanWhatTheirDocumentationSays) {
  struct Case {
    int code;
    OsErrorMeaning meaning;
  };
  using enum OsErrorMeaning;
  const std::vector<Case> cases =
      native_path_style() == PathStyle::Windows
          ? std::vector<Case>{{2, NotFound},        {3, NotFound},     {4, OutOfHandles},
                              {1450, OutOfHandles},  // ERROR_NO_SYSTEM_RESOURCES
                              {1816, OutOfHandles},  // ERROR_NOT_ENOUGH_QUOTA
                              {1, NoFlushHere},     {50, NoFlushHere}, {5, Other},
                              {32, Other},  // a sharing violation passes when the other lets go
                              {87, Other}}
          : std::vector<Case>{{2, NotFound},     {24, OutOfHandles}, {23, OutOfHandles},
                              {22, NoFlushHere}, {30, NoFlushHere},  {95, NoFlushHere},
                              {5, Other},        {11, Other},        {13, Other}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(os_error_meaning(c.code), c.meaning);
    const bool final = c.meaning == OutOfHandles;
    EXPECT_EQ(os_io_error(c.code).kind().is_final(), final);
    testing_support::set_last_os_error(c.code);
    EXPECT_EQ(error_with_os_text("x: ").kind().is_final(), final);
    EXPECT_EQ(is_not_found(os_io_error(c.code)), c.meaning == NotFound);
  }
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
