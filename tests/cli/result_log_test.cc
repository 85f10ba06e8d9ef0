// Result messages and the 512-byte result log.
#include "cli/result_log.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"

namespace {

using cli::format_result_message;
using testing_support::TempDir;

struct MessageCase {
  const char* case_name;
  int32_t code;
  const char* message;
};

class ResultMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ResultMessageTest, FormatsTheTableText) {
  char message[256];
  format_result_message(GetParam().code, message, sizeof message);
  EXPECT_STREQ(message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ResultMessageTest,
    ::testing::Values(MessageCase{"Success", 0, "update success!\n"},
                      MessageCase{"Failed", -1, "update faild!\n"},
                      MessageCase{"Verify", -2, "verify update firmware faild!\n"},
                      MessageCase{"Ptb", -4, "update ptb partition faild!\n"},
                      MessageCase{"Kernel", -9, "update kernel partition faild!\n"},
                      MessageCase{"Filesys", -10, "update filesys partition faild!\n"},
                      MessageCase{"Ddr", -14, "ddr dismatch!\n"},
                      // -5 has no name of its own.
                      MessageCase{"Unnamed", -5, "ErrCode(0xfffffffb) \n"},
                      MessageCase{"KernelErase", 0xA01, "ErrCode(0x00000a01) \n"},
                      MessageCase{"BootArgs", 18, "ErrCode(0x00000012) \n"}),
    [](const auto& info) { return std::string(info.param.case_name); });

class ResultLogTest : public ::testing::Test {
 protected:
  TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  platform::sim::SimPlatform sim_{root_.path(), out_, err_};
};

TEST_F(ResultLogTest, WritesTwoZeroFilledRecords) {
  root_.write("mnt/nand/upfw.log", std::string(2000, 'x'));  // an older, longer log
  EXPECT_EQ(cli::write_upfw_log(sim_, -4, "update ptb partition faild!\n"), 256);

  std::string expected(512, '\0');
  expected.replace(0, 3, "-4\n");
  expected.replace(256, 28, "update ptb partition faild!\n");
  EXPECT_EQ(root_.read("mnt/nand/upfw.log"), expected);
  EXPECT_EQ(err_.text(), "update ptb partition faild!\n");
  EXPECT_EQ(out_.text(), "");
}

TEST_F(ResultLogTest, CutsAMessageAt255Characters) {
  root_.write("mnt/nand/upfw.log", "");
  std::string long_message(300, 'm');
  cli::write_upfw_log(sim_, 1, long_message.c_str());
  std::string log = root_.read("mnt/nand/upfw.log");
  ASSERT_EQ(log.size(), 512u);
  EXPECT_EQ(log.substr(256, 255), std::string(255, 'm'));
  EXPECT_EQ(log[511], '\0');
}

TEST_F(ResultLogTest, UnwritableDirectoryShowsOnlyTheErrorLine) {
  // This camera has no mnt/nand directory.
  EXPECT_EQ(cli::write_upfw_log(sim_, 0, "update success!\n"), -1);
  EXPECT_EQ(err_.text(), "open /mnt/nand/upfw.log: No such file or directory\n");
}

}  // namespace
