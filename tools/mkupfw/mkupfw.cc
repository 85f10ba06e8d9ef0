// mkupfw: packs component files into an upgrade image for `update`.
//
// A host tool: it reads every input into memory, lays the payloads out
// behind the 2048-byte header in entry order, pads each with 0xFF to a
// multiple of 2048 and stores size and CRC-32 of the padded payload.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "image/crc32.h"
#include "image/image.h"
#include "tools/split.h"

namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitWriteFailed = 1;

const char kHelp[] =
    "Usage: mkupfw -o OUT [--entry ENTRY]...\n"
    "Builds an upgrade image for update.\n"
    "\n"
    "  -o, --output OUT   the image file to write (replaced if it exists)\n"
    "  -e, --entry ENTRY  one header entry; repeat for more entries\n"
    "  -h, --help         this text\n"
    "\n"
    "ENTRY is INDEX:NAME:VERSION[:FILE[:DATE[:ADDR[:FLAG]]]]\n"
    "  INDEX    entry position 0-6 (0 bld, 1 ker, 2 fs, 3 cmd, 4 bld2, 5 bld3, 6 tool);\n"
    "           each position at most once\n"
    "  NAME     1 to 51 characters, no ':'\n"
    "  VERSION  a.b.c.d, each number 0-255 (a is the top byte)\n"
    "  FILE     the payload; without it (or when empty) the entry carries only\n"
    "           its name and version. The file itself must not be empty and its\n"
    "           path cannot contain ':'\n"
    "  DATE     YYYY/M/D (default 0)\n"
    "  ADDR     address word, decimal, 0x hex or 0 octal (default 0)\n"
    "  FLAG     flag word, same forms (default 0)\n"
    "  DATE, ADDR and FLAG need a FILE.\n"
    "\n"
    "Positions without an --entry are left zero. Payloads follow the header in\n"
    "position order, each padded with 0xFF to a multiple of 2048 bytes.\n"
    "\n"
    "Example:\n"
    "  mkupfw -o upfw.bin -e 1:ker:4.2.2.10:uImage:2022/3/4 \\\n"
    "         -e 2:fs:40.7.0.80:rootfs.ubi:2022/3/4:0:1 -e 6:tool:0.0.1.0\n"
    "\n"
    "Exit status: 0 written, 1 the output could not be written, 2 bad input.\n";

struct EntryRequest {
  std::string name;
  uint32_t version = 0;
  std::string file;  // empty: no payload
  uint32_t date = 0;
  uint32_t addr = 0;
  uint32_t flag = 0;
  std::vector<uint8_t> payload;  // padded
};

int bad_input(const std::string& message) {
  std::fprintf(stderr, "mkupfw: %s\nTry 'mkupfw --help'.\n", message.c_str());
  return kExitBadInput;
}

// An input file that cannot be used; the command line itself was fine.
int bad_file(const std::string& message) {
  std::fprintf(stderr, "mkupfw: %s\n", message.c_str());
  return kExitBadInput;
}

// A whole-string unsigned number in `base` (0: C prefixes), at most `max`.
std::optional<uint32_t> parse_number(const std::string& text, int base, uint32_t max) {
  // strtoull would take blanks, signs and wrap negative numbers around.
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<uint32_t> parse_version(const std::string& text) {
  std::vector<std::string> parts = tools::split(text, '.');
  if (parts.size() != 4) return std::nullopt;
  uint32_t version = 0;
  for (const std::string& part : parts) {
    std::optional<uint32_t> byte = parse_number(part, 10, 255);
    if (!byte) return std::nullopt;
    version = version << 8 | *byte;
  }
  return version;
}

std::optional<uint32_t> parse_date(const std::string& text) {
  std::vector<std::string> parts = tools::split(text, '/');
  if (parts.size() != 3) return std::nullopt;
  std::optional<uint32_t> year = parse_number(parts[0], 10, 0xFFFF);
  std::optional<uint32_t> month = parse_number(parts[1], 10, 12);
  std::optional<uint32_t> day = parse_number(parts[2], 10, 31);
  if (!year || !month || !day || *month == 0 || *day == 0) return std::nullopt;
  return *year << 16 | *month << 8 | *day;
}

// Fills `requests[index]` from ENTRY; an error message, or empty on success.
std::string parse_entry(const std::string& text, std::optional<EntryRequest> (&requests)[7]) {
  std::vector<std::string> fields = tools::split(text, ':');
  if (fields.size() < 3 || fields.size() > 7)
    return "bad entry \"" + text + "\": expected INDEX:NAME:VERSION[:FILE[:DATE[:ADDR[:FLAG]]]]";
  std::optional<uint32_t> index = parse_number(fields[0], 10, image::kEntryCount - 1);
  if (!index) return "bad entry \"" + text + "\": INDEX must be 0 to 6";
  if (requests[*index]) return "bad entry \"" + text + "\": index " + fields[0] + " given twice";
  EntryRequest request;
  request.name = fields[1];
  if (request.name.empty() || request.name.size() >= image::kNameSize)
    return "bad entry \"" + text + "\": NAME must have 1 to 51 characters";
  std::optional<uint32_t> version = parse_version(fields[2]);
  if (!version) return "bad entry \"" + text + "\": VERSION must be a.b.c.d with numbers 0-255";
  request.version = *version;
  if (fields.size() > 3) request.file = fields[3];
  if (fields.size() > 4 && request.file.empty())
    return "bad entry \"" + text + "\": DATE, ADDR and FLAG need a FILE";
  if (fields.size() > 4) {
    std::optional<uint32_t> date = parse_date(fields[4]);
    if (!date) return "bad entry \"" + text + "\": DATE must be YYYY/M/D";
    request.date = *date;
  }
  if (fields.size() > 5) {
    std::optional<uint32_t> addr = parse_number(fields[5], 0, UINT32_MAX);
    if (!addr) return "bad entry \"" + text + "\": ADDR must be a 32-bit number";
    request.addr = *addr;
  }
  if (fields.size() > 6) {
    std::optional<uint32_t> flag = parse_number(fields[6], 0, UINT32_MAX);
    if (!flag) return "bad entry \"" + text + "\": FLAG must be a 32-bit number";
    request.flag = *flag;
  }
  requests[*index] = std::move(request);
  return "";
}

// Reads `path` whole and pads it; an error message, or empty on success.
std::string load_payload(const std::string& path, std::vector<uint8_t>* payload) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "cannot read \"" + path + "\": " + std::strerror(errno);
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    payload->insert(payload->end(), chunk, chunk + n);
    if (payload->size() > UINT32_MAX) {
      std::fclose(file);
      return "\"" + path + "\" is too large for an image";
    }
  }
  bool failed = std::ferror(file) != 0;
  int saved = errno;
  std::fclose(file);
  if (failed) return "cannot read \"" + path + "\": " + std::strerror(saved);
  if (payload->empty()) return "\"" + path + "\" is empty";
  size_t padded = (payload->size() + image::kPayloadAlignment - 1) / image::kPayloadAlignment *
                  image::kPayloadAlignment;
  payload->resize(padded, 0xFF);
  return "";
}

bool write_all(FILE* file, const uint8_t* data, size_t size) {
  return std::fwrite(data, 1, size, file) == size;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kOptions[] = {{"output", required_argument, nullptr, 'o'},
                                    {"entry", required_argument, nullptr, 'e'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  std::string output;
  std::optional<EntryRequest> requests[image::kEntryCount];
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":o:e:h", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'o':
        if (!output.empty()) return bad_input("-o given twice");
        output = optarg;
        if (output.empty()) return bad_input("OUT must not be empty");
        break;
      case 'e': {
        std::string error = parse_entry(optarg, requests);
        if (!error.empty()) return bad_input(error);
        break;
      }
      case 'h':
        std::fputs(kHelp, stdout);
        return 0;
      case ':':
        return bad_input(std::string("option ") + argv[optind - 1] + " needs an argument");
      default:
        if (optopt != 0)
          return bad_input(std::string("unknown option -") + static_cast<char>(optopt));
        return bad_input(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind < argc) return bad_input(std::string("unexpected argument \"") + argv[optind] + "\"");
  if (output.empty()) return bad_input("no output file given (-o OUT)");

  image::ImageEntry entries[image::kEntryCount];
  uint64_t next_offset = image::kHeaderSize;
  for (size_t k = 0; k < image::kEntryCount; ++k) {
    if (!requests[k]) continue;
    EntryRequest& request = *requests[k];
    image::ImageEntry& entry = entries[k];
    std::memcpy(entry.name, request.name.data(), request.name.size());  // checked < kNameSize
    entry.version = request.version;
    if (request.file.empty()) continue;
    std::string error = load_payload(request.file, &request.payload);
    if (!error.empty()) return bad_file(error);
    if (next_offset + request.payload.size() > UINT32_MAX)
      return bad_file("the image would pass 4 GiB; offsets are 32-bit");
    entry.offset = static_cast<uint32_t>(next_offset);
    entry.size = static_cast<uint32_t>(request.payload.size());
    entry.addr = request.addr;
    entry.flag = request.flag;
    entry.date = request.date;
    entry.crc32 = image::crc32(0, request.payload.data(), request.payload.size());
    next_offset += request.payload.size();
  }

  uint8_t header[image::kHeaderSize];
  image::encode_header(entries, header);

  FILE* file = std::fopen(output.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "mkupfw: cannot write \"%s\": %s\n", output.c_str(), std::strerror(errno));
    return kExitWriteFailed;
  }
  bool ok = write_all(file, header, sizeof header);
  for (const std::optional<EntryRequest>& request : requests)
    if (ok && request && !request->payload.empty())
      ok = write_all(file, request->payload.data(), request->payload.size());
  int saved = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    std::fprintf(stderr, "mkupfw: cannot write \"%s\": %s\n", output.c_str(), std::strerror(saved));
    std::remove(output.c_str());
    return kExitWriteFailed;
  }
  return 0;
}
