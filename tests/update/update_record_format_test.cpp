#include "update/update_record_format.hpp"
#include "base/entry_identity.hpp"

#include <gtest/gtest.h>

namespace vellicor {
namespace {

const std::string kDeleting = "Vellicor update in progress: deleting the old version\n";
const std::string kMoving = "Vellicor update in progress: moving the new version in\n";
const std::string kPatching = "Vellicor update in progress: rewriting the uninstall log\n";

EntryIdentity number(uint64_t volume, uint64_t index, uint64_t incarnation = 0) {
  return {EntryIdentity::Basis::Number, {volume, 0, index, incarnation}};
}

// What a record holds is read back as it was written, and records of earlier builds as they
// stand; anything that this program did not write whole is no record.
TEST(UpdateRecordFormatTest, ReadsWhatWasWrittenWholeAndNothingElse) {
  RecordContent full;
  full.phase = UpdatePhase::Moving;
  full.knows_installation = true;
  full.began_over = RecordedLog{number(0, 0x1f, 7), FileStamp{448, 0x1234}};
  full.staged_log =
      RecordedLog{{EntryIdentity::Basis::Traits, {0, 448, 99, 0}}, FileStamp{448, 99}};
  full.old_entries = {{"Vellicor.exe", number(0, 2, 3), EntryStamp{EntryKind::File, 0x10, 0x20}},
                      {"docs", number(0, 3, 4), EntryStamp{EntryKind::Directory, 0, 0x30}}};
  // The second as an earlier build wrote it, without its stamp.
  full.staged = {{"Vellicor.exe", number(0, 5, 6), EntryStamp{EntryKind::File, 0x11, 0x21}},
                 {"two\nlines\\x", number(0, 7, 8), std::nullopt}};
  const std::string full_text = print_record(full);
  EXPECT_EQ(full_text, kMoving +
                           "log num:0:0:1f:7 1c0:1234\n"
                           "staged-log traits:0:1c0:63:0 1c0:63\n"
                           "old num:0:0:2:3,0:10:20 Vellicor.exe\n"
                           "old num:0:0:3:4,1:0:30 docs\n"
                           "staged num:0:0:5:6,0:11:21 Vellicor.exe\n"
                           "staged num:0:0:7:8 two\\nlines\\\\x\n");

  RecordContent none = full;
  none.began_over.reset();
  none.staged_log.reset();
  RecordContent patching = none;
  patching.phase = UpdatePhase::Patching;
  RecordContent comma;  // a name may hold what separates an identity from its stamp
  comma.knows_installation = true;
  comma.staged = {{"a,0:1:2", number(0, 1, 0), EntryStamp{EntryKind::Link, 1, 2}}};
  RecordContent earlier;  // a log line without its stamp, staged entries by basis
  earlier.began_over = RecordedLog{number(0x803, 12, 5), std::nullopt};
  earlier.staged = {{"a.exe", number(0x803, 13, 6), std::nullopt}};
  RecordContent earliest;  // "<volume>:<index>" staged lines
  earliest.staged = {{"a.exe", number(0x803, 13), std::nullopt}};

  struct Case {
    const char* name;
    std::string text;
    std::optional<RecordContent> read;
  };
  const Case cases[] = {
      {"this build's", full_text, full},
      {"this build's, no log in the root or the update folder", print_record(none), none},
      {"rewriting the log", print_record(patching), patching},
      {"a name with a comma", kDeleting + "log none\nstaged num:0:0:1:0,2:1:2 a,0:1:2\n", comma},
      {"the phase alone (the first builds)", kDeleting, RecordContent{}},
      {"staged by volume and index", kDeleting + "staged 803:d a.exe\n", earliest},
      {"a log without its stamp", kDeleting + "log num:803:0:c:5\nstaged num:803:0:d:6 a.exe\n",
       earlier},
      {"cut short in a line", full_text.substr(0, full_text.size() - 5), std::nullopt},
      {"cut short before the last line feed", full_text.substr(0, full_text.size() - 1),
       std::nullopt},
      {"cut short in the phase line", kMoving.substr(0, 20), std::nullopt},
      {"empty", "", std::nullopt},
      {"another program's", "Vellicor update in progress: nothing\n", std::nullopt},
      {"a line of no kind", kDeleting + "log none\nnew num:0:0:1:0 a\n", std::nullopt},
      {"upper-case hex", kDeleting + "staged num:0:0:1F:0 a.exe\n", std::nullopt},
      {"a sign in a number", kDeleting + "staged num:0:0:+1:0 a.exe\n", std::nullopt},
      {"a number past 64 bits", kDeleting + "staged num:0:0:10000000000000000:0 a\n", std::nullopt},
      {"an unknown basis", kDeleting + "staged inode:0:0:1:0 a.exe\n", std::nullopt},
      {"three fields", kDeleting + "staged num:0:1:0 a.exe\n", std::nullopt},
      {"no name", kDeleting + "staged num:0:0:1:0 \n", std::nullopt},
      {"an escape of nothing", kDeleting + "staged num:0:0:1:0 a\\t\n", std::nullopt},
      {"an escape cut short", kDeleting + "staged num:0:0:1:0 a\\\n", std::nullopt},
      {"old entries by volume and index", kDeleting + "log none\nold 1:2 a\n", std::nullopt},
      {"old entries where no log is known", kDeleting + "old num:0:0:1:0 a\n", std::nullopt},
      {"a staged log without its stamp", kDeleting + "log none\nstaged-log num:0:0:1:0\n",
       std::nullopt},
      {"the log after the entries", kDeleting + "staged num:0:0:1:0 a\nlog none\n", std::nullopt},
      {"two log lines", kDeleting + "log none\nlog none\n", std::nullopt},
      {"a stamp of one number", kDeleting + "log num:0:0:1:0 1c0\n", std::nullopt},
      {"an entry's stamp of an unknown kind", kDeleting + "log none\nstaged num:0:0:1:0,3:0:0 a\n",
       std::nullopt},
      {"an entry's stamp of two numbers", kDeleting + "log none\nold num:0:0:1:0,0:1 a\n",
       std::nullopt},
      {"a stamp by volume and index", kDeleting + "staged 1:2,0:0:0 a\n", std::nullopt},
      {"a phase of no kind", kPatching.substr(0, kPatching.size() - 5) + "file\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_record(c.text), c.read);
  }
}

}  // namespace
}  // namespace vellicor
