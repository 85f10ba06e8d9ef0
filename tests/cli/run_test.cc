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
