#include <array>
#include <cstdint>

#include "base/utf.hpp"

namespace vellicor {
namespace {

// Units first, first + stride, ..., last map to themselves plus delta.
struct UpperCaseRun {
  char16_t first;
  char16_t last;
  uint8_t stride;
  int32_t delta;
};

// The uppercase file of NTFS "is created while formatting and it defines the mapping of lower
// case characters to upper case ones", and "mkntfs creates the uppercase table so that no
// warning is thrown by Windows Vista, Windows 7 or Windows 8" (mkntfs(8), ntfs-3g 2022.10.3):
// the table of those systems. scripts/make_upcase_table.py copies it out of a freshly formatted
// image.
constexpr UpperCaseRun kRuns[] = {
#include "base/ntfs_upcase_table.inc"
};

constexpr std::array<char16_t, 0x10000> make_table() {
  std::array<char16_t, 0x10000> table{};
  for (size_t unit = 0; unit < table.size(); ++unit)
    table[unit] = static_cast<char16_t>(unit);
  for (const UpperCaseRun& run : kRuns) {
    for (uint32_t unit = run.first; unit <= run.last; unit += run.stride)
      table[unit] = static_cast<char16_t>(static_cast<int32_t>(unit) + run.delta);
  }
  return table;
}

// Built by the compiler: constant data that every thread reads, and a single look-up per unit
// however many units the uninstall log's texts hold.
constexpr std::array<char16_t, 0x10000> kUpperCase = make_table();

}  // namespace

char16_t upper_case_unit(char16_t unit) {
  return kUpperCase[unit];
}

}  // namespace vellicor
