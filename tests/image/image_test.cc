// Header listing, verification and unpacking of upgrade images, on a
// simulated camera. Images are assembled byte by byte here, independently of
// the decoder under test.
#include "image/image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image/crc32.h"
#include "platform/sim/sim_platform.h"
#include "tests/support/sim_camera.h"

namespace {

using testing_support::TempDir;

struct Field {
  int index;
  std::string name;  // copied into the 52-byte field, as many bytes as given
  uint32_t offset = 0;
  uint32_t size = 0;
  uint32_t version = 0;
  uint32_t addr = 0;
  uint32_t flag = 0;
  uint32_t date = 0;
  uint32_t crc = 0;
};

void put_le32(std::string& bytes, size_t at, uint32_t value) {
  for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k) & 0xFF);
}

std::string header_with(const std::vector<Field>& fields) {
  std::string header(image::kHeaderSize, '\0');
  for (const Field& f : fields) {
    size_t at = static_cast<size_t>(f.index) * 80;
    put_le32(header, at, f.offset);
    put_le32(header, at + 4, f.size);
    put_le32(header, at + 8, f.version);
    put_le32(header, at + 12, f.addr);
    put_le32(header, at + 16, f.flag);
    put_le32(header, at + 20, f.date);
    header.replace(at + 24, f.name.size(), f.name);
    put_le32(header, at + 76, f.crc);
  }
  return header;
}

uint32_t crc_of(const std::string& bytes) { return image::crc32(0, bytes.data(), bytes.size()); }

constexpr uint32_t kDate = 0x07E60304;  // 2022/3/4

// The smallest real image: one "fs" entry with a block of padding as payload.
std::string example_image() {
  const std::string payload(2048, '\xFF');
  return header_with({{2, "fs", 0x800, 0x800, 0x28070050, 0, 1, kDate, 0x3F55D17F}}) + payload;
}

// Records the size of every read, to see how payloads are streamed.
class RecordingSim : public platform::sim::SimPlatform {
 public:
  using SimPlatform::SimPlatform;
  ssize_t read(int fd, void* buf, size_t count) override {
    reads.push_back(count);
    return SimPlatform::read(fd, buf, count);
  }
  std::vector<size_t> reads;
};

class ImageFixture : public testing::Test {
 protected:
  // Stored as /img.bin on the camera; returns that path.
  const char* put_image(const std::string& bytes) {
    root_.write("img.bin", bytes);
    return "/img.bin";
  }

  TempDir root_;
  platform::StringStream out_;
  platform::StringStream err_;
  RecordingSim sim_{root_.path(), out_, err_};
};

// --- reading the header -----------------------------------------------------

using ImageHeaderTest = ImageFixture;

// Every operation that opens an image fails the same way before looking at it.
TEST_F(ImageHeaderTest, FailuresBeforeTheHeaderIsRead) {
  const struct {
    const char* label;
    std::function<int(platform::Platform&, const char*)> run;
    bool names_image;  // the unpacker announces the image first
  } operations[] = {
      {"header",
       [](platform::Platform& p, const char* path) {
         uint8_t buffer[image::kHeaderSize];
         return image::image_get_header_info(p, path, buffer);
       },
       false},
      {"list", image::image_list_info, false},
      {"verify", image::image_verify, false},
      {"analysis",
       [](platform::Platform& p, const char* path) { return image::image_analysis(p, path, 0); },
       true},
  };
  const struct {
    const char* label;
    const char* path;
    const char* err;
  } cases[] = {
      {"null path", nullptr, "Please input datafile\n"},
      {"empty path", "", "Please input datafile\n"},
      {"missing file", "/absent.bin", "open output imager: No such file or directory\n"},
      {"one byte short", "/short.bin", "Bad size: \"/short.bin\" is no valid image\n"},
  };
  root_.write("short.bin", std::string(2047, '\0'));
  for (const auto& op : operations) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(op.label) + ", " + c.label);
      out_.clear();
      err_.clear();
      EXPECT_EQ(op.run(sim_, c.path), -1);
      EXPECT_EQ(err_.text(), c.err);
      bool announced = op.names_image && c.path != nullptr && c.path[0] != '\0';
      EXPECT_EQ(out_.text(), announced ? "==============name " + std::string(c.path) + "=\n" : "");
    }
  }
  EXPECT_FALSE(root_.exists("dev/shm/update"));
}

TEST_F(ImageHeaderTest, DecodesEveryFieldLittleEndian) {
  const char* path = put_image(header_with({{5, "bld3", 0x11223344, 0x55667788, 0x04020424,
                                             0x80008000, 0xA5A5A5A5, kDate, 0xCAFEF00D}}));
  image::ImageHeader header;
  ASSERT_EQ(image::image_get_header_info(sim_, path, &header), 0);
  const image::ImageEntry& e = header.entries[image::kEntryBld3];
  EXPECT_EQ(e.offset, 0x11223344u);
  EXPECT_EQ(e.size, 0x55667788u);
  EXPECT_EQ(e.version, 0x04020424u);
  EXPECT_EQ(e.addr, 0x80008000u);
  EXPECT_EQ(e.flag, 0xA5A5A5A5u);
  EXPECT_EQ(e.date, kDate);
  EXPECT_STREQ(e.name, "bld3");
  EXPECT_EQ(e.crc32, 0xCAFEF00Du);
  EXPECT_TRUE(e.named());
  EXPECT_TRUE(e.has_payload());
  EXPECT_FALSE(header.entries[image::kEntryBld].named());
  EXPECT_EQ(std::memcmp(header.raw, root_.read("img.bin").data(), image::kHeaderSize), 0);
  EXPECT_EQ(err_.text(), "");
}

// --- listing ----------------------------------------------------------------

using ImageListTest = ImageFixture;

TEST_F(ImageListTest, ListsTheExampleImage) {
  EXPECT_EQ(image::image_list_info(sim_, put_image(example_image())), 0);
  EXPECT_EQ(out_.text(),
            "Image info: \n"
            "fs: \n"
            "offset  = 0x00000800\n"
            "size    = 2 K\n"
            "addr    = 0x00000000\n"
            "flag    = 0x00000001\n"
            "date    = 2022/3/4\n"
            "crc32   = 0x3F55D17F\n"
            "version = 40.7.0.80\n");
  EXPECT_EQ(err_.text(), "");
}

// Header-only files: entries pointing past the end list normally.
TEST_F(ImageListTest, EntryRules) {
  const std::string full_name(52, 'N');
  const struct {
    const char* label;
    Field field;
    std::string listing;  // after "Image info: \n"
  } cases[] = {
      {"all zero", {0, ""}, ""},
      {"name and version only", {6, "tool", 0, 0, 0x00000100}, "tool: \nversion = 0.0.1.0\n"},
      {"offset without size", {1, "ker", 0, 0x800, 0x01020304}, "ker: \nversion = 1.2.3.4\n"},
      {"size without offset", {1, "ker", 0x800, 0, 0x01020304}, "ker: \nversion = 1.2.3.4\n"},
      {"payload but no name", {2, "", 0x800, 0x800, 1, 2, 3, kDate, 4}, ""},
      {"1023 bytes are 0 K",
       {0, "bld", 0x800, 1023},
       "bld: \noffset  = 0x00000800\n"
       "size    = 0 K\naddr    = 0x00000000\n"
       "flag    = 0x00000000\ndate    = 0/0/0\n"
       "crc32   = 0x00000000\n"
       "version = 0.0.0.0\n"},
      {"distinct fields",
       {4, "bld2", 0x1000, 0x2800, 0x04020324, 0x80008000, 0x11, 0x07E50C1F, 0xDEADBEEF},
       "bld2: \noffset  = 0x00001000\nsize    = 10 K\naddr    = 0x80008000\n"
       "flag    = 0x00000011\ndate    = 2021/12/31\ncrc32   = 0xDEADBEEF\n"
       "version = 4.2.3.36\n"},
      {"unsigned version bytes",
       {3, "cmd", 0, 0, 0xFFFFFFFF},
       "cmd: \nversion = 255.255.255.255\n"},
      // Runs straight into the crc32 field: only the 52 name bytes may show.
      {"unterminated name",
       {0, full_name, 0, 0, 0x01000000, 0, 0, 0, 0x41414141},
       full_name + ": \nversion = 1.0.0.0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    out_.clear();
    EXPECT_EQ(image::image_list_info(sim_, put_image(header_with({c.field}))), 0);
    EXPECT_EQ(out_.text(), "Image info: \n" + c.listing);
  }
  EXPECT_EQ(err_.text(), "");
}

// --- verification -----------------------------------------------------------

using ImageVerifyTest = ImageFixture;

const char kExampleVerifyLines[] =
    "fs: \n"
    "offset  = 0x00000800\n"
    "size    = 0x00000800 (2 K)\n"
    "addr    = 0x00000000\n"
    "flag    = 0x00000001\n"
    "date    = 2022/3/4\n"
    "crc32   = 0x3F55D17F\n"
    "version = 40.7.0.80\n";

TEST_F(ImageVerifyTest, AcceptsTheExampleAndRejectsAnyChangedByte) {
  EXPECT_EQ(image::image_verify(sim_, put_image(example_image())), 0);
  EXPECT_EQ(out_.text(), kExampleVerifyLines);
  EXPECT_EQ(err_.text(), "");

  for (size_t at : {size_t{2048}, size_t{3000}, size_t{4095}}) {
    SCOPED_TRACE(at);
    out_.clear();
    err_.clear();
    std::string damaged = example_image();
    damaged[at] = '\xFE';
    EXPECT_EQ(image::image_verify(sim_, put_image(damaged)), -1);
    EXPECT_EQ(out_.text(), kExampleVerifyLines);
    EXPECT_EQ(err_.text(), "check_img_crc fs failed\n");
  }
}

TEST_F(ImageVerifyTest, DamagedEntryStopsTheEntriesAfterIt) {
  const char* names[] = {"bld", "ker", "fs", "cmd"};
  std::vector<Field> fields;
  std::string payloads;
  for (int k = 0; k < 4; ++k) {
    std::string payload(2048, static_cast<char>('a' + k));
    fields.push_back(
        {k, names[k], static_cast<uint32_t>(2048 * (k + 1)), 2048, 0, 0, 0, 0, crc_of(payload)});
    payloads += payload;
  }
  const std::string good = header_with(fields) + payloads;
  EXPECT_EQ(image::image_verify(sim_, put_image(good)), 0);

  out_.clear();
  std::string damaged = good;
  damaged[3 * 2048 + 100] ^= 1;  // inside the "fs" payload
  EXPECT_EQ(image::image_verify(sim_, put_image(damaged)), -1);
  EXPECT_EQ(err_.text(), "check_img_crc fs failed\n");
  const std::string& out = out_.text();
  EXPECT_EQ(out.find("bld: \n"), 0u);
  EXPECT_NE(out.find("ker: \n"), std::string::npos);
  EXPECT_NE(out.find("fs: \n"), std::string::npos);
  EXPECT_EQ(out.find("cmd: \n"), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3 * 8);
}

TEST_F(ImageVerifyTest, ChecksOnlyNamedEntriesWithPayload) {
  const std::string block(2048, '\xFF');  // CRC 0x3F55D17F
  const struct {
    const char* label;
    std::vector<Field> fields;
    int result;
    const char* err;
  } cases[] = {
      {"header only", {}, 0, ""},
      {"named, offset 0", {{1, "ker", 0, 2048, 0, 0, 0, 0, 1}}, 0, ""},
      {"named, size 0", {{1, "ker", 2048, 0, 0, 0, 0, 0, 1}}, 0, ""},
      {"payload without name", {{1, "", 2048, 2048, 0, 0, 0, 0, 1}}, 0, ""},
      {"stored CRC 0 is no exemption", {{1, "ker", 2048, 2048}}, -1, "check_img_crc ker failed\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    out_.clear();
    err_.clear();
    EXPECT_EQ(image::image_verify(sim_, put_image(header_with(c.fields) + block)), c.result);
    EXPECT_EQ(err_.text(), c.err);
    if (c.result == 0) {
      EXPECT_EQ(out_.text(), "");
    }
  }
}

TEST_F(ImageVerifyTest, PayloadPastTheEndFailsAfterItsLines) {
  std::string image = example_image();
  put_le32(image, 2 * 80 + 4, 0x1000);  // 4096 bytes claimed, 2048 present
  EXPECT_EQ(image::image_verify(sim_, put_image(image)), -1);
  EXPECT_EQ(out_.text().rfind("fs: \noffset  = 0x00000800\nsize    = 0x00001000 (4 K)\n", 0), 0u);
  // The end of the file is no system error.
  EXPECT_EQ(err_.text(), "read output imager: Success\n");
}

TEST_F(ImageVerifyTest, StreamsPayloadsThroughOneKibibyte) {
  const struct {
    uint32_t size;
    std::vector<size_t> reads;  // after the header
  } cases[] = {{1024, {1024}}, {1025, {1024, 1}}, {2048, {1024, 1024}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::string payload(c.size, 'p');
    const char* path =
        put_image(header_with({{1, "ker", 2048, c.size, 0, 0, 0, 0, crc_of(payload)}}) + payload);
    sim_.reads.clear();
    EXPECT_EQ(image::image_verify(sim_, path), 0);
    std::vector<size_t> expected = {image::kHeaderSize};
    expected.insert(expected.end(), c.reads.begin(), c.reads.end());
    EXPECT_EQ(sim_.reads, expected);
  }
  EXPECT_EQ(image::check_img_crc(0x3F55D17F, 0x3F55D17F), 0);
  EXPECT_EQ(image::check_img_crc(0, 0x3F55D17F), -1);
}

// --- unpacking --------------------------------------------------------------

class ImageAnalysisTest : public ImageFixture {
 protected:
  void SetUp() override { std::filesystem::create_directories(root_.file("dev/shm")); }

  std::string unpacked() const { return root_.read("dev/shm/update"); }
  std::string shell_log() const { return root_.read("shell.log"); }

  static std::string announce(const char* path) {
    return "==============name " + std::string(path) + "=\n";
  }
};

constexpr char kCreate[] = "Create file: /dev/shm/update \n";

TEST_F(ImageAnalysisTest, UnpacksCmdAtAnyIndex) {
  for (int index = 0; index < 7; ++index) {
    SCOPED_TRACE(index);
    out_.clear();
    std::string payload(3000, static_cast<char>('a' + index));
    const char* path = put_image(header_with({{index, "cmd", 2048, 3000}}) + payload);
    EXPECT_EQ(image::image_analysis(sim_, path, 0), 0);
    EXPECT_EQ(out_.text(), announce(path) + kCreate);
    EXPECT_EQ(unpacked(), payload);
  }
  EXPECT_EQ(err_.text(), "");
}

TEST_F(ImageAnalysisTest, MakesTheToolExecutableButNotWritableByOthers) {
  const char* path = put_image(header_with({{3, "cmd", 2048, 4}}) + "tool");
  ASSERT_EQ(image::image_analysis(sim_, path, 0), 0);
  EXPECT_NE(shell_log().find("chmod 755 /dev/shm/update"), std::string::npos) << shell_log();
  EXPECT_EQ(shell_log().find("777"), std::string::npos);

  mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(root_.file("dev/shm/update").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755 & ~mask);
}

TEST_F(ImageAnalysisTest, LeavesEverythingElseAlone) {
  const std::string payload(2048, 'x');
  const struct {
    const char* label;
    Field field;
  } cases[] = {
      {"no cmd entry", {2, "fs", 2048, 2048}},     {"upper case", {3, "CMD", 2048, 2048}},
      {"longer name", {3, "cmdx", 2048, 2048}},    {"shorter name", {3, "cm", 2048, 2048}},
      {"cmd without offset", {3, "cmd", 0, 2048}}, {"cmd without size", {3, "cmd", 2048, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    out_.clear();
    const char* path = put_image(header_with({c.field}) + payload);
    EXPECT_EQ(image::image_analysis(sim_, path, 0), 0);
    EXPECT_EQ(out_.text(), announce(path));
    EXPECT_FALSE(root_.exists("dev/shm/update"));
  }
  EXPECT_FALSE(root_.exists("shell.log"));
  EXPECT_EQ(err_.text(), "");
}

TEST_F(ImageAnalysisTest, CopiesAShortPayloadAsFarAsTheImageGoes) {
  const std::string payload(2048, 'c');
  const char* path = put_image(header_with({{3, "cmd", 2048, 8192}}) + payload);
  EXPECT_EQ(image::image_analysis(sim_, path, 0), 0);
  EXPECT_EQ(unpacked(), payload);
  EXPECT_EQ(err_.text(), "");
}

TEST_F(ImageAnalysisTest, CopiesInKibibytePieces) {
  const std::string payload(3000, 'c');
  const char* path = put_image(header_with({{3, "cmd", 2048, 3000}}) + payload);
  sim_.reads.clear();
  EXPECT_EQ(image::image_analysis(sim_, path, 0), 0);
  EXPECT_EQ(sim_.reads, (std::vector<size_t>{2048, 1024, 1024, 952}));
}

// The output is cut on open: an older, longer tool leaves nothing behind, and
// of two "cmd" entries only the later one remains.
TEST_F(ImageAnalysisTest, TruncatesSoTheLastCmdEntryIsTheFile) {
  root_.write("dev/shm/update", std::string(10000, 'z'));
  const std::string first(3000, 'A');
  const std::string second(100, 'B');
  const char* path = put_image(header_with({{1, "cmd", 2048, 3000}, {5, "cmd", 2048 + 3000, 100}}) +
                               first + second);
  EXPECT_EQ(image::image_analysis(sim_, path, 0), 0);
  EXPECT_EQ(out_.text(), announce(path) + kCreate + kCreate);
  EXPECT_EQ(unpacked(), second);
  const std::string log = shell_log();
  size_t once = log.find("chmod 755 /dev/shm/update");
  ASSERT_NE(once, std::string::npos) << log;
  EXPECT_NE(log.find("chmod 755 /dev/shm/update", once + 1), std::string::npos) << log;
}

TEST_F(ImageAnalysisTest, RefusesToFollowAPlantedLink) {
  root_.write("victim", "keep");
  ASSERT_EQ(symlink(root_.file("victim").c_str(), root_.file("dev/shm/update").c_str()), 0);
  const char* path = put_image(header_with({{3, "cmd", 2048, 2048}}) + std::string(2048, 'x'));
  EXPECT_EQ(image::image_analysis(sim_, path, 0), -1);
  EXPECT_EQ(out_.text(), announce(path) + kCreate);
  EXPECT_EQ(err_.text(),
            "open output imager: Too many levels of symbolic links\n"
            "write /dev/shm/update faild\n");
  EXPECT_EQ(root_.read("victim"), "keep");
  EXPECT_FALSE(root_.exists("shell.log"));
}

TEST_F(ImageAnalysisTest, ExtractReportsEachFailure) {
  root_.write("img.bin", std::string(4096, 'i'));
  platform::FileHandle readable(sim_, sim_.open("/img.bin", O_RDONLY, 0));
  platform::FileHandle write_only(sim_, sim_.open("/img.bin", O_WRONLY, 0));
  ASSERT_TRUE(readable.valid());
  ASSERT_TRUE(write_only.valid());
  const struct {
    const char* label;
    int fd;
    const char* out_path;
    const char* err;
  } cases[] = {
      {"no output path", readable.get(), nullptr, "Please check outfile\n"},
      {"empty output path", readable.get(), "", "Please check outfile\n"},
      {"output cannot be created", readable.get(), "/no/such/dir/out",
       "open output imager: No such file or directory\n"},
      {"image cannot be positioned", -1, "/out", "lseek input imager: Bad file descriptor\n"},
      {"image cannot be read", write_only.get(), "/out",
       "read input imager: Bad file descriptor\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    err_.clear();
    EXPECT_EQ(image::image_extract_entry(sim_, c.fd, c.out_path, 0, 2048), -1);
    EXPECT_EQ(err_.text(), c.err);
  }
}

}  // namespace
