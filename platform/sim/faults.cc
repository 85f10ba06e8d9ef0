// Fault rules: which operations of the simulated camera fail, and where its
// power is cut.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "platform/sim/text.h"

namespace platform::sim {
namespace {

// The kernel's internal ENOTSUPP, which MTD requests return on NAND.
constexpr int kKernelEnotsupp = 524;

struct ErrnoName {
  const char* name;
  int value;
};

// The errors a flash, file or bus operation of the camera can give.
constexpr ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},
    {"ENOENT", ENOENT},
    {"EINTR", EINTR},
    {"EIO", EIO},
    {"ENXIO", ENXIO},
    {"EBADF", EBADF},
    {"EAGAIN", EAGAIN},
    {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},
    {"EFAULT", EFAULT},
    {"EBUSY", EBUSY},
    {"EEXIST", EEXIST},
    {"ENODEV", ENODEV},
    {"ENOTDIR", ENOTDIR},
    {"EISDIR", EISDIR},
    {"EINVAL", EINVAL},
    {"ENFILE", ENFILE},
    {"EMFILE", EMFILE},
    {"ENOTTY", ENOTTY},
    {"EFBIG", EFBIG},
    {"ENOSPC", ENOSPC},
    {"ESPIPE", ESPIPE},
    {"EROFS", EROFS},
    {"ENAMETOOLONG", ENAMETOOLONG},
    {"ELOOP", ELOOP},
    {"EOPNOTSUPP", EOPNOTSUPP},
    {"ETIMEDOUT", ETIMEDOUT},
    {"EREMOTEIO", EREMOTEIO},
    {"EBADMSG", EBADMSG},
    {"EUCLEAN", EUCLEAN},
    {"ENOTSUPP", kKernelEnotsupp},
};

struct OpName {
  const char* name;
  OpKind op;
};

constexpr OpName kOpNames[] = {
    {"open", OpKind::kOpen},   {"read", OpKind::kRead},         {"write", OpKind::kWrite},
    {"erase", OpKind::kErase}, {"badblock", OpKind::kBadBlock}, {"info", OpKind::kInfo},
};

// A decimal number from `low` to `high`, with nothing else around it.
bool parse_number(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const uint64_t number = std::strtoull(text.c_str(), nullptr, 10);
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

}  // namespace

const char* op_kind_name(OpKind op) {
  for (const OpName& entry : kOpNames)
    if (entry.op == op) return entry.name;
  return "?";
}

int errno_from_name(const std::string& name) {
  for (const ErrnoName& entry : kErrnoNames)
    if (name == entry.name) return entry.value;
  uint64_t number = 0;
  if (parse_number(name, 1, 4095, &number)) return static_cast<int>(number);
  return 0;
}

bool parse_faults(const std::string& text, const std::string& name, FaultRules* rules,
                  std::string* error) {
  FaultRules result;
  for (const SettingLine& line : setting_lines(text)) {
    const int line_number = line.number;
    const std::vector<std::string> words = split_words(line.text);
    auto fail = [&](const std::string& what) {
      *error = name + ":" + std::to_string(line_number) + ": " + what;
      return false;
    };

    const std::string& rule = words[0];
    if (rule == "fail") {
      if (words.size() < 3 || words.size() > 5) return fail("expected fail OP PATH [NTH [ERRNO]]");
      FaultRules::Fail entry{OpKind::kOpen, words[2], 1, EIO};
      bool known = false;
      for (const OpName& op : kOpNames) {
        if (words[1] == op.name) {
          entry.op = op.op;
          known = true;
        }
      }
      if (!known)
        return fail("unknown operation \"" + words[1] +
                    "\" (open, read, write, erase, badblock or info)");
      if (words.size() >= 4 && !parse_number(words[3], 1, UINT64_MAX >> 1, &entry.nth))
        return fail("bad count \"" + words[3] + "\" (1 or more)");
      if (words.size() == 5) {
        entry.error = errno_from_name(words[4]);
        if (entry.error == 0) return fail("unknown error \"" + words[4] + "\"");
      }
      result.fails.push_back(entry);
    } else if (rule == "status") {
      uint64_t code = 0;
      if (words.size() != 3) return fail("expected status WORD CODE");
      if (!parse_number(words[2], 0, 255, &code))
        return fail("bad status \"" + words[2] + "\" (0-255)");
      result.statuses[words[1]] = static_cast<int>(code);
    } else if (rule == "powercut") {
      uint64_t n = 0;
      if (words.size() != 2) return fail("expected powercut N");
      if (!parse_number(words[1], 1, UINT64_MAX >> 1, &n))
        return fail("bad operation number \"" + words[1] + "\" (1 or more)");
      // Power goes only once: the earliest cut wins.
      if (result.powercut == 0 || n < result.powercut) result.powercut = n;
    } else {
      return fail("unknown rule \"" + rule + "\" (fail, status or powercut)");
    }
  }
  *rules = std::move(result);
  return true;
}

}  // namespace platform::sim
