#include "update/compat.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "bootcfg/part_table.h"
#include "eeprom/dm2016.h"

namespace update {
namespace {

constexpr size_t kHeaderSize = 2048;
// The "fs" entry's version and date fields inside the image header.
constexpr size_t kFsVersionOffset = 2 * 80 + 8;
constexpr size_t kFsDateOffset = 2 * 80 + 20;

uint32_t le32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Versions compare by their major and build numbers only.
struct Version {
  uint32_t word;
  int family() const { return static_cast<int>(word >> 24); }
  int major() const { return static_cast<int>(word >> 16 & 0xFF); }
  int minor() const { return static_cast<int>(word >> 8 & 0xFF); }
  int build() const { return static_cast<int>(word & 0xFF); }
  bool below(int a, int b) const { return major() < a || (major() == a && build() < b); }
  bool equals(int a, int b) const { return major() == a && build() == b; }
  bool above(int a, int b) const { return major() > a || (major() == a && build() > b); }
};

class Refusal {
 public:
  Refusal(platform::Platform& p, char (&message)[256]) : p_(p), message_(message) {}

  // Formats the text into the caller's buffer, reports it perror-style with
  // whatever errno holds, and gives the code back.
  int operator()(int code, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message_, sizeof message_, format, args);
    va_end(args);
    platform::print_error(p_.err(), message_);
    return code;
  }

 private:
  platform::Platform& p_;
  char (&message_)[256];
};

// The first at most 32 bytes of a small file under /tmp, up to a zero byte;
// empty when the file cannot be opened.
std::string read_tmp_text(platform::Platform& p, const char* path) {
  char text[33] = {};
  platform::FileHandle file(p, p.open(path, O_RDONLY));
  if (!file.valid()) return {};
  size_t filled = 0;
  while (filled < 32) {
    ssize_t n = p.read(file.get(), text + filled, 32 - filled);
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  return std::string(text);  // ends at the first zero byte
}

int installed_family(bootenv::EnvStore& env, const char* key) {
  bootcfg::FirmwareRecord record;
  auto value = bootenv::bootenv_lookup(env, key);
  bootcfg::parse_firmware_record(value ? value->c_str() : "", &record);
  return static_cast<int>(record.version >> 24);
}

struct Sensor {
  const char* name;
  bool drop_last;  // the file's single line ends with a newline
  int major;
  int build;
  const char* text;
};

constexpr Sensor kSensors[] = {
    {"imx124", true, 6, 52, "imx124/imx291-e Sensor version must >= 6.0.52\n"},
    {"imx291-e", true, 6, 52, "imx124/imx291-e Sensor version must >= 6.0.52\n"},
    {"imx326", true, 6, 55, "imx326 Sensor version must >= 6.0.55\n"},
    {"imx327", true, 7, 65, "imx327 Sensor version must >= 7.0.65\n"},
    {"imx335", true, 7, 65, "imx327 Sensor version must >= 7.0.65\n"},
    {"imx385_lvds", false, 7, 66, "imx385_lvds Sensor version must >= 7.0.66\n"},
};

bool is_prefix(const std::string& text, const char* of) {
  return std::strncmp(text.c_str(), of, text.size()) == 0 && text.size() <= std::strlen(of);
}

const Sensor* select_sensor(const std::string& text) {
  for (const Sensor& sensor : kSensors) {
    if (sensor.drop_last) {
      if (!text.empty() && is_prefix(text.substr(0, text.size() - 1), sensor.name)) return &sensor;
    } else if (text.rfind(sensor.name, 0) == 0) {
      return &sensor;
    }
  }
  return nullptr;
}

}  // namespace

int check_compatibility(platform::Platform& p, bootenv::EnvStore& env, const char* path,
                        char (&message)[256]) {
  Refusal refuse(p, message);
  uint8_t header[kHeaderSize] = {};
  {
    platform::FileHandle image(p, p.open(path, O_RDONLY));
    if (!image.valid()) return refuse(-1, "%s\n", "open output imager!");
    size_t filled = 0;
    while (filled < kHeaderSize) {
      ssize_t n = p.read(image.get(), header + filled, kHeaderSize - filled);
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
    if (filled < kHeaderSize) {
      image.reset();
      return refuse(-1, "%s\n", "read output imager");
    }
    Version v{le32(header + kFsVersionOffset)};
    platform::print(p.out(), "version = %d.%d.%d.%d\n", v.family(), v.major(), v.minor(), v.build());
  }
  const Version v{le32(header + kFsVersionOffset)};
  const uint32_t date = le32(header + kFsDateOffset);
  const int year = static_cast<int>(date >> 16);
  const int month = static_cast<int>(date >> 8 & 0xFF);
  const int day = static_cast<int>(date & 0xFF);

  // 1: a new NAND chip needs firmware from 7.0.77 built after March 2021.
  auto flashtype = bootenv::bootenv_lookup(env, "flashtype");
  if (flashtype && *flashtype == "MX35LF1G24AD") {
    platform::print(p.out(), "==date:%d, %d, %d==\n", year, month, day);
    bool too_old = v.below(7, 77) ||
                   (v.equals(7, 77) && (year <= 2020 || (year == 2021 && month <= 3)));
    if (too_old)
      return refuse(-15, "new flash, date[%d, %d, %d], version must >= XX.7.0.77-r7", year, month,
                    day);
  }

  // 2: the processor family must be one of the installed firmware's.
  if (v.family() != installed_family(env, "fs1") && v.family() != installed_family(env, "fs2"))
    return refuse(-15, "%s\n", "CPU not match firmware, update exit.");

  // 3, 4: the identity chip.
  if (!eeprom::dm2016_probe(p) && v.below(7, 63))
    return refuse(-16, "%s\n", "Can't find dm2016, version must >= XX.7.0.63.");
  char c[64] = {};
  if (eeprom::get_chipinfo(p, env, c) != 0) return refuse(-19, "%s\n", "Can't read chipinfo.");

  // 5: the 2.7-13.5 mm lens.
  if ((c[16] == 'd' || c[16] == 'e') && v.below(7, 73))
    return refuse(-16, "%s\n", "new lens(2.7~13.5mm) can not support version < XX.7.0.73");

  const std::string sensor = read_tmp_text(p, "/tmp/sensor_type");
  const std::string codec = read_tmp_text(p, "/tmp/codec_type");

  // 6: the external audio codec (also assumed when nothing says otherwise).
  if (is_prefix(codec, "codec_external_8822") && v.below(6, 57))
    return refuse(-16, "%s\n", "external codec 8822  version must >= 6.0.57");

  // 7: the image sensor.
  if (const Sensor* selected = select_sensor(sensor))
    if (v.below(selected->major, selected->build)) return refuse(-16, "%s", selected->text);

  // 8-14: camera types, told by single characters of the chip information.
  if (c[16] == '4' && v.above(7, 70))
    return refuse(-16, "%s\n", "old speedDome version must <= 7.0.70");
  if ((c[16] == '4' || (c[6] == '6' && c[7] == '1')) && v.below(6, 53))
    return refuse(-16, "%s\n", "spdDome and bullet version must >= 6.0.53");
  if (c[6] == '6' && c[7] == '1' && c[21] == '3' && v.below(6, 56))
    return refuse(-16, "%s\n", "ptz_bullet new lens_pi_ctl must >= 6.0.56");
  if (c[16] == 'S' && c[13] == '1' && v.below(7, 59))
    return refuse(-16, "%s\n", "newspeed version must >= 7.0.59");
  if (c[6] == '5' && c[16] == 'R' && v.below(7, 62))
    return refuse(-16, "%s\n", "newspeed version must >= 7.0.62");
  if (c[6] == '7' && c[7] == '5' && v.below(7, 65))
    return refuse(-16, "%s\n", "mini af dome version must >= 7.0.65");
  if (std::strchr("5WSYZ", c[16]) != nullptr && c[16] != '\0' && v.equals(7, 75))
    return refuse(-16, "%s\n", "AF lens(12X/23X/30X/36X/42X) can not use version 75");
  return 0;
}

}  // namespace update
