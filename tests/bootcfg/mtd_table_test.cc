// The partition-name to device map read from /proc/mtd.
#include "bootcfg/mtd_table.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"

namespace {

class MtdTableTest : public ::testing::Test {
 protected:
  testing_support::TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  platform::sim::SimPlatform sim_{root_.path(), out_, err_};
  bootcfg::MtdDeviceTable table_;
};

TEST_F(MtdTableTest, MapsTheCameraLayout) {
  root_.write("proc/mtd",
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
  ASSERT_EQ(bootcfg::get_mtd_info(sim_, &table_), 0);
  for (size_t i = 0; i < bootcfg::kPartitionCount; ++i) {
    EXPECT_EQ(std::string(table_.rows[i].path), "/dev/mtd" + std::to_string(i));
    EXPECT_STREQ(table_.rows[i].name, bootcfg::kPartitionNames[i]);
  }
  EXPECT_EQ(err_.text(), "");
}

TEST_F(MtdTableTest, MissingAndAmbiguousNames) {
  // "fs1" also occurs in the earlier "xfs1" line, which wins; no oem or rsd.
  root_.write("proc/mtd",
              "dev:    size   erasesize  name\n"
              "mtd0: 00100000 00020000 \"uboot\"\n"
              "mtd4: 00100000 00020000 \"xfs1\"\n"
              "mtd5: 01000000 00020000 \"fs1\"\n"
              "averyveryverylongdevicenamethatdoesnotfit: 00100000 00020000 \"cfg\"\n");
  ASSERT_EQ(bootcfg::get_mtd_info(sim_, &table_), 0);
  EXPECT_STREQ(table_.rows[bootcfg::kUboot].path, "/dev/mtd0");
  EXPECT_STREQ(table_.rows[bootcfg::kFs1].path, "/dev/mtd4");
  EXPECT_STREQ(table_.rows[7].path, "/dev/");  // a device name that cannot fit is not guessed
  EXPECT_STREQ(table_.rows[8].path, "/dev/");
  EXPECT_STREQ(table_.rows[8].name, "oem");
  EXPECT_STREQ(table_.rows[9].path, "/dev/");
}

}  // namespace
