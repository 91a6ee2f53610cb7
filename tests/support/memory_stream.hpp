#pragma once
// In-memory byte streams for tests of the stream layers: a source over a byte string and a
// sink that can be told to stop taking bytes, to reach the write failure paths.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/buffered_io.hpp"

namespace vellicor::testing_support {

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  Status read_exact(void* destination, size_t size) override {
    ++reads_;
    if (bytes_.size() - position_ < size) {
      position_ = bytes_.size();
      return fail(IoError, kUnexpectedEof);
    }
    if (size > 0) std::memcpy(destination, bytes_.data() + position_, size);
    position_ += size;
    return {};
  }

  size_t position() const { return position_; }
  size_t reads() const { return reads_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
  size_t reads_ = 0;
};

class MemorySink final : public ByteSink {
 public:
  // Takes at most `capacity` bytes in all; a write beyond fails as a write that takes nothing.
  explicit MemorySink(size_t capacity = SIZE_MAX) : capacity_(capacity) {}

  Status write_all(const void* source, size_t size) override {
    if (capacity_ - bytes_.size() < size) return fail(IoError, kWriteZero);
    const auto* in = static_cast<const uint8_t*>(source);
    bytes_.insert(bytes_.end(), in, in + size);
    return {};
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  size_t capacity_;
  std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> bytes_of(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace vellicor::testing_support
