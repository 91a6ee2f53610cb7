#include "model/uninstall_log.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "base/durability.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/path.hpp"
#include "model/block_stream.hpp"

namespace vellicor {

Status read_file_recs(ByteSource& source, const FileRecVisitor& visitor) {
  HeaderImage image;
  if (!source.read_exact(image.data(), image.size())) {
    return fail(HeaderParseError, "Failed to read header to buffer");
  }
  const auto header = parse_header(image);
  if (!header) return fail(header.error());
  if (auto seen = visitor.header(*header); !seen) return seen;
  // One record at a time, in one FileRec: a count or a size that the file claims costs no
  // memory until its bytes are really there.
  BlockReader blocks(source);
  FileRec record;
  for (uint32_t i = 0; i < header->num_recs; ++i) {
    if (auto read = read_file_rec_into(blocks, record); !read) return read;
    if (auto seen = visitor.record(record); !seen) return seen;
  }
  return {};
}

Status read_file_recs(std::string_view path, const FileRecVisitor& visitor) {
  auto file = File::open_for_reading(path);
  if (!file) return fail(file.error());
  BufferedReader buffer(*file);
  return read_file_recs(buffer, visitor);
}

namespace {

Result<UninstallLog> collect(const std::function<Status(const FileRecVisitor&)>& read) {
  UninstallLog log;
  const FileRecVisitor visitor{
      .header =
          [&](const UninstallHeader& header) {
            log.header = header;
            return Status{};
          },
      .record =
          [&](FileRec& record) {
            log.records.push_back(record);
            return Status{};
          },
  };
  if (auto read_all = read(visitor); !read_all) return fail(read_all.error());
  return log;
}

}  // namespace

Result<UninstallLog> read_uninstall_log(std::string_view path) {
  return collect([&](const FileRecVisitor& visitor) { return read_file_recs(path, visitor); });
}

Result<UninstallLog> read_uninstall_log_from(ByteSource& source) {
  return collect([&](const FileRecVisitor& visitor) { return read_file_recs(source, visitor); });
}

std::string uninstall_log_temp_path(std::string_view path) {
  return std::string(path) + ".tmp";
}

Result<std::unique_ptr<UninstallLogWriter>> UninstallLogWriter::create(std::string_view path) {
  const std::string temp = uninstall_log_temp_path(path);
  // The leftover of a rewrite that was cut short, or whatever else is at that name (a link
  // included), goes first: the log is only ever written into a file made new here.
  if (auto removed = remove_file_if_present(temp); !removed) return fail(removed.error());
  auto file = File::create_new(temp);
  if (!file) return fail(file.error());
  std::unique_ptr<UninstallLogWriter> writer(
      new UninstallLogWriter(std::string(path), std::move(*file)));
  // The records follow the header, which is written last.
  if (auto moved = writer->file_.seek(kHeaderSize); !moved) return fail(moved.error());
  return writer;
}

UninstallLogWriter::UninstallLogWriter(std::string path, File file)
    : path_(std::move(path)),
      temp_(uninstall_log_temp_path(path_)),
      file_(std::move(file)),
      buffer_(file_),
      blocks_(buffer_) {}

UninstallLogWriter::~UninstallLogWriter() {
  if (committed_) return;
  if (file_.is_open()) (void)file_.close();
  (void)remove_file(temp_);
}

Status UninstallLogWriter::write(const FileRec& record) {
  return write_file_rec(blocks_, record);
}

Status UninstallLogWriter::commit(const UninstallHeader& header) {
  if (auto finished = finish(header); !finished) return finished;
  if (auto replaced = replace(); !replaced) return replaced;
  committed_ = true;
  return {};
}

// The last block and the header, pushed to the device; the file is closed.
Status UninstallLogWriter::finish(const UninstallHeader& header) {
  if (auto flushed = blocks_.flush_block(); !flushed) return flushed;
  if (auto flushed = buffer_.flush(); !flushed) return flushed;
  const auto end = file_.position();
  if (!end) return fail(end.error());
  // The header holds the length in 32 bits; a longer file would get a wrong one.
  if (*end > UINT32_MAX) {
    return fail(HeaderWriteError, "Failed to write header end offset to buffer");
  }
  const auto image = serialize_header(header, static_cast<uint32_t>(*end));
  if (!image) return fail(image.error());
  if (auto moved = file_.seek(0); !moved) return moved;
  if (!buffer_.write_all(image->data(), image->size())) {
    return fail(HeaderWriteError, "Failed to write header to writer");
  }
  if (auto flushed = buffer_.flush(); !flushed) return flushed;
  if (auto flushed = file_.flush(); !flushed) return flushed;
  return file_.close();
}

Status UninstallLogWriter::replace() {
  // The rename is on the device before whatever the caller does next (an update removes its
  // record only once the rewritten log is in place).
  if (rename_durably(temp_, path_)) return {};
  // Windows refuses to replace a file that another process holds open, even one that lets
  // others write and delete it; writing over it in place still works then.
  auto source = File::open_for_reading(temp_);
  if (!source) return fail(source.error());
  auto target = File::create_for_writing(path_);
  if (!target) return fail(target.error());
  BufferedWriter copy(*target);
  std::vector<uint8_t> piece(BufferedWriter::kCapacity);
  for (;;) {
    const auto got = source->read(piece.data(), piece.size());
    if (!got) return fail(got.error());
    if (*got == 0) break;
    if (auto put = copy.write_all(piece.data(), *got); !put) return put;
  }
  if (auto flushed = copy.flush(); !flushed) return flushed;
  if (auto flushed = target->flush(); !flushed) return flushed;
  if (auto closed = target->close(); !closed) return closed;
  (void)source->close();
  return remove_file(temp_);
}

Status write_uninstall_log(std::string_view path, const UninstallHeader& header,
                           std::span<const FileRec> records) {
  auto writer = UninstallLogWriter::create(path);
  if (!writer) return fail(writer.error());
  for (const auto& record : records) {
    if (auto written = (*writer)->write(record); !written) return written;
  }
  return (*writer)->commit(header);
}

Status rewrite_uninstall_log(
    std::string_view from, std::string_view to, const std::function<Status(FileRec&)>& change,
    const std::function<void(const UninstallHeader&, uint32_t records)>& read) {
  UninstallHeader header;
  uint32_t count = 0;
  std::optional<Error> change_error;
  std::optional<Error> write_error;
  std::unique_ptr<UninstallLogWriter> writer;
  const FileRecVisitor visitor{
      .header =
          [&](const UninstallHeader& read_header) {
            header = read_header;
            auto created = UninstallLogWriter::create(to);
            if (created) {
              writer = std::move(*created);
            } else {
              write_error = created.error();
            }
            return Status{};
          },
      .record =
          [&](FileRec& record) {
            ++count;
            // After a failure the records are still read, for an error of reading that would
            // come first, but no longer changed or written.
            if (change_error) return Status{};
            if (auto changed = change(record); !changed) {
              change_error = changed.error();
              writer.reset();
              return Status{};
            }
            if (!writer) return Status{};
            if (auto written = writer->write(record); !written) {
              write_error = written.error();
              writer.reset();
            }
            return Status{};
          },
  };
  if (auto read_all = read_file_recs(from, visitor); !read_all) return read_all;
  read(header, count);
  if (change_error) return fail(*change_error);
  if (write_error) return fail(*write_error);
  return writer->commit(header);
}

Result<UninstallLogSummary> summarize_uninstall_log(std::string_view path) {
  UninstallLogSummary summary;
  // Counted per type number as the records stream by.
  const FileRecVisitor visitor{
      .header =
          [&](const UninstallHeader& header) {
            summary.header = header;
            return Status{};
          },
      .record =
          [&](FileRec& record) {
            ++summary.records_per_type[static_cast<uint8_t>(record.typ)];
            return Status{};
          },
  };
  const Status read = without_memory_exhaustion([&] { return read_file_recs(path, visitor); });
  if (!read) return fail(read.error());
  return summary;
}

}  // namespace vellicor
