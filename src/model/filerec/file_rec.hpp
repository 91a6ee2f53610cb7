#pragma once
// The file records of an uninstall log: typed blobs framed inside the block stream, their 17
// record types, and reading and writing one record.

#include <cstdint>
#include <optional>
#include <vector>

#include "model/block_stream.hpp"
#include "model/errors.hpp"

namespace vellicor {

// The installer's record types; the numeric value is the type number in the file.
enum class FileRecType : uint8_t {
  UserDefined = 0x01,
  StartInstall = 0x10,
  EndInstall = 0x11,
  CompiledCode = 0x20,
  Run = 0x80,
  DeleteDirOrFiles = 0x81,  // data is a text list
  DeleteFile = 0x82,        // data is a text list
  DeleteGroupOrItem = 0x83,
  IniDeleteEntry = 0x84,
  IniDeleteSection = 0x85,
  RegDeleteEntireKey = 0x86,
  RegClearValue = 0x87,
  RegDeleteKeyIfEmpty = 0x88,
  RegDeleteValue = 0x89,
  DecrementSharedCount = 0x8A,
  RefreshFileAssoc = 0x8B,
  MutexCheck = 0x8C,
};

// The record type of a type number, or nothing for a number that names none.
std::optional<FileRecType> file_rec_type(uint16_t number);

// Whether records of the type hold a text list (paths that the rebase rewrites).
inline bool holds_text_list(FileRecType typ) {
  return typ == FileRecType::DeleteDirOrFiles || typ == FileRecType::DeleteFile;
}

struct FileRec {
  FileRec() = default;
  FileRec(uint32_t extra_data, std::vector<uint8_t> data, FileRecType typ)
      : data(std::move(data)), extra_data(extra_data), typ(typ) {}

  // The data first: the two small fields then share one word-sized slot, and a 64-bit record
  // takes 32 bytes instead of 40.
  std::vector<uint8_t> data;
  uint32_t extra_data = 0;
  FileRecType typ = FileRecType::UserDefined;

  friend bool operator==(const FileRec&, const FileRec&) = default;
};

// Starts loading a record's first bytes into the cache. A log's records lie apart in memory,
// so a loop over them asks for the data of a record a few places ahead of the one it is at.
// The lines are named by address: a prefetch past the data's end touches nothing.
inline void prefetch_data(const FileRec& record) {
  const auto address = reinterpret_cast<uintptr_t>(record.data.data());
  for (uintptr_t line = 0; line < 3; ++line)
    __builtin_prefetch(reinterpret_cast<const void*>(address + 64 * line));
}
inline constexpr size_t kPrefetchAhead = 8;

// Type (2 bytes), extra data (4), data size (4), then the data.
inline constexpr size_t kFileRecPrefixSize = 10;
inline constexpr uint32_t kMaxFileRecDataSize = 134217728;

// Reads one record; every failure, the block layer's included, is a FileRecParseError with
// the message of the field being read.
[[nodiscard]] Result<FileRec> read_file_rec(BlockReader& reader);

// The same into `record`, whose data keeps its memory from one record to the next.
[[nodiscard]] Status read_file_rec_into(BlockReader& reader, FileRec& record);

// Writes one record; every failure is a FileRecWriteError with the field's message.
[[nodiscard]] Status write_file_rec(BlockWriter& writer, const FileRec& record);

}  // namespace vellicor
