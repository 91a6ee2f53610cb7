#pragma once
// Lets GoogleTest print an Error by its kind and display text instead of its bytes, and
// compare the error of a result that may, wrongly, have succeeded.

#include <optional>
#include <ostream>

#include "base/error.hpp"

namespace vellicor {

inline void PrintTo(const ErrorKind& kind, std::ostream* out) {
  *out << kind.name();
}

inline void PrintTo(const Error& error, std::ostream* out) {
  *out << "Error(" << error.kind().name() << ", \"" << error.display_text() << "\")";
}

template <class T>
std::optional<Error> error_of(const Result<T>& result) {
  if (result) return std::nullopt;
  return result.error();
}

}  // namespace vellicor
