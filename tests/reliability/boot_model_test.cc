// The boot model is the campaigns' judge: it must tell a damaged camera from
// a bootable one, and take the environment copy the boot loader takes.
#include "tests/reliability/boot_model.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/reliability/campaign.h"
#include "tests/support/sim_camera.h"

namespace reliability {
namespace {

using testing_support::TempDir;

constexpr size_t kCopySize = 0x40000;

// The environment copy at the start of R/dev/DEVICE: the variables, then
// its CRC and the flag byte.
void write_copy(const TempDir& root, const std::string& device, int slot, uint8_t flag,
                bool valid = true) {
  const std::string digit = std::to_string(slot);
  std::string data = "bootcmd=nand read 0x82000000 ker" + digit + " 0x400000; bootm 0x82000000" +
                     std::string(1, '\0') + "bootargs=mem=128M console=ttyAMA0,115200 ubi.mtd=fs" +
                     digit + " root=ubi0:rootfs rw" + std::string(2, '\0');
  data.resize(kCopySize - 5, '\0');
  uint32_t crc = loader_crc32(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  if (!valid) crc ^= 1;
  std::string copy(5, '\0');
  for (int i = 0; i < 4; ++i) copy[i] = static_cast<char>(crc >> (8 * i));
  copy[4] = static_cast<char>(flag);
  copy += data;
  std::string flash = root.read("dev/" + device);
  flash.replace(0, copy.size(), copy);
  root.write("dev/" + device, flash);
}

// Both slots hold complete systems: generation 1 in slot 1, 2 in slot 2.
class BootModelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nand_ = new CampaignCamera({.name = "nand", .both_slots = true});
    nor_ = new CampaignCamera({.name = "nor", .camera_args = {"--nor-env"}, .both_slots = true});
  }
  static void TearDownTestSuite() {
    delete nand_;
    delete nor_;
  }
  static CampaignCamera* nand_;
  static CampaignCamera* nor_;
  TempDir root_;
};
CampaignCamera* BootModelTest::nand_ = nullptr;
CampaignCamera* BootModelTest::nor_ = nullptr;

struct CopyCase {
  const char* name;
  bool nor;
  uint8_t flag0, flag1;
  bool valid0, valid1;
  int slot;  // booted: copy 0 names slot 1, copy 1 slot 2; 0 for none
};

class BootModelCopyTest : public BootModelTest, public ::testing::WithParamInterface<CopyCase> {};

// Given copy 0 naming slot 1 and copy 1 naming slot 2, the slot booted shows
// which copy the loader took.
TEST_P(BootModelCopyTest, TakesTheCopyTheLoaderTakes) {
  const CopyCase& c = GetParam();
  (c.nor ? nor_ : nand_)->copy_to(root_);
  write_copy(root_, "mtd1", 1, c.flag0, c.valid0);
  write_copy(root_, "mtd2", 2, c.flag1, c.valid1);
  const BootOutcome outcome = boot_camera(root_.path());
  if (c.slot == 0) {
    EXPECT_FALSE(outcome.boots);
    EXPECT_EQ(outcome.stage, "env") << outcome.describe();
    return;
  }
  ASSERT_TRUE(outcome.boots) << outcome.describe();
  EXPECT_EQ(outcome.slot, c.slot);
  EXPECT_EQ(outcome.generation, static_cast<uint32_t>(c.slot));
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, BootModelCopyTest,
    ::testing::Values(CopyCase{"NandHigherCounter0", false, 8, 7, true, true, 1},
                      CopyCase{"NandHigherCounter1", false, 7, 8, true, true, 2},
                      CopyCase{"NandEqualCounters", false, 7, 7, true, true, 1},
                      CopyCase{"NandZeroFollows255In1", false, 255, 0, true, true, 2},
                      CopyCase{"NandZeroFollows255In0", false, 0, 255, true, true, 1},
                      CopyCase{"NandOnlyCopy1Valid", false, 9, 1, false, true, 2},
                      CopyCase{"NandOnlyCopy0Valid", false, 1, 9, true, false, 1},
                      CopyCase{"NandNoValidCopy", false, 1, 2, false, false, 0},
                      CopyCase{"NorActive0", true, 1, 0, true, true, 1},
                      CopyCase{"NorActive1", true, 0, 1, true, true, 2},
                      CopyCase{"NorBothActive", true, 1, 1, true, true, 1},
                      CopyCase{"NorUnmarked0", true, 0xFF, 0x12, true, true, 1},
                      CopyCase{"NorUnmarked1", true, 0x12, 0xFF, true, true, 2},
                      CopyCase{"NorOnlyCopy1Valid", true, 1, 0, false, true, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct DamageCase {
  const char* name;
  std::function<void(const TempDir&)> damage;
  std::string stage;  // where the boot stops
};

// One byte changed at `offset` of R/dev/DEVICE.
std::function<void(const TempDir&)> flip(const std::string& device, size_t offset) {
  return [=](const TempDir& root) {
    std::string flash = root.read("dev/" + device);
    flash[offset] = static_cast<char>(flash[offset] ^ 0x10);
    root.write("dev/" + device, flash);
  };
}

class BootModelDamageTest : public BootModelTest,
                            public ::testing::WithParamInterface<DamageCase> {};

// Given the camera booting slot 1, one damaged byte or one wrong variable
// stops the boot where the damage is.
TEST_P(BootModelDamageTest, StopsWhereTheDamageIs) {
  nand_->copy_to(root_);
  ASSERT_TRUE(boot_camera(root_.path()).boots);
  GetParam().damage(root_);
  const BootOutcome outcome = boot_camera(root_.path());
  EXPECT_FALSE(outcome.boots);
  EXPECT_EQ(outcome.stage, GetParam().stage) << outcome.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, BootModelDamageTest,
    ::testing::Values(DamageCase{"BootLoaderBody", flip("mtd0", 10000), "uboot"},
                      DamageCase{"BootLoaderHeader", flip("mtd0", 3), "uboot"},
                      DamageCase{"KernelLastByte", flip("mtd3", 64 + 40 * 1024 - 1), "ker1"},
                      DamageCase{"FileSystemLength", flip("mtd5", 21), "fs1"},
                      DamageCase{"BothCopies",
                                 [](const TempDir& root) {
                                   flip("mtd1", 100)(root);
                                   flip("mtd2", 100)(root);
                                 },
                                 "env"},
                      DamageCase{"KernelOfTheOtherSlot",
                                 [](const TempDir& root) {
                                   write_copy(root, "mtd1", 1, 9);
                                   std::string flash = root.read("dev/mtd1");
                                   const size_t ker = flash.find("ker1");
                                   flash[ker + 3] = '2';
                                   // The CRC follows the change, so the copy stays valid.
                                   std::string data = flash.substr(5, kCopySize - 5);
                                   uint32_t crc = loader_crc32(
                                       reinterpret_cast<const uint8_t*>(data.data()), data.size());
                                   for (int i = 0; i < 4; ++i)
                                     flash[i] = static_cast<char>(crc >> (8 * i));
                                   root.write("dev/mtd1", flash);
                                 },
                                 "slots"}),
    [](const auto& info) { return std::string(info.param.name); });

// Given bad blocks in the kernel and file-system partitions, the loader
// reads around them as the factory programmer wrote around them.
TEST(BootModelBadBlockTest, ReadsAroundBadBlocks) {
  CampaignCamera camera({.name = "bad", .camera_args = {"--bad", "ker1:0", "--bad", "fs1:1"}});
  const BootOutcome outcome = boot_camera(camera.template_root());
  EXPECT_TRUE(outcome.boots) << outcome.describe();
  EXPECT_EQ(outcome.slot, 1);
}

}  // namespace
}  // namespace reliability
