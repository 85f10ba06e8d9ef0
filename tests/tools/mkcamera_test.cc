// mkcamera, the builder of simulated cameras, run as the built program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "image/crc32.h"
#include "tests/support/sim_camera.h"

namespace {

using testing_support::ProgramResult;
using testing_support::run_program;
using testing_support::TempDir;

constexpr size_t kCopySize = 0x40000;

const char* const kNames[10] = {"uboot", "env1", "env2", "ker1", "ker2",
                                "fs1",   "fs2",  "cfg",  "oem",  "rsd"};

// What a device file holds in its first environment copy, decoded on its own
// terms rather than with the tool's code.
struct EnvCopy {
  bool crc_ok = false;
  uint8_t flag = 0;
  std::vector<std::string> entries;
  bool zero_after_list = true;  // the data area behind the list's end
  bool erased_after_copy = true;
};

EnvCopy decode_copy(const std::string& device) {
  EnvCopy copy;
  if (device.size() < kCopySize) return copy;
  const auto* bytes = reinterpret_cast<const uint8_t*>(device.data());
  uint32_t stored = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                    static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  copy.crc_ok = stored == image::crc32(0, bytes + 5, kCopySize - 5);
  copy.flag = bytes[4];
  size_t at = 5;
  while (at < kCopySize && bytes[at] != 0) {
    size_t end = device.find('\0', at);
    copy.entries.push_back(device.substr(at, end - at));
    at = end + 1;
  }
  for (size_t i = at; i < kCopySize; ++i) copy.zero_after_list &= bytes[i] == 0;
  copy.erased_after_copy = device.find_first_not_of('\xff', kCopySize) == std::string::npos;
  return copy;
}

std::string record(const std::string& name, const std::string& version, uint32_t size) {
  return name + "=name:" + name + "\tver:0x" + version + "\tsize:" + std::to_string(size) +
         "\tdate:0x07e60304 ";
}

std::vector<std::string> default_entries(int slot, uint32_t ker_size, uint32_t fs_size) {
  std::string n = std::to_string(slot);
  return {"bootargs=mem=148M console=ttyAMA0,115200 ubi.mtd=fs" + n +
              " root=ubi0:rootfs rw rootfstype=ubifs init=/linuxrc",
          "bootcmd=nand read 0x82000000 ker" + n + " 0x400000; bootm 0x82000000",
          "bootdelay=1",
          "baudrate=115200",
          "ethaddr=00:11:22:33:44:55",
          "ipaddr=192.168.1.10",
          "serverip=192.168.1.1",
          "netmask=255.255.255.0",
          "gateway=192.168.1.1",
          record("uboot", "04020224", 212992),
          record("ker1", "0402020a", ker_size),
          record("ker2", "0402020a", ker_size),
          record("fs1", "28070050", fs_size),
          record("fs2", "28070050", fs_size)};
}

bool all_erased(const std::string& bytes) {
  return bytes.find_first_not_of('\xff') == std::string::npos;
}

const std::string kNandGeometry = "type=nand\nerasesize=131072\nwritesize=2048\noobsize=64\n";
// Small partitions keep the cameras of most tests at a few MiB.
const std::vector<std::string> kSmall = {"--size", "ker=1M", "--size", "fs=2M"};

class MkcameraTest : public ::testing::Test {
 protected:
  // Runs mkcamera with `args` and then ROOT; ROOT does not exist beforehand.
  ProgramResult make(std::vector<std::string> args, bool small = true) {
    if (small) args.insert(args.begin(), kSmall.begin(), kSmall.end());
    args.push_back(root());
    return run_program(MKCAMERA_BINARY, args, "");
  }
  std::string root() const { return dir_.file("cam"); }
  std::string read(const std::string& relative) const { return dir_.read("cam/" + relative); }
  bool exists(const std::string& relative) const { return dir_.exists("cam/" + relative); }

  TempDir dir_;
};

TEST_F(MkcameraTest, DefaultCameraHasTheFullLayout) {
  ProgramResult result = make({}, /*small=*/false);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");

  EXPECT_EQ(read("proc/mtd"),
            "dev:    size   erasesize  name\n"
            "mtd0: 00100000 00020000 \"uboot\"\n"
            "mtd1: 00080000 00020000 \"env1\"\n"
            "mtd2: 00080000 00020000 \"env2\"\n"
            "mtd3: 00400000 00020000 \"ker1\"\n"
            "mtd4: 00400000 00020000 \"ker2\"\n"
            "mtd5: 01000000 00020000 \"fs1\"\n"
            "mtd6: 01000000 00020000 \"fs2\"\n"
            "mtd7: 00200000 00020000 \"cfg\"\n"
            "mtd8: 00200000 00020000 \"oem\"\n"
            "mtd9: 00200000 00020000 \"rsd\"\n");
  EXPECT_EQ(read("proc/cmdline"),
            "mem=148M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs "
            "init=/linuxrc\n");

  const size_t sizes[10] = {0x100000,  0x80000,   0x80000,  0x400000, 0x400000,
                            0x1000000, 0x1000000, 0x200000, 0x200000, 0x200000};
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(kNames[i]);
    std::string dev = "dev/mtd" + std::to_string(i);
    std::string bytes = read(dev);
    EXPECT_EQ(bytes.size(), sizes[i]);
    EXPECT_EQ(read(dev + ".geometry"), kNandGeometry);
    if (i != 1 && i != 2) {
      EXPECT_TRUE(all_erased(bytes));
    }
  }
  // Both slots carry records with their full nominal sizes.
  EXPECT_EQ(decode_copy(read("dev/mtd1")).entries, default_entries(1, 2359296, 11534336));

  std::string eeprom = read("dev/i2c-2");
  ASSERT_EQ(eeprom.size(), 256u);
  EXPECT_EQ(eeprom.substr(0, 32), "VTC29H6301SA100E0110N00040000000");
  EXPECT_TRUE(all_erased(eeprom.substr(32)));

  EXPECT_FALSE(exists("tmp/sensor_type"));
  EXPECT_FALSE(exists("tmp/codec_type"));
  for (const char* dir : {"tmp", "mnt/nand", "dev/shm"}) {
    struct stat st;
    EXPECT_TRUE(stat((root() + "/" + dir).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << dir;
  }
}

TEST_F(MkcameraTest, BothEnvironmentCopiesAreValidForEitherSlot) {
  for (int slot : {1, 2}) {
    SCOPED_TRACE(slot);
    TempDir fresh;
    std::string cam = fresh.file("cam");
    std::vector<std::string> args = kSmall;
    args.insert(args.end(), {"--slot", std::to_string(slot), cam});
    ASSERT_EQ(run_program(MKCAMERA_BINARY, args, "").status, 0);

    EXPECT_NE(fresh.read("cam/proc/cmdline").find("ubi.mtd=fs" + std::to_string(slot) + " "),
              std::string::npos);
    // Records never claim more than their partition holds.
    std::vector<std::string> expected = default_entries(slot, 0x100000, 0x200000);
    const uint8_t flags[2] = {2, 1};
    for (int copy = 0; copy < 2; ++copy) {
      std::string device = fresh.read("cam/dev/mtd" + std::to_string(copy + 1));
      EXPECT_EQ(device.size(), 0x80000u);
      EnvCopy decoded = decode_copy(device);
      EXPECT_TRUE(decoded.crc_ok);
      EXPECT_EQ(decoded.flag, flags[copy]);
      EXPECT_EQ(decoded.entries, expected);
      EXPECT_TRUE(decoded.zero_after_list);
      EXPECT_TRUE(decoded.erased_after_copy);
    }
  }
}

TEST_F(MkcameraTest, SetUnsetAndFlagsEditTheList) {
  ProgramResult result = make({"--flags", "7,0x08", "--set", "bootdelay=3", "--set",
                               "fs1=name:fs1\\tver:0x1", "--unset", "ethaddr", "--set",
                               "chipinfo=ABC", "--unset", "no_such", "--set", "empty="});
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<std::string> expected = default_entries(1, 0x100000, 0x200000);
  expected[2] = "bootdelay=3";
  expected[12] = "fs1=name:fs1\tver:0x1";
  expected.erase(expected.begin() + 4);
  expected.push_back("chipinfo=ABC");
  expected.push_back("empty=");
  EnvCopy copy0 = decode_copy(read("dev/mtd1"));
  EnvCopy copy1 = decode_copy(read("dev/mtd2"));
  EXPECT_TRUE(copy0.crc_ok && copy1.crc_ok);
  EXPECT_EQ(copy0.entries, expected);
  EXPECT_EQ(copy1.entries, expected);
  EXPECT_EQ(copy0.flag, 7);
  EXPECT_EQ(copy1.flag, 8);
}

struct EnvModeCase {
  const char* name;
  const char* mode;
  bool crc_ok[2];
  bool has_default_entries;
};

class MkcameraEnvModeTest : public MkcameraTest,
                            public ::testing::WithParamInterface<EnvModeCase> {};

TEST_P(MkcameraEnvModeTest, WritesTheCopiesAsAsked) {
  const EnvModeCase& c = GetParam();
  ASSERT_EQ(make({"--env", c.mode}).status, 0);
  for (int copy = 0; copy < 2; ++copy) {
    SCOPED_TRACE(copy);
    EnvCopy decoded = decode_copy(read("dev/mtd" + std::to_string(copy + 1)));
    EXPECT_EQ(decoded.crc_ok, c.crc_ok[copy]);
    EXPECT_EQ(decoded.entries.empty(), !c.has_default_entries);
    EXPECT_TRUE(decoded.zero_after_list);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MkcameraEnvModeTest,
    ::testing::Values(EnvModeCase{"Empty", "empty", {true, true}, false},
                      EnvModeCase{"Corrupt", "corrupt", {false, false}, true},
                      EnvModeCase{"CorruptCopy0", "corrupt0", {false, true}, true},
                      EnvModeCase{"CorruptCopy1", "corrupt1", {true, false}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MkcameraTest, EnvNoneLeavesBothDevicesErased) {
  ASSERT_EQ(make({"--env", "none"}).status, 0);
  EXPECT_TRUE(all_erased(read("dev/mtd1")));
  EXPECT_TRUE(all_erased(read("dev/mtd2")));
}

TEST_F(MkcameraTest, NorEnvironmentUsesNorGeometryAndMarkFlags) {
  ASSERT_EQ(make({"--nor-env"}).status, 0);
  const std::string nor = "type=nor\nerasesize=65536\nwritesize=1\noobsize=0\n";
  EXPECT_EQ(read("dev/mtd1.geometry"), nor);
  EXPECT_EQ(read("dev/mtd2.geometry"), nor);
  EXPECT_EQ(read("dev/mtd3.geometry"), kNandGeometry);
  std::string mtd = read("proc/mtd");
  EXPECT_NE(mtd.find("mtd1: 00080000 00010000 \"env1\"\n"), std::string::npos);
  EXPECT_NE(mtd.find("mtd2: 00080000 00010000 \"env2\"\n"), std::string::npos);
  EnvCopy copy0 = decode_copy(read("dev/mtd1"));
  EnvCopy copy1 = decode_copy(read("dev/mtd2"));
  EXPECT_TRUE(copy0.crc_ok && copy1.crc_ok);
  EXPECT_EQ(copy0.flag, 1);
  EXPECT_EQ(copy1.flag, 0);
}

TEST_F(MkcameraTest, BadBlocksGoToTheGeometryMergedAndSorted) {
  ASSERT_EQ(make({"--bad", "ker1:3,1", "--bad", "ker1:2,3", "--bad", "fs2:15"}).status, 0);
  EXPECT_EQ(read("dev/mtd3.geometry"), kNandGeometry + "bad=1,2,3\n");
  EXPECT_EQ(read("dev/mtd6.geometry"), kNandGeometry + "bad=15\n");
  EXPECT_EQ(read("dev/mtd4.geometry"), kNandGeometry);
  EXPECT_TRUE(all_erased(read("dev/mtd3")));
}

TEST_F(MkcameraTest, EepromAndTmpFilesAsGiven) {
  ASSERT_EQ(make({"--chipinfo", "VTC29H\\x00X", "--sensor", "imx327\\n", "--codec",
                  "codec_external_8822"})
                .status,
            0);
  std::string eeprom = read("dev/i2c-2");
  ASSERT_EQ(eeprom.size(), 256u);
  EXPECT_EQ(eeprom.substr(0, 32), std::string("VTC29H\0X", 8) + std::string(24, '\0'));
  EXPECT_TRUE(all_erased(eeprom.substr(32)));
  EXPECT_EQ(read("tmp/sensor_type"), "imx327\n");
  EXPECT_EQ(read("tmp/codec_type"), "codec_external_8822");
}

TEST_F(MkcameraTest, SilentAndMissingEeprom) {
  ASSERT_EQ(make({"--silent-eeprom", "--sensor", ""}).status, 0);
  EXPECT_TRUE(exists("dev/i2c-2"));
  EXPECT_EQ(read("dev/i2c-2"), "");
  EXPECT_TRUE(exists("tmp/sensor_type"));
  EXPECT_EQ(read("tmp/sensor_type"), "");

  // --force over the same root: what this run does not make is gone.
  ASSERT_EQ(make({"--force", "--no-eeprom"}).status, 0);
  EXPECT_FALSE(exists("dev/i2c-2"));
  EXPECT_FALSE(exists("tmp/sensor_type"));
}

TEST_F(MkcameraTest, NonEmptyRootNeedsForce) {
  dir_.write("cam/notes.txt", "keep me");
  dir_.write("cam/shell.log", "reboot\n");
  dir_.write("cam/mnt/nand/upfw.log", "old");
  ProgramResult refused = make({});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("not empty"), std::string::npos) << refused.err;
  EXPECT_FALSE(exists("dev"));

  ASSERT_EQ(make({"--force"}).status, 0);
  EXPECT_TRUE(exists("dev/mtd9"));
  EXPECT_EQ(read("notes.txt"), "keep me");
  EXPECT_FALSE(exists("shell.log"));
  EXPECT_FALSE(exists("mnt/nand/upfw.log"));
}

TEST_F(MkcameraTest, ForceNeverFollowsLinksOutOfRoot) {
  // A linked directory, and a linked file in a real directory.
  for (const char* linked : {"dev", "proc/mtd"}) {
    SCOPED_TRACE(linked);
    TempDir outside;
    outside.write("mtd", "outside");
    TempDir camera;
    ASSERT_EQ(mkdir(camera.file("proc").c_str(), 0755), 0);
    std::string target = std::string(linked) == "dev" ? outside.path() : outside.file("mtd");
    ASSERT_EQ(symlink(target.c_str(), camera.file(linked).c_str()), 0);

    ProgramResult result = run_program(MKCAMERA_BINARY, {"--force", camera.path()}, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(linked), std::string::npos) << result.err;
    EXPECT_FALSE(outside.exists("mtd0"));
    EXPECT_EQ(outside.read("mtd"), "outside");
  }
}

TEST_F(MkcameraTest, HelpDocumentsTheOptions) {
  ProgramResult result = run_program(MKCAMERA_BINARY, {"--help"}, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.rfind("Usage: mkcamera [OPTION]... ROOT\n", 0), 0u);
  for (const char* option :
       {"--size", "--bad", "--nor-env", "--slot", "--env", "--flags", "--set", "--unset",
        "--chipinfo", "--silent-eeprom", "--no-eeprom", "--sensor", "--codec", "--force", "\\xHH"})
    EXPECT_NE(result.out.find(option), std::string::npos) << option;
}

struct BadInputCase {
  const char* name;
  std::vector<std::string> args;  // ROOT is appended unless `no_root`
  bool no_root = false;
};

class MkcameraBadInputTest : public MkcameraTest,
                             public ::testing::WithParamInterface<BadInputCase> {};

TEST_P(MkcameraBadInputTest, ExitsTwoAndWritesNothing) {
  const BadInputCase& c = GetParam();
  std::vector<std::string> args = c.args;
  if (!c.no_root) args.push_back(root());
  ProgramResult result = run_program(MKCAMERA_BINARY, args, "");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err.rfind("mkcamera: ", 0), 0u) << result.err;
  EXPECT_NE(result.err.find("Try 'mkcamera --help'.\n"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(exists(""));
}

std::vector<std::string> oversized_environment() {
  std::string big(100000, 'v');
  return {"--set", "a=" + big, "--set", "b=" + big, "--set", "c=" + big};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MkcameraBadInputTest,
    ::testing::Values(
        BadInputCase{"NoRoot", {}, true}, BadInputCase{"TwoRoots", {"/tmp/a", "/tmp/b"}, true},
        BadInputCase{"EmptyRoot", {""}, true}, BadInputCase{"UnknownOption", {"--frobnicate"}},
        BadInputCase{"MissingArgument", {"--slot"}, true}, BadInputCase{"Slot3", {"--slot", "3"}},
        BadInputCase{"SizeNotWholeBlocks", {"--size", "ker1=100k"}},
        BadInputCase{"SizeUnknownPartition", {"--size", "kernel=1M"}},
        BadInputCase{"SizeZero", {"--size", "cfg=0"}},
        BadInputCase{"SizeTooLarge", {"--size", "fs1=2048M"}},
        BadInputCase{"SizeGarbage", {"--size", "fs1=1G"}},
        BadInputCase{"EnvTooSmallForACopy", {"--size", "env1=128k"}},
        BadInputCase{"BadBlockPastEnd", {"--bad", "ker1:32"}},
        BadInputCase{"BadBlockNotANumber", {"--bad", "ker1:1,x"}},
        BadInputCase{"BadWithoutColon", {"--bad", "ker1"}},
        BadInputCase{"FlagsOneValue", {"--flags", "1"}},
        BadInputCase{"FlagsOverByte", {"--flags", "256,1"}},
        BadInputCase{"EnvModeUnknown", {"--env", "broken"}},
        BadInputCase{"SetWithoutEquals", {"--set", "bootdelay"}},
        BadInputCase{"SetEmptyName", {"--set", "=1"}},
        BadInputCase{"SetZeroByte", {"--set", "a=x\\0y"}},
        BadInputCase{"UnknownEscape", {"--sensor", "imx\\q"}},
        BadInputCase{"ShortHexEscape", {"--codec", "\\x4"}},
        BadInputCase{"TrailingBackslash", {"--sensor", "imx\\"}},
        BadInputCase{"ChipInfoTooLong", {"--chipinfo", std::string(33, 'V')}},
        BadInputCase{"NorEnvNot512k", {"--nor-env", "--size", "env2=1M"}},
        BadInputCase{"NorEnvBadBlock", {"--nor-env", "--bad", "env1:0"}},
        BadInputCase{"SetWithEnvNone", {"--env", "none", "--set", "a=b"}},
        BadInputCase{"BothEepromModes", {"--no-eeprom", "--silent-eeprom"}},
        BadInputCase{"ChipInfoWithoutChip", {"--silent-eeprom", "--chipinfo", "X"}},
        BadInputCase{"EnvironmentTooLarge", oversized_environment()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MkcameraTest, RootThatIsAFileOrHasNoParentIsBadInput) {
  dir_.write("file", "x");
  for (const std::string& target : {dir_.file("file"), dir_.file("missing/cam")}) {
    ProgramResult result = run_program(MKCAMERA_BINARY, {target}, "");
    EXPECT_EQ(result.status, 2) << target;
    EXPECT_EQ(result.err.rfind("mkcamera: ", 0), 0u) << result.err;
  }
  EXPECT_EQ(dir_.read("file"), "x");
  EXPECT_FALSE(dir_.exists("missing"));
}

}  // namespace
