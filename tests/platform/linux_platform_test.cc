// The real backend on temporary files: these tests make real system calls,
// so everything happens in a fresh directory.
#include "platform/linux/linux_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/support/sim_camera.h"

namespace {

class LinuxPlatformTest : public ::testing::Test {
 protected:
  testing_support::TempDir dir_;
  platform::StringStream out_;
  platform::StringStream err_;
  platform::LinuxPlatform linux_{out_, err_};
};

TEST_F(LinuxPlatformTest, FileCallsKeepPositionAndErrno) {
  std::string path = dir_.file("data");
  platform::FileHandle file(linux_, linux_.open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(linux_.write(file.get(), "abcdef", 6), 6);
  EXPECT_EQ(linux_.pwrite(file.get(), "XY", 2, 1), 2);
  EXPECT_EQ(linux_.lseek(file.get(), 0, SEEK_CUR), 6);  // pwrite leaves the position
  char buffer[8] = {};
  EXPECT_EQ(linux_.pread(file.get(), buffer, sizeof buffer, 0), 6);
  EXPECT_STREQ(buffer, "aXYdef");
  platform::FileStatus status;
  ASSERT_EQ(linux_.fstat(file.get(), &status), 0);
  EXPECT_EQ(status.size, 6u);

  EXPECT_EQ(linux_.open(dir_.file("missing").c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  platform::print_error(err_, "open output imager");
  EXPECT_EQ(err_.text(), "open output imager: No such file or directory\n");
}

// The kernel answers an MTD request on a plain file with ENOTTY; qemu user mode
// cannot translate MTD requests and answers ENOSYS before the kernel sees them.
#ifdef UPDATE_TEST_EMULATOR
constexpr int kNotAnMtdDevice = ENOSYS;
#else
constexpr int kNotAnMtdDevice = ENOTTY;
#endif

TEST_F(LinuxPlatformTest, DeviceRequestsOnAPlainFileAreNotSupported) {
  std::string path = dir_.file("plain");
  dir_.write("plain", std::string(4096, '\xff'));
  platform::FileHandle file(linux_, linux_.open(path.c_str(), O_RDWR, 0));
  ASSERT_TRUE(file.valid());
  platform::MtdInfo info;
  EXPECT_EQ(linux_.mtd_get_info(file.get(), &info), -1);
  EXPECT_EQ(errno, kNotAnMtdDevice);
  EXPECT_EQ(linux_.mtd_get_bad_block(file.get(), 0), -1);
  EXPECT_EQ(errno, kNotAnMtdDevice);
  EXPECT_EQ(linux_.mtd_erase(file.get(), {0, 4096}), -1);
  EXPECT_EQ(errno, kNotAnMtdDevice);
  EXPECT_EQ(linux_.i2c_set_slave(file.get(), 0xA0), -1);
  uint8_t byte = 0;
  // Not an I2C bus: the camera driver's read path reads the file's byte.
  EXPECT_EQ(linux_.i2c_read_byte(file.get(), 0, &byte), 1);
  EXPECT_EQ(byte, 0xFF);
  EXPECT_EQ(dir_.read("plain"), std::string(4096, '\xff'));  // nothing erased
}

TEST_F(LinuxPlatformTest, ShellStatusAndPipeOutput) {
  EXPECT_EQ(linux_.run_shell("exit 3"), 3);
  EXPECT_EQ(linux_.run_shell("true"), 0);
  std::string output;
  ASSERT_EQ(linux_.run_pipe("printf 'mtd1: x\\nmtd2: y\\n' | grep mtd2", &output), 0);
  EXPECT_EQ(output, "mtd2: y\n");
}

}  // namespace
