#pragma once
// File-system primitives over the platform: metadata queries.

#include <string_view>

#include "base/error.hpp"

namespace vellicor {

struct FileMetadata {
  bool is_directory = false;
};

// Metadata of what the path leads to, following links; fails with the platform's I/O error.
[[nodiscard]] Result<FileMetadata> metadata(std::string_view path);

}  // namespace vellicor
