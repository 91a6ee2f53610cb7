#pragma once
// Whole uninstall logs: reading one into memory, writing one back (header last, with a fresh
// end offset and CRC), and the diagnostic dump of the "--parse" mode.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/buffered_io.hpp"
#include "base/error.hpp"
#include "model/filerec/file_rec.hpp"
#include "model/header.hpp"

namespace vellicor {

// A log in memory: its header and its records in file order.
struct UninstallLog {
  UninstallHeader header;
  std::vector<FileRec> records;

  friend bool operator==(const UninstallLog&, const UninstallLog&) = default;
};

// Reads the log at `path`: the header, then header.num_recs records from the blocks behind
// it; anything after the last record is not read. Fails with the I/O error of opening the
// file, a HeaderParse error or a FileRecParse error.
[[nodiscard]] Result<UninstallLog> read_uninstall_log(std::string_view path);

// The same over any source of `source_size` bytes, positioned at the header.
[[nodiscard]] Result<UninstallLog> read_uninstall_log_from(ByteSource& source,
                                                           uint64_t source_size);

// Writes `header` and `records` to `path`: the records in blocks from offset 448, then the
// header with the resulting file length as its end offset and a fresh crc. The bytes go to a
// temporary file beside `path` (made new: a leftover or a link at its name is removed first),
// which replaces `path` only once it is complete and flushed to the device; when writing it
// fails, the old file is untouched and the temporary one removed.
// When the system refuses the replace (Windows does while another process has the file open),
// the log is written in place instead. Fails with an I/O error, a FileRecWrite error or a
// HeaderWrite error.
[[nodiscard]] Status write_uninstall_log(std::string_view path, const UninstallHeader& header,
                                         std::span<const FileRec> records);

// The temporary file that write_uninstall_log fills before it replaces `path`.
std::string uninstall_log_temp_path(std::string_view path);

// Prints the header line and one "Records 0x<type> <count>" line per record type present to
// standard output and gives 0, or prints the read error to standard error and gives 1.
int dump_uninstall_log(std::string_view path);

}  // namespace vellicor
