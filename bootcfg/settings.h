// Setting single boot variables and switching the boot slot.
#pragma once

#include <cstdint>

#include "bootenv/bootenv.h"
#include "platform/platform.h"

namespace bootcfg {

// Stores `value` unchanged under `variable`: bootenv_assign's result.
int set_variable(bootenv::EnvStore& env, const char* variable, const char* value);
// Stores the delay in decimal under bootdelay.
int set_boot_delay(bootenv::EnvStore& env, uint8_t delay);
// Points bootcmd and bootargs at slot 1 or 2: 0, or negative.
int set_boot_slot(platform::Platform& platform, bootenv::EnvStore& env, unsigned slot);
// Switches to the slot and reboots: 0 once the reboot command returned 0.
int switch_system(platform::Platform& platform, bootenv::EnvStore& env, unsigned slot);

}  // namespace bootcfg
