// What the fuzz targets share: one simulated camera per process, in a
// temporary directory, whose files each input rewrites.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "image/crc32.h"
#include "platform/output.h"
#include "platform/sim/sim_platform.h"

namespace fuzzing {

// Stops the fuzzer with a finding: a property of the code under test broke.
[[noreturn]] inline void broken(const char* what) {
  platform::FdStream err(2);
  platform::print(err, "%s\n", what);
  std::abort();
}

// Where the camera lives: tmpfs when there is one, so that the files each
// input rewrites never reach a disk.
inline const std::string& camera_root() {
  // Never destroyed: the exit handler that removes the directory runs after
  // static destructors.
  static const std::string& root = *new std::string([] {
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/update-fuzz-XXXXXX" : "/tmp/update-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) broken("mkdtemp failed");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(camera_root(), ignored);
    });
    for (const char* dir : {"/dev/shm", "/proc", "/tmp", "/mnt/nand"})
      std::filesystem::create_directories(pattern + dir);
    return pattern;
  }());
  return root;
}

// Writes R/relative with exactly these bytes.
inline void write_file(const std::string& relative, const void* data, size_t size) {
  const std::string path = camera_root() + "/" + relative;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) broken("cannot write a camera file");
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n <= 0) broken("cannot write a camera file");
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  ::close(fd);
}
inline void write_file(const std::string& relative, const std::string& text) {
  write_file(relative, text.data(), text.size());
}
inline void remove_file(const std::string& relative) {
  ::unlink((camera_root() + "/" + relative).c_str());
}

inline constexpr size_t kCopySize = 0x40000;
inline constexpr size_t kDataSize = kCopySize - 5;

// Both environment devices as two 512 KiB NAND blocks: copy 0 holds `data`
// (cut or padded to the data area) with a right CRC and the newer counter,
// copy 1 is erased.
inline void write_environment(std::string data) {
  data.resize(kDataSize, '\0');
  static std::string erased(2 * kCopySize, '\xFF');
  std::string copy0 = erased;
  const uint32_t crc = image::crc32(0, data.data(), data.size());
  for (int i = 0; i < 4; ++i) copy0[i] = static_cast<char>(crc >> (8 * i));
  copy0[4] = 2;
  copy0.replace(5, kDataSize, data);
  const char* geometry = "type=nand\nerasesize=0x20000\nwritesize=2048\noobsize=64\n";
  write_file("dev/mtd1", copy0);
  write_file("dev/mtd1.geometry", geometry);
  write_file("dev/mtd2", erased);
  write_file("dev/mtd2.geometry", geometry);
}

// A platform on the camera whose console output goes nowhere. The traces
// of the last input are dropped, so they do not grow run after run.
struct Camera {
  Camera() {
    remove_file("shell.log");
    remove_file("flash.log");
  }
  platform::StringStream out;
  platform::StringStream err;
  platform::sim::SimPlatform sim{camera_root(), out, err};
};

}  // namespace fuzzing
