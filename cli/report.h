// The version and status reports.
#pragma once

#include "bootenv/bootenv.h"
#include "platform/platform.h"

namespace cli {

void print_version_info(platform::Platform& platform, bootenv::EnvStore& env);
// 0, or the negative result of printing the environment.
int show_uboot_info(platform::Platform& platform, bootenv::EnvStore& env);

}  // namespace cli
