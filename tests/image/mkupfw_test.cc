#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "image/crc32.h"
#include "tests/support/sim_camera.h"

namespace {

using testing_support::run_program;
using testing_support::TempDir;

uint32_t le32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

struct Entry {
  uint32_t offset, size, version, addr, flag, date;
  std::string name;  // up to the first zero of the field
  uint32_t crc;
};

Entry entry_at(const std::string& image, int k) {
  size_t at = static_cast<size_t>(k) * 80;
  std::string field = image.substr(at + 24, 52);
  return {le32(image, at),
          le32(image, at + 4),
          le32(image, at + 8),
          le32(image, at + 12),
          le32(image, at + 16),
          le32(image, at + 20),
          field.substr(0, field.find('\0')),
          le32(image, at + 76)};
}

testing_support::ProgramResult mkupfw(const TempDir& dir, const std::vector<std::string>& args) {
  return run_program(MKUPFW_BINARY, args, "", dir.path());
}

TEST(MkupfwTest, PacksPaddedPayloadsInIndexOrder) {
  TempDir dir;
  const std::string ker(3000, 'k');  // padded to 4096
  const std::string fs(2048, 's');   // already aligned: no padding
  const std::string cmd =
      "\x7f"
      "ELF";  // padded to 2048
  dir.write("ker", ker);
  dir.write("fs", fs);
  dir.write("cmd", cmd);

  auto result = mkupfw(dir, {"-o", "out.bin", "--entry", "3:cmd:0.1.0.2:cmd:2022/3/4:0:1", "-e",
                             "1:ker:4.2.2.10:ker:2022/3/4:0x80008000", "-e",
                             "2:fs:40.7.0.80:fs:2022/3/4:0:1", "-e", "6:tool:0.0.1.0"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::string image = dir.read("out.bin");
  ASSERT_EQ(image.size(), 2048u + 4096 + 2048 + 2048);

  const struct {
    int index;
    const char* name;
    uint32_t offset, size, version, addr, flag;
    std::string payload;
  } expected[] = {
      {1, "ker", 2048, 4096, 0x0402020A, 0x80008000, 0, ker},
      {2, "fs", 6144, 2048, 0x28070050, 0, 1, fs},
      {3, "cmd", 8192, 2048, 0x00010002, 0, 1, cmd},
  };
  for (const auto& want : expected) {
    SCOPED_TRACE(want.name);
    Entry e = entry_at(image, want.index);
    EXPECT_EQ(e.name, want.name);
    EXPECT_EQ(e.offset, want.offset);
    EXPECT_EQ(e.size, want.size);
    EXPECT_EQ(e.version, want.version);
    EXPECT_EQ(e.addr, want.addr);
    EXPECT_EQ(e.flag, want.flag);
    EXPECT_EQ(e.date, 0x07E60304u);
    std::string stored = image.substr(e.offset, e.size);
    std::string padded = want.payload + std::string(e.size - want.payload.size(), '\xFF');
    EXPECT_EQ(stored, padded);
    EXPECT_EQ(e.crc, image::crc32(0, padded.data(), padded.size()));
  }

  Entry tool = entry_at(image, 6);
  EXPECT_EQ(tool.name, "tool");
  EXPECT_EQ(tool.version, 0x00000100u);
  EXPECT_EQ(tool.offset | tool.size | tool.addr | tool.flag | tool.date | tool.crc, 0u);
  // The name field is zero past the name, unused entries and the reserved
  // area are zero throughout.
  EXPECT_EQ(image.substr(6 * 80 + 24 + 4, 48), std::string(48, '\0'));
  for (int unused : {0, 4, 5}) EXPECT_EQ(image.substr(unused * 80, 80), std::string(80, '\0'));
  EXPECT_EQ(image.substr(560, 1488), std::string(1488, '\0'));
}

TEST(MkupfwTest, WithoutEntriesWritesAZeroHeader) {
  TempDir dir;
  auto result = mkupfw(dir, {"-o", "out.bin"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(dir.read("out.bin"), std::string(2048, '\0'));
}

TEST(MkupfwTest, HelpDescribesTheEntrySyntax) {
  TempDir dir;
  auto result = mkupfw(dir, {"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("INDEX:NAME:VERSION[:FILE[:DATE[:ADDR[:FLAG]]]]"), std::string::npos);
  EXPECT_EQ(result.err, "");
}

TEST(MkupfwTest, RejectsBadInputWithoutWritingAnImage) {
  const struct {
    const char* label;
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {"no output", {"-e", "1:ker:1.2.3.4"}, "no output file given"},
      {"option without argument", {"-o"}, "needs an argument"},
      {"unknown option", {"-o", "out.bin", "--frobnicate"}, "unknown option --frobnicate"},
      {"stray argument", {"-o", "out.bin", "payload"}, "unexpected argument"},
      {"index out of range", {"-o", "out.bin", "-e", "7:x:1.2.3.4"}, "INDEX must be 0 to 6"},
      {"index twice", {"-o", "out.bin", "-e", "1:a:1.2.3.4", "-e", "1:b:1.2.3.4"}, "given twice"},
      {"too few fields", {"-o", "out.bin", "-e", "1:ker"}, "expected INDEX:NAME:VERSION"},
      {"empty name", {"-o", "out.bin", "-e", "1::1.2.3.4"}, "NAME must have"},
      {"name of 52",
       {"-o", "out.bin", "-e", "1:" + std::string(52, 'n') + ":1.2.3.4"},
       "NAME must have"},
      {"version byte 256", {"-o", "out.bin", "-e", "1:ker:1.2.3.256"}, "VERSION must be"},
      {"version of three", {"-o", "out.bin", "-e", "1:ker:1.2.3"}, "VERSION must be"},
      {"month 13", {"-o", "out.bin", "-e", "1:ker:1.2.3.4:p:2022/13/1"}, "DATE must be"},
      {"negative addr", {"-o", "out.bin", "-e", "1:ker:1.2.3.4:p:2022/3/4:-1"}, "ADDR must be"},
      {"flag past 32 bits",
       {"-o", "out.bin", "-e", "1:ker:1.2.3.4:p:2022/3/4:0:0x100000000"},
       "FLAG must be"},
      {"date without file", {"-o", "out.bin", "-e", "1:ker:1.2.3.4::2022/3/4"}, "need a FILE"},
      {"missing file", {"-o", "out.bin", "-e", "1:ker:1.2.3.4:absent"}, "cannot read \"absent\""},
      {"empty file", {"-o", "out.bin", "-e", "1:ker:1.2.3.4:empty"}, "\"empty\" is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    dir.write("p", "payload");
    dir.write("empty", "");
    auto result = mkupfw(dir, c.args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("mkupfw: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_FALSE(dir.exists("out.bin"));
  }
}

}  // namespace
