// The cameras, images and runs of the reliability campaigns: a small camera
// whose running slot holds a complete system of generation 1, an image of
// generation 2, and update-sim run on fresh copies of it with one fault each.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "tests/reliability/boot_model.h"
#include "tests/support/sim_camera.h"

namespace reliability {

// One thing done to a camera, and the camera it is done to.
struct Scenario {
  std::string name;
  std::vector<std::string> camera_args = {};  // added to mkcamera's
  std::vector<std::string> tool_args = {};    // update-sim's
  // The image's boot loader is a newer build of the installed one, so the
  // installation writes it.
  bool newer_boot_loader = false;
  // Slot 2 holds a complete system of generation 2 before the run.
  bool both_slots = false;
  // What a camera boots when the run did all it should.
  int expected_slot = 2;
  uint32_t expected_generation = 2;
  // A variable the run sets, checked in the environment the loader takes.
  std::string variable = {};
  std::string value = {};
};

// Test names and failure messages show a scenario by its name.
inline void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

// The operations update-sim makes in one run, in order.
struct Operation {
  platform::sim::OpKind op;
  std::string path;
  uint64_t nth;  // this is the nth operation of its kind on its path
  size_t index;  // its place in the run, from 0
};

// Where a run writes the boot-loader partition: from its first erase or
// write of /dev/mtd0 to its last, as places in the run (empty when it does
// not write it).
struct Window {
  size_t first = 1;
  size_t last = 0;
  bool contains(size_t index) const { return index >= first && index <= last; }
};
Window boot_loader_window(const std::vector<Operation>& trace);

class CampaignCamera {
 public:
  explicit CampaignCamera(const Scenario& scenario);

  const Scenario& scenario() const { return scenario_; }
  const std::string& template_root() const { return template_.path(); }
  // Replaces everything in `root` with a copy of the untouched camera.
  void copy_to(const testing_support::TempDir& root) const;
  // update-sim with the scenario's arguments on `root`, with `faults` (one
  // rule a line) in R/faults unless empty.
  testing_support::ProgramResult run(const testing_support::TempDir& root,
                                     const std::string& faults) const;
  // The same run inside this process: its exit status, with what it wrote
  // to standard error in *err.
  int run_here(const testing_support::TempDir& root, const std::string& faults,
               std::string* err) const;
  // The operations of an undisturbed run, seen in-process on a copy, and
  // the shell commands it ran.
  std::vector<Operation> trace_operations(std::vector<std::string>* shell_commands) const;

  // Whether the camera at `root` holds what a complete run leaves, and
  // whether it holds what it held before (both can be true for a run that
  // changes nothing the loader looks at).
  bool is_complete(const BootOutcome& outcome) const;
  bool is_untouched(const BootOutcome& outcome) const;

 private:
  void write_component(const std::string& device, const std::string& bytes) const;

  Scenario scenario_;
  testing_support::TempDir work_;
  testing_support::TempDir template_;
};

// The operations an injected-error campaign tries: all of them, except
// inside a run of like operations (the same kind on the same path, in a
// pattern of one or two operations, such as the page reads and writes of a
// partition) where every eighth is tried. The first and last of each run
// are always tried, so every change from one step of the tool to the next
// is.
std::vector<Operation> operations_to_try(const std::vector<Operation>& trace);

// The figures of one campaign, with the cases that miss the goal.
struct Tally {
  uint64_t tried = 0;
  uint64_t old_slot = 0;
  uint64_t new_slot = 0;
  std::map<std::string, uint64_t> not_booting;  // by stage
  uint64_t boot_loader_window = 0;              // cuts while the boot-loader partition is written
  uint64_t boot_loader_window_not_booting = 0;
  uint64_t reported_success = 0;  // injected errors: the tool said 0
  uint64_t success_but_incomplete = 0;
  std::vector<std::string> misses;  // described, the first few only

  void miss(const std::string& text);
  uint64_t not_booting_total() const;
  // "stage: count, ..." or "0".
  std::string not_booting_text() const;
};

// Appends one line to the file named by RELIABILITY_FIGURES, when set.
void record_figures(const std::string& line);

}  // namespace reliability
