// Reading a written partition back, checking it and recording what it holds.
#pragma once

#include <cstdint>

#include "bootcfg/part_table.h"
#include "bootenv/bootenv.h"
#include "platform/platform.h"
#include "update/update_firmware.h"

namespace update {

// Reads `row.size` bytes back from `row.dev`, skipping bad blocks as the
// writer did, and compares their CRC-32 with `expected_crc`. On a match sets
// the record of partition `row.name` in *table to the row's name, size,
// version and date and stores it in the environment. 0, otherwise a code
// after its diagnostic:
//   2 device not opened, 3 MEMGETINFO failed, 4 geometry not accepted,
//   8 bad-block query failed, 12 a page not read whole, 13 the device ended
//   first, 14 checksum differs, 15 name not a partition name, 17 the record
//   could not be stored (the table record is already changed then).
// Before code 17 neither *table nor the environment is changed.
int nand_flash_verify_file(platform::Platform& platform, bootenv::EnvStore& env,
                           const UpdatePlanRow& row, uint32_t expected_crc,
                           bootcfg::PartTable* table);

}  // namespace update
