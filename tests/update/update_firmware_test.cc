#include "update/update_firmware.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bootenv/bootenv.h"
#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"
#include "tests/update/update_test_support.h"

namespace update {
namespace {

using update_testing::Component;
using update_testing::lines_of;
using update_testing::make_image;
using update_testing::make_small_camera;
using update_testing::padded;
using update_testing::payload_bytes;

constexpr char kImage[] = "/dev/shm/updateFM.bin";
constexpr uint32_t kDate = 0x07E60304;
constexpr char kDropCaches[] = "echo 3 > /proc/sys/vm/drop_caches\nsync\n";
const std::string kSlot1Bootargs =
    "mem=148M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs "
    "init=/linuxrc";
const std::string kBootcmd1 = "nand read 0x82000000 ker1 0x400000; bootm 0x82000000";
const std::string kBootcmd2 = "nand read 0x82000000 ker2 0x400000; bootm 0x82000000";

std::string record_text(const char* name, uint32_t version, size_t size) {
  char text[128];
  std::snprintf(text, sizeof text, "name:%s\tver:0x%08x\tsize:%zu\tdate:0x%08x ", name, version,
                size, kDate);
  return text;
}

const std::string kKernel = payload_bytes(140000, 2);      // spans two erase blocks
const std::string kFileSystem = payload_bytes(300000, 3);  // spans three
const std::string kLoader = payload_bytes(5000, 4);

// An image as a release brings it: a boot loader equal to the installed one
// (4.2.2.36, so not written), kernel, file system, the update tool (never
// written) and a spare entry without payload.
std::vector<Component> release_image() {
  return {{0, "bld", "4.2.2.36", kLoader},
          {1, "ker", "4.2.2.11", kKernel},
          {2, "fs", "40.7.0.81", kFileSystem},
          {3, "cmd", "0.1.0.2", payload_bytes(3000, 5)},
          {6, "tool", "0.0.1.0", ""}};
}

class UpdateFirmwareTest : public ::testing::Test {
 protected:
  void make(const std::vector<std::string>& camera_args,
            const std::vector<Component>& image = release_image()) {
    ASSERT_EQ(make_small_camera(root_, camera_args), "");
    ASSERT_EQ(make_image(work_, root_.file("dev/shm/updateFM.bin"), image), "");
    before_ = flash();
  }
  int32_t install(const std::string& fail_op = "", const std::string& fail_path = "",
                  int fail_nth = 1) {
    platform::sim::SimPlatform p(root_.path(), out_, err_);
    if (!fail_op.empty())
      update_testing::inject_faults(root_, p,
                                    update_testing::fail_rule(fail_op, fail_path, fail_nth));
    bootenv::EnvStore env(p);
    bootenv::bootenv_load(env);
    return update_firmware(p, env, kImage);
  }
  // What a fresh run finds in the environment on flash.
  std::optional<std::string> stored(const char* name) {
    platform::StringStream out, err;
    platform::sim::SimPlatform p(root_.path(), out, err);
    bootenv::EnvStore env(p);
    if (bootenv::bootenv_load(env) != 0) return std::nullopt;
    return bootenv::bootenv_lookup(env, name);
  }
  std::vector<std::string> flash() {
    std::vector<std::string> devices;
    for (int i = 0; i < 10; ++i) devices.push_back(root_.read("dev/mtd" + std::to_string(i)));
    return devices;
  }
  // A partition holding exactly `payload` as an image carries it.
  bool holds(int mtd, const std::string& payload) {
    std::string expected = padded(payload);
    expected.resize(before_[mtd].size(), '\xFF');
    return root_.read("dev/mtd" + std::to_string(mtd)) == expected;
  }
  // The partitions in R/flash.log, in order, repeats of one device merged;
  // the environment devices are left out (records are checked by value).
  std::vector<std::string> devices_written() {
    std::vector<std::string> devices;
    for (const std::string& line : lines_of(root_.read("flash.log"))) {
      std::string dev = line.substr(line.find(' ') + 1);
      dev = dev.substr(0, dev.find(' '));
      if (dev == "/dev/mtd1" || dev == "/dev/mtd2") continue;
      if (devices.empty() || devices.back() != dev) devices.push_back(dev);
    }
    return devices;
  }
  void expect_flash_unchanged() {
    std::vector<std::string> after = flash();
    for (size_t i = 0; i < after.size(); ++i)
      EXPECT_EQ(update_testing::first_difference(after[i], before_[i]), "") << "mtd" << i;
  }
  void expect_boot_variables_unchanged(const std::string& bootargs, const std::string& bootcmd) {
    EXPECT_EQ(stored("bootargs"), bootargs);
    EXPECT_EQ(stored("bootcmd"), bootcmd);
  }

  testing_support::TempDir root_;
  testing_support::TempDir work_;
  platform::StringStream out_;
  platform::StringStream err_;
  std::vector<std::string> before_;
};

struct SlotCase {
  const char* name;
  int slot;
  std::string bootargs;  // empty: mkcamera's default for the slot
  std::string bootargs_after;
  std::string bootcmd_after;
  const char* edits;  // what the boot-variable edit prints
  int ker_mtd;
  int fs_mtd;
};

class UpdateFirmwareSlotTest : public UpdateFirmwareTest,
                               public ::testing::WithParamInterface<SlotCase> {};

TEST_P(UpdateFirmwareSlotTest, InstallsIntoTheOtherSlotAndSwitchesBootVariablesLast) {
  // Given a camera running one slot, kernel and file system land in the
  // other slot's partitions, their records are stored, the running slot and
  // the boot loader stay untouched, and the boot variables name the new slot.
  const SlotCase& c = GetParam();
  std::vector<std::string> args = {"--slot", std::to_string(c.slot)};
  if (!c.bootargs.empty()) args.insert(args.end(), {"--set", "bootargs=" + c.bootargs});
  make(args);

  ASSERT_EQ(install(), 0) << err_.text();
  EXPECT_TRUE(holds(c.ker_mtd, kKernel));
  EXPECT_TRUE(holds(c.fs_mtd, kFileSystem));
  std::string ker_dev = "/dev/mtd" + std::to_string(c.ker_mtd);
  std::string fs_dev = "/dev/mtd" + std::to_string(c.fs_mtd);
  EXPECT_EQ(devices_written(), (std::vector<std::string>{ker_dev, fs_dev}));

  const char* ker = c.ker_mtd == 3 ? "ker1" : "ker2";
  const char* fs = c.fs_mtd == 5 ? "fs1" : "fs2";
  EXPECT_EQ(stored(ker), record_text(ker, 0x0402020B, padded(kKernel).size()));
  EXPECT_EQ(stored(fs), record_text(fs, 0x28070051, padded(kFileSystem).size()));
  EXPECT_EQ(stored("bootargs"), c.bootargs_after);
  EXPECT_EQ(stored("bootcmd"), c.bootcmd_after);

  EXPECT_NE(out_.text().find(std::string("Get mtd device information!\n") + c.edits + "Update " +
                             ker + " partition:\n"),
            std::string::npos)
      << out_.text();
  // The page cache is dropped before each write and each read-back.
  std::string drops;
  for (int i = 0; i < 4; ++i) drops += kDropCaches;
  std::string shell = root_.read("shell.log");
  EXPECT_EQ(shell.substr(shell.size() - std::min(shell.size(), drops.size())), drops);
}

std::string long_bootargs() {
  std::string text = "console=ttyAMA0 ubi.mtd=fs1 ip=192.168.1.10:::255.255.255.0";
  for (int i = 0; i < 20; ++i) text += " option" + std::to_string(i) + "=value";
  return text;
}

std::string long_bootargs_after() {
  std::string text = "console=ttyAMA0 ubi.mtd=fs2";
  for (int i = 0; i < 20; ++i) text += " option" + std::to_string(i) + "=value";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Slots, UpdateFirmwareSlotTest,
    ::testing::Values(
        SlotCase{.name = "FromSlot1DroppingTheAddressSetting",
                 .slot = 1,
                 .bootargs = "mem=148M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw "
                             "ip=dhcp rootfstype=ubifs init=/linuxrc",
                 .bootargs_after = "mem=128M console=ttyAMA0,115200 ubi.mtd=fs2 root=ubi0:rootfs "
                                   "rw rootfstype=ubifs init=/linuxrc",
                 .bootcmd_after = kBootcmd2,
                 .edits = "  current is fs1 \n  current is ker1 \nbootargs have ip\n",
                 .ker_mtd = 4,
                 .fs_mtd = 6},
        SlotCase{.name = "FromSlot2",
                 .slot = 2,
                 .bootargs = "",
                 .bootargs_after = "mem=128M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs "
                                   "rw rootfstype=ubifs init=/linuxrc",
                 .bootcmd_after = kBootcmd1,
                 .edits = "  current is fs2 \n  current is ker2 \nbootcmd do not have ip\n",
                 .ker_mtd = 3,
                 .fs_mtd = 5},
        SlotCase{.name = "AddressSettingAsLastTokenStays",
                 .slot = 1,
                 .bootargs = "mem=64M console=ttyAMA0 ubi.mtd=fs1 ip=dhcp",
                 .bootargs_after = "mem=64M console=ttyAMA0 ubi.mtd=fs2 ip=dhcp",
                 .bootcmd_after = kBootcmd2,
                 .edits = "  current is fs1 \n  current is ker1 \nbootargs have ip\n"
                          "bootargs do not have blank\n",
                 .ker_mtd = 4,
                 .fs_mtd = 6},
        // Longer than 255 characters: nothing but the token is removed.
        SlotCase{.name = "LongBootargsLoseOnlyTheAddressSetting",
                 .slot = 1,
                 .bootargs = long_bootargs(),
                 .bootargs_after = long_bootargs_after(),
                 .bootcmd_after = kBootcmd2,
                 .edits = "  current is fs1 \n  current is ker1 \nbootargs have ip\n",
                 .ker_mtd = 4,
                 .fs_mtd = 6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateFirmwareTest, PrintsEachRowBeforeWritingIt) {
  // Given a release image on slot 1, the kernel row is described as the
  // console log shows it, then written and read back.
  make({"--slot", "1"});
  ASSERT_EQ(install(), 0) << err_.text();
  char block[512];
  std::snprintf(block, sizeof block,
                "Update ker2 partition:\n"
                "dev \t    = /dev/mtd4\n"
                "offset   = 0x%08X\n"
                "size\t    = 0x%08X (%d K)\n"
                "addr\t    = 0x00000000\n"
                "flag\t    = 0x00000000\n"
                "date\t    = 2022/3/4\n"
                "version = 4.2.2.11\n"
                "image_length = 0x%08x\n",
                static_cast<unsigned>(2048 + padded(kLoader).size()),
                static_cast<unsigned>(padded(kKernel).size()),
                static_cast<int>(padded(kKernel).size() >> 10),
                static_cast<unsigned>(padded(kKernel).size()));
  EXPECT_NE(out_.text().find(block), std::string::npos) << out_.text();
}

TEST_F(UpdateFirmwareTest, QualifyingBootLoadersAreWrittenInIndexOrderAroundTheSlot) {
  // Given bld and bld3 newer builds of the installed variant and bld2 of
  // another, bld goes first, bld3 last, and the uboot record names bld3.
  std::vector<Component> image = release_image();
  image[0] = {0, "bld", "4.2.2.37", kLoader};
  image.push_back({4, "bld2", "4.2.3.40", payload_bytes(6000, 6)});
  image.push_back({5, "bld3", "4.2.2.38", payload_bytes(7000, 7)});
  make({"--slot", "1"}, image);

  ASSERT_EQ(install(), 0) << err_.text();
  EXPECT_EQ(devices_written(),
            (std::vector<std::string>{"/dev/mtd0", "/dev/mtd4", "/dev/mtd6", "/dev/mtd0"}));
  EXPECT_TRUE(holds(0, payload_bytes(7000, 7)));
  EXPECT_EQ(stored("uboot"),
            record_text("uboot", 0x04020226, padded(payload_bytes(7000, 7)).size()));
}

struct RuleCase {
  const char* name;
  uint32_t installed;
  uint32_t offered;
  bool payload;
  bool qualifies;
};

class UpdateFirmwareBootLoaderRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(UpdateFirmwareBootLoaderRuleTest, OnlyANewerBuildOfTheInstalledVariant) {
  const RuleCase& c = GetParam();
  image::ImageEntry entry;
  entry.version = c.offered;
  entry.offset = c.payload ? 2048 : 0;
  entry.size = 2048;
  bootcfg::FirmwareRecord record = {};
  record.version = c.installed;
  EXPECT_EQ(bootloader_entry_qualifies(entry, record), c.qualifies);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, UpdateFirmwareBootLoaderRuleTest,
    ::testing::Values(RuleCase{"NewerBuild", 0x04020224, 0x04020225, true, true},
                      RuleCase{"OtherVariant", 0x04020224, 0x04020328, true, false},
                      RuleCase{"SameBuild", 0x04020224, 0x04020224, true, false},
                      RuleCase{"OlderBuild", 0x04020224, 0x04020223, true, false},
                      RuleCase{"NewerWithoutPayload", 0x04020224, 0x04020225, false, false},
                      RuleCase{"NoRecordVariantZero", 0, 0x04020005, true, true},
                      RuleCase{"NoRecordOtherVariant", 0, 0x04020205, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

enum class ImageKind { kRelease, kNoFileSystem, kNoKernel, kCorrupt, kUnnamedKernel };

struct EarlyCase {
  const char* name;
  std::vector<std::string> camera;
  const char* cmdline;        // replaces proc/cmdline when set
  const char* proc_mtd_from;  // text replaced in proc/mtd when set
  const char* proc_mtd_to;
  ImageKind image;
  int32_t result;
  const char* err_tail;
};

class UpdateFirmwareEarlyFailureTest : public UpdateFirmwareTest,
                                       public ::testing::WithParamInterface<EarlyCase> {};

TEST_P(UpdateFirmwareEarlyFailureTest, TouchesNoFlash) {
  // Given a camera or image the installation cannot use, it fails before the
  // first row: no partition and no environment byte changes.
  const EarlyCase& c = GetParam();
  std::vector<Component> image = release_image();
  if (c.image == ImageKind::kNoFileSystem) image = {{1, "ker", "4.2.2.11", ""}};
  if (c.image == ImageKind::kNoKernel) image[1].payload.clear();
  make(c.camera, image);
  if (c.cmdline != nullptr) root_.write("proc/cmdline", c.cmdline);
  if (c.proc_mtd_from != nullptr) {
    std::string mtd = root_.read("proc/mtd");
    mtd.replace(mtd.find(c.proc_mtd_from), std::string(c.proc_mtd_from).size(), c.proc_mtd_to);
    root_.write("proc/mtd", mtd);
  }
  std::string file = root_.read("dev/shm/updateFM.bin");
  if (c.image == ImageKind::kCorrupt) file[file.size() - 1] ^= 1;
  if (c.image == ImageKind::kUnnamedKernel) file.replace(80 + 24, 52, 52, '\0');
  root_.write("dev/shm/updateFM.bin", file);

  EXPECT_EQ(install(), c.result);
  std::string err = err_.text();
  std::string tail = c.err_tail;
  EXPECT_EQ(err.substr(err.size() - std::min(err.size(), tail.size())), tail) << err;
  EXPECT_EQ(root_.read("flash.log"), "");
  expect_flash_unchanged();
}

INSTANTIATE_TEST_SUITE_P(
    Early, UpdateFirmwareEarlyFailureTest,
    ::testing::Values(
        EarlyCase{.name = "RunningSlotDiffersFromBootargs",
                  .camera = {"--slot", "1"},
                  .cmdline = "mem=148M console=ttyAMA0,115200 ubi.mtd=fs2 root=ubi0:rootfs\n",
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kRelease,
                  .result = -4,
                  .err_tail = "unknow fs partition or cur fs mismatch bootargs fs!\n"},
        EarlyCase{.name = "RunningSlotUnknown",
                  .camera = {"--slot", "1"},
                  .cmdline = "console=ttyAMA0 root=/dev/mtdblock5\n",
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kRelease,
                  .result = -4,
                  .err_tail = "unknow fs partition or cur fs mismatch bootargs fs!\n"},
        EarlyCase{.name = "NetworkRoot",
                  .camera = {"--set", "bootargs=console=ttyAMA0 root=/dev/nfs rw"},
                  .cmdline = nullptr,
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kRelease,
                  .result = -4,
                  .err_tail = "cmdline: console=ttyAMA0 root=/dev/nfs rw \n"
                              "bootargs not find fs, maybe NFS!\n"},
        EarlyCase{.name = "BootcmdWithoutKernel",
                  .camera = {"--set", "bootcmd=bootm 0x82000000"},
                  .cmdline = nullptr,
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kRelease,
                  .result = -4,
                  .err_tail = " bootcmd is null!\n"},
        // The slot digit would replace the field's terminator.
        EarlyCase{.name = "BootcmdKernelEndsAFullField",
                  .camera = {"--set", "bootcmd=" + std::string(508, 'x') + "ker"},
                  .cmdline = nullptr,
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kRelease,
                  .result = -4,
                  .err_tail = "bootcmd has no room for the kernel number!\n"},
        EarlyCase{.name = "NoFileSystemNorKernel",
                  .camera = {},
                  .cmdline = nullptr,
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kNoFileSystem,
                  .result = -10,
                  .err_tail = "No filesys image!\n"},
        EarlyCase{.name = "NoKernel",
                  .camera = {},
                  .cmdline = nullptr,
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kNoKernel,
                  .result = -9,
                  .err_tail = "No filesys image!\n"},
        EarlyCase{.name = "CorruptPayload",
                  .camera = {},
                  .cmdline = nullptr,
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kCorrupt,
                  .result = -2,
                  .err_tail = "Verify update firmware faild!\n"},
        // Verification skips unnamed entries, so this payload was never checked.
        EarlyCase{.name = "UnnamedKernelPayload",
                  .camera = {},
                  .cmdline = nullptr,
                  .proc_mtd_from = nullptr,
                  .proc_mtd_to = nullptr,
                  .image = ImageKind::kUnnamedKernel,
                  .result = -2,
                  .err_tail = "Entry 1 has no name and was not verified!\n"
                              "Verify update firmware faild!\n"},
        // Overlapping partition names map ker2 onto the running kernel.
        EarlyCase{.name = "TargetIsTheRunningKernel",
                  .camera = {"--slot", "1"},
                  .cmdline = nullptr,
                  .proc_mtd_from = "\"ker1\"",
                  .proc_mtd_to = "\"ker1ker2\"",
                  .image = ImageKind::kRelease,
                  .result = -4,
                  .err_tail = "Update target is a partition of the running system!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ComposedCase {
  const char* name;
  std::vector<std::string> camera;
  std::vector<Component> image;
  const char* fail_op;  // "" for none
  const char* fail_path;
  int fail_nth;
  int32_t result;
  std::vector<std::string> touched;  // devices in flash.log, in order
  bool uboot_recorded;
  bool kernel_recorded;
};

class UpdateFirmwareComposedTest : public UpdateFirmwareTest,
                                   public ::testing::WithParamInterface<ComposedCase> {};

TEST_P(UpdateFirmwareComposedTest, FailingRowStopsTheRunOnTheOldSlot) {
  // Given a row that fails, the result names stage and partition, no later
  // row is written, earlier rows keep their records and the boot variables
  // still name the running slot.
  const ComposedCase& c = GetParam();
  make(c.camera, c.image);
  std::optional<std::string> bootargs = stored("bootargs");
  std::optional<std::string> bootcmd = stored("bootcmd");
  std::optional<std::string> uboot = stored("uboot");
  std::optional<std::string> ker2 = stored("ker2");
  std::optional<std::string> fs2 = stored("fs2");

  EXPECT_EQ(install(c.fail_op, c.fail_path, c.fail_nth), c.result) << err_.text();
  EXPECT_EQ(devices_written(), c.touched);
  EXPECT_EQ(stored("bootargs"), bootargs);
  EXPECT_EQ(stored("bootcmd"), bootcmd);
  EXPECT_EQ(stored("uboot") != uboot, c.uboot_recorded);
  EXPECT_EQ(stored("ker2") != ker2, c.kernel_recorded);
  EXPECT_EQ(stored("fs2"), fs2);
}

std::vector<Component> with_newer_loader(const char* version) {
  std::vector<Component> image = release_image();
  image[0] = {0, "bld", version, kLoader};
  return image;
}

INSTANTIATE_TEST_SUITE_P(Composed, UpdateFirmwareComposedTest,
                         ::testing::Values(
                             // The boot loader written before keeps its new record.
                             ComposedCase{.name = "KernelEraseFailsIs0xA01",
                                          .camera = {"--slot", "1"},
                                          .image = with_newer_loader("4.2.2.37"),
                                          .fail_op = "erase",
                                          .fail_path = "/dev/mtd4",
                                          .fail_nth = 2,
                                          .result = 0xA01,
                                          .touched = {"/dev/mtd0", "/dev/mtd4"},
                                          .uboot_recorded = true,
                                          .kernel_recorded = false},
                             ComposedCase{.name = "FileSystemPageWriteFailsIs0xC0A",
                                          .camera = {"--slot", "1"},
                                          .image = release_image(),
                                          .fail_op = "write",
                                          .fail_path = "/dev/mtd6",
                                          .fail_nth = 2,
                                          .result = 0xC0A,
                                          .touched = {"/dev/mtd4", "/dev/mtd6"},
                                          .uboot_recorded = false,
                                          .kernel_recorded = true},
                             // Read-back failures carry no write-stage bit.
                             ComposedCase{.name = "FileSystemReadBackFailsIs0x40C",
                                          .camera = {"--slot", "1"},
                                          .image = release_image(),
                                          .fail_op = "read",
                                          .fail_path = "/dev/mtd6",
                                          .fail_nth = 1,
                                          .result = 0x40C,
                                          .touched = {"/dev/mtd4", "/dev/mtd6"},
                                          .uboot_recorded = false,
                                          .kernel_recorded = true},
                             // Without a uboot record only variant 0 qualifies, and its row has no
                             // partition name to record under.
                             ComposedCase{.name = "BootLoaderWithoutRecordIs0x10F",
                                          .camera = {"--slot", "1", "--unset", "uboot"},
                                          .image = with_newer_loader("4.2.0.1"),
                                          .fail_op = "",
                                          .fail_path = "",
                                          .fail_nth = 0,
                                          .result = 0x10F,
                                          .touched = {"/dev/mtd0"},
                                          .uboot_recorded = false,
                                          .kernel_recorded = false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateFirmwareTest, BootVariablesThatCannotBeStoredAre18) {
  // Given every row written and recorded but the last environment write
  // failing, the result is 18.
  make({"--slot", "1"});
  ASSERT_EQ(install(), 0) << err_.text();
  // The last environment write of a good run is the one that stores the
  // boot variables; fail exactly that one on a fresh camera.
  std::string last_op, last_dev;
  int count = 0;
  std::vector<std::string> log = lines_of(root_.read("flash.log"));
  for (const std::string& line : log) {
    std::string op = line.substr(0, line.find(' '));
    std::string dev = line.substr(op.size() + 1, line.find(' ', op.size() + 1) - op.size() - 1);
    if (dev == "/dev/mtd1" || dev == "/dev/mtd2") last_op = op, last_dev = dev;
  }
  for (const std::string& line : log)
    if (line.rfind(last_op + " " + last_dev + " ", 0) == 0) ++count;
  ASSERT_GT(count, 0);

  std::filesystem::remove_all(root_.path());
  std::filesystem::create_directory(root_.path());
  make({"--slot", "1"});
  out_.clear();
  err_.clear();
  EXPECT_EQ(install(last_op, last_dev, count), 18);
  const std::string tail = "set boot args  faild!\n";
  EXPECT_EQ(err_.text().substr(err_.text().size() - std::min(err_.text().size(), tail.size())),
            tail);
}

struct SlotLineCase {
  const char* name;
  std::optional<std::string> cmdline;  // none: no /proc/cmdline
  int slot;
  const char* err;
};

class UpdateFirmwareCurrentSlotTest : public ::testing::TestWithParam<SlotLineCase> {};

TEST_P(UpdateFirmwareCurrentSlotTest, ToldByTheRootDevice) {
  const SlotLineCase& c = GetParam();
  testing_support::TempDir root;
  if (c.cmdline) root.write("proc/cmdline", *c.cmdline);
  platform::StringStream out, err;
  platform::sim::SimPlatform p(root.path(), out, err);
  EXPECT_EQ(get_current_slot(p), c.slot);
  EXPECT_EQ(err.text(), c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, UpdateFirmwareCurrentSlotTest,
    ::testing::Values(SlotLineCase{"Slot1", "mem=148M ubi.mtd=fs1 root=ubi0:rootfs\n", 1, ""},
                      SlotLineCase{"Slot2", "mem=148M ubi.mtd=fs2 root=ubi0:rootfs\n", 2, ""},
                      SlotLineCase{"FirstTestWins", "ubi.mtd=fs2 ubi.mtd=fs1\n", 1, ""},
                      SlotLineCase{"Neither", "root=/dev/nfs\n", -1, ""},
                      SlotLineCase{"BeyondTheFirst1023Bytes",
                                   std::string(1023, 'x') + " ubi.mtd=fs1\n", -1, ""},
                      SlotLineCase{"NoCmdline", std::nullopt, -1,
                                   "open /proc/cmdline: No such file or directory\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateFirmwareDropCachesTest, FailureSkipsTheSync) {
  // Given a drop that fails, the sync is not run and the failure is told.
  testing_support::TempDir root;
  platform::StringStream out, err;
  platform::sim::SimPlatform p(root.path(), out, err);
  update_testing::inject_faults(root, p, "status echo 1\n");
  EXPECT_EQ(drop_caches(p), -1);
  EXPECT_EQ(err.text(), "clean memory failed! \n");
  EXPECT_EQ(root.read("shell.log"), "echo 3 > /proc/sys/vm/drop_caches\n");
}

}  // namespace
}  // namespace update
