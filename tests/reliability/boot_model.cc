#include "tests/reliability/boot_model.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/sim/sim_platform.h"

namespace reliability {
namespace {

constexpr char kMagic[8] = {'C', 'A', 'M', 'C', 'O', 'M', 'P', '1'};
constexpr size_t kComponentHeader = 64;

// Where the boot loader keeps its environment: one copy at the start of
// each environment partition, a CRC word, a flag byte, then the data.
constexpr size_t kCopySize = 0x40000;
constexpr size_t kCopyData = 5;

uint32_t le32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

void put_le32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

uint32_t crc_of(const std::string& bytes, size_t at, size_t count) {
  return loader_crc32(reinterpret_cast<const uint8_t*>(bytes.data()) + at, count);
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

// One partition as the boot loader reaches it.
struct Partition {
  std::string bytes;  // the whole device
  platform::sim::Geometry geometry;

  bool block_bad(size_t block) const {
    return geometry.type == platform::kMtdNandFlash && geometry.bad.count(block) != 0;
  }
  // The good blocks in order: what a bad-block-skipping read walks.
  std::string good_blocks() const {
    std::string good;
    const size_t block = geometry.erasesize;
    for (size_t start = 0; start < bytes.size(); start += block)
      if (!block_bad(start / block)) good.append(bytes, start, block);
    return good;
  }
};

class Flash {
 public:
  explicit Flash(std::string root) : root_(std::move(root)) { read_partition_table(); }

  // The partition called `name`, or none when the table or the device
  // cannot be read.
  std::optional<Partition> partition(const std::string& name) const {
    auto device = devices_.find(name);
    if (device == devices_.end()) return std::nullopt;
    const std::string path = root_ + "/dev/" + device->second;
    auto bytes = read_file(path);
    auto geometry_text = read_file(path + ".geometry");
    if (!bytes || !geometry_text) return std::nullopt;
    Partition partition;
    std::string error;
    if (!platform::sim::parse_geometry(*geometry_text, path, &partition.geometry, &error))
      return std::nullopt;
    partition.bytes = std::move(*bytes);
    return partition;
  }

 private:
  // The boot loader's partition list is the one the kernel shows: lines of
  // `mtdN: size erasesize "name"`.
  void read_partition_table() {
    auto table = read_file(root_ + "/proc/mtd");
    if (!table) return;
    std::istringstream lines(*table);
    for (std::string line; std::getline(lines, line);) {
      const size_t colon = line.find(':');
      const size_t open = line.find('"');
      const size_t close = line.rfind('"');
      if (colon == std::string::npos || open == std::string::npos || close <= open) continue;
      devices_[line.substr(open + 1, close - open - 1)] = line.substr(0, colon);
    }
  }

  std::string root_;
  std::map<std::string, std::string> devices_;  // partition name -> mtdN
};

struct Component {
  bool ok = false;
  uint32_t generation = 0;
  std::string problem;
};

// Checks the component at the start of a partition's good blocks.
Component check_component(const Partition& partition, const std::string& kind) {
  Component result;
  const std::string data = partition.good_blocks();
  if (data.size() < kComponentHeader ||
      data.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0) {
    result.problem = "no image header";
    return result;
  }
  if (crc_of(data, 0, 28) != le32(data, 28)) {
    result.problem = "image header damaged";
    return result;
  }
  std::string stored_kind(data.data() + 8, 8);
  stored_kind.resize(stored_kind.find('\0') == std::string::npos ? 8 : stored_kind.find('\0'));
  if (stored_kind != kind) {
    result.problem = "holds a " + stored_kind + " image";
    return result;
  }
  const uint32_t length = le32(data, 20);
  if (length > data.size() - kComponentHeader) {
    result.problem = "image longer than the partition";
    return result;
  }
  if (crc_of(data, kComponentHeader, length) != le32(data, 24)) {
    result.problem = "image incomplete (checksum differs)";
    return result;
  }
  result.ok = true;
  result.generation = le32(data, 16);
  return result;
}

struct EnvCopy {
  bool valid = false;
  uint8_t flag = 0;
  std::string data;
};

EnvCopy read_copy(const Partition& partition) {
  EnvCopy copy;
  if (partition.bytes.size() < kCopySize) return copy;
  // A copy on a bad block cannot be trusted, whatever its bytes say.
  for (size_t at = 0; at < kCopySize; at += partition.geometry.erasesize)
    if (partition.block_bad(at / partition.geometry.erasesize)) return copy;
  copy.valid =
      crc_of(partition.bytes, kCopyData, kCopySize - kCopyData) == le32(partition.bytes, 0);
  copy.flag = static_cast<uint8_t>(partition.bytes[4]);
  copy.data = partition.bytes.substr(kCopyData, kCopySize - kCopyData);
  return copy;
}

// Which copy is newer when both are valid. NAND keeps a counter that wraps
// (0 follows 255); NOR marks the copy in use 1 and the superseded one 0.
int newer_copy(uint8_t type, uint8_t flag0, uint8_t flag1) {
  if (type == platform::kMtdNandFlash) {
    if (flag0 == 255 && flag1 == 0) return 1;
    if (flag1 == 255 && flag0 == 0) return 0;
    return flag1 > flag0 ? 1 : 0;
  }
  if (flag0 == 1 && flag1 == 0) return 0;
  if (flag0 == 0 && flag1 == 1) return 1;
  if (flag0 == flag1) return 0;
  if (flag0 == 0xFF) return 0;
  if (flag1 == 0xFF) return 1;
  return 0;
}

// name -> value of the entries, or none when the list has no end.
std::optional<std::map<std::string, std::string>> entries_of(const std::string& data) {
  std::map<std::string, std::string> entries;
  size_t start = 0;
  while (true) {
    const size_t nul = data.find('\0', start);
    if (nul == std::string::npos) return std::nullopt;
    if (nul == start) return entries;
    const std::string entry = data.substr(start, nul - start);
    const size_t equals = entry.find('=');
    if (equals != std::string::npos && entries.count(entry.substr(0, equals)) == 0)
      entries[entry.substr(0, equals)] = entry.substr(equals + 1);
    start = nul + 1;
  }
}

// The digit after the first `marker` in `text`: '1', '2', or 0.
char slot_digit(const std::string& text, const char* marker) {
  const size_t at = text.find(marker);
  if (at == std::string::npos) return 0;
  const size_t digit = at + std::char_traits<char>::length(marker);
  if (digit >= text.size() || (text[digit] != '1' && text[digit] != '2')) return 0;
  return text[digit];
}

BootOutcome stop(const std::string& stage, const std::string& reason) {
  BootOutcome outcome;
  outcome.stage = stage;
  outcome.reason = reason;
  return outcome;
}

}  // namespace

uint32_t loader_crc32(const uint8_t* data, size_t count) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::string make_component(const std::string& kind, uint32_t generation, size_t body_length) {
  std::string bytes(kComponentHeader + body_length, '\0');
  bytes.replace(0, sizeof kMagic, kMagic, sizeof kMagic);
  bytes.replace(8, std::min<size_t>(kind.size(), 8), kind, 0, 8);
  // Bodies differ by kind and generation, and no page of them is erased
  // flash, so a page left out or torn shows in the checksum.
  uint32_t state = generation * 7919u + static_cast<uint32_t>(kind.size()) * 104729u + kind[0];
  for (size_t i = kComponentHeader; i < bytes.size(); ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>((state >> 16) % 0xFF);
  }
  put_le32(bytes, 16, generation);
  put_le32(bytes, 20, static_cast<uint32_t>(body_length));
  put_le32(bytes, 24, crc_of(bytes, kComponentHeader, body_length));
  put_le32(bytes, 28, crc_of(bytes, 0, 28));
  return bytes;
}

std::string BootOutcome::describe() const {
  if (boots)
    return "boots slot " + std::to_string(slot) + " (generation " + std::to_string(generation) +
           ")";
  return "does not boot: " + stage + ": " + reason;
}

BootOutcome boot_camera(const std::string& root) {
  const Flash flash(root);

  // The boot ROM starts the boot loader from its partition.
  auto uboot = flash.partition("uboot");
  if (!uboot) return stop("uboot", "no partition");
  if (Component loader = check_component(*uboot, "uboot"); !loader.ok)
    return stop("uboot", loader.problem);

  auto env1 = flash.partition("env1");
  auto env2 = flash.partition("env2");
  if (!env1 || !env2) return stop("env", "no environment partitions");
  const uint8_t type = env1->geometry.type;
  if (env2->geometry.type != type) return stop("env", "the copies are on different flash");
  const EnvCopy copies[2] = {read_copy(*env1), read_copy(*env2)};
  int chosen;
  if (copies[0].valid && copies[1].valid) {
    chosen = newer_copy(type, copies[0].flag, copies[1].flag);
  } else if (copies[0].valid || copies[1].valid) {
    chosen = copies[0].valid ? 0 : 1;
  } else {
    // The built-in environment boots from the network, not from flash.
    return stop("env", "no valid copy, the built-in environment boots from the network");
  }
  auto entries = entries_of(copies[chosen].data);
  if (!entries) return stop("env", "copy " + std::to_string(chosen) + " has no end of list");
  auto with_environment = [&](BootOutcome outcome) {
    outcome.environment = *entries;
    return outcome;
  };

  const std::string bootcmd = (*entries)["bootcmd"];
  const std::string bootargs = (*entries)["bootargs"];
  const char kernel_digit = slot_digit(bootcmd, "ker");
  if (kernel_digit == 0)
    return with_environment(stop("bootcmd", "names no kernel partition: \"" + bootcmd + "\""));
  const char fs_digit = slot_digit(bootargs, "=fs");
  if (fs_digit == 0)
    return with_environment(stop("bootargs", "names no file system: \"" + bootargs + "\""));
  const std::string kernel_name = std::string("ker") + kernel_digit;
  const std::string fs_name = std::string("fs") + fs_digit;

  auto kernel_partition = flash.partition(kernel_name);
  if (!kernel_partition) return with_environment(stop(kernel_name, "no partition"));
  Component kernel = check_component(*kernel_partition, "ker");
  if (!kernel.ok) return with_environment(stop(kernel_name, kernel.problem));
  auto fs_partition = flash.partition(fs_name);
  if (!fs_partition) return with_environment(stop(fs_name, "no partition"));
  Component fs = check_component(*fs_partition, "fs");
  if (!fs.ok) return with_environment(stop(fs_name, fs.problem));

  if (kernel_digit != fs_digit || kernel.generation != fs.generation) {
    return with_environment(stop("slots", "kernel from " + kernel_name + " (generation " +
                                              std::to_string(kernel.generation) +
                                              "), file system from " + fs_name + " (generation " +
                                              std::to_string(fs.generation) + ")"));
  }
  BootOutcome outcome = with_environment(BootOutcome{});
  outcome.boots = true;
  outcome.slot = kernel_digit - '0';
  outcome.generation = kernel.generation;
  return outcome;
}

}  // namespace reliability
