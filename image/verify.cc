#include <fcntl.h>

#include "image/crc32.h"
#include "image/image.h"

namespace image {
namespace {

// The console log of an installation shows what the image holds, so each
// entry is printed before its payload is read.
void print_entry(platform::Stream& out, const ImageEntry& e) {
  platform::print(out, "%.*s: \n", static_cast<int>(e.name_length()), e.name);
  platform::print(out, "offset  = 0x%08X\n", e.offset);
  platform::print(out, "size    = 0x%08X (%d K)\n", e.size, static_cast<int>(e.size >> 10));
  platform::print(out, "addr    = 0x%08X\n", e.addr);
  platform::print(out, "flag    = 0x%08X\n", e.flag);
  platform::print(out, "date    = %d/%d/%d\n", static_cast<int>(e.date >> 16),
                  static_cast<int>(e.date >> 8 & 0xFF), static_cast<int>(e.date & 0xFF));
  platform::print(out, "crc32   = 0x%08X\n", e.crc32);
  platform::print(out, "version = %d.%d.%d.%d\n", static_cast<int>(e.version >> 24),
                  static_cast<int>(e.version >> 16 & 0xFF), static_cast<int>(e.version >> 8 & 0xFF),
                  static_cast<int>(e.version & 0xFF));
}

}  // namespace

int check_img_crc(uint32_t stored, uint32_t computed) { return stored == computed ? 0 : -1; }

int image_verify(platform::Platform& p, const char* path) {
  if (!image_path_given(p, path)) return -1;
  platform::FileHandle file(p, -1);
  uint8_t raw[kHeaderSize] = {};
  if (image_open(p, path, file, raw) != 0) return -1;
  ImageHeader header;
  decode_header(raw, &header);

  // Payloads can be many megabytes; they stream through this one buffer.
  uint8_t buffer[1024];
  for (const ImageEntry& e : header.entries) {
    if (!e.named() || !e.has_payload()) continue;
    print_entry(p.out(), e);
    if (p.lseek(file.get(), e.offset, SEEK_SET) < 0) {
      platform::print_error(p.err(), "lseek output imager");
      return -1;
    }
    uint32_t consumed = 0;
    uint32_t crc = 0;
    while (consumed < e.size) {
      size_t piece = e.size - consumed < sizeof buffer ? e.size - consumed : sizeof buffer;
      if (read_fully(p, file.get(), buffer, piece) != static_cast<ssize_t>(piece)) {
        platform::print_error(p.err(), "read output imager");
        return -1;
      }
      crc = crc32(crc, buffer, piece);
      consumed += static_cast<uint32_t>(piece);
    }
    if (check_img_crc(e.crc32, crc) != 0) {
      platform::print(p.err(), "check_img_crc %.*s failed\n", static_cast<int>(e.name_length()),
                      e.name);
      return -1;
    }
  }
  return 0;
}

}  // namespace image
