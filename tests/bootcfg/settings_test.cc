// Setting options and the slot switch, end to end through update-sim on a
// simulated camera: what the tool prints and what the environment then holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sim_camera.h"

namespace {

using testing_support::make_camera;
using testing_support::printed_environment;
using testing_support::run_update_sim;
using testing_support::TempDir;

const char kSlot1Args[] =
    "mem=148M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs "
    "init=/linuxrc";
const char kSlot1Cmd[] = "nand read 0x82000000 ker1 0x400000; bootm 0x82000000";

// The camera's default environment with `changed` replacing or appending
// entries, in the order a set leaves them (a replaced entry moves last).
std::string environment_after(const std::vector<std::pair<std::string, std::string>>& changed) {
  std::vector<std::pair<std::string, std::string>> entries = {
      {"bootargs", kSlot1Args},
      {"bootcmd", kSlot1Cmd},
      {"bootdelay", "1"},
      {"baudrate", "115200"},
      {"ethaddr", "00:11:22:33:44:55"},
      {"ipaddr", "192.168.1.10"},
      {"serverip", "192.168.1.1"},
      {"netmask", "255.255.255.0"},
      {"gateway", "192.168.1.1"},
      {"uboot", "name:uboot\tver:0x04020224\tsize:212992\tdate:0x07e60304 "},
      {"ker1", "name:ker1\tver:0x0402020a\tsize:1048576\tdate:0x07e60304 "},
      {"ker2", "name:ker2\tver:0x0402020a\tsize:1048576\tdate:0x07e60304 "},
      {"fs1", "name:fs1\tver:0x28070050\tsize:2097152\tdate:0x07e60304 "},
      {"fs2", "name:fs2\tver:0x28070050\tsize:2097152\tdate:0x07e60304 "},
  };
  for (const auto& change : changed) {
    std::erase_if(entries, [&](const auto& entry) { return entry.first == change.first; });
    entries.push_back(change);
  }
  std::string text;
  for (const auto& [name, value] : entries) text += name + "=" + value + "\n";
  return text;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { make_camera(root_); }
  TempDir root_;
};

struct SettingCase {
  const char* case_name;
  std::vector<std::string> args;
  const char* variable;
  const char* value;
};

class SettingOptionTest : public SettingsTest,
                          public ::testing::WithParamInterface<SettingCase> {};

TEST_P(SettingOptionTest, StoresTheValueOnFlash) {
  const SettingCase& c = GetParam();
  auto result = run_update_sim(root_, c.args);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(printed_environment(root_), environment_after({{c.variable, c.value}}));
}

INSTANTIATE_TEST_SUITE_P(
    Options, SettingOptionTest,
    ::testing::Values(
        SettingCase{"Serial", {"-N", "SN0001"}, "sn", "SN0001"},
        SettingCase{"Cmdline", {"-C", "console=ttyS0 ubi.mtd=fs2"}, "bootargs",
                    "console=ttyS0 ubi.mtd=fs2"},
        SettingCase{"Bootargs", {"--bootargs", "a=b c"}, "bootargs", "a=b c"},
        SettingCase{"Bootcmd", {"--bootcmd", "run ker2"}, "bootcmd", "run ker2"},
        SettingCase{"PriFile", {"--pri_file", "fw.bin"}, "bootfile", "fw.bin"},
        SettingCase{"ServerIp", {"--serverip", "10.0.0.1"}, "serverip", "10.0.0.1"},
        SettingCase{"EthMac", {"-E", "aa:bb"}, "ethaddr", "aa:bb"},
        SettingCase{"EthIp", {"--eth0_ip", "1.2.3.4"}, "ipaddr", "1.2.3.4"},
        SettingCase{"EthMask", {"--eth0_mask", "255.0.0.0"}, "netmask", "255.0.0.0"},
        SettingCase{"EthGw", {"--eth0_gw", "1.2.3.1"}, "gateway", "1.2.3.1"},
        SettingCase{"WifiMac", {"-W", "cc:dd"}, "wifimac", "cc:dd"},
        SettingCase{"WifiIp", {"--wifi0_ip", "5.6.7.8"}, "wifiip", "5.6.7.8"},
        SettingCase{"WifiMask", {"--wifi0_mask", "255.255.0.0"}, "wifinm", "255.255.0.0"},
        SettingCase{"WifiGw", {"--wifi0_gw", "5.6.7.1"}, "wifigw", "5.6.7.1"},
        SettingCase{"EmptyValue", {"--serverip", ""}, "serverip", ""},
        SettingCase{"Delay", {"-D", "5"}, "bootdelay", "5"},
        SettingCase{"DelayWraps", {"--delay", "300"}, "bootdelay", "44"},
        SettingCase{"DelayNegative", {"-D", "-1"}, "bootdelay", "255"},
        SettingCase{"DelayHex", {"-D", "0x0a"}, "bootdelay", "10"},
        SettingCase{"DelayNotANumber", {"-D", "soon"}, "bootdelay", "0"}),
    [](const auto& info) { return std::string(info.param.case_name); });

TEST_F(SettingsTest, EachSetIsOnFlashBeforeTheNextOption) {
  // Given a value, then an option without its argument: the first stays.
  auto result = run_update_sim(root_, {"-N", "SN7", "--delay"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(printed_environment(root_), environment_after({{"sn", "SN7"}}));
}

TEST_F(SettingsTest, AnUnknownOptionStopsLaterSettings) {
  auto result = run_update_sim(root_, {"--bogus", "-N", "SN7"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(printed_environment(root_), environment_after({}));
}

TEST_F(SettingsTest, OptionsActInCommandLineOrder) {
  auto result = run_update_sim(root_, {"-D", "3", "-N", "A", "-D", "4"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(printed_environment(root_),
            environment_after({{"bootdelay", "3"}, {"sn", "A"}, {"bootdelay", "4"}}));
}

TEST_F(SettingsTest, SwitchingToSlot2RebootsIntoIt) {
  auto result = run_update_sim(root_, {"-S", "2"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\tFilesys will switch to fs2 after reboot!\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(root_.read("shell.log"), "# sleep 3\nreboot\n");
  std::string args2 = kSlot1Args;
  args2.replace(args2.find("fs1"), 3, "fs2");
  std::string cmd2 = kSlot1Cmd;
  cmd2.replace(cmd2.find("ker1"), 4, "ker2");
  EXPECT_EQ(printed_environment(root_), environment_after({{"bootargs", args2}, {"bootcmd", cmd2}}));

  // And back again.
  result = run_update_sim(root_, {"--system", "1"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(printed_environment(root_),
            environment_after({{"bootargs", kSlot1Args}, {"bootcmd", kSlot1Cmd}}));
}

TEST_F(SettingsTest, SwitchingFromANetworkBootUsesTheDefaultArguments) {
  make_camera(root_, {"--set", "bootargs=root=/dev/nfs nfsroot=1.2.3.4:/srv ip=dhcp"});
  auto result = run_update_sim(root_, {"-S", "2"});
  EXPECT_EQ(result.status, 0);
  std::string cmd2 = kSlot1Cmd;
  cmd2.replace(cmd2.find("ker1"), 4, "ker2");
  EXPECT_EQ(printed_environment(root_),
            environment_after({{"bootargs",
                                "mem=256M console=ttyAMA0,115200 ubi.mtd=fs2 root=ubi0:rootfs rw "
                                "rootfstype=ubifs init=/linuxrc"},
                               {"bootcmd", cmd2}}));
}

TEST_F(SettingsTest, SwitchWithoutAKernelInBootcmdChangesNothing) {
  make_camera(root_, {"--set", "bootcmd=bootp"});
  std::string before = printed_environment(root_);
  auto result = run_update_sim(root_, {"-S", "2"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "Can't find kernel partition!\nswitch system faild.\n");
  EXPECT_FALSE(root_.exists("shell.log"));  // no reboot
  EXPECT_EQ(printed_environment(root_), before);
}

}  // namespace
