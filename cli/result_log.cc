#include "cli/result_log.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

namespace cli {
namespace {

struct NamedResult {
  int32_t code;
  const char* message;
};

constexpr NamedResult kNamedResults[] = {
    {0, "update success!"},
    {-1, "update faild!"},
    {-2, "verify update firmware faild!"},
    {-3, "analysis update firmware faild!"},
    {-4, "update ptb partition faild!"},
    {-6, "update bld partition faild!"},
    {-7, "update hal partition faild!"},
    {-8, "update dsp partition faild!"},
    {-9, "update kernel partition faild!"},
    {-10, "update filesys partition faild!"},
    {-11, "update cmdline faild!"},
    {-12, "kernel 1 version mismatch!"},
    {-13, "kernel 2 version mismatch!"},
    {-14, "ddr dismatch!"},
};

constexpr size_t kRecordSize = 256;

}  // namespace

void format_result_message(int32_t code, char* message, size_t size) {
  for (const NamedResult& named : kNamedResults) {
    if (named.code == code) {
      std::snprintf(message, size, "%s\n", named.message);
      return;
    }
  }
  std::snprintf(message, size, "ErrCode(0x%08x) \n", static_cast<uint32_t>(code));
}

int write_upfw_log(platform::Platform& p, int32_t code, const char* message) {
  char record[kRecordSize] = {};
  platform::FileHandle log(p, p.open(kResultLogPath, O_RDWR | O_CREAT | O_TRUNC, 0666));
  if (!log.valid()) {
    platform::print_error(p.err(), "open /mnt/nand/upfw.log");
    return -1;
  }
  std::snprintf(record, sizeof record, "%d\n", code);
  if (p.write(log.get(), record, sizeof record) <= 0) {
    platform::print_error(p.err(), "write /mnt/nand/upfw.log");
    return -1;
  }
  platform::put(p.err(), message);
  // Cleared again so a short message never carries the code line's tail.
  std::memset(record, 0, sizeof record);
  std::snprintf(record, sizeof record, "%s", message);
  ssize_t written = p.write(log.get(), record, sizeof record);
  if (written < 0) {
    platform::print_error(p.err(), "write upfw.log");
    return -1;
  }
  return static_cast<int>(written);
}

}  // namespace cli
