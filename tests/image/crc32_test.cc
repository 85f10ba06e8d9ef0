#include "image/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Bit by bit, straight from the polynomial: nothing shared with the table code.
uint32_t reference_crc(const uint8_t* data, size_t count) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

TEST(Crc32Test, CheckValues) {
  const struct {
    const char* label;
    std::string bytes;
    uint32_t crc;
  } cases[] = {
      {"digits", "123456789", 0xCBF43926u},
      {"abc", "abc", 0x352441C2u},
      {"padding block", std::string(2048, '\xFF'), 0x3F55D17Fu},
      {"empty", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(image::crc32(0, c.bytes.data(), c.bytes.size()), c.crc);
  }
}

TEST(Crc32Test, DigitsGiveCheckValueAtEveryAlignment) {
  alignas(4) uint8_t buffer[16] = {};
  for (size_t shift = 0; shift < 4; ++shift) {
    SCOPED_TRACE(shift);
    std::memcpy(buffer + shift, "123456789", 9);
    EXPECT_EQ(image::crc32(0, buffer + shift, 9), 0xCBF43926u);
  }
}

TEST(Crc32Test, ContinuesOverPieces) {
  const char* digits = "123456789";
  uint32_t first = image::crc32(0, digits, 4);
  EXPECT_EQ(image::crc32(first, digits + 4, 5), 0xCBF43926u);
  // An empty piece leaves a running checksum alone.
  EXPECT_EQ(image::crc32(0x12345678u, digits, 0), 0x12345678u);
}

// The word loop must agree with the byte walk for every start address and
// every place a caller cuts the data.
TEST(Crc32Test, MatchesBitwiseReferenceForAnyAlignmentAndSplit) {
  alignas(4) uint8_t buffer[64];
  for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<uint8_t>(i * 37 + 11);
  const size_t length = 41;
  for (size_t shift = 0; shift < 4; ++shift) {
    const uint8_t* data = buffer + shift;
    const uint32_t expected = reference_crc(data, length);
    for (size_t split = 0; split <= length; ++split) {
      SCOPED_TRACE(testing::Message() << "shift " << shift << " split " << split);
      uint32_t head = image::crc32(0, data, split);
      EXPECT_EQ(image::crc32(head, data + split, length - split), expected);
    }
  }
}

}  // namespace
