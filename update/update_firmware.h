// Installation of an upgrade image into the slot that is not running.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bootcfg/part_table.h"
#include "bootenv/bootenv.h"
#include "image/image.h"
#include "platform/platform.h"

namespace update {

// What to write where: one partition of an installation, handed to the NAND
// writer and to the read-back.
struct UpdatePlanRow {
  char dev[32];      // MTD device path of the target partition
  char name[32];     // partition name; keys the firmware record after read-back
  uint32_t offset;   // payload position in the image file
  uint32_t size;     // payload length in bytes
  uint32_t flag;     // printed only
  uint32_t addr;     // printed only
  uint32_t version;  // a.b.c.d, recorded for the partition
  uint32_t date;     // year << 16 | month << 8 | day, recorded for the partition
  int pad;           // 1: fill a partial last page with 0xFF
};

// Row k belongs to image entry k; a row is written only when selected.
struct UpdatePlan {
  uint8_t selected[image::kEntryCount];
  UpdatePlanRow rows[image::kEntryCount];
};

// Result bits of a composed installation failure; the low eight bits carry
// the writer's or the read-back's code.
inline constexpr int32_t kResultWriteStage = 0x800;
inline constexpr int32_t kResultBootLoader = 0x100;
inline constexpr int32_t kResultKernel = 0x200;
inline constexpr int32_t kResultFileSystem = 0x400;

// The running slot from "ubi.mtd=fs1" / "ubi.mtd=fs2" in /proc/cmdline: 1, 2,
// or -1 when it cannot be told (after a perror-style report when the file
// cannot be opened).
int get_current_slot(platform::Platform& platform);

// Drops the page cache and syncs, both as shell commands: 0, or -1 after
// "clean memory failed! " when dropping failed (then nothing is synced).
int drop_caches(platform::Platform& platform);

// Whether a boot-loader entry is a newer build of the installed variant:
// it has a payload, the same third version number (bits 8-15) as the `uboot`
// record and a strictly greater version.
bool bootloader_entry_qualifies(const image::ImageEntry& entry,
                                const bootcfg::FirmwareRecord& uboot_record);

// The installation's outcome: 0, a negative named failure or a composed code
// (writer code | kResultWriteStage | partition bit, or read-back code |
// partition bit), or 18 when the boot arguments could not be stored. Nothing
// touches flash or the environment before the first planned row is written,
// and bootargs/bootcmd are stored only after every row was written and read
// back.
int32_t update_firmware(platform::Platform& platform, bootenv::EnvStore& env, const char* path);

}  // namespace update
