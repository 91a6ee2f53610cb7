#pragma once
// The kinds of error that reading, writing and rebasing an uninstall log raise.

#include "base/error.hpp"

namespace vellicor {

inline constexpr ErrorKind HeaderParseError{"HeaderParseError", "Header parse error: "};
inline constexpr ErrorKind HeaderWriteError{"HeaderWriteError", "Header write error: "};
inline constexpr ErrorKind FileRecParseError{"FileRecParseError", "FileRec parse error: "};
inline constexpr ErrorKind FileRecWriteError{"FileRecWriteError", "FileRec write error: "};
inline constexpr ErrorKind StringDecodeError{"StringDecodeError", "String decode error: "};
// A folder to rebase from that has no parent or is not UTF-8; the text says no more.
inline constexpr ErrorKind RebaseError{"RebaseError", "Rebase error", ErrorKind::Text::StandsAlone};

}  // namespace vellicor
