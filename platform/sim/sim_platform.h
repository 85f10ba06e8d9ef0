// The simulated camera: a directory on the host stands for the camera's file
// system, with MTD devices, the identity EEPROM's bus and the shell emulated
// on ordinary files. Used by update-sim and by the tests.
//
// What lives under the root and how each device behaves is the simulated
// camera's contract (simulated-camera.md); in short:
//   R/dev/mtdN + R/dev/mtdN.geometry  a flash device (bytes = contents)
//   R/dev/i2c-N                       an I2C bus with the EEPROM (bytes = contents)
//   R/shell.log                       every shell command run, one a line
//   R/flash.log                       every erase and write on flash, one a line
//   R/faults                          operations made to fail, and a power cut
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace platform::sim {

// What a geometry file says about a flash device.
struct Geometry {
  uint8_t type = 0;
  uint32_t erasesize = 0;
  uint32_t writesize = 0;
  uint32_t oobsize = 0;
  uint32_t subpagesize = 0;  // smallest NAND write
  std::set<uint32_t> bad;    // erase-block indices reported bad (NAND only)
};

// Parses the text of a geometry file. On failure returns false and sets
// *error to a message naming `name` (without a final newline).
bool parse_geometry(const std::string& text, const std::string& name, Geometry* geometry,
                    std::string* error);

// The kinds of operation a fault rule can name; every open, transfer and
// flash request of the simulation is exactly one of them.
enum class OpKind : uint8_t {
  kOpen = 0,
  kRead = 1,      // read, pread, an I2C byte read
  kWrite = 2,     // write, pwrite
  kErase = 3,     // MEMERASE
  kBadBlock = 4,  // MEMGETBADBLOCK
  kInfo = 5,      // MEMGETINFO
};

// The rule word of an operation kind ("open", "read", ...).
const char* op_kind_name(OpKind op);

// What R/faults asks for, one rule a line ('#' starts a comment):
//   fail OP PATH [NTH [ERRNO]]  the NTH (default 1) OP on PATH, as the tool
//                               names it, fails with ERRNO (default EIO; a
//                               name such as ENOSPC, or a number)
//   status WORD CODE            a shell command whose first word is WORD (or
//                               ends in /WORD) is not carried out and returns
//                               CODE (0-255); a pipe then gives no output
//   powercut N                  the Nth flash-changing operation of the run is
//                               left half done and the power goes
struct FaultRules {
  struct Fail {
    OpKind op;
    std::string path;
    uint64_t nth;
    int error;
  };
  std::vector<Fail> fails;
  std::map<std::string, int> statuses;
  uint64_t powercut = 0;  // 0: none
};

// Parses the text of a faults file. On failure returns false and sets
// *error to "NAME:LINE: what is wrong" (without a final newline).
bool parse_faults(const std::string& text, const std::string& name, FaultRules* rules,
                  std::string* error);

// The errno value of a name such as "EIO" or of a decimal number; 0 when it
// names none.
int errno_from_name(const std::string& name);

// What the default power-cut handler throws: the process that owns the
// platform is to stop as a camera that loses power. Deliberately no
// std::exception, so no handler in the tool can mistake it for an error.
struct PowerCut {
  uint64_t operation;  // the number of the cut operation, from 1
};

// Platform on a directory tree rooted at `root`. Absolute paths are taken
// under the root, relative ones as they are. Operations fail as the Linux
// calls do: -1 with errno.
class SimPlatform : public Platform {
 public:
  // Reads the fault rules of R/faults, if there is one; when it cannot be
  // parsed the reason goes to `err` and faults_valid() is false.
  SimPlatform(std::string root, Stream& out, Stream& err);
  ~SimPlatform() override;
  SimPlatform(const SimPlatform&) = delete;
  SimPlatform& operator=(const SimPlatform&) = delete;

  Stream& out() override { return out_; }
  Stream& err() override { return err_; }

  int open(const char* path, int flags, unsigned mode = 0) override;
  int close(int fd) override;
  ssize_t read(int fd, void* buf, size_t count) override;
  ssize_t write(int fd, const void* buf, size_t count) override;
  ssize_t pread(int fd, void* buf, size_t count, int64_t offset) override;
  ssize_t pwrite(int fd, const void* buf, size_t count, int64_t offset) override;
  int64_t lseek(int fd, int64_t offset, int whence) override;
  int fstat(int fd, FileStatus* status) override;
  int stat(const char* path, FileStatus* status) override;

  int mtd_get_info(int fd, MtdInfo* info) override;
  int mtd_get_bad_block(int fd, int64_t offset) override;
  int mtd_erase(int fd, const EraseRange& range) override;
  int mtd_unlock(int fd, const EraseRange& range) override;
  int mtd_lock(int fd, const EraseRange& range) override;

  int i2c_set_slave(int fd, unsigned address) override;
  int i2c_set_byte_widths(int fd) override;
  ssize_t i2c_read_byte(int fd, uint8_t reg, uint8_t* value) override;

  int run_shell(const char* command) override;
  int run_pipe(const char* command, std::string* output) override;
  void pause_seconds(unsigned seconds) override;
  // The simulated files are written through at once: nothing to flush.
  void sync_filesystems() override {}

  // The host path standing for `path` on the camera.
  std::string host_path(const std::string& path) const;
  // Flash-changing operations done so far (the lines written to flash.log).
  uint64_t flash_operations() const { return flash_operations_; }

  // False when R/faults exists but cannot be read or parsed; no rule applies
  // then, and update-sim refuses to run.
  bool faults_valid() const { return faults_valid_; }
  // Reads R/faults again, as a new run would; its fail rules count requests
  // from here (a powercut still counts from the start).
  void reload_faults();
  const FaultRules& faults() const { return faults_; }

  // Called when the power is cut, after the cut operation was half done and
  // logged. The default throws PowerCut; update-sim ends the process. Should
  // the handler return, that operation and every later one fail with EIO.
  using PowerCutHandler = std::function<void(uint64_t operation)>;
  void set_power_cut_handler(PowerCutHandler handler) { power_cut_handler_ = std::move(handler); }
  bool powered_off() const { return powered_off_; }

  // Sees every operation as it is asked for, before any fault applies: how
  // a test learns which operations a run makes.
  using OperationObserver = std::function<void(OpKind op, const std::string& path)>;
  void set_operation_observer(OperationObserver observer) { observer_ = std::move(observer); }

 private:
  // One descriptor the tool holds.
  struct Entry {
    std::string path;  // as the tool named it
    int access = 0;    // O_RDONLY, O_WRONLY or O_RDWR
    bool mtd = false;  // a flash device with a geometry
    Geometry geometry;
    uint32_t size = 0;  // device size, fixed at open
    int flash_fd = -1;  // read-write host descriptor for programming
    bool i2c = false;
    bool chip_selected = false;  // the slave address is the EEPROM's
  };

  Entry* find(int fd);
  Entry* find_mtd(int fd);

  // Every open, transfer and flash request, from the tool or from an
  // emulated command, goes through exactly one of these, one per kind of
  // operation, so each kind can be observed or made to fail in one place.
  // Opens `path` (as the tool names it) into `entry`: the host descriptor,
  // or -1 with errno.
  int op_open(const std::string& path, int flags, unsigned mode, Entry* entry);
  // Offset -1: at the descriptor's position, which moves as read/write move it.
  ssize_t op_read(int fd, Entry& entry, void* buf, size_t count, int64_t offset);
  ssize_t op_write(int fd, Entry& entry, const void* buf, size_t count, int64_t offset);
  int op_erase(Entry& entry, uint32_t start, uint32_t length);
  int op_badblock(Entry& entry, int64_t offset);
  int op_info(Entry& entry, MtdInfo* info);

  // Programs flash at `offset` by the chip's rules; op_write's flash half.
  ssize_t program(Entry& entry, const void* buf, size_t count, int64_t offset);

  // Whether the operation about to run fails by a rule (errno is then set);
  // counts it for the rules that name it.
  bool inject(OpKind op, const std::string& path);
  // Whether the flash-changing operation about to run is the one cut off.
  bool cut_due() const;
  // Ends the cut operation: the handler, then EIO from here on. Returns -1.
  int power_cut();
  void load_faults();

  // The output and status of one emulated command.
  struct ShellResult {
    std::string output;
    int status = 0;
  };
  ShellResult emulate(const std::string& command);
  int shell_flash_erase(const std::string& device);
  void log_shell(const std::string& line);
  void log_flash(const char* op, const std::string& path, uint32_t start, uint32_t length);
  void append_line(const char* relative, const std::string& line);

  std::string root_;
  Stream& out_;
  Stream& err_;
  std::map<int, Entry> fds_;
  uint64_t flash_operations_ = 0;

  FaultRules faults_;
  bool faults_valid_ = true;
  std::map<std::pair<OpKind, std::string>, uint64_t> seen_;  // operations asked per kind and path
  PowerCutHandler power_cut_handler_;
  bool powered_off_ = false;
  OperationObserver observer_;
};

}  // namespace platform::sim
