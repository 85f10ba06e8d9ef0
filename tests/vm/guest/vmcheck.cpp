// vmcheck: the VM rig's own probe and flash checker.
//
// In the guest it talks to the kernel's MTD and I2C character devices; on
// the host the rig runs only its file commands (env, payload, blank) on the
// files of a simulated camera, so that both sides are judged by the same
// code. Commands that issue device requests refuse to run outside the guest.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/output.h"

namespace {

platform::FdStream g_out(STDOUT_FILENO);
platform::FdStream g_err(STDERR_FILENO);

// Made by the guest's init only; no host has it.
constexpr char kGuestMarker[] = "/vm/guest";

constexpr uint32_t kEnvCopySize = 0x40000;
constexpr uint32_t kEnvHeader = 5;  // CRC word and flag byte

const char kUsage[] =
    "Usage: vmcheck COMMAND ARGS\n"
    "  env FILE                  a boot environment copy: crc, flag, variables\n"
    "  payload FILE DATA ERASESIZE [BAD,...]\n"
    "                            FILE's good blocks hold DATA, then 0xFF to the end\n"
    "  blank FILE                status 0 when every byte is 0xFF\n"
    "guest only:\n"
    "  bad DEV                   the bad erase blocks\n"
    "  write DEV FILE            program FILE's pages that are not all 0xFF\n"
    "  eeprom BUS ADDR FILE      fill the chip at the 7-bit ADDR with FILE\n";

bool read_all(const char* path, std::vector<uint8_t>* bytes) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    platform::print_error(g_err, path);
    return false;
  }
  uint8_t chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      platform::print_error(g_err, path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  ::close(fd);
  return true;
}

bool all_ff(const uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (data[i] != 0xFF) return false;
  }
  return true;
}

uint32_t crc32(const uint8_t* data, size_t count) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

bool in_guest() {
  struct stat st;
  if (::stat(kGuestMarker, &st) == 0) return true;
  platform::put(g_err, "vmcheck: this command talks to devices and runs only in the VM\n");
  return false;
}

int open_device(const char* path, int flags) {
  int fd = ::open(path, flags | O_CLOEXEC);
  if (fd < 0) platform::print_error(g_err, path);
  return fd;
}

// ---- file commands ----

int cmd_env(const char* path) {
  std::vector<uint8_t> bytes;
  if (!read_all(path, &bytes)) return 2;
  if (bytes.size() < kEnvCopySize) {
    platform::print(g_err, "%s: shorter than one copy\n", path);
    return 2;
  }
  uint32_t stored = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                    static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  uint32_t computed = crc32(bytes.data() + kEnvHeader, kEnvCopySize - kEnvHeader);
  platform::print(g_out, "crc %s\nflag %u\n", stored == computed ? "ok" : "bad", bytes[4]);
  size_t at = kEnvHeader;
  while (at < kEnvCopySize && bytes[at] != 0) {
    size_t end = at;
    while (end < kEnvCopySize && bytes[end] != 0) ++end;
    if (end == kEnvCopySize) {
      platform::put(g_out, "(not terminated)\n");
      return 0;
    }
    g_out.write(reinterpret_cast<const char*>(bytes.data() + at), end - at);
    platform::put(g_out, "\n");
    at = end + 1;
  }
  return 0;
}

bool parse_blocks(const char* text, std::set<uint32_t>* blocks) {
  std::string list = text;
  size_t at = 0;
  while (at < list.size()) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    std::string word = list.substr(at, comma - at);
    char* end = nullptr;
    unsigned long value = std::strtoul(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0') return false;
    blocks->insert(static_cast<uint32_t>(value));
    at = comma + 1;
  }
  return true;
}

// The writer's layout: the payload on the good blocks in order from the
// start, its last page filled up with 0xFF, the rest of the partition erased.
int cmd_payload(const char* path, const char* data_path, const char* erasesize_text,
                const char* bad_text) {
  std::vector<uint8_t> flash;
  std::vector<uint8_t> data;
  if (!read_all(path, &flash) || !read_all(data_path, &data)) return 2;
  const uint32_t block = static_cast<uint32_t>(std::strtoul(erasesize_text, nullptr, 0));
  std::set<uint32_t> bad;
  if (block == 0 || flash.size() % block != 0 || (bad_text && !parse_blocks(bad_text, &bad))) {
    platform::put(g_err, "vmcheck payload: bad arguments\n");
    return 2;
  }
  size_t used = 0;
  size_t differ = 0;
  size_t first = SIZE_MAX;
  const size_t blocks = flash.size() / block;
  for (size_t b = 0; b < blocks; ++b) {
    if (bad.count(static_cast<uint32_t>(b)) != 0) continue;
    for (size_t i = 0; i < block; ++i) {
      uint8_t expected = used < data.size() ? data[used] : 0xFF;
      if (flash[b * block + i] != expected) {
        if (differ++ == 0) first = b * block + i;
      }
      ++used;
    }
  }
  if (used < data.size()) {
    platform::print(g_out, "the good blocks hold %zu bytes, fewer than the %zu payload bytes\n",
                    used, data.size());
    return 1;
  }
  if (differ != 0) {
    platform::print(g_out, "%zu bytes differ, the first at flash offset 0x%zx\n", differ, first);
    return 1;
  }
  platform::print(g_out, "%zu payload bytes, then 0xFF, on %zu good blocks\n", data.size(),
                  blocks - bad.size());
  return 0;
}

int cmd_blank(const char* path) {
  std::vector<uint8_t> bytes;
  if (!read_all(path, &bytes)) return 2;
  return all_ff(bytes.data(), bytes.size()) ? 0 : 1;
}

// ---- device commands (guest only) ----

int cmd_bad(const char* path) {
  int fd = open_device(path, O_RDONLY);
  if (fd < 0) return 2;
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) < 0) {
    platform::print_error(g_err, "MEMGETINFO");
    ::close(fd);
    return 2;
  }
  std::string list;
  for (uint32_t b = 0; b < info.size / info.erasesize; ++b) {
    loff_t offset = static_cast<loff_t>(b) * info.erasesize;
    int bad = ioctl(fd, MEMGETBADBLOCK, &offset);
    if (bad < 0) {
      platform::print_error(g_err, "MEMGETBADBLOCK");
      ::close(fd);
      return 2;
    }
    if (bad == 0) continue;
    if (!list.empty()) list += ',';
    list += std::to_string(b);
  }
  ::close(fd);
  platform::print(g_out, "%s\n", list.empty() ? "none" : list.c_str());
  return 0;
}

int cmd_write(const char* path, const char* file) {
  std::vector<uint8_t> bytes;
  if (!read_all(file, &bytes)) return 2;
  int fd = open_device(path, O_RDWR);
  if (fd < 0) return 2;
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) < 0 || bytes.size() > info.size ||
      bytes.size() % info.writesize != 0) {
    platform::print(g_err, "%s: %s does not fit in whole pages\n", path, file);
    ::close(fd);
    return 2;
  }
  for (size_t at = 0; at < bytes.size(); at += info.writesize) {
    if (all_ff(bytes.data() + at, info.writesize)) continue;  // erased flash stays unprogrammed
    if (::pwrite(fd, bytes.data() + at, info.writesize, static_cast<off_t>(at)) !=
        static_cast<ssize_t>(info.writesize)) {
      platform::print_error(g_err, path);
      ::close(fd);
      return 2;
    }
  }
  ::close(fd);
  return 0;
}

int smbus(int fd, uint8_t read_write, uint8_t command, i2c_smbus_data* data) {
  i2c_smbus_ioctl_data request{};
  request.read_write = read_write;
  request.command = command;
  request.size = I2C_SMBUS_BYTE_DATA;
  request.data = data;
  return ioctl(fd, I2C_SMBUS, &request);
}

int cmd_eeprom(const char* bus, const char* address_text, const char* file) {
  std::vector<uint8_t> bytes;
  if (!read_all(file, &bytes)) return 2;
  if (bytes.size() > 256) bytes.resize(256);
  int fd = open_device(bus, O_RDWR);
  if (fd < 0) return 2;
  if (ioctl(fd, I2C_SLAVE, std::strtoul(address_text, nullptr, 0)) < 0) {
    platform::print_error(g_err, "I2C_SLAVE");
    ::close(fd);
    return 2;
  }
  for (size_t reg = 0; reg < bytes.size(); ++reg) {
    i2c_smbus_data data{};
    data.byte = bytes[reg];
    if (smbus(fd, I2C_SMBUS_WRITE, static_cast<uint8_t>(reg), &data) < 0) {
      platform::print_error(g_err, "I2C_SMBUS write");
      ::close(fd);
      return 2;
    }
  }
  ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "env" && argc == 3) return cmd_env(argv[2]);
  if (command == "payload" && (argc == 5 || argc == 6)) {
    return cmd_payload(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
  }
  if (command == "blank" && argc == 3) return cmd_blank(argv[2]);
  const bool device = (command == "bad" && argc == 3) || (command == "write" && argc == 4) ||
                      (command == "eeprom" && argc == 5);
  if (!device) {
    platform::put(g_err, kUsage);
    return 2;
  }
  if (!in_guest()) return 2;
  if (command == "bad") return cmd_bad(argv[2]);
  if (command == "write") return cmd_write(argv[2], argv[3]);
  return cmd_eeprom(argv[2], argv[3], argv[4]);
}
