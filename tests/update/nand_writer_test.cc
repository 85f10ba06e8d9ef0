#include "update/nand_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"
#include "tests/update/update_test_support.h"

namespace update {
namespace {

using update_testing::expected_write;
using update_testing::first_difference;
using update_testing::FlashGeometry;
using update_testing::lines_of;
using update_testing::make_flash;
using update_testing::payload_bytes;

constexpr uint32_t kPayloadOffset = 2048;  // behind the image header

UpdatePlanRow row_for(uint32_t size, int pad) {
  UpdatePlanRow row = {};
  std::strcpy(row.dev, "/dev/mtd4");
  std::strcpy(row.name, "ker2");
  row.offset = kPayloadOffset;
  row.size = size;
  row.pad = pad;
  return row;
}

constexpr uint32_t kBlock = 128 * 1024;

FlashGeometry nand(uint32_t writesize, uint32_t oobsize, uint32_t erasesize, uint32_t blocks,
                   std::set<uint32_t> bad = {}) {
  FlashGeometry g;
  g.writesize = writesize;
  g.oobsize = oobsize;
  g.erasesize = erasesize;
  g.blocks = blocks;
  g.bad = bad;
  return g;
}

FlashGeometry small_pages(uint32_t blocks, std::set<uint32_t> bad = {}) {
  return nand(512, 16, 16384, blocks, bad);
}

FlashGeometry nor_flash() {
  FlashGeometry g = nand(1, 0, 65536, 4);
  g.type = "nor";
  return g;
}

class NandWriterTest : public ::testing::Test {
 protected:
  // The image file: a header's worth of filler, then the payload bytes.
  void write_image(const std::string& payload) {
    root_.write("fw.bin", std::string(kPayloadOffset, '\x11') + payload);
  }
  int write(uint32_t size, int pad) {
    return nand_flash_write_file(platform_, "/fw.bin", row_for(size, pad));
  }

  testing_support::TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  platform::sim::SimPlatform sim_{root_.path(), out_, err_};
  platform::sim::SimPlatform& platform_{sim_};
};

struct LayoutCase {
  const char* name;
  FlashGeometry geometry;
  uint32_t payload;
  int pad;
  int code;
  const char* err;
};

class NandWriterLayoutTest : public NandWriterTest,
                             public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(NandWriterLayoutTest, PayloadFillsGoodBlocksInOrderAfterEraseOfEveryGoodBlock) {
  // Given a bad-block layout, the pages land on the good blocks from the start,
  // bad blocks keep their old bytes, and no page is written before every good
  // block is erased (the flash starts unerased, so a missed erase corrupts).
  const LayoutCase& c = GetParam();
  make_flash(root_, "mtd4", c.geometry);
  std::string payload = payload_bytes(c.payload);
  write_image(payload);

  EXPECT_EQ(write(c.payload, c.pad), c.code);
  EXPECT_EQ(err_.text(), c.err);
  EXPECT_EQ(out_.text(), "");
  auto expected = expected_write(c.geometry, "/dev/mtd4", payload);
  EXPECT_EQ(first_difference(root_.read("dev/mtd4"), expected.flash), "");
  EXPECT_EQ(lines_of(root_.read("flash.log")), expected.trace);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, NandWriterLayoutTest,
    ::testing::Values(
        // The last 1024 payload bytes share their page with 1024 bytes of 0xFF.
        LayoutCase{.name = "OneAndAHalfPagesPadded",
                   .geometry = nand(2048, 64, kBlock, 2),
                   .payload = 3072,
                   .pad = 1,
                   .code = 0,
                   .err = ""},
        // Block 0 takes 64 pages; the 65th starts block 2.
        LayoutCase{.name = "SecondBlockBad",
                   .geometry = nand(2048, 64, kBlock, 4, {1}),
                   .payload = 65 * 2048,
                   .pad = 1,
                   .code = 0,
                   .err = "Bad block at 20000, 1 block(s) from 20000 will be skipped\n"},
        LayoutCase{.name = "FirstAndMiddleBlocksBadSmallPages",
                   .geometry = small_pages(6, {0, 3}),
                   .payload = 2 * 16384 + 8192 + 100,
                   .pad = 1,
                   .code = 0,
                   .err = "Bad block at 0, 1 block(s) from 0 will be skipped\n"
                          "Bad block at c000, 1 block(s) from c000 will be skipped\n"},
        LayoutCase{.name = "TinyPages",
                   .geometry = nand(256, 8, 4096, 3),
                   .payload = 5000,
                   .pad = 1,
                   .code = 0,
                   .err = ""},
        // 2048-byte pages with 128 out-of-band bytes are an accepted NAND.
        LayoutCase{.name = "WholePagesWithoutPadOn128ByteOob",
                   .geometry = nand(2048, 128, kBlock, 2),
                   .payload = 4 * 2048,
                   .pad = 0,
                   .code = 0,
                   .err = ""},
        LayoutCase{.name = "ExactlyTheDeviceSize",
                   .geometry = small_pages(4),
                   .payload = 4 * 16384,
                   .pad = 1,
                   .code = 0,
                   .err = ""},
        // The fit test does not count bad blocks: the device ends first.
        LayoutCase{.name = "DeviceSizeWithOneBadBlock",
                   .geometry = small_pages(4, {1}),
                   .payload = 4 * 16384,
                   .pad = 1,
                   .code = 11,
                   .err = "Bad block at 4000, 1 block(s) from 4000 will be skipped\n"
                          "Data was only partially written due to error\n"},
        // Skipping the last block asks about the offset past the end.
        LayoutCase{.name = "DeviceSizeWithLastBlockBad",
                   .geometry = small_pages(4, {3}),
                   .payload = 4 * 16384,
                   .pad = 1,
                   .code = 8,
                   .err = "Bad block at c000, 1 block(s) from c000 will be skipped\n"
                          "ioctl get bad block: Invalid argument\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
  const char* name;
  FlashGeometry geometry;
  uint32_t size;
  int pad;
  int code;
  const char* err;
  bool device = true;
  bool geometry_file = true;
  bool image = true;
};

class NandWriterRefusalTest : public NandWriterTest,
                              public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(NandWriterRefusalTest, RefusesBeforeErasing) {
  // Given a device, image or payload the writer cannot use, it returns its
  // code and the partition keeps its old contents.
  const RefusalCase& c = GetParam();
  if (c.device) make_flash(root_, "mtd4", c.geometry);
  if (!c.geometry_file) std::remove(root_.file("dev/mtd4.geometry").c_str());
  if (c.image) write_image(payload_bytes(8192));
  std::string before = c.device ? root_.read("dev/mtd4") : "";

  EXPECT_EQ(write(c.size, c.pad), c.code);
  EXPECT_EQ(err_.text(), c.err);
  if (c.device) {
    EXPECT_EQ(first_difference(root_.read("dev/mtd4"), before), "");
  }
  EXPECT_EQ(root_.read("flash.log"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, NandWriterRefusalTest,
    ::testing::Values(
        RefusalCase{.name = "NoDevice",
                    .geometry = nand(2048, 64, kBlock, 4),
                    .size = 4096,
                    .pad = 1,
                    .code = 2,
                    .err = "open flash: No such file or directory\n",
                    .device = false},
        RefusalCase{.name = "NotAnMtdDevice",
                    .geometry = nand(2048, 64, kBlock, 4),
                    .size = 4096,
                    .pad = 1,
                    .code = 3,
                    .err = "MEMGETINFO: Inappropriate ioctl for device\n",
                    .geometry_file = false},
        RefusalCase{.name = "FourKPages",
                    .geometry = nand(4096, 128, 262144, 4),
                    .size = 4096,
                    .pad = 1,
                    .code = 4,
                    .err = "Unknown flash (not normal NAND)\n"},
        RefusalCase{.name = "UnknownOobSize",
                    .geometry = nand(2048, 16, kBlock, 4),
                    .size = 4096,
                    .pad = 1,
                    .code = 4,
                    .err = "Unknown flash (not normal NAND)\n"},
        RefusalCase{.name = "NorFlash",
                    .geometry = nor_flash(),
                    .size = 4096,
                    .pad = 1,
                    .code = 4,
                    .err = "Unknown flash (not normal NAND)\n"},
        RefusalCase{.name = "NoImage",
                    .geometry = nand(2048, 64, kBlock, 4),
                    .size = 4096,
                    .pad = 1,
                    .code = 5,
                    .err = "open input file.\n",
                    .image = false},
        RefusalCase{.name = "PartialPageWithoutPad",
                    .geometry = nand(2048, 64, kBlock, 4),
                    .size = 3072,
                    .pad = 0,
                    .code = 6,
                    .err = "file is not page aligned.\n"},
        RefusalCase{.name = "LargerThanDevice",
                    .geometry = nand(2048, 64, kBlock, 32),
                    .size = 8 * 1024 * 1024,
                    .pad = 1,
                    .code = 7,
                    .err = "Image 8388608 bytes, NAND page 2048 bytes, OOB area 64 bytes, device "
                           "size 4194304 bytes\nInput file does not fit into device!\n"},
        RefusalCase{.name = "TwoGiB",
                    .geometry = nand(2048, 64, kBlock, 4),
                    .size = 0x80000000u,
                    .pad = 1,
                    .code = 7,
                    .err = "Image -2147483648 bytes, NAND page 2048 bytes, OOB area 64 bytes, "
                           "device size 524288 bytes\nInput file does not fit into device!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  const char* op;  // the request that fails ("" for none)
  const char* path;
  int nth;
  uint32_t image_bytes;  // payload bytes present in the image file
  int code;
  const char* err;
  size_t pages_written;  // before the failure
};

class NandWriterFailureTest : public NandWriterTest,
                              public ::testing::WithParamInterface<FailureCase> {};

TEST_P(NandWriterFailureTest, StopsAtTheFirstFailure) {
  // Given a failing request or a short image, the writer stops with its code
  // and writes nothing after the failure.
  const FailureCase& c = GetParam();
  FlashGeometry geometry = nand(2048, 64, kBlock, 2);
  make_flash(root_, "mtd4", geometry);
  std::string payload = payload_bytes(4 * 2048);
  write_image(payload.substr(0, c.image_bytes));
  if (c.op[0] != '\0')
    update_testing::inject_faults(root_, sim_, update_testing::fail_rule(c.op, c.path, c.nth));

  EXPECT_EQ(write(4 * 2048, 1), c.code);
  EXPECT_EQ(err_.text(), c.err);
  size_t writes = 0;
  for (const std::string& line : lines_of(root_.read("flash.log")))
    if (line.rfind("write ", 0) == 0) ++writes;
  EXPECT_EQ(writes, c.pages_written);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, NandWriterFailureTest,
    ::testing::Values(
        FailureCase{.name = "EraseFails",
                    .op = "erase",
                    .path = "/dev/mtd4",
                    .nth = 2,
                    .image_bytes = 8192,
                    .code = 1,
                    .err = "MEMERASE: Input/output error\nFail on erase mtd device!\n",
                    .pages_written = 0},
        FailureCase{.name = "BadBlockQueryFailsWhileErasing",
                    .op = "badblock",
                    .path = "/dev/mtd4",
                    .nth = 1,
                    .image_bytes = 8192,
                    .code = 1,
                    .err = "MEMGETBADBLOCK: Input/output error\nFail on erase mtd device!\n",
                    .pages_written = 0},
        // The erase asks about both blocks; the third query is the write's.
        FailureCase{.name = "BadBlockQueryFailsWhileWriting",
                    .op = "badblock",
                    .path = "/dev/mtd4",
                    .nth = 3,
                    .image_bytes = 8192,
                    .code = 8,
                    .err = "ioctl get bad block: Input/output error\n",
                    .pages_written = 0},
        FailureCase{.name = "PageWriteFails",
                    .op = "write",
                    .path = "/dev/mtd4",
                    .nth = 3,
                    .image_bytes = 8192,
                    .code = 10,
                    .err = "Pwrite file to mtd fail.\n",
                    .pages_written = 2},
        FailureCase{.name = "ImageReadFails",
                    .op = "read",
                    .path = "/fw.bin",
                    .nth = 2,
                    .image_bytes = 8192,
                    .code = 9,
                    .err = "File I/O error on input file.\n",
                    .pages_written = 1},
        FailureCase{.name = "ImageEndsOnPageBoundary",
                    .op = "",
                    .path = "",
                    .nth = 0,
                    .image_bytes = 2 * 2048,
                    .code = 11,
                    .err = "read file return 0 size!\n"
                           "Data was only partially written due to error\n",
                    .pages_written = 2},
        FailureCase{.name = "ImageEndsInsidePage",
                    .op = "",
                    .path = "",
                    .nth = 0,
                    .image_bytes = 2 * 2048 + 100,
                    .code = 9,
                    .err = "File I/O error on input file.\n",
                    .pages_written = 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace update
