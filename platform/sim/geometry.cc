// Geometry files: what kind of flash a simulated MTD device is.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/sim/sim_platform.h"
#include "platform/sim/text.h"

namespace platform::sim {
namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// A decimal, 0x-hexadecimal or 0-octal number that fits 32 bits.
bool parse_u32(const std::string& text, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long number = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || number > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

bool parse_geometry(const std::string& text, const std::string& name, Geometry* geometry,
                    std::string* error) {
  Geometry result;
  bool have_type = false;
  bool have_erasesize = false;
  bool have_writesize = false;
  bool have_subpagesize = false;
  for (const SettingLine& setting : setting_lines(text)) {
    const int line_number = setting.number;
    const std::string& line = setting.text;
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *error = format("%s:%d: expected key=value", name.c_str(), line_number);
      return false;
    }
    std::string key = trim(line.substr(0, equals));
    std::string value = trim(line.substr(equals + 1));
    auto bad_value = [&] {
      *error = format("%s:%d: bad value \"%s\" for %s", name.c_str(), line_number, value.c_str(),
                      key.c_str());
      return false;
    };

    if (key == "type") {
      uint32_t number = 0;
      if (value == "nand") {
        result.type = kMtdNandFlash;
      } else if (value == "nor") {
        result.type = kMtdNorFlash;
      } else if (parse_u32(value, &number) && number <= 255) {
        result.type = static_cast<uint8_t>(number);
      } else {
        return bad_value();
      }
      have_type = true;
    } else if (key == "erasesize" || key == "writesize" || key == "oobsize" ||
               key == "subpagesize") {
      uint32_t number = 0;
      if (!parse_u32(value, &number)) return bad_value();
      if (key == "erasesize") {
        result.erasesize = number;
        have_erasesize = true;
      } else if (key == "writesize") {
        result.writesize = number;
        have_writesize = true;
      } else if (key == "oobsize") {
        result.oobsize = number;
      } else {
        result.subpagesize = number;
        have_subpagesize = true;
      }
    } else if (key == "bad") {
      result.bad.clear();
      size_t start = 0;
      while (start <= value.size() && !value.empty()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        uint32_t block = 0;
        if (!parse_u32(trim(value.substr(start, comma - start)), &block)) return bad_value();
        result.bad.insert(block);
        start = comma + 1;
      }
    } else {
      *error = format("%s:%d: unknown key \"%s\"", name.c_str(), line_number, key.c_str());
      return false;
    }
  }

  const bool nand = result.type == kMtdNandFlash;
  if (!have_type || !have_erasesize || (nand && !have_writesize)) {
    *error = format("%s: needs type, erasesize%s", name.c_str(), nand ? " and writesize" : "");
    return false;
  }
  if (!have_writesize) result.writesize = 1;
  if (!have_subpagesize) result.subpagesize = result.writesize;
  // Pages tile erase blocks and sub-pages tile pages on every real chip; a
  // geometry that breaks this is a broken test fixture.
  if (result.erasesize == 0 || result.writesize == 0 || result.subpagesize == 0 ||
      result.erasesize % result.writesize != 0 || result.writesize % result.subpagesize != 0) {
    *error =
        format("%s: erasesize, writesize and subpagesize must be non-zero and divide each other",
               name.c_str());
    return false;
  }
  *geometry = result;
  return true;
}

}  // namespace platform::sim
