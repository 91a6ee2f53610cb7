#pragma once
// The reflected CRC-32 of zlib and PNG (polynomial 0xEDB88320), which protects every block
// payload and the header of an uninstall log.

#include <cstddef>
#include <cstdint>

namespace vellicor {

// The CRC-32 of `size` bytes; 0 for none.
uint32_t crc32(const void* data, size_t size);

// Continues a CRC-32: crc32_update(crc32(a), b) is the CRC-32 of a followed by b.
uint32_t crc32_update(uint32_t crc, const void* data, size_t size);

// Where the processor multiplies without carries (PCLMULQDQ), crc32 folds with that; these
// give the table-driven computation that is used everywhere else, so that both can be compared.
uint32_t crc32_update_portable(uint32_t crc, const void* data, size_t size);
bool crc32_uses_clmul();

}  // namespace vellicor
