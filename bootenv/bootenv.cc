#include "bootenv/bootenv.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "bootenv/flash_io.h"
#include "image/crc32.h"
#include "platform/output.h"

namespace bootenv {
namespace {

void fill_row(BootEnvDevice& row, const char* path) {
  std::snprintf(row.path, sizeof row.path, "%s", path);
  row.offset = 0;
  row.copy_size = 0x40000;
  row.erase_block_size = 0x80000;
  row.block_count = 1;
  row.flash_type = 0;
}

// A zero-filled copy buffer, or false after the message.
bool allocate_copy(platform::Platform& p, std::vector<uint8_t>& buffer, uint32_t size) {
  try {
    buffer.assign(size, 0);
    return true;
  } catch (const std::bad_alloc&) {
    platform::print(p.err(), "Not enough memory for environment (%ld bytes)\n",
                    static_cast<long>(size));
    return false;
  }
}

uint32_t stored_crc(const std::vector<uint8_t>& buffer) {
  if (buffer.size() < 4) return 0;
  return static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
         static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
}

bool copy_valid(const std::vector<uint8_t>& buffer, size_t data_offset) {
  if (buffer.size() <= data_offset) return false;
  return image::crc32(0, buffer.data() + data_offset, buffer.size() - data_offset) ==
         stored_crc(buffer);
}

// Both copies valid: which one is newer, by the flag bytes.
int choose_by_mark(uint8_t flag0, uint8_t flag1) {
  if (flag0 == ACTIVE_FLAG_VALUE && flag1 == OBSOLETE_FLAG_VALUE) return 0;
  if (flag0 == OBSOLETE_FLAG_VALUE && flag1 == ACTIVE_FLAG_VALUE) return 1;
  if (flag0 == flag1) return 0;
  if (flag0 == 0xFF) return 0;
  if (flag1 == 0xFF) return 1;
  return 0;
}

int choose_by_counter(uint8_t flag0, uint8_t flag1) {
  if (flag0 == 255 && flag1 == 0) return 1;
  if (flag1 == 255 && flag0 == 0) return 0;
  if (flag1 > flag0) return 1;
  return 0;
}

int choose_copy(FlagScheme scheme, uint8_t flag0, uint8_t flag1) {
  switch (scheme) {
    case FLAG_SCHEME_NONE:
      return 0;
    case FLAG_SCHEME_MARK:
      return choose_by_mark(flag0, flag1);
    case FLAG_SCHEME_COUNTER:
      return choose_by_counter(flag0, flag1);
  }
  return 0;
}

void use_default_environment(platform::Platform& p, std::vector<uint8_t>& buffer,
                             size_t data_offset) {
  platform::put(p.err(), "Warning: Bad CRC, using default environment\n");
  if (buffer.size() >= data_offset + kDefaultEnvironmentSize)
    std::memcpy(buffer.data() + data_offset, kDefaultEnvironment, kDefaultEnvironmentSize);
}

// A failed load leaves nothing behind that an operation could use.
int fail_load(std::vector<uint8_t>& buffer) {
  buffer.clear();
  buffer.shrink_to_fit();
  return -1;
}

}  // namespace

uint32_t EnvStore::crc() const { return stored_crc(buffer_); }

uint8_t EnvStore::flag() const {
  if (!two_copies_ || buffer_.size() < 5) return 0;
  return buffer_[4];
}

void EnvStore::set_crc(uint32_t crc) {
  if (buffer_.size() < 4) return;
  for (int i = 0; i < 4; ++i) buffer_[i] = static_cast<uint8_t>(crc >> (8 * i));
}

int bootenv_config_devices(EnvStore& store) {
  platform::Platform& p = store.platform_;
  fill_row(store.devices_.rows[0], "/dev/mtd1");
  fill_row(store.devices_.rows[1], "/dev/mtd2");
  store.two_copies_ = true;

  const int rows = store.two_copies_ ? 2 : 1;
  for (int i = 0; i < rows; ++i) {
    const char* path = store.devices_.rows[i].path;
    platform::FileStatus status;
    if (p.stat(path, &status) != 0) {
      platform::print(p.err(), "Cannot access MTD device %s: %s\n", path, std::strerror(errno));
      return -1;
    }
  }
  return 0;
}

int bootenv_load(EnvStore& store) {
  platform::Platform& p = store.platform_;
  store.loaded_ = false;
  store.buffer_.clear();
  store.flag_scheme_ = FLAG_SCHEME_NONE;
  store.current_copy_ = 0;

  if (bootenv_config_devices(store) != 0) return -1;
  const size_t data_offset = store.data_offset();
  const BootEnvDeviceTable& table = store.devices_;

  if (!allocate_copy(p, store.buffer_, table.rows[0].copy_size)) return -1;
  if (bootenv_flash_access(store, O_RDONLY) != 0) return fail_load(store.buffer_);
  const bool valid0 = copy_valid(store.buffer_, data_offset);

  if (!store.two_copies_) {
    if (!valid0) use_default_environment(p, store.buffer_, data_offset);
    store.loaded_ = true;
    return 0;
  }

  std::vector<uint8_t> copy0 = std::move(store.buffer_);
  const uint8_t flag0 = copy0[4];
  store.current_copy_ = 1;
  store.buffer_.clear();
  if (!allocate_copy(p, store.buffer_, table.rows[1].copy_size)) return fail_load(store.buffer_);
  if (bootenv_flash_access(store, O_RDONLY) != 0) return fail_load(store.buffer_);

  const uint8_t type0 = table.rows[0].flash_type;
  const uint8_t type1 = table.rows[1].flash_type;
  if (type0 == platform::kMtdNorFlash && type1 == platform::kMtdNorFlash) {
    store.flag_scheme_ = FLAG_SCHEME_MARK;
  } else if (type0 == platform::kMtdNandFlash && type1 == platform::kMtdNandFlash) {
    store.flag_scheme_ = FLAG_SCHEME_COUNTER;
  } else {
    platform::put(p.err(), "Incompatible flash types!\n");
    store.flag_scheme_ = FLAG_SCHEME_NONE;
    return fail_load(store.buffer_);
  }

  const bool valid1 = copy_valid(store.buffer_, data_offset);
  const uint8_t flag1 = store.buffer_[4];

  int chosen = 0;
  if (valid0 && !valid1) {
    chosen = 0;
  } else if (!valid0 && valid1) {
    chosen = 1;
  } else if (!valid0 && !valid1) {
    use_default_environment(p, copy0, data_offset);
    chosen = 0;
  } else {
    chosen = choose_copy(store.flag_scheme_, flag0, flag1);
  }

  if (chosen == 0) store.buffer_ = std::move(copy0);
  store.current_copy_ = chosen;
  store.loaded_ = true;
  return 0;
}

void bootenv_release(EnvStore& store) {
  store.buffer_.clear();
  store.buffer_.shrink_to_fit();
  store.loaded_ = false;
}

size_t bootenv_data_size(const EnvStore& store) {
  const size_t copy_size = store.devices().rows[store.current_copy()].copy_size;
  const size_t header = store.two_copies() ? 5 : 4;
  return copy_size > header ? copy_size - header : 0;
}

}  // namespace bootenv
