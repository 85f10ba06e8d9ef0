// Firmware record text in both directions.
#include "bootcfg/part_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using bootcfg::FirmwareRecord;

struct RecordCase {
  const char* case_name;
  const char* text;
  const char* name;
  uint32_t version;
  uint32_t size;
  uint32_t date;
};

class FirmwareRecordParseTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(FirmwareRecordParseTest, ScansUpToTheFirstMismatch) {
  const RecordCase& c = GetParam();
  FirmwareRecord record;
  bootcfg::parse_firmware_record(c.text, &record);
  EXPECT_STREQ(record.name, c.name);
  EXPECT_EQ(record.version, c.version);
  EXPECT_EQ(record.size, c.size);
  EXPECT_EQ(record.date, c.date);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FirmwareRecordParseTest,
    ::testing::Values(
        RecordCase{"Complete", "name:ker1\tver:0x07000041\tsize:4096\tdate:0x07e50a1f ", "ker1",
                   0x07000041, 4096, 0x07E50A1F},
        RecordCase{"UppercaseHex", "name:fs1\tver:0x2807004F\tsize:1\tdate:0x07E60304 ", "fs1",
                   0x2807004F, 1, 0x07E60304},
        RecordCase{"NameAndVersionOnly", "name:fs1\tver:0x1", "fs1", 1, 0, 0},
        RecordCase{"NotARecord", "ver:0x1 name:fs1", "", 0, 0, 0},
        RecordCase{"NameOnly", "name:cfg", "cfg", 0, 0, 0},
        RecordCase{"BrokenSize", "name:ker2\tver:0x00000005\tsize:x\tdate:0x00000001 ", "ker2", 5,
                   0, 0},
        // A name longer than the field is cut; the fields behind it still count.
        RecordCase{"LongName",
                   "name:abcdefghijklmnopqrstuvwxyz0123456789\tver:0x00000002\tsize:3\tdate:0x4 ",
                   "abcdefghijklmnopqrstuvwxyz01234", 2, 3, 4}),
    [](const auto& info) { return std::string(info.param.case_name); });

TEST(FirmwareRecordFormat, WritesLowercaseAndReadsBack) {
  FirmwareRecord record{"ker1", 4096, 0x070000AB, 0x07E50A1F};
  char text[128];
  bootcfg::format_firmware_record(record, text);
  EXPECT_STREQ(text, "name:ker1\tver:0x070000ab\tsize:4096\tdate:0x07e50a1f ");

  FirmwareRecord back;
  bootcfg::parse_firmware_record(text, &back);
  EXPECT_STREQ(back.name, "ker1");
  EXPECT_EQ(back.version, record.version);
  EXPECT_EQ(back.size, record.size);
  EXPECT_EQ(back.date, record.date);
}

}  // namespace
