#include "model/errors.hpp"

#include <gtest/gtest.h>

namespace vellicor {
namespace {

TEST(ModelErrorsTest, DisplayTextCarriesTheKindsPrefix) {
  struct Case {
    const ErrorKind& kind;
    const char* message;
    const char* display;
  };
  const Case cases[] = {
      {HeaderParseError, "CRC32 check failed", "Header parse error: CRC32 check failed"},
      {HeaderWriteError, "Failed to write header to writer",
       "Header write error: Failed to write header to writer"},
      {FileRecParseError, "Failed to parse file rec typ",
       "FileRec parse error: Failed to parse file rec typ"},
      {FileRecWriteError, "Failed to write file rec typ to buffer",
       "FileRec write error: Failed to write file rec typ to buffer"},
      {StringDecodeError, "Failed to parse file rec string size",
       "String decode error: Failed to parse file rec string size"},
      {RebaseError, "", "Rebase error"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Error(c.kind, c.message).display_text(), c.display);
}

}  // namespace
}  // namespace vellicor
