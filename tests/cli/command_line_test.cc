// The command line of the built update-sim: usage text, option errors and
// exit statuses, compared byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sim_camera.h"

namespace {

using testing_support::run_update_sim;
using testing_support::TempDir;

const char kUsage[] =
    "Usage:\n"
    "  update [OPTION] upfw_file \n"
    "  Writes to the specified MTD device.\n"
    "\n"
    "   --help\tdisplay this help and exit\n"
    "-v --version\toutput version information and exit\n"
    "   --show\tShow Vantiro uboot information \n"
    "-u --upfw\tUpdate Vantiro upgrade images\n"
    "-a --analysis\tAnalysis Vantiro upgrade images\n"
    "-l --list\tList upgrade image information\n"
    "-S --system [id]\tSwitch Vantiro System\n"
    "-N --sn [sn]\tUpdate Vantiro uboot SN \n"
    "-C --cmdline [str]\tUpdate Vantiro uboot cmdline \n"
    "   --bootargs [str]\tUpdate Vantiro uboot bootargs \n"
    "   --bootcmd [str]\tUpdate Vantiro uboot bootcmd \n"
    "-D --delay [digit]\tUpdate Vantiro uboot bootdelay \n"
    "   --auto_boot [digit]\tUpdate Vantiro uboot load linux from nandflash or no \n"
    "   --auto_dl [digit]\tUpdate Vantiro uboot load linux from network or no \n"
    "   --pri_addr [hex]\tUpdate Vantiro uboot pri_addr \n"
    "   --pri_file [str]\tUpdate Vantiro updated file name(32bytes) \n"
    "   --serverip [ip]\tUpdate Vantiro uboot tftpd server ip \n"
    "-E --eth0_mac [MAC]\tUpdate Vantiro uboot eth0 MAC \n"
    "   --eth0_ip [ip]\tUpdate Vantiro uboot eth0 lan ip \n"
    "   --eth0_mask [ip]\tUpdate Vantiro uboot eth0 lan mask \n"
    "   --eth0_gw [ip]\tUpdate Vantiro uboot eth0 lan gw \n"
    "-W --wifi0_mac [MAC]\tUpdate Vantiro uboot wifi0 MAC \n"
    "   --wifi0_ip [ip]\tUpdate Vantiro uboot wifi0 ip \n"
    "   --wifi0_mask [ip]\tUpdate Vantiro uboot wifi0 mask\n"
    "   --wifi0_gw [ip]\tUpdate Vantiro uboot wifi0 gw \n"
    "\n";

const std::string kProgram = UPDATE_SIM_BINARY;

struct CommandCase {
  const char* case_name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

class CommandLineTest : public ::testing::TestWithParam<CommandCase> {
 protected:
  void SetUp() override { testing_support::make_camera(root_); }
  TempDir root_;
};

TEST_P(CommandLineTest, PrintsExactlyAndExits) {
  const CommandCase& c = GetParam();
  auto result = run_update_sim(root_, c.args);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
  EXPECT_EQ(result.status, c.status);
  // An option error is never logged.
  EXPECT_FALSE(root_.exists("mnt/nand/upfw.log"));
}

const std::string kUnknown = "Error: Unknow option\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, CommandLineTest,
    ::testing::Values(
        CommandCase{"NoArguments", {}, "", "", 0},
        CommandCase{"Help", {"--help"}, std::string("Vantiro update version: 0.1.0.2\n") + kUsage,
                    "", 0},
        CommandCase{"AbbreviatedHelp", {"--he"},
                    std::string("Vantiro update version: 0.1.0.2\n") + kUsage, "", 0},
        CommandCase{"QuestionMark", {"-?"}, kUsage, kUnknown, 255},
        CommandCase{"UnknownLong",
                    {"--bogus"},
                    kUsage,
                    kProgram + ": unrecognized option '--bogus'\n" + kUnknown,
                    255},
        CommandCase{"UnknownShort",
                    {"-x"},
                    kUsage,
                    kProgram + ": invalid option -- 'x'\n" + kUnknown,
                    255},
        CommandCase{"MissingShortArgument",
                    {"-N"},
                    kUsage,
                    kProgram + ": option requires an argument -- 'N'\n" + kUnknown,
                    255},
        CommandCase{"MissingLongArgument",
                    {"--delay"},
                    kUsage,
                    kProgram + ": option '--delay' requires an argument\n" + kUnknown,
                    255},
        CommandCase{"IgnoredNumericOptions",
                    {"--auto_boot", "1", "--auto_dl", "x", "--pri_addr", "0x8000"},
                    "",
                    "",
                    0},
        CommandCase{"BadSlot",
                    {"-S", "3"},
                    kUsage,
                    "Unknown fs index, please choose 1 or 2\nswitch system faild.\n",
                    255},
        CommandCase{"SerialTooLong",
                    {"-N", std::string(32, 's')},
                    kUsage,
                    "Error: argument of --sn is too long (at most 31 characters)\n",
                    255},
        CommandCase{"PriFileTooLong",
                    {"--pri_file", std::string(32, 'f')},
                    kUsage,
                    "Error: argument of --pri_file is too long (at most 31 characters)\n",
                    255},
        CommandCase{"CmdlineTooLong",
                    {"-C", std::string(512, 'c')},
                    kUsage,
                    "Error: argument of --cmdline is too long (at most 511 characters)\n",
                    255},
        CommandCase{"ImagePathTooLong",
                    {"-l", std::string(128, 'p')},
                    kUsage,
                    "Error: image path is too long (at most 127 characters)\n",
                    255}),
    [](const auto& info) { return std::string(info.param.case_name); });

TEST(CommandLine, WithoutSimulationRootRefusesToRun) {
  auto result = testing_support::run_program(kProgram, {"-l"}, "");
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("UPDATE_SIM_ROOT"), std::string::npos);
  EXPECT_EQ(result.out, "");
}

}  // namespace
