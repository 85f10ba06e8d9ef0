// The compatibility gate: each rule's refusal, code and text, on cameras
// that differ in environment, identity chip and /tmp files.
#include "update/compat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bootenv/bootenv.h"
#include "image/image.h"
#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"

namespace {

using testing_support::make_camera;
using testing_support::TempDir;

constexpr uint32_t version(int family, int major, int minor, int build) {
  return static_cast<uint32_t>(family) << 24 | static_cast<uint32_t>(major) << 16 |
         static_cast<uint32_t>(minor) << 8 | static_cast<uint32_t>(build);
}
constexpr uint32_t date(int year, int month, int day) {
  return static_cast<uint32_t>(year) << 16 | static_cast<uint32_t>(month) << 8 |
         static_cast<uint32_t>(day);
}

// An image whose "fs" entry carries `v` and `d`, at /img.bin on the camera.
void write_image(const TempDir& root, uint32_t v, uint32_t d = 0) {
  image::ImageEntry entries[image::kEntryCount] = {};
  std::snprintf(entries[image::kEntryFs].name, sizeof entries[0].name, "fs");
  entries[image::kEntryFs].version = v;
  entries[image::kEntryFs].date = d;
  uint8_t raw[image::kHeaderSize];
  image::encode_header(entries, raw);
  root.write("img.bin", std::string(reinterpret_cast<char*>(raw), sizeof raw));
}

// The default chip information with some characters replaced.
std::string chip(std::vector<std::pair<int, char>> changes) {
  std::string text = "VTC29H6301SA100E0110N00040000000";
  for (auto [position, character] : changes) text[static_cast<size_t>(position)] = character;
  return text;
}

struct GateCase {
  const char* case_name;
  std::vector<std::string> camera;
  uint32_t version;
  uint32_t date;
  int code;
  const char* message;
};

// Where nothing else is said the camera has an internal codec, so the
// external-codec rule stays out of the way of versions below 6.0.57.
const std::vector<std::string> kInternalCodec = {"--codec", "codec_internal"};

std::vector<std::string> with(std::vector<std::string> options,
                              const std::vector<std::string>& more = kInternalCodec) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

class GateTest : public ::testing::TestWithParam<GateCase> {
 protected:
  int run_gate(const GateCase& c) {
    make_camera(root_, c.camera);
    write_image(root_, c.version, c.date);

    platform::sim::SimPlatform sim(root_.path(), out_, err_);
    bootenv::EnvStore env(sim);
    bootenv::bootenv_load(env);
    return update::check_compatibility(sim, env, "/img.bin", message_);
  }

  TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  char message_[256] = {};
};

TEST_P(GateTest, JudgesTheImage) {
  const GateCase& c = GetParam();
  EXPECT_EQ(run_gate(c), c.code);
  EXPECT_STREQ(message_, c.message);
  if (c.code != 0) {
    // The refusal also goes out perror-style.
    EXPECT_EQ(err_.text().rfind(std::string(c.message) + ": ", 0), 0u) << err_.text();
  }
}

const char kNewFlash[] = "flashtype=MX35LF1G24AD";

INSTANTIATE_TEST_SUITE_P(
    Rules, GateTest,
    ::testing::Values(
        GateCase{"Compatible", kInternalCodec, version(40, 7, 0, 80), date(2022, 3, 4), 0, ""},
        GateCase{"NewFlashOldDate", with({"--set", kNewFlash}), version(40, 7, 0, 77),
                 date(2021, 3, 31), -15,
                 "new flash, date[2021, 3, 31], version must >= XX.7.0.77-r7"},
        GateCase{"NewFlashNewDate", with({"--set", kNewFlash}), version(40, 7, 0, 77),
                 date(2021, 4, 1), 0, ""},
        GateCase{"NewFlashMinorNotCompared", with({"--set", kNewFlash}), version(40, 7, 9, 76),
                 date(2023, 1, 1), -15,
                 "new flash, date[2023, 1, 1], version must >= XX.7.0.77-r7"},
        GateCase{"NewFlashNewMajor", with({"--set", kNewFlash}), version(40, 8, 0, 1),
                 date(2019, 1, 1), 0, ""},
        GateCase{"OtherFlashType", with({"--set", "flashtype=mx35lf1g24ad"}),
                 version(40, 7, 0, 1), date(2019, 1, 1), 0, ""},
        GateCase{"ForeignFamily", kInternalCodec, version(41, 7, 0, 80), date(2022, 3, 4), -15,
                 "CPU not match firmware, update exit.\n"},
        GateCase{"FamilyOfTheSecondSlot",
                 with({"--set", "fs1=name:fs1\\tver:0x1e070050\\tsize:1\\tdate:0x0 "}),
                 version(40, 7, 0, 80), date(2022, 3, 4), 0, ""},
        GateCase{"NoRecordsOnlyFamilyZero", with({"--unset", "fs1", "--unset", "fs2"}),
                 version(40, 7, 0, 80), date(2022, 3, 4), -15,
                 "CPU not match firmware, update exit.\n"},
        GateCase{"SilentChipOldFirmware", with({"--silent-eeprom"}), version(40, 7, 0, 62),
                 date(2022, 3, 4), -16, "Can't find dm2016, version must >= XX.7.0.63.\n"},
        GateCase{"SilentChipNewFirmware", with({"--silent-eeprom"}), version(40, 7, 0, 63),
                 date(2022, 3, 4), 0, ""},
        GateCase{"NewLens", with({"--chipinfo", chip({{16, 'd'}})}), version(40, 7, 0, 72),
                 date(2022, 3, 4), -16,
                 "new lens(2.7~13.5mm) can not support version < XX.7.0.73\n"},
        GateCase{"CodecFileMissing", {}, version(40, 6, 0, 56), date(2022, 3, 4), -16,
                 "external codec 8822  version must >= 6.0.57\n"},
        GateCase{"CodecWithNewline", {"--codec", "codec_external_8822\\n"}, version(40, 6, 0, 56),
                 date(2022, 3, 4), 0, ""},
        GateCase{"SensorImx327", with({"--sensor", "imx327\\n"}), version(40, 7, 0, 64),
                 date(2022, 3, 4), -16, "imx327 Sensor version must >= 7.0.65\n"},
        GateCase{"SensorWithoutNewlineIsImx326", with({"--sensor", "imx327"}),
                 version(40, 6, 0, 54), date(2022, 3, 4), -16,
                 "imx326 Sensor version must >= 6.0.55\n"},
        GateCase{"SensorNewlineOnlyIsImx124", with({"--sensor", "\\n"}), version(40, 6, 0, 51),
                 date(2022, 3, 4), -16, "imx124/imx291-e Sensor version must >= 6.0.52\n"},
        GateCase{"SensorLvds", with({"--sensor", "imx385_lvds\\n"}), version(40, 7, 0, 65),
                 date(2022, 3, 4), -16, "imx385_lvds Sensor version must >= 7.0.66\n"},
        GateCase{"SensorUnknown", with({"--sensor", "imx385\\n"}), version(40, 6, 0, 57),
                 date(2022, 3, 4), 0, ""},
        GateCase{"OldSpeedDomeTooNew", with({"--chipinfo", chip({{16, '4'}})}),
                 version(40, 7, 0, 71), date(2022, 3, 4), -16,
                 "old speedDome version must <= 7.0.70\n"},
        GateCase{"OldSpeedDomeTooOld", with({"--chipinfo", chip({{16, '4'}})}),
                 version(40, 6, 0, 52), date(2022, 3, 4), -16,
                 "spdDome and bullet version must >= 6.0.53\n"},
        GateCase{"PtzBulletNewLens", with({"--chipinfo", chip({{6, '6'}, {7, '1'}, {21, '3'}})}),
                 version(40, 6, 0, 55), date(2022, 3, 4), -16,
                 "ptz_bullet new lens_pi_ctl must >= 6.0.56\n"},
        GateCase{"NewSpeedDomeS", with({"--chipinfo", chip({{16, 'S'}, {13, '1'}})}),
                 version(40, 7, 0, 58), date(2022, 3, 4), -16, "newspeed version must >= 7.0.59\n"},
        GateCase{"NewSpeedDomeR", with({"--chipinfo", chip({{6, '5'}, {16, 'R'}})}),
                 version(40, 7, 0, 61), date(2022, 3, 4), -16, "newspeed version must >= 7.0.62\n"},
        GateCase{"MiniAfDome", with({"--chipinfo", chip({{6, '7'}, {7, '5'}})}),
                 version(40, 7, 0, 64), date(2022, 3, 4), -16,
                 "mini af dome version must >= 7.0.65\n"},
        GateCase{"AfLensVersion75", with({"--chipinfo", chip({{16, 'S'}, {13, '1'}})}),
                 version(40, 7, 0, 75), date(2022, 3, 4), -16,
                 "AF lens(12X/23X/30X/36X/42X) can not use version 75\n"},
        GateCase{"AfLensVersion76", with({"--chipinfo", chip({{16, 'W'}})}),
                 version(40, 7, 0, 76), date(2022, 3, 4), 0, ""}),
    [](const auto& info) { return std::string(info.param.case_name); });

class GateImageTest : public ::testing::Test {
 protected:
  TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  char message_[256] = {};
};

TEST_F(GateImageTest, UnreadableImagesAreRefused) {
  make_camera(root_);
  root_.write("short.bin", std::string(2047, '\0'));
  platform::sim::SimPlatform sim(root_.path(), out_, err_);
  bootenv::EnvStore env(sim);
  bootenv::bootenv_load(env);
  EXPECT_EQ(update::check_compatibility(sim, env, "/missing.bin", message_), -1);
  EXPECT_STREQ(message_, "open output imager!\n");
  EXPECT_EQ(update::check_compatibility(sim, env, "/short.bin", message_), -1);
  EXPECT_STREQ(message_, "read output imager\n");
  EXPECT_EQ(out_.text(), "");
}

TEST_F(GateImageTest, ChipInformationIsReadOnceAndKept) {
  // No "chipinfo" yet: the EEPROM's string is stored for later runs.
  make_camera(root_, with({"--chipinfo", chip({{16, '4'}})}));
  write_image(root_, version(40, 7, 0, 70));
  {
    platform::sim::SimPlatform sim(root_.path(), out_, err_);
    bootenv::EnvStore env(sim);
    bootenv::bootenv_load(env);
    EXPECT_EQ(update::check_compatibility(sim, env, "/img.bin", message_), 0);
  }
  EXPECT_EQ(out_.text(), "version = 40.7.0.70\n");
  EXPECT_NE(testing_support::printed_environment(root_).find("chipinfo=" + chip({{16, '4'}}) + "\n"),
            std::string::npos);

  // Later runs take it from the environment, even with the chip gone.
  std::remove(root_.file("dev/i2c-2").c_str());
  write_image(root_, version(40, 7, 0, 71));
  platform::sim::SimPlatform sim(root_.path(), out_, err_);
  bootenv::EnvStore env(sim);
  bootenv::bootenv_load(env);
  EXPECT_EQ(update::check_compatibility(sim, env, "/img.bin", message_), -16);
  EXPECT_STREQ(message_, "old speedDome version must <= 7.0.70\n");
}

TEST_F(GateImageTest, MissingBusGivesTheDefaultChipInformation) {
  make_camera(root_, with({"--no-eeprom"}));
  write_image(root_, version(40, 7, 0, 80));
  platform::sim::SimPlatform sim(root_.path(), out_, err_);
  bootenv::EnvStore env(sim);
  bootenv::bootenv_load(env);
  EXPECT_EQ(update::check_compatibility(sim, env, "/img.bin", message_), 0);
  EXPECT_EQ(out_.text(),
            "version = 40.7.0.80\n"
            "Unable to open i2c bus 2!!!\n"      // the probe
            "Unable to open i2c bus 2!!!\n"      // the chip information read
            "dm2016 read addr 0x0 error. \n");
  EXPECT_EQ(testing_support::printed_environment(root_).find("chipinfo="), std::string::npos);
}

}  // namespace
