// Faults of the simulated camera: operations that fail, shell commands that
// report a status, the power cut, and rules that cannot be parsed.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"

namespace {

using platform::FileHandle;
using platform::sim::FaultRules;
using platform::sim::OpKind;
using platform::sim::PowerCut;
using platform::sim::SimPlatform;
using testing_support::TempDir;

// Four 16 KiB NAND blocks of 2 KiB pages, all good.
constexpr uint32_t kBlock = 0x4000;
constexpr uint32_t kPage = 2048;
constexpr uint32_t kNandSize = 4 * kBlock;
const char* const kGeometry = "type=nand\nerasesize=0x4000\nwritesize=2048\noobsize=64\n";

class SimFaultsTest : public ::testing::Test {
 protected:
  SimFaultsTest() {
    root_.write("dev/mtd4", std::string(kNandSize, '\xFF'));
    root_.write("dev/mtd4.geometry", kGeometry);
    root_.write("dev/mtd5", std::string(kNandSize, '\xFF'));
    root_.write("dev/mtd5.geometry", kGeometry);
  }
  // A platform on the root with these rules in R/faults.
  SimPlatform& with_faults(const std::string& faults) {
    root_.write("faults", faults);
    sim_.emplace(root_.path(), out_, err_);
    return *sim_;
  }
  std::string flash(uint32_t start, uint32_t length) {
    return root_.read("dev/mtd4").substr(start, length);
  }

  TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  std::optional<SimPlatform> sim_;
};

// ---- fail ----

struct FailCase {
  const char* name;
  const char* rule;
  // Does one operation of the rule's kind on `path`, open as `fd` (an open
  // opens the path itself): its result, -1 on failure.
  std::function<int(SimPlatform&, int fd, const char* path)> operation;
  int error;  // what the failing one gives
};

int do_open(SimPlatform& sim, int, const char* path) {
  int fd = sim.open(path, O_RDONLY);
  if (fd >= 0) sim.close(fd);
  return fd;
}
int do_read(SimPlatform& sim, int fd, const char*) {
  char byte;
  return static_cast<int>(sim.pread(fd, &byte, 1, 0));
}
int do_write(SimPlatform& sim, int fd, const char*) {
  const std::string page(kPage, '\0');
  return static_cast<int>(sim.pwrite(fd, page.data(), page.size(), 0));
}
int do_erase(SimPlatform& sim, int fd, const char*) { return sim.mtd_erase(fd, {0, kBlock}); }
int do_badblock(SimPlatform& sim, int fd, const char*) { return sim.mtd_get_bad_block(fd, 0); }
int do_info(SimPlatform& sim, int fd, const char*) {
  platform::MtdInfo info;
  return sim.mtd_get_info(fd, &info);
}

class SimFailTest : public SimFaultsTest, public ::testing::WithParamInterface<FailCase> {};

// Given a rule for the second operation of a kind on /dev/mtd4, exactly that
// one fails with the rule's error; the same kind on another device and the
// third one go through.
TEST_P(SimFailTest, OnlyTheNthOperationOnThePathFails) {
  const FailCase& c = GetParam();
  SimPlatform& sim = with_faults(std::string("# the second one\n") + c.rule + "\n");
  ASSERT_TRUE(sim.faults_valid()) << err_.text();
  FileHandle other(sim, sim.open("/dev/mtd5", O_RDWR));
  ASSERT_TRUE(other.valid());
  EXPECT_GE(c.operation(sim, other.get(), "/dev/mtd5"), 0);
  FileHandle nand(sim, sim.open("/dev/mtd4", O_RDWR));
  ASSERT_TRUE(nand.valid());
  const int first = c.operation(sim, nand.get(), "/dev/mtd4");
  errno = 0;
  const int second = c.operation(sim, nand.get(), "/dev/mtd4");
  const int error = errno;
  const int third = c.operation(sim, nand.get(), "/dev/mtd4");
  EXPECT_GE(first, 0);
  EXPECT_EQ(second, -1);
  EXPECT_EQ(error, c.error);
  EXPECT_GE(third, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimFailTest,
    ::testing::Values(
        // The descriptor the others use is the first open.
        FailCase{"Open", "fail open /dev/mtd4 3 ENOENT", do_open, ENOENT},
        FailCase{"Read", "fail read /dev/mtd4 2 EBADMSG", do_read, EBADMSG},
        FailCase{"Write", "fail write /dev/mtd4 2 ENOSPC", do_write, ENOSPC},
        FailCase{"Erase", "fail erase /dev/mtd4 2", do_erase, EIO},
        FailCase{"BadBlock", "fail badblock /dev/mtd4 2 EINVAL", do_badblock, EINVAL},
        FailCase{"InfoWithAnErrorNumber", "fail info  /dev/mtd4\t2 25", do_info, ENOTTY}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed write or erase changes no flash and is no flash operation.
TEST_F(SimFaultsTest, FailedFlashOperationsChangeNothing) {
  SimPlatform& sim = with_faults("fail write /dev/mtd4\nfail erase /dev/mtd4\n");
  FileHandle nand(sim, sim.open("/dev/mtd4", O_RDWR));
  const std::string page(kPage, '\0');
  EXPECT_EQ(sim.pwrite(nand.get(), page.data(), page.size(), 0), -1);
  EXPECT_EQ(flash(0, kPage), std::string(kPage, '\xFF'));
  EXPECT_EQ(sim.pwrite(nand.get(), page.data(), page.size(), 0), kPage);
  EXPECT_EQ(sim.mtd_erase(nand.get(), {0, kBlock}), -1);
  EXPECT_EQ(flash(0, kPage), page);
  EXPECT_EQ(sim.flash_operations(), 1u);
  EXPECT_EQ(root_.read("flash.log"), "write /dev/mtd4 0x00000000 0x00000800\n");
}

// ---- status ----

// A command told to fail is logged and not carried out.
TEST_F(SimFaultsTest, StatusRulesReplaceTheCommand) {
  root_.write("proc/mtd", "dev:    size   erasesize  name\nmtd4: 00010000 00004000 \"ker2\"\n");
  SimPlatform& sim =
      with_faults("status reboot 1\nstatus flash_erase 0\nstatus cat 3\nstatus sync 0\n");
  FileHandle nand(sim, sim.open("/dev/mtd4", O_RDWR));
  const std::string page(kPage, '\0');
  ASSERT_EQ(sim.pwrite(nand.get(), page.data(), page.size(), 0), kPage);

  EXPECT_EQ(sim.run_shell("reboot"), 1);
  EXPECT_EQ(sim.run_shell("/usr/sbin/flash_erase /dev/mtd4 0 0"), 0);
  EXPECT_EQ(flash(0, kPage), page);  // nothing erased
  std::string output = "left over";
  EXPECT_EQ(sim.run_pipe("cat /proc/mtd | grep ker2 \n", &output), 0);
  EXPECT_EQ(output, "");
  EXPECT_EQ(sim.run_shell("echo 3 > /proc/sys/vm/drop_caches"), 0);  // no rule
  EXPECT_EQ(root_.read("shell.log"),
            "reboot\n/usr/sbin/flash_erase /dev/mtd4 0 0\ncat /proc/mtd | grep ker2 \n"
            "echo 3 > /proc/sys/vm/drop_caches\n");
  EXPECT_EQ(err_.text(), "");
}

// ---- powercut ----

struct CutCase {
  const char* name;
  std::function<int(SimPlatform&, int fd)> cut;
  uint32_t start;  // of the flash that shows the cut
  std::string expected;
};

const std::string kErased(kBlock, '\xFF');
const std::string kProgrammed(kBlock, '\0');

class SimPowerCutTest : public SimFaultsTest, public ::testing::WithParamInterface<CutCase> {};

// Given a cut at the third flash operation, it is left half done and logged,
// the handler learns its number, and nothing works after it.
TEST_P(SimPowerCutTest, TheCutOperationIsHalfDone) {
  const CutCase& c = GetParam();
  root_.write("dev/mtd4", std::string(kNandSize, '\0'));
  SimPlatform& sim = with_faults("powercut 7\npowercut 3  # the earliest counts\n");
  FileHandle nand(sim, sim.open("/dev/mtd4", O_RDWR));
  const std::string page(kPage, '\0');
  ASSERT_EQ(sim.mtd_erase(nand.get(), {3 * kBlock, kBlock}), 0);
  ASSERT_EQ(sim.pwrite(nand.get(), page.data(), page.size(), 3 * kBlock), kPage);
  uint64_t cut_at = 0;
  sim.set_power_cut_handler([&](uint64_t operation) { cut_at = operation; });
  EXPECT_EQ(c.cut(sim, nand.get()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(cut_at, 3u);
  EXPECT_TRUE(sim.powered_off());
  EXPECT_EQ(flash(c.start, static_cast<uint32_t>(c.expected.size())), c.expected);
  EXPECT_EQ(sim.flash_operations(), 3u);
  char byte;
  EXPECT_EQ(sim.pread(nand.get(), &byte, 1, 0), -1);
  EXPECT_EQ(sim.open("/dev/mtd5", O_RDONLY), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimPowerCutTest,
    ::testing::Values(CutCase{"EraseOfTwoBlocksErasesOne",
                              [](SimPlatform& s, int fd) {
                                return s.mtd_erase(fd, {0, 2 * kBlock});
                              },
                              0, kErased + kProgrammed},
                      CutCase{"EraseOfThreeBlocksErasesOne",
                              [](SimPlatform& s, int fd) {
                                return s.mtd_erase(fd, {0, 3 * kBlock});
                              },
                              0, kErased + kProgrammed + kProgrammed},
                      CutCase{"EraseOfOneBlockErasesIt",
                              [](SimPlatform& s, int fd) {
                                return s.mtd_erase(fd, {kBlock, kBlock});
                              },
                              0, kProgrammed + kErased + kProgrammed},
                      CutCase{"WriteProgramsItsFirstHalf",
                              [](SimPlatform& s, int fd) {
                                const std::string page(kPage, '\x5A');
                                return static_cast<int>(
                                    s.pwrite(fd, page.data(), page.size(), 3 * kBlock + kPage));
                              },
                              3 * kBlock + kPage,
                              std::string(kPage / 2, '\x5A') + std::string(kPage / 2, '\xFF')}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a handler the cut throws, so a test running the tool in-process
// sees it stop where the process would.
TEST_F(SimFaultsTest, WithoutAHandlerTheCutThrows) {
  SimPlatform& sim = with_faults("powercut 1\n");
  FileHandle nand(sim, sim.open("/dev/mtd4", O_RDWR));
  const std::string page(kPage, '\x5A');
  try {
    sim.pwrite(nand.get(), page.data(), page.size(), kPage);
    ADD_FAILURE() << "no cut";
  } catch (const PowerCut& cut) {
    EXPECT_EQ(cut.operation, 1u);
  }
  EXPECT_EQ(root_.read("flash.log"), "write /dev/mtd4 0x00000800 0x00000800\n");
}

// ---- rules that cannot be parsed ----

struct ParseCase {
  const char* name;
  const char* text;
  const char* error;  // after "NAME:"
};

class SimFaultParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SimFaultParseTest, NamesTheLine) {
  FaultRules rules;
  std::string error;
  EXPECT_FALSE(platform::sim::parse_faults(GetParam().text, "R/faults", &rules, &error));
  EXPECT_EQ(error, std::string("R/faults:") + GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimFaultParseTest,
    ::testing::Values(
        ParseCase{"UnknownRule", "# faults\n\nexplode now\n",
                  "3: unknown rule \"explode\" (fail, status or powercut)"},
        ParseCase{"FailWithoutPath", "fail read", "1: expected fail OP PATH [NTH [ERRNO]]"},
        ParseCase{"FailWithTooMuch", "fail read /dev/mtd4 1 EIO now",
                  "1: expected fail OP PATH [NTH [ERRNO]]"},
        ParseCase{"UnknownOperation", "powercut 3\nfail wirte /dev/mtd4",
                  "2: unknown operation \"wirte\" (open, read, write, erase, badblock or info)"},
        ParseCase{"ZerothOperation", "fail read /dev/mtd4 0", "1: bad count \"0\" (1 or more)"},
        ParseCase{"CountNotANumber", "fail read /dev/mtd4 2nd", "1: bad count \"2nd\" (1 or more)"},
        ParseCase{"UnknownError", "fail read /dev/mtd4 1 EOOPS", "1: unknown error \"EOOPS\""},
        ParseCase{"StatusWithoutCode", "status reboot", "1: expected status WORD CODE"},
        ParseCase{"StatusOutOfRange", "status reboot 256", "1: bad status \"256\" (0-255)"},
        ParseCase{"PowerCutAtZero", "powercut 0", "1: bad operation number \"0\" (1 or more)"},
        ParseCase{"PowerCutNegative", "powercut -1", "1: bad operation number \"-1\" (1 or more)"},
        ParseCase{"PowerCutWithoutNumber", "powercut", "1: expected powercut N"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimFaultRulesTest, ReadsEveryRuleWithDefaults) {
  FaultRules rules;
  std::string error;
  ASSERT_TRUE(platform::sim::parse_faults(
      "fail read /dev/shm/updateFM.bin   # the first one, EIO\n"
      "  fail write ./fw.bin 12 ENOTSUPP\n\tstatus /usr/sbin/flash_erase 1\npowercut 40",
      "R/faults", &rules, &error))
      << error;
  ASSERT_EQ(rules.fails.size(), 2u);
  EXPECT_EQ(rules.fails[0].op, OpKind::kRead);
  EXPECT_EQ(rules.fails[0].path, "/dev/shm/updateFM.bin");
  EXPECT_EQ(rules.fails[0].nth, 1u);
  EXPECT_EQ(rules.fails[0].error, EIO);
  EXPECT_EQ(rules.fails[1].op, OpKind::kWrite);
  EXPECT_EQ(rules.fails[1].path, "./fw.bin");
  EXPECT_EQ(rules.fails[1].nth, 12u);
  EXPECT_EQ(rules.fails[1].error, 524);
  EXPECT_EQ(rules.statuses.at("/usr/sbin/flash_erase"), 1);
  EXPECT_EQ(rules.powercut, 40u);
}

// ---- update-sim ----

class UpdateSimFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::make_camera(root_); }
  TempDir root_;
};

// A rule that cannot be parsed stops update-sim before it does anything.
TEST_F(UpdateSimFaultsTest, BadRuleEndsWithStatus2BeforeAnything) {
  const std::string env1 = root_.read("dev/mtd1");
  root_.write("faults", "powercut 1\nstatus reboot one\n");
  auto result = testing_support::run_update_sim(root_, {"-D", "3"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, root_.file("faults") + ":2: bad status \"one\" (0-255)\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(root_.read("dev/mtd1"), env1);
  EXPECT_FALSE(root_.exists("flash.log"));
  EXPECT_FALSE(root_.exists("shell.log"));
}

// A cut ends update-sim at once with status 99: the cut operation is the
// last thing it does.
TEST_F(UpdateSimFaultsTest, PowerCutEndsTheRunWithStatus99) {
  root_.write("faults", "powercut 2\n");
  auto result = testing_support::run_update_sim(root_, {"-D", "3", "-D", "4"});
  EXPECT_EQ(result.status, 99) << result.err;
  EXPECT_EQ(root_.read("flash.log"),
            "erase /dev/mtd2 0x00000000 0x00080000\nwrite /dev/mtd2 0x00000000 0x00080000\n");
  EXPECT_EQ(result.err, "");
}

}  // namespace
