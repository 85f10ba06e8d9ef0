#include "bootenv/flash_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "platform/output.h"

namespace bootenv {
namespace {

int64_t align_down(int64_t position, int64_t block) {
  const int64_t rest = position % block;
  return position - (rest < 0 ? rest + block : rest);
}

// Top of the range reserved for the row: no access may reach past it.
int64_t range_top(const BootEnvDevice& row) {
  const int64_t block = row.erase_block_size;
  return align_down(row.offset, block) + static_cast<int64_t>(row.block_count) * block;
}

// A short transfer leaves errno as it was; name it an I/O error in the report.
void note_short_transfer(ssize_t result) {
  if (result >= 0) errno = EIO;
}

void report(platform::Platform& p, const char* format, const char* path) {
  platform::print(p.err(), format, path, std::strerror(errno));
}

}  // namespace

int bootenv_flash_access(EnvStore& store, int open_mode) {
  platform::Platform& p = store.platform_;
  const BootEnvDevice& current = store.devices_.rows[store.current_copy_];
  const int fd = p.open(current.path, open_mode);
  if (fd < 0) {
    report(p, "Can't open %s: %s\n", current.path);
    return -1;
  }

  int result = -1;
  if ((open_mode & O_ACCMODE) == O_RDONLY) {
    result = bootenv_read_copy(store, fd);
  } else if (store.two_copies_) {
    const int target_row = 1 - store.current_copy_;
    const BootEnvDevice& target = store.devices_.rows[target_row];
    const int target_fd = p.open(target.path, O_RDWR);
    if (target_fd < 0) {
      report(p, "Can't open %s: %s\n", target.path);
    } else {
      // The target copy goes first; the current copy, written last, is what a
      // save reports, so the store always has one copy it can load.
      const uint8_t loaded_flag = store.flag();
      const bool target_written = bootenv_write_copy(store, fd, target_fd, target_row) == 0;
      // With the target not written it may still hold an older valid copy.
      // The current copy then keeps the counter it won against that copy
      // with: two raises would lead by three across the wrap (255 against a
      // stale 253, say), and the loader would take the old copy. Marking the
      // current copy obsolete would likewise hand over to the old target.
      if (!target_written && store.flag_scheme_ == FLAG_SCHEME_COUNTER && store.buffer_.size() > 4)
        store.buffer_[4] = static_cast<uint8_t>(loaded_flag - 1);
      result = write_copy(store, fd, fd, store.current_copy_, target_written) < 0 ? -1 : 0;
      if (p.close(target_fd) != 0) {
        report(p, "I/O error on %s: %s\n", target.path);
        result = -1;
      }
    }
  } else {
    bootenv_write_copy(store, fd, fd, store.current_copy_);
    result = bootenv_write_copy(store, fd, fd, store.current_copy_) < 0 ? -1 : 0;
  }

  if (p.close(fd) != 0) {
    report(p, "I/O error on %s: %s\n", current.path);
    return -1;
  }
  return result;
}

int bootenv_read_copy(EnvStore& store, int fd) {
  platform::Platform& p = store.platform_;
  BootEnvDevice& row = store.devices_.rows[store.current_copy_];
  platform::MtdInfo info;
  if (p.mtd_get_info(fd, &info) != 0) {
    platform::print_error(p.err(), "Cannot get MTD information");
    return -1;
  }
  if (info.type != platform::kMtdNorFlash && info.type != platform::kMtdNandFlash) {
    platform::print(p.err(), "Unsupported flash type %u\n", static_cast<unsigned>(info.type));
    return -1;
  }
  row.flash_type = info.type;
  if (store.buffer_.size() < row.copy_size) return -1;
  const int64_t n =
      mtd_read_skip_bad(p, row, fd, store.buffer_.data(), row.copy_size, row.offset, info.type);
  return n == static_cast<int64_t>(row.copy_size) ? 0 : -1;
}

int bootenv_write_copy(EnvStore& store, int current_fd, int target_fd, int target_row) {
  return write_copy(store, current_fd, target_fd, target_row, true);
}

int write_copy(EnvStore& store, int current_fd, int target_fd, int target_row,
               bool mark_current_obsolete) {
  platform::Platform& p = store.platform_;
  std::vector<uint8_t>& buffer = store.buffer_;
  if (store.two_copies_ && buffer.size() > 4) {
    switch (store.flag_scheme_) {
      case FLAG_SCHEME_NONE:
        break;
      case FLAG_SCHEME_MARK:
        buffer[4] = ACTIVE_FLAG_VALUE;
        break;
      case FLAG_SCHEME_COUNTER:
        buffer[4] = static_cast<uint8_t>(buffer[4] + 1);
        break;
    }
  }

  const BootEnvDevice& current = store.devices_.rows[store.current_copy_];
  const BootEnvDevice& target = store.devices_.rows[target_row];
  const size_t count = current.copy_size;
  if (buffer.size() < count) return -1;
  const int64_t written = mtd_write_skip_bad(p, target, target_fd, buffer.data(), count,
                                             target.offset, target.flash_type);
  if (written < 0) return static_cast<int>(written);

  // NOR flash can clear the old copy's flag byte in place, without an erase.
  if (store.flag_scheme_ == FLAG_SCHEME_MARK && mark_current_obsolete)
    bootenv_mark_obsolete(p, current, current_fd, static_cast<int64_t>(current.offset) + 4);
  return 0;
}

ssize_t bootenv_mark_obsolete(platform::Platform& p, const BootEnvDevice& row, int fd,
                              int64_t position) {
  const int64_t seek = p.lseek(fd, position, SEEK_SET);
  if (seek < 0) {
    platform::print(p.err(), "Cannot seek to set the flag on %s \n", row.path);
    return static_cast<ssize_t>(seek);
  }
  const uint8_t obsolete = OBSOLETE_FLAG_VALUE;
  const ssize_t result = p.write(fd, &obsolete, 1);
  if (result != 1) {
    note_short_transfer(result);
    platform::print_error(p.err(), "Could not set obsolete flag");
  }
  return result;
}

int mtd_block_bad(platform::Platform& p, int fd, uint8_t flash_type, int64_t block_start) {
  if (flash_type != platform::kMtdNandFlash) return 0;
  const int bad = p.mtd_get_bad_block(fd, block_start);
  if (bad < 0) platform::print_error(p.err(), "Cannot read bad block mark");
  return bad;
}

int64_t mtd_read_skip_bad(platform::Platform& p, const BootEnvDevice& row, int fd, uint8_t* buffer,
                          size_t count, int64_t offset, uint8_t flash_type) {
  const int64_t block_length = row.erase_block_size;
  if (block_length <= 0) return -1;
  const int64_t total = static_cast<int64_t>(count);
  int64_t block_start = align_down(offset, block_length);
  int64_t block_seek = offset - block_start;
  int64_t read_length = total;
  int64_t step = 0;
  int64_t top = 0;
  if (flash_type == platform::kMtdNandFlash) {
    step = block_length;
    top = range_top(row);
    // One read never crosses an erase block.
    read_length = std::min(read_length, block_length - block_seek);
  } else {
    top = offset + total;
  }

  int64_t processed = 0;
  while (processed < total) {
    const int bad = mtd_block_bad(p, fd, flash_type, block_start);
    if (bad < 0) return -1;
    if (block_start + block_seek + read_length > top) {
      platform::put(p.err(), "Too few good blocks within range\n");
      return -1;
    }
    if (bad > 0) {
      block_start += step;
      continue;
    }
    // A read from the wrong place could pass for the copy; do not read at all.
    if (p.lseek(fd, block_start + block_seek, SEEK_SET) < 0) {
      report(p, "Seek error on %s: %s\n", row.path);
      return -1;
    }
    const ssize_t n = p.read(fd, buffer + processed, static_cast<size_t>(read_length));
    if (n != read_length) {
      note_short_transfer(n);
      report(p, "Read error on %s: %s\n", row.path);
      return -1;
    }
    processed += read_length;
    read_length = std::min(total - processed, step);
    block_seek = 0;
    block_start += step;
  }
  return processed;
}

int64_t mtd_write_skip_bad(platform::Platform& p, const BootEnvDevice& row, int fd,
                           const uint8_t* data, size_t count, int64_t offset, uint8_t flash_type) {
  const int64_t block_length = row.erase_block_size;
  if (block_length <= 0) return -1;
  const int64_t top = range_top(row);
  int64_t block_start = align_down(offset, block_length);
  int64_t block_seek = offset - block_start;
  const int64_t range_length = top - block_start;
  const int64_t total = static_cast<int64_t>(count);
  const int64_t write_total = (block_seek + total + block_length - 1) / block_length * block_length;
  // The blocks to rewrite must fit the reserved range, or the read-back of
  // the block contents would run past the work buffer.
  if (write_total > range_length) {
    platform::put(p.err(), "End of range reached, aborting\n");
    return -1;
  }

  const uint8_t* source = data;
  std::vector<uint8_t> work;
  if (write_total > total) {
    try {
      work.assign(static_cast<size_t>(range_length), 0);
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      platform::print(p.err(), "Cannot malloc %u bytes: %s\n", static_cast<unsigned>(range_length),
                      std::strerror(errno));
      return -1;
    }
    // Keep what the rest of each erase block holds.
    if (mtd_read_skip_bad(p, row, fd, work.data(), static_cast<size_t>(write_total), block_start,
                          flash_type) != write_total)
      return -1;
    std::memcpy(work.data() + block_seek, data, count);
    source = work.data();
  }

  // NAND goes block by block around bad blocks; NOR takes one pass over
  // exactly the blocks that were read, never bytes that were not.
  const bool nand = flash_type == platform::kMtdNandFlash;
  const int64_t pass_length = nand ? block_length : write_total;
  int64_t processed = 0;
  while (processed < write_total) {
    const int bad = mtd_block_bad(p, fd, flash_type, block_start);
    if (bad < 0) return bad;
    if (block_start + pass_length > top) {
      platform::put(p.err(), "End of range reached, aborting\n");
      return -1;
    }
    if (bad > 0) {
      block_start += block_length;
      continue;
    }
    const platform::EraseRange range{static_cast<uint32_t>(block_start),
                                     static_cast<uint32_t>(pass_length)};
    p.mtd_unlock(fd, range);  // NAND refuses it; protection is not ours to insist on
    if (p.mtd_erase(fd, range) != 0) {
      report(p, "MTD erase error on %s: %s\n", row.path);
      return -1;
    }
    if (p.lseek(fd, block_start, SEEK_SET) < 0) {
      report(p, "Seek error on %s: %s\n", row.path);
      return -1;
    }
    const ssize_t n = p.write(fd, source + processed, static_cast<size_t>(pass_length));
    if (n != pass_length) {
      note_short_transfer(n);
      report(p, "Write error on %s: %s\n", row.path);
      return -1;
    }
    p.mtd_lock(fd, range);
    processed += pass_length;
    block_seek = 0;
    block_start += pass_length;
  }
  return processed;
}

}  // namespace bootenv
