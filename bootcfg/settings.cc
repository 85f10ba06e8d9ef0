#include "bootcfg/settings.h"

#include <cstdio>
#include <cstring>

#include "bootcfg/part_table.h"

namespace bootcfg {
namespace {

// Used when bootargs names no root partition (a network boot, say).
constexpr char kDefaultBootArgs[128] =
    "mem=256M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs "
    "init=/linuxrc";

}  // namespace

int set_variable(bootenv::EnvStore& env, const char* variable, const char* value) {
  return bootenv::bootenv_assign(env, variable, value);
}

int set_boot_delay(bootenv::EnvStore& env, uint8_t delay) {
  char text[4];
  std::snprintf(text, sizeof text, "%d", delay);
  return set_variable(env, "bootdelay", text);
}

int set_boot_slot(platform::Platform& p, bootenv::EnvStore& env, unsigned slot) {
  PartTable table;
  if (flprog_get_part_table(env, &table) < 0) {
    platform::put(p.err(), "get_env_mtd_table faild!\n");
    return -1;
  }
  const char digit = slot == 1 ? '1' : '2';
  // The digit goes after the first "ker" and the first "=fs"; it must stay
  // inside the field with its terminator behind it.
  auto digit_at = [](char (&field)[512], const char* marker) -> char* {
    char* found = std::strstr(field, marker);
    if (found == nullptr || found + 3 >= field + sizeof field - 1) return nullptr;
    return found + 3;
  };
  char* kernel = digit_at(table.bootcmd, "ker");
  if (kernel == nullptr) {
    platform::put(p.err(), "Can't find kernel partition!\n");
    return -1;
  }
  *kernel = digit;
  char* root = digit_at(table.bootargs, "=fs");
  if (root == nullptr) {
    std::memset(table.bootargs, 0, sizeof table.bootargs);
    std::memcpy(table.bootargs, kDefaultBootArgs, sizeof kDefaultBootArgs);
    root = digit_at(table.bootargs, "=fs");
  }
  *root = digit;
  return flprog_set_boot_args(env, table);
}

int switch_system(platform::Platform& p, bootenv::EnvStore& env, unsigned slot) {
  if (slot != 1 && slot != 2) {
    platform::put(p.err(), "Unknown fs index, please choose 1 or 2\n");
    return -1;
  }
  if (set_boot_slot(p, env, slot) != 0) return -1;
  platform::print(p.out(), "\tFilesys will switch to fs%d after reboot!\n", slot);
  p.pause_seconds(3);
  return p.run_shell("reboot");
}

}  // namespace bootcfg
