// Any data area as the boot environment: walking the list, looking names
// up and setting one never reads or writes outside the area, and a set that
// succeeds is what a lookup then finds.
//
// Input: one byte telling how the rest of the area is filled (0: zero
// bytes, 1: 0xFF, otherwise the input again, so a list may have no end),
// then the area's first bytes. The name=value set is the input's text
// behind its last zero byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bootenv/bootenv.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string area = input.substr(0, fuzzing::kDataSize);
  switch (data[0] % 3) {
    case 0:
      area.resize(fuzzing::kDataSize, '\0');
      break;
    case 1:
      area.resize(fuzzing::kDataSize, '\xFF');
      break;
    default:
      while (area.size() < fuzzing::kDataSize) area += input;
      area.resize(fuzzing::kDataSize);
      break;
  }
  fuzzing::write_environment(area);

  fuzzing::Camera camera;
  bootenv::EnvStore env(camera.sim);
  if (bootenv::bootenv_load(env) != 0) fuzzing::broken("a valid copy did not load");
  bootenv::hs_printenv(env);
  bootenv::bootenv_lookup(env, "bootargs");

  // name=value from the input's tail, behind its last zero byte, as a
  // command line would give them.
  const size_t last_nul = input.rfind('\0');
  std::string tail = last_nul == std::string::npos ? input : input.substr(last_nul + 1);
  if (tail.size() > 300) tail.erase(0, tail.size() - 300);
  const size_t equals = tail.find('=');
  const std::string name = tail.substr(0, equals == std::string::npos ? tail.size() : equals);
  const std::string value = equals == std::string::npos ? "" : tail.substr(equals + 1);
  if (name.empty()) return 0;
  // A set replaces the first entry of its name only: an area that holds the
  // name twice keeps answering with the other one.
  size_t holding = 0;
  for (size_t start = 0; start < area.size();) {
    const size_t end = area.find('\0', start);
    if (end == std::string::npos || end == start) break;
    if (area.compare(start, name.size() + 1, name + "=") == 0) ++holding;
    start = end + 1;
  }
  bootenv::bootenv_lookup(env, name.c_str());
  if (bootenv::bootenv_assign(env, name.c_str(), value.c_str()) == 0 && holding < 2) {
    auto stored = bootenv::bootenv_lookup(env, name.c_str());
    if (!stored || *stored != value) fuzzing::broken("a set value is not what a lookup finds");
    // And what the next run finds on flash.
    fuzzing::Camera next;
    bootenv::EnvStore reloaded(next.sim);
    if (bootenv::bootenv_load(reloaded) != 0) fuzzing::broken("a stored environment did not load");
    auto reread = bootenv::bootenv_lookup(reloaded, name.c_str());
    if (!reread || *reread != value) fuzzing::broken("a set value did not reach the flash");
  }
  bootenv::bootenv_release(env);
  return 0;
}
