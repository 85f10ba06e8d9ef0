#include "update/readback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "bootcfg/part_table.h"
#include "bootenv/bootenv.h"
#include "image/crc32.h"
#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"
#include "tests/update/update_test_support.h"
#include "update/nand_writer.h"

namespace update {
namespace {

using update_testing::make_small_camera;
using update_testing::payload_bytes;

constexpr uint32_t kVersion = 0x0402020B;  // 4.2.2.11
constexpr uint32_t kDate = 0x07E60304;     // 2022/3/4

std::string record_text(const char* name, uint32_t version, uint32_t size, uint32_t date) {
  char text[128];
  std::snprintf(text, sizeof text, "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ", name, version,
                size, date);
  return text;
}

// A camera whose ker2 partition (/dev/mtd4, four 128 KiB blocks) has just
// been written with a payload, as the installation leaves it before the
// read-back.
class ReadbackTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(make_small_camera(root_, {"--bad", "ker2:1"}), ""); }

  void write_payload(const std::string& payload) {
    payload_ = payload;
    root_.write("fw.bin", std::string(2048, '\x11') + payload);
    std::strcpy(row_.dev, "/dev/mtd4");
    std::strcpy(row_.name, "ker2");
    row_.offset = 2048;
    row_.size = static_cast<uint32_t>(payload.size());
    row_.version = kVersion;
    row_.date = kDate;
    row_.pad = 1;
    ASSERT_EQ(nand_flash_write_file(platform_, "/fw.bin", row_), 0) << err_.text();
    out_.clear();
    err_.clear();
  }
  void load() {
    ASSERT_EQ(bootenv::bootenv_load(env_), 0);
    ASSERT_EQ(bootcfg::flprog_get_part_table(env_, &table_), 0);
    before_ = table_;
  }
  uint32_t payload_crc() const { return image::crc32(0, payload_.data(), payload_.size()); }
  std::string report(uint32_t crc, uint32_t expected) const {
    char text[128];
    std::snprintf(text, sizeof text, "image_length = 0x%08x\nimage_crc = 0x%08x, 0x%08x\n",
                  static_cast<unsigned>(payload_.size()), crc, expected);
    return text;
  }
  // The ker2 record as a fresh run would find it on flash.
  std::optional<std::string> stored_ker2() {
    platform::StringStream out, err;
    platform::sim::SimPlatform fresh(root_.path(), out, err);
    bootenv::EnvStore env(fresh);
    if (bootenv::bootenv_load(env) != 0) return std::nullopt;
    return bootenv::bootenv_lookup(env, "ker2");
  }

  testing_support::TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  platform::sim::SimPlatform sim_{root_.path(), out_, err_};
  platform::sim::SimPlatform& platform_{sim_};
  bootenv::EnvStore env_{platform_};
  UpdatePlanRow row_ = {};
  std::string payload_;
  bootcfg::PartTable table_ = {};
  bootcfg::PartTable before_ = {};
};

constexpr char kBadBlock1[] = "Bad block at 20000, 1 block(s) from 20000 will be skipped\n";

TEST_F(ReadbackTest, PayloadAcrossBadBlockMatchesAndOnlyItsRecordIsStored) {
  // Given a payload written across the bad block 1 and ending in a partial
  // page, the read-back skips the same block, counts only payload bytes and
  // stores the ker2 record alone.
  write_payload(payload_bytes(65 * 2048 + 1024));
  load();

  EXPECT_EQ(nand_flash_verify_file(platform_, env_, row_, payload_crc(), &table_), 0);
  EXPECT_EQ(out_.text(), report(payload_crc(), payload_crc()));
  EXPECT_EQ(err_.text(), kBadBlock1);

  const bootcfg::FirmwareRecord& ker2 = table_.records[bootcfg::kKer2];
  EXPECT_STREQ(ker2.name, "ker2");
  EXPECT_EQ(ker2.size, payload_.size());
  EXPECT_EQ(ker2.version, kVersion);
  EXPECT_EQ(ker2.date, kDate);
  for (size_t i = 0; i < bootcfg::kPartitionCount; ++i) {
    if (i == bootcfg::kKer2) continue;
    EXPECT_EQ(std::memcmp(&table_.records[i], &before_.records[i], sizeof ker2), 0) << i;
  }
  EXPECT_EQ(stored_ker2(),
            record_text("ker2", kVersion, static_cast<uint32_t>(payload_.size()), kDate));
}

TEST_F(ReadbackTest, RecordIsStoredUnderThePartitionNameWhenNoneExisted) {
  // Given an environment without a ker2 record, the new record is keyed and
  // named ker2, so the next partition-table load finds it.
  ASSERT_EQ(make_small_camera(root_, {"--force", "--unset", "ker2"}), "");
  write_payload(payload_bytes(4096));
  load();
  ASSERT_EQ(table_.records[bootcfg::kKer2].name[0], '\0');

  EXPECT_EQ(nand_flash_verify_file(platform_, env_, row_, payload_crc(), &table_), 0);
  EXPECT_EQ(stored_ker2(), record_text("ker2", kVersion, 4096, kDate));
}

struct FailureCase {
  const char* name;
  const char* row_name;
  uint32_t size;        // 0: the payload's size
  uint32_t crc_offset;  // added to the right checksum
  const char* fail_op;  // fails on /dev/mtd4 when not empty
  int fail_nth;
  int code;
  bool report;  // the two report lines are printed
  const char* err;
};

class ReadbackFailureTest : public ReadbackTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReadbackFailureTest, LeavesRecordsAlone) {
  // Given a read-back that does not confirm the payload, it returns its code
  // and neither the table nor the stored record changes.
  const FailureCase& c = GetParam();
  write_payload(payload_bytes(3 * 2048));
  load();
  std::optional<std::string> stored = stored_ker2();
  std::strcpy(row_.name, c.row_name);
  if (c.size != 0) row_.size = c.size;
  if (c.fail_op[0] != '\0')
    update_testing::inject_faults(root_, sim_,
                                  update_testing::fail_rule(c.fail_op, "/dev/mtd4", c.fail_nth));

  uint32_t expected = payload_crc() + c.crc_offset;
  EXPECT_EQ(nand_flash_verify_file(platform_, env_, row_, expected, &table_), c.code);
  EXPECT_EQ(out_.text(), c.report ? report(payload_crc(), expected) : "");
  EXPECT_EQ(err_.text(), c.err);
  EXPECT_EQ(std::memcmp(&table_, &before_, sizeof table_), 0);
  EXPECT_EQ(stored_ker2(), stored);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReadbackFailureTest,
    ::testing::Values(FailureCase{.name = "ChecksumDiffers",
                                  .row_name = "ker2",
                                  .size = 0,
                                  .crc_offset = 1,
                                  .fail_op = "",
                                  .fail_nth = 0,
                                  .code = 14,
                                  .report = true,
                                  .err = "Check flash data crc failed. \n"},
                      // A boot-loader row when the environment holds no uboot record.
                      FailureCase{.name = "EmptyName",
                                  .row_name = "",
                                  .size = 0,
                                  .crc_offset = 0,
                                  .fail_op = "",
                                  .fail_nth = 0,
                                  .code = 15,
                                  .report = true,
                                  .err = "Not valid image, has write img,but no update env!\n"},
                      FailureCase{.name = "PageReadFails",
                                  .row_name = "ker2",
                                  .size = 0,
                                  .crc_offset = 0,
                                  .fail_op = "read",
                                  .fail_nth = 2,
                                  .code = 12,
                                  .report = false,
                                  .err = "pread mtd: Input/output error\n"},
                      FailureCase{.name = "BadBlockQueryFails",
                                  .row_name = "ker2",
                                  .size = 0,
                                  .crc_offset = 0,
                                  .fail_op = "badblock",
                                  .fail_nth = 1,
                                  .code = 8,
                                  .report = false,
                                  .err = "ioctl get bad block: Input/output error\n"},
                      // Four blocks, one bad: a whole-device length runs out of flash.
                      FailureCase{
                          .name = "DeviceEndsFirst",
                          .row_name = "ker2",
                          .size = 4 * 131072,
                          .crc_offset = 0,
                          .fail_op = "",
                          .fail_nth = 0,
                          .code = 13,
                          .report = false,
                          .err = "Bad block at 20000, 1 block(s) from 20000 will be skipped\n"
                                 "Data was only partially read due to error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadbackTest, UnstorableRecordIsCode17WithTheTableAlreadyChanged) {
  // Given an environment that cannot be written, the check passes, the table
  // holds the new record and the result is 17.
  write_payload(payload_bytes(2048));
  bootenv::EnvStore unloaded(platform_);

  EXPECT_EQ(nand_flash_verify_file(platform_, unloaded, row_, payload_crc(), &table_), 17);
  EXPECT_EQ(err_.text().substr(err_.text().size() - 26), "set firmware info  faild!\n");
  EXPECT_EQ(table_.records[bootcfg::kKer2].size, 2048u);
  EXPECT_EQ(table_.records[bootcfg::kKer2].version, kVersion);
}

}  // namespace
}  // namespace update
