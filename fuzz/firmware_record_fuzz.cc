// Any text as a firmware record: the scan fills the record within its
// fields, and a record it filled comes back the same after formatting.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "bootcfg/part_table.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // ends at its first NUL
  bootcfg::FirmwareRecord record;
  std::memset(&record, 0x5A, sizeof record);
  bootcfg::parse_firmware_record(text.c_str(), &record);
  if (std::memchr(record.name, '\0', sizeof record.name) == nullptr)
    fuzzing::broken("record name not terminated inside its field");
  if (record.name[0] == '\0') {
    if (record.size != 0 || record.version != 0 || record.date != 0)
      fuzzing::broken("a record without a name has values");
    return 0;
  }
  char formatted[128];
  bootcfg::format_firmware_record(record, formatted);
  if (std::memchr(formatted, '\0', sizeof formatted) == nullptr)
    fuzzing::broken("formatted record not terminated");
  bootcfg::FirmwareRecord again;
  bootcfg::parse_firmware_record(formatted, &again);
  if (std::strcmp(again.name, record.name) != 0 || again.size != record.size ||
      again.version != record.version || again.date != record.date)
    fuzzing::broken("a record does not survive formatting and scanning");
  return 0;
}
