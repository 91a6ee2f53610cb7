#pragma once
// Whole uninstall logs, as streams of records: reading one record by record, writing one back
// (header last, with a fresh end offset and CRC), and the summary that the "--parse" mode
// shows.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/buffered_io.hpp"
#include "base/file.hpp"
#include "model/block_stream.hpp"
#include "model/errors.hpp"
#include "model/filerec/file_rec.hpp"
#include "model/header.hpp"

namespace vellicor {

// A log in memory: its header and its records in file order.
struct UninstallLog {
  UninstallHeader header;
  std::vector<FileRec> records;

  friend bool operator==(const UninstallLog&, const UninstallLog&) = default;
};

// What a reader of a log stream does with it: `header` sees the header, then `record` each of
// the header's num_recs records in file order. Both may stop the reading with an error.
struct FileRecVisitor {
  std::function<Status(const UninstallHeader&)> header = [](const UninstallHeader&) {
    return Status{};
  };
  // The record's memory is reused for the next one: what must outlive the call is copied.
  std::function<Status(FileRec&)> record;
};

// Reads a log from `source`, positioned at the header, record by record: memory does not grow
// with the log, and nothing after the last record is read. Fails with a HeaderParseError, the
// FileRecParseError of the first record that cannot be read, or a visitor's error.
[[nodiscard]] Status read_file_recs(ByteSource& source, const FileRecVisitor& visitor);

// The same for the log at `path`; fails first with the I/O error of opening the file.
[[nodiscard]] Status read_file_recs(std::string_view path, const FileRecVisitor& visitor);

// Reads the whole log at `path` into memory (tests and tools; the program streams).
[[nodiscard]] Result<UninstallLog> read_uninstall_log(std::string_view path);

// The same over any source, positioned at the header.
[[nodiscard]] Result<UninstallLog> read_uninstall_log_from(ByteSource& source);

// Writes a log record by record into a temporary file beside `path` (made new: a leftover or
// a link at its name is removed first): the records in blocks from offset 448, then, on
// commit, the header with the file's length as its end offset and a fresh crc. The file
// replaces `path` only once it is complete and flushed to the device; a writer that goes away
// without a commit, or whose commit fails, removes it and leaves `path` untouched. When the
// system refuses the replace (Windows does while another process has the file open), the
// complete log is copied over `path` in place instead.
class UninstallLogWriter {
 public:
  // Fails with the I/O error of making the temporary file.
  [[nodiscard]] static Result<std::unique_ptr<UninstallLogWriter>> create(std::string_view path);
  UninstallLogWriter(const UninstallLogWriter&) = delete;
  UninstallLogWriter& operator=(const UninstallLogWriter&) = delete;
  ~UninstallLogWriter();

  // A FileRecWriteError (or the I/O error of the file).
  [[nodiscard]] Status write(const FileRec& record);
  // An I/O error or a HeaderWriteError.
  [[nodiscard]] Status commit(const UninstallHeader& header);

 private:
  UninstallLogWriter(std::string path, File file);
  [[nodiscard]] Status finish(const UninstallHeader& header);
  [[nodiscard]] Status replace();

  std::string path_;
  std::string temp_;
  File file_;
  BufferedWriter buffer_;
  BlockWriter blocks_;
  bool committed_ = false;
};

// Writes `header` and `records` to `path` through an UninstallLogWriter.
[[nodiscard]] Status write_uninstall_log(std::string_view path, const UninstallHeader& header,
                                         std::span<const FileRec> records);

// Reads the log at `from` record by record, lets `change` rewrite each in place and writes it
// on to a new log at `to` (which may be `from`: the new file replaces it only once complete).
// Memory does not grow with the log. The outcome is what reading the whole log, then changing
// every record, then writing the file would give: an error of reading (the open's I/O error,
// HeaderParseError, FileRecParseError) wins over one of `change`, which wins over one of writing;
// `read` is told the header and the record count once every record was read, and only then.
[[nodiscard]] Status rewrite_uninstall_log(
    std::string_view from, std::string_view to, const std::function<Status(FileRec&)>& change,
    const std::function<void(const UninstallHeader&, uint32_t records)>& read);

// The temporary file that a writer fills before it replaces `path`.
std::string uninstall_log_temp_path(std::string_view path);

// A log's header and how many of its records are of each type, indexed by the type's number.
struct UninstallLogSummary {
  UninstallHeader header;
  std::array<uint32_t, 256> records_per_type{};
};

// Reads the log at `path` record by record (memory does not grow with the log) and counts its
// records per type; fails as read_file_recs does, or with "Out of memory".
[[nodiscard]] Result<UninstallLogSummary> summarize_uninstall_log(std::string_view path);

}  // namespace vellicor
