#include "update/update_record.hpp"

#include <string>

#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

// Far more than any record: a line of about a hundred bytes for each top-level entry of either
// version, and an application has a few hundred at most. A longer file is not one we wrote.
constexpr size_t kMaxRecordSize = size_t{64} << 20;

std::string temp_path(const Installation& installation) {
  return join_path(installation.root, kUpdateRecordTempName);
}

}  // namespace

Result<std::optional<UpdateRecord>> UpdateRecord::read(const Installation& installation) {
  const std::string& path = installation.update_record;
  auto file = File::open_for_reading(path);
  if (!file) {
    // Anything at the name but a file this program wrote is not a record of ours.
    if (is_not_found(file.error())) return std::optional<UpdateRecord>();
    return fail_other("Unreadable update record: " + path);
  }
  auto text = read_small_file(*file, kMaxRecordSize);
  if (!text) return fail(text.error());
  auto content = text->size() <= kMaxRecordSize ? parse_record(*text) : std::nullopt;
  if (!content) return fail_other("Unreadable update record: " + path);
  return std::optional(UpdateRecord(std::move(*content)));
}

bool update_recorded(const Installation& installation) {
  // A record that cannot be looked at is taken to be there.
  const auto found = metadata(installation.update_record);
  return found || !is_not_found(found.error());
}

Status UpdateRecord::write(const Installation& installation) const {
  return replace_file_durably(installation.update_record, temp_path(installation),
                              print_record(content_));
}

Status UpdateRecord::remove(const Installation& installation) {
  auto removed = remove_file_durably(installation.update_record, temp_path(installation));
  return removed ? Status{} : fail(removed.error());
}

Result<UpdateRecord> UpdateRecord::begin(const UpdateContext& update, RecordContent start) {
  start.phase = UpdatePhase::Deleting;
  start.knows_installation = true;
  UpdateRecord record(std::move(start));
  record.began_over_earlier_ = update_recorded(update.installation);
  if (auto written = record.write_retried(update); !written) {
    // The record may be in place without being on the device: nothing was deleted, so it goes
    // again (one over an earlier update's stays, as take_back says).
    record.take_back(update);
    return fail(written.error());
  }
  return record;
}

Status UpdateRecord::advance(const UpdateContext& update, UpdatePhase phase) {
  content_.phase = phase;
  return write_retried(update);
}

// Written like every other file step, under retry_with_prompt: it must be on the device
// before the step it announces.
Status UpdateRecord::write_retried(const UpdateContext& update) const {
  auto written = retry_with_prompt(
      "Writing the update record: " + update.installation.update_record, kRetryLimit,
      [&](uint32_t) { return write(update.installation); }, update.hooks);
  if (written) {
    log_info(update.logger,
             "Recorded the update in progress: " + std::string(phase_text(content_.phase)));
  }
  return written;
}

void UpdateRecord::keep_for_log_rewrite(const UpdateContext& update) {
  content_.phase = UpdatePhase::Patching;
  auto written = retry_without_prompt(
      kRetryLimit, [&](uint32_t) { return write(update.installation); }, update.hooks);
  if (written) {
    log_info(update.logger,
             "Recorded the update in progress: " + std::string(phase_text(content_.phase)));
  } else {
    log_warning(update.logger,
                "Could not record that the uninstall log is still to be rewritten: " +
                    written.error().display_text());
  }
}

void UpdateRecord::take_back(const UpdateContext& update) const {
  if (began_over_earlier_) return;
  // A record that stays behind only makes the next run go on deleting an old version that is
  // still whole: as safe as a fresh update.
  if (auto removed = remove(update.installation); !removed) {
    log_warning(update.logger, "Could not remove the update record " +
                                   update.installation.update_record + ": " +
                                   removed.error().display_text());
  }
}

Status UpdateRecord::set_aside(const UpdateContext& update) {
  return retry_with_prompt(
      "Removing the update record: " + update.installation.update_record, kRetryLimit,
      [&](uint32_t) { return remove(update.installation); }, update.hooks);
}

void UpdateRecord::finish(const UpdateContext& update) {
  auto removed = retry_without_prompt(
      kRetryLimit, [&](uint32_t) { return remove(update.installation); }, update.hooks);
  if (!removed) {
    log_warning(update.logger, "Could not remove the update record " +
                                   update.installation.update_record + ": " +
                                   removed.error().display_text());
  }
}

void UpdateRecord::remove_leftover(Logger& logger, const Installation& installation) {
  const std::string temp = temp_path(installation);
  // Whatever is there is what a write or a removal of the record cut short left: a record
  // written whole is renamed to the record's own name before it counts, and one that leaves
  // that name is complete. A folder there is no leftover of ours (the checks refuse it).
  auto traits = entry_traits(temp);
  if (!traits && is_not_found(traits.error())) return;
  Status removed = traits ? Status{} : Status(fail(traits.error()));
  if (removed && traits->kind == EntryKind::Directory) return;
  if (removed) removed = remove_file(temp);
  if (removed) removed = flush_directory(installation.root);
  if (!removed) {
    log_warning(logger, "Could not remove the leftover " + temp +
                            " of the update record: " + removed.error().display_text());
  }
}

Result<RecordReading> read_for_update(const Installation& installation) {
  auto record = UpdateRecord::read(installation);
  if (!record) return fail(record.error());
  if (!*record) return RecordReading{};
  auto check = match_record((*record)->content(), installation);
  if (!check) return fail(check.error());
  switch (check->match) {
    case RecordMatch::Incomplete:
    case RecordMatch::Leftover:
      return fail_other(check->reason);
    case RecordMatch::Resume:
    case RecordMatch::MovedIn:
    case RecordMatch::Superseded:
    case RecordMatch::Stale:
    case RecordMatch::Reinstalled:
      break;
  }
  return RecordReading{std::move(*record), std::move(*check)};
}

}  // namespace vellicor
