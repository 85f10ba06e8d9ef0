// The promise of the A/B installation, measured: power cut at every
// flash-changing operation of a run, and an I/O error injected at every
// operation, each on a fresh copy of a camera, judged by what its boot
// loader would then start.
//
// RELIABILITY_FIGURES=FILE appends each campaign's figures to FILE as a
// table row (docs/reliability.md shows them).
#include "tests/reliability/campaign.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/reliability/boot_model.h"
#include "tests/support/sim_camera.h"

namespace reliability {
namespace {

using testing_support::ProgramResult;
using testing_support::TempDir;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {.name = "Install", .tool_args = {"-u"}},
      {.name = "InstallWithNewerBootLoader", .tool_args = {"-u"}, .newer_boot_loader = true},
      {.name = "InstallOverBadBlocks",
       .camera_args = {"--bad", "ker2:0", "--bad", "fs2:1"},
       .tool_args = {"-u"}},
      {.name = "InstallWithNorEnvironment", .camera_args = {"--nor-env"}, .tool_args = {"-u"}},
      // Three saves (chip information, two firmware records) raise the
      // counter by six, so the save of the boot arguments passes 255.
      {.name = "InstallCountersWrapping",
       .camera_args = {"--flags", "249,248"},
       .tool_args = {"-u"}},
      {.name = "SetVariable",
       .tool_args = {"-D", "3"},
       .expected_slot = 1,
       .expected_generation = 1,
       .variable = "bootdelay",
       .value = "3"},
      {.name = "SetVariableNorEnvironment",
       .camera_args = {"--nor-env"},
       .tool_args = {"-D", "3"},
       .expected_slot = 1,
       .expected_generation = 1,
       .variable = "bootdelay",
       .value = "3"},
      // The counters pass 255 during the save.
      {.name = "SetVariableCountersWrapping",
       .camera_args = {"--flags", "255,254"},
       .tool_args = {"-D", "3"},
       .expected_slot = 1,
       .expected_generation = 1,
       .variable = "bootdelay",
       .value = "3"},
      // On NOR with the second copy the one in use.
      {.name = "SetVariableNorSecondCopyCurrent",
       .camera_args = {"--nor-env", "--flags", "0,1"},
       .tool_args = {"-D", "3"},
       .expected_slot = 1,
       .expected_generation = 1,
       .variable = "bootdelay",
       .value = "3"},
      // Only the second copy is valid, so it is the current one.
      {.name = "SetVariableOneValidCopy",
       .camera_args = {"--env", "corrupt0"},
       .tool_args = {"-D", "3"},
       .expected_slot = 1,
       .expected_generation = 1,
       .variable = "bootdelay",
       .value = "3"},
      {.name = "SwitchSlot", .tool_args = {"-S", "2"}, .both_slots = true},
  };
  return all;
}

std::string scenario_name(const ::testing::TestParamInfo<Scenario>& info) {
  return info.param.name;
}

// A camera and the two states a run moves it between.
class CampaignTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    camera_ = std::make_unique<CampaignCamera>(GetParam());
    const BootOutcome before = boot_camera(camera_->template_root());
    ASSERT_TRUE(camera_->is_untouched(before)) << before.describe();
    TempDir full;
    camera_->copy_to(full);
    const ProgramResult done = camera_->run(full, "");
    ASSERT_EQ(done.status, 0) << done.err;
    const BootOutcome after = boot_camera(full.path());
    ASSERT_TRUE(camera_->is_complete(after)) << after.describe();
    flash_trace_ = lines_of(full.read("flash.log"));
    ASSERT_FALSE(flash_trace_.empty());
  }

  // Sorts the camera left at `root` into the tally; false for a miss.
  bool judge(const TempDir& root, Tally* tally, bool boot_loader_window) {
    const BootOutcome outcome = boot_camera(root.path());
    ++tally->tried;
    if (camera_->is_untouched(outcome)) {
      ++tally->old_slot;
    } else if (camera_->is_complete(outcome)) {
      ++tally->new_slot;
    } else if (boot_loader_window) {
      ++tally->boot_loader_window_not_booting;
    } else {
      ++tally->not_booting[outcome.boots ? "an unexpected system" : outcome.stage];
      return false;
    }
    return true;
  }

  std::unique_ptr<CampaignCamera> camera_;
  std::vector<std::string> flash_trace_;  // of an undisturbed run
};

using PowerCutCampaign = CampaignTest;
using InjectedErrorCampaign = CampaignTest;

// Given a cut at operation N, update-sim stops there with status 99, having
// done exactly the first N operations of an undisturbed run, and the camera
// boots either what it booted before or what the run was to leave.
TEST_P(PowerCutCampaign, EveryCutLeavesTheOldOrTheNewSystemBootable) {
  Tally tally;
  uint64_t retried = 0;
  uint64_t completed = 0;
  for (size_t n = 1; n <= flash_trace_.size(); ++n) {
    TempDir root;
    camera_->copy_to(root);
    const ProgramResult cut = camera_->run(root, "powercut " + std::to_string(n) + "\n");
    const std::vector<std::string> done = lines_of(root.read("flash.log"));
    ASSERT_EQ(cut.status, 99) << "cut " << n << ": " << cut.err;
    ASSERT_TRUE(done.size() == n && std::equal(done.begin(), done.end(), flash_trace_.begin()))
        << "cut " << n << " did" << joined(done);
    // The boot-loader partition has no second copy: while it is written a
    // cut can leave nothing to boot, by design.
    const std::string& op = flash_trace_[n - 1];
    const bool boot_loader_window = op.find(" /dev/mtd0 ") != std::string::npos;
    if (boot_loader_window) ++tally.boot_loader_window;
    if (!judge(root, &tally, boot_loader_window))
      tally.miss("cut " + std::to_string(n) + " at \"" + op +
                 "\": " + boot_camera(root.path()).describe());
    // The camera came back on the old system: running the same command
    // again must then finish the job (every eighth such cut is tried).
    if (n % 8 == 0 && camera_->is_untouched(boot_camera(root.path()))) {
      ++retried;
      std::filesystem::remove(root.file("faults"));
      const ProgramResult again = camera_->run(root, "");
      if (again.status == 0 && camera_->is_complete(boot_camera(root.path())))
        ++completed;
      else
        tally.miss("after cut " + std::to_string(n) + " the run again gives status " +
                   std::to_string(again.status) + ": " + boot_camera(root.path()).describe());
    }
  }
  // A cut past the last operation is no cut.
  TempDir root;
  camera_->copy_to(root);
  EXPECT_EQ(camera_->run(root, "powercut " + std::to_string(flash_trace_.size() + 1)).status, 0);
  EXPECT_TRUE(camera_->is_complete(boot_camera(root.path())));

  EXPECT_EQ(tally.not_booting_total(), 0u) << joined(tally.misses);
  EXPECT_EQ(completed, retried) << joined(tally.misses);
  record_figures("| " + GetParam().name + " | " + std::to_string(tally.tried) + " | " +
                 std::to_string(tally.old_slot) + " | " + std::to_string(tally.new_slot) + " | " +
                 tally.not_booting_text() + " | " + std::to_string(tally.boot_loader_window) +
                 " (" + std::to_string(tally.boot_loader_window_not_booting) + " not booting) | " +
                 std::to_string(completed) + " of " + std::to_string(retried) + " |");
}

// Given an I/O error at one operation (each operation of an undisturbed run
// in turn), or a failing status of one shell command, the tool either
// reports success with the run complete, or reports failure with a camera
// that boots.
TEST_P(InjectedErrorCampaign, NoErrorIsReportedAsSuccessAndTheCameraBoots) {
  std::vector<std::string> shell;
  const std::vector<Operation> operations = camera_->trace_operations(&shell);
  const std::vector<Operation> tried = operations_to_try(operations);
  // An error while the boot-loader partition is written can leave it
  // broken, and it has no second copy: such errors are counted apart.
  const Window window = boot_loader_window(operations);
  std::vector<std::pair<std::string, bool>> faults;  // rule, in the window
  for (const Operation& o : tried)
    faults.push_back({"fail " + std::string(platform::sim::op_kind_name(o.op)) + " " + o.path +
                          " " + std::to_string(o.nth) + " EIO",
                      window.contains(o.index)});
  std::set<std::string> words;
  for (const std::string& command : shell)
    if (command.rfind("# ", 0) != 0) words.insert(command.substr(0, command.find(' ')));
  for (const std::string& word : words) faults.push_back({"status " + word + " 1", false});

  Tally tally;
  uint64_t absorbed = 0;
  for (const auto& [fault, in_window] : faults) {
    TempDir root;
    camera_->copy_to(root);
    std::string err;
    const int status = camera_->run_here(root, fault + "\n", &err);
    ASSERT_EQ(err.find(root.file("faults")), std::string::npos) << err;
    if (status == 0) {
      const BootOutcome outcome = boot_camera(root.path());
      ++tally.tried;
      ++tally.reported_success;
      if (camera_->is_complete(outcome)) {
        ++absorbed;
      } else {
        ++tally.success_but_incomplete;
        tally.miss(fault + ": reported success, " + outcome.describe());
      }
      continue;
    }
    if (in_window) ++tally.boot_loader_window;
    if (!judge(root, &tally, in_window))
      tally.miss(fault + ": status " + std::to_string(status) + ", " +
                 boot_camera(root.path()).describe());
  }
  EXPECT_EQ(tally.success_but_incomplete, 0u) << joined(tally.misses);
  EXPECT_EQ(tally.not_booting_total(), 0u) << joined(tally.misses);
  record_figures("| " + GetParam().name + " | " + std::to_string(operations.size()) + " | " +
                 std::to_string(tried.size()) + " + " + std::to_string(words.size()) + " | " +
                 std::to_string(absorbed) + " | " + std::to_string(tally.success_but_incomplete) +
                 " | " + std::to_string(tally.old_slot) + " | " + std::to_string(tally.new_slot) +
                 " | " + tally.not_booting_text() + " | " +
                 std::to_string(tally.boot_loader_window) + " (" +
                 std::to_string(tally.boot_loader_window_not_booting) + " not booting) |");
}

INSTANTIATE_TEST_SUITE_P(Reliability, PowerCutCampaign, ::testing::ValuesIn(scenarios()),
                         scenario_name);
INSTANTIATE_TEST_SUITE_P(Reliability, InjectedErrorCampaign, ::testing::ValuesIn(scenarios()),
                         scenario_name);

}  // namespace
}  // namespace reliability
