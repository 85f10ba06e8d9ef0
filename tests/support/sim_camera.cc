#include "tests/support/sim_camera.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bootenv/bootenv.h"
#include "platform/sim/sim_platform.h"

extern char** environ;

namespace testing_support {

TempDir::TempDir() {
  char pattern[] = "/tmp/update-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& relative, const std::string& content) const {
  std::filesystem::path target = file(relative);
  std::filesystem::create_directories(target.parent_path());
  std::ofstream stream(target, std::ios::binary | std::ios::trunc);
  stream.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string TempDir::read(const std::string& relative) const {
  std::ifstream stream(file(relative), std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

bool TempDir::exists(const std::string& relative) const {
  struct stat st;
  return lstat(file(relative).c_str(), &st) == 0;
}

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& sim_root, const std::string& cwd) {
  TempDir capture;
  std::string out_path = capture.file("out");
  std::string err_path = capture.file("err");

  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::string(*entry).rfind("UPDATE_SIM_ROOT=", 0) != 0) env_text.emplace_back(*entry);
  if (!sim_root.empty()) env_text.push_back("UPDATE_SIM_ROOT=" + sim_root);

  std::vector<char*> argv;
  // In a cross build the programs are target programs: start them through the
  // emulator, which takes the program's path and arguments after its own.
  std::vector<std::string> emulator;
#ifdef UPDATE_TEST_EMULATOR
  std::istringstream emulator_words(UPDATE_TEST_EMULATOR);
  for (std::string word; emulator_words >> word;) emulator.push_back(word);
#endif
  for (std::string& word : emulator) argv.push_back(word.data());
  std::string program_name = program;
  argv.push_back(program_name.data());
  std::vector<std::string> arg_copies = args;
  for (std::string& arg : arg_copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  ProgramResult result;
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = capture.read("out");
  result.err = capture.read("err");
  return result;
}

void make_camera(const TempDir& root, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"--force", "--size", "ker=1M", "--size", "fs=2M"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(root.path());
  ProgramResult made = run_program(MKCAMERA_BINARY, args, "");
  if (made.status != 0) throw std::runtime_error("mkcamera failed: " + made.err);
}

std::string printed_environment(const TempDir& root) {
  platform::StringStream out;
  platform::StringStream err;
  platform::sim::SimPlatform sim(root.path(), out, err);
  bootenv::EnvStore env(sim);
  bootenv::bootenv_load(env);
  bootenv::hs_printenv(env);
  return err.text() + out.text();
}

ProgramResult run_update_sim(const TempDir& root, const std::vector<std::string>& args) {
  return run_program(UPDATE_SIM_BINARY, args, root.path());
}

}  // namespace testing_support
