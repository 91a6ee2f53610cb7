#include "base/buffered_io.hpp"

#include <cstring>

namespace vellicor {

Status BufferedReader::read_exact(void* destination, size_t size) {
  auto* out = static_cast<uint8_t*>(destination);
  while (size > 0) {
    if (position_ == filled_) {
      // A request at least as large as the buffer goes straight to the file: copying it
      // through the buffer would gain nothing.
      const bool direct = size >= kCapacity;
      auto got = direct ? file_.read(out, size) : file_.read(buffer_, kCapacity);
      if (!got) return fail(got.error());
      if (*got == 0) return fail(IoError, kUnexpectedEof);
      if (direct) {
        out += *got;
        size -= *got;
        continue;
      }
      position_ = 0;
      filled_ = *got;
    }
    const size_t take = size < filled_ - position_ ? size : filled_ - position_;
    std::memcpy(out, buffer_ + position_, take);
    position_ += take;
    out += take;
    size -= take;
  }
  return {};
}

Status BufferedWriter::write_all(const void* source, size_t size) {
  const auto* in = static_cast<const uint8_t*>(source);
  // The buffer is filled up before it is handed on, so the file sees whole buffer-sized writes
  // however the pieces fall; only a request larger than the buffer goes straight through.
  if (filled_ == 0 && size >= kCapacity) return write_through(in, size);
  while (size > 0) {
    const size_t take = size < kCapacity - filled_ ? size : kCapacity - filled_;
    std::memcpy(buffer_ + filled_, in, take);
    filled_ += take;
    in += take;
    size -= take;
    if (filled_ == kCapacity) {
      if (auto flushed = flush(); !flushed) return flushed;
      if (size >= kCapacity) return write_through(in, size);
    }
  }
  return {};
}

Status BufferedWriter::flush() {
  // After a failure the writer is not used again: the owner abandons the whole write.
  const size_t pending = filled_;
  filled_ = 0;
  auto written = write_through(buffer_, pending);
  if (!written) filled_ = pending;
  return written;
}

Status BufferedWriter::write_through(const uint8_t* data, size_t size) {
  while (size > 0) {
    auto put = file_.write(data, size);
    if (!put) return fail(put.error());
    if (*put == 0) return fail(IoError, kWriteZero);
    data += *put;
    size -= *put;
  }
  return {};
}

}  // namespace vellicor
