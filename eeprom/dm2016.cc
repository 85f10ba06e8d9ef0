#include "eeprom/dm2016.h"

#include <fcntl.h>

#include <cstring>

namespace eeprom {
namespace {

constexpr char kBus[] = "/dev/i2c-2";
// The chip's address in the 8-bit form the camera's driver takes (7-bit 0x50).
constexpr unsigned kChipAddress = 0xA0;

void copy_chipinfo(const char* text, char* buffer) {
  // At most 32 bytes; a shorter text is followed by zero bytes up to 32.
  // Spelled out rather than strncpy, which GCC flags for ARM as a truncation
  // of the unterminated 32-byte field.
  std::size_t length = strnlen(text, kChipInfoLength);
  std::memcpy(buffer, text, length);
  std::memset(buffer + length, 0, kChipInfoLength - length);
}

}  // namespace

int dm2016_open(platform::Platform& p) {
  int handle = p.open(kBus, O_RDWR);
  if (handle < 0) {
    platform::put(p.out(), "Unable to open i2c bus 2!!!\n");
    return handle;
  }
  p.i2c_set_slave(handle, kChipAddress);
  return handle;
}

void dm2016_close(platform::Platform& p, int handle) {
  if (handle >= 0) p.close(handle);
}

int read_dm2016_eeprom(platform::Platform& p, int handle, unsigned first, unsigned count,
                       uint8_t* buffer) {
  if (buffer == nullptr) return -1;
  p.i2c_set_byte_widths(handle);
  for (unsigned address = first; address < first + count; ++address) {
    uint8_t* slot = &buffer[address - first];
    ssize_t result = p.i2c_read_byte(handle, static_cast<uint8_t>(address & 0xFF), slot);
    if (result < 0) {
      platform::print(p.out(), "dm2016 read addr 0x%x error. \n", address);
      return static_cast<int>(result);
    }
  }
  return 0;
}

int dm2016_probe(platform::Platform& p) {
  int handle = dm2016_open(p);
  if (handle < 0) return 0;
  uint8_t byte = 0;
  int present = read_dm2016_eeprom(p, handle, 0, 1, &byte) == 0 ? 1 : 0;
  dm2016_close(p, handle);
  return present;
}

int get_chipinfo(platform::Platform& p, bootenv::EnvStore& env, char* buffer) {
  if (buffer == nullptr) return -1;
  if (auto stored = bootenv::bootenv_lookup(env, "chipinfo")) {
    copy_chipinfo(stored->c_str(), buffer);
    return 0;
  }

  uint8_t work[kChipInfoLength + 1] = {};
  int handle = dm2016_open(p);
  int result;
  if (handle < 0) {
    platform::print(p.out(), "dm2016 read addr 0x%x error. \n", 0u);
    result = -1;
  } else {
    result = read_dm2016_eeprom(p, handle, 0, kChipInfoLength, work);
    dm2016_close(p, handle);
  }
  if (result != 0) {
    copy_chipinfo(kChipInfoDefault, buffer);
    return 0;
  }

  const char* text = reinterpret_cast<const char*>(work);
  // The string was read correctly: the gate gets it even when it could not
  // be kept for the next run.
  if (set_chipinfo(env, text) != 0) platform::put(p.err(), "set_chipinfo faild!\n");
  copy_chipinfo(text, buffer);
  return 0;
}

int set_chipinfo(bootenv::EnvStore& env, const char* text) {
  if (text == nullptr) return -1;
  if (bootenv::bootenv_assign(env, "chipinfo", text) != 0) return -1;
  auto stored = bootenv::bootenv_lookup(env, "chipinfo");
  if (!stored || *stored != text) return -1;
  return 0;
}

}  // namespace eeprom
