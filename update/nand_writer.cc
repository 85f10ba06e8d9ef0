#include "update/nand_writer.h"

#include <fcntl.h>

#include <cstring>

namespace update {
namespace {

// One page buffer for the whole process: payloads move through it a page at
// a time, and it needs no allocation that could fail half-way.
uint8_t g_page_buffer[kMaxPageSize];

constexpr uint32_t kMaxPayload = 0x80000000u;

uint64_t block_start(uint64_t offset, uint32_t erasesize) {
  return offset & ~(static_cast<uint64_t>(erasesize) - 1);
}

// A positioned read that only stops short at the end of the file: the bytes
// read, or -1 with errno.
ssize_t pread_fully(platform::Platform& p, int fd, uint8_t* buffer, size_t count, uint64_t offset) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = p.pread(fd, buffer + done, count - done, static_cast<int64_t>(offset + done));
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Erases every good block, skipping the bad ones (an erase of a bad block
// fails, and a bad block must keep its marker). 0, or -1 after a report.
int erase_partition(platform::Platform& p, int fd, const platform::MtdInfo& info) {
  for (uint64_t start = 0; start < info.size; start += info.erasesize) {
    int bad = p.mtd_get_bad_block(fd, static_cast<int64_t>(start));
    if (bad < 0) {
      platform::print_error(p.err(), "MEMGETBADBLOCK");
      return -1;
    }
    if (bad > 0) continue;
    platform::EraseRange range{static_cast<uint32_t>(start), info.erasesize};
    if (p.mtd_erase(fd, range) != 0) {
      platform::print_error(p.err(), "MEMERASE");
      return -1;
    }
  }
  return 0;
}

}  // namespace

bool nand_geometry_accepted(const platform::MtdInfo& info) {
  bool pair = (info.writesize == 512 && info.oobsize == 16) ||
              (info.writesize == 256 && info.oobsize == 8) ||
              (info.writesize == 2048 && (info.oobsize == 64 || info.oobsize == 128));
  if (!pair) return false;
  // The block arithmetic of the bad-block walk and the erase needs these.
  uint32_t block = info.erasesize;
  return block >= info.writesize && (block & (block - 1)) == 0 && info.size % block == 0;
}

int skip_bad_blocks(platform::Platform& p, int fd, const platform::MtdInfo& info,
                    uint64_t* flash_offset, int64_t* last_block) {
  for (uint64_t start = block_start(*flash_offset, info.erasesize);
       static_cast<int64_t>(start) != *last_block;
       start = block_start(*flash_offset, info.erasesize)) {
    *last_block = static_cast<int64_t>(start);
    int bad = p.mtd_get_bad_block(fd, static_cast<int64_t>(start));
    if (bad < 0) {
      platform::print_error(p.err(), "ioctl get bad block");
      return -1;
    }
    if (bad > 0) {
      platform::print(p.err(), "Bad block at %x, %u block(s) from %x will be skipped\n",
                      static_cast<unsigned>(start), 1u, static_cast<unsigned>(start));
      *flash_offset = start + info.erasesize;
    }
  }
  return 0;
}

int open_nand_device(platform::Platform& p, const char* path, int flags,
                     platform::FileHandle& device, platform::MtdInfo* info) {
  device.adopt(p.open(path, flags));
  if (!device.valid()) {
    platform::print_error(p.err(), "open flash");
    return 2;
  }
  if (p.mtd_get_info(device.get(), info) != 0) {
    platform::print_error(p.err(), "MEMGETINFO");
    return 3;
  }
  if (!nand_geometry_accepted(*info)) {
    platform::put(p.err(), "Unknown flash (not normal NAND)\n");
    return 4;
  }
  return 0;
}

int nand_flash_write_file(platform::Platform& p, const char* path, const UpdatePlanRow& row) {
  platform::FileHandle dev(p, -1);
  platform::MtdInfo info;
  if (int code = open_nand_device(p, row.dev, O_RDWR, dev, &info); code != 0) return code;
  platform::FileHandle input(p, p.open(path, O_RDONLY));
  if (!input.valid()) {
    platform::put(p.err(), "open input file.\n");
    return 5;
  }

  const uint32_t page = info.writesize;
  uint32_t remaining = row.size;
  if (row.pad == 0 && remaining % page != 0) {
    platform::put(p.err(), "file is not page aligned.\n");
    return 6;
  }
  // Bad blocks and a partial last page are not counted: the write loop
  // reports a payload that still runs out of flash.
  if (remaining >= kMaxPayload ||
      static_cast<uint64_t>(remaining / page) * info.writesize > info.size) {
    platform::print(p.err(),
                    "Image %d bytes, NAND page %d bytes, OOB area %u bytes, device size %u bytes\n",
                    static_cast<int>(remaining), static_cast<int>(page), info.oobsize, info.size);
    platform::put(p.err(), "Input file does not fit into device!\n");
    return 7;
  }

  if (erase_partition(p, dev.get(), info) != 0) {
    platform::put(p.err(), "Fail on erase mtd device!\n");
    return 1;
  }

  std::memset(g_page_buffer, 0, sizeof g_page_buffer);
  uint64_t flash_offset = 0;
  uint64_t file_offset = row.offset;
  int64_t last_block = -1;
  while (remaining != 0 && flash_offset < info.size) {
    if (skip_bad_blocks(p, dev.get(), info, &flash_offset, &last_block) != 0) return 8;
    size_t length = page;
    if (row.pad != 0 && remaining < page) {
      length = remaining;
      std::memset(g_page_buffer + length, 0xFF, page - length);
    }
    ssize_t got = pread_fully(p, input.get(), g_page_buffer, length, file_offset);
    if (got == 0) {
      platform::put(p.err(), "read file return 0 size!\n");
      break;
    }
    if (got != static_cast<ssize_t>(length)) {
      platform::put(p.err(), "File I/O error on input file.\n");
      return 9;
    }
    ssize_t written =
        p.pwrite(dev.get(), g_page_buffer, info.writesize, static_cast<int64_t>(flash_offset));
    if (written != static_cast<ssize_t>(info.writesize)) {
      platform::put(p.err(), "Pwrite file to mtd fail.\n");
      return 10;
    }
    remaining -= static_cast<uint32_t>(length);
    flash_offset += info.writesize;
    file_offset += info.writesize;
  }
  input.reset();
  dev.reset();
  if (remaining > 0) {
    platform::put(p.err(), "Data was only partially written due to error\n");
    return 11;
  }
  p.sync_filesystems();
  return 0;
}

}  // namespace update
