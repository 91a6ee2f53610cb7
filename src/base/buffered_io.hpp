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
  // The next `size` bytes where the source holds them already, taken as read_exact would take
  // them, without a copy; nothing, and nothing taken, when it does not hold them all in one
  // piece (read_exact delivers them then). They stay valid until the next call.
  virtual const uint8_t* read_in_place(size_t size) {
    (void)size;
    return nullptr;
  }
};

// Where bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all `size` bytes or fails; a write that takes nothing is the IoError kWriteZero.
  [[nodiscard]] virtual Status write_all(const void* source, size_t size) = 0;
  // Room for the next `size` bytes in the sink's own memory, to be filled and then handed
  // over with commit(size) before any other call; nothing when the sink has no such room now
  // (write_all takes the bytes then). Never reaches the file.
  virtual uint8_t* reserve(size_t size) {
    (void)size;
    return nullptr;
  }
  virtual void commit(size_t size) { (void)size; }
};

class BufferedReader final : public ByteSource {
 public:
  static constexpr size_t kCapacity = 65536;

  // Borrows the file, which must outlive the reader.
  explicit BufferedReader(File& file) : file_(file) {}
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  [[nodiscard]] Status read_exact(void* destination, size_t size) override;
  const uint8_t* read_in_place(size_t size) override {
    if (filled_ - position_ < size) return nullptr;
    const uint8_t* bytes = buffer_ + position_;
    position_ += size;
    return bytes;
  }

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
  uint8_t* reserve(size_t size) override {
    return kCapacity - filled_ >= size ? buffer_ + filled_ : nullptr;
  }
  void commit(size_t size) override { filled_ += size; }
  // Hands every buffered byte to the file.
  [[nodiscard]] Status flush();

 private:
  [[nodiscard]] Status write_through(const uint8_t* data, size_t size);

  File& file_;
  size_t filled_ = 0;
  uint8_t buffer_[kCapacity];
};

}  // namespace vellicor
