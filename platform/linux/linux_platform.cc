#include "platform/linux/linux_platform.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

// The camera's I2C driver: one-byte register address and data widths.
constexpr unsigned long kI2cAddressWidth = 0x0709;
constexpr unsigned long kI2cDataWidth = 0x070A;

template <typename Call>
auto retry(Call call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

void fill(const struct stat& st, FileStatus* status) {
  status->size = static_cast<uint64_t>(st.st_size);
  status->mode = st.st_mode;
}

int erase_request(int fd, unsigned long request, const EraseRange& range) {
  erase_info_user info{};
  info.start = range.start;
  info.length = range.length;
  return ioctl(fd, request, &info);
}

}  // namespace

int LinuxPlatform::open(const char* path, int flags, unsigned mode) {
  return retry([&] { return ::open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode)); });
}

int LinuxPlatform::close(int fd) {
  smbus_fds_.erase(fd);
  return ::close(fd);
}

ssize_t LinuxPlatform::read(int fd, void* buf, size_t count) {
  return retry([&] { return ::read(fd, buf, count); });
}

ssize_t LinuxPlatform::write(int fd, const void* buf, size_t count) {
  return retry([&] { return ::write(fd, buf, count); });
}

ssize_t LinuxPlatform::pread(int fd, void* buf, size_t count, int64_t offset) {
  return retry([&] { return ::pread(fd, buf, count, static_cast<off_t>(offset)); });
}

ssize_t LinuxPlatform::pwrite(int fd, const void* buf, size_t count, int64_t offset) {
  return retry([&] { return ::pwrite(fd, buf, count, static_cast<off_t>(offset)); });
}

int64_t LinuxPlatform::lseek(int fd, int64_t offset, int whence) {
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

int LinuxPlatform::fstat(int fd, FileStatus* status) {
  struct stat st{};
  if (::fstat(fd, &st) < 0) return -1;
  fill(st, status);
  return 0;
}

int LinuxPlatform::stat(const char* path, FileStatus* status) {
  struct stat st{};
  if (::stat(path, &st) < 0) return -1;
  fill(st, status);
  return 0;
}

int LinuxPlatform::mtd_get_info(int fd, MtdInfo* info) {
  mtd_info_user raw{};
  if (ioctl(fd, MEMGETINFO, &raw) < 0) return -1;
  info->type = raw.type;
  info->flags = raw.flags;
  info->size = raw.size;
  info->erasesize = raw.erasesize;
  info->writesize = raw.writesize;
  info->oobsize = raw.oobsize;
  return 0;
}

int LinuxPlatform::mtd_get_bad_block(int fd, int64_t offset) {
  // The request takes a pointer to a 64-bit offset on every architecture.
  loff_t position = offset;
  return ioctl(fd, MEMGETBADBLOCK, &position);
}

int LinuxPlatform::mtd_erase(int fd, const EraseRange& range) {
  return erase_request(fd, MEMERASE, range);
}

int LinuxPlatform::mtd_unlock(int fd, const EraseRange& range) {
  return erase_request(fd, MEMUNLOCK, range);
}

int LinuxPlatform::mtd_lock(int fd, const EraseRange& range) {
  return erase_request(fd, MEMLOCK, range);
}

int LinuxPlatform::i2c_set_slave(int fd, unsigned address) {
  if (ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address)) == 0) return 0;
  // A standard i2c-dev takes only 7-bit addresses and refuses the 8-bit form.
  if (errno != EINVAL || address > 0xFF) return -1;
  if (ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address >> 1)) < 0) return -1;
  smbus_fds_.insert(fd);
  return 0;
}

int LinuxPlatform::i2c_set_byte_widths(int fd) {
  if (smbus_fds_.count(fd)) return 0;  // SMBus byte-data transfers have fixed widths
  int first = ioctl(fd, kI2cAddressWidth, 0UL);
  int second = ioctl(fd, kI2cDataWidth, 0UL);
  return first < 0 ? first : second;
}

ssize_t LinuxPlatform::i2c_read_byte(int fd, uint8_t reg, uint8_t* value) {
  if (smbus_fds_.count(fd)) {
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data request{};
    request.read_write = I2C_SMBUS_READ;
    request.command = reg;
    request.size = I2C_SMBUS_BYTE_DATA;
    request.data = &data;
    if (ioctl(fd, I2C_SMBUS, &request) < 0) return -1;
    *value = data.byte;
    return 1;
  }
  // The camera's driver sends the buffer's byte as the register address and
  // returns the data in its place.
  *value = reg;
  return read(fd, value, 1);
}

int LinuxPlatform::run_shell(const char* command) {
  int status = std::system(command);
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

int LinuxPlatform::run_pipe(const char* command, std::string* output) {
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return -1;
  char chunk[1024];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output->append(chunk, n);
  pclose(pipe);
  return 0;
}

void LinuxPlatform::sync_filesystems() { ::sync(); }

void LinuxPlatform::pause_seconds(unsigned seconds) {
  unsigned left = seconds;
  while (left > 0) left = sleep(left);
}

}  // namespace platform
