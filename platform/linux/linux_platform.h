// The real camera: Linux system calls, MTD and I2C requests, /bin/sh.
#pragma once

#include <set>

#include "platform/platform.h"

namespace platform {

class LinuxPlatform : public Platform {
 public:
  LinuxPlatform(Stream& out, Stream& err) : out_(out), err_(err) {}

  Stream& out() override { return out_; }
  Stream& err() override { return err_; }

  int open(const char* path, int flags, unsigned mode) override;
  int close(int fd) override;
  ssize_t read(int fd, void* buf, size_t count) override;
  ssize_t write(int fd, const void* buf, size_t count) override;
  ssize_t pread(int fd, void* buf, size_t count, int64_t offset) override;
  ssize_t pwrite(int fd, const void* buf, size_t count, int64_t offset) override;
  int64_t lseek(int fd, int64_t offset, int whence) override;
  int fstat(int fd, FileStatus* status) override;
  int stat(const char* path, FileStatus* status) override;

  int mtd_get_info(int fd, MtdInfo* info) override;
  int mtd_get_bad_block(int fd, int64_t offset) override;
  int mtd_erase(int fd, const EraseRange& range) override;
  int mtd_unlock(int fd, const EraseRange& range) override;
  int mtd_lock(int fd, const EraseRange& range) override;

  int i2c_set_slave(int fd, unsigned address) override;
  int i2c_set_byte_widths(int fd) override;
  ssize_t i2c_read_byte(int fd, uint8_t reg, uint8_t* value) override;

  int run_shell(const char* command) override;
  int run_pipe(const char* command, std::string* output) override;
  void pause_seconds(unsigned seconds) override;
  void sync_filesystems() override;

 private:
  Stream& out_;
  Stream& err_;
  // Buses whose driver refused the camera driver's 8-bit address: a standard
  // Linux i2c-dev, reached with the 7-bit address and SMBus transfers.
  std::set<int> smbus_fds_;
};

}  // namespace platform
