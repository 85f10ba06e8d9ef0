#include "image/crc32.h"

#include <array>

namespace image {
namespace {

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

inline uint32_t byte_step(uint32_t c, uint8_t byte) {
  return kTable[(c ^ byte) & 0xFF] ^ (c >> 8);
}

}  // namespace

uint32_t crc32_core(uint32_t c, const uint8_t* data, size_t count) {
  while (count > 0 && reinterpret_cast<uintptr_t>(data) % 4 != 0) {
    c = byte_step(c, *data++);
    --count;
  }
  // Words are assembled little-endian by hand so a big-endian host agrees.
  while (count >= 4) {
    c ^= static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
         static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    for (int k = 0; k < 4; ++k) c = kTable[c & 0xFF] ^ (c >> 8);
    data += 4;
    count -= 4;
  }
  while (count > 0) {
    c = byte_step(c, *data++);
    --count;
  }
  return c;
}

uint32_t crc32(uint32_t previous, const void* data, size_t count) {
  if (count == 0) return previous;
  return ~crc32_core(~previous, static_cast<const uint8_t*>(data), count);
}

}  // namespace image
