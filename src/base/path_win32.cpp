#include "base/path.hpp"

namespace vellicor {

PathStyle native_path_style() {
  return PathStyle::Windows;
}

}  // namespace vellicor
