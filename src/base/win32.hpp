#pragma once
// The one header that includes <windows.h>; only the _win32.cpp files include it.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "base/handle.hpp"

namespace vellicor::win32 {

// A Handle seen with the platform's own type.
class UniqueHandle : public Handle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : Handle(reinterpret_cast<Native>(handle)) {}
  HANDLE get() const { return reinterpret_cast<HANDLE>(Handle::get()); }
  HANDLE release() { return reinterpret_cast<HANDLE>(Handle::release()); }
};

// UTF-8 to a zero-terminated UTF-16 string for the W functions; fails on invalid UTF-8.
[[nodiscard]] Result<std::wstring> to_wide(std::string_view text);

// A path for the W functions, in the form that they take at any length (system_path); a path
// that is not valid UTF-8 fails as the I/O error of an invalid name.
[[nodiscard]] Result<std::wstring> wide_path(std::string_view path);

enum class AttributeChange { Made, AlreadySo, Failed };

// Sets the read-only attribute of the file at `path` on or off, through a handle of its own with
// attribute access only: share modes do not govern FILE_READ_ATTRIBUTES and
// FILE_WRITE_ATTRIBUTES, so an exclusive hold on the file elsewhere does not keep it out.
AttributeChange set_read_only(std::wstring_view path, bool read_only);

// UTF-16 units to UTF-8; fails on an unpaired surrogate.
[[nodiscard]] Result<std::string> from_wide(std::wstring_view units);

}  // namespace vellicor::win32
