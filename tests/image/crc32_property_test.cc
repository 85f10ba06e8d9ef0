// The sixteen-byte loop must give exactly what the one-table walk gives, for
// any bytes, any length, any start address, any running value and any way a
// caller cuts the data into pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "image/crc32.h"
#include "image/crc32_reference.h"

namespace {

using image::crc32;
using image::detail::crc32_table_reference;

class Crc32PropertyTest : public testing::Test {
 protected:
  // Larger than any case below plus the widest start offset.
  static constexpr size_t kBufferSize = (size_t{1} << 20) + 128;

  void SetUp() override {
    buffer_.resize(kBufferSize);
    for (auto& b : buffer_) b = static_cast<uint8_t>(random_());
  }

  // A start address with the given remainder modulo 16 (the loop's stride).
  const uint8_t* at(size_t offset) const {
    const uintptr_t base = reinterpret_cast<uintptr_t>(buffer_.data());
    return buffer_.data() + ((16 - base % 16) % 16) + offset;
  }

  std::mt19937 random_{20240611};
  std::vector<uint8_t> buffer_;
};

// Lengths around every boundary of the loop (the bytes before the first
// aligned word, whole sixteen-byte steps, the bytes after them), from every
// start address and from a running value other than 0.
TEST_F(Crc32PropertyTest, EveryShortLengthFromEveryAlignment) {
  for (uint32_t previous : {0u, 0xFFFFFFFFu, 0x9E3779B9u}) {
    for (size_t offset = 0; offset < 16; ++offset) {
      for (size_t length = 0; length <= 80; ++length) {
        SCOPED_TRACE(testing::Message()
                     << "previous " << previous << " offset " << offset << " length " << length);
        const uint8_t* data = at(offset);
        ASSERT_EQ(crc32(previous, data, length), crc32_table_reference(previous, data, length));
      }
    }
  }
}

// Random starts, lengths up to a megabyte and random cuts: feeding the pieces
// one after another gives the reference value of the whole.
TEST_F(Crc32PropertyTest, RandomPiecesGiveReferenceOfWhole) {
  for (int trial = 0; trial < 400; ++trial) {
    const size_t offset = random_() % 64;
    // Mostly lengths of the size callers use (a page or a read buffer), now
    // and then a long one.
    const size_t limit = trial % 10 == 0 ? (size_t{1} << 20) : 5000;
    const size_t length = random_() % (limit + 1);
    const uint32_t previous = trial % 2 == 0 ? 0 : static_cast<uint32_t>(random_());
    const uint8_t* data = at(0) + offset;

    std::vector<size_t> cuts{0, length};
    for (size_t n = random_() % 6; n > 0; --n) cuts.push_back(length == 0 ? 0 : random_() % length);
    std::sort(cuts.begin(), cuts.end());

    uint32_t running = previous;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      running = crc32(running, data + cuts[i], cuts[i + 1] - cuts[i]);
    }
    SCOPED_TRACE(testing::Message() << "trial " << trial << " offset " << offset << " length "
                                    << length << " pieces " << cuts.size() - 1);
    ASSERT_EQ(running, crc32_table_reference(previous, data, length));
  }
}

// crc32_core is the walk alone: the inversions belong to crc32.
TEST_F(Crc32PropertyTest, CoreIsWalkWithoutInversions) {
  for (size_t length : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1000}}) {
    SCOPED_TRACE(length);
    const uint32_t r = static_cast<uint32_t>(random_());
    EXPECT_EQ(image::crc32_core(r, at(3), length), ~crc32_table_reference(~r, at(3), length));
  }
}

}  // namespace
