// Feeds arbitrary bytes to the update record's parser. Checks: nothing crashes; what it accepts
// prints to a text that it reads back as the same record, and printing that again gives the
// same text (records of earlier builds are read, and written in this build's form).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "update/update_record_format.hpp"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "check failed: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellicor;
  const auto record = parse_record(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!record) return 0;
  const std::string text = print_record(*record);
  const auto again = parse_record(text);
  check(again.has_value(), "a printed record reads back");
  check(*again == *record, "a printed record reads back as itself");
  check(print_record(*again) == text, "printing is stable");
  return 0;
}
