#include "base/win32.hpp"
#include "main/hardening.hpp"

namespace vellicor {

void harden_library_search() {
  // Every later load searches the system folder only; the exe's own imports are all system
  // libraries, which the loader found there already.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // And the current folder never, should a caller still name a library without a path.
  SetDllDirectoryW(L"");
}

}  // namespace vellicor
