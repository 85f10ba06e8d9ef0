#include "bootcfg/part_table.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

namespace bootcfg {
namespace {

// Copies a stored value into a field; false when it does not fit.
template <size_t N>
bool copy_whole(const std::string& value, char (&field)[N]) {
  if (value.size() >= N) return false;
  std::memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

}  // namespace

int partition_index(const char* name) {
  for (size_t i = 0; i < kPartitionCount; ++i)
    if (std::strcmp(kPartitionNames[i], name) == 0) return static_cast<int>(i);
  return -1;
}

void parse_firmware_record(const char* text, FirmwareRecord* record) {
  *record = FirmwareRecord{};
  static constexpr char kPrefix[] = "name:";
  if (std::strncmp(text, kPrefix, sizeof kPrefix - 1) != 0) return;
  const char* name = text + sizeof kPrefix - 1;
  size_t length = 0;
  while (name[length] != '\0' && !std::isspace(static_cast<unsigned char>(name[length])))
    ++length;
  if (length == 0) return;
  // A name longer than the field can only be a foreign record: cut it.
  size_t kept = length < sizeof record->name ? length : sizeof record->name - 1;
  std::memcpy(record->name, name, kept);
  unsigned version = 0, size = 0, date = 0;
  int fields = std::sscanf(name + length, " ver:0x%8x size:%u date:0x%8x", &version, &size, &date);
  if (fields >= 1) record->version = version;
  if (fields >= 2) record->size = size;
  if (fields >= 3) record->date = date;
}

void format_firmware_record(const FirmwareRecord& record, char (&text)[128]) {
  std::snprintf(text, sizeof text, "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ", record.name,
                record.version, record.size, record.date);
}

int flprog_get_part_table(bootenv::EnvStore& env, PartTable* table) {
  std::memset(table, 0, sizeof *table);
  for (size_t i = 0; i < kPartitionCount; ++i) {
    auto value = bootenv::bootenv_lookup(env, kPartitionNames[i]);
    if (value) parse_firmware_record(value->c_str(), &table->records[i]);
  }
  int result = 0;
  if (auto bootargs = bootenv::bootenv_lookup(env, "bootargs"))
    if (!copy_whole(*bootargs, table->bootargs)) result = -1;
  if (auto bootcmd = bootenv::bootenv_lookup(env, "bootcmd"))
    if (!copy_whole(*bootcmd, table->bootcmd)) result = -1;
  return result;
}

int flprog_set_firmware_info(bootenv::EnvStore& env, const FirmwareRecord& record) {
  char text[128];
  format_firmware_record(record, text);
  return bootenv::bootenv_assign(env, record.name, text);
}

int flprog_set_boot_args(bootenv::EnvStore& env, const PartTable& table) {
  // Both go to flash in one save, so power lost in between can never leave
  // one slot's kernel booting with the other slot's file system.
  bootenv::Assignment changes[2];
  size_t count = 0;
  if (table.bootargs[0] != '\0') changes[count++] = {"bootargs", table.bootargs};
  if (table.bootcmd[0] != '\0') changes[count++] = {"bootcmd", table.bootcmd};
  if (count == 0) return 0;
  return bootenv::bootenv_assign_all(env, std::span(changes, count));
}

}  // namespace bootcfg
