// What the camera's boot loader would make of the flash as it stands: which
// environment copy it takes, which slot that names, and whether the slot's
// kernel and file system are complete and of one generation.
//
// Written from the flash layout alone, with its own checksum, copy choice,
// partition table and bad-block walk, so that a fault in the tool's own
// loading code is not mirrored here.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace reliability {

// Components as the campaigns make them: a 64-byte header that the boot
// loader checks (as a real one checks a kernel's image header), then the
// body. Header: magic "CAMCOMP1", kind (8 bytes, zero-padded), generation,
// body length, body CRC-32, header CRC-32 over the 28 bytes before it, all
// little-endian; zero to 64 bytes.
std::string make_component(const std::string& kind, uint32_t generation, size_t body_length);

// CRC-32 of IEEE 802.3, reflected, as the boot loader computes it.
uint32_t loader_crc32(const uint8_t* data, size_t count);

struct BootOutcome {
  bool boots = false;
  int slot = 0;             // the slot booted: 1 or 2 (0 when nothing boots)
  uint32_t generation = 0;  // of the kernel and file system booted
  // When nothing boots: the stage that stops the boot ("uboot", "env",
  // "bootcmd", "bootargs", "ker2", "fs1", "generations") and why.
  std::string stage;
  std::string reason;
  // The variables of the environment copy the loader took (empty when it
  // took none).
  std::map<std::string, std::string> environment;

  std::string describe() const;
};

// Boots the camera whose file system is the directory `root` (R/proc/mtd,
// R/dev/mtdN with their geometry files).
BootOutcome boot_camera(const std::string& root);

}  // namespace reliability
