#include "main/update_state.hpp"

#include <array>

#include "base/buffered_io.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/path.hpp"
#include "main/installation.hpp"

namespace vellicor {
namespace {

// The record's whole content for each phase: one line a person who finds the file can read.
constexpr std::array<std::string_view, 2> kContents = {
    "Vellicor update in progress: deleting the old version\n",
    "Vellicor update in progress: moving the new version in\n",
};

std::string_view content_of(UpdatePhase phase) {
  return kContents[static_cast<size_t>(phase)];
}

std::string state_path(const Installation& installation) {
  return join_path(installation.root, kUpdateStateName);
}

std::string temp_path(const Installation& installation) {
  return join_path(installation.root, kUpdateStateTempName);
}

}  // namespace

std::string_view phase_text(UpdatePhase phase) {
  const std::string_view content = content_of(phase);
  const std::string_view prefix = "Vellicor update in progress: ";
  return content.substr(prefix.size(), content.size() - prefix.size() - 1);
}

Result<std::optional<UpdatePhase>> read_update_state(const Installation& installation) {
  const std::string path = state_path(installation);
  auto file = File::open_for_reading(path);
  if (!file) {
    // "Not found" is 2 on both platforms. Anything else at the name is not a record of ours.
    if (file.error().os_code() == 2) return std::optional<UpdatePhase>();
    return fail_other("Unreadable update record: " + path);
  }
  char buffer[128];
  auto got = file->read(buffer, sizeof buffer);
  if (!got) return fail(got.error());
  const std::string_view text(buffer, *got);
  for (size_t i = 0; i < kContents.size(); ++i) {
    if (text == kContents[i]) return std::optional(static_cast<UpdatePhase>(i));
  }
  return fail_other("Unreadable update record: " + path);
}

bool update_in_progress_next_to(std::string_view code_path) {
  const auto root = parent_path(code_path);
  return root && metadata(join_path(*root, kUpdateStateName)).has_value();
}

Status write_update_state(const Installation& installation, UpdatePhase phase) {
  const std::string temp = temp_path(installation);
  if (auto removed = remove_file_if_present(temp); !removed) return removed;
  auto file = File::create_new(temp);
  if (!file) return fail(file.error());
  BufferedWriter writer(*file);
  const std::string_view content = content_of(phase);
  if (auto written = writer.write_all(content.data(), content.size()); !written) return written;
  if (auto handed = writer.flush(); !handed) return handed;
  if (auto flushed = file->flush(); !flushed) return flushed;
  if (auto closed = file->close(); !closed) return closed;
  if (auto renamed = rename_replacing(temp, state_path(installation)); !renamed) return renamed;
  return flush_directory(installation.root);
}

Status remove_update_state(const Installation& installation) {
  if (auto removed = remove_file_if_present(temp_path(installation)); !removed) return removed;
  if (auto removed = remove_file_if_present(state_path(installation)); !removed) return removed;
  return flush_directory(installation.root);
}

}  // namespace vellicor
