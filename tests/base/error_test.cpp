#include "base/error.hpp"

#include <gtest/gtest.h>

#include "base/os_error.hpp"

namespace vellicor {
namespace {

TEST(ErrorTest, DisplayTextCarriesTheKindsPrefix) {
  struct Case {
    ErrorKind kind;
    const char* message;
    const char* display;
  };
  const Case cases[] = {
      {ErrorKind::Other, "Failed to kill process", "Failed to kill process"},
      {ErrorKind::Io, kUnexpectedEof, "failed to fill whole buffer"},
      {ErrorKind::Argument, "Code path needs to be absolute. Instead got: x",
       "Bad arguments: Code path needs to be absolute. Instead got: x"},
      {ErrorKind::HeaderParse, "CRC32 check failed", "Header parse error: CRC32 check failed"},
      {ErrorKind::HeaderWrite, "Failed to write header to writer",
       "Header write error: Failed to write header to writer"},
      {ErrorKind::FileRecParse, "Failed to parse file rec typ",
       "FileRec parse error: Failed to parse file rec typ"},
      {ErrorKind::FileRecWrite, "Failed to write file rec typ to buffer",
       "FileRec write error: Failed to write file rec typ to buffer"},
      {ErrorKind::StringDecode, "Failed to parse file rec string size",
       "String decode error: Failed to parse file rec string size"},
      {ErrorKind::Rebase, "", "Rebase error"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Error(c.kind, c.message).display_text(), c.display);
}

TEST(ErrorTest, SystemErrorsEndWithTheirCode) {
  const Error error = os_io_error(2);  // file not found on both platforms
  EXPECT_EQ(error.kind(), ErrorKind::Io);
  EXPECT_FALSE(error.message().empty());
  EXPECT_NE(error.message().back(), '\n');
  EXPECT_EQ(error.display_text(), error.message() + " (os error 2)");
}

}  // namespace
}  // namespace vellicor
