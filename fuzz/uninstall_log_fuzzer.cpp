// Feeds arbitrary bytes to the uninstall-log reader, then rebases and writes what it accepts.
// Checks: nothing crashes; a list that decodes encodes back to its bytes; the rebase in place
// equals decoding, rewriting and encoding; a log written to a file reads back equal; the CRC-32
// of the input is the same by folding and by table, from any offset.
//
// Input: one flags byte, then the log. With bit 0 set the checksums of the header and of every
// well-formed block are put right first, so that mutations reach the records behind them.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/utf.hpp"
#include "model/crc32.hpp"
#include "model/filerec/rebase.hpp"
#include "model/filerec/text_list.hpp"
#include "model/little_endian.hpp"
#include "model/uninstall_log.hpp"
#include "support/memory_stream.hpp"

namespace {

using namespace vellicor;
using Bytes = std::vector<uint8_t>;

const std::string kWindowsFolder = R"(C:\Apps\Vellicor\_)";
const std::string kPosixFolder = "/opt/vellicor/_";

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "check failed: %s\n", what);
    abort();
  }
}

void repair_checksums(Bytes& log) {
  if (log.size() < kHeaderSize) return;
  store_u32(log.data() + 444, crc32(log.data(), 444));
  size_t at = kHeaderSize;
  while (log.size() - at >= kBlockHeaderSize) {
    const uint32_t size = load_u32(log.data() + at);
    if (size > kBlockCapacity || log.size() - at - kBlockHeaderSize < size) break;
    store_u32(log.data() + at + 4, ~size);
    store_u32(log.data() + at + 8, crc32(log.data() + at + kBlockHeaderSize, size));
    at += kBlockHeaderSize + size;
  }
}

const std::string& scratch_path() {
  static const std::string path = [] {
    const auto dir =
        std::filesystem::temp_directory_path() / ("vellicor-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    static const auto remove = dir;
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(remove, ignored);
    });
    return (dir / "unins000.dat").string();
  }();
  return path;
}

// The rebase as decode, rewrite each text, encode. Under Windows' rules the folder matches
// without regard to letter case, and a text keeps its own spelling of the parent.
Bytes reference_rebase(const FileRec& record, const std::string& from, const std::string& to,
                       char separator, PathStyle style) {
  auto texts = decode_text_list(record.data);
  check(texts.has_value(), "a list the rebase accepted decodes");
  const std::u16string folder = utf8_to_utf16(from).value();
  const size_t parent = utf8_to_utf16(to).value().size();
  const auto fold = [style](char16_t unit) {
    return style == PathStyle::Windows ? upper_case_unit(unit) : unit;
  };
  for (auto& text : *texts) {
    std::u16string units = utf8_to_utf16(text).value();
    if (units.size() < folder.size()) continue;
    bool inside = true;
    for (size_t i = 0; i < folder.size() && inside; ++i)
      inside = fold(units[i]) == fold(folder[i]);
    if (!inside) continue;
    if (units.size() == folder.size() || units[folder.size()] == separator ||
        units[folder.size()] == u'/') {
      units.erase(parent, folder.size() - parent);
      text = utf16_to_utf8(units).value();
    }
  }
  return encode_text_list(*texts);
}

void check_rebase(const std::vector<FileRec>& records, const std::string& from,
                  const std::string& to, char separator, PathStyle style) {
  auto rebased = rebase_file_recs(records, from, style);
  if (!rebased) return;
  check(rebased->size() == records.size(), "the rebase keeps every record");
  for (size_t i = 0; i < records.size(); ++i) {
    const auto& before = records[i];
    const auto& after = (*rebased)[i];
    check(after.typ == before.typ && after.extra_data == before.extra_data,
          "the rebase keeps type and extra data");
    if (holds_text_list(before.typ)) {
      check(after.data == reference_rebase(before, from, to, separator, style),
            "the rebase equals decode, rewrite, encode");
    } else {
      check(after.data == before.data, "the rebase leaves other records alone");
    }
  }
}

void check_written_log(const UninstallHeader& header, const std::vector<FileRec>& records) {
  const std::string& path = scratch_path();
  const auto written = write_uninstall_log(path, header, records);
  check(written.has_value(), "a log that was read can be written");
  const auto back = read_uninstall_log(path);
  check(back.has_value(), "a written log reads back");
  check(back->records == records, "the records read back equal");
  const uint64_t size = std::filesystem::file_size(path);
  check(back->header.end_offset == size, "the end offset is the file's length");
  UninstallHeader expected = header;
  expected.end_offset = back->header.end_offset;
  expected.crc = back->header.crc;
  check(back->header == expected, "the header reads back equal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t skip = data[0] % 16 < size ? data[0] % 16 : 0;
  check(crc32(data + skip, size - skip) == crc32_update_portable(0, data + skip, size - skip),
        "both CRC-32 computations agree");
  Bytes log(data + 1, data + size);
  if (data[0] & 1) repair_checksums(log);

  testing_support::MemorySource source(log);
  const auto read = read_uninstall_log_from(source);
  if (!read) return 0;
  check(read->records.size() == read->header.num_recs, "num_recs records were read");

  for (const auto& record : read->records) {
    if (!holds_text_list(record.typ)) continue;
    const auto texts = decode_text_list(record.data);
    if (texts) check(encode_text_list(*texts) == record.data, "a decoded list encodes back");
  }

  check_rebase(read->records, kWindowsFolder, R"(C:\Apps\Vellicor)", '\\', PathStyle::Windows);
  check_rebase(read->records, kPosixFolder, "/opt/vellicor", '/', PathStyle::Posix);

  check_written_log(read->header, read->records);
  auto rebased = rebase_file_recs(read->records, kWindowsFolder, PathStyle::Windows);
  if (rebased) check_written_log(read->header, *rebased);
  return 0;
}
