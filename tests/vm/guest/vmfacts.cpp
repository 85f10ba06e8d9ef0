// vmfacts: what the platform answers to the flash and bus requests the tool
// makes, through the same Platform interface the tool uses.
//
// Built twice: vmfacts on LinuxPlatform runs in the guest against the
// kernel's nandsim and i2c-stub; vmfacts-sim on SimPlatform runs on the host
// against the simulated camera under $UPDATE_SIM_ROOT. One expected list
// judges both, so every way the simulation departs from the kernel shows.
//
//   vmfacts DEV BAD_BLOCK
// DEV is an erased NAND partition whose erase block BAD_BLOCK is bad; the
// EEPROM is on /dev/i2c-2.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/output.h"
#include "platform/platform.h"
#ifdef VMFACTS_SIM
#include "platform/sim/sim_platform.h"
#else
#include "platform/linux/linux_platform.h"
#endif

namespace {

platform::FdStream g_out(1);
platform::FdStream g_err(2);

// "0", or "-1 EIO"; an errno without a name (the kernel's internal 524) by
// its number.
void fact(const char* what, long result, int error) {
  if (result >= 0) {
    platform::print(g_out, "%s: %ld\n", what, result);
    return;
  }
  const char* name = strerrorname_np(error);
  platform::print(g_out, "%s: %ld %s\n", what, result,
                  name != nullptr ? name : ("errno " + std::to_string(error)).c_str());
}

bool all_ff(const std::vector<uint8_t>& bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != 0xFF) return false;
  }
  return true;
}

int facts(platform::Platform& p, const char* dev, uint32_t bad_block) {
  int fd = p.open(dev, O_RDWR);
  if (fd < 0) {
    platform::print_error(g_err, dev);
    return 2;
  }
  platform::MtdInfo info;
  long result = p.mtd_get_info(fd, &info);
  if (result < 0) {
    fact("MEMGETINFO", result, errno);
    p.close(fd);
    return 1;
  }
  platform::print(g_out, "MEMGETINFO: type %u flags 0x%x erasesize %u writesize %u oobsize %u\n",
                  info.type, info.flags, info.erasesize, info.writesize, info.oobsize);
  const uint32_t block = info.erasesize;
  const uint32_t page = info.writesize;
  const uint32_t bad = bad_block * block;
  // A good block away from the bad one, for the programming tests.
  const uint32_t good = bad == 0 ? block : 0;

  result = p.mtd_get_bad_block(fd, good);
  fact("MEMGETBADBLOCK good block", result, errno);
  result = p.mtd_get_bad_block(fd, bad);
  fact("MEMGETBADBLOCK bad block", result, errno);
  result = p.mtd_get_bad_block(fd, bad + page);
  fact("MEMGETBADBLOCK inside the bad block", result, errno);
  result = p.mtd_get_bad_block(fd, info.size);
  fact("MEMGETBADBLOCK at the device size", result, errno);
  result = p.mtd_get_bad_block(fd, -static_cast<int64_t>(block));
  fact("MEMGETBADBLOCK negative", result, errno);

  result = p.mtd_erase(fd, {good, block});
  fact("MEMERASE good block", result, errno);
  result = p.mtd_erase(fd, {bad, block});
  fact("MEMERASE bad block", result, errno);
  result = p.mtd_erase(fd, {good, block / 2});
  fact("MEMERASE half a block", result, errno);
  result = p.mtd_erase(fd, {good + page, block});
  fact("MEMERASE unaligned start", result, errno);
  result = p.mtd_erase(fd, {info.size - block, 2 * block});
  fact("MEMERASE past the end", result, errno);
  result = p.mtd_erase(fd, {info.size, block});
  fact("MEMERASE at the device size", result, errno);
  result = p.mtd_erase(fd, {good, 0});
  fact("MEMERASE zero length", result, errno);
  result = p.mtd_unlock(fd, {good, block});
  fact("MEMUNLOCK", result, errno);
  result = p.mtd_lock(fd, {good, block});
  fact("MEMLOCK", result, errno);

  std::vector<uint8_t> data(2 * page, 0);
  std::vector<uint8_t> back(2 * page, 0);
  result = p.pread(fd, back.data(), page, good);
  fact("pread of an erased page", result, errno);
  platform::print(g_out, "an erased page reads all 0xFF: %s\n", all_ff(back, page) ? "yes" : "no");
  std::memset(data.data(), 0xF0, page);
  result = p.pwrite(fd, data.data(), page, good);
  fact("pwrite of a page", result, errno);
  std::memset(data.data(), 0x3C, page);
  result = p.pwrite(fd, data.data(), page, good);
  fact("pwrite of the same page again, not erased", result, errno);
  std::memset(back.data(), 0, page);
  result = p.pread(fd, back.data(), page, good);
  fact("pread of the page written twice", result, errno);
  platform::print(g_out, "the page written with 0xF0, then 0x3C reads 0x%02x\n", back[0]);

  std::memset(data.data(), 0x5A, page);
  result = p.pwrite(fd, data.data(), 512, good + page + 512);
  fact("pwrite of 512 bytes at a 512-byte boundary", result, errno);
  result = p.pwrite(fd, data.data(), 256, good + 2 * page);
  fact("pwrite of 256 bytes", result, errno);
  result = p.pwrite(fd, data.data(), page, good + 3 * page + 256);
  fact("pwrite of a page at a 256-byte offset", result, errno);

  std::memset(data.data(), 0x00, page);
  result = p.pwrite(fd, data.data(), page, bad);
  fact("pwrite into the bad block", result, errno);
  result = p.pread(fd, back.data(), page, bad);
  fact("pread from the bad block", result, errno);

  result = p.pread(fd, back.data(), page, info.size);
  fact("pread at the device size", result, errno);
  result = p.pread(fd, back.data(), 2 * page, info.size - page);
  fact("pread across the end", result, errno);
  std::memset(data.data(), 0xFF, 2 * page);
  result = p.pwrite(fd, data.data(), page, info.size);
  fact("pwrite at the device size", result, errno);
  result = p.pwrite(fd, data.data(), 2 * page, info.size - page);
  fact("pwrite across the end", result, errno);
  result = p.lseek(fd, 0, SEEK_END);
  platform::print(g_out, "lseek to the end gives the device size: %s\n",
                  result == static_cast<long>(info.size) ? "yes" : "no");
  p.close(fd);

  fd = p.open(dev, O_RDONLY);
  result = p.mtd_erase(fd, {good, block});
  fact("MEMERASE on a read-only descriptor", result, errno);
  p.close(fd);
  fd = p.open("/proc/cmdline", O_RDONLY);
  result = p.mtd_get_info(fd, &info);
  fact("MEMGETINFO on an ordinary file", result, errno);
  p.close(fd);

  // The EEPROM as the tool reaches it: the camera driver's 8-bit address,
  // its width requests, then byte reads by register.
  fd = p.open("/dev/i2c-2", O_RDWR);
  if (fd < 0) {
    platform::print_error(g_err, "/dev/i2c-2");
    return 2;
  }
  result = p.i2c_set_slave(fd, 0xA0);
  fact("I2C address 0xA0", result, errno);
  result = p.i2c_set_byte_widths(fd);
  fact("I2C byte widths", result, errno);
  uint8_t first = 0;
  uint8_t last = 0;
  result = p.i2c_read_byte(fd, 0, &first);
  fact("I2C read of register 0", result, errno);
  result = p.i2c_read_byte(fd, 255, &last);
  fact("I2C read of register 255", result, errno);
  platform::print(g_out, "registers 0 and 255 hold 0x%02x 0x%02x\n", first, last);
  p.close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    platform::put(g_err, "Usage: vmfacts DEV BAD_BLOCK\n");
    return 2;
  }
  const uint32_t bad_block = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0));
#ifdef VMFACTS_SIM
  const char* root = std::getenv("UPDATE_SIM_ROOT");
  if (root == nullptr || *root == '\0') {
    platform::put(g_err, "vmfacts-sim: UPDATE_SIM_ROOT is not set\n");
    return 2;
  }
  char resolved[PATH_MAX];
  if (realpath(root, resolved) != nullptr && resolved[0] == '/' && resolved[1] == '\0') {
    platform::put(g_err, "vmfacts-sim: UPDATE_SIM_ROOT must not be /\n");
    return 2;
  }
  platform::sim::SimPlatform sim(root, g_out, g_err);
  return facts(sim, argv[1], bad_block);
#else
  // It erases and writes the device: only in the VM, whose init made this.
  struct stat st;
  if (::stat("/vm/guest", &st) != 0) {
    platform::put(g_err, "vmfacts: this erases flash and runs only in the VM\n");
    return 2;
  }
  platform::LinuxPlatform linux_platform(g_out, g_err);
  return facts(linux_platform, argv[1], bad_block);
#endif
}
