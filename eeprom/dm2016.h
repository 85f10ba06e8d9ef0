// The DM2016 identity EEPROM on I2C bus 2 and the chip information it holds.
#pragma once

#include <cstdint>

#include "bootenv/bootenv.h"
#include "platform/platform.h"

namespace eeprom {

inline constexpr char kChipInfoDefault[] = "VTC29H6301SA100E0110N00040000000";
inline constexpr unsigned kChipInfoLength = 32;

// A bus handle (non-negative), or negative after printing why not.
int dm2016_open(platform::Platform& platform);
void dm2016_close(platform::Platform& platform, int handle);
// Reads `count` bytes from `first` on: 0, -1 without a buffer, or the failed
// read's negative result.
int read_dm2016_eeprom(platform::Platform& platform, int handle, unsigned first, unsigned count,
                       uint8_t* buffer);
// 1 when the chip answers a read of address 0, 0 otherwise.
int dm2016_probe(platform::Platform& platform);
// Fills `buffer` (at least 33 bytes, cleared by the caller) with the chip
// information from the environment, the EEPROM or the default: 0, or -1
// without a buffer.
int get_chipinfo(platform::Platform& platform, bootenv::EnvStore& env, char* buffer);
// Stores the text as "chipinfo": 0 when it was stored and reads back equal.
int set_chipinfo(bootenv::EnvStore& env, const char* text);

}  // namespace eeprom
