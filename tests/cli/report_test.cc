// The version (-v) and status (--show) reports on a simulated camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/sim_camera.h"

namespace {

using testing_support::make_camera;
using testing_support::run_update_sim;
using testing_support::TempDir;

class ReportTest : public ::testing::Test {
 protected:
  TempDir root_;
};

TEST_F(ReportTest, VersionReportListsRecordsWithAVersion) {
  // cfg has a size but no version; it is left out here.
  make_camera(root_, {"--set", "cfg=name:cfg\\tver:0x00000000\\tsize:4096\\tdate:0x07e50301 "});
  auto result = run_update_sim(root_, {"-v"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "Vantiro update version: 0.1.0.2\n"
            "uboot:\n\tversion = 4.2.2.36\n\tsize    = 208 K\n\tdate    = 2022/3/4\n"
            "ker1:(current)\n\tversion = 4.2.2.10\n\tsize    = 1024 K\n\tdate    = 2022/3/4\n"
            "ker2:\n\tversion = 4.2.2.10\n\tsize    = 1024 K\n\tdate    = 2022/3/4\n"
            "fs1:(current)\n\tversion = 40.7.0.80\n\tsize    = 2048 K\n\tdate    = 2022/3/4\n"
            "fs2:\n\tversion = 40.7.0.80\n\tsize    = 2048 K\n\tdate    = 2022/3/4\n");
}

TEST_F(ReportTest, ShowReportAddsPartitionsAndEnvironment) {
  make_camera(root_, {"--set", "cfg=name:cfg\\tver:0x00000000\\tsize:1023\\tdate:0x07e50301 ",
                      "--set", "bootargs=root=/dev/nfs nfsroot=10.0.0.1:/srv", "--unset", "uboot",
                      "--unset", "ker2", "--unset", "fs2"});
  auto result = run_update_sim(root_, {"--show"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "Vantiro update version: 1.0.1 \n"
            "ker1:(current)\n\tversion = 4.2.2.10\n\tsize    = 0x00100000 (1024 K)\n"
            "\tdate    = 2022/3/4\n"
            "fs1:(nfs)\n\tversion = 40.7.0.80\n\tsize    = 0x00200000 (2048 K)\n"
            "\tdate    = 2022/3/4\n"
            "cfg:\n\tversion = 0.0.0.0\n\tsize    = 0x000003FF (0 K)\n\tdate    = 2021/3/1\n"
            "\nMore details:\n\n"
            "Mtd information: \n" +
                root_.read("proc/mtd") +
                "bootargs=root=/dev/nfs nfsroot=10.0.0.1:/srv\n"
                "bootcmd=nand read 0x82000000 ker1 0x400000; bootm 0x82000000\n"
                "bootdelay=1\nbaudrate=115200\nethaddr=00:11:22:33:44:55\nipaddr=192.168.1.10\n"
                "serverip=192.168.1.1\nnetmask=255.255.255.0\ngateway=192.168.1.1\n"
                "ker1=name:ker1\tver:0x0402020a\tsize:1048576\tdate:0x07e60304 \n"
                "fs1=name:fs1\tver:0x28070050\tsize:2097152\tdate:0x07e60304 \n"
                "cfg=name:cfg\tver:0x00000000\tsize:1023\tdate:0x07e50301 \n");
  EXPECT_EQ(root_.read("shell.log"), "cat /proc/mtd \n");
}

TEST_F(ReportTest, ShowReportOnAnEnvironmentThatDidNotLoad) {
  make_camera(root_);
  std::remove(root_.file("dev/mtd2").c_str());
  auto result = run_update_sim(root_, {"--show"});
  EXPECT_EQ(result.status, 0);  // the run treats a failed report as no error
  EXPECT_EQ(result.out, "Vantiro update version: 1.0.1 \n\nMore details:\n\nMtd information: \n" +
                            root_.read("proc/mtd"));
  EXPECT_EQ(result.err,
            "Cannot access MTD device /dev/mtd2: No such file or directory\n"
            "hs_printenv faild!\n");
}

}  // namespace
