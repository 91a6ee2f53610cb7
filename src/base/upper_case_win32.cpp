#include <atomic>
#include <cstdint>
#include <new>

#include "base/utf.hpp"
#include "base/win32.hpp"

namespace vellicor {
namespace {

// What every Windows volume folds, where the system's table cannot be had (no ntdll has been
// seen without RtlUpcaseUnicodeChar).
char16_t ascii_upper_case(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit;
}

using UpcaseChar = WCHAR(NTAPI*)(WCHAR);

// The table, made on first use and kept for the life of the process. It lies on the heap: an
// array of the program's own would take 128 KiB of the executable's file, since the compiler
// puts even a zero-filled one in .data when each variable has a section of its own (measured
// here: mingw-w64 GCC 12, -fdata-sections).
std::atomic<const char16_t*> upper_case{nullptr};
INIT_ONCE upper_case_once = INIT_ONCE_STATIC_INIT;

// Asks the system once for every unit's upper case. The system's own one-time set-up serves
// every thread, whichever thread model the C++ runtime was built with: "only one thread will
// execute the callback function specified by InitFn. The remaining threads will block until the
// callback function completes", and a callback that returns FALSE is run again by the next
// caller (learn.microsoft.com, InitOnceExecuteOnce function (synchapi.h)).
//
// Windows compares names without regard to case by upper-casing each UTF-16 unit through one
// table: CompareStringOrdinal with bIgnoreCase compares "using the operating system uppercase
// table information" (learn.microsoft.com, CompareStringOrdinal function), and "to map a UTF-16
// string to upper case, each UTF-16 code point is looked for in an upper casing table"
// (learn.microsoft.com, [MS-UCODEREF], Mapping UTF-16 Strings to Upper Case). A hash key
// (file_name_key) needs that table unit by unit, which RtlUpcaseUnicodeChar gives: it "converts
// the specified Unicode character to uppercase", DLL "Ntdll.dll (user mode)", "Windows 2000 and
// later" (learn.microsoft.com, RtlUpcaseUnicodeChar function (wdm.h)). Wine's ordinal
// comparison reads the same table as its RtlUpcaseUnicodeChar (Wine, dlls/ntdll/locale.c).
BOOL CALLBACK fill_upper_case(PINIT_ONCE, PVOID, PVOID*) {
  auto* table = new (std::nothrow) char16_t[0x10000];
  if (!table) return FALSE;  // the next call tries again
  const auto upcase = reinterpret_cast<UpcaseChar>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar")));
  for (uint32_t unit = 0; unit < 0x10000; ++unit) {
    table[unit] = upcase ? static_cast<char16_t>(upcase(static_cast<WCHAR>(unit)))
                         : ascii_upper_case(static_cast<char16_t>(unit));
  }
  upper_case.store(table, std::memory_order_release);
  return TRUE;
}

}  // namespace

char16_t upper_case_unit(char16_t unit) {
  const char16_t* table = upper_case.load(std::memory_order_acquire);
  if (!table) {
    InitOnceExecuteOnce(&upper_case_once, fill_upper_case, nullptr, nullptr);
    table = upper_case.load(std::memory_order_acquire);
    if (!table) return ascii_upper_case(unit);  // no memory for the table
  }
  return table[unit];
}

}  // namespace vellicor
