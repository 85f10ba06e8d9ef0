#include "update/update_firmware.h"

#include <fcntl.h>

#include <cstring>

#include "bootcfg/mtd_table.h"
#include "update/nand_writer.h"
#include "update/readback.h"

namespace update {
namespace {

constexpr const char* kNoDevice = "/dev/";  // a partition /proc/mtd does not list

template <size_t N, size_t M>
void copy_field(char (&to)[N], const char (&from)[M]) {
  size_t length = strnlen(from, M);
  if (length >= N) length = N - 1;
  std::memcpy(to, from, length);
  to[length] = '\0';
}

int32_t result_bit(int index) {
  switch (index) {
    case image::kEntryKer:
      return kResultKernel;
    case image::kEntryFs:
      return kResultFileSystem;
    default:
      return kResultBootLoader;
  }
}

// Points bootargs and bootcmd at the slot that is not running. 0, or -4
// after the report of what does not match.
int32_t edit_boot_variables(platform::Platform& p, int slot, bootcfg::PartTable* table) {
  char* bootargs = table->bootargs;
  char* fs = std::strstr(bootargs, "=fs");
  if (fs == nullptr) {
    platform::print(p.err(), "cmdline: %s \n", bootargs);
    platform::put(p.err(), "bootargs not find fs, maybe NFS!\n");
    return -4;
  }
  if (slot == 2 && fs[3] == '2') {
    fs[3] = '1';
    platform::put(p.out(), "  current is fs2 \n");
  } else if (slot == 1 && fs[3] == '1') {
    fs[3] = '2';
    platform::put(p.out(), "  current is fs1 \n");
  } else {
    platform::put(p.err(), "unknow fs partition or cur fs mismatch bootargs fs!\n");
    return -4;
  }

  // The 148 MB memory split of older firmware becomes 128 MB.
  if (char* mem = std::strstr(bootargs, "mem=148M")) mem[5] = '2';

  char* bootcmd = table->bootcmd;
  char* ker = std::strstr(bootcmd, "ker");
  if (ker == nullptr) {
    platform::put(p.err(), " bootcmd is null!\n");
    return -4;
  }
  // When "ker" ends a full field the digit would overwrite the terminator.
  size_t digit = static_cast<size_t>(ker - bootcmd) + 3;
  if (digit >= sizeof table->bootcmd - 1) {
    platform::put(p.err(), "bootcmd has no room for the kernel number!\n");
    return -4;
  }
  if (slot == 2) {
    bootcmd[digit] = '1';
    platform::put(p.out(), "  current is ker2 \n");
  } else {
    bootcmd[digit] = '2';
    platform::put(p.out(), "  current is ker1 \n");
  }

  // The installed system takes its address from its own configuration, so
  // an address setting in the boot arguments is dropped.
  char* ip = std::strstr(bootargs, " ip=");
  if (ip == nullptr) {
    platform::put(p.out(), "bootcmd do not have ip\n");
    return 0;
  }
  platform::put(p.out(), "bootargs have ip\n");
  char* blank = std::strchr(ip + 1, ' ');
  if (blank == nullptr) {
    platform::put(p.out(), "bootargs do not have blank\n");
    return 0;
  }
  // Removing text only shortens it, so the edit stays inside the field.
  std::memmove(ip, blank, std::strlen(blank) + 1);
  return 0;
}

void print_row(platform::Stream& out, const UpdatePlanRow& row) {
  platform::print(out, "Update %s partition:\n", row.name);
  platform::print(out, "dev \t    = %s\n", row.dev);
  platform::print(out, "offset   = 0x%08X\n", row.offset);
  platform::print(out, "size\t    = 0x%08X (%d K)\n", row.size, static_cast<int>(row.size >> 10));
  platform::print(out, "addr\t    = 0x%08X\n", row.addr);
  platform::print(out, "flag\t    = 0x%08X\n", row.flag);
  platform::print(out, "date\t    = %d/%d/%d\n", static_cast<int>(row.date >> 16),
                  static_cast<int>(row.date >> 8 & 0xFF), static_cast<int>(row.date & 0xFF));
  platform::print(out, "version = %d.%d.%d.%d\n", static_cast<int>(row.version >> 24),
                  static_cast<int>(row.version >> 16 & 0xFF),
                  static_cast<int>(row.version >> 8 & 0xFF), static_cast<int>(row.version & 0xFF));
}

void select_row(UpdatePlan* plan, int index, const char (&dev)[32], const char (&name)[32]) {
  plan->selected[index] = 1;
  UpdatePlanRow& row = plan->rows[index];
  row.pad = 1;
  copy_field(row.dev, dev);
  copy_field(row.name, name);
}

// Whether a planned device is one of the running slot's partitions, which
// an installation must never write (a /proc/mtd whose names overlap could
// map both slots to one device).
bool targets_running_slot(const UpdatePlan& plan, const bootcfg::MtdDeviceTable& mtd, int slot) {
  const char* running[] = {
      mtd.rows[slot == 1 ? bootcfg::kKer1 : bootcfg::kKer2].path,
      mtd.rows[slot == 1 ? bootcfg::kFs1 : bootcfg::kFs2].path,
  };
  for (size_t k = 0; k < image::kEntryCount; ++k) {
    if (!plan.selected[k]) continue;
    for (const char* path : running)
      if (std::strcmp(path, kNoDevice) != 0 && std::strcmp(plan.rows[k].dev, path) == 0)
        return true;
  }
  return false;
}

}  // namespace

int get_current_slot(platform::Platform& p) {
  platform::FileHandle file(p, p.open("/proc/cmdline", O_RDONLY));
  if (!file.valid()) {
    platform::print_error(p.err(), "open /proc/cmdline");
    return -1;
  }
  char text[1024] = {};
  size_t used = 0;
  while (used < sizeof text - 1) {
    ssize_t n = p.read(file.get(), text + used, sizeof text - 1 - used);
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  file.reset();
  if (std::strstr(text, "ubi.mtd=fs1") != nullptr) return 1;
  if (std::strstr(text, "ubi.mtd=fs2") != nullptr) return 2;
  return -1;
}

int drop_caches(platform::Platform& p) {
  if (p.run_shell("echo 3 > /proc/sys/vm/drop_caches") != 0) {
    platform::put(p.err(), "clean memory failed! \n");
    return -1;
  }
  p.run_shell("sync");
  return 0;
}

bool bootloader_entry_qualifies(const image::ImageEntry& entry,
                                const bootcfg::FirmwareRecord& uboot_record) {
  // The third version number tells the memory variant; only a newer build of
  // the variant that is installed may replace it.
  return entry.has_payload() && (entry.version >> 8 & 0xFF) == (uboot_record.version >> 8 & 0xFF) &&
         entry.version > uboot_record.version;
}

int32_t update_firmware(platform::Platform& p, bootenv::EnvStore& env, const char* path) {
  int slot = get_current_slot(p);
  platform::print(p.out(), "Verify image %s \n", path != nullptr ? path : "");
  if (image::image_verify(p, path) != 0) {
    platform::put(p.err(), "Verify update firmware faild!\n");
    return -2;
  }
  image::ImageHeader header;
  if (image::image_get_header_info(p, path, &header) != 0) {
    platform::put(p.err(), "image_get_header_info faild!\n");
    return -1;
  }

  platform::put(p.out(), "Get old ptb information!\n");
  bootcfg::PartTable table;
  if (bootcfg::flprog_get_part_table(env, &table) < 0) {
    platform::put(p.err(), "flprog_get_part_table faild!\n");
    return -4;
  }
  platform::put(p.out(), "Get mtd device information!\n");
  bootcfg::MtdDeviceTable mtd;
  if (bootcfg::get_mtd_info(p, &mtd) != 0) {
    platform::put(p.err(), "get_mtd_info faild!\n");
    return -4;
  }

  if (int32_t edited = edit_boot_variables(p, slot, &table); edited != 0) return edited;

  UpdatePlan plan = {};
  const bootcfg::FirmwareRecord& uboot = table.records[bootcfg::kUboot];
  for (int k : {image::kEntryBld, image::kEntryBld2, image::kEntryBld3})
    if (bootloader_entry_qualifies(header.entries[k], uboot))
      select_row(&plan, k, mtd.rows[bootcfg::kUboot].path, uboot.name);
  if (!header.entries[image::kEntryFs].has_payload()) {
    platform::put(p.err(), "No filesys image!\n");
    return -10;
  }
  const bootcfg::MtdDevice& fs = mtd.rows[slot == 1 ? bootcfg::kFs2 : bootcfg::kFs1];
  select_row(&plan, image::kEntryFs, fs.path, fs.name);
  if (!header.entries[image::kEntryKer].has_payload()) {
    platform::put(p.err(), "No filesys image!\n");
    return -9;
  }
  const bootcfg::MtdDevice& ker = mtd.rows[slot == 1 ? bootcfg::kKer2 : bootcfg::kKer1];
  select_row(&plan, image::kEntryKer, ker.path, ker.name);

  // Verification covers named entries only: a payload without a name was
  // never checked and must not reach the flash.
  for (size_t k = 0; k < image::kEntryCount; ++k) {
    if (plan.selected[k] && !header.entries[k].named()) {
      platform::print(p.err(), "Entry %zu has no name and was not verified!\n", k);
      platform::put(p.err(), "Verify update firmware faild!\n");
      return -2;
    }
  }
  if (targets_running_slot(plan, mtd, slot)) {
    platform::put(p.err(), "Update target is a partition of the running system!\n");
    return -4;
  }

  for (size_t k = 0; k < image::kEntryCount; ++k) {
    if (!plan.selected[k]) continue;
    UpdatePlanRow& row = plan.rows[k];
    const image::ImageEntry& entry = header.entries[k];
    row.offset = entry.offset;
    row.size = entry.size;
    row.flag = entry.flag;
    row.addr = entry.addr;
    row.version = entry.version;
    row.date = entry.date;
    print_row(p.out(), row);

    drop_caches(p);
    int32_t r = nand_flash_write_file(p, path, row);
    if (r != 0) {
      r |= kResultWriteStage;
    } else {
      drop_caches(p);
      r = nand_flash_verify_file(p, env, row, entry.crc32, &table);
    }
    if (r != 0) return r | result_bit(static_cast<int>(k));
  }

  if (bootcfg::flprog_set_boot_args(env, table) < 0) {
    platform::put(p.err(), "set boot args  faild!\n");
    return 18;
  }
  return 0;
}

}  // namespace update
