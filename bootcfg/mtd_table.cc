#include "bootcfg/mtd_table.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace bootcfg {
namespace {

// The longest device name that fits behind "/dev/" in a 32-byte field.
constexpr size_t kMaxDeviceName = sizeof(MtdDevice::path) - 1 - 5;
// Lines are read in pieces of at most this many characters.
constexpr size_t kLinePiece = 1023;

// The device name of the first output line that mentions `name`; empty when
// none does, or when that line names no device that fits the path field.
std::string device_for(std::string_view output, std::string_view name) {
  while (!output.empty()) {
    size_t end = output.find('\n');
    size_t length = end == std::string_view::npos ? output.size() : end + 1;
    if (length > kLinePiece) length = kLinePiece;
    std::string_view line = output.substr(0, length);
    output.remove_prefix(length);
    if (line.find(name) == std::string_view::npos) continue;
    size_t colon = line.find(':');
    // A device we cannot name exactly is treated as missing, never guessed.
    if (colon == std::string_view::npos || colon > kMaxDeviceName) return {};
    return std::string(line.substr(0, colon));
  }
  return {};
}

}  // namespace

int get_mtd_info(platform::Platform& p, MtdDeviceTable* table) {
  std::memset(table, 0, sizeof *table);
  for (size_t i = 0; i < kPartitionCount; ++i) {
    MtdDevice& row = table->rows[i];
    std::snprintf(row.name, sizeof row.name, "%s", kPartitionNames[i]);
    char command[128];
    std::snprintf(command, sizeof command, "cat %s | grep %s \n", "/proc/mtd", kPartitionNames[i]);
    std::string output;
    if (p.run_pipe(command, &output) != 0) {
      platform::print_error(p.err(), "popen /proc/mtd");
      return -1;
    }
    std::string device = device_for(output, kPartitionNames[i]);
    std::snprintf(row.path, sizeof row.path, "/dev/%s", device.c_str());
  }
  return 0;
}

}  // namespace bootcfg
