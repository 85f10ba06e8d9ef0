// update-sim: the tool on the simulated camera rooted at $UPDATE_SIM_ROOT.
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "cli/run.h"
#include "platform/output.h"
#include "platform/sim/sim_platform.h"

int main(int argc, char** argv) {
  platform::FdStream out(1);
  platform::FdStream err(2);
  const char* root = std::getenv("UPDATE_SIM_ROOT");
  if (root == nullptr || *root == '\0') {
    platform::put(err, "update-sim: UPDATE_SIM_ROOT is not set\n");
    return 2;
  }
  // The host's own / would put the simulation on the machine's real devices.
  char resolved[PATH_MAX];
  if (realpath(root, resolved) != nullptr && resolved[0] == '/' && resolved[1] == '\0') {
    platform::put(err, "update-sim: UPDATE_SIM_ROOT must not be /\n");
    return 2;
  }
  platform::sim::SimPlatform sim(root, out, err);
  // Its reason is printed: a run with half its faults would test nothing.
  if (!sim.faults_valid()) return 2;
  // The camera loses power: no destructor, no result log, no further
  // output. Console output is unbuffered, so nothing is pending.
  sim.set_power_cut_handler([](uint64_t) { _exit(99); });
  return cli::run_update(argc, argv, sim);
}
