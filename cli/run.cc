#include "cli/run.h"

#include <cstdio>

#include "bootenv/bootenv.h"
#include "cli/options.h"
#include "cli/result_log.h"
#include "image/image.h"
#include "update/compat.h"
#include "update/update_firmware.h"

namespace cli {
namespace {

int exit_status(int32_t code) { return static_cast<int>(static_cast<uint32_t>(code) & 0xFF); }

}  // namespace

int run_update(int argc, char** argv, platform::Platform& p) {
  bootenv::EnvStore env(p);
  // A store that did not load still answers lookups and sets safely.
  bootenv::bootenv_load(env);

  RunOptions options;
  if (parse_command_line(argc, argv, p, env, &options) != 0) return 255;

  char message[256] = {};
  const char* path = options.image_path;

  if (options.upfw || options.analysis) {
    int code = update::check_compatibility(p, env, path, message);
    if (code != 0) {
      write_upfw_log(p, code, message);
      return exit_status(code);
    }
  }

  if (options.list) {
    platform::print(p.out(), "List upfw %s infomation.\n", path);
    int code = image::image_list_info(p, path);
    if (code != 0) {
      platform::print(p.err(), "List upfw %s infomation failed!\n", path);
      return exit_status(code);
    }
  }

  if (options.analysis) {
    platform::print(p.out(), "Analysis image %s \n", path);
    int code = image::image_analysis(p, path, 0);
    if (code != 0) {
      std::snprintf(message, sizeof message, "Analysis %s faild!\n", path);
      write_upfw_log(p, code, message);
      return exit_status(code);
    }
  }

  if (!options.upfw) {
    bootenv::bootenv_release(env);
    return 0;
  }

  platform::print(p.out(), "Begin update %s \n", path);
  platform::FileStatus status;
  if (p.stat(kResultLogPath, &status) == 0) {
    platform::put(p.err(), "Has update, update again!");
    p.run_shell("rm -f /mnt/nand/upfw.log");
  }

  int32_t result = update::update_firmware(p, env, path);
  format_result_message(result, message, sizeof message);
  write_upfw_log(p, result, message);
  return exit_status(result);
}

}  // namespace cli
