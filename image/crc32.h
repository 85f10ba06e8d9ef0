// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), the one checksum
// of images, read-back and the boot environment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image {

// Continues `previous` (0 to start) over `count` bytes at `data`. A count of
// 0 returns `previous`; crc32(crc32(0, a), b) == crc32(0, a followed by b).
uint32_t crc32(uint32_t previous, const void* data, size_t count);

// The same walk without the pre- and post-inversion.
uint32_t crc32_core(uint32_t register_value, const uint8_t* data, size_t count);

}  // namespace image
