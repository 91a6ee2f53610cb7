#pragma once
// The update engine's phases, in order: find where an interrupted update stands, check what is
// staged, delete the old version, move the new one in, rewrite the uninstall log, finish.

#include <functional>
#include <optional>

#include "base/error.hpp"
#include "update/retry.hpp"
#include "update/update_record.hpp"

namespace vellicor {

class Logger;
struct Installation;

// What an update may do.
enum class UpdateAuthority {
  Caller,  // what the caller asked for: finish an interrupted update, else update to what is
           // staged
  Record,  // only finish the update that the installation's record began (a run at logon,
           // which nobody asked for): no record, or one that the installation as found does
           // not resume, fails with nothing touched
};

// One whole update of `installation`: finishes an interrupted one that its record names, or
// runs a fresh one (move_update), then patches its unins000.dat (a failed patch is logged as
// two warnings and does not fail the update) and removes the record. Every step that may fail
// for a while runs under retry_with_prompt with `hooks`. `checked` is called once every check
// before the first change has passed (UpdateContext::checked).
[[nodiscard]] Status do_update(Logger& logger, const Installation& installation,
                               const RetryHooks& hooks = {},
                               UpdateAuthority authority = UpdateAuthority::Caller,
                               std::function<void()> checked = {});

// Replaces the old version in the root by the new one from the update folder, as a fresh update
// does: do_update's own step, without the record's check and the patch. A fresh update or one
// resumed while deleting checks everything it can know before the first
// delete (check_before_deleting), holds every old file, records itself (a fresh one, with the
// staged entries) before the first file can go, deletes the old version and records the
// move-in; one resumed while moving checks what is left (check_before_moving_in). Then the
// staged entries move in and the emptied update folder goes; once every staged entry is in
// place the update is complete, and a folder that cannot be removed is a warning.
[[nodiscard]] Status move_update(Logger& logger, const Installation& installation,
                                 const RetryHooks& hooks = {});

}  // namespace vellicor
