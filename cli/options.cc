#include "cli/options.h"

#include <getopt.h>

#include <cstdlib>
#include <cstring>

#include "bootcfg/settings.h"
#include "cli/report.h"

namespace cli {
namespace {

using platform::print;
using platform::put;

// Codes of the options that have no short letter: below 32, so the usage
// text shows no short form for them.
enum OptionCode : int {
  kHelp = 0,
  kShow = 2,
  kBootargs = 3,
  kBootcmd = 4,
  kAutoDl = 5,
  kAutoBoot = 6,
  kPriAddr = 7,
  kPriFile = 8,
  kServerIp = 20,
  kEth0Ip = 22,
  kEth0Mask = 23,
  kEth0Gw = 24,
  kWifi0Ip = 26,
  kWifi0Mask = 27,
  kWifi0Gw = 28,
};

struct OptionEntry {
  const char* name;
  int has_arg;
  int code;
  const char* arg_word;  // nullptr when the option takes no argument
  const char* description;
};

// Order matters: it is the order of the help listing.
constexpr OptionEntry kOptions[] = {
    {"help", no_argument, kHelp, nullptr, "display this help and exit"},
    {"version", no_argument, 'v', nullptr, "output version information and exit"},
    {"show", no_argument, kShow, nullptr, "Show Vantiro uboot information "},
    {"upfw", no_argument, 'u', nullptr, "Update Vantiro upgrade images"},
    {"analysis", no_argument, 'a', nullptr, "Analysis Vantiro upgrade images"},
    {"list", no_argument, 'l', nullptr, "List upgrade image information"},
    {"system", required_argument, 'S', "id", "Switch Vantiro System"},
    {"sn", required_argument, 'N', "sn", "Update Vantiro uboot SN "},
    {"cmdline", required_argument, 'C', "str", "Update Vantiro uboot cmdline "},
    {"bootargs", required_argument, kBootargs, "str", "Update Vantiro uboot bootargs "},
    {"bootcmd", required_argument, kBootcmd, "str", "Update Vantiro uboot bootcmd "},
    {"delay", required_argument, 'D', "digit", "Update Vantiro uboot bootdelay "},
    {"auto_boot", required_argument, kAutoBoot, "digit",
     "Update Vantiro uboot load linux from nandflash or no "},
    {"auto_dl", required_argument, kAutoDl, "digit",
     "Update Vantiro uboot load linux from network or no "},
    {"pri_addr", required_argument, kPriAddr, "hex", "Update Vantiro uboot pri_addr "},
    {"pri_file", required_argument, kPriFile, "str", "Update Vantiro updated file name(32bytes) "},
    {"serverip", required_argument, kServerIp, "ip", "Update Vantiro uboot tftpd server ip "},
    {"eth0_mac", required_argument, 'E', "MAC", "Update Vantiro uboot eth0 MAC "},
    {"eth0_ip", required_argument, kEth0Ip, "ip", "Update Vantiro uboot eth0 lan ip "},
    {"eth0_mask", required_argument, kEth0Mask, "ip", "Update Vantiro uboot eth0 lan mask "},
    {"eth0_gw", required_argument, kEth0Gw, "ip", "Update Vantiro uboot eth0 lan gw "},
    {"wifi0_mac", required_argument, 'W', "MAC", "Update Vantiro uboot wifi0 MAC "},
    {"wifi0_ip", required_argument, kWifi0Ip, "ip", "Update Vantiro uboot wifi0 ip "},
    {"wifi0_mask", required_argument, kWifi0Mask, "ip", "Update Vantiro uboot wifi0 mask"},
    {"wifi0_gw", required_argument, kWifi0Gw, "ip", "Update Vantiro uboot wifi0 gw "},
};
constexpr size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];
static_assert(kOptionCount == 25);

constexpr char kShortOptions[] = "?vualS:N:C:D:E:W:";

const char* long_name(int code) {
  for (const OptionEntry& entry : kOptions)
    if (entry.code == code) return entry.name;
  return "?";
}

// Options that store plain text under a variable, with their failure text.
struct TextSetting {
  int code;
  const char* variable;
  const char* failure;
};

constexpr TextSetting kTextSettings[] = {
    {'N', "sn", "update sn faild.\n"},
    {'C', "bootargs", "update cmdline faild.\n"},
    {kBootargs, "bootargs", "update bootargs failed. \n"},
    {kBootcmd, "bootcmd", "update bootcmd failed. \n"},
    {kPriFile, "bootfile", "update pri_file faild.\n"},
    {kServerIp, "serverip", "update tftpd ip address faild.\n"},
    {'E', "ethaddr", "update eth0 mac faild.\n"},
    {kEth0Ip, "ipaddr", "update eth0 ip address faild.\n"},
    {kEth0Mask, "netmask", "update eth0 netmask faild.\n"},
    {kEth0Gw, "gateway", "update eth0 gateway faild.\n"},
    {'W', "wifimac", "update wifi0 mac faild.\n"},
    {kWifi0Ip, "wifiip", "update wifi0 ip address faild.\n"},
    {kWifi0Mask, "wifinm", "update wifi0 netmask faild.\n"},
    {kWifi0Gw, "wifigw", "update wifi0 gateway faild.\n"},
};

// The bound of the field an option's text is copied into, 0 for options
// whose argument is handed on unchanged.
size_t field_size(int code) {
  switch (code) {
    case 'C':
    case kBootargs:
    case kBootcmd:
      return 512;
    case 'N':
    case kPriFile:
      return 32;
    default:
      return 0;
  }
}

// Run-wide argument fields: each option copies into its field and hands the
// field to its setter.
struct ArgumentFields {
  char text[512];
  char sn[32];
  char pri_file[32];
};

char* field_for(ArgumentFields& fields, int code) {
  switch (code) {
    case 'N':
      return fields.sn;
    case kPriFile:
      return fields.pri_file;
    default:
      return fields.text;
  }
}

bool is_letter(int code) { return (code >= 'A' && code <= 'Z') || (code >= 'a' && code <= 'z'); }

}  // namespace

void print_usage(platform::Platform& p) {
  platform::Stream& out = p.out();
  put(out, "Usage:\n  update [OPTION] upfw_file \n  Writes to the specified MTD device.\n\n");
  for (const OptionEntry& entry : kOptions) {
    if (is_letter(entry.code))
      print(out, "-%c ", entry.code);
    else
      put(out, "   ");
    print(out, "--%s", entry.name);
    if (entry.arg_word != nullptr) print(out, " [%s]", entry.arg_word);
    print(out, "\t%s\n", entry.description);
  }
  put(out, "\n");
}

int parse_command_line(int argc, char** argv, platform::Platform& p, bootenv::EnvStore& env,
                       RunOptions* options) {
  option long_options[kOptionCount + 1] = {};
  for (size_t i = 0; i < kOptionCount; ++i)
    long_options[i] = {kOptions[i].name, kOptions[i].has_arg, nullptr, kOptions[i].code};

  static ArgumentFields fields;
  std::memset(&fields, 0, sizeof fields);
  bool failed = false;
  optind = 0;  // full reset, so a process may parse more than once

  for (;;) {
    int code = getopt_long(argc, argv, kShortOptions, long_options, nullptr);
    if (code == -1) break;
    if (code == '?') {
      put(p.err(), "Error: Unknow option\n");
      failed = true;
      break;
    }

    // A text that does not fit its field is refused rather than cut: a cut
    // kernel command line would be stored and boot a broken system.
    size_t bound = field_size(code);
    if (bound != 0 && std::strlen(optarg) >= bound) {
      print(p.err(), "Error: argument of --%s is too long (at most %zu characters)\n",
            long_name(code), bound - 1);
      failed = true;
      break;
    }

    const TextSetting* setting = nullptr;
    for (const TextSetting& candidate : kTextSettings)
      if (candidate.code == code) setting = &candidate;
    if (setting != nullptr) {
      const char* value = optarg;
      if (bound != 0) {
        char* field = field_for(fields, code);
        std::memset(field, 0, bound);
        std::memcpy(field, optarg, std::strlen(optarg));
        value = field;
      }
      if (bootcfg::set_variable(env, setting->variable, value) != 0) {
        put(p.err(), setting->failure);
        failed = true;
      }
      continue;
    }

    switch (code) {
      case kHelp:
        print(p.out(), "Vantiro update version: %s\n", kToolVersion);
        print_usage(p);
        break;
      case 'v':
        print_version_info(p, env);
        break;
      case kShow:
        show_uboot_info(p, env);
        break;
      case 'u':
        options->upfw = 1;
        break;
      case 'a':
        options->analysis = 1;
        break;
      case 'l':
        options->list = 1;
        break;
      case 'S': {
        auto slot = static_cast<unsigned>(std::strtoul(optarg, nullptr, 0));
        if (bootcfg::switch_system(p, env, slot) != 0) {
          put(p.err(), "switch system faild.\n");
          failed = true;
        }
        break;
      }
      case 'D': {
        auto delay = static_cast<uint8_t>(std::strtoul(optarg, nullptr, 0) & 0xFF);
        if (bootcfg::set_boot_delay(env, delay) != 0) {
          put(p.err(), "update bootdelay faild.\n");
          failed = true;
        }
        break;
      }
      case kAutoBoot:
      case kAutoDl:
      case kPriAddr:
        // Parsed and accepted; no variable is defined for them.
        static_cast<void>(std::strtoul(optarg, nullptr, 0));
        break;
      default:
        break;
    }
  }

  if (!failed && argc - optind == 1) {
    if (std::strlen(argv[optind]) >= sizeof options->image_path) {
      print(p.err(), "Error: image path is too long (at most %zu characters)\n",
            sizeof options->image_path - 1);
      failed = true;
    } else {
      std::memset(options->image_path, 0, sizeof options->image_path);
      std::memcpy(options->image_path, argv[optind], std::strlen(argv[optind]));
    }
  }

  if (failed) {
    print_usage(p);
    return -1;
  }
  return 0;
}

}  // namespace cli
