#include "model/filerec/file_rec.hpp"

#include "base/hex.hpp"
#include "model/little_endian.hpp"

namespace vellicor {
namespace {

// The most that is reserved for a record's data before its bytes arrive.
constexpr size_t kDataChunk = size_t{1} << 20;

std::unexpected<Error> parse_error(const char* message) {
  return fail(FileRecParseError, message);
}

std::unexpected<Error> write_error(const char* message) {
  return fail(FileRecWriteError, message);
}

}  // namespace

std::optional<FileRecType> file_rec_type(uint16_t number) {
  switch (number) {
    case 0x01:
    case 0x10:
    case 0x11:
    case 0x20:
    case 0x80:
    case 0x81:
    case 0x82:
    case 0x83:
    case 0x84:
    case 0x85:
    case 0x86:
    case 0x87:
    case 0x88:
    case 0x89:
    case 0x8A:
    case 0x8B:
    case 0x8C:
      return static_cast<FileRecType>(number);
    default:
      return std::nullopt;
  }
}

Result<FileRec> read_file_rec(BlockReader& reader) {
  FileRec record;
  if (auto read = read_file_rec_into(reader, record); !read) return fail(read.error());
  return record;
}

Status read_file_rec_into(BlockReader& reader, FileRec& record) {
  // The type, extra data and size fields are read where the block holds them, else copied
  // field by field across blocks, so that a stream that ends names the field it cut.
  const uint8_t* fields = reader.take_in_block(kFileRecPrefixSize);
  uint8_t copied[kFileRecPrefixSize];
  if (fields == nullptr) {
    if (!reader.read_exact(copied, 2)) return parse_error("Failed to parse file rec typ");
    if (!reader.read_exact(copied + 2, 4)) {
      return parse_error("Failed to parse file rec extra data");
    }
    if (!reader.read_exact(copied + 6, 4)) return parse_error("Failed to parse file rec data size");
    fields = copied;
  }
  const uint16_t number = load_u16(fields);
  record.extra_data = load_u32(fields + 2);
  const uint32_t size = load_u32(fields + 6);
  if (size > kMaxFileRecDataSize) return parse_error("File rec data size too large");

  // Taken piece by piece from the blocks, and only a piece is reserved up front: a size field
  // that promises more than the file holds costs memory in step with the bytes really there.
  record.data.clear();
  if (record.data.capacity() < size) record.data.reserve(size < kDataChunk ? size : kDataChunk);
  while (record.data.size() < size) {
    const auto piece = reader.read_some(size - record.data.size());
    if (!piece) return parse_error("Failed to parse file rec data");
    record.data.insert(record.data.end(), piece->begin(), piece->end());
  }

  // The type is checked only once the whole record is in, so that the stream stays in step.
  const auto typ = file_rec_type(number);
  if (!typ) return fail(FileRecParseError, "Unsupported file rec typ 0x" + lower_hex(number));
  record.typ = *typ;
  return {};
}

Status write_file_rec(BlockWriter& writer, const FileRec& record) {
  // A record cannot say that it holds more than the format allows; such data is refused
  // rather than written with a size field that lies.
  const bool fits = record.data.size() <= kMaxFileRecDataSize;
  // The fields go straight into the block where it has room for them, else field by field, so
  // that a failing write names the field it cut.
  if (uint8_t* fields = fits ? writer.append_in_block(kFileRecPrefixSize) : nullptr) {
    store_u16(fields, static_cast<uint16_t>(record.typ));
    store_u32(fields + 2, record.extra_data);
    store_u32(fields + 6, static_cast<uint32_t>(record.data.size()));
  } else {
    uint8_t field[4];
    store_u16(field, static_cast<uint16_t>(record.typ));
    if (!writer.write_all(field, 2)) return write_error("Failed to write file rec typ to buffer");
    store_u32(field, record.extra_data);
    if (!writer.write_all(field, 4)) {
      return write_error("Failed to write file rec extra data to buffer");
    }
    if (!fits) return write_error("Failed to write file rec data size to buffer");
    store_u32(field, static_cast<uint32_t>(record.data.size()));
    if (!writer.write_all(field, 4)) {
      return write_error("Failed to write file rec data size to buffer");
    }
  }
  if (!writer.write_all(record.data.data(), record.data.size())) {
    return write_error("Failed to write file rec data to buffer");
  }
  return {};
}

}  // namespace vellicor
