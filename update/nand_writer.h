// Writing one payload of an upgrade image into a NAND partition, and the
// bad-block walk that the read-back shares with it.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "update/update_firmware.h"

namespace update {

// The largest page of an accepted geometry.
inline constexpr uint32_t kMaxPageSize = 2048;

// Whether the device is a NAND flash the writer handles: one of the page and
// out-of-band size pairs 512/16, 256/8, 2048/64 and 2048/128, with erase
// blocks that are a power of two of at least one page and a device of whole
// erase blocks.
bool nand_geometry_accepted(const platform::MtdInfo& info);

// Opens the partition `path` with `flags` into `device` and reads its
// geometry into *info: 0, or 2 (not opened), 3 (MEMGETINFO failed) or 4
// (geometry not accepted) after the diagnostic.
int open_nand_device(platform::Platform& platform, const char* path, int flags,
                     platform::FileHandle& device, platform::MtdInfo* info);

// Moves *flash_offset past every bad erase block it lands in, asking
// MEMGETBADBLOCK once for each block entered (*last_block holds the start of
// the block last asked about, -1 for none) and reporting each skipped block.
// 0, or -1 after the perror-style "ioctl get bad block" report.
int skip_bad_blocks(platform::Platform& platform, int fd, const platform::MtdInfo& info,
                    uint64_t* flash_offset, int64_t* last_block);

// Erases every good block of the partition from `row.dev`, then writes the
// payload (`row.size` bytes from `row.offset` of the image at `path`) page by
// page onto the good blocks from the start of the partition. 0 when every byte
// is on the flash, otherwise a code 1-11 after its diagnostic:
//   1 erase failed, 2 device not opened, 3 MEMGETINFO failed, 4 geometry not
//   accepted, 5 image not opened, 6 not whole pages without `pad`, 7 does not
//   fit (or 2^31 bytes or more), 8 bad-block query failed, 9 short read or
//   read error on the image, 10 short write on the device, 11 the device or
//   the image ended before the payload did.
// Codes 2-7 leave the partition untouched.
int nand_flash_write_file(platform::Platform& platform, const char* path, const UpdatePlanRow& row);

}  // namespace update
