#include "cli/report.h"

#include <cstring>

#include "bootcfg/part_table.h"
#include "cli/options.h"

namespace cli {
namespace {

using platform::print;
using platform::put;

enum class Report { kVersion, kShow };

void print_records(platform::Platform& p, const bootcfg::PartTable& table, Report report) {
  platform::Stream& out = p.out();
  for (const bootcfg::FirmwareRecord& record : table.records) {
    bool listed = report == Report::kVersion ? record.version != 0 : record.size != 0;
    if (!listed) continue;
    if (std::strstr(table.bootargs, record.name) != nullptr ||
        std::strstr(table.bootcmd, record.name) != nullptr)
      print(out, "%s:(current)\n", record.name);
    else if (std::strstr(table.bootargs, "nfs") != nullptr &&
             std::strstr(record.name, "fs") != nullptr)
      print(out, "%s:(nfs)\n", record.name);
    else
      print(out, "%s:\n", record.name);
    uint32_t v = record.version;
    print(out, "\tversion = %d.%d.%d.%d\n", static_cast<int>(v >> 24), static_cast<int>(v >> 16 & 0xFF),
          static_cast<int>(v >> 8 & 0xFF), static_cast<int>(v & 0xFF));
    if (report == Report::kVersion)
      print(out, "\tsize    = %d K\n", static_cast<int>(record.size / 1024));
    else
      print(out, "\tsize    = 0x%08X (%d K)\n", record.size, static_cast<int>(record.size / 1024));
    uint32_t d = record.date;
    print(out, "\tdate    = %d/%d/%d\n", static_cast<int>(d >> 16), static_cast<int>(d >> 8 & 0xFF),
          static_cast<int>(d & 0xFF));
  }
}

}  // namespace

void print_version_info(platform::Platform& p, bootenv::EnvStore& env) {
  bootcfg::PartTable table;
  bootcfg::flprog_get_part_table(env, &table);
  print(p.out(), "Vantiro update version: %s\n", kToolVersion);
  print_records(p, table, Report::kVersion);
}

int show_uboot_info(platform::Platform& p, bootenv::EnvStore& env) {
  bootcfg::PartTable table;
  print(p.out(), "Vantiro update version: %s \n", "1.0.1");
  if (bootcfg::flprog_get_part_table(env, &table) < 0) {
    put(p.err(), "flprog_get_part_table faild!\n");
    std::memset(&table, 0, sizeof table);
  }
  print_records(p, table, Report::kShow);
  put(p.out(), "\nMore details:\n\n");
  put(p.out(), "Mtd information: \n");
  p.run_shell("cat /proc/mtd ");
  int result = bootenv::hs_printenv(env);
  if (result < 0) {
    put(p.err(), "hs_printenv faild!\n");
    return result;
  }
  return 0;
}

}  // namespace cli
