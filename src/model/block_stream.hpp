#pragma once
// The chain of checksummed blocks that carries an uninstall log's records after its header:
// a reader that presents the payloads as one continuous stream and a writer that cuts a stream
// into blocks. Neither allocates: each works on a block where the inner stream's buffer holds
// it, and in a 4096-byte payload buffer of its own where that buffer cannot.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "base/buffered_io.hpp"
#include "base/error.hpp"

namespace vellicor {

// Each block: payload size, its bitwise complement and the payload's CRC-32 (4 little-endian
// bytes each), then the payload.
inline constexpr uint32_t kBlockCapacity = 4096;
inline constexpr size_t kBlockHeaderSize = 12;

// Failures: the inner source's own, or IoErrors with the block messages below.
inline constexpr const char* kBlockSizeCorrupt = "Block header size is corrupt";
inline constexpr const char* kBlockSizeTooLarge = "Block header size is too large";
inline constexpr const char* kBlockCrcMismatch = "Block header crc32 check failed";

class BlockReader {
 public:
  // Borrows the inner source, positioned at the first block.
  explicit BlockReader(ByteSource& inner) : inner_(inner) {}
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // Delivers exactly `size` bytes of the stream, loading as many blocks as that takes.
  // The record layer reads many short fields, so the common case, bytes that the current
  // block still holds, is kept inline.
  [[nodiscard]] Status read_exact(void* destination, size_t size) {
    const uint8_t* taken = take_in_block(size);
    if (taken == nullptr) return read_across(destination, size);
    if (size != 0) std::memcpy(destination, taken, size);
    return {};
  }

  // The stream's next `size` bytes where the current block holds them all, taken; nothing (and
  // nothing taken) where they reach past it. Lets a caller read fixed fields in place.
  const uint8_t* take_in_block(size_t size) {
    if (size > remaining_) return nullptr;
    const uint8_t* taken = data_ + position_;
    position_ += static_cast<uint32_t>(size);
    remaining_ -= static_cast<uint32_t>(size);
    return taken;
  }

  // Up to `size` of the stream's next bytes where they lie in the current block, loading the
  // next block first when this one is spent; they stay valid until the next call. Lets a
  // caller take bytes without an intermediate copy. Empty only when `size` is 0.
  [[nodiscard]] Result<std::span<const uint8_t>> read_some(size_t size);

 private:
  [[nodiscard]] Status read_across(void* destination, size_t size);
  [[nodiscard]] Status load_block();

  ByteSource& inner_;
  uint32_t position_ = 0;
  uint32_t remaining_ = 0;
  // The current block's payload: where the inner source holds it, or copied into payload_
  // when it does not hold it in one piece.
  const uint8_t* data_ = payload_;
  uint8_t payload_[kBlockCapacity];
};

class BlockWriter {
 public:
  // Borrows the inner sink.
  explicit BlockWriter(ByteSink& inner) : inner_(inner) {}
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  // Appends `size` bytes to the stream, emitting every block that becomes full. Bytes that
  // leave the current block unfilled are taken inline.
  [[nodiscard]] Status write_all(const void* source, size_t size) {
    uint8_t* room = append_in_block(size);
    if (room == nullptr) return write_across(source, size);
    if (size != 0) std::memcpy(room, source, size);
    return {};
  }
  // Room for the stream's next `size` bytes, for the caller to fill at once, where the open
  // block takes them without being emitted; nothing (and nothing appended) otherwise.
  uint8_t* append_in_block(size_t size) {
    if (block_ == nullptr || filled_ + size >= kBlockCapacity) return nullptr;
    uint8_t* room = block_ + filled_;
    filled_ += static_cast<uint32_t>(size);
    return room;
  }
  // Emits the pending partial block, if any. The owner calls it after the last write_all and
  // then flushes the inner sink: nothing is emitted on destruction.
  [[nodiscard]] Status flush_block();

 private:
  [[nodiscard]] Status write_across(const void* source, size_t size);
  void open_block();

  ByteSink& inner_;
  uint32_t filled_ = 0;
  // Where the open block's payload goes, nothing while no block is open: after its header in
  // room that the inner sink reserved (in_sink_), else into payload_, to be copied on.
  uint8_t* block_ = nullptr;
  bool in_sink_ = false;
  uint8_t payload_[kBlockCapacity];
};

}  // namespace vellicor
