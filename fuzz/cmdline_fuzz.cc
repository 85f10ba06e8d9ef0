// Any text as /proc/cmdline: the running slot is told by the first 1023
// bytes alone, "ubi.mtd=fs1" before "ubi.mtd=fs2".
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "update/update_firmware.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzzing::write_file("proc/cmdline", text);
  fuzzing::Camera camera;
  const int slot = update::get_current_slot(camera.sim);
  std::string seen = text.substr(0, 1023);
  seen = seen.substr(0, seen.find('\0'));
  const int expected = seen.find("ubi.mtd=fs1") != std::string::npos   ? 1
                       : seen.find("ubi.mtd=fs2") != std::string::npos ? 2
                                                                       : -1;
  if (slot != expected) fuzzing::broken("wrong running slot");
  return 0;
}
