// Test support for the installation: simulated MTD devices of a chosen
// geometry, payloads that show any misplaced byte, the layout and flash trace
// a correct bad-block-skipping write leaves, and whole simulated cameras and
// images made with mkcamera and mkupfw.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_platform.h"
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

// From here on the simulated camera fails what RULES (lines as R/faults holds
// them) say, counting requests afresh. The file goes again at once, so that a
// later platform on the same camera finds no faults.
inline void inject_faults(const testing_support::TempDir& root, platform::sim::SimPlatform& sim,
                          const std::string& rules) {
  root.write("faults", rules);
  sim.reload_faults();
  std::remove(root.file("faults").c_str());
}

// The rule that fails the NTH (from 1) OP on PATH with EIO.
inline std::string fail_rule(const std::string& op, const std::string& path, int nth) {
  return "fail " + op + " " + path + " " + std::to_string(nth) + "\n";
}

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
