#include "image/crc32.h"

#include <array>
#include <memory>

#include "image/crc32_reference.h"

namespace image {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

// Slicing by 16: sixteen bytes per step, one lookup in its own table each, so
// the lookups of one step are independent of each other and only the XOR of
// their results feeds the next step. tables[k][n] is the register after byte n
// followed by k zero bytes; tables[0] is the standard table.
constexpr int kSlices = 16;
using Table = std::array<uint32_t, 256>;

constexpr std::array<Table, kSlices> make_tables() {
  std::array<Table, kSlices> tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? kPolynomial ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = tables[k - 1][n];
      tables[k][n] = tables[0][c & 0xFF] ^ (c >> 8);
    }
  }
  return tables;
}

// 16 KiB of constant data, built by the compiler.
constexpr std::array<Table, kSlices> kTables = make_tables();
constexpr const Table& kTable = kTables[0];
static_assert(kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du);

inline uint32_t byte_step(uint32_t c, uint8_t byte) { return kTable[(c ^ byte) & 0xFF] ^ (c >> 8); }

// Assembled by hand so a big-endian host reads the same value; compilers turn
// this into one load where the host allows it.
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t crc32_core(uint32_t c, const uint8_t* data, size_t count) {
  // Aligned words let hosts without unaligned loads read each word at once.
  while (count > 0 && reinterpret_cast<uintptr_t>(data) % 4 != 0) {
    c = byte_step(c, *data++);
    --count;
  }
  if (count >= 16) {
    const uint8_t* p = std::assume_aligned<4>(data);
    const auto& t = kTables;
    do {
      // Only the first four bytes meet the register. The other twelve are
      // looked up straight from memory, independent of the previous step, so
      // they proceed while its result is pending, and loading them byte by
      // byte spares the shifts and masks of cutting a word apart.
      const uint32_t rest = t[11][p[4]] ^ t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^
                            t[6][p[9]] ^ t[5][p[10]] ^ t[4][p[11]] ^ t[3][p[12]] ^ t[2][p[13]] ^
                            t[1][p[14]] ^ t[0][p[15]];
      const uint32_t w = le32(p) ^ c;
      c = (t[15][w & 0xFF] ^ t[14][(w >> 8) & 0xFF]) ^ (t[13][(w >> 16) & 0xFF] ^ t[12][w >> 24]) ^
          rest;
      p += 16;
      count -= 16;
    } while (count >= 16);
    data = p;
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

namespace detail {

uint32_t crc32_table_reference(uint32_t previous, const void* data, size_t count) {
  if (count == 0) return previous;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~previous;
  while (count > 0 && reinterpret_cast<uintptr_t>(p) % 4 != 0) {
    c = byte_step(c, *p++);
    --count;
  }
  while (count >= 4) {
    c ^= le32(p);
    for (int k = 0; k < 4; ++k) c = kTable[c & 0xFF] ^ (c >> 8);
    p += 4;
    count -= 4;
  }
  while (count > 0) {
    c = byte_step(c, *p++);
    --count;
  }
  return ~c;
}

}  // namespace detail
}  // namespace image
