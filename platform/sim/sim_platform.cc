#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/text.h"

namespace platform::sim {
namespace {

// The kernel's internal ENOTSUPP: what the MTD lock requests give on NAND.
constexpr int kKernelEnotsupp = 524;

// MEMGETINFO flags, as the kernel sets them for each kind of device.
constexpr uint32_t kMtdWriteable = 0x400;
constexpr uint32_t kMtdBitWriteable = 0x800;
constexpr uint32_t kMtdNoErase = 0x1000;

// The EEPROM answers at 0x50; the camera's driver takes it as 0xA0.
constexpr unsigned kEepromAddress8 = 0xA0;
constexpr unsigned kEepromAddress7 = 0x50;

// op_read and op_write offset for "at the file position".
constexpr int64_t kAtPosition = -1;

bool is_mtd_path(const std::string& path) {
  const std::string prefix = "/dev/mtd";
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  return std::all_of(path.begin() + static_cast<std::ptrdiff_t>(prefix.size()), path.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

bool is_i2c_path(const std::string& path) { return path.rfind("/dev/i2c-", 0) == 0; }

// Shell commands may name only absolute camera paths that stay under the
// root: the emulated commands must never reach the host's own files.
bool is_camera_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (path.compare(start, slash - start, "..") == 0) return false;
    start = slash + 1;
  }
  return true;
}

bool is_octal_mode(const std::string& text) {
  return !text.empty() && text.size() <= 4 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '7'; });
}

// Whole-file read; false with errno when the file cannot be read.
bool read_file(const std::string& path, std::string* text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool pread_all(int fd, uint8_t* data, size_t count, int64_t offset) {
  while (count > 0) {
    ssize_t n = ::pread(fd, data, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;  // the backing file shrank under us
      return false;
    }
    data += n;
    count -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool pwrite_all(int fd, const uint8_t* data, size_t count, int64_t offset) {
  while (count > 0) {
    ssize_t n = ::pwrite(fd, data, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// cells[i] &= data[i], a word at a time: the campaigns program megabytes of
// environment copies in unoptimised builds.
void and_into(uint8_t* cells, const uint8_t* data, size_t count) {
  size_t i = 0;
  for (; i + sizeof(uint64_t) <= count; i += sizeof(uint64_t)) {
    uint64_t cell;
    uint64_t bits;
    std::memcpy(&cell, cells + i, sizeof cell);
    std::memcpy(&bits, data + i, sizeof bits);
    cell &= bits;
    std::memcpy(cells + i, &cell, sizeof cell);
  }
  for (; i < count; ++i) cells[i] &= data[i];
}

void fill_status(const struct stat& st, FileStatus* status) {
  status->size = static_cast<uint64_t>(st.st_size);
  status->mode = st.st_mode;
}

}  // namespace

SimPlatform::SimPlatform(std::string root, Stream& out, Stream& err)
    : root_(std::move(root)), out_(out), err_(err) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  load_faults();
}

void SimPlatform::reload_faults() {
  faults_ = FaultRules{};
  faults_valid_ = true;
  seen_.clear();
  load_faults();
}

void SimPlatform::load_faults() {
  const std::string name = root_ + "/faults";
  struct stat st;
  if (::stat(name.c_str(), &st) != 0) return;  // no faults: everything works
  std::string text;
  std::string error;
  if (!read_file(name, &text)) {
    error = name + ": " + std::strerror(errno);
  } else if (parse_faults(text, name, &faults_, &error)) {
    return;
  }
  faults_ = FaultRules{};
  faults_valid_ = false;
  print(err_, "%s\n", error.c_str());
}

bool SimPlatform::inject(OpKind op, const std::string& path) {
  if (observer_) observer_(op, path);
  if (powered_off_) {
    errno = EIO;
    return true;
  }
  if (faults_.fails.empty()) return false;
  const uint64_t nth = ++seen_[{op, path}];
  for (const FaultRules::Fail& rule : faults_.fails) {
    if (rule.op == op && rule.nth == nth && rule.path == path) {
      errno = rule.error;
      return true;
    }
  }
  return false;
}

bool SimPlatform::cut_due() const {
  return faults_.powercut != 0 && flash_operations_ + 1 == faults_.powercut;
}

int SimPlatform::power_cut() {
  powered_off_ = true;
  const uint64_t operation = flash_operations_;
  if (power_cut_handler_) {
    power_cut_handler_(operation);
  } else {
    throw PowerCut{operation};
  }
  errno = EIO;
  return -1;
}

SimPlatform::~SimPlatform() {
  for (auto& [fd, entry] : fds_) {
    if (entry.flash_fd >= 0) ::close(entry.flash_fd);
    ::close(fd);
  }
}

std::string SimPlatform::host_path(const std::string& path) const {
  if (!path.empty() && path[0] == '/') return root_ + path;
  return path;
}

SimPlatform::Entry* SimPlatform::find(int fd) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) {
    errno = EBADF;
    return nullptr;
  }
  return &it->second;
}

SimPlatform::Entry* SimPlatform::find_mtd(int fd) {
  Entry* entry = find(fd);
  if (entry != nullptr && !entry->mtd) {
    errno = ENOTTY;
    return nullptr;
  }
  return entry;
}

// ---- files ----

int SimPlatform::open(const char* path, int flags, unsigned mode) {
  Entry entry;
  int fd = op_open(path, flags, mode, &entry);
  if (fd < 0) return -1;
  fds_[fd] = std::move(entry);
  return fd;
}

int SimPlatform::op_open(const std::string& path, int flags, unsigned mode, Entry* entry) {
  if (inject(OpKind::kOpen, path)) return -1;
  const std::string host = host_path(path);
  entry->path = path;
  entry->access = flags & O_ACCMODE;
  entry->i2c = is_i2c_path(path);
  if (entry->i2c) {
    // A bus exists or not; opening never creates one.
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) {
      errno = ENOENT;
      return -1;
    }
  }
  int fd = ::open(host.c_str(), flags, static_cast<mode_t>(mode));
  if (fd < 0 || !is_mtd_path(path)) return fd;

  const std::string geometry_name = host + ".geometry";
  struct stat st;
  if (::stat(geometry_name.c_str(), &st) != 0) return fd;  // an ordinary file
  std::string text;
  std::string error;
  bool ok = true;
  if (!read_file(geometry_name, &text)) {
    error = geometry_name + ": " + std::strerror(errno);
    ok = false;
  } else if (!parse_geometry(text, geometry_name, &entry->geometry, &error)) {
    ok = false;
  } else if (::fstat(fd, &st) != 0) {
    error = host + ": " + std::strerror(errno);
    ok = false;
  } else {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint32_t block = entry->geometry.erasesize;
    if (size % block != 0 || size > UINT32_MAX) {
      print(err_, "%s: size %llu is not a whole number of %u-byte erase blocks\n", host.c_str(),
            static_cast<unsigned long long>(size), block);
      ::close(fd);
      errno = EINVAL;
      return -1;
    }
    entry->size = static_cast<uint32_t>(size);
    const auto& bad = entry->geometry.bad;
    if (!bad.empty() && *bad.rbegin() >= entry->size / block) {
      print(err_, "%s: bad block %u is past the device's %u blocks\n", geometry_name.c_str(),
            *bad.rbegin(), entry->size / block);
      ::close(fd);
      errno = EINVAL;
      return -1;
    }
  }
  if (!ok) {
    print(err_, "%s\n", error.c_str());
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  // Programming reads the old bytes back whatever mode the tool chose, so
  // the simulation keeps a read-write descriptor of its own.
  if (entry->access != O_RDONLY) entry->flash_fd = ::open(host.c_str(), O_RDWR | O_CLOEXEC);
  entry->mtd = true;
  return fd;
}

int SimPlatform::close(int fd) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) {
    errno = EBADF;
    return -1;
  }
  if (it->second.flash_fd >= 0) ::close(it->second.flash_fd);
  fds_.erase(it);
  return ::close(fd);
}

ssize_t SimPlatform::read(int fd, void* buf, size_t count) {
  Entry* entry = find(fd);
  return entry == nullptr ? -1 : op_read(fd, *entry, buf, count, kAtPosition);
}

ssize_t SimPlatform::pread(int fd, void* buf, size_t count, int64_t offset) {
  Entry* entry = find(fd);
  if (entry == nullptr) return -1;
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  return op_read(fd, *entry, buf, count, offset);
}

ssize_t SimPlatform::write(int fd, const void* buf, size_t count) {
  Entry* entry = find(fd);
  return entry == nullptr ? -1 : op_write(fd, *entry, buf, count, kAtPosition);
}

ssize_t SimPlatform::pwrite(int fd, const void* buf, size_t count, int64_t offset) {
  Entry* entry = find(fd);
  if (entry == nullptr) return -1;
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  return op_write(fd, *entry, buf, count, offset);
}

int64_t SimPlatform::lseek(int fd, int64_t offset, int whence) {
  if (find(fd) == nullptr) return -1;
  return ::lseek(fd, offset, whence);
}

int SimPlatform::fstat(int fd, FileStatus* status) {
  if (find(fd) == nullptr) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  fill_status(st, status);
  return 0;
}

int SimPlatform::stat(const char* path, FileStatus* status) {
  struct stat st;
  if (::stat(host_path(path).c_str(), &st) != 0) return -1;
  fill_status(st, status);
  return 0;
}

// ---- the operations ----

ssize_t SimPlatform::op_read(int fd, Entry& entry, void* buf, size_t count, int64_t offset) {
  if (inject(OpKind::kRead, entry.path)) return -1;
  const bool at_position = offset == kAtPosition;
  if (entry.mtd) {
    if (at_position) {
      offset = ::lseek(fd, 0, SEEK_CUR);
      if (offset < 0) return -1;
    }
    if (offset >= entry.size) return 0;
    count = std::min<uint64_t>(count, entry.size - static_cast<uint64_t>(offset));
  }
  return at_position ? ::read(fd, buf, count) : ::pread(fd, buf, count, offset);
}

namespace {

// A NAND program or erase that reaches into a bad block fails as a whole.
bool touches_bad_block(const Geometry& g, uint32_t start, uint32_t length) {
  if (g.type != kMtdNandFlash || length == 0) return false;
  for (uint32_t block = start / g.erasesize; block <= (start + length - 1) / g.erasesize; ++block)
    if (g.bad.count(block) != 0) return true;
  return false;
}

}  // namespace

ssize_t SimPlatform::op_write(int fd, Entry& entry, const void* buf, size_t count, int64_t offset) {
  if (inject(OpKind::kWrite, entry.path)) return -1;
  const bool at_position = offset == kAtPosition;
  if (!entry.mtd) return at_position ? ::write(fd, buf, count) : ::pwrite(fd, buf, count, offset);
  if (at_position) {
    offset = ::lseek(fd, 0, SEEK_CUR);
    if (offset < 0) return -1;
  }
  ssize_t written = program(entry, buf, count, offset);
  // write() moves on like a real write; pwrite() leaves the position.
  if (at_position && written > 0 && ::lseek(fd, offset + written, SEEK_SET) < 0) return -1;
  return written;
}

ssize_t SimPlatform::program(Entry& entry, const void* buf, size_t count, int64_t offset) {
  if (entry.access == O_RDONLY) {
    errno = EBADF;
    return -1;
  }
  if (offset >= entry.size) {
    errno = ENOSPC;
    return -1;
  }
  // Like the MTD character device, a write running past the end is cut to it.
  const uint32_t start = static_cast<uint32_t>(offset);
  const uint32_t length =
      static_cast<uint32_t>(std::min<uint64_t>(count, entry.size - static_cast<uint64_t>(start)));
  if (length == 0) return 0;
  const Geometry& g = entry.geometry;
  if (g.type == kMtdNandFlash && (start % g.subpagesize != 0 || length % g.subpagesize != 0)) {
    errno = EINVAL;
    return -1;
  }
  if (touches_bad_block(g, start, length)) {
    errno = EIO;
    return -1;
  }
  if (entry.flash_fd < 0) {
    errno = EACCES;
    return -1;
  }
  // Programming only clears bits. Power lost mid-program leaves a torn
  // write: its first half programmed, the rest as it was.
  const bool cut = cut_due();
  const uint32_t programmed = cut ? length / 2 : length;
  std::vector<uint8_t> cells(programmed);
  if (!pread_all(entry.flash_fd, cells.data(), programmed, start)) return -1;
  and_into(cells.data(), static_cast<const uint8_t*>(buf), programmed);
  if (!pwrite_all(entry.flash_fd, cells.data(), programmed, start)) return -1;
  log_flash("write", entry.path, start, length);
  if (cut) return power_cut();
  return static_cast<ssize_t>(length);
}

int SimPlatform::op_erase(Entry& entry, uint32_t start, uint32_t length) {
  if (inject(OpKind::kErase, entry.path)) return -1;
  // Erasing is a "dangerous" request: the kernel wants a descriptor open for
  // writing.
  if (entry.access == O_RDONLY) {
    errno = EPERM;
    return -1;
  }
  const Geometry& g = entry.geometry;
  if (start >= entry.size || length > entry.size - start || start % g.erasesize != 0 ||
      length % g.erasesize != 0) {
    errno = EINVAL;
    return -1;
  }
  if (length == 0) return 0;
  if (touches_bad_block(g, start, length)) {
    errno = EIO;
    return -1;
  }
  if (entry.flash_fd < 0) {
    errno = EACCES;
    return -1;
  }
  // A cut erase gets through its first half of blocks, at least one.
  const bool cut = cut_due();
  const uint32_t blocks = length / g.erasesize;
  const uint32_t erased_blocks = cut ? std::max<uint32_t>(1, blocks / 2) : blocks;
  const std::vector<uint8_t> erased(g.erasesize, 0xFF);
  for (uint32_t i = 0; i < erased_blocks; ++i) {
    const uint64_t offset = start + uint64_t{i} * g.erasesize;
    if (!pwrite_all(entry.flash_fd, erased.data(), erased.size(), offset)) return -1;
  }
  log_flash("erase", entry.path, start, length);
  if (cut) return power_cut();
  return 0;
}

int SimPlatform::op_badblock(Entry& entry, int64_t offset) {
  if (inject(OpKind::kBadBlock, entry.path)) return -1;
  const Geometry& g = entry.geometry;
  if (g.type != kMtdNandFlash) return 0;  // only NAND has bad blocks
  if (offset < 0 || offset >= entry.size) {
    errno = EINVAL;
    return -1;
  }
  return g.bad.count(static_cast<uint32_t>(offset / g.erasesize)) != 0 ? 1 : 0;
}

int SimPlatform::op_info(Entry& entry, MtdInfo* info) {
  if (inject(OpKind::kInfo, entry.path)) return -1;
  const Geometry& g = entry.geometry;
  info->type = g.type;
  switch (g.type) {
    case kMtdNandFlash:
      info->flags = kMtdWriteable;
      break;
    case kMtdNorFlash:
      info->flags = kMtdWriteable | kMtdBitWriteable;
      break;
    case kMtdRam:
      info->flags = kMtdWriteable | kMtdBitWriteable | kMtdNoErase;
      break;
    default:
      info->flags = kMtdWriteable;
      break;
  }
  info->size = entry.size;
  info->erasesize = g.erasesize;
  info->writesize = g.writesize;
  info->oobsize = g.oobsize;
  return 0;
}

int SimPlatform::mtd_get_info(int fd, MtdInfo* info) {
  Entry* entry = find_mtd(fd);
  return entry == nullptr ? -1 : op_info(*entry, info);
}

int SimPlatform::mtd_get_bad_block(int fd, int64_t offset) {
  Entry* entry = find_mtd(fd);
  return entry == nullptr ? -1 : op_badblock(*entry, offset);
}

int SimPlatform::mtd_erase(int fd, const EraseRange& range) {
  Entry* entry = find_mtd(fd);
  return entry == nullptr ? -1 : op_erase(*entry, range.start, range.length);
}

int SimPlatform::mtd_unlock(int fd, const EraseRange& range) { return mtd_lock(fd, range); }

int SimPlatform::mtd_lock(int fd, const EraseRange&) {
  Entry* entry = find_mtd(fd);
  if (entry == nullptr) return -1;
  if (entry->access == O_RDONLY) {
    errno = EPERM;
    return -1;
  }
  if (entry->geometry.type == kMtdNandFlash) {
    errno = kKernelEnotsupp;
    return -1;
  }
  return 0;
}

// ---- I2C ----

int SimPlatform::i2c_set_slave(int fd, unsigned address) {
  Entry* entry = find(fd);
  if (entry == nullptr) return -1;
  if (!entry->i2c) {
    errno = ENOTTY;
    return -1;
  }
  // Any address is taken; only the EEPROM's answers.
  entry->chip_selected = address == kEepromAddress8 || address == kEepromAddress7;
  return 0;
}

int SimPlatform::i2c_set_byte_widths(int fd) {
  Entry* entry = find(fd);
  if (entry == nullptr) return -1;
  if (!entry->i2c) {
    errno = ENOTTY;
    return -1;
  }
  return 0;
}

ssize_t SimPlatform::i2c_read_byte(int fd, uint8_t reg, uint8_t* value) {
  Entry* entry = find(fd);
  if (entry == nullptr) return -1;
  if (!entry->i2c) {
    errno = ENOTTY;
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  if (!entry->chip_selected || reg >= st.st_size) {
    errno = EIO;  // nobody acknowledged
    return -1;
  }
  uint8_t byte = 0;
  ssize_t n = op_read(fd, *entry, &byte, 1, reg);
  if (n != 1) {
    if (n == 0) errno = EIO;
    return -1;
  }
  *value = byte;
  return 1;
}

// ---- shell ----

int SimPlatform::run_shell(const char* command) {
  std::string text = command;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  log_shell(text);
  ShellResult result = emulate(text);
  out_.write(result.output.data(), result.output.size());
  return result.status;
}

int SimPlatform::run_pipe(const char* command, std::string* output) {
  std::string text = command;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  log_shell(text);
  *output = emulate(text).output;
  return 0;
}

void SimPlatform::pause_seconds(unsigned seconds) {
  log_shell("# sleep " + std::to_string(seconds));
}

SimPlatform::ShellResult SimPlatform::emulate(const std::string& command) {
  using Words = std::vector<std::string>;
  const Words words = split_words(command);
  ShellResult result;
  if (words.empty()) return result;
  // A command told to fail does nothing, as one that could not run.
  for (const auto& [word, status] : faults_.statuses) {
    const std::string& first = words[0];
    const size_t slash = first.rfind('/');
    if (first == word ||
        (slash != std::string::npos && first.compare(slash + 1, std::string::npos, word) == 0)) {
      result.status = status;
      return result;
    }
  }
  if (words == Words{"reboot"} || words == Words{"sync"} ||
      words == Words{"echo", "3", ">", "/proc/sys/vm/drop_caches"}) {
    return result;  // nothing to do on the simulated camera
  }
  if (words.size() == 3 && words[0] == "rm" && words[1] == "-f") {
    if (!is_camera_path(words[2]) ||
        (::unlink(host_path(words[2]).c_str()) != 0 && errno != ENOENT)) {
      result.status = 1;
    }
    return result;
  }
  if (words.size() == 3 && words[0] == "chmod" && is_octal_mode(words[1])) {
    const auto mode = static_cast<mode_t>(std::stoul(words[1], nullptr, 8));
    if (!is_camera_path(words[2]) || ::chmod(host_path(words[2]).c_str(), mode) != 0) {
      result.status = 1;
    }
    return result;
  }
  if (words.size() >= 2 && words[0] == "cat" && words[1] == "/proc/mtd" &&
      (words.size() == 2 || (words.size() == 5 && words[2] == "|" && words[3] == "grep"))) {
    std::string table;
    if (!read_file(host_path("/proc/mtd"), &table)) {
      print(err_, "cat: /proc/mtd: %s\n", std::strerror(errno));
      result.status = 1;
      return result;
    }
    if (words.size() == 2) {
      result.output = table;
      return result;
    }
    size_t position = 0;
    while (position < table.size()) {
      size_t end = table.find('\n', position);
      end = end == std::string::npos ? table.size() : end + 1;
      std::string line = table.substr(position, end - position);
      position = end;
      if (line.find(words[4]) == std::string::npos) continue;
      if (line.back() != '\n') line += '\n';
      result.output += line;
    }
    result.status = result.output.empty() ? 1 : 0;  // grep's status
    return result;
  }
  if (words.size() == 4 && words[0] == "/usr/sbin/flash_erase" && words[2] == "0" &&
      words[3] == "0") {
    result.status = shell_flash_erase(words[1]);
    return result;
  }
  print(err_, "sh: 1: %s: not found\n", words[0].c_str());
  result.status = 127;
  return result;
}

// flash_erase DEV 0 0: every good block of the device, one erase a block.
int SimPlatform::shell_flash_erase(const std::string& device) {
  if (!is_camera_path(device)) return 1;
  Entry entry;
  int fd = op_open(device, O_RDWR | O_CLOEXEC, 0, &entry);
  if (fd < 0) return 1;
  int status = entry.mtd ? 0 : 1;
  const uint32_t block = entry.geometry.erasesize;
  for (uint64_t offset = 0; entry.mtd && offset < entry.size; offset += block) {
    int bad = op_badblock(entry, offset);
    if (bad != 0) {
      if (bad < 0) status = 1;
      continue;
    }
    if (op_erase(entry, static_cast<uint32_t>(offset), block) != 0) status = 1;
  }
  if (entry.flash_fd >= 0) ::close(entry.flash_fd);
  ::close(fd);
  return status;
}

void SimPlatform::log_shell(const std::string& line) { append_line("shell.log", line); }

void SimPlatform::log_flash(const char* op, const std::string& path, uint32_t start,
                            uint32_t length) {
  ++flash_operations_;
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, " 0x%08x 0x%08x", start, length);
  append_line("flash.log", std::string(op) + " " + path + numbers);
}

void SimPlatform::append_line(const char* relative, const std::string& line) {
  const std::string path = root_ + "/" + relative;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // a root that cannot be written loses its traces, not the run
  const std::string text = line + "\n";
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::close(fd);
}

}  // namespace platform::sim
