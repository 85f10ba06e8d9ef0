// Moving environment copies between the store and the MTD devices: whole
// erase blocks, read-modify-write, bad NAND blocks skipped.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "bootenv/bootenv.h"
#include "platform/platform.h"

namespace bootenv {

// O_RDONLY: reads the copy of row current_copy into the buffer. O_RDWR:
// writes the buffer to the other row first, then to row current_copy; the
// result is that of the current copy. 0 or -1, after a message.
int bootenv_flash_access(EnvStore& store, int open_mode);

// Learns the flash type of row current_copy from `fd` and reads the whole copy
// into the buffer: 0, or -1 after a message.
int bootenv_read_copy(EnvStore& store, int fd);

// Updates the in-memory flag byte by the flag scheme and writes the buffer to
// `target_row` through `target_fd`. With scheme 1 the copy on `current_fd`
// is then marked obsolete. 0, or negative when the write failed.
int bootenv_write_copy(EnvStore& store, int current_fd, int target_fd, int target_row);

// bootenv_write_copy, with the obsolete mark of scheme 1 left out when
// `mark_current_obsolete` is false.
int write_copy(EnvStore& store, int current_fd, int target_fd, int target_row,
               bool mark_current_obsolete);

// Overwrites the flag byte at `position` with OBSOLETE_FLAG_VALUE, without an
// erase: the result of the failed seek, or of the one-byte write.
ssize_t bootenv_mark_obsolete(platform::Platform& platform, const BootEnvDevice& row, int fd,
                              int64_t position);

// Negative (after a message) when the query failed, 0 for a good block,
// positive for a bad one. Only NAND is asked; other flash has no bad blocks.
int mtd_block_bad(platform::Platform& platform, int fd, uint8_t flash_type, int64_t block_start);

// Reads `count` bytes from `offset` of the row's range into `buffer`, skipping
// bad NAND blocks: `count`, or -1 after a message.
int64_t mtd_read_skip_bad(platform::Platform& platform, const BootEnvDevice& row, int fd,
                          uint8_t* buffer, size_t count, int64_t offset, uint8_t flash_type);

// Writes `count` bytes of `data` at `offset` of the row's range, erasing and
// rewriting whole erase blocks (the rest of a block keeps what it held) and
// skipping bad NAND blocks: the bytes covered by the written blocks (at least
// `count`), or negative after a message.
int64_t mtd_write_skip_bad(platform::Platform& platform, const BootEnvDevice& row, int fd,
                           const uint8_t* data, size_t count, int64_t offset, uint8_t flash_type);

}  // namespace bootenv
