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

inline uint32_t byte_step(uint32_t c, uint8_t byte) {
  return kTable[(c ^ byte) & 0xFF] ^ (c >> 8);
}

// Assembled by hand so a big-endian host reads the same value; compilers turn
// this into one load where the host allows it.
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The four lookups for one 32-bit word whose first byte is `slice` bytes
// before the end of its 16-byte group (slice 15 for the first word).
inline uint32_t word_lookup(uint32_t w, int slice) {
  return kTables[slice][w & 0xFF] ^ kTables[slice - 1][(w >> 8) & 0xFF] ^
         kTables[slice - 2][(w >> 16) & 0xFF] ^ kTables[slice - 3][w >> 24];
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
    // 32-bit words throughout: the camera's core has no wider registers.
    do {
      const uint32_t w0 = le32(p) ^ c;
      const uint32_t w1 = le32(p + 4);
      const uint32_t w2 = le32(p + 8);
      const uint32_t w3 = le32(p + 12);
      // Only w0 depends on the previous step; the other twelve lookups can
      // run ahead while it is pending.
      const uint32_t rest = word_lookup(w1, 11) ^ word_lookup(w2, 7) ^ word_lookup(w3, 3);
      c = (kTables[15][w0 & 0xFF] ^ kTables[14][(w0 >> 8) & 0xFF]) ^
          (kTables[13][(w0 >> 16) & 0xFF] ^ kTables[12][w0 >> 24]) ^ rest;
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
