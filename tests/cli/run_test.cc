// The fixed order of a run, seen from the built update-sim.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/sim_camera.h"

namespace {

using testing_support::run_update_sim;
using testing_support::TempDir;

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::make_camera(root_); }
  TempDir root_;
};

TEST_F(RunTest, FailedListingExitsWithItsCodeAndLeavesTheLog) {
  root_.write("mnt/nand/upfw.log", "earlier outcome");
  auto result = run_update_sim(root_, {"-l", "/missing.bin"});
  EXPECT_EQ(result.out, "List upfw /missing.bin infomation.\n");
  EXPECT_EQ(result.err,
            "open output imager: No such file or directory\n"
            "List upfw /missing.bin infomation failed!\n");
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(root_.read("mnt/nand/upfw.log"), "earlier outcome");
}

TEST_F(RunTest, ListingUsesTheDefaultImagePath) {
  root_.write("dev/shm/updateFM.bin", std::string(2048, '\0'));
  auto result = run_update_sim(root_, {"-l"});
  EXPECT_EQ(result.out, "List upfw /dev/shm/updateFM.bin infomation.\nImage info: \n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

TEST_F(RunTest, TwoImageArgumentsKeepTheDefaultPath) {
  root_.write("dev/shm/updateFM.bin", std::string(2048, '\0'));
  auto result = run_update_sim(root_, {"-l", "a.bin", "b.bin"});
  EXPECT_EQ(result.out, "List upfw /dev/shm/updateFM.bin infomation.\nImage info: \n");
  EXPECT_EQ(result.status, 0);
}

}  // namespace

namespace {

// A small image for the camera's family (40) and version 7.0.81.
void write_image(const TempDir& root, const std::string& camera_path) {
  root.write("parts/uImage", std::string(5000, 'k'));
  root.write("parts/rootfs", std::string(9000, 'f'));
  root.write("parts/update", "#!/bin/sh\necho new tool\n");
  auto made = testing_support::run_program(
      MKUPFW_BINARY,
      {"-o", root.file(camera_path.substr(1)), "-e", "1:ker:4.2.2.11:" + root.file("parts/uImage"),
       "-e", "2:fs:40.7.0.81:" + root.file("parts/rootfs") + ":2022/5/6:0:1", "-e",
       "3:cmd:0.1.0.3:" + root.file("parts/update")},
      "");
  ASSERT_EQ(made.status, 0) << made.err;
}

class RunModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::make_camera(root_, {"--codec", "codec_internal"});
    write_image(root_, "/dev/shm/updateFM.bin");
  }
  std::string log_code() const { return root_.read("mnt/nand/upfw.log").substr(0, 256).c_str(); }
  std::string log_message() const {
    return root_.read("mnt/nand/upfw.log").substr(256).c_str();
  }
  TempDir root_;
};

TEST_F(RunModesTest, InstallAfterAnEarlierOneReplacesTheLog) {
  root_.write("mnt/nand/upfw.log", "old");
  auto result = run_update_sim(root_, {"-u"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Has update, update again!update success!\n");
  EXPECT_EQ(result.out.rfind("version = 40.7.0.81\nBegin update /dev/shm/updateFM.bin \n", 0), 0u);
  EXPECT_EQ(root_.read("shell.log").rfind("rm -f /mnt/nand/upfw.log\n", 0), 0u);
  EXPECT_EQ(root_.read("mnt/nand/upfw.log").size(), 512u);
  EXPECT_EQ(log_code(), "0\n");
  EXPECT_EQ(log_message(), "update success!\n");
}

TEST_F(RunModesTest, GateRefusalIsLoggedAndNothingIsInstalled) {
  testing_support::make_camera(root_, {"--set", "fs1=name:fs1\tver:0x29070050 ", "--set",
                                       "fs2=name:fs2\tver:0x29070050 "});
  write_image(root_, "/dev/shm/updateFM.bin");
  auto result = run_update_sim(root_, {"-u"});
  EXPECT_EQ(result.status, 241);  // -15
  EXPECT_EQ(result.out, "version = 40.7.0.81\n");
  EXPECT_EQ(result.err.rfind("CPU not match firmware, update exit.\n: ", 0), 0u) << result.err;
  EXPECT_EQ(log_code(), "-15\n");
  EXPECT_EQ(log_message(), "CPU not match firmware, update exit.\n");
  EXPECT_FALSE(root_.exists("flash.log"));
}

TEST_F(RunModesTest, AnalysisUnpacksTheToolWithoutALog) {
  auto result = run_update_sim(root_, {"-a"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "version = 40.7.0.81\n"
            "Analysis image /dev/shm/updateFM.bin \n"
            "==============name /dev/shm/updateFM.bin=\n"
            "Create file: /dev/shm/update \n");
  EXPECT_EQ(result.err, "");
  // The payload as stored: padded with 0xFF to 2048 bytes.
  std::string tool = "#!/bin/sh\necho new tool\n";
  EXPECT_EQ(root_.read("dev/shm/update"), tool + std::string(2048 - tool.size(), '\xff'));
  EXPECT_EQ(root_.read("shell.log"), "chmod 755 /dev/shm/update\n");
  EXPECT_FALSE(root_.exists("mnt/nand/upfw.log"));
}

TEST_F(RunModesTest, ModesRunInTheirFixedOrder) {
  auto result = run_update_sim(root_, {"-u", "-a", "-l"});
  EXPECT_EQ(result.status, 0);
  size_t gate = result.out.find("version = 40.7.0.81\n");
  size_t list = result.out.find("List upfw /dev/shm/updateFM.bin infomation.\n");
  size_t unpack = result.out.find("Analysis image /dev/shm/updateFM.bin \n");
  size_t install = result.out.find("Begin update /dev/shm/updateFM.bin \n");
  EXPECT_EQ(gate, 0u);
  EXPECT_LT(gate, list);
  EXPECT_LT(list, unpack);
  EXPECT_LT(unpack, install);
  EXPECT_NE(install, std::string::npos);
}

TEST_F(RunModesTest, SwitchBeforeInstallLeavesBootArgumentsOnTheRunningSlot) {
  // -S acts while parsing: bootargs then name fs2 while fs1 still runs, so
  // the installation refuses before writing anything.
  auto result = run_update_sim(root_, {"-S", "2", "-u"});
  EXPECT_EQ(result.status, 252);  // -4
  EXPECT_NE(result.err.find("unknow fs partition or cur fs mismatch bootargs fs!\n"),
            std::string::npos);
  EXPECT_EQ(log_message(), "update ptb partition faild!\n");
  EXPECT_EQ(root_.read("shell.log").rfind("# sleep 3\nreboot\n", 0), 0u);
}

}  // namespace
