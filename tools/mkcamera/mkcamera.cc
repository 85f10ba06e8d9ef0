// mkcamera: creates the root directory of a simulated camera for update-sim.
//
// A host tool. Everything is checked before the first file is touched, so bad
// input leaves the disk as it was. Files are written through a descriptor of
// ROOT with no symbolic link followed and only onto regular files, so nothing
// outside ROOT (and no device node inside it) is ever written.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "image/crc32.h"
#include "platform/output.h"
#include "tools/split.h"

namespace {

constexpr int kExitWriteFailed = 1;
constexpr int kExitBadInput = 2;

platform::FdStream g_out(STDOUT_FILENO);
platform::FdStream g_err(STDERR_FILENO);

const char kHelp[] =
    "Usage: mkcamera [OPTION]... ROOT\n"
    "Creates a simulated camera for update-sim in the directory ROOT. ROOT is made\n"
    "when missing (its parent must exist) and must be empty unless --force is given.\n"
    "\n"
    "Flash (ten NAND partitions dev/mtd0..dev/mtd9, erased to 0xFF):\n"
    "  --size NAME=SIZE     size of partition NAME (uboot env1 env2 ker1 ker2 fs1\n"
    "                       fs2 cfg oem rsd; ker, fs or env for both of a pair).\n"
    "                       SIZE is bytes in decimal or 0x hex, with an optional\n"
    "                       k (KiB) or M (MiB) suffix, a whole number of erase\n"
    "                       blocks, at most 1024M. Repeatable\n"
    "  --bad NAME:BLOCK[,BLOCK]...\n"
    "                       the flash reports these erase blocks (from 0) of the\n"
    "                       NAND partition NAME bad (their contents are written as\n"
    "                       for good blocks). Repeatable\n"
    "  --nor-env            env1 and env2 are NOR flash: 64 KiB erase blocks,\n"
    "                       512k each\n"
    "\n"
    "Running system:\n"
    "  --slot 1|2           the slot the kernel was booted from (default 1): it is\n"
    "                       named in proc/cmdline and in the default bootargs and\n"
    "                       bootcmd\n"
    "\n"
    "Boot environment (one copy in env1, one in env2):\n"
    "  --env MODE           default: the variables listed below; empty: valid\n"
    "                       copies of an empty list; corrupt: the variables with\n"
    "                       both CRCs wrong; corrupt0, corrupt1: only the CRC of\n"
    "                       copy 0 (env1) or copy 1 (env2) wrong; none: env1 and\n"
    "                       env2 erased\n"
    "  --flags A,B          flag bytes of copy 0 and copy 1, 0-255 each. Default:\n"
    "                       NAND 2,1 (counters: copy 0 is newer); NOR 1,0 (copy 0\n"
    "                       active, copy 1 obsolete)\n"
    "  --set NAME=VALUE     add a variable at the end, or replace its value where\n"
    "                       it stands. VALUE takes escapes. Repeatable\n"
    "  --unset NAME         remove a variable. Repeatable\n"
    "                       --set and --unset apply in command-line order to the\n"
    "                       list that --env chose\n"
    "\n"
    "Identity EEPROM (dev/i2c-2, 256 bytes) and files under tmp/:\n"
    "  --chipinfo STR       chip information in EEPROM bytes 0-31, at most 32\n"
    "                       bytes, a shorter one followed by zero bytes; takes\n"
    "                       escapes (default VTC29H6301SA100E0110N00040000000).\n"
    "                       Bytes 32-255 are 0xFF\n"
    "  --silent-eeprom      dev/i2c-2 is empty: a bus with no chip on it\n"
    "  --no-eeprom          no dev/i2c-2: the bus cannot be opened\n"
    "  --sensor TEXT        write tmp/sensor_type holding exactly TEXT (after\n"
    "                       escapes), e.g. --sensor 'imx327\\n'; absent otherwise\n"
    "  --codec TEXT         the same for tmp/codec_type\n"
    "\n"
    "  --force              accept a non-empty ROOT: every file listed below is\n"
    "                       rewritten, the optional ones this run does not make are\n"
    "                       removed, and so are update-sim's shell.log, flash.log,\n"
    "                       faults and mnt/nand/upfw.log; anything else is left\n"
    "  -h, --help           this text\n"
    "\n"
    "Escapes in VALUE, STR and TEXT: \\n newline, \\t tab, \\r carriage return,\n"
    "\\\\ backslash, \\0 zero byte, \\xHH the byte with the two hex digits HH. Any\n"
    "other backslash is an error; VALUE cannot hold a zero byte.\n"
    "\n"
    "Default sizes: uboot 1M, env1 512k, env2 512k, ker1 4M, ker2 4M, fs1 16M,\n"
    "fs2 16M, cfg 2M, oem 2M, rsd 2M. NAND geometry: erasesize 131072, writesize\n"
    "2048, oobsize 64.\n"
    "\n"
    "Default environment, in this order (N is the slot):\n"
    "  bootargs=mem=148M console=ttyAMA0,115200 ubi.mtd=fsN root=ubi0:rootfs rw\n"
    "           rootfstype=ubifs init=/linuxrc   (one line)\n"
    "  bootcmd=nand read 0x82000000 kerN 0x400000; bootm 0x82000000\n"
    "  bootdelay=1  baudrate=115200  ethaddr=00:11:22:33:44:55\n"
    "  ipaddr=192.168.1.10  serverip=192.168.1.1  netmask=255.255.255.0\n"
    "  gateway=192.168.1.1\n"
    "  uboot, ker1, ker2, fs1, fs2: firmware records\n"
    "    P=name:P<TAB>ver:0xVVVVVVVV<TAB>size:S<TAB>date:0x07e60304<BLANK>\n"
    "  with versions uboot 4.2.2.36 (04020224), ker 4.2.2.10 (0402020a),\n"
    "  fs 40.7.0.80 (28070050), and sizes S uboot 212992, ker 2359296,\n"
    "  fs 11534336, each cut to its partition's size.\n"
    "\n"
    "Files made in ROOT: dev/mtd0..dev/mtd9 and dev/mtdN.geometry, proc/mtd,\n"
    "proc/cmdline, dev/i2c-2, tmp/sensor_type and tmp/codec_type when asked for,\n"
    "and the directories tmp/, mnt/nand/ and dev/shm/.\n"
    "\n"
    "Nothing is printed on success. Exit status: 0 created, 1 a file could not be\n"
    "written, 2 bad input (nothing written).\n";

// ---------------------------------------------------------------------------
// Layout constants

constexpr size_t kPartitionCount = 10;
const char* const kPartitionNames[kPartitionCount] = {"uboot", "env1", "env2", "ker1", "ker2",
                                                      "fs1",   "fs2",  "cfg",  "oem",  "rsd"};
constexpr size_t kEnv1 = 1;
constexpr size_t kEnv2 = 2;

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kDefaultSizes[kPartitionCount] = {1 * kMiB, 512 * kKiB, 512 * kKiB, 4 * kMiB,
                                                     4 * kMiB, 16 * kMiB,  16 * kMiB,  2 * kMiB,
                                                     2 * kMiB, 2 * kMiB};
// A bound against typing mistakes that would fill the disk.
constexpr uint64_t kMaxPartitionSize = 1024 * kMiB;

constexpr uint32_t kNandEraseSize = 131072;
constexpr uint32_t kNorEraseSize = 65536;
// The environment code erases 0x80000-byte ranges; on NOR that is the device.
constexpr uint64_t kNorEnvDeviceSize = 0x80000;

constexpr size_t kEnvCopySize = 0x40000;
constexpr size_t kEnvDataOffset = 5;
constexpr size_t kEnvDataSize = kEnvCopySize - kEnvDataOffset;

constexpr size_t kEepromSize = 256;
constexpr size_t kChipInfoSize = 32;
const char kDefaultChipInfo[] = "VTC29H6301SA100E0110N00040000000";

constexpr uint32_t kRecordDate = 0x07E60304;  // 2022/3/4

struct Record {
  size_t partition;
  uint32_t version;
  uint64_t nominal_size;
};
const Record kRecords[] = {{0, 0x04020224, 212992},
                           {3, 0x0402020A, 2359296},
                           {4, 0x0402020A, 2359296},
                           {5, 0x28070050, 11534336},
                           {6, 0x28070050, 11534336}};

// ---------------------------------------------------------------------------
// Options

enum class EnvMode { kDefault, kEmpty, kCorrupt, kCorrupt0, kCorrupt1, kNone };
enum class Eeprom { kChip, kSilent, kAbsent };

struct EnvEdit {
  bool set;
  std::string name;
  std::string value;
};

struct Options {
  std::string root;
  bool force = false;
  int slot = 1;
  uint64_t sizes[kPartitionCount];
  bool size_given[kPartitionCount] = {};
  std::set<uint64_t> bad[kPartitionCount];
  bool nor_env = false;
  EnvMode env = EnvMode::kDefault;
  std::optional<std::pair<uint8_t, uint8_t>> flags;
  std::vector<EnvEdit> edits;
  Eeprom eeprom = Eeprom::kChip;
  std::optional<std::string> chipinfo;
  std::optional<std::string> sensor;
  std::optional<std::string> codec;
};

// Thrown for bad input; caught in main, which prints it with the help hint.
struct BadInput {
  std::string message;
};

[[noreturn]] void bad(const std::string& message) { throw BadInput{message}; }

std::optional<size_t> partition_index(const std::string& name) {
  for (size_t i = 0; i < kPartitionCount; ++i)
    if (name == kPartitionNames[i]) return i;
  return std::nullopt;
}

// A whole-string unsigned number: decimal, or hexadecimal after 0x.
std::optional<uint64_t> parse_number(const std::string& text) {
  std::string digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
    base = 16;
  }
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
      return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

uint64_t parse_size(const std::string& text, const std::string& option) {
  std::string digits = text;
  uint64_t unit = 1;
  if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'K')) {
    unit = kKiB;
    digits.pop_back();
  } else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) {
    unit = kMiB;
    digits.pop_back();
  }
  std::optional<uint64_t> value = parse_number(digits);
  if (!value || *value > kMaxPartitionSize / unit || *value * unit == 0)
    bad(option + ": SIZE \"" + text +
        "\" must be bytes in decimal or 0x hex, with an optional k or M, above 0 and at most "
        "1024M");
  return *value * unit;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string& text, const std::string& option) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) bad(option + ": \"" + text + "\" ends in a lone backslash");
    switch (text[i]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      case '0':
        out += '\0';
        break;
      case 'x': {
        int high = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
        if (high < 0 || low < 0) bad(option + ": \\x in \"" + text + "\" needs two hex digits");
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        bad(option + ": unknown escape \\" + text.substr(i, 1) + " in \"" + text + "\"");
    }
  }
  return out;
}

void parse_size_option(const std::string& text, Options* options) {
  size_t equals = text.find('=');
  if (equals == std::string::npos) bad("--size: expected NAME=SIZE, got \"" + text + "\"");
  std::string name = text.substr(0, equals);
  uint64_t size = parse_size(text.substr(equals + 1), "--size " + name);
  std::vector<size_t> targets;
  if (name == "ker" || name == "fs" || name == "env") {
    targets = {*partition_index(name + "1"), *partition_index(name + "2")};
  } else if (std::optional<size_t> index = partition_index(name)) {
    targets = {*index};
  } else {
    bad("--size: unknown partition \"" + name + "\"");
  }
  for (size_t index : targets) {
    options->sizes[index] = size;
    options->size_given[index] = true;
  }
}

void parse_bad_option(const std::string& text, Options* options) {
  size_t colon = text.find(':');
  if (colon == std::string::npos)
    bad("--bad: expected NAME:BLOCK[,BLOCK]..., got \"" + text + "\"");
  std::optional<size_t> index = partition_index(text.substr(0, colon));
  if (!index) bad("--bad: unknown partition \"" + text.substr(0, colon) + "\"");
  for (const std::string& block_text : tools::split(text.substr(colon + 1), ',')) {
    std::optional<uint64_t> block = parse_number(block_text);
    if (!block) bad("--bad: \"" + block_text + "\" in \"" + text + "\" is not a block number");
    options->bad[*index].insert(*block);
  }
}

std::pair<uint8_t, uint8_t> parse_flags(const std::string& text) {
  std::vector<std::string> parts = tools::split(text, ',');
  std::optional<uint64_t> first, second;
  if (parts.size() == 2) {
    first = parse_number(parts[0]);
    second = parse_number(parts[1]);
  }
  if (!first || !second || *first > 255 || *second > 255)
    bad("--flags: expected A,B with numbers 0-255, got \"" + text + "\"");
  return {static_cast<uint8_t>(*first), static_cast<uint8_t>(*second)};
}

EnvMode parse_env_mode(const std::string& text) {
  if (text == "default") return EnvMode::kDefault;
  if (text == "empty") return EnvMode::kEmpty;
  if (text == "corrupt") return EnvMode::kCorrupt;
  if (text == "corrupt0") return EnvMode::kCorrupt0;
  if (text == "corrupt1") return EnvMode::kCorrupt1;
  if (text == "none") return EnvMode::kNone;
  bad("--env: MODE must be default, empty, corrupt, corrupt0, corrupt1 or none, not \"" + text +
      "\"");
}

void check_variable_name(const std::string& name, const std::string& option) {
  if (name.empty()) bad(option + ": the variable name is empty");
  if (name.find('=') != std::string::npos) bad(option + ": \"" + name + "\" holds '='");
}

// Checks what single options cannot: combinations and the final geometry.
void check_options(const Options& options) {
  if (options.env == EnvMode::kNone && (options.flags || !options.edits.empty()))
    bad("--flags, --set and --unset have nothing to act on with --env none");
  if (options.eeprom != Eeprom::kChip && options.chipinfo)
    bad("--chipinfo cannot go with --no-eeprom or --silent-eeprom");
  for (size_t i = 0; i < kPartitionCount; ++i) {
    bool nor = options.nor_env && (i == kEnv1 || i == kEnv2);
    uint64_t erase_size = nor ? kNorEraseSize : kNandEraseSize;
    std::string name = kPartitionNames[i];
    if (options.sizes[i] % erase_size != 0)
      bad("--size " + name + ": " + std::to_string(options.sizes[i]) +
          " is not a whole number of " + std::to_string(erase_size) + "-byte erase blocks");
    if (nor && options.sizes[i] != kNorEnvDeviceSize)
      bad("--size " + name + ": a NOR environment device is 512k");
    if ((i == kEnv1 || i == kEnv2) && options.env != EnvMode::kNone &&
        options.sizes[i] < kEnvCopySize)
      bad("--size " + name + ": the environment copy needs at least 256k");
    if (nor && !options.bad[i].empty()) bad("--bad " + name + ": NOR flash has no bad blocks");
    uint64_t blocks = options.sizes[i] / erase_size;
    if (!options.bad[i].empty() && *options.bad[i].rbegin() >= blocks)
      bad("--bad " + name + ": block " + std::to_string(*options.bad[i].rbegin()) +
          " is past the last block (" + std::to_string(blocks - 1) + ")");
  }
}

Options parse_options(int argc, char** argv, bool* help) {
  enum {
    kForce = 256,
    kSlot,
    kSize,
    kBad,
    kNorEnv,
    kEnv,
    kFlags,
    kSet,
    kUnset,
    kChipInfo,
    kSilentEeprom,
    kNoEeprom,
    kSensor,
    kCodec,
  };
  static const option kLongOptions[] = {{"force", no_argument, nullptr, kForce},
                                        {"slot", required_argument, nullptr, kSlot},
                                        {"size", required_argument, nullptr, kSize},
                                        {"bad", required_argument, nullptr, kBad},
                                        {"nor-env", no_argument, nullptr, kNorEnv},
                                        {"env", required_argument, nullptr, kEnv},
                                        {"flags", required_argument, nullptr, kFlags},
                                        {"set", required_argument, nullptr, kSet},
                                        {"unset", required_argument, nullptr, kUnset},
                                        {"chipinfo", required_argument, nullptr, kChipInfo},
                                        {"silent-eeprom", no_argument, nullptr, kSilentEeprom},
                                        {"no-eeprom", no_argument, nullptr, kNoEeprom},
                                        {"sensor", required_argument, nullptr, kSensor},
                                        {"codec", required_argument, nullptr, kCodec},
                                        {"help", no_argument, nullptr, 'h'},
                                        {nullptr, 0, nullptr, 0}};
  Options options;
  std::copy(std::begin(kDefaultSizes), std::end(kDefaultSizes), options.sizes);
  *help = false;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":h", kLongOptions, nullptr)) != -1) {
    std::string arg = optarg != nullptr ? optarg : "";
    switch (c) {
      case 'h':
        *help = true;
        return options;
      case kForce:
        options.force = true;
        break;
      case kSlot:
        if (arg != "1" && arg != "2") bad("--slot must be 1 or 2, not \"" + arg + "\"");
        options.slot = arg[0] - '0';
        break;
      case kSize:
        parse_size_option(arg, &options);
        break;
      case kBad:
        parse_bad_option(arg, &options);
        break;
      case kNorEnv:
        options.nor_env = true;
        break;
      case kEnv:
        options.env = parse_env_mode(arg);
        break;
      case kFlags:
        options.flags = parse_flags(arg);
        break;
      case kSet: {
        size_t equals = arg.find('=');
        if (equals == std::string::npos) bad("--set: expected NAME=VALUE, got \"" + arg + "\"");
        EnvEdit edit{true, arg.substr(0, equals), unescape(arg.substr(equals + 1), "--set")};
        check_variable_name(edit.name, "--set");
        if (edit.value.find('\0') != std::string::npos)
          bad("--set " + edit.name + ": a value cannot hold a zero byte");
        options.edits.push_back(std::move(edit));
        break;
      }
      case kUnset:
        check_variable_name(arg, "--unset");
        options.edits.push_back({false, arg, ""});
        break;
      case kChipInfo:
        options.chipinfo = unescape(arg, "--chipinfo");
        if (options.chipinfo->size() > kChipInfoSize)
          bad("--chipinfo: \"" + arg + "\" is longer than 32 bytes");
        break;
      case kSilentEeprom:
      case kNoEeprom: {
        Eeprom wanted = c == kNoEeprom ? Eeprom::kAbsent : Eeprom::kSilent;
        if (options.eeprom != Eeprom::kChip && options.eeprom != wanted)
          bad("--no-eeprom and --silent-eeprom exclude each other");
        options.eeprom = wanted;
        break;
      }
      case kSensor:
        options.sensor = unescape(arg, "--sensor");
        break;
      case kCodec:
        options.codec = unescape(arg, "--codec");
        break;
      case ':':
        bad(std::string("option ") + argv[optind - 1] + " needs an argument");
      default:
        // optopt is the short option's letter, or the value of a long option
        // given an argument it does not take.
        if (optopt > 0 && optopt < 256)
          bad(std::string("unknown option -") + static_cast<char>(optopt));
        if (optopt >= 256) bad(std::string("option ") + argv[optind - 1] + " takes no argument");
        bad(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind == argc) bad("no ROOT directory given");
  if (argc - optind > 1) bad(std::string("unexpected argument \"") + argv[optind + 1] + "\"");
  options.root = argv[optind];
  if (options.root.empty()) bad("ROOT must not be empty");
  check_options(options);
  return options;
}

// ---------------------------------------------------------------------------
// Contents

std::string slot_text(int slot) { return std::to_string(slot); }

std::string firmware_record(const char* name, uint32_t version, uint64_t size) {
  char text[128];
  std::snprintf(text, sizeof text, "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ", name, version,
                static_cast<unsigned>(size), kRecordDate);
  return text;
}

using Variables = std::vector<std::pair<std::string, std::string>>;

Variables environment_variables(const Options& options) {
  Variables vars;
  if (options.env != EnvMode::kEmpty) {
    std::string n = slot_text(options.slot);
    vars = {{"bootargs", "mem=148M console=ttyAMA0,115200 ubi.mtd=fs" + n +
                             " root=ubi0:rootfs rw rootfstype=ubifs init=/linuxrc"},
            {"bootcmd", "nand read 0x82000000 ker" + n + " 0x400000; bootm 0x82000000"},
            {"bootdelay", "1"},
            {"baudrate", "115200"},
            {"ethaddr", "00:11:22:33:44:55"},
            {"ipaddr", "192.168.1.10"},
            {"serverip", "192.168.1.1"},
            {"netmask", "255.255.255.0"},
            {"gateway", "192.168.1.1"}};
    for (const Record& record : kRecords) {
      const char* name = kPartitionNames[record.partition];
      uint64_t size = std::min(record.nominal_size, options.sizes[record.partition]);
      vars.emplace_back(name, firmware_record(name, record.version, size));
    }
  }
  for (const EnvEdit& edit : options.edits) {
    auto found = std::find_if(vars.begin(), vars.end(),
                              [&](const auto& var) { return var.first == edit.name; });
    if (!edit.set) {
      if (found != vars.end()) vars.erase(found);
    } else if (found != vars.end()) {
      found->second = edit.value;
    } else {
      vars.emplace_back(edit.name, edit.value);
    }
  }
  return vars;
}

// One environment copy: CRC word, flag byte, then the entries, zero-filled.
std::vector<uint8_t> environment_copy(const Variables& vars, uint8_t flag, bool corrupt) {
  std::vector<uint8_t> copy(kEnvCopySize, 0);
  size_t at = kEnvDataOffset;
  for (const auto& [name, value] : vars) {
    std::string entry = name + "=" + value;
    // The entry, its NUL and the list's closing NUL must fit.
    if (entry.size() + 2 > kEnvCopySize - at) bad("the environment does not fit in 262139 bytes");
    std::memcpy(copy.data() + at, entry.data(), entry.size());
    at += entry.size() + 1;
  }
  uint32_t crc = image::crc32(0, copy.data() + kEnvDataOffset, kEnvDataSize);
  if (corrupt) crc = ~crc;
  for (int i = 0; i < 4; ++i) copy[static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
  copy[4] = flag;
  return copy;
}

std::string geometry_text(const Options& options, size_t index) {
  bool nor = options.nor_env && (index == kEnv1 || index == kEnv2);
  std::string text = nor ? "type=nor\nerasesize=65536\nwritesize=1\noobsize=0\n"
                         : "type=nand\nerasesize=131072\nwritesize=2048\noobsize=64\n";
  if (!options.bad[index].empty()) {
    text += "bad=";
    bool first = true;
    for (uint64_t block : options.bad[index]) {
      if (!first) text += ",";
      text += std::to_string(block);
      first = false;
    }
    text += "\n";
  }
  return text;
}

std::string proc_mtd_text(const Options& options) {
  std::string text = "dev:    size   erasesize  name\n";
  for (size_t i = 0; i < kPartitionCount; ++i) {
    bool nor = options.nor_env && (i == kEnv1 || i == kEnv2);
    char line[64];
    std::snprintf(line, sizeof line, "mtd%zu: %08x %08x \"%s\"\n", i,
                  static_cast<unsigned>(options.sizes[i]), nor ? kNorEraseSize : kNandEraseSize,
                  kPartitionNames[i]);
    text += line;
  }
  return text;
}

std::string cmdline_text(int slot) {
  return "mem=148M console=ttyAMA0,115200 ubi.mtd=fs" + slot_text(slot) +
         " root=ubi0:rootfs rw rootfstype=ubifs init=/linuxrc\n";
}

// ---------------------------------------------------------------------------
// Writing

// A failure to create ROOT's contents; caught in main.
struct WriteFailure {
  std::string message;
};

class Writer {
 public:
  explicit Writer(std::string root) : root_(std::move(root)) {}

  [[noreturn]] void fail(const std::string& path) const {
    throw WriteFailure{root_ + "/" + path + ": " + std::strerror(errno)};
  }

  // The directory `path` (relative to `parent`, whose path is `parent_path`),
  // made when missing; a symbolic link or other file there is refused.
  int directory(int parent, const std::string& parent_path, const char* name) {
    std::string path = parent_path.empty() ? name : parent_path + "/" + name;
    if (mkdirat(parent, name, 0755) != 0 && errno != EEXIST) fail(path);
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) fail(path);
    fds_.push_back(fd);
    return fd;
  }

  // Writes `data` followed by `erased` bytes of 0xFF as the whole file.
  void file(int dir, const std::string& dir_path, const char* name, const void* data, size_t size,
            uint64_t erased = 0) {
    std::string path = dir_path + "/" + name;
    // O_NONBLOCK: a FIFO left where a file belongs must not hang the open.
    int fd = openat(dir, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) fail(path);
    struct stat st;
    if (fstat(fd, &st) != 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      fail(path);
    }
    // Truncate only after the check, so that no device node is ever emptied.
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      throw WriteFailure{root_ + "/" + path + ": not a regular file"};
    }
    bool ok = ftruncate(fd, 0) == 0 && write_all(fd, data, size);
    static std::vector<uint8_t> ff(4 * kMiB, 0xFF);
    while (ok && erased > 0) {
      size_t chunk = static_cast<size_t>(std::min<uint64_t>(erased, ff.size()));
      ok = write_all(fd, ff.data(), chunk);
      erased -= chunk;
    }
    int saved = errno;
    if (::close(fd) != 0 && ok) {
      ok = false;
      saved = errno;
    }
    errno = saved;
    if (!ok) fail(path);
  }

  void text_file(int dir, const std::string& dir_path, const char* name, const std::string& text) {
    file(dir, dir_path, name, text.data(), text.size());
  }

  void remove(int dir, const std::string& dir_path, const char* name) {
    if (unlinkat(dir, name, 0) != 0 && errno != ENOENT)
      fail(dir_path.empty() ? name : dir_path + "/" + name);
  }

  // Closed with the writer.
  void adopt(int fd) { fds_.push_back(fd); }

  ~Writer() {
    for (int fd : fds_) ::close(fd);
  }

 private:
  static bool write_all(int fd, const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
      ssize_t n = ::write(fd, bytes, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return false;
      }
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  std::string root_;
  std::vector<int> fds_;
};

bool directory_is_empty(int fd) {
  int copy = dup(fd);
  if (copy < 0) return false;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return false;
  }
  bool empty = true;
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(dir);
  return empty;
}

// Opens ROOT, making it when missing; refuses what must not be written into.
int open_root(const Options& options) {
  const std::string& root = options.root;
  if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    if (errno == ENOENT) bad("cannot make " + root + ": its parent directory does not exist");
    throw WriteFailure{"cannot make " + root + ": " + std::strerror(errno)};
  }
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOTDIR) bad(root + " is not a directory");
    throw WriteFailure{root + ": " + std::strerror(errno)};
  }
  struct stat own, system_root;
  if (fstat(fd, &own) == 0 && stat("/", &system_root) == 0 && own.st_dev == system_root.st_dev &&
      own.st_ino == system_root.st_ino) {
    ::close(fd);
    bad("ROOT must not be the system's root directory");
  }
  if (!options.force && !directory_is_empty(fd)) {
    ::close(fd);
    bad(root + " is not empty (use --force to write into it anyway)");
  }
  return fd;
}

void make_camera(const Options& options) {
  // Build every content first: a failure here (an environment too large) is
  // bad input and must come before ROOT is touched.
  // NOR marks copies active (1) and obsolete (0); NAND counts, higher is newer.
  auto [flag0, flag1] = options.flags.value_or(options.nor_env ? std::pair<uint8_t, uint8_t>{1, 0}
                                                               : std::pair<uint8_t, uint8_t>{2, 1});
  std::vector<uint8_t> env_copies[2];
  if (options.env != EnvMode::kNone) {
    Variables vars = environment_variables(options);
    bool corrupt0 = options.env == EnvMode::kCorrupt || options.env == EnvMode::kCorrupt0;
    bool corrupt1 = options.env == EnvMode::kCorrupt || options.env == EnvMode::kCorrupt1;
    env_copies[0] = environment_copy(vars, flag0, corrupt0);
    env_copies[1] = environment_copy(vars, flag1, corrupt1);
  }

  int root_fd = open_root(options);
  Writer writer(options.root);
  writer.adopt(root_fd);
  int dev = writer.directory(root_fd, "", "dev");
  int proc = writer.directory(root_fd, "", "proc");
  int tmp = writer.directory(root_fd, "", "tmp");
  int mnt = writer.directory(root_fd, "", "mnt");
  int nand = writer.directory(mnt, "mnt", "nand");
  writer.directory(dev, "dev", "shm");

  for (size_t i = 0; i < kPartitionCount; ++i) {
    std::string name = "mtd" + std::to_string(i);
    const std::vector<uint8_t>* copy = nullptr;
    if (i == kEnv1 && !env_copies[0].empty()) copy = &env_copies[0];
    if (i == kEnv2 && !env_copies[1].empty()) copy = &env_copies[1];
    size_t written = copy != nullptr ? copy->size() : 0;
    writer.file(dev, "dev", name.c_str(), copy != nullptr ? copy->data() : nullptr, written,
                options.sizes[i] - written);
    writer.text_file(dev, "dev", (name + ".geometry").c_str(), geometry_text(options, i));
  }
  writer.text_file(proc, "proc", "mtd", proc_mtd_text(options));
  writer.text_file(proc, "proc", "cmdline", cmdline_text(options.slot));

  if (options.eeprom == Eeprom::kAbsent) {
    writer.remove(dev, "dev", "i2c-2");
  } else if (options.eeprom == Eeprom::kSilent) {
    writer.file(dev, "dev", "i2c-2", nullptr, 0);
  } else {
    uint8_t eeprom[kEepromSize];
    std::memset(eeprom, 0xFF, sizeof eeprom);
    std::memset(eeprom, 0, kChipInfoSize);
    const std::string chipinfo = options.chipinfo.value_or(kDefaultChipInfo);
    std::memcpy(eeprom, chipinfo.data(), std::min(chipinfo.size(), kChipInfoSize));
    writer.file(dev, "dev", "i2c-2", eeprom, sizeof eeprom);
  }

  const std::pair<const char*, const std::optional<std::string>*> tmp_files[] = {
      {"sensor_type", &options.sensor}, {"codec_type", &options.codec}};
  for (const auto& [name, text] : tmp_files) {
    if (text->has_value())
      writer.text_file(tmp, "tmp", name, **text);
    else
      writer.remove(tmp, "tmp", name);
  }

  // A fresh camera carries no trace of earlier update-sim runs.
  for (const char* name : {"shell.log", "flash.log", "faults"}) writer.remove(root_fd, "", name);
  writer.remove(nand, "mnt/nand", "upfw.log");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    bool help = false;
    Options options = parse_options(argc, argv, &help);
    if (help) {
      platform::put(g_out, kHelp);
      return 0;
    }
    make_camera(options);
    return 0;
  } catch (const BadInput& error) {
    platform::print(g_err, "mkcamera: %s\nTry 'mkcamera --help'.\n", error.message.c_str());
    return kExitBadInput;
  } catch (const WriteFailure& error) {
    platform::print(g_err, "mkcamera: %s\n", error.message.c_str());
    return kExitWriteFailed;
  } catch (const std::exception& error) {
    platform::print(g_err, "mkcamera: %s\n", error.what());
    return kExitWriteFailed;
  }
}
