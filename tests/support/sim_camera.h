// Test support: a simulated camera in a temporary directory, and running the
// built programs on it.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `relative` may name subdirectories; they are created.
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }
  void write(const std::string& relative, const std::string& content) const;
  std::string read(const std::string& relative) const;
  bool exists(const std::string& relative) const;

 private:
  std::string path_;
};

struct ProgramResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the program did not exit
};

// Runs `program` with `args` (argv[0] is added) in the working directory
// `cwd`, with UPDATE_SIM_ROOT set to `sim_root` unless it is empty.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& sim_root, const std::string& cwd = ".");

// Makes a small simulated camera (1 MiB kernel, 2 MiB file-system
// partitions) in `root` with mkcamera; `options` are added to its command.
void make_camera(const TempDir& root, const std::vector<std::string>& options = {});

// The camera's boot environment as the tool loads it, one "name=value" a
// line, with whatever loading printed on standard error before it.
std::string printed_environment(const TempDir& root);

// update-sim on the camera rooted at `root`.
ProgramResult run_update_sim(const TempDir& root, const std::vector<std::string>& args);

}  // namespace testing_support
