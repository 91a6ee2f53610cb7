#include "main/hardening.hpp"

namespace vellicor {

// The dynamic loader reads only the paths of the program's own build and the system's.
void harden_library_search() {}

}  // namespace vellicor
