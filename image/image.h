// The upgrade image: a 2048-byte header of seven fixed entries, followed by
// the payloads they locate. Reading and listing the header, checking every
// payload's CRC-32 and unpacking the update tool the image carries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace image {

inline constexpr size_t kHeaderSize = 2048;
inline constexpr size_t kEntryCount = 7;
inline constexpr size_t kEntrySize = 80;
inline constexpr size_t kNameSize = 52;
// Payloads start at and are padded (with 0xFF) to multiples of this.
inline constexpr size_t kPayloadAlignment = 2048;

// Entry positions; position, not name, decides what an installation does.
inline constexpr int kEntryBld = 0;   // boot loader, 256 MB build
inline constexpr int kEntryKer = 1;   // kernel
inline constexpr int kEntryFs = 2;    // root file system; top version byte is the CPU family
inline constexpr int kEntryCmd = 3;   // the update tool of this firmware
inline constexpr int kEntryBld2 = 4;  // boot loader, 512 MB build
inline constexpr int kEntryBld3 = 5;  // boot loader, 512 MB on a 16-bit bus
inline constexpr int kEntryTool = 6;  // spare

// Where the unpacked update tool goes.
inline constexpr const char* kUnpackPath = "/dev/shm/update";

// One 80-byte header entry. All integers are little-endian on disk.
struct ImageEntry {
  uint32_t offset = 0;        // payload position from the start of the file; 0: none
  uint32_t size = 0;          // payload length including padding; 0: none
  uint32_t version = 0;       // a.b.c.d, a in the top byte
  uint32_t addr = 0;          // carried and printed only
  uint32_t flag = 0;          // carried and printed only
  uint32_t date = 0;          // year << 16 | month << 8 | day
  char name[kNameSize] = {};  // zero-terminated inside the field, unless damaged
  uint32_t crc32 = 0;         // over exactly `size` payload bytes

  bool named() const { return name[0] != '\0'; }
  bool has_payload() const { return offset != 0 && size != 0; }
  // Length of `name` without running past the field.
  size_t name_length() const;
  // True when `name` is exactly `text` (case and length).
  bool name_is(const char* text) const;
};

struct ImageHeader {
  ImageEntry entries[kEntryCount];
  uint8_t raw[kHeaderSize] = {};  // the header as stored
};

// Byte-by-byte little-endian decoding and encoding; encoding clears the
// reserved area and writes an entry's name field in full (zero-filled).
ImageEntry decode_entry(const uint8_t* bytes);               // reads kEntrySize bytes
void encode_entry(const ImageEntry& entry, uint8_t* bytes);  // writes kEntrySize bytes
void decode_header(const uint8_t (&raw)[kHeaderSize], ImageHeader* header);
void encode_header(const ImageEntry (&entries)[kEntryCount], uint8_t (&raw)[kHeaderSize]);

// Reads until `count` bytes arrived, the file ended or an error came: the
// number of bytes read, or -1 with errno. errno is 0 when the end of the file
// cut the read short, so a perror-style report stays truthful.
ssize_t read_fully(platform::Platform& p, int fd, void* buffer, size_t count);

// False, after "Please input datafile", when no path (null or empty) is given.
bool image_path_given(platform::Platform& p, const char* path);

// Opens the image at `path` read-only into `file`, checks it is at least a
// header long and reads the header from its start: 0, or -1 after printing
// why (open, fstat, too short, short read).
int image_open(platform::Platform& p, const char* path, platform::FileHandle& file,
               uint8_t (&buffer)[kHeaderSize]);

// Reads the first 2048 bytes of the image at `path` into `buffer`. 0, or -1
// after printing why (no path, open, fstat, too short, short read). The file
// is closed on every path. A null or empty path counts as none given.
int image_get_header_info(platform::Platform& p, const char* path, uint8_t (&buffer)[kHeaderSize]);
// The same, decoded.
int image_get_header_info(platform::Platform& p, const char* path, ImageHeader* header);

// Prints every named entry of the header. 0, or -1 when it could not be read.
int image_list_info(platform::Platform& p, const char* path);

// 0 when the stored and the computed checksum agree, -1 otherwise.
int check_img_crc(uint32_t stored, uint32_t computed);

// Checks the CRC-32 of every named entry with a payload, printing each entry
// before reading it; stops at the first failure. 0 or -1.
int image_verify(platform::Platform& p, const char* path);

// Unpacks every entry named "cmd" that has a payload to /dev/shm/update and
// makes it executable. `mode` is always 0. 0 or -1.
int image_analysis(platform::Platform& p, const char* path, int mode);

// Copies `size` bytes from `offset` of the open image to `out_path`,
// truncating it and refusing to follow a symbolic link there. A payload that
// runs past the end of the image is copied as far as it goes. 0 or -1.
int image_extract_entry(platform::Platform& p, int image_fd, const char* out_path, uint32_t offset,
                        uint32_t size);

}  // namespace image
