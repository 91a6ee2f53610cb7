#pragma once
// Byte streams with exact-length reads and writes, and their buffered forms over a File, so
// that many small field reads and writes do not each reach the system: 64 KiB a call, which
// costs the system call a fraction of what it moves.

#include <cstddef>
#include <cstdint>

#include "base/error.hpp"
#include "base/file.hpp"

namespace vellicor {

// Where bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Delivers exactly `size` bytes or fails; the end of the data before that is the IoError
  // kUnexpectedEof. After a failure the stream is not used again.
  [[nodiscard]] virtual Status read_exact(void* destination, size_t size) = 0;
};

// Where bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all `size` bytes or fails; a write that takes nothing is the IoError kWriteZero.
  [[nodiscard]] virtual Status write_all(const void* source, size_t size) = 0;
};

class BufferedReader final : public ByteSource {
 public:
  static constexpr size_t kCapacity = 65536;

  // Borrows the file, which must outlive the reader.
  explicit BufferedReader(File& file) : file_(file) {}
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  [[nodiscard]] Status read_exact(void* destination, size_t size) override;

 private:
  File& file_;
  size_t position_ = 0;
  size_t filled_ = 0;
  uint8_t buffer_[kCapacity];
};

// Buffered bytes reach the file only on flush() (or when the buffer fills); nothing is
// written on destruction, so an abandoned write leaves no half-written tail behind.
class BufferedWriter final : public ByteSink {
 public:
  static constexpr size_t kCapacity = 65536;

  explicit BufferedWriter(File& file) : file_(file) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  [[nodiscard]] Status write_all(const void* source, size_t size) override;
  // Hands every buffered byte to the file.
  [[nodiscard]] Status flush();

 private:
  [[nodiscard]] Status write_through(const uint8_t* data, size_t size);

  File& file_;
  size_t filled_ = 0;
  uint8_t buffer_[kCapacity];
};

}  // namespace vellicor
