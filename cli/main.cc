// The production entry point: the tool on the real camera.
#include "cli/run.h"
#include "platform/linux/linux_platform.h"

int main(int argc, char** argv) {
  platform::FdStream out(1);
  platform::FdStream err(2);
  platform::LinuxPlatform linux_platform(out, err);
  return cli::run_update(argc, argv, linux_platform);
}
