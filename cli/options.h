// The command line: option table, parser and usage text.
#pragma once

#include <cstdint>

#include "bootenv/bootenv.h"
#include "platform/platform.h"

namespace cli {

inline constexpr char kDefaultImagePath[] = "/dev/shm/updateFM.bin";
inline constexpr char kToolVersion[] = "0.1.0.2";

// What the mode options asked for; filled by parse_command_line.
struct RunOptions {
  uint8_t upfw = 0;
  uint8_t analysis = 0;
  uint8_t list = 0;
  char image_path[128] = "/dev/shm/updateFM.bin";
};

// Walks the arguments, acting on report and setting options as they come.
// Returns 0, or -1 on an option error after printing the usage text; the
// caller then ends the run with status 255.
int parse_command_line(int argc, char** argv, platform::Platform& platform,
                       bootenv::EnvStore& env, RunOptions* options);

void print_usage(platform::Platform& platform);

}  // namespace cli
