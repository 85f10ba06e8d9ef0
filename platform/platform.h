// The seam between the tool and the camera it runs on.
//
// Everything the core does to the outside world (files, MTD flash requests,
// the I2C bus, shell commands, pauses, console output) goes through one
// Platform object that the entry point hands down. LinuxPlatform makes the
// real system calls; SimPlatform is the simulated camera used by update-sim
// and the tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/output.h"

namespace platform {

// MTD flash types as MEMGETINFO reports them.
inline constexpr uint8_t kMtdRam = 1;
inline constexpr uint8_t kMtdNorFlash = 3;
inline constexpr uint8_t kMtdNandFlash = 4;

// What MEMGETINFO tells about a flash device.
struct MtdInfo {
  uint8_t type = 0;
  uint32_t flags = 0;
  uint32_t size = 0;
  uint32_t erasesize = 0;
  uint32_t writesize = 0;
  uint32_t oobsize = 0;
};

// Argument of MEMERASE, MEMLOCK and MEMUNLOCK.
struct EraseRange {
  uint32_t start = 0;
  uint32_t length = 0;
};

struct FileStatus {
  uint64_t size = 0;
  uint32_t mode = 0;  // st_mode bits
};

// Interface to the camera. Unless a method says otherwise it follows the POSIX
// call of the same name: a non-negative result on success, -1 with errno set on
// failure, so callers can report errors perror-style.
class Platform {
 public:
  virtual ~Platform() = default;

  // Console streams: progress and reports, and diagnostics.
  virtual Stream& out() = 0;
  virtual Stream& err() = 0;

  virtual int open(const char* path, int flags, unsigned mode = 0) = 0;
  virtual int close(int fd) = 0;
  virtual ssize_t read(int fd, void* buf, size_t count) = 0;
  virtual ssize_t write(int fd, const void* buf, size_t count) = 0;
  virtual ssize_t pread(int fd, void* buf, size_t count, int64_t offset) = 0;
  virtual ssize_t pwrite(int fd, const void* buf, size_t count, int64_t offset) = 0;
  virtual int64_t lseek(int fd, int64_t offset, int whence) = 0;
  virtual int fstat(int fd, FileStatus* status) = 0;
  virtual int stat(const char* path, FileStatus* status) = 0;

  // MTD requests. ENOTTY when fd is not an MTD device.
  virtual int mtd_get_info(int fd, MtdInfo* info) = 0;
  // MEMGETBADBLOCK: 1 for a bad block, 0 for a good one, -1 with errno.
  virtual int mtd_get_bad_block(int fd, int64_t offset) = 0;
  virtual int mtd_erase(int fd, const EraseRange& range) = 0;
  virtual int mtd_unlock(int fd, const EraseRange& range) = 0;
  virtual int mtd_lock(int fd, const EraseRange& range) = 0;

  // I2C. The address is the 8-bit form the camera's driver takes (0xA0); a
  // backend that talks to a standard 7-bit driver converts it.
  virtual int i2c_set_slave(int fd, unsigned address) = 0;
  // Selects one-byte register addresses and data (the camera driver's
  // requests 0x0709 and 0x070A); results are advisory.
  virtual int i2c_set_byte_widths(int fd) = 0;
  // Reads the byte at register `reg` into *value: 1 when a byte came, 0 when
  // the bus returned no data (*value then still holds reg), -1 with errno
  // when the chip did not answer.
  virtual ssize_t i2c_read_byte(int fd, uint8_t reg, uint8_t* value) = 0;

  // Runs a shell command and waits for it: its exit status (0-255), or -1
  // with errno when it could not be started.
  virtual int run_shell(const char* command) = 0;
  // Runs a command and collects its standard output, as popen/pclose do:
  // 0, or -1 with errno when the pipe could not be started.
  virtual int run_pipe(const char* command, std::string* output) = 0;
  virtual void pause_seconds(unsigned seconds) = 0;
  // Flushes file-system buffers to storage (sync(2)); cannot fail.
  virtual void sync_filesystems() = 0;
};

// Owns a descriptor opened through a Platform and closes it on every path.
class FileHandle {
 public:
  FileHandle(Platform& platform, int fd) : platform_(&platform), fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes what is held and takes `fd` instead.
  void adopt(int fd) {
    reset();
    fd_ = fd;
  }
  // Closes now and returns close's result (0 when nothing was open).
  int reset() {
    int result = 0;
    if (fd_ >= 0) result = platform_->close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  Platform* platform_;
  int fd_;
};

}  // namespace platform
