// Which /dev/mtdN device holds each named partition, from /proc/mtd.
#pragma once

#include "bootcfg/part_table.h"
#include "platform/platform.h"

namespace bootcfg {

struct MtdDevice {
  char path[32];  // "/dev/mtdN", or just "/dev/" when /proc/mtd lists no such name
  char name[32];
};

struct MtdDeviceTable {
  MtdDevice rows[kPartitionCount];
};

// 0, or -1 when a pipe cannot be started (the rows done so far stay filled).
int get_mtd_info(platform::Platform& platform, MtdDeviceTable* table);

}  // namespace bootcfg
