#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "image/image.h"

namespace image {

int image_extract_entry(platform::Platform& p, int image_fd, const char* out_path, uint32_t offset,
                        uint32_t size) {
  if (out_path == nullptr || out_path[0] == '\0') {
    platform::put(p.err(), "Please check outfile\n");
    return -1;
  }
  // Root may run the result: cut any older, longer file, and never write
  // through a link someone planted at the path.
  platform::FileHandle out(p, p.open(out_path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0755));
  if (!out.valid()) {
    platform::print_error(p.err(), "open output imager");
    return -1;
  }
  if (p.lseek(image_fd, offset, SEEK_SET) < 0) {
    platform::print_error(p.err(), "lseek input imager");
    return -1;
  }
  uint8_t buffer[1024];
  uint32_t copied = 0;
  while (copied < size) {
    size_t want = size - copied < sizeof buffer ? size - copied : sizeof buffer;
    ssize_t got = p.read(image_fd, buffer, want);
    if (got < 0) {
      platform::print_error(p.err(), "read input imager");
      return -1;
    }
    // A payload that runs past the end of the image is kept as far as it goes.
    if (got == 0) break;
    if (p.write(out.get(), buffer, static_cast<size_t>(got)) != got) {
      platform::print_error(p.err(), "write output imager");
      return -1;
    }
    copied += static_cast<uint32_t>(got);
  }
  return 0;
}

int image_analysis(platform::Platform& p, const char* path, int mode) {
  (void)mode;  // only 0 is defined
  if (!image_path_given(p, path)) return -1;
  platform::print(p.out(), "==============name %s=\n", path);
  platform::FileHandle file(p, -1);
  uint8_t raw[kHeaderSize] = {};
  if (image_open(p, path, file, raw) != 0) return -1;
  ImageHeader header;
  decode_header(raw, &header);

  int result = 0;
  char out_path[128];
  for (const ImageEntry& e : header.entries) {
    std::memset(out_path, 0, sizeof out_path);
    bool make_executable = false;
    if (e.has_payload() && e.name_is("cmd")) {
      std::snprintf(out_path, sizeof out_path, "%s", kUnpackPath);
      make_executable = true;
    }
    if (out_path[0] == '\0') continue;
    platform::print(p.out(), "Create file: %s \n", out_path);
    result = image_extract_entry(p, file.get(), out_path, e.offset, e.size);
    if (result != 0) {
      platform::print(p.err(), "write %s faild\n", out_path);
      break;
    }
    if (make_executable) {
      // Not writable by others: root may run this file.
      char command[160];
      std::snprintf(command, sizeof command, "chmod 755 %s", out_path);
      p.run_shell(command);
    }
  }
  return result;
}

}  // namespace image
