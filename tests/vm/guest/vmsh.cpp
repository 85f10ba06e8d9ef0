// vmsh: the guest's /bin/sh.
//
// The tool runs its commands through "/bin/sh -c". This wrapper appends each
// such command to the file named by VMSH_LOG (one a line, one final newline
// dropped, as the simulated camera's shell.log) and hands it to busybox's
// shell. Only `reboot` is not handed on: busybox's shell always runs its own
// reboot applet, whatever PATH says, and the guest must not restart in the
// middle of a scenario. It answers with the status in /vm/reboot-status
// (default 0), as a reboot command that was accepted.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/output.h"

namespace {

constexpr char kBusybox[] = "/bin/busybox";

void log_command(const char* command) {
  const char* log = std::getenv("VMSH_LOG");
  if (log == nullptr || *log == '\0') return;
  std::string line = command;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  line += '\n';
  int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  platform::FdStream stream(fd);
  stream.write(line.data(), line.size());
  ::close(fd);
}

std::string first_word(const char* command) {
  const char* start = command + std::strspn(command, " \t\n");
  return std::string(start, std::strcspn(start, " \t\n;&|"));
}

int reboot_status() {
  int fd = ::open("/vm/reboot-status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[16] = {};
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  return n > 0 ? std::atoi(text) & 0xFF : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "-c") == 0) {
    log_command(argv[2]);
    const std::string word = first_word(argv[2]);
    if (word == "reboot" || word == "/sbin/reboot") return reboot_status();
  }
  char sh[] = "sh";
  argv[0] = sh;
  ::execv(kBusybox, argv);
  platform::FdStream err(STDERR_FILENO);
  platform::print_error(err, kBusybox);
  return 127;
}
