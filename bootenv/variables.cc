// Lookup, printing and setting of environment variables.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "bootenv/bootenv.h"
#include "bootenv/flash_io.h"
#include "image/crc32.h"
#include "platform/output.h"

namespace bootenv {
namespace {

constexpr size_t kNotTerminated = static_cast<size_t>(-1);

// Index of the NUL that ends the entry beginning at `start`, or kNotTerminated
// when that NUL does not lie inside the data area. An entry that would begin
// at the very end has no byte to end it either.
size_t entry_end(const uint8_t* data, size_t size, size_t start) {
  if (start >= size) return kNotTerminated;
  const void* nul = std::memchr(data + start, 0, size - start);
  if (nul == nullptr) return kNotTerminated;
  return static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
}

void report_not_terminated(platform::Platform& p) {
  platform::put(p.err(), "## Error: environment not terminated\n");
}

}  // namespace

const char* bootenv_match(const char* name, const char* entry) {
  size_t i = 0;
  for (; name[i] != '\0' && name[i] != '='; ++i)
    if (entry[i] != name[i]) return nullptr;
  if (entry[i] != '=') return nullptr;
  return entry + i + 1;
}

std::optional<std::string> bootenv_lookup(EnvStore& store, const char* name) {
  if (!store.loaded_) return std::nullopt;
  const uint8_t* data = store.data();
  const size_t size =
      std::min(bootenv_data_size(store), store.buffer_.size() - store.data_offset());
  for (size_t start = 0;;) {
    const size_t nul = entry_end(data, size, start);
    if (nul == kNotTerminated) {
      report_not_terminated(store.platform_);
      return std::nullopt;
    }
    if (nul == start) return std::nullopt;
    if (const char* value = bootenv_match(name, reinterpret_cast<const char*>(data + start)))
      return std::string(value);
    start = nul + 1;
  }
}

int hs_printenv(EnvStore& store) {
  if (!store.loaded_) return -1;
  platform::Platform& p = store.platform_;
  const uint8_t* data = store.data();
  const size_t size =
      std::min(bootenv_data_size(store), store.buffer_.size() - store.data_offset());
  for (size_t start = 0;;) {
    const size_t nul = entry_end(data, size, start);
    if (nul == kNotTerminated) {
      report_not_terminated(p);
      return -1;
    }
    if (nul == start) return 0;
    std::string line(reinterpret_cast<const char*>(data + start), nul - start);
    line += '\n';
    p.out().write(line.data(), line.size());
    start = nul + 1;
  }
}

namespace {

// Replaces or adds one entry in memory; the flash is not touched. An entry
// that does not fit leaves the environment exactly as it was: deleting the
// old one first would silently drop it (bootargs, say) with the next save.
int assign_in_memory(EnvStore& store, uint8_t* data, size_t size, const char* name,
                     const char* value) {
  platform::Platform& p = store.platform();
  size_t match_start = kNotTerminated;
  size_t match_end = kNotTerminated;  // one past the matched entry's NUL
  size_t end = 0;                     // the end-of-list NUL
  for (;;) {
    const size_t nul = entry_end(data, size, end);
    if (nul == kNotTerminated) {
      report_not_terminated(p);
      errno = EINVAL;
      return -1;
    }
    if (nul == end) break;
    if (match_start == kNotTerminated &&
        bootenv_match(name, reinterpret_cast<const char*>(data + end)) != nullptr) {
      match_start = end;
      match_end = nul + 1;
    }
    end = nul + 1;
  }

  // name '=' value NUL, and the new end-of-list NUL, behind what stays.
  const size_t kept_end = match_start == kNotTerminated ? end : end - (match_end - match_start);
  const size_t name_length = std::strlen(name);
  const size_t value_length = std::strlen(value);
  const size_t available = size - kept_end;
  if (available < 3 || name_length > available - 3 || value_length > available - 3 - name_length) {
    platform::print(p.err(), "Error: environment overflow, \"%s\" not set\n", name);
    return -1;
  }

  if (match_start != kNotTerminated) {
    std::memmove(data + match_start, data + match_end, end - match_end);
    data[kept_end] = '\0';
  }
  uint8_t* entry = data + kept_end;
  std::memcpy(entry, name, name_length);
  entry[name_length] = '=';
  std::memcpy(entry + name_length + 1, value, value_length);
  entry[name_length + 1 + value_length] = '\0';
  entry[name_length + 2 + value_length] = '\0';
  return 0;
}

}  // namespace

int bootenv_assign(EnvStore& store, const char* name, const char* value) {
  const Assignment one[] = {{name, value}};
  return bootenv_assign_all(store, one);
}

int bootenv_assign_all(EnvStore& store, std::span<const Assignment> assignments) {
  if (!store.loaded_) return -1;
  uint8_t* data = store.data();
  const size_t size =
      std::min(bootenv_data_size(store), store.buffer_.size() - store.data_offset());

  // All or nothing: a later entry that does not fit takes the earlier ones back.
  std::vector<uint8_t> before;
  if (assignments.size() > 1) before.assign(data, data + size);
  for (const Assignment& assignment : assignments) {
    if (assign_in_memory(store, data, size, assignment.name, assignment.value) != 0) {
      if (!before.empty()) std::memcpy(data, before.data(), size);
      return -1;
    }
  }

  store.set_crc(image::crc32(0, data, size));
  if (bootenv_flash_access(store, O_RDWR) != 0) {
    platform::put(store.platform_.err(), "Error: can't write fw_env to flash\n");
    return -1;
  }
  return 0;
}

}  // namespace bootenv
