// The run driver: one run of the tool, from loading the boot environment to
// the exit status.
#pragma once

#include "platform/platform.h"

namespace cli {

// Runs the tool with the given arguments on `platform` and returns the exit
// status (0-255). main() only hands over argv and the platform.
int run_update(int argc, char** argv, platform::Platform& platform);

}  // namespace cli
