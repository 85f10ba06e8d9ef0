// The simulated camera: flash, the EEPROM's bus and the shell as the tool
// sees them. Everything lives in a fresh temporary root.
#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/sim_camera.h"

namespace {

using platform::EraseRange;
using platform::FileHandle;
using platform::MtdInfo;
using testing_support::TempDir;

// A small NAND: four 16 KiB blocks of 2 KiB pages written in 512-byte
// sub-pages, block 2 bad.
constexpr uint32_t kBlock = 0x4000;
constexpr uint32_t kSubpage = 512;
constexpr uint32_t kNandSize = 4 * kBlock;
const char* const kNandGeometry =
    "# test chip\n"
    "type = nand\n"
    "erasesize=0x4000\n"
    "writesize=2048   # page\n"
    "oobsize=64\n"
    "subpagesize=512\n"
    "bad=2\n";
const char* const kNorGeometry = "type=nor\nerasesize=4096\n";

class SimPlatformTest : public ::testing::Test {
 protected:
  // R/dev/NAME holding `contents`, with `geometry` unless it is null.
  void make_device(const std::string& name, const char* geometry, const std::string& contents) {
    root_.write("dev/" + name, contents);
    if (geometry != nullptr) root_.write("dev/" + name + ".geometry", geometry);
  }
  void make_nand() { make_device("mtd4", kNandGeometry, std::string(kNandSize, '\0')); }
  int open_rw(const char* path) { return sim_.open(path, O_RDWR); }
  // The bytes of R/dev/mtd4 in [start, start + length).
  std::string nand_bytes(uint32_t start, uint32_t length) {
    return root_.read("dev/mtd4").substr(start, length);
  }

  TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  platform::sim::SimPlatform sim_{root_.path(), out_, err_};
};

// ---- files ----

TEST_F(SimPlatformTest, AbsolutePathsLiveUnderTheRootRelativeOnesOnTheHost) {
  root_.write("dev/shm/updateFM.bin", "camera");
  FileHandle camera(sim_, sim_.open("/dev/shm/updateFM.bin", O_RDONLY));
  ASSERT_TRUE(camera.valid());
  char buffer[16] = {};
  EXPECT_EQ(sim_.read(camera.get(), buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "camera");
  platform::FileStatus status;
  ASSERT_EQ(sim_.stat("/dev/shm/updateFM.bin", &status), 0);
  EXPECT_EQ(status.size, 6u);
  EXPECT_TRUE(S_ISREG(status.mode));

  // A relative path is the host's: reach the root's "host.bin" from the
  // working directory.
  root_.write("host.bin", "host");
  std::string relative =
      std::filesystem::relative(root_.file("host.bin"), std::filesystem::current_path());
  ASSERT_NE(relative[0], '/');
  FileHandle host(sim_, sim_.open(relative.c_str(), O_RDONLY));
  ASSERT_TRUE(host.valid());
  EXPECT_EQ(sim_.pread(host.get(), buffer, sizeof buffer, 1), 3);
  EXPECT_EQ(std::string(buffer, 3), "ost");
  EXPECT_EQ(sim_.stat("/host.bin", &status), 0);
}

TEST_F(SimPlatformTest, OpenPassesCreateTruncateAndNoFollowThrough) {
  std::filesystem::create_directories(root_.file("mnt/nand"));
  FileHandle created(sim_, sim_.open("/mnt/nand/upfw.log", O_WRONLY | O_CREAT | O_TRUNC, 0600));
  ASSERT_TRUE(created.valid());
  EXPECT_EQ(sim_.write(created.get(), "abcdef", 6), 6);
  EXPECT_EQ(sim_.pwrite(created.get(), "XY", 2, 1), 2);
  EXPECT_EQ(sim_.lseek(created.get(), 0, SEEK_CUR), 6);
  platform::FileStatus status;
  ASSERT_EQ(sim_.fstat(created.get(), &status), 0);
  EXPECT_EQ(status.size, 6u);
  EXPECT_EQ(status.mode & 0777, 0600u);
  EXPECT_EQ(root_.read("mnt/nand/upfw.log"), "aXYdef");

  FileHandle truncated(sim_, sim_.open("/mnt/nand/upfw.log", O_WRONLY | O_TRUNC));
  EXPECT_EQ(root_.read("mnt/nand/upfw.log"), "");

  ASSERT_EQ(symlink(root_.file("mnt/nand/upfw.log").c_str(), root_.file("link").c_str()), 0);
  EXPECT_EQ(sim_.open("/link", O_RDONLY | O_NOFOLLOW), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(sim_.open("/missing", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(sim_.close(12345), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(SimPlatformTest, DevicesWithoutGeometryOrBusAnswerRequestsWithEnotty) {
  make_device("mtd7", nullptr, std::string(kBlock, '\xFF'));
  FileHandle plain(sim_, open_rw("/dev/mtd7"));
  ASSERT_TRUE(plain.valid());
  MtdInfo info;
  uint8_t byte = 0;
  const std::vector<std::pair<const char*, int>> results = {
      {"info", sim_.mtd_get_info(plain.get(), &info)},
      {"badblock", sim_.mtd_get_bad_block(plain.get(), 0)},
      {"erase", sim_.mtd_erase(plain.get(), {0, kBlock})},
      {"lock", sim_.mtd_lock(plain.get(), {0, kBlock})},
      {"unlock", sim_.mtd_unlock(plain.get(), {0, kBlock})},
      {"slave", sim_.i2c_set_slave(plain.get(), 0xA0)},
      {"widths", sim_.i2c_set_byte_widths(plain.get())},
      {"read byte", static_cast<int>(sim_.i2c_read_byte(plain.get(), 0, &byte))},
  };
  for (const auto& [request, result] : results) EXPECT_EQ(result, -1) << request;
  errno = 0;
  EXPECT_EQ(sim_.mtd_get_info(plain.get(), &info), -1);
  EXPECT_EQ(errno, ENOTTY);
  // An ordinary file takes writes as they come, no flash rules.
  EXPECT_EQ(sim_.pwrite(plain.get(), "\x12", 1, 3), 1);
  EXPECT_EQ(root_.read("dev/mtd7")[3], '\x12');
  EXPECT_FALSE(root_.exists("flash.log"));
}

// ---- geometry ----

TEST_F(SimPlatformTest, GeometryGivesInfoForNandAndNor) {
  make_nand();
  make_device("mtd1", kNorGeometry, std::string(2 * 4096, '\xFF'));
  FileHandle nand(sim_, open_rw("/dev/mtd4"));
  FileHandle nor(sim_, open_rw("/dev/mtd1"));
  ASSERT_TRUE(nand.valid() && nor.valid()) << err_.text();
  MtdInfo info;
  ASSERT_EQ(sim_.mtd_get_info(nand.get(), &info), 0);
  EXPECT_EQ(info.type, platform::kMtdNandFlash);
  EXPECT_EQ(info.size, kNandSize);
  EXPECT_EQ(info.erasesize, kBlock);
  EXPECT_EQ(info.writesize, 2048u);
  EXPECT_EQ(info.oobsize, 64u);
  ASSERT_EQ(sim_.mtd_get_info(nor.get(), &info), 0);
  EXPECT_EQ(info.type, platform::kMtdNorFlash);
  EXPECT_EQ(info.size, 2 * 4096u);
  EXPECT_EQ(info.erasesize, 4096u);
  EXPECT_EQ(info.writesize, 1u);
  EXPECT_EQ(info.oobsize, 0u);
  EXPECT_EQ(err_.text(), "");
}

struct GeometryErrorCase {
  const char* name;
  const char* geometry;
  size_t device_size;
  const char* message;  // what err() gets after the root
};

class SimGeometryErrorTest : public SimPlatformTest,
                             public ::testing::WithParamInterface<GeometryErrorCase> {};

TEST_P(SimGeometryErrorTest, OpenFailsWithEinvalNamingTheFile) {
  const GeometryErrorCase& c = GetParam();
  make_device("mtd3", c.geometry, std::string(c.device_size, '\xFF'));
  EXPECT_EQ(sim_.open("/dev/mtd3", O_RDWR), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(err_.text(), root_.path() + c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimGeometryErrorTest,
    ::testing::Values(
        GeometryErrorCase{"UnknownKey", "type=nand\nerasesize=4096\nwritesize=512\npagesize=512\n",
                          4096, "/dev/mtd3.geometry:4: unknown key \"pagesize\"\n"},
        GeometryErrorCase{"NoEquals", "type=nor\nerasesize 4096\n", 4096,
                          "/dev/mtd3.geometry:2: expected key=value\n"},
        GeometryErrorCase{"BadNumber", "type=nor\nerasesize=4k\n", 4096,
                          "/dev/mtd3.geometry:2: bad value \"4k\" for erasesize\n"},
        GeometryErrorCase{"BadType", "type=emmc\nerasesize=4096\n", 4096,
                          "/dev/mtd3.geometry:1: bad value \"emmc\" for type\n"},
        GeometryErrorCase{"NandWithoutPageSize", "type=nand\nerasesize=4096\n", 4096,
                          "/dev/mtd3.geometry: needs type, erasesize and writesize\n"},
        GeometryErrorCase{"PartialBlock", kNorGeometry, 4096 + 512,
                          "/dev/mtd3: size 4608 is not a whole number of 4096-byte erase "
                          "blocks\n"},
        GeometryErrorCase{"BadBlockPastEnd", "type=nand\nerasesize=4096\nwritesize=512\nbad=1\n",
                          4096, "/dev/mtd3.geometry: bad block 1 is past the device's 1 blocks\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- NAND ----

struct EraseCase {
  const char* name;
  uint32_t start;
  uint32_t length;
  int error;  // 0: succeeds
};

class SimNandEraseTest : public SimPlatformTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(SimNandEraseTest, ErasesWholeGoodBlocksOnly) {
  const EraseCase& c = GetParam();
  make_nand();
  FileHandle nand(sim_, open_rw("/dev/mtd4"));
  ASSERT_TRUE(nand.valid());
  int result = sim_.mtd_erase(nand.get(), {c.start, c.length});
  if (c.error != 0) {
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(root_.read("dev/mtd4"), std::string(kNandSize, '\0'));  // nothing erased
    EXPECT_FALSE(root_.exists("flash.log"));
    return;
  }
  EXPECT_EQ(result, 0);
  const std::string flash = root_.read("dev/mtd4");
  EXPECT_EQ(flash.substr(c.start, c.length), std::string(c.length, '\xFF'));
  EXPECT_EQ(flash.substr(0, c.start), std::string(c.start, '\0'));
  EXPECT_EQ(flash.substr(c.start + c.length), std::string(kNandSize - c.start - c.length, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Sim, SimNandEraseTest,
                         ::testing::Values(EraseCase{"OneBlock", kBlock, kBlock, 0},
                                           EraseCase{"TwoGoodBlocks", 0, 2 * kBlock, 0},
                                           EraseCase{"LastBlock", 3 * kBlock, kBlock, 0},
                                           EraseCase{"UnalignedStart", kSubpage, kBlock, EINVAL},
                                           EraseCase{"PartialLength", 0, kBlock + kSubpage, EINVAL},
                                           EraseCase{"PastTheEnd", 3 * kBlock, 2 * kBlock, EINVAL},
                                           EraseCase{"StartAtTheEnd", kNandSize, kBlock, EINVAL},
                                           EraseCase{"CoversBadBlock", kBlock, 2 * kBlock, EIO}),
                         [](const auto& info) { return std::string(info.param.name); });

struct WriteCase {
  const char* name;
  uint32_t offset;
  uint32_t length;
  ssize_t result;  // bytes written, or -1
  int error;
};

class SimNandWriteTest : public SimPlatformTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SimNandWriteTest, WritesWholeSubpagesOutsideBadBlocks) {
  const WriteCase& c = GetParam();
  make_device("mtd4", kNandGeometry, std::string(kNandSize, '\xFF'));
  FileHandle nand(sim_, open_rw("/dev/mtd4"));
  ASSERT_TRUE(nand.valid());
  const std::string data(c.length, 'A');
  EXPECT_EQ(sim_.pwrite(nand.get(), data.data(), data.size(), c.offset), c.result);
  const std::string flash = root_.read("dev/mtd4");
  if (c.result < 0) {
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(flash, std::string(kNandSize, '\xFF'));
    EXPECT_FALSE(root_.exists("flash.log"));
    return;
  }
  const size_t written = static_cast<size_t>(c.result);
  EXPECT_EQ(flash.substr(c.offset, written), std::string(written, 'A'));
  EXPECT_EQ(std::count(flash.begin(), flash.end(), 'A'), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimNandWriteTest,
    ::testing::Values(WriteCase{"OneSubpage", kSubpage, kSubpage, kSubpage, 0},
                      WriteCase{"TwoBlocks", 0, 2 * kBlock, 2 * kBlock, 0},
                      WriteCase{"UnalignedOffset", 256, kSubpage, -1, EINVAL},
                      WriteCase{"PartialSubpage", 0, 100, -1, EINVAL},
                      WriteCase{"IntoBadBlock", 2 * kBlock - kSubpage, 2 * kSubpage, -1, EIO},
                      WriteCase{"AtTheEnd", kNandSize, kSubpage, -1, ENOSPC},
                      WriteCase{"PastTheEnd", kNandSize + kBlock, kSubpage, -1, ENOSPC},
                      // Cut to the end, as the MTD character device does.
                      WriteCase{"RunsPastTheEnd", 3 * kBlock, 2 * kBlock, kBlock, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimPlatformTest, ProgrammingOnlyClearsBitsAndAdvancesThePosition) {
  make_device("mtd4", kNandGeometry, std::string(kNandSize, '\xFF'));
  FileHandle nand(sim_, open_rw("/dev/mtd4"));
  ASSERT_TRUE(nand.valid());
  const std::string first(kSubpage, '\xF0');
  const std::string second(kSubpage, '\x3C');
  EXPECT_EQ(sim_.write(nand.get(), first.data(), first.size()), kSubpage);
  EXPECT_EQ(sim_.lseek(nand.get(), 0, SEEK_CUR), kSubpage);
  EXPECT_EQ(sim_.pwrite(nand.get(), second.data(), second.size(), 0), kSubpage);
  EXPECT_EQ(sim_.lseek(nand.get(), 0, SEEK_CUR), kSubpage);  // pwrite keeps it
  // Unerased flash keeps the AND of old and new.
  EXPECT_EQ(nand_bytes(0, kSubpage), std::string(kSubpage, '\x30'));

  // Erasing brings the bits back.
  ASSERT_EQ(sim_.mtd_erase(nand.get(), {0, kBlock}), 0);
  EXPECT_EQ(sim_.pwrite(nand.get(), second.data(), second.size(), 0), kSubpage);
  EXPECT_EQ(nand_bytes(0, kSubpage), second);

  std::string readback(kSubpage, '\0');
  ASSERT_EQ(sim_.lseek(nand.get(), 0, SEEK_SET), 0);
  EXPECT_EQ(sim_.read(nand.get(), readback.data(), readback.size()), kSubpage);
  EXPECT_EQ(readback, second);
  // Reads go anywhere inside the device and stop at its end.
  EXPECT_EQ(sim_.pread(nand.get(), readback.data(), 7, 3), 7);
  EXPECT_EQ(sim_.pread(nand.get(), readback.data(), readback.size(), kNandSize - 10), 10);
  EXPECT_EQ(sim_.pread(nand.get(), readback.data(), readback.size(), kNandSize), 0);
  ASSERT_EQ(sim_.lseek(nand.get(), 0, SEEK_END), kNandSize);
  EXPECT_EQ(sim_.read(nand.get(), readback.data(), readback.size()), 0);
  EXPECT_EQ(sim_.write(nand.get(), second.data(), second.size()), -1);
  EXPECT_EQ(errno, ENOSPC);
}

TEST_F(SimPlatformTest, NandReportsBadBlocksAndRefusesLocks) {
  make_nand();
  FileHandle nand(sim_, open_rw("/dev/mtd4"));
  ASSERT_TRUE(nand.valid());
  EXPECT_EQ(sim_.mtd_get_bad_block(nand.get(), 0), 0);
  EXPECT_EQ(sim_.mtd_get_bad_block(nand.get(), kBlock), 0);
  EXPECT_EQ(sim_.mtd_get_bad_block(nand.get(), 2 * kBlock), 1);
  EXPECT_EQ(sim_.mtd_get_bad_block(nand.get(), 3 * kBlock - 1), 1);
  EXPECT_EQ(sim_.mtd_get_bad_block(nand.get(), 3 * kBlock), 0);
  for (int64_t outside : {int64_t{kNandSize}, int64_t{-1}}) {
    errno = 0;
    EXPECT_EQ(sim_.mtd_get_bad_block(nand.get(), outside), -1) << outside;
    EXPECT_EQ(errno, EINVAL) << outside;
  }
  EXPECT_EQ(sim_.mtd_unlock(nand.get(), {0, kBlock}), -1);
  EXPECT_EQ(errno, 524);
  EXPECT_EQ(sim_.mtd_lock(nand.get(), {0, kBlock}), -1);
  EXPECT_EQ(errno, 524);
}

TEST_F(SimPlatformTest, ReadOnlyDescriptorCannotChangeFlash) {
  make_nand();
  FileHandle nand(sim_, sim_.open("/dev/mtd4", O_RDONLY));
  ASSERT_TRUE(nand.valid());
  const std::string data(kSubpage, '\0');
  EXPECT_EQ(sim_.pwrite(nand.get(), data.data(), data.size(), 0), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(sim_.mtd_erase(nand.get(), {0, kBlock}), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(root_.read("dev/mtd4"), std::string(kNandSize, '\0'));
  MtdInfo info;
  EXPECT_EQ(sim_.mtd_get_info(nand.get(), &info), 0);
}

// ---- NOR ----

TEST_F(SimPlatformTest, NorTakesAnyWriteHasNoBadBlocksAndLocks) {
  make_device("mtd1", "type=nor\nerasesize=4096\nbad=0\n", std::string(2 * 4096, '\xFF'));
  FileHandle nor(sim_, open_rw("/dev/mtd1"));
  ASSERT_TRUE(nor.valid());
  EXPECT_EQ(sim_.mtd_unlock(nor.get(), {0, 4096}), 0);
  EXPECT_EQ(sim_.mtd_lock(nor.get(), {0, 4096}), 0);
  EXPECT_EQ(sim_.mtd_get_bad_block(nor.get(), 0), 0);
  EXPECT_EQ(sim_.pwrite(nor.get(), "\x0F", 1, 3), 1);
  EXPECT_EQ(sim_.pwrite(nor.get(), "\xF5", 1, 3), 1);
  EXPECT_EQ(root_.read("dev/mtd1").substr(2, 3), "\xFF\x05\xFF");
  EXPECT_EQ(sim_.mtd_erase(nor.get(), {0, 2048}), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(sim_.mtd_erase(nor.get(), {0, 4096}), 0);
  EXPECT_EQ(root_.read("dev/mtd1"), std::string(2 * 4096, '\xFF'));
}

// ---- flash.log ----

TEST_F(SimPlatformTest, FlashLogTracesEveryChangeUnderTheToolsPath) {
  make_nand();
  FileHandle nand(sim_, open_rw("/dev/mtd4"));
  ASSERT_TRUE(nand.valid());
  const std::string page(2048, '\0');
  ASSERT_EQ(sim_.mtd_erase(nand.get(), {0, kBlock}), 0);
  ASSERT_EQ(sim_.write(nand.get(), page.data(), page.size()), 2048);
  ASSERT_EQ(sim_.pwrite(nand.get(), page.data(), kSubpage, 3 * kBlock + kSubpage), kSubpage);
  // Refused operations and reads leave no trace.
  EXPECT_EQ(sim_.mtd_erase(nand.get(), {2 * kBlock, kBlock}), -1);
  EXPECT_EQ(sim_.pwrite(nand.get(), page.data(), 1, 0), -1);
  std::string readback(16, '\0');
  EXPECT_EQ(sim_.pread(nand.get(), readback.data(), readback.size(), 0), 16);
  EXPECT_EQ(root_.read("flash.log"),
            "erase /dev/mtd4 0x00000000 0x00004000\n"
            "write /dev/mtd4 0x00000000 0x00000800\n"
            "write /dev/mtd4 0x0000c200 0x00000200\n");
  EXPECT_EQ(sim_.flash_operations(), 3u);
}

// ---- I2C ----

TEST_F(SimPlatformTest, EepromAnswersAtItsAddressInsideItsBytes) {
  root_.write("dev/i2c-2", "\x11\x22\x33");
  FileHandle bus(sim_, open_rw("/dev/i2c-2"));
  ASSERT_TRUE(bus.valid());
  EXPECT_EQ(sim_.i2c_set_byte_widths(bus.get()), 0);
  uint8_t value = 0;
  for (unsigned address : {0xA0u, 0x50u}) {
    ASSERT_EQ(sim_.i2c_set_slave(bus.get(), address), 0);
    EXPECT_EQ(sim_.i2c_read_byte(bus.get(), 0, &value), 1);
    EXPECT_EQ(value, 0x11);
    EXPECT_EQ(sim_.i2c_read_byte(bus.get(), 2, &value), 1);
    EXPECT_EQ(value, 0x33);
    errno = 0;
    EXPECT_EQ(sim_.i2c_read_byte(bus.get(), 3, &value), -1);
    EXPECT_EQ(errno, EIO);
  }
  // Another address is taken, but no chip answers there.
  ASSERT_EQ(sim_.i2c_set_slave(bus.get(), 0xA2), 0);
  EXPECT_EQ(sim_.i2c_read_byte(bus.get(), 0, &value), -1);
  EXPECT_EQ(errno, EIO);
}

TEST_F(SimPlatformTest, MissingBusCannotOpenAndEmptyBusHasNoChip) {
  EXPECT_EQ(sim_.open("/dev/i2c-2", O_RDWR | O_CREAT, 0600), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(root_.exists("dev/i2c-2"));

  root_.write("dev/i2c-2", "");
  FileHandle bus(sim_, open_rw("/dev/i2c-2"));
  ASSERT_TRUE(bus.valid());
  ASSERT_EQ(sim_.i2c_set_slave(bus.get(), 0xA0), 0);
  uint8_t value = 0;
  EXPECT_EQ(sim_.i2c_read_byte(bus.get(), 0, &value), -1);
  EXPECT_EQ(errno, EIO);
}

// ---- shell ----

const char* const kProcMtd =
    "dev:    size   erasesize  name\n"
    "mtd0: 00100000 00020000 \"uboot\"\n"
    "mtd3: 00800000 00020000 \"kernel1\"\n"
    "mtd4: 00800000 00020000 \"kernel2\"\n";

struct ShellCase {
  const char* name;
  const char* command;
  int status;
  const char* out;
  const char* err;
};

class SimShellTest : public SimPlatformTest, public ::testing::WithParamInterface<ShellCase> {
 protected:
  void SetUp() override { root_.write("proc/mtd", kProcMtd); }
};

TEST_P(SimShellTest, EmulatesTheCommandAndLogsIt) {
  const ShellCase& c = GetParam();
  EXPECT_EQ(sim_.run_shell(c.command), c.status);
  EXPECT_EQ(out_.text(), c.out);
  EXPECT_EQ(err_.text(), c.err);
  std::string logged = c.command;
  if (logged.back() == '\n') logged.pop_back();
  EXPECT_EQ(root_.read("shell.log"), logged + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimShellTest,
    ::testing::Values(ShellCase{"Reboot", "reboot", 0, "", ""},
                      ShellCase{"Sync", "sync", 0, "", ""},
                      ShellCase{"DropCaches", "echo 3 > /proc/sys/vm/drop_caches", 0, "", ""},
                      ShellCase{"CatProcMtd", "cat /proc/mtd ", 0, kProcMtd, ""},
                      ShellCase{"Grep", "cat /proc/mtd | grep kernel \n", 0,
                                "mtd3: 00800000 00020000 \"kernel1\"\n"
                                "mtd4: 00800000 00020000 \"kernel2\"\n",
                                ""},
                      ShellCase{"GrepNoMatch", "cat /proc/mtd | grep rootfs \n", 1, "", ""},
                      ShellCase{"Unknown", "ls -l /dev", 127, "", "sh: 1: ls: not found\n"},
                      ShellCase{"UnknownCat", "cat /etc/passwd", 127, "",
                                "sh: 1: cat: not found\n"},
                      ShellCase{"ChmodMissing", "chmod 777 /dev/shm/update", 1, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimPlatformTest, PipeCollectsOutputAndLogLinesKeepOrder) {
  root_.write("proc/mtd", kProcMtd);
  std::string output;
  EXPECT_EQ(sim_.run_pipe("cat /proc/mtd | grep kernel2 \n", &output), 0);
  EXPECT_EQ(output, "mtd4: 00800000 00020000 \"kernel2\"\n");
  EXPECT_EQ(sim_.run_pipe("nonsense", &output), 0);
  EXPECT_EQ(output, "");
  EXPECT_EQ(err_.text(), "sh: 1: nonsense: not found\n");
  sim_.pause_seconds(3);
  EXPECT_EQ(sim_.run_shell("reboot"), 0);
  EXPECT_EQ(out_.text(), "");
  EXPECT_EQ(root_.read("shell.log"),
            "cat /proc/mtd | grep kernel2 \n"
            "nonsense\n"
            "# sleep 3\n"
            "reboot\n");
}

TEST_F(SimPlatformTest, RmAndChmodActOnlyUnderTheRoot) {
  root_.write("mnt/nand/upfw.log", "0\n");
  EXPECT_EQ(sim_.run_shell("rm -f /mnt/nand/upfw.log"), 0);
  EXPECT_FALSE(root_.exists("mnt/nand/upfw.log"));
  EXPECT_EQ(sim_.run_shell("rm -f /mnt/nand/upfw.log"), 0);  // -f: missing is fine

  root_.write("dev/shm/update", "tool");
  ASSERT_EQ(chmod(root_.file("dev/shm/update").c_str(), 0600), 0);
  for (const auto& [command, mode] : {std::pair{"chmod 755 /dev/shm/update", 0755u},
                                      std::pair{"chmod 777 /dev/shm/update", 0777u}}) {
    EXPECT_EQ(sim_.run_shell(command), 0) << command;
    struct stat st;
    ASSERT_EQ(::stat(root_.file("dev/shm/update").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << command;
  }

  // A path climbing out of the root is refused, even one that would land
  // back inside it.
  const std::string back_in = "/../" + std::filesystem::path(root_.path()).filename().string();
  root_.write("mnt/nand/keep", "");
  EXPECT_EQ(sim_.run_shell(("chmod 700 " + back_in + "/dev/shm/update").c_str()), 1);
  EXPECT_EQ(sim_.run_shell(("rm -f " + back_in + "/mnt/nand/keep").c_str()), 1);
  struct stat st;
  ASSERT_EQ(::stat(root_.file("dev/shm/update").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0777u);
  EXPECT_TRUE(root_.exists("mnt/nand/keep"));
}

TEST_F(SimPlatformTest, FlashEraseCommandErasesEveryGoodBlock) {
  make_nand();
  EXPECT_EQ(sim_.run_shell("/usr/sbin/flash_erase /dev/mtd4 0 0"), 0);
  EXPECT_EQ(nand_bytes(0, 2 * kBlock), std::string(2 * kBlock, '\xFF'));
  EXPECT_EQ(nand_bytes(2 * kBlock, kBlock), std::string(kBlock, '\0'));  // bad: left alone
  EXPECT_EQ(nand_bytes(3 * kBlock, kBlock), std::string(kBlock, '\xFF'));
  EXPECT_EQ(root_.read("flash.log"),
            "erase /dev/mtd4 0x00000000 0x00004000\n"
            "erase /dev/mtd4 0x00004000 0x00004000\n"
            "erase /dev/mtd4 0x0000c000 0x00004000\n");
  EXPECT_EQ(sim_.flash_operations(), 3u);

  make_device("mtd7", nullptr, std::string(kBlock, '\0'));
  EXPECT_EQ(sim_.run_shell("/usr/sbin/flash_erase /dev/mtd7 0 0"), 1);  // not flash
  EXPECT_EQ(sim_.run_shell("/usr/sbin/flash_erase /dev/mtd9 0 0"), 1);  // missing
  EXPECT_EQ(root_.read("dev/mtd7"), std::string(kBlock, '\0'));
  EXPECT_EQ(err_.text(), "");
}

// ---- update-sim ----

TEST(SimMain, WithoutRootNamesTheVariableAndTouchesNothing) {
  TempDir cwd;
  testing_support::ProgramResult result =
      testing_support::run_program(UPDATE_SIM_BINARY, {"/dev/shm/updateFM.bin"}, "", cwd.path());
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "update-sim: UPDATE_SIM_ROOT is not set\n");
  EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
}

}  // namespace
