#include "model/block_stream.hpp"

#include <cstring>

#include "model/crc32.hpp"
#include "model/little_endian.hpp"

namespace vellicor {

Status BlockReader::read_across(void* destination, size_t size) {
  auto* out = static_cast<uint8_t*>(destination);
  while (size > 0) {
    // A block of size 0 delivers nothing, so loading repeats until bytes are there.
    if (remaining_ == 0) {
      if (auto loaded = load_block(); !loaded) return loaded;
      continue;
    }
    const size_t take = size < remaining_ ? size : remaining_;
    std::memcpy(out, data_ + position_, take);
    position_ += static_cast<uint32_t>(take);
    remaining_ -= static_cast<uint32_t>(take);
    out += take;
    size -= take;
  }
  return {};
}

Result<std::span<const uint8_t>> BlockReader::read_some(size_t size) {
  if (size == 0) return std::span<const uint8_t>();
  while (remaining_ == 0) {
    if (auto loaded = load_block(); !loaded) return fail(loaded.error());
  }
  const size_t take = size < remaining_ ? size : remaining_;
  const std::span<const uint8_t> piece(data_ + position_, take);
  position_ += static_cast<uint32_t>(take);
  remaining_ -= static_cast<uint32_t>(take);
  return piece;
}

Status BlockReader::load_block() {
  uint8_t header[kBlockHeaderSize];
  if (auto read = inner_.read_exact(header, sizeof header); !read) return read;
  const uint32_t size = load_u32(header);
  const uint32_t not_size = load_u32(header + 4);
  const uint32_t crc = load_u32(header + 8);
  if (size != ~not_size) return fail(IoError, kBlockSizeCorrupt);
  if (size > kBlockCapacity) return fail(IoError, kBlockSizeTooLarge);
  data_ = inner_.read_in_place(size);
  if (data_ == nullptr) {
    data_ = payload_;
    if (auto read = inner_.read_exact(payload_, size); !read) return read;
  }
  if (crc32(data_, size) != crc) return fail(IoError, kBlockCrcMismatch);
  position_ = 0;
  remaining_ = size;
  return {};
}

void BlockWriter::open_block() {
  uint8_t* room = inner_.reserve(kBlockHeaderSize + kBlockCapacity);
  in_sink_ = room != nullptr;
  block_ = in_sink_ ? room + kBlockHeaderSize : payload_;
}

Status BlockWriter::write_across(const void* source, size_t size) {
  const auto* in = static_cast<const uint8_t*>(source);
  while (size > 0) {
    if (block_ == nullptr) open_block();
    const size_t room = kBlockCapacity - filled_;
    const size_t take = size < room ? size : room;
    std::memcpy(block_ + filled_, in, take);
    filled_ += static_cast<uint32_t>(take);
    in += take;
    size -= take;
    if (filled_ == kBlockCapacity) {
      if (auto emitted = flush_block(); !emitted) return emitted;
    }
  }
  return {};
}

Status BlockWriter::flush_block() {
  if (filled_ == 0) {
    block_ = nullptr;  // a reservation that nothing was written into is simply let go
    return {};
  }
  uint8_t own_header[kBlockHeaderSize];
  uint8_t* header = in_sink_ ? block_ - kBlockHeaderSize : own_header;
  store_u32(header, filled_);
  store_u32(header + 4, ~filled_);
  store_u32(header + 8, crc32(block_, filled_));
  if (in_sink_) {
    inner_.commit(kBlockHeaderSize + filled_);
  } else {
    if (auto written = inner_.write_all(header, kBlockHeaderSize); !written) return written;
    if (auto written = inner_.write_all(block_, filled_); !written) return written;
  }
  filled_ = 0;
  block_ = nullptr;
  return {};
}

}  // namespace vellicor
