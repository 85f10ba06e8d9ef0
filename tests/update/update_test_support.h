// Test support for the installation: simulated MTD devices of a chosen
// geometry, payloads that show any misplaced byte, the layout and flash trace
// a correct bad-block-skipping write leaves, and whole simulated cameras and
// images made with mkcamera and mkupfw.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/sim_camera.h"

namespace update_testing {

struct FlashGeometry {
  uint32_t writesize = 2048;
  uint32_t oobsize = 64;
  uint32_t erasesize = 128 * 1024;
  uint32_t blocks = 4;
  std::set<uint32_t> bad;
  std::string type = "nand";
};

// R/dev/NAME filled with `fill`, and its geometry file.
inline void make_flash(const testing_support::TempDir& root, const std::string& name,
                       const FlashGeometry& g, char fill = '\x5A') {
  root.write("dev/" + name, std::string(size_t{g.erasesize} * g.blocks, fill));
  std::ostringstream geometry;
  geometry << "type=" << g.type << "\nerasesize=" << g.erasesize << "\nwritesize=" << g.writesize
           << "\noobsize=" << g.oobsize << "\n";
  if (!g.bad.empty()) {
    geometry << "bad=";
    const char* separator = "";
    for (uint32_t block : g.bad) {
      geometry << separator << block;
      separator = ",";
    }
    geometry << "\n";
  }
  root.write("dev/" + name + ".geometry", geometry.str());
}

// Bytes that differ from page to page and from 0xFF, so a page written to the
// wrong place, twice or not at all shows up.
inline std::string payload_bytes(size_t length, uint32_t seed = 1) {
  std::string bytes(length, '\0');
  uint32_t state = seed;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>((state >> 16) % 0xFF);  // never 0xFF
  }
  return bytes;
}

// What a correct write leaves: the payload, padded with 0xFF to whole pages,
// on the good blocks in order; bad blocks keep `fill`; the rest is erased.
// Also the flash trace: every good block erased, then one write per page.
struct ExpectedWrite {
  std::string flash;
  std::vector<std::string> trace;
};

inline ExpectedWrite expected_write(const FlashGeometry& g, const std::string& dev,
                                    const std::string& payload, char fill = '\x5A') {
  std::string padded = payload;
  padded.resize((payload.size() + g.writesize - 1) / g.writesize * g.writesize, '\xFF');
  ExpectedWrite expected;
  char line[128];
  for (uint32_t b = 0; b < g.blocks; ++b) {
    if (g.bad.count(b)) continue;
    std::snprintf(line, sizeof line, "erase %s 0x%08x 0x%08x", dev.c_str(), b * g.erasesize,
                  g.erasesize);
    expected.trace.push_back(line);
  }
  size_t next = 0;
  for (uint32_t b = 0; b < g.blocks; ++b) {
    if (g.bad.count(b)) {
      expected.flash.append(g.erasesize, fill);
      continue;
    }
    std::string block = padded.substr(std::min(next, padded.size()), g.erasesize);
    for (size_t page = 0; page < block.size(); page += g.writesize) {
      std::snprintf(line, sizeof line, "write %s 0x%08zx 0x%08x", dev.c_str(),
                    size_t{b} * g.erasesize + page, g.writesize);
      expected.trace.push_back(line);
    }
    next += block.size();
    block.resize(g.erasesize, '\xFF');
    expected.flash += block;
  }
  return expected;
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// "" when equal, else where and how two flash images first differ (a plain
// comparison would print megabytes).
inline std::string first_difference(const std::string& actual, const std::string& expected) {
  if (actual == expected) return "";
  if (actual.size() != expected.size())
    return "size " + std::to_string(actual.size()) + ", expected " +
           std::to_string(expected.size());
  size_t at = 0;
  while (actual[at] == expected[at]) ++at;
  char text[96];
  std::snprintf(text, sizeof text, "byte 0x%zx is 0x%02x, expected 0x%02x", at,
                static_cast<unsigned char>(actual[at]), static_cast<unsigned char>(expected[at]));
  return text;
}

// A platform that passes everything to another one, except the requests it
// was told to fail: the flash and file faults a test needs at one place.
class FaultyPlatform : public platform::Platform {
 public:
  explicit FaultyPlatform(platform::Platform& inner) : inner_(inner) {}

  // The `nth` (from 1) `op` on `path` (as the tool names it) fails with
  // `error`. op: open, read (read, pread), write (write, pwrite), erase,
  // badblock, info.
  void fail(const std::string& op, const std::string& path, int nth = 1, int error = EIO) {
    rules_.push_back({op, path, nth, error, 0});
  }
  // Shell commands whose first word is `word` are run, then report `status`.
  void shell_status(const std::string& word, int status) { statuses_[word] = status; }

  platform::Stream& out() override { return inner_.out(); }
  platform::Stream& err() override { return inner_.err(); }

  int open(const char* path, int flags, unsigned mode = 0) override {
    if (should_fail("open", path)) return -1;
    int fd = inner_.open(path, flags, mode);
    if (fd >= 0) paths_[fd] = path;
    return fd;
  }
  int close(int fd) override {
    paths_.erase(fd);
    return inner_.close(fd);
  }
  ssize_t read(int fd, void* buf, size_t count) override {
    return should_fail("read", fd) ? -1 : inner_.read(fd, buf, count);
  }
  ssize_t write(int fd, const void* buf, size_t count) override {
    return should_fail("write", fd) ? -1 : inner_.write(fd, buf, count);
  }
  ssize_t pread(int fd, void* buf, size_t count, int64_t offset) override {
    return should_fail("read", fd) ? -1 : inner_.pread(fd, buf, count, offset);
  }
  ssize_t pwrite(int fd, const void* buf, size_t count, int64_t offset) override {
    return should_fail("write", fd) ? -1 : inner_.pwrite(fd, buf, count, offset);
  }
  int64_t lseek(int fd, int64_t offset, int whence) override {
    return inner_.lseek(fd, offset, whence);
  }
  int fstat(int fd, platform::FileStatus* status) override { return inner_.fstat(fd, status); }
  int stat(const char* path, platform::FileStatus* status) override {
    return inner_.stat(path, status);
  }
  int mtd_get_info(int fd, platform::MtdInfo* info) override {
    return should_fail("info", fd) ? -1 : inner_.mtd_get_info(fd, info);
  }
  int mtd_get_bad_block(int fd, int64_t offset) override {
    return should_fail("badblock", fd) ? -1 : inner_.mtd_get_bad_block(fd, offset);
  }
  int mtd_erase(int fd, const platform::EraseRange& range) override {
    return should_fail("erase", fd) ? -1 : inner_.mtd_erase(fd, range);
  }
  int mtd_unlock(int fd, const platform::EraseRange& range) override {
    return inner_.mtd_unlock(fd, range);
  }
  int mtd_lock(int fd, const platform::EraseRange& range) override {
    return inner_.mtd_lock(fd, range);
  }
  int i2c_set_slave(int fd, unsigned address) override { return inner_.i2c_set_slave(fd, address); }
  int i2c_set_byte_widths(int fd) override { return inner_.i2c_set_byte_widths(fd); }
  ssize_t i2c_read_byte(int fd, uint8_t reg, uint8_t* value) override {
    return inner_.i2c_read_byte(fd, reg, value);
  }
  int run_shell(const char* command) override {
    int status = inner_.run_shell(command);
    std::string text = command;
    auto rule = statuses_.find(text.substr(0, text.find(' ')));
    return rule == statuses_.end() ? status : rule->second;
  }
  int run_pipe(const char* command, std::string* output) override {
    return inner_.run_pipe(command, output);
  }
  void pause_seconds(unsigned seconds) override { inner_.pause_seconds(seconds); }
  void sync_filesystems() override { inner_.sync_filesystems(); }

 private:
  struct Rule {
    std::string op;
    std::string path;
    int nth;
    int error;
    int seen;
  };
  bool should_fail(const char* op, int fd) {
    auto path = paths_.find(fd);
    return path != paths_.end() && should_fail(op, path->second);
  }
  bool should_fail(const char* op, const std::string& path) {
    for (Rule& rule : rules_) {
      if (rule.op != op || rule.path != path) continue;
      if (++rule.seen == rule.nth) {
        errno = rule.error;
        return true;
      }
    }
    return false;
  }

  platform::Platform& inner_;
  std::vector<Rule> rules_;
  std::map<std::string, int> statuses_;
  std::map<int, std::string> paths_;
};

// mkcamera's arguments for a camera with small partitions (the defaults are
// tens of megabytes).
inline std::vector<std::string> small_camera_args() {
  return {"--size", "uboot=256k", "--size", "ker=512k", "--size", "fs=1M",
          "--size", "cfg=128k",   "--size", "oem=128k", "--size", "rsd=128k"};
}

// Makes a camera in `root` (which must be empty): "" or mkcamera's complaint.
inline std::string make_small_camera(const testing_support::TempDir& root,
                                     std::vector<std::string> extra_args = {}) {
  std::vector<std::string> args = small_camera_args();
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  args.push_back(root.path());
  testing_support::ProgramResult result = testing_support::run_program(MKCAMERA_BINARY, args, "");
  return result.status == 0 ? "" : "mkcamera: " + result.err;
}

struct Component {
  int index;
  std::string name;
  std::string version;
  std::string payload;  // empty: the entry carries only its name and version
};

// Builds an image at `output` from `components` with mkupfw, the payload
// files kept in `work`: "" or mkupfw's complaint.
inline std::string make_image(const testing_support::TempDir& work, const std::string& output,
                              const std::vector<Component>& components) {
  std::vector<std::string> args = {"-o", output};
  for (const Component& c : components) {
    std::string entry = std::to_string(c.index) + ":" + c.name + ":" + c.version;
    if (!c.payload.empty()) {
      std::string file = "payload" + std::to_string(c.index);
      work.write(file, c.payload);
      entry += ":" + work.file(file) + ":2022/3/4";
    }
    args.push_back("-e");
    args.push_back(entry);
  }
  testing_support::ProgramResult result = testing_support::run_program(MKUPFW_BINARY, args, "");
  return result.status == 0 ? "" : "mkupfw: " + result.err;
}

// A payload as an image carries it: padded with 0xFF to whole 2048 bytes.
inline std::string padded(std::string payload) {
  payload.resize((payload.size() + 2047) / 2048 * 2048, '\xFF');
  return payload;
}

}  // namespace update_testing
