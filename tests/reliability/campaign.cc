#include "tests/reliability/campaign.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "cli/run.h"

namespace reliability {
namespace {

using testing_support::ProgramResult;
using testing_support::run_program;
using testing_support::TempDir;

// Small partitions keep a copy of the camera cheap: the campaigns copy it
// once for every run.
const std::vector<std::string> kCameraArgs = {"--size", "ker=1M",     "--size", "fs=2M",
                                              "--size", "uboot=512k", "--size", "cfg=128k",
                                              "--size", "oem=128k",   "--size", "rsd=128k"};

// Component sizes: the file system spans two erase blocks, so a bad second
// block of fs2 lies inside it.
constexpr size_t kLoaderBody = 16 * 1024;
constexpr size_t kKernelBody = 40 * 1024;
constexpr size_t kFileSystemBody = 160 * 1024;

// mkcamera's device of each partition.
constexpr const char* kUbootDevice = "mtd0";
constexpr const char* kKer1Device = "mtd3";
constexpr const char* kKer2Device = "mtd4";
constexpr const char* kFs1Device = "mtd5";
constexpr const char* kFs2Device = "mtd6";

}  // namespace

CampaignCamera::CampaignCamera(const Scenario& scenario) : scenario_(scenario) {
  std::vector<std::string> args = kCameraArgs;
  args.insert(args.end(), scenario.camera_args.begin(), scenario.camera_args.end());
  args.push_back(template_.path());
  ProgramResult made = run_program(MKCAMERA_BINARY, args, "");
  if (made.status != 0) throw std::runtime_error("mkcamera: " + made.err);

  write_component(kUbootDevice, make_component("uboot", 1, kLoaderBody));
  write_component(kKer1Device, make_component("ker", 1, kKernelBody));
  write_component(kFs1Device, make_component("fs", 1, kFileSystemBody + 4096));
  if (scenario.both_slots) {
    write_component(kKer2Device, make_component("ker", 2, kKernelBody));
    write_component(kFs2Device, make_component("fs", 2, kFileSystemBody));
  }

  // The installed boot loader is recorded as 4.2.2.36.
  work_.write("uboot", make_component("uboot", 2, kLoaderBody));
  work_.write("ker", make_component("ker", 2, kKernelBody));
  work_.write("fs", make_component("fs", 2, kFileSystemBody));
  work_.write("tool", "#!/bin/sh\necho update tool\n");
  const std::string loader_version = scenario.newer_boot_loader ? "4.2.2.37" : "4.2.2.36";
  ProgramResult image =
      run_program(MKUPFW_BINARY,
                  {"-o", template_.file("dev/shm/updateFM.bin"), "-e",
                   "0:bld:" + loader_version + ":" + work_.file("uboot") + ":2022/5/6", "-e",
                   "1:ker:4.2.2.11:" + work_.file("ker") + ":2022/5/6", "-e",
                   "2:fs:40.7.0.81:" + work_.file("fs") + ":2022/5/6:0:1", "-e",
                   "3:cmd:0.1.0.3:" + work_.file("tool") + ":2022/5/6"},
                  "");
  if (image.status != 0) throw std::runtime_error("mkupfw: " + image.err);
}

// Puts `bytes` on the good blocks of the device from its start, as a
// factory programmer would have.
void CampaignCamera::write_component(const std::string& device, const std::string& bytes) const {
  const std::string path = template_.file("dev/" + device);
  platform::sim::Geometry geometry;
  std::string error;
  if (!platform::sim::parse_geometry(template_.read("dev/" + device + ".geometry"), path, &geometry,
                                     &error))
    throw std::runtime_error(error);
  std::string flash = template_.read("dev/" + device);
  size_t next = 0;
  for (size_t block = 0; next < bytes.size(); ++block) {
    const size_t start = block * geometry.erasesize;
    if (start >= flash.size()) throw std::runtime_error(device + ": component does not fit");
    if (geometry.bad.count(static_cast<uint32_t>(block)) != 0) continue;
    const size_t length = std::min<size_t>(geometry.erasesize, bytes.size() - next);
    flash.replace(start, length, bytes, next, length);
    next += length;
  }
  template_.write("dev/" + device, flash);
}

void CampaignCamera::copy_to(const TempDir& root) const {
  namespace fs = std::filesystem;
  for (const auto& entry : fs::directory_iterator(root.path())) fs::remove_all(entry.path());
  fs::copy(template_.path(), root.path(), fs::copy_options::recursive);
}

ProgramResult CampaignCamera::run(const TempDir& root, const std::string& faults) const {
  if (!faults.empty()) root.write("faults", faults);
  return run_program(UPDATE_SIM_BINARY, scenario_.tool_args, root.path());
}

namespace {

// argv for the tool: "update-sim" and the scenario's arguments.
struct Arguments {
  explicit Arguments(const std::vector<std::string>& tool_args) : text({"update-sim"}) {
    text.insert(text.end(), tool_args.begin(), tool_args.end());
    for (std::string& arg : text) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(text.size()); }
  char** argv() { return pointers.data(); }

  std::vector<std::string> text;
  std::vector<char*> pointers;
};

}  // namespace

int CampaignCamera::run_here(const TempDir& root, const std::string& faults,
                             std::string* err) const {
  if (!faults.empty()) root.write("faults", faults);
  platform::StringStream out;
  platform::StringStream errors;
  platform::sim::SimPlatform sim(root.path(), out, errors);
  Arguments args(scenario_.tool_args);
  const int status = sim.faults_valid() ? cli::run_update(args.argc(), args.argv(), sim) : 2;
  *err = errors.text();
  return status;
}

std::vector<Operation> CampaignCamera::trace_operations(
    std::vector<std::string>* shell_commands) const {
  TempDir root;
  copy_to(root);
  platform::StringStream out;
  platform::StringStream err;
  platform::sim::SimPlatform sim(root.path(), out, err);
  std::vector<Operation> operations;
  std::map<std::pair<platform::sim::OpKind, std::string>, uint64_t> seen;
  sim.set_operation_observer([&](platform::sim::OpKind op, const std::string& path) {
    operations.push_back({op, path, ++seen[{op, path}], operations.size()});
  });
  Arguments args(scenario_.tool_args);
  const int status = cli::run_update(args.argc(), args.argv(), sim);
  if (status != 0) throw std::runtime_error("undisturbed run failed: " + err.text());
  std::istringstream lines(root.read("shell.log"));
  for (std::string line; std::getline(lines, line);) shell_commands->push_back(line);
  return operations;
}

Window boot_loader_window(const std::vector<Operation>& trace) {
  Window window;
  for (const Operation& o : trace) {
    if (o.path != "/dev/mtd0" ||
        (o.op != platform::sim::OpKind::kErase && o.op != platform::sim::OpKind::kWrite))
      continue;
    if (window.first > window.last) window.first = o.index;
    window.last = o.index;
  }
  return window;
}

std::vector<Operation> operations_to_try(const std::vector<Operation>& trace) {
  auto same = [&](size_t a, size_t b) {
    return trace[a].op == trace[b].op && trace[a].path == trace[b].path;
  };
  std::vector<Operation> chosen;
  for (size_t i = 0; i < trace.size(); ++i) {
    bool inside = false;
    for (size_t period : {1, 2})
      if (i >= period && i + period < trace.size() && same(i - period, i) && same(i, i + period))
        inside = true;
    if (!inside || trace[i].nth % 8 == 0) chosen.push_back(trace[i]);
  }
  return chosen;
}

bool CampaignCamera::is_complete(const BootOutcome& outcome) const {
  if (!outcome.boots || outcome.slot != scenario_.expected_slot ||
      outcome.generation != scenario_.expected_generation)
    return false;
  if (scenario_.variable.empty()) return true;
  auto value = outcome.environment.find(scenario_.variable);
  return value != outcome.environment.end() && value->second == scenario_.value;
}

bool CampaignCamera::is_untouched(const BootOutcome& outcome) const {
  if (!outcome.boots || outcome.slot != 1 || outcome.generation != 1) return false;
  if (scenario_.variable.empty()) return true;
  auto value = outcome.environment.find(scenario_.variable);
  return value == outcome.environment.end() || value->second != scenario_.value;
}

void Tally::miss(const std::string& text) {
  if (misses.size() < 12) misses.push_back(text);
}

uint64_t Tally::not_booting_total() const {
  uint64_t total = 0;
  for (const auto& [stage, count] : not_booting) total += count;
  return total;
}

std::string Tally::not_booting_text() const {
  if (not_booting.empty()) return "0";
  std::string text;
  for (const auto& [stage, count] : not_booting)
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " at " + stage;
  return text;
}

void record_figures(const std::string& line) {
  const char* path = std::getenv("RELIABILITY_FIGURES");
  if (path == nullptr || *path == '\0') return;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  // One write, so lines of campaigns run side by side do not interleave.
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::close(fd);
}

}  // namespace reliability
