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
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
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
    "  time FILE PROGRAM ARGS... run PROGRAM, write its wall time in seconds to\n"
    "                            FILE, exit with its status\n"
    "guest only:\n"
    "  bad DEV                   the bad erase blocks\n"
    "  write DEV FILE            erase DEV's good blocks, then program FILE's\n"
    "                            pages that are not all 0xFF\n"
    "  eeprom BUS ADDR FILE      fill the chip at the 7-bit ADDR with FILE\n"
    "  floor TRACE               carry out the flash operations of TRACE (lines\n"
    "                            \"erase|program|read FIRST[-LAST]\", numbered over\n"
    "                            the whole chip) and report their cost\n";

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

// Erases every good block of the device; bad blocks keep their marker.
bool erase_good_blocks(int fd, const mtd_info_user& info, const char* path) {
  for (uint32_t start = 0; start < info.size; start += info.erasesize) {
    loff_t offset = start;
    int bad = ioctl(fd, MEMGETBADBLOCK, &offset);
    if (bad < 0) {
      platform::print_error(g_err, "MEMGETBADBLOCK");
      return false;
    }
    if (bad > 0) continue;
    erase_info_user range{start, info.erasesize};
    if (ioctl(fd, MEMERASE, &range) < 0) {
      platform::print_error(g_err, path);
      return false;
    }
  }
  return true;
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
  if (!erase_good_blocks(fd, info, path)) {
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

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The partitions as /proc/mtd lists them, laid end to end from the chip's
// start (the rig's partition list has no gaps).
struct Partition {
  std::string path;
  std::string name;
  uint64_t start = 0;
  uint64_t size = 0;
  int fd = -1;
};

bool read_partitions(std::vector<Partition>* partitions) {
  std::ifstream list("/proc/mtd");
  std::string line;
  std::getline(list, line);  // the column heads
  uint64_t at = 0;
  while (std::getline(list, line)) {
    std::istringstream fields(line);
    std::string device, size, erasesize, name;
    if (!(fields >> device >> size >> erasesize >> name) || device.back() != ':') return false;
    Partition part;
    part.path = "/dev/" + device.substr(0, device.size() - 1);
    part.name = name.size() >= 2 ? name.substr(1, name.size() - 2) : name;
    part.start = at;
    part.size = std::strtoull(size.c_str(), nullptr, 16);
    at += part.size;
    partitions->push_back(part);
  }
  return !partitions->empty();
}

unsigned nandsim_parameter(const char* name) {
  std::ifstream file(std::string("/sys/module/nandsim/parameters/") + name);
  unsigned value = 0;
  file >> value;
  return value;
}

struct FlashWork {
  uint64_t erases = 0;
  uint64_t programs = 0;
  uint64_t reads = 0;
  uint64_t environment_reads = 0;
};

// One run of the trace within one partition.
bool carry_out(const std::string& op, Partition& part, uint64_t offset, uint64_t length,
               std::vector<uint8_t>& buffer) {
  if (op == "erase") {
    erase_info_user range{static_cast<uint32_t>(offset), static_cast<uint32_t>(length)};
    if (ioctl(part.fd, MEMERASE, &range) == 0) return true;
    platform::print_error(g_err, part.path.c_str());
    return false;
  }
  for (uint64_t done = 0; done < length;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(length - done, buffer.size()));
    const off_t at = static_cast<off_t>(offset + done);
    const ssize_t n = op == "program" ? ::pwrite(part.fd, buffer.data(), piece, at)
                                      : ::pread(part.fd, buffer.data(), piece, at);
    if (n != static_cast<ssize_t>(piece)) {
      platform::print_error(g_err, part.path.c_str());
      return false;
    }
    done += piece;
  }
  return true;
}

// The flash's own floor for a piece of work: the same erases, page programs
// and page reads, issued in the same order by a program that does nothing
// else, in as few requests as the runs allow.
int cmd_floor(const char* trace_path) {
  std::vector<Partition> parts;
  if (!read_partitions(&parts)) {
    platform::put(g_err, "vmcheck floor: cannot read /proc/mtd\n");
    return 2;
  }
  mtd_info_user info{};
  for (Partition& part : parts) {
    part.fd = open_device(part.path.c_str(), O_RDWR);
    if (part.fd < 0) return 2;
  }
  if (ioctl(parts[0].fd, MEMGETINFO, &info) < 0) {
    platform::print_error(g_err, "MEMGETINFO");
    return 2;
  }
  struct Run {
    std::string op;
    uint64_t from, to;  // bytes over the whole chip
  };
  std::vector<Run> runs;
  std::ifstream trace(trace_path);
  if (!trace) {
    platform::print_error(g_err, trace_path);
    return 2;
  }
  std::string line;
  while (std::getline(trace, line)) {
    std::istringstream fields(line);
    std::string op, span;
    if (!(fields >> op >> span) || (op != "erase" && op != "program" && op != "read")) {
      platform::print(g_err, "vmcheck floor: bad trace line \"%s\"\n", line.c_str());
      return 2;
    }
    const uint64_t first = std::strtoull(span.c_str(), nullptr, 10);
    const size_t dash = span.find('-');
    const uint64_t last =
        dash == std::string::npos ? first : std::strtoull(span.c_str() + dash + 1, nullptr, 10);
    const uint64_t unit = op == "erase" ? info.erasesize : info.writesize;
    runs.push_back({op, first * unit, (last + 1) * unit});
  }

  // Pages of pseudo-random data: what is programmed does not change the cost.
  std::vector<uint8_t> buffer(1 << 20);
  uint32_t x = 2463534242u;
  for (uint8_t& byte : buffer) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x);
  }

  FlashWork work;
  const double started = monotonic_seconds();
  for (const Run& run : runs) {
    for (Partition& part : parts) {
      const uint64_t from = std::max(run.from, part.start);
      const uint64_t to = std::min(run.to, part.start + part.size);
      if (from >= to) continue;
      if (!carry_out(run.op, part, from - part.start, to - from, buffer)) return 2;
      if (run.op == "erase") work.erases += (to - from) / info.erasesize;
      if (run.op == "program") work.programs += (to - from) / info.writesize;
      if (run.op == "read") {
        work.reads += (to - from) / info.writesize;
        if (part.name.rfind("env", 0) == 0) work.environment_reads += (to - from) / info.writesize;
      }
    }
  }
  const double seconds = monotonic_seconds() - started;
  for (Partition& part : parts) ::close(part.fd);

  // The chip's busy time alone, from the simulator's own delays.
  double delays = 0;
  if (nandsim_parameter("do_delays") != 0) {
    delays = static_cast<double>(work.erases) * nandsim_parameter("erase_delay") / 1e3 +
             static_cast<double>(work.programs) * nandsim_parameter("programm_delay") / 1e6 +
             static_cast<double>(work.reads) * nandsim_parameter("access_delay") / 1e6;
  }
  platform::print(g_out,
                  "seconds=%.3f erases=%llu programs=%llu reads=%llu environment_reads=%llu "
                  "delays=%.3f\n",
                  seconds, static_cast<unsigned long long>(work.erases),
                  static_cast<unsigned long long>(work.programs),
                  static_cast<unsigned long long>(work.reads),
                  static_cast<unsigned long long>(work.environment_reads), delays);
  return 0;
}

// Runs a program and keeps its wall time; the exit status is the program's.
int cmd_time(const char* file, char** argv) {
  const double started = monotonic_seconds();
  const pid_t child = ::fork();
  if (child < 0) {
    platform::print_error(g_err, "fork");
    return 2;
  }
  if (child == 0) {
    ::execvp(argv[0], argv);
    platform::print_error(g_err, argv[0]);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      platform::print_error(g_err, "waitpid");
      return 2;
    }
  }
  const double seconds = monotonic_seconds() - started;
  FILE* out = std::fopen(file, "w");
  if (out == nullptr) {
    platform::print_error(g_err, file);
    return 2;
  }
  std::fprintf(out, "%.3f\n", seconds);
  std::fclose(out);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
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
  if (command == "time" && argc >= 4) return cmd_time(argv[2], argv + 3);
  const bool device = (command == "bad" && argc == 3) || (command == "write" && argc == 4) ||
                      (command == "eeprom" && argc == 5) || (command == "floor" && argc == 3);
  if (!device) {
    platform::put(g_err, kUsage);
    return 2;
  }
  if (!in_guest()) return 2;
  if (command == "bad") return cmd_bad(argv[2]);
  if (command == "write") return cmd_write(argv[2], argv[3]);
  if (command == "floor") return cmd_floor(argv[2]);
  return cmd_eeprom(argv[2], argv[3], argv[4]);
}
