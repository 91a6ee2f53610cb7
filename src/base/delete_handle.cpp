#include "base/delete_handle.hpp"

namespace vellicor {

DeleteHandle::~DeleteHandle() {
  if (!is_open()) return;
  if (marked_) (void)unmark_for_deletion(*this);
  (void)close_file_handle(*this);
}

}  // namespace vellicor
