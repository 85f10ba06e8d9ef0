// Any text as /proc/mtd: every row of the device table is a terminated
// "/dev/..." path naming a device taken from the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "bootcfg/mtd_table.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzzing::write_file("proc/mtd", text);
  fuzzing::Camera camera;
  bootcfg::MtdDeviceTable table;
  if (bootcfg::get_mtd_info(camera.sim, &table) != 0) return 0;
  for (size_t i = 0; i < bootcfg::kPartitionCount; ++i) {
    const bootcfg::MtdDevice& row = table.rows[i];
    if (std::memchr(row.path, '\0', sizeof row.path) == nullptr ||
        std::memchr(row.name, '\0', sizeof row.name) == nullptr)
      fuzzing::broken("device row not terminated");
    if (std::strncmp(row.path, "/dev/", 5) != 0) fuzzing::broken("device path outside /dev/");
    if (std::strcmp(row.name, bootcfg::kPartitionNames[i]) != 0)
      fuzzing::broken("row names another partition");
    // A device is taken only from the text (a zero byte in a line ends the
    // name there).
    const std::string device = row.path + 5;
    if (!device.empty() && text.find(device) == std::string::npos)
      fuzzing::broken("device not listed");
  }
  return 0;
}
