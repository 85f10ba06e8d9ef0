// The boot loader's environment: two flash copies of name=value entries,
// loaded once per run and written back on every set.
//
// One copy on flash: a CRC-32 (little-endian) of the data area at offset 0, a
// flag byte at offset 4 that tells which copy is newer, and the data area from
// offset 5 to the end of the copy. The data area holds NUL-terminated
// "name=value" entries and ends with an empty entry. The boot loader reads the
// same layout, so none of it may change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace bootenv {

// One environment copy's device and the flash range reserved for it.
struct BootEnvDevice {
  char path[16] = {};
  int32_t offset = 0;             // byte offset of the copy inside the device
  uint32_t copy_size = 0;         // bytes in one copy
  uint32_t erase_block_size = 0;  // used for the copy's range, whatever the kernel says
  uint32_t block_count = 0;       // erase blocks reserved for the copy
  uint8_t flash_type = 0;         // MEMGETINFO type, recorded when the copy is read
};

// Row 0 holds the first copy, row 1 the second.
struct BootEnvDeviceTable {
  std::array<BootEnvDevice, 2> rows;
};

// How the two flag bytes tell the newer copy.
enum FlagScheme : uint8_t {
  FLAG_SCHEME_NONE = 0,     // one copy, no flag byte
  FLAG_SCHEME_MARK = 1,     // NOR: 1 active, 0 obsolete, 0xFF never marked
  FLAG_SCHEME_COUNTER = 2,  // NAND: counter raised on every write, modulo 256
};

inline constexpr uint8_t ACTIVE_FLAG_VALUE = 1;
inline constexpr uint8_t OBSOLETE_FLAG_VALUE = 0;

// The data used when neither copy on flash is valid: three entries, the
// end-of-list NUL and one more NUL (the literal's own), 180 bytes. The ${...}
// references are the boot loader's to expand.
inline constexpr char kDefaultEnvironment[] =
    "bootcmd=bootp; setenv bootargs root=/dev/nfs nfsroot=${serverip}:${rootpath} "
    "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm\0"
    "bootdelay=5\0"
    "baudrate=115200\0"
    "\0";
inline constexpr size_t kDefaultEnvironmentSize = sizeof kDefaultEnvironment;
static_assert(kDefaultEnvironmentSize == 180);

// The in-memory environment, one for the whole run. It reaches the flash
// through the platform it was made with.
class EnvStore {
 public:
  explicit EnvStore(platform::Platform& platform) : platform_(platform) {}
  EnvStore(const EnvStore&) = delete;
  EnvStore& operator=(const EnvStore&) = delete;

  platform::Platform& platform() { return platform_; }
  bool loaded() const { return loaded_; }

  const BootEnvDeviceTable& devices() const { return devices_; }
  bool two_copies() const { return two_copies_; }
  // The row whose copy is held in memory; the other row is the write target.
  int current_copy() const { return current_copy_; }
  FlagScheme flag_scheme() const { return flag_scheme_; }
  // The whole copy image as it goes to flash (empty when nothing is held).
  const std::vector<uint8_t>& buffer() const { return buffer_; }
  // The word at offset 0 of the buffer.
  uint32_t crc() const;
  // The byte at offset 4 of the buffer (0 with one copy or no buffer).
  uint8_t flag() const;

 private:
  friend int bootenv_config_devices(EnvStore& store);
  friend int bootenv_load(EnvStore& store);
  friend void bootenv_release(EnvStore& store);
  friend int bootenv_flash_access(EnvStore& store, int open_mode);
  friend int bootenv_read_copy(EnvStore& store, int fd);
  friend int bootenv_write_copy(EnvStore& store, int current_fd, int target_fd, int target_row);
  friend int write_copy(EnvStore& store, int current_fd, int target_fd, int target_row,
                        bool mark_current_obsolete);
  friend std::optional<std::string> bootenv_lookup(EnvStore& store, const char* name);
  friend int bootenv_assign_all(EnvStore& store, std::span<const struct Assignment> assignments);
  friend int hs_printenv(EnvStore& store);

  // Offset of the data area inside the buffer.
  size_t data_offset() const { return two_copies_ ? 5 : 4; }
  uint8_t* data() { return buffer_.data() + data_offset(); }
  void set_crc(uint32_t crc);

  platform::Platform& platform_;
  bool loaded_ = false;
  BootEnvDeviceTable devices_;
  bool two_copies_ = false;
  int current_copy_ = 0;
  FlagScheme flag_scheme_ = FLAG_SCHEME_NONE;
  std::vector<uint8_t> buffer_;
};

// Fills the device table with its fixed rows and checks that the devices
// exist: 0, or -1 after "Cannot access MTD device ...".
int bootenv_config_devices(EnvStore& store);

// Reads both copies and picks the current one, or falls back to the default
// environment: 0 when the store holds an environment, -1 (store unloaded).
int bootenv_load(EnvStore& store);
void bootenv_release(EnvStore& store);

// Bytes in the data area of the current row's copy.
size_t bootenv_data_size(const EnvStore& store);

// The value of `name`, copied out of the store: a later set cannot change it
// under the caller. None when absent or when the store is not loaded.
std::optional<std::string> bootenv_lookup(EnvStore& store, const char* name);
// Sets `name` to `value` and writes the environment to both flash copies:
// 0 once written, -1 otherwise. A value that does not fit changes nothing.
int bootenv_assign(EnvStore& store, const char* name, const char* value);

struct Assignment {
  const char* name;
  const char* value;
};
// Sets every name in memory, in order, then writes both flash copies once:
// the copies hold either all the new values or none. 0 once written, -1
// otherwise (nothing changes in memory when one does not fit).
int bootenv_assign_all(EnvStore& store, std::span<const Assignment> assignments);
// Prints every entry, one a line: 0, or -1 when not terminated or not loaded.
int hs_printenv(EnvStore& store);

// When the NUL-terminated `entry` is "name=...", the value after the '=';
// otherwise nullptr. `name` counts up to its first '='.
const char* bootenv_match(const char* name, const char* entry);

}  // namespace bootenv
