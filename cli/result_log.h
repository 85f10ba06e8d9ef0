// Installation outcomes: their messages and the 512-byte result log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace cli {

inline constexpr char kResultLogPath[] = "/mnt/nand/upfw.log";

// Formats the message for `code` into `message` ("%s\n" for a named code,
// the hexadecimal error code otherwise).
void format_result_message(int32_t code, char* message, size_t size);

// Writes the two 256-byte records (code, message) to the result log and the
// message to standard error: the byte count of the second write, or -1.
int write_upfw_log(platform::Platform& platform, int32_t code, const char* message);

}  // namespace cli
