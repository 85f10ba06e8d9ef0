// The boot environment store against simulated NAND and NOR flash: which copy
// loading takes, what a save leaves on both devices and in the flash trace,
// bad-block skipping, and variable lookup, printing and setting.
#include "bootenv/bootenv.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bootenv/flash_io.h"
#include "image/crc32.h"
#include "platform/output.h"
#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"

namespace {

using testing_support::TempDir;

constexpr size_t kCopySize = 0x40000;
constexpr size_t kBlock = 0x80000;  // the environment's erase block
constexpr size_t kDataSize = kCopySize - 5;
constexpr size_t kDeviceSize = 0x100000;

const char kNand[] = "type=nand\nerasesize=131072\nwritesize=2048\noobsize=64\n";
const char kNor[] = "type=nor\nerasesize=65536\nwritesize=1\noobsize=0\n";

// A data area: each entry with its NUL, then the end-of-list NUL.
std::string entries(std::initializer_list<std::string> list) {
  std::string data;
  for (const std::string& entry : list) data += entry + '\0';
  return data + '\0';
}

uint32_t le32(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
         static_cast<uint8_t>(bytes[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

// One copy as it lies on flash: CRC over the whole data area, flag, data.
// The data area is padded with `pad`, which the CRC covers too.
std::string copy_image(const std::string& data, uint8_t flag, bool crc_ok = true, char pad = '\0') {
  std::string image(kCopySize, pad);
  image.replace(5, data.size(), data);
  image[4] = static_cast<char>(flag);
  uint32_t crc = image::crc32(0, image.data() + 5, kDataSize);
  if (!crc_ok) crc ^= 0x00010000;
  for (int i = 0; i < 4; ++i) image[i] = static_cast<char>(crc >> (8 * i));
  return image;
}

bool crc_matches(const std::string& copy) {
  return image::crc32(0, copy.data() + 5, kDataSize) == le32(copy, 0);
}

// What lies in the erase block behind each copy; a save must keep it.
std::string block_tail(int device) {
  return std::string(kBlock - kCopySize, "\x11\x22"[device - 1]);
}

// The simulated camera, made to fail chosen flash requests and noting the
// bad-block queries it is asked.
class FaultySim : public platform::sim::SimPlatform {
 public:
  using SimPlatform::SimPlatform;

  // The `nth` next `op` ("open", "badblock", "erase") on `path` fails with `error`.
  void fail(const std::string& op, const std::string& path, int nth, int error) {
    rules_[op + " " + path] = Rule{nth, error};
  }
  std::vector<std::string> bad_block_queries;  // "PATH OFFSET"

  int open(const char* path, int flags, unsigned mode = 0) override {
    if (fails("open", path)) return -1;
    const int fd = SimPlatform::open(path, flags, mode);
    if (fd >= 0) paths_[fd] = path;
    return fd;
  }
  int close(int fd) override {
    paths_.erase(fd);
    return SimPlatform::close(fd);
  }
  int mtd_get_bad_block(int fd, int64_t offset) override {
    bad_block_queries.push_back(paths_[fd] + " " + std::to_string(offset));
    if (fails("badblock", paths_[fd])) return -1;
    return SimPlatform::mtd_get_bad_block(fd, offset);
  }
  int mtd_erase(int fd, const platform::EraseRange& range) override {
    if (fails("erase", paths_[fd])) return -1;
    return SimPlatform::mtd_erase(fd, range);
  }

 private:
  struct Rule {
    int nth;
    int error;
  };
  bool fails(const std::string& op, const std::string& path) {
    auto it = rules_.find(op + " " + path);
    if (it == rules_.end() || --it->second.nth != 0) return false;
    errno = it->second.error;
    return true;
  }
  std::map<std::string, Rule> rules_;
  std::map<int, std::string> paths_;
};

// A camera with the two environment devices; the platform is made on demand
// so each test first lays out the flash.
class EnvTest : public ::testing::Test {
 public:
  void make_device(int n, const char* geometry, const std::string& copy,
                   size_t size = kDeviceSize) {
    std::string flash(size, '\xFF');
    flash.replace(0, copy.size(), copy);
    if (size >= kBlock) flash.replace(kCopySize, kBlock - kCopySize, block_tail(n));
    root_.write(device(n), flash);
    if (geometry != nullptr) root_.write(device(n) + ".geometry", geometry);
  }

 protected:
  static std::string device(int n) { return "dev/mtd" + std::to_string(n); }
  std::string flash(int n) const { return root_.read(device(n)); }
  std::string copy_on(int n) const { return flash(n).substr(0, kCopySize); }
  std::string flash_log() const {
    return root_.exists("flash.log") ? root_.read("flash.log") : std::string();
  }
  // The geometry is read at every open, so this takes effect with the next access.
  void mark_bad(int n, const char* blocks) {
    root_.write(device(n) + ".geometry", std::string(kNand) + "bad=" + blocks + "\n");
  }

  FaultySim& sim() {
    if (sim_ == nullptr) sim_ = std::make_unique<FaultySim>(root_.path(), out_, err_);
    return *sim_;
  }
  bootenv::EnvStore& store() {
    if (store_ == nullptr) store_ = std::make_unique<bootenv::EnvStore>(sim());
    return *store_;
  }
  int load() { return bootenv::bootenv_load(store()); }
  std::optional<std::string> lookup(const char* name) {
    return bootenv::bootenv_lookup(store(), name);
  }

  TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  std::unique_ptr<FaultySim> sim_;
  std::unique_ptr<bootenv::EnvStore> store_;
};

// ---------------------------------------------------------------------------
// Loading: which copy becomes current.

struct ChoiceCase {
  const char* case_name;
  const char* geometry;
  uint8_t flag0;
  uint8_t flag1;
  bool crc0_ok;
  bool crc1_ok;
  int expected_copy;
};

class EnvLoadChoiceTest : public EnvTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(EnvLoadChoiceTest, TakesTheNewerValidCopy) {
  const ChoiceCase& c = GetParam();
  make_device(1, c.geometry, copy_image(entries({"which=0", "same=x"}), c.flag0, c.crc0_ok));
  make_device(2, c.geometry, copy_image(entries({"which=1", "same=x"}), c.flag1, c.crc1_ok));

  ASSERT_EQ(load(), 0);
  EXPECT_EQ(store().current_copy(), c.expected_copy);
  EXPECT_EQ(lookup("which"), c.expected_copy == 0 ? "0" : "1");
  EXPECT_EQ(store().flag(), c.expected_copy == 0 ? c.flag0 : c.flag1);
  EXPECT_EQ(store().flag_scheme(),
            c.geometry == kNand ? bootenv::FLAG_SCHEME_COUNTER : bootenv::FLAG_SCHEME_MARK);
  EXPECT_EQ(err_.text(), "");
  EXPECT_EQ(flash_log(), "") << "loading writes nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Flags, EnvLoadChoiceTest,
    ::testing::Values(ChoiceCase{"NandHigherSecond", kNand, 7, 8, true, true, 1},
                      ChoiceCase{"NandHigherFirst", kNand, 8, 7, true, true, 0},
                      ChoiceCase{"NandEqual", kNand, 5, 5, true, true, 0},
                      ChoiceCase{"NandZeroBeats255First", kNand, 0, 255, true, true, 0},
                      ChoiceCase{"NandZeroBeats255Second", kNand, 255, 0, true, true, 1},
                      ChoiceCase{"Nand254Then255", kNand, 254, 255, true, true, 1},
                      ChoiceCase{"NandBadFirstCrc", kNand, 9, 1, false, true, 1},
                      ChoiceCase{"NandBadSecondCrc", kNand, 1, 9, true, false, 0},
                      ChoiceCase{"NorActiveObsolete", kNor, 1, 0, true, true, 0},
                      ChoiceCase{"NorObsoleteActive", kNor, 0, 1, true, true, 1},
                      ChoiceCase{"NorBothObsolete", kNor, 0, 0, true, true, 0},
                      ChoiceCase{"NorFirstErased", kNor, 0xFF, 0x12, true, true, 0},
                      ChoiceCase{"NorSecondErased", kNor, 0x12, 0xFF, true, true, 1},
                      ChoiceCase{"NorOtherValues", kNor, 5, 7, true, true, 0},
                      ChoiceCase{"NorBadFirstCrc", kNor, 1, 0, false, true, 1}),
    [](const auto& info) { return std::string(info.param.case_name); });

TEST_F(EnvTest, EnvLoadBothCopiesBadFallsBackToTheDefault) {
  // Given two broken copies, the default environment lies over the start of
  // copy 0's data area; what follows it and the flag stay as read.
  const std::string copy0 = copy_image(std::string(300, 'z'), 42, false);
  make_device(1, kNand, copy0);
  make_device(2, kNand, copy_image(entries({"a=1"}), 43, false));

  ASSERT_EQ(load(), 0);
  EXPECT_EQ(err_.text(), "Warning: Bad CRC, using default environment\n");
  EXPECT_EQ(store().current_copy(), 0);
  const std::vector<uint8_t>& buffer = store().buffer();
  std::string held(buffer.begin(), buffer.end());
  std::string expected = copy0;
  expected.replace(5, 180, bootenv::kDefaultEnvironment, 180);
  EXPECT_EQ(held, expected);
  EXPECT_EQ(lookup("bootdelay"), "5");
  EXPECT_EQ(lookup("baudrate"), "115200");
  EXPECT_EQ(flash_log(), "");
}

TEST_F(EnvTest, EnvLoadEmptyEnvironmentIsValid) {
  make_device(1, kNand, copy_image("", 3));
  make_device(2, kNand, copy_image("", 2));
  ASSERT_EQ(load(), 0);
  EXPECT_EQ(lookup("bootcmd"), std::nullopt);
  EXPECT_EQ(bootenv::hs_printenv(store()), 0);
  EXPECT_EQ(out_.text(), "");
  EXPECT_EQ(err_.text(), "");
}

// ---------------------------------------------------------------------------
// Loading failures: the store stays unloaded and every operation answers
// without touching memory or flash.

struct LoadFailureCase {
  const char* case_name;
  std::function<void(EnvTest&)> setup;
  const char* expected_err;
};

class EnvLoadFailureTest : public EnvTest, public ::testing::WithParamInterface<LoadFailureCase> {};

TEST_P(EnvLoadFailureTest, LeavesTheStoreUnloaded) {
  GetParam().setup(*this);
  const std::string before1 = flash(1);  // empty when missing
  const std::string before2 = flash(2);

  EXPECT_EQ(load(), -1);
  EXPECT_EQ(err_.text(), GetParam().expected_err);
  EXPECT_FALSE(store().loaded());

  err_.clear();
  EXPECT_EQ(lookup("a"), std::nullopt);
  EXPECT_EQ(bootenv::hs_printenv(store()), -1);
  EXPECT_EQ(bootenv::bootenv_assign(store(), "a", "2"), -1);
  EXPECT_EQ(out_.text(), "");
  EXPECT_EQ(err_.text(), "");
  EXPECT_EQ(flash_log(), "");
  EXPECT_EQ(flash(1), before1);
  EXPECT_EQ(flash(2), before2);
}

const std::string kGood = copy_image(entries({"a=1"}), 1);

INSTANTIATE_TEST_SUITE_P(
    Devices, EnvLoadFailureTest,
    ::testing::Values(
        LoadFailureCase{"FirstDeviceMissing", [](EnvTest& t) { t.make_device(2, kNand, kGood); },
                        "Cannot access MTD device /dev/mtd1: No such file or directory\n"},
        // /dev/mtd1 is no MTD device: had it been read, its MEMGETINFO
        // failure would show.
        LoadFailureCase{"SecondDeviceMissingFirstNotRead",
                        [](EnvTest& t) { t.make_device(1, nullptr, kGood); },
                        "Cannot access MTD device /dev/mtd2: No such file or directory\n"},
        LoadFailureCase{"NotAnMtdDevice",
                        [](EnvTest& t) {
                          auto& f = t;
                          f.make_device(1, nullptr, kGood);
                          f.make_device(2, kNand, kGood);
                        },
                        "Cannot get MTD information: Inappropriate ioctl for device\n"},
        LoadFailureCase{"RamDevice",
                        [](EnvTest& t) {
                          auto& f = t;
                          f.make_device(1, kNand, kGood);
                          f.make_device(2, "type=1\nerasesize=131072\nwritesize=1\noobsize=0\n",
                                        kGood);
                        },
                        "Unsupported flash type 1\n"},
        LoadFailureCase{"NorAndNand",
                        [](EnvTest& t) {
                          auto& f = t;
                          f.make_device(1, kNor, kGood);
                          f.make_device(2, kNand, kGood);
                        },
                        "Incompatible flash types!\n"},
        // The first copy is never read past its only block: copy 1 is not tried.
        LoadFailureCase{"FirstCopyOnBadBlock",
                        [](EnvTest& t) {
                          auto& f = t;
                          f.make_device(1,
                                        "type=nand\nerasesize=131072\nwritesize=2048\n"
                                        "oobsize=64\nbad=0\n",
                                        kGood);
                          f.make_device(2, nullptr, kGood);
                        },
                        "Too few good blocks within range\n"},
        LoadFailureCase{"DeviceShorterThanCopy",
                        [](EnvTest& t) {
                          auto& f = t;
                          f.make_device(1, kNor, kGood);
                          f.make_device(2, kNor, std::string(0x20000, '\xFF'), 0x20000);
                        },
                        "Read error on /dev/mtd2: Input/output error\n"}),
    [](const auto& info) { return std::string(info.param.case_name); });

// ---------------------------------------------------------------------------
// Saving: target copy first, whole erase blocks, flag schemes.

struct CounterCase {
  const char* case_name;
  uint8_t counter;  // the current copy's counter
  int current;      // which copy is current
  uint8_t target_flag;
  uint8_t current_flag;
};

class EnvSaveCounterTest : public EnvTest, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(EnvSaveCounterTest, WritesTargetThenCurrentWithRaisedCounters) {
  const CounterCase& c = GetParam();
  const int current_dev = c.current + 1;
  const int target_dev = 2 - c.current;
  make_device(current_dev, kNand, copy_image(entries({"a=1", "b=2"}), c.counter));
  // A broken old copy, so that only the counters written now decide the reload.
  make_device(target_dev, kNand, copy_image(entries({"a=0"}), 0, false));
  const std::string beyond = std::string(kDeviceSize - kBlock, '\x5A');
  for (int n = 1; n <= 2; ++n) {
    std::string bytes = flash(n);
    bytes.replace(kBlock, beyond.size(), beyond);
    root_.write(device(n), bytes);
  }
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(store().current_copy(), c.current);
  sim().bad_block_queries.clear();

  ASSERT_EQ(bootenv::bootenv_assign(store(), "a", "9"), 0);
  EXPECT_EQ(err_.text(), "");
  // One query for the read-modify-write read, one before the erase.
  const std::string t0 = "/dev/mtd" + std::to_string(target_dev) + " 0";
  const std::string k0 = "/dev/mtd" + std::to_string(current_dev) + " 0";
  EXPECT_EQ(sim().bad_block_queries, (std::vector<std::string>{t0, t0, k0, k0}));

  const std::string t = "/dev/mtd" + std::to_string(target_dev);
  const std::string k = "/dev/mtd" + std::to_string(current_dev);
  EXPECT_EQ(flash_log(), "erase " + t + " 0x00000000 0x00080000\n" +  //
                             "write " + t + " 0x00000000 0x00080000\n" + "erase " + k +
                             " 0x00000000 0x00080000\n" + "write " + k +
                             " 0x00000000 0x00080000\n");
  const std::string expected_data = entries({"b=2", "a=9"});
  for (int n = 1; n <= 2; ++n) {
    const std::string bytes = flash(n);
    EXPECT_TRUE(crc_matches(bytes)) << n;
    EXPECT_EQ(bytes.substr(5, kDataSize), copy_image(expected_data, 0).substr(5)) << n;
    EXPECT_EQ(bytes.substr(kCopySize, kBlock - kCopySize), block_tail(n)) << n;
    EXPECT_EQ(bytes.substr(kBlock), beyond) << n;
  }
  EXPECT_EQ(static_cast<uint8_t>(flash(target_dev)[4]), c.target_flag);
  EXPECT_EQ(static_cast<uint8_t>(flash(current_dev)[4]), c.current_flag);
  EXPECT_EQ(store().flag(), c.current_flag);
  EXPECT_EQ(store().current_copy(), c.current);

  // The next run takes the copy that was current, with the new value.
  bootenv::EnvStore again(sim());
  ASSERT_EQ(bootenv::bootenv_load(again), 0);
  EXPECT_EQ(again.current_copy(), c.current);
  EXPECT_EQ(bootenv::bootenv_lookup(again, "a"), "9");
}

INSTANTIATE_TEST_SUITE_P(Counters, EnvSaveCounterTest,
                         ::testing::Values(CounterCase{"FirstCurrent", 7, 0, 8, 9},
                                           CounterCase{"SecondCurrent", 7, 1, 8, 9},
                                           CounterCase{"WrapsAt254", 254, 0, 255, 0},
                                           CounterCase{"WrapsAt255", 255, 1, 0, 1}),
                         [](const auto& info) { return std::string(info.param.case_name); });

TEST_F(EnvTest, EnvSaveNorMarksTheCurrentCopyObsolete) {
  // Given NOR flash, a save asks no bad-block query and ends with the target
  // active and the current copy obsolete.
  make_device(1, kNor, copy_image(entries({"a=1"}), 1));
  make_device(2, kNor, copy_image(entries({"a=0"}), 0));
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(store().current_copy(), 0);

  ASSERT_EQ(bootenv::bootenv_assign(store(), "a", "2"), 0);
  EXPECT_EQ(err_.text(), "");
  EXPECT_EQ(flash_log(),
            "erase /dev/mtd2 0x00000000 0x00080000\n"
            "write /dev/mtd2 0x00000000 0x00080000\n"
            "write /dev/mtd1 0x00000004 0x00000001\n"
            "erase /dev/mtd1 0x00000000 0x00080000\n"
            "write /dev/mtd1 0x00000000 0x00080000\n"
            "write /dev/mtd1 0x00000004 0x00000001\n");
  EXPECT_EQ(sim().bad_block_queries, std::vector<std::string>{});
  EXPECT_EQ(flash(1)[4], 0);
  EXPECT_EQ(flash(2)[4], 1);
  EXPECT_EQ(flash(1).substr(5, kDataSize), flash(2).substr(5, kDataSize));
  EXPECT_TRUE(crc_matches(flash(1)));
  EXPECT_TRUE(crc_matches(flash(2)));
  EXPECT_EQ(flash(1).substr(kCopySize, kBlock - kCopySize), block_tail(1));
  EXPECT_EQ(flash(2).substr(kCopySize, kBlock - kCopySize), block_tail(2));

  bootenv::EnvStore again(sim());
  ASSERT_EQ(bootenv::bootenv_load(again), 0);
  EXPECT_EQ(again.current_copy(), 1);
  EXPECT_EQ(bootenv::bootenv_lookup(again, "a"), "2");
}

TEST_F(EnvTest, EnvSaveDefaultEnvironmentReachesFlashWithTheFirstSet) {
  // Given no valid copy, setting bootdelay=3 stores the default entries with
  // bootdelay moved last, on both devices.
  make_device(1, kNand, copy_image("", 0, false));
  make_device(2, kNand, copy_image("", 0, false));
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(bootenv::bootenv_assign(store(), "bootdelay", "3"), 0);

  const std::string expected =
      entries({"bootcmd=bootp; setenv bootargs root=/dev/nfs nfsroot=${serverip}:${rootpath} "
               "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm",
               "baudrate=115200", "bootdelay=3"});
  for (int n = 1; n <= 2; ++n) {
    EXPECT_EQ(flash(n).substr(5, expected.size()), expected) << n;
    EXPECT_TRUE(crc_matches(flash(n))) << n;
  }
  EXPECT_EQ(lookup("bootdelay"), "3");
}

// ---------------------------------------------------------------------------
// Saving when one device fails.

struct TargetBadCase {
  const char* case_name;
  size_t device_size;
  const char* expected_err;
};

class EnvSaveTargetBadTest : public EnvTest, public ::testing::WithParamInterface<TargetBadCase> {};

TEST_P(EnvSaveTargetBadTest, StillWritesTheCurrentCopy) {
  // Given the only block of the target range gone bad after loading, the
  // target is not touched and the save's result is that of the current copy.
  const std::string old_target = copy_image(entries({"a=0"}), 6);
  make_device(1, kNand, copy_image(entries({"a=1"}), 7));
  make_device(2, kNand, old_target, GetParam().device_size);
  ASSERT_EQ(load(), 0);
  mark_bad(2, "0");

  ASSERT_EQ(bootenv::bootenv_assign(store(), "a", "2"), 0);
  EXPECT_EQ(err_.text(), GetParam().expected_err);
  EXPECT_EQ(flash_log(),
            "erase /dev/mtd1 0x00000000 0x00080000\n"
            "write /dev/mtd1 0x00000000 0x00080000\n");
  EXPECT_EQ(copy_on(2), old_target);
  // The current copy keeps the counter it won against the old target with.
  EXPECT_EQ(copy_on(1), copy_image(entries({"a=2"}), 7));
}

INSTANTIATE_TEST_SUITE_P(Devices, EnvSaveTargetBadTest,
                         ::testing::Values(TargetBadCase{"NextBlockOutsideRange", kDeviceSize,
                                                         "Too few good blocks within range\n"},
                                           // The query for the block behind the range is refused.
                                           TargetBadCase{
                                               "DeviceEndsWithTheRange", kBlock,
                                               "Cannot read bad block mark: Invalid argument\n"}),
                         [](const auto& info) { return std::string(info.param.case_name); });

TEST_F(EnvTest, EnvSaveCurrentFailureLeavesTheNewDataInTheTarget) {
  // Given a current copy that cannot be erased, the set fails but the target
  // holds the new data with a valid CRC and the higher counter.
  make_device(1, kNand, copy_image(entries({"a=1"}), 7));
  make_device(2, kNand, copy_image(entries({"a=0"}), 6));
  ASSERT_EQ(load(), 0);
  sim().fail("erase", "/dev/mtd1", 1, EIO);

  EXPECT_EQ(bootenv::bootenv_assign(store(), "a", "2"), -1);
  EXPECT_EQ(err_.text(),
            "MTD erase error on /dev/mtd1: Input/output error\n"
            "Error: can't write fw_env to flash\n");
  EXPECT_EQ(lookup("a"), "2") << "memory keeps the new value";
  EXPECT_EQ(copy_on(2), copy_image(entries({"a=2"}), 8));

  bootenv::EnvStore again(sim());
  ASSERT_EQ(bootenv::bootenv_load(again), 0);
  EXPECT_EQ(again.current_copy(), 1);
  EXPECT_EQ(bootenv::bootenv_lookup(again, "a"), "2");
}

TEST_F(EnvTest, EnvSaveNorTargetFailureKeepsTheCurrentCopyActive) {
  // Given NOR whose target cannot be erased, the old target copy stays valid
  // and obsolete; the rewritten current copy must stay active, or the next
  // load would take the old target.
  const std::string old_target = copy_image(entries({"a=0"}), 0);
  make_device(1, kNor, old_target);
  make_device(2, kNor, copy_image(entries({"a=1"}), 1));
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(store().current_copy(), 1);
  sim().fail("erase", "/dev/mtd1", 1, EIO);

  ASSERT_EQ(bootenv::bootenv_assign(store(), "a", "2"), 0);
  EXPECT_EQ(err_.text(), "MTD erase error on /dev/mtd1: Input/output error\n");
  EXPECT_EQ(copy_on(1), old_target);
  EXPECT_EQ(copy_on(2), copy_image(entries({"a=2"}), 1));

  bootenv::EnvStore again(sim());
  ASSERT_EQ(bootenv::bootenv_load(again), 0);
  EXPECT_EQ(bootenv::bootenv_lookup(again, "a"), "2");
}

TEST_F(EnvTest, EnvSaveTargetOpenFailureWritesNothing) {
  make_device(1, kNand, copy_image(entries({"a=1"}), 7));
  make_device(2, kNand, copy_image(entries({"a=0"}), 6));
  ASSERT_EQ(load(), 0);
  sim().fail("open", "/dev/mtd2", 1, EACCES);

  EXPECT_EQ(bootenv::bootenv_assign(store(), "a", "2"), -1);
  EXPECT_EQ(err_.text(),
            "Can't open /dev/mtd2: Permission denied\n"
            "Error: can't write fw_env to flash\n");
  EXPECT_EQ(flash_log(), "");
}

// ---------------------------------------------------------------------------
// Ranges of several erase blocks with bad NAND blocks, through a row of
// three 128 KiB blocks on a device of five.

struct BadBlockCase {
  const char* case_name;
  const char* bad;    // the geometry's bad list
  int64_t landing;    // where the data lands, or -1 when the range has no good block
  const char* error;  // message of a failure
};

class EnvBadBlockTest : public EnvTest, public ::testing::WithParamInterface<BadBlockCase> {
 protected:
  static constexpr uint32_t kSmallBlock = 0x20000;
  void SetUp() override {
    std::string geometry = "type=nand\nerasesize=131072\nwritesize=2048\noobsize=64\n";
    if (*GetParam().bad != '\0') geometry += std::string("bad=") + GetParam().bad + "\n";
    std::string bytes(5 * kSmallBlock, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i / kSmallBlock + 1);
    root_.write("dev/mtd3", bytes);
    root_.write("dev/mtd3.geometry", geometry);
    std::snprintf(row_.path, sizeof row_.path, "/dev/mtd3");
    row_.erase_block_size = kSmallBlock;
    row_.block_count = 3;
    fd_ = sim().open("/dev/mtd3", O_RDWR);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { sim().close(fd_); }

  bootenv::BootEnvDevice row_;
  int fd_ = -1;
};

TEST_P(EnvBadBlockTest, ReadSkipsBadBlocks) {
  const BadBlockCase& c = GetParam();
  std::vector<uint8_t> data(0x1000, 0xEE);
  const int64_t n = bootenv::mtd_read_skip_bad(sim(), row_, fd_, data.data(), data.size(), 0,
                                               platform::kMtdNandFlash);
  if (c.landing < 0) {
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err_.text(), c.error);
    return;
  }
  EXPECT_EQ(n, static_cast<int64_t>(data.size()));
  EXPECT_EQ(data,
            std::vector<uint8_t>(data.size(), static_cast<uint8_t>(c.landing / kSmallBlock + 1)));
}

TEST_P(EnvBadBlockTest, WriteSkipsBadBlocksAndKeepsTheRestOfTheBlock) {
  const BadBlockCase& c = GetParam();
  const std::string before = root_.read("dev/mtd3");
  std::vector<uint8_t> data(0x1000, 0xC3);
  const int64_t n = bootenv::mtd_write_skip_bad(sim(), row_, fd_, data.data(), data.size(), 0,
                                                platform::kMtdNandFlash);
  if (c.landing < 0) {
    EXPECT_LT(n, 0);
    EXPECT_EQ(err_.text(), c.error);
    EXPECT_EQ(root_.read("dev/mtd3"), before);
    EXPECT_EQ(flash_log(), "");
    return;
  }
  EXPECT_EQ(n, kSmallBlock);
  EXPECT_EQ(err_.text(), "");
  std::string expected = before;
  expected.replace(static_cast<size_t>(c.landing), data.size(), std::string(data.size(), '\xC3'));
  EXPECT_EQ(root_.read("dev/mtd3"), expected);
  char line[128];
  std::snprintf(line, sizeof line,
                "erase /dev/mtd3 0x%08x 0x00020000\nwrite /dev/mtd3 0x%08x 0x00020000\n",
                static_cast<unsigned>(c.landing), static_cast<unsigned>(c.landing));
  EXPECT_EQ(flash_log(), line);
}

INSTANTIATE_TEST_SUITE_P(Layouts, EnvBadBlockTest,
                         ::testing::Values(BadBlockCase{"NoneBad", "", 0, ""},
                                           BadBlockCase{"FirstBad", "0", 0x20000, ""},
                                           BadBlockCase{"FirstTwoBad", "0,1", 0x40000, ""},
                                           BadBlockCase{"LaterBadDoesNotMatter", "1,2", 0, ""},
                                           BadBlockCase{"WholeRangeBad", "0,1,2", -1,
                                                        "Too few good blocks within range\n"}),
                         [](const auto& info) { return std::string(info.param.case_name); });

// ---------------------------------------------------------------------------
// Lookup, printing, setting.

class EnvVarsTest : public EnvTest {
 protected:
  void load_data(const std::string& data, char pad = '\0') {
    make_device(1, kNand, copy_image(data, 1, true, pad));
    make_device(2, kNand, copy_image(data, 0, false));
    ASSERT_EQ(load(), 0);
    ASSERT_EQ(err_.text(), "");
  }
};

TEST_F(EnvVarsTest, LookupMatchesWholeNamesOnly) {
  load_data(entries(
      {"bootcmd=run x", "boot", "ip=a=b c", "Case=1", "dup=first", "dup=second", "empty="}));
  struct {
    const char* name;
    std::optional<std::string> value;
  } cases[] = {
      {"bootcmd", "run x"}, {"boot", std::nullopt}, {"bootcmdx", std::nullopt},
      {"ip", "a=b c"},      {"case", std::nullopt}, {"Case", "1"},
      {"dup", "first"},     {"empty", ""},          {"missing", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(lookup(c.name), c.value) << c.name;
  EXPECT_EQ(err_.text(), "");
}

TEST_F(EnvVarsTest, PrintWritesEveryEntryInOrder) {
  load_data(entries({"b=2", "a=1 = x", "c="}));
  EXPECT_EQ(bootenv::hs_printenv(store()), 0);
  EXPECT_EQ(out_.text(), "b=2\na=1 = x\nc=\n");
  EXPECT_EQ(err_.text(), "");
}

// Lists that run to the end of the data area, with an entry that ends nowhere
// or exactly at the last byte (no room for the end-of-list NUL).
struct UnterminatedCase {
  const char* case_name;
  char pad;
  bool last_byte_nul;
};

class EnvUnterminatedTest : public EnvVarsTest,
                            public ::testing::WithParamInterface<UnterminatedCase> {
 protected:
  void SetUp() override {
    std::string data = "a=1";
    data += '\0';
    data += "b=2";
    data += '\0';
    data.resize(kDataSize, GetParam().pad);
    if (GetParam().last_byte_nul) data.back() = '\0';
    load_data(data);
  }
};

TEST_P(EnvUnterminatedTest, EveryOperationReportsIt) {
  const std::string message = "## Error: environment not terminated\n";
  EXPECT_EQ(lookup("zzz"), std::nullopt);
  EXPECT_EQ(err_.text(), message);
  EXPECT_EQ(lookup("b"), "2") << "entries before the broken one are found";

  err_.clear();
  EXPECT_EQ(bootenv::hs_printenv(store()), -1);
  std::string printed = "a=1\nb=2\n";
  // An entry ending at the last byte is whole; the one behind it is not.
  if (GetParam().last_byte_nul) printed += std::string(kDataSize - 9, 'x') + "\n";
  EXPECT_TRUE(out_.text() == printed);
  EXPECT_EQ(err_.text(), message);

  err_.clear();
  const std::vector<uint8_t> before = store().buffer();
  errno = 0;
  EXPECT_EQ(bootenv::bootenv_assign(store(), "a", "5"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(err_.text(), message);
  EXPECT_EQ(store().buffer(), before);
  EXPECT_EQ(flash_log(), "");
}

INSTANTIATE_TEST_SUITE_P(Lists, EnvUnterminatedTest,
                         ::testing::Values(UnterminatedCase{"NoNulToTheEnd", 'x', false},
                                           UnterminatedCase{"NulAtTheLastByte", 'x', true}),
                         [](const auto& info) { return std::string(info.param.case_name); });

struct SetCase {
  const char* case_name;
  std::string before;
  const char* name;
  const char* value;
  std::string after;      // the start of the data area afterwards
  const char* looked_up;  // what a lookup of the name then gives
};

class EnvSetTest : public EnvVarsTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(EnvSetTest, StoresTheEntryLastOnBothCopies) {
  const SetCase& c = GetParam();
  // Leftovers behind the list keep their bytes and are part of the CRC.
  load_data(c.before, '\x7E');
  ASSERT_EQ(bootenv::bootenv_assign(store(), c.name, c.value), 0);
  EXPECT_EQ(err_.text(), "");
  EXPECT_EQ(lookup(c.name), c.looked_up);

  std::string expected = copy_image(c.before, 0, true, '\x7E').substr(5);
  expected.replace(0, c.after.size(), c.after);
  for (int n = 1; n <= 2; ++n) {
    EXPECT_EQ(flash(n).substr(5, kDataSize), expected) << n;
    EXPECT_TRUE(crc_matches(flash(n))) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, EnvSetTest,
    ::testing::Values(SetCase{"IntoEmpty", entries({}), "a", "1", entries({"a=1"}), "1"},
                      SetCase{"New", entries({"a=1"}), "b", "2", entries({"a=1", "b=2"}), "2"},
                      SetCase{"ReplaceFirst", entries({"a=1", "bb=2", "c=3"}), "a", "9",
                              entries({"bb=2", "c=3", "a=9"}), "9"},
                      // The shorter entry leaves the old end-of-list NUL behind the new one.
                      SetCase{"ReplaceMiddle", entries({"a=1", "bb=22", "c=3"}), "bb", "4",
                              entries({"a=1", "c=3", "bb=4"}) + '\0', "4"},
                      SetCase{"ReplaceLast", entries({"a=1", "b=2"}), "b", "33",
                              entries({"a=1", "b=33"}), "33"},
                      SetCase{"OnlyFirstDuplicate", entries({"d=1", "d=2"}), "d", "3",
                              entries({"d=2", "d=3"}), "2"},
                      SetCase{"EmptyValue", entries({"a=1"}), "a", "", entries({"a="}) + '\0', ""},
                      SetCase{"ValueWithEqualsAndBlanks", entries({}), "ip", "x = y=z",
                              entries({"ip=x = y=z"}), "x = y=z"}),
    [](const auto& info) { return std::string(info.param.case_name); });

// A list whose end-of-list NUL, once "old=1" is deleted, lies 26 bytes before
// the end of the data area.
std::string nearly_full() { return entries({"big=" + std::string(kDataSize - 31, 'v'), "old=1"}); }

TEST_F(EnvVarsTest, SetFitsExactlyTheFreeBytes) {
  load_data(nearly_full());
  const std::string value(26 - 6, 'w');  // "old", '=', NUL, end-of-list NUL
  ASSERT_EQ(bootenv::bootenv_assign(store(), "old", value.c_str()), 0);
  EXPECT_EQ(err_.text(), "");
  EXPECT_EQ(flash(1).substr(5 + kDataSize - 26, 26), "old=" + value + '\0' + '\0');
  EXPECT_TRUE(crc_matches(flash(1)));
}

TEST_F(EnvVarsTest, SetOneByteTooLongKeepsTheOldEntry) {
  load_data(nearly_full());
  const std::string before = flash(1);
  const std::string value(26 - 6 + 1, 'w');

  EXPECT_EQ(bootenv::bootenv_assign(store(), "old", value.c_str()), -1);
  EXPECT_EQ(err_.text(), "Error: environment overflow, \"old\" not set\n");
  EXPECT_EQ(lookup("old"), "1");
  EXPECT_EQ(flash_log(), "");
  EXPECT_EQ(flash(1), before);

  // The next successful set still writes it.
  err_.clear();
  ASSERT_EQ(bootenv::bootenv_assign(store(), "n", ""), 0);
  bootenv::EnvStore again(sim());
  ASSERT_EQ(bootenv::bootenv_load(again), 0);
  EXPECT_EQ(bootenv::bootenv_lookup(again, "old"), "1");
  EXPECT_EQ(bootenv::bootenv_lookup(again, "n"), "");
}

TEST_F(EnvVarsTest, SetOfSeveralIsOneSaveOrNothing) {
  load_data(entries({"bootargs=a", "bootcmd=b"}));
  const bootenv::Assignment both[] = {{"bootargs", "x"}, {"bootcmd", "y"}};
  ASSERT_EQ(bootenv::bootenv_assign_all(store(), both), 0);
  EXPECT_EQ(lookup("bootargs"), "x");
  EXPECT_EQ(lookup("bootcmd"), "y");
  // One save: one erase and one write on each device.
  EXPECT_EQ(flash_log(),
            "erase /dev/mtd2 0x00000000 0x00080000\nwrite /dev/mtd2 0x00000000 0x00080000\n"
            "erase /dev/mtd1 0x00000000 0x00080000\nwrite /dev/mtd1 0x00000000 0x00080000\n");

  // The second does not fit: the first is taken back and nothing is written.
  const std::string huge(kDataSize, 'h');
  const bootenv::Assignment second_too_big[] = {{"bootargs", "z"}, {"bootcmd", huge.c_str()}};
  const std::string log = flash_log();
  EXPECT_EQ(bootenv::bootenv_assign_all(store(), second_too_big), -1);
  EXPECT_EQ(lookup("bootargs"), "x");
  EXPECT_EQ(lookup("bootcmd"), "y");
  EXPECT_EQ(flash_log(), log);
}

}  // namespace
