// Hostile and damaged input, end to end: each case gives update-sim on a
// camera one bad image, environment, partition list, command line or file
// under /tmp. Each must end with a clear error or the ordinary result, never
// a crash or an overrun (the sanitizer build aborts on one), and an
// installation refused must not touch the partitions it would write.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/reliability/boot_model.h"
#include "tests/support/sim_camera.h"

namespace reliability {
namespace {

using testing_support::TempDir;

constexpr size_t kCopySize = 0x40000;
constexpr char kImage[] = "dev/shm/updateFM.bin";

void put_le32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// Field offsets inside an 80-byte header entry.
constexpr size_t kOffset = 0;
constexpr size_t kSize = 4;
constexpr size_t kName = 24;
constexpr size_t kCrc = 76;

// Changes one 32-bit field of entry `index` of the camera's image.
std::function<void(const TempDir&)> set_field(size_t index, size_t field, uint32_t value) {
  return [=](const TempDir& root) {
    std::string image = root.read(kImage);
    put_le32(image, index * 80 + field, value);
    root.write(kImage, image);
  };
}

// The first environment copy holds `data` as its data area, with a right
// CRC and the higher counter, so the tool takes it.
std::function<void(const TempDir&)> set_environment(std::string data) {
  return [=](const TempDir& root) {
    std::string area = data;
    area.resize(kCopySize - 5, area.empty() ? '\0' : area.back());
    const uint32_t crc = loader_crc32(reinterpret_cast<const uint8_t*>(area.data()), area.size());
    std::string copy(5, '\x09');
    put_le32(copy, 0, crc);
    std::string flash = root.read("dev/mtd1");
    flash.replace(0, kCopySize, copy + area);
    root.write("dev/mtd1", flash);
  };
}

std::string entries(const std::vector<std::string>& list) {
  std::string data;
  for (const std::string& entry : list) data += entry + '\0';
  return data + '\0';
}

const std::string kBootcmd = "bootcmd=nand read 0x82000000 ker1 0x400000; bootm 0x82000000";
const std::string kBootargs =
    "bootargs=mem=148M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw";
const std::string kFsRecord = "fs1=name:fs1\tver:0x28070050\tsize:100\tdate:0x07e60304 ";

std::function<void(const TempDir&)> write_file(const std::string& path, std::string content) {
  return [=](const TempDir& root) { root.write(path, content); };
}

std::string garbage(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  for (char& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<char>(seed >> 16);
  }
  return bytes;
}

struct HostileCase {
  const char* name;
  std::function<void(const TempDir&)> damage;
  std::vector<std::string> args;
  int status;
  std::string message;  // a line standard error or output must hold
};

class HostileInputTest : public ::testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    testing_support::make_camera(root_);
    work_.write("ker", garbage(70000, 1));
    work_.write("fs", garbage(150000, 2));
    auto made = testing_support::run_program(
        MKUPFW_BINARY,
        {"-o", root_.file(kImage), "-e", "1:ker:4.2.2.11:" + work_.file("ker") + ":2022/5/6", "-e",
         "2:fs:40.7.0.81:" + work_.file("fs") + ":2022/5/6:0:1"},
        "");
    ASSERT_EQ(made.status, 0) << made.err;
  }
  TempDir root_;
  TempDir work_;
};

// The boot variables as the tool loads them.
std::string boot_variables(const TempDir& root) {
  std::string lines;
  std::istringstream printed(testing_support::printed_environment(root));
  for (std::string line; std::getline(printed, line);)
    if (line.rfind("bootargs=", 0) == 0 || line.rfind("bootcmd=", 0) == 0) lines += line + "\n";
  return lines;
}

// Given the damage, the run ends with its status and says why; the running
// slot is never written, and a failed run leaves the boot variables alone.
TEST_P(HostileInputTest, EndsCleanly) {
  const HostileCase& c = GetParam();
  c.damage(root_);
  const std::string before = boot_variables(root_);
  const auto run = testing_support::run_update_sim(root_, c.args);
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  EXPECT_NE((run.err + run.out).find(c.message), std::string::npos) << run.out << run.err;
  const std::string trace = root_.read("flash.log");
  for (const char* device : {"/dev/mtd3 ", "/dev/mtd5 "})
    EXPECT_EQ(trace.find(device), std::string::npos) << device << " written:\n" << trace;
  if (c.status != 0) {
    EXPECT_EQ(boot_variables(root_), before);
  }
}

const std::vector<std::string> kInstall = {"-u"};
const std::vector<std::string> kList = {"-l"};
const std::vector<std::string> kShow = {"--show"};

INSTANTIATE_TEST_SUITE_P(
    Reliability, HostileInputTest,
    ::testing::Values(
        // ---- images ----
        HostileCase{"EntryPastTheEnd", set_field(1, kOffset, 0x7FFFF000), kInstall, 254,
                    "read output imager"},
        HostileCase{"EntryOf4GiB", set_field(2, kSize, 0xFFFFFFFF), kInstall, 254,
                    "read output imager"},
        HostileCase{"EntryInsideTheHeader", set_field(1, kOffset, 16), kInstall, 254,
                    "check_img_crc ker failed"},
        HostileCase{"EntriesOverlapping",
                    [](const TempDir& root) {
                      // The file system's bytes are also called the kernel,
                      // with the right checksum: an image, if an odd one.
                      std::string image = root.read(kImage);
                      image.replace(80, 8, image, 160, 8);
                      image.replace(80 + kCrc, 4, image, 160 + kCrc, 4);
                      root.write(kImage, image);
                    },
                    kInstall, 0, "image_crc"},
        HostileCase{"NameWithoutTerminator",
                    [](const TempDir& root) {
                      std::string image = root.read(kImage);
                      image.replace(80 + kName, 52, std::string(52, 'K'));
                      root.write(kImage, image);
                    },
                    kList, 0, std::string(52, 'K') + ": \n"},
        HostileCase{
            "HeaderCutShort",
            [](const TempDir& root) { root.write(kImage, root.read(kImage).substr(0, 2047)); },
            kInstall, 255, "read output imager"},
        HostileCase{"HeaderOfGarbage",
                    [](const TempDir& root) {
                      std::string image = root.read(kImage);
                      image.replace(0, 2048, garbage(2048, 7));
                      root.write(kImage, image);
                    },
                    kInstall, 241, "CPU not match firmware"},
        // ---- environments ----
        HostileCase{"EnvironmentWithoutEnd", set_environment(std::string(kCopySize, 'A')), kShow, 0,
                    "## Error: environment not terminated"},
        HostileCase{"EnvironmentOfGarbage", set_environment(garbage(kCopySize, 3)), kInstall, 241,
                    ""},
        HostileCase{
            "OversizedBootargs",
            set_environment(entries({kBootcmd, kFsRecord, kBootargs + std::string(600, 'x')})),
            kInstall, 252, "flprog_get_part_table faild!"},
        HostileCase{"OversizedValueSwitch",
                    set_environment(entries({kBootcmd + std::string(600, 'x'), kBootargs})),
                    {"-S", "2"},
                    255,
                    "get_env_mtd_table faild!"},
        HostileCase{"OversizedVariableSet",
                    set_environment(entries({kBootcmd, kBootargs})),
                    {"-C", std::string(600, 'x')},
                    255,
                    "too long"},
        // ---- partition list and command line ----
        HostileCase{"MtdLinesWithoutColon",
                    write_file("proc/mtd",
                               "dev:    size   erasesize  name\nmtd0 00100000 00020000 \"uboot\"\n"
                               "mtd4 00100000 00020000 \"ker2\"\nmtd6 00200000 00020000 \"fs2\"\n"),
                    kInstall, 2, "open flash"},
        HostileCase{
            "MtdNamesOverlong",
            write_file("proc/mtd", "mtd4: 00100000 00020000 \"ker2" + std::string(300, 'k') +
                                       "\"\nmtd" + std::string(40, '6') +
                                       ": 00200000 00020000 \"fs2\"\n"),
            kInstall, 2, "open flash"},
        HostileCase{"HugeCmdline",
                    write_file("proc/cmdline", std::string(1 << 20, 'x') + " ubi.mtd=fs1\n"),
                    kInstall, 252, "unknow fs partition or cur fs mismatch bootargs fs!"},
        // ---- files under /tmp and the identity chip ----
        HostileCase{"SensorAndCodecGarbage",
                    [](const TempDir& root) {
                      root.write("tmp/sensor_type", garbage(4096, 4));
                      root.write("tmp/codec_type", garbage(4096, 5));
                    },
                    kInstall, 0, ""},
        HostileCase{"ChipInformationGarbage", write_file("dev/i2c-2", garbage(256, 6)), kInstall, 0,
                    ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace reliability
