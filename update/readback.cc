#include "update/readback.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "image/crc32.h"
#include "update/nand_writer.h"

namespace update {

int nand_flash_verify_file(platform::Platform& p, bootenv::EnvStore& env, const UpdatePlanRow& row,
                           uint32_t expected_crc, bootcfg::PartTable* table) {
  platform::FileHandle dev(p, -1);
  platform::MtdInfo info;
  if (int code = open_nand_device(p, row.dev, O_RDONLY, dev, &info); code != 0) return code;

  uint8_t page[kMaxPageSize];
  const uint32_t image_length = row.size;
  uint32_t remaining = image_length;
  uint32_t crc = 0;
  uint64_t flash_offset = 0;
  int64_t last_block = -1;
  while (remaining != 0 && flash_offset < info.size) {
    if (skip_bad_blocks(p, dev.get(), info, &flash_offset, &last_block) != 0) return 8;
    ssize_t got = p.pread(dev.get(), page, info.writesize, static_cast<int64_t>(flash_offset));
    if (got != static_cast<ssize_t>(info.writesize)) {
      platform::print_error(p.err(), "pread mtd");
      return 12;
    }
    // The writer's 0xFF fill of a partial last page is not payload.
    uint32_t counted = remaining < info.writesize ? remaining : info.writesize;
    crc = image::crc32(crc, page, counted);
    remaining -= counted;
    flash_offset += info.writesize;
  }
  dev.reset();
  if (remaining > 0) {
    platform::put(p.err(), "Data was only partially read due to error\n");
    return 13;
  }

  platform::print(p.out(), "image_length = 0x%08x\n", image_length);
  platform::print(p.out(), "image_crc = 0x%08x, 0x%08x\n", crc, expected_crc);
  if (crc != expected_crc) {
    platform::put(p.err(), "Check flash data crc failed. \n");
    return 14;
  }

  // A name field without its terminator names no partition.
  bool terminated = std::memchr(row.name, '\0', sizeof row.name) != nullptr;
  int index = terminated ? bootcfg::partition_index(row.name) : -1;
  if (index < 0) {
    platform::put(p.err(), "Not valid image, has write img,but no update env!\n");
    return 15;
  }
  bootcfg::FirmwareRecord& record = table->records[index];
  std::snprintf(record.name, sizeof record.name, "%s", bootcfg::kPartitionNames[index]);
  record.size = image_length;
  record.version = row.version;
  record.date = row.date;
  if (bootcfg::flprog_set_firmware_info(env, record) < 0) {
    platform::put(p.err(), "set firmware info  faild!\n");
    return 17;
  }
  return 0;
}

}  // namespace update
