// Any files under /tmp, chip information and environment values for the
// compatibility gate: it decides without reading or writing outside them,
// and its message stays inside its buffer.
//
// Input: parts separated by "|~|": the image's "fs" version and date (8
// bytes, little-endian), /tmp/sensor_type, /tmp/codec_type, the EEPROM's
// bytes, then environment entries (name=value, one a part). A missing part
// is a missing file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bootenv/bootenv.h"
#include "fuzz/fuzz_support.h"
#include "update/compat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    const size_t end = input.find("|~|", start);
    parts.push_back(
        input.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 3;
  }

  std::string header(2048, '\0');
  const std::string& fields = parts[0];
  for (size_t i = 0; i < 8 && i < fields.size(); ++i)
    header[2 * 80 + 8 + (i < 4 ? i : i + 8)] = fields[i];
  fuzzing::write_file("dev/shm/updateFM.bin", header);
  const char* files[] = {"tmp/sensor_type", "tmp/codec_type", "dev/i2c-2"};
  for (size_t i = 0; i < 3; ++i) {
    if (i + 1 < parts.size())
      fuzzing::write_file(files[i], parts[i + 1]);
    else
      fuzzing::remove_file(files[i]);
  }
  std::string environment;
  for (size_t i = 4; i < parts.size(); ++i) {
    std::string entry = parts[i].substr(0, parts[i].find('\0'));
    if (entry.find('=') != std::string::npos) environment += entry + '\0';
  }
  fuzzing::write_environment(environment + '\0');

  fuzzing::Camera camera;
  bootenv::EnvStore env(camera.sim);
  bootenv::bootenv_load(env);
  char message[256];
  std::memset(message, 0x5A, sizeof message);
  const int code = update::check_compatibility(camera.sim, env, "/dev/shm/updateFM.bin", message);
  if (code != 0 && std::memchr(message, '\0', sizeof message) == nullptr)
    fuzzing::broken("refusal text not terminated inside the buffer");
  if (code != 0 && code != -1 && code != -15 && code != -16 && code != -19)
    fuzzing::broken("unknown refusal code");
  return 0;
}
