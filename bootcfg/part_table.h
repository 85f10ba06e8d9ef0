// What the boot environment records about each partition, and the two boot
// variables that choose what boots next.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bootenv/bootenv.h"

namespace bootcfg {

inline constexpr size_t kPartitionCount = 10;
// At once environment keys of the records and partition names in /proc/mtd.
inline constexpr const char* kPartitionNames[kPartitionCount] = {
    "uboot", "env1", "env2", "ker1", "ker2", "fs1", "fs2", "cfg", "oem", "rsd"};

enum PartitionIndex : size_t {
  kUboot = 0,
  kEnv1 = 1,
  kEnv2 = 2,
  kKer1 = 3,
  kKer2 = 4,
  kFs1 = 5,
  kFs2 = 6,
};

// What was last written to a partition; stored as
// "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ".
struct FirmwareRecord {
  char name[32];
  uint32_t size;
  uint32_t version;
  uint32_t date;
};

struct PartTable {
  FirmwareRecord records[kPartitionCount];
  char bootargs[512];
  char bootcmd[512];
};

// Index of a partition name in the list, or -1.
int partition_index(const char* name);

// Scans a record text; a text not starting with "name:" leaves the record
// zero, and fields after the first mismatch stay zero.
void parse_firmware_record(const char* text, FirmwareRecord* record);
// Formats the record text into `text` (at most 127 characters).
void format_firmware_record(const FirmwareRecord& record, char (&text)[128]);

// Fills the table from the environment: 0, or -1 when a stored bootargs or
// bootcmd does not fit its field (cutting it would store a broken one later).
int flprog_get_part_table(bootenv::EnvStore& env, PartTable* table);
// Stores the record under its own name: bootenv_assign's result.
int flprog_set_firmware_info(bootenv::EnvStore& env, const FirmwareRecord& record);
// Stores the non-empty boot fields with one save: 0 when nothing needed
// writing or the save succeeded, -1 otherwise.
int flprog_set_boot_args(bootenv::EnvStore& env, const PartTable& table);

}  // namespace bootcfg
