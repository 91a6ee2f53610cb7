// The runtime's reports of a misused container: natively those of the C++ runtime itself, in
// the Windows build those of the executable's own helpers (library_errors_win32.cpp), which
// must give the same messages.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

TEST(LibraryErrorsTest, MisusedContainersThrowAnExceptionWithTheRuntimesMessage) {
  const std::string abc = "abc";
  std::vector<int> one{1};
  const char* volatile null_text = nullptr;
  const struct {
    const char* name;
    std::function<void()> misuse;
    std::string message;
  } cases[] = {
      {"substr past the end", [&] { (void)abc.substr(5); },
       "basic_string::substr: __pos (which is 5) > this->size() (which is 3)"},
      {"string at", [&] { (void)abc.at(3); },
       "basic_string::at: __n (which is 3) >= this->size() (which is 3)"},
      {"vector at", [&] { (void)one.at(2); },
       "vector::_M_range_check: __n (which is 2) >= this->size() (which is 1)"},
      {"vector reserve", [&] { one.reserve(one.max_size() + 1); }, "vector::reserve"},
      {"string from null", [&] { std::string text(null_text); },
       "basic_string: construction from null is not valid"},
  };
  for (const auto& c : cases) {
    try {
      c.misuse();
      ADD_FAILURE() << c.name << ": nothing thrown";
    } catch (const std::exception& error) {
      EXPECT_EQ(std::string(error.what()), c.message) << c.name;
    }
  }
}

TEST(LibraryErrorsTest, AnAllocationPastTheLimitsThrowsTheStandardClasses) {
  std::allocator<int64_t> allocator;
  // More elements than a size_t can count in bytes, and fewer but more than the limit.
  EXPECT_THROW((void)allocator.allocate(SIZE_MAX / sizeof(int64_t) + 1), std::bad_array_new_length);
  EXPECT_THROW((void)allocator.allocate(SIZE_MAX / sizeof(int64_t)), std::bad_alloc);
}

}  // namespace
