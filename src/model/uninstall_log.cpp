#include "model/uninstall_log.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "base/console.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/hex.hpp"
#include "model/block_stream.hpp"

namespace vellicor {
namespace {

// The records and then the header, into a file that is empty and positioned at 0.
Status write_log_to(File& file, const UninstallHeader& header, std::span<const FileRec> records) {
  if (auto moved = file.seek(kHeaderSize); !moved) return moved;
  {
    BufferedWriter buffer(file);
    BlockWriter blocks(buffer);
    for (size_t i = 0; i < records.size(); ++i) {
      if (i + kPrefetchAhead < records.size()) prefetch_data(records[i + kPrefetchAhead]);
      if (auto written = write_file_rec(blocks, records[i]); !written) return written;
    }
    if (auto flushed = blocks.flush_block(); !flushed) return flushed;
    if (auto flushed = buffer.flush(); !flushed) return flushed;
  }
  const auto end = file.position();
  if (!end) return fail(end.error());
  // The header holds the length in 32 bits; a longer file would get a wrong one.
  if (*end > UINT32_MAX) {
    return fail(ErrorKind::HeaderWrite, "Failed to write header end offset to buffer");
  }
  if (auto moved = file.seek(0); !moved) return moved;
  const auto image = serialize_header(header, static_cast<uint32_t>(*end));
  if (!image) return fail(image.error());
  BufferedWriter buffer(file);
  if (!buffer.write_all(image->data(), image->size())) {
    return fail(ErrorKind::HeaderWrite, "Failed to write header to writer");
  }
  return buffer.flush();
}

// Writes the whole log into a new, empty file, pushes it to the device and closes it.
Status write_log_file(File file, const UninstallHeader& header, std::span<const FileRec> records) {
  if (auto written = write_log_to(file, header, records); !written) return written;
  if (auto flushed = file.flush(); !flushed) return flushed;
  return file.close();
}

}  // namespace

Result<UninstallLog> read_uninstall_log_from(ByteSource& source, uint64_t source_size) {
  HeaderImage image;
  if (!source.read_exact(image.data(), image.size())) {
    return fail(ErrorKind::HeaderParse, "Failed to read header to buffer");
  }
  auto header = parse_header(image);
  if (!header) return fail(header.error());

  // Every record takes at least its 10-byte prefix from the bytes after the header, so a
  // count beyond that cannot be read; it is refused before memory is reserved for it, as if
  // the data had run out at the type of the first record that does not fit.
  const uint64_t room = source_size > kHeaderSize ? source_size - kHeaderSize : 0;
  if (header->num_recs > room / kFileRecPrefixSize) {
    return fail(ErrorKind::FileRecParse, "Failed to parse file rec typ");
  }
  UninstallLog log{std::move(*header), {}};
  log.records.reserve(log.header.num_recs);
  BlockReader blocks(source);
  for (uint32_t i = 0; i < log.header.num_recs; ++i) {
    auto record = read_file_rec(blocks);
    if (!record) return fail(record.error());
    log.records.push_back(std::move(*record));
  }
  return log;
}

Result<UninstallLog> read_uninstall_log(std::string_view path) {
  auto file = File::open_for_reading(path);
  if (!file) return fail(file.error());
  // An unknown size only loses the early refusal of an impossible record count.
  const uint64_t size = file->size().value_or(UINT64_MAX);
  BufferedReader buffer(*file);
  return read_uninstall_log_from(buffer, size);
}

std::string uninstall_log_temp_path(std::string_view path) {
  return std::string(path) + ".tmp";
}

Status write_uninstall_log(std::string_view path, const UninstallHeader& header,
                           std::span<const FileRec> records) {
  const std::string temp = uninstall_log_temp_path(path);
  // The leftover of a rewrite that was cut short, or whatever else is at that name (a link
  // included), goes first: the log is only ever written into a file made new here.
  if (auto removed = remove_file_if_present(temp); !removed) return removed;
  auto file = File::create_new(temp);
  if (!file) return fail(file.error());
  if (auto written = write_log_file(std::move(*file), header, records); !written) {
    (void)remove_file(temp);
    return written;
  }
  if (rename_replacing(temp, path)) return {};
  (void)remove_file(temp);
  // Windows refuses to replace a file that another process holds open, even one that lets
  // others write and delete it; writing in place still works then, as it always did.
  auto in_place = File::create_for_writing(path);
  if (!in_place) return fail(in_place.error());
  return write_log_file(std::move(*in_place), header, records);
}

int dump_uninstall_log(std::string_view path) {
  const auto log = read_uninstall_log(path);
  if (!log) {
    write_stderr(log.error().display_text() + "\n");
    return 1;
  }
  // Counted per type number; the lines come in ascending type order.
  std::array<uint32_t, 256> counts{};
  for (const auto& record : log->records)
    ++counts[static_cast<uint8_t>(record.typ)];
  std::string report = header_text(log->header) + "\n";
  for (size_t typ = 0; typ < counts.size(); ++typ) {
    if (counts[typ] == 0) continue;
    report += "Records 0x" + lower_hex(typ) + " " + std::to_string(counts[typ]) + "\n";
  }
  write_stdout(report);
  return 0;
}

}  // namespace vellicor
