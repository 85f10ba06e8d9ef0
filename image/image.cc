#include "image/image.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace image {
namespace {

uint32_t get_le32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void put_le32(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
  bytes[2] = static_cast<uint8_t>(value >> 16);
  bytes[3] = static_cast<uint8_t>(value >> 24);
}

// Field positions inside an entry.
constexpr size_t kOffsetAt = 0;
constexpr size_t kSizeAt = 4;
constexpr size_t kVersionAt = 8;
constexpr size_t kAddrAt = 12;
constexpr size_t kFlagAt = 16;
constexpr size_t kDateAt = 20;
constexpr size_t kNameAt = 24;
constexpr size_t kCrcAt = 76;

}  // namespace

size_t ImageEntry::name_length() const {
  size_t length = 0;
  while (length < kNameSize && name[length] != '\0') ++length;
  return length;
}

bool ImageEntry::name_is(const char* text) const {
  size_t length = std::strlen(text);
  return length == name_length() && std::memcmp(name, text, length) == 0;
}

ImageEntry decode_entry(const uint8_t* bytes) {
  ImageEntry entry;
  entry.offset = get_le32(bytes + kOffsetAt);
  entry.size = get_le32(bytes + kSizeAt);
  entry.version = get_le32(bytes + kVersionAt);
  entry.addr = get_le32(bytes + kAddrAt);
  entry.flag = get_le32(bytes + kFlagAt);
  entry.date = get_le32(bytes + kDateAt);
  std::memcpy(entry.name, bytes + kNameAt, kNameSize);
  entry.crc32 = get_le32(bytes + kCrcAt);
  return entry;
}

void encode_entry(const ImageEntry& entry, uint8_t* bytes) {
  put_le32(bytes + kOffsetAt, entry.offset);
  put_le32(bytes + kSizeAt, entry.size);
  put_le32(bytes + kVersionAt, entry.version);
  put_le32(bytes + kAddrAt, entry.addr);
  put_le32(bytes + kFlagAt, entry.flag);
  put_le32(bytes + kDateAt, entry.date);
  std::memcpy(bytes + kNameAt, entry.name, kNameSize);
  put_le32(bytes + kCrcAt, entry.crc32);
}

void decode_header(const uint8_t (&raw)[kHeaderSize], ImageHeader* header) {
  std::memcpy(header->raw, raw, kHeaderSize);
  for (size_t k = 0; k < kEntryCount; ++k) header->entries[k] = decode_entry(raw + k * kEntrySize);
}

void encode_header(const ImageEntry (&entries)[kEntryCount], uint8_t (&raw)[kHeaderSize]) {
  std::memset(raw, 0, kHeaderSize);
  for (size_t k = 0; k < kEntryCount; ++k) encode_entry(entries[k], raw + k * kEntrySize);
}

ssize_t read_fully(platform::Platform& p, int fd, void* buffer, size_t count) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  errno = 0;
  while (done < count) {
    ssize_t n = p.read(fd, bytes + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = 0;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool image_path_given(platform::Platform& p, const char* path) {
  if (path != nullptr && path[0] != '\0') return true;
  platform::put(p.err(), "Please input datafile\n");
  return false;
}

int image_open(platform::Platform& p, const char* path, platform::FileHandle& file,
               uint8_t (&buffer)[kHeaderSize]) {
  file.adopt(p.open(path, O_RDONLY));
  if (!file.valid()) {
    platform::print_error(p.err(), "open output imager");
    return -1;
  }
  platform::FileStatus status;
  if (p.fstat(file.get(), &status) != 0) {
    platform::print_error(p.err(), "fstat output imager");
    return -1;
  }
  if (status.size < kHeaderSize) {
    platform::print(p.err(), "Bad size: \"%s\" is no valid image\n", path);
    return -1;
  }
  if (p.lseek(file.get(), 0, SEEK_SET) != 0 ||
      read_fully(p, file.get(), buffer, kHeaderSize) != static_cast<ssize_t>(kHeaderSize)) {
    platform::print_error(p.err(), "read output imager");
    return -1;
  }
  return 0;
}

int image_get_header_info(platform::Platform& p, const char* path, uint8_t (&buffer)[kHeaderSize]) {
  if (!image_path_given(p, path)) return -1;
  platform::FileHandle file(p, -1);
  return image_open(p, path, file, buffer);
}

int image_get_header_info(platform::Platform& p, const char* path, ImageHeader* header) {
  uint8_t raw[kHeaderSize] = {};
  if (image_get_header_info(p, path, raw) != 0) return -1;
  decode_header(raw, header);
  return 0;
}

int image_list_info(platform::Platform& p, const char* path) {
  ImageHeader header;
  if (image_get_header_info(p, path, &header) != 0) return -1;

  platform::Stream& out = p.out();
  platform::put(out, "Image info: \n");
  for (const ImageEntry& e : header.entries) {
    if (!e.named()) continue;
    platform::print(out, "%.*s: \n", static_cast<int>(e.name_length()), e.name);
    if (e.has_payload()) {
      platform::print(out, "offset  = 0x%08X\n", e.offset);
      platform::print(out, "size    = %d K\n", static_cast<int>(e.size >> 10));
      platform::print(out, "addr    = 0x%08X\n", e.addr);
      platform::print(out, "flag    = 0x%08X\n", e.flag);
      platform::print(out, "date    = %d/%d/%d\n", static_cast<int>(e.date >> 16),
                      static_cast<int>(e.date >> 8 & 0xFF), static_cast<int>(e.date & 0xFF));
      platform::print(out, "crc32   = 0x%08X\n", e.crc32);
    }
    platform::print(out, "version = %d.%d.%d.%d\n", static_cast<int>(e.version >> 24),
                    static_cast<int>(e.version >> 16 & 0xFF),
                    static_cast<int>(e.version >> 8 & 0xFF), static_cast<int>(e.version & 0xFF));
  }
  return 0;
}

}  // namespace image
