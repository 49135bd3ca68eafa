// The image writer against the simulated board's flash: progress in the
// status file, the erase before the last chunk only, the bytes in
// board/flash0.bin, and every refusal.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "image/image.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

using testsupport::useShellWords;

using testsupport::openDescriptors;

using testsupport::Bytes;
using testsupport::Sandbox;

constexpr size_t imageStart = 0x20000;
constexpr const char* stepLine = "LAP software ...";



struct ImageWriterTest : ::testing::Test {
  Sandbox sandbox;
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    useShellWords();
    upd::flashLayout = upd::defaultFlashLayout;
    sandbox.write("/tmp/update.log", stepLine);
  }
  void settings(const std::string& text) {
    sandbox.settings(text);
    sim::reloadSettings();
  }
  // An archive whose software image has `total` bytes, header included.
  Bytes archiveWithImageOf(size_t total, const std::string& name = "Linux LAP 2.4") {
    software = testsupport::wrapImage(testsupport::patternBytes(total - 64, 5), name);
    return testsupport::buildArchive(Bytes{0x1F, 0x8B, 8, 0}, software);
  }
  int writeArchive(const Bytes& archive) {
    sandbox.write("/tmp/image", archive);
    return upd::writeImage();
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  std::string flashLog() const { return sandbox.read("board/flash.log"); }
  Bytes flash() const { return testsupport::readBytes(sandbox.path("board/flash0.bin")); }
  Bytes flashAt(size_t offset, size_t length) const {
    Bytes content = flash();
    if (offset + length > content.size()) return {};
    return Bytes(content.begin() + offset, content.begin() + offset + length);
  }

  Bytes software;
};

TEST_F(ImageWriterTest, WorkedExampleThreeChunksAndOneHundredBytes) {
  Bytes archive = archiveWithImageOf(196708);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(1, writeArchive(archive));
  std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(std::string(stepLine) + "100 percent ", statusFile());
  for (const char* line : {"write lap image with 196708 Bytes to 1900544 Bytes flash\n",
                           "writing sector 020000 to flash; missing 00196708 Bytes;   0%\n",
                           "writing sector 030000 to flash; missing 00131172 Bytes;  33%\n",
                           "writing sector 040000 to flash; missing 00065636 Bytes;  66%\n",
                           "writing sector 050000 to flash; missing 00000100 Bytes;  99%\n"})
    EXPECT_NE(std::string::npos, err.find(line)) << line;
  // No erase for full chunks; one erase, before the last chunk.
  EXPECT_EQ(
      "write 0x020000 65536\n"
      "write 0x030000 65536\n"
      "write 0x040000 65536\n"
      "erase 0x050000 0x10000\n"
      "write 0x050000 100\n",
      flashLog());
  EXPECT_EQ(software, flashAt(imageStart, software.size()));
  EXPECT_EQ(Bytes(imageStart, 0xFF), flashAt(0, imageStart));
  EXPECT_EQ(0xFF, flash()[imageStart + software.size()]);
  EXPECT_FALSE(sandbox.exists("/tmp/image"));
}

TEST_F(ImageWriterTest, ExactMultipleOfAChunkErasesItsLastSectorOnly) {
  Bytes archive = archiveWithImageOf(0x20000);
  EXPECT_EQ(1, writeArchive(archive));
  EXPECT_EQ("write 0x020000 65536\nerase 0x030000 0x10000\nwrite 0x030000 65536\n", flashLog());
  EXPECT_EQ(std::string(stepLine) + "100 percent ", statusFile());
  EXPECT_EQ(software, flashAt(imageStart, software.size()));
  EXPECT_EQ(Bytes(0x10000, 0xFF), flashAt(imageStart + 0x20000, 0x10000));
}

TEST_F(ImageWriterTest, ImageShorterThanAChunk) {
  Bytes archive = archiveWithImageOf(1000);
  EXPECT_EQ(1, writeArchive(archive));
  EXPECT_EQ("erase 0x020000 0x10000\nwrite 0x020000 1000\n", flashLog());
  EXPECT_EQ(software, flashAt(imageStart, 1000));
}

TEST_F(ImageWriterTest, ImageOfExactlyTheAvailableSpaceIsRefused) {
  Bytes archive = archiveWithImageOf(0x1D0000);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(-1, writeArchive(archive));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("src/image/image_writer.cpp writeImage line: ")) << err;
  EXPECT_EQ(std::string(stepLine) +
                "Not enough space (1900544 Bytes) in flash to write lap image with 1900544 "
                "Bytes!\n",
            statusFile());
  EXPECT_FALSE(sandbox.exists("board/flash.log"));
  EXPECT_FALSE(sandbox.exists("/tmp/image"));
}

TEST_F(ImageWriterTest, FourMegabyteFlashTakesTheLargerImage) {
  settings("flash.size = 0x400000\n");
  upd::checkFlashConfig();
  ASSERT_EQ(0x3F0000, upd::flashLayout.configSectorStart);
  Bytes archive = archiveWithImageOf(0x1D0000 + 10);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(1, writeArchive(archive));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("with 1900554 Bytes to 3997696 Bytes flash\n"));
  EXPECT_EQ(software, flashAt(imageStart, software.size()));
  EXPECT_NE(std::string::npos, flashLog().find("erase 0x1f0000 0x10000\nwrite 0x1f0000 10\n"));
}

struct FaultCase {
  const char* settings;
  const char* flashLog;
  const char* statusTail;
};

// A refused erase or write ends the writing with -1 and nothing after it.
const FaultCase faultCases[] = {
    {"flash.write_fails_at = 0x30010\n", "write 0x020000 65536\n",
     " 33 percent write failed errno: 5 Input/output error\n"},
    {"flash.erase_fails_at = 0x50000\n",
     "write 0x020000 65536\nwrite 0x030000 65536\nwrite 0x040000 65536\n",
     " 99 percent ioctl failed:-1 errno: 5 Input/output error\n"},
    {"flash.short_write = 1\n", "write 0x020000 32768\n",
     "  0 percent short write: 32768 of 65536 bytes stored at 0x20000\n"},
    {"flash.missing = 1\n", "",
     "  0 percent open device_/dev/flash0 in mode_2 failed! errno: 2 No such file or directory\n"},
};

TEST_F(ImageWriterTest, RefusedEraseOrWriteFails) {
  for (const FaultCase& c : faultCases) {
    SCOPED_TRACE(c.settings);
    sandbox.write("/tmp/update.log", stepLine);
    ::remove(sandbox.path("board/flash.log").c_str());
    ::remove(sandbox.path("board/flash0.bin").c_str());
    settings(c.settings);
    int descriptors = openDescriptors();
    EXPECT_EQ(-1, writeArchive(archiveWithImageOf(196708)));
    EXPECT_EQ(descriptors, openDescriptors());
    EXPECT_EQ(c.flashLog, flashLog());
    EXPECT_EQ(std::string(stepLine) + c.statusTail, statusFile());
    EXPECT_FALSE(sandbox.exists("/tmp/image"));
  }
}

TEST_F(ImageWriterTest, MissingArchiveFailsAndLeavesNothingBehind) {
  EXPECT_EQ(-1, upd::writeImage());
  EXPECT_EQ(std::string(stepLine) +
                "File opening error for file :/tmp/image errno = 2 No such file or directory \n",
            statusFile());
  EXPECT_FALSE(sandbox.exists("board/flash.log"));
}

// A FIFO in the archive's place is refused at once instead of blocking the
// daemon in its open, and goes like any archive.
TEST_F(ImageWriterTest, FifoIsRefusedWithoutWaiting) {
  ASSERT_EQ(0, ::mkfifo(sandbox.path("/tmp/image").c_str(), 0644));
  EXPECT_EQ(-1, upd::writeImage());
  EXPECT_EQ(std::string(stepLine) + "/tmp/image is not a regular file\n", statusFile());
  EXPECT_FALSE(sandbox.exists("/tmp/image"));
  EXPECT_FALSE(sandbox.exists("board/flash.log"));
}

struct RefusalCase {
  const char* what;
  Bytes (*archive)();
  const char* message;
};

Bytes goodSoftware() { return testsupport::wrapImage(testsupport::patternBytes(500, 2)); }

const RefusalCase refusalCases[] = {
    {"archive too small", [] { return Bytes(10, 0x11); },
     "image file /tmp/image to small (10 Bytes) !\n"},
    {"software image checksum",
     [] {
       Bytes software = goodSoftware();
       software[100] ^= 1;
       return testsupport::buildArchive(Bytes{1, 2, 3}, software);
     },
     "Bad Data Checksum\n"},
    {"software image not named Linux",
     [] {
       return testsupport::buildArchive(Bytes{1, 2, 3},
                                        testsupport::wrapImage(Bytes(500, 1), "ramdisk"));
     },
     "software image \"ramdisk\" is not a Linux image; flash not written\n"},
    {"last sub-image shorter than a header",
     [] {
       return testsupport::makeImage(testsupport::multiFileData({Bytes{1}, Bytes{2}, Bytes(40, 3)}),
                                     4, "archive");
     },
     "software image in /tmp/image holds 40 Bytes; less than an image header\n"},
    {"last sub-image outside the file",
     [] {
       Bytes archive = testsupport::buildArchive(Bytes{1, 2, 3}, goodSoftware());
       testsupport::writeBe32(archive, 64 + 8, 564 + 4);  // four bytes more than there are
       testsupport::resealImage(archive);
       return archive;
     },
     "sub-image 2 of /tmp/image (568 Bytes at offset 120) lies outside the file of 684 Bytes\n"},
    {"table without its zero word",
     [] {
       return testsupport::makeImage(Bytes{0, 0, 0, 1, 0, 0, 0, 2}, 4, "archive");
     },
     "sub-image table of /tmp/image has no terminating zero word\n"},
};

TEST_F(ImageWriterTest, BadSoftwareImageIsRefusedWithFlashUntouched) {
  for (const RefusalCase& c : refusalCases) {
    SCOPED_TRACE(c.what);
    sandbox.write("/tmp/update.log", "");
    int descriptors = openDescriptors();
    EXPECT_EQ(-1, writeArchive(c.archive()));
    EXPECT_EQ(descriptors, openDescriptors());
    EXPECT_EQ(c.message, statusFile());
    EXPECT_FALSE(sandbox.exists("board/flash.log"));
    EXPECT_FALSE(sandbox.exists("/tmp/image"));
  }
}

TEST_F(ImageWriterTest, SingleImageArchiveCarriesTheSoftwareAfterItsSizeWord) {
  software = goodSoftware();
  Bytes data(4, 0);
  testsupport::writeBe32(data, 0, static_cast<uint32_t>(software.size()));
  data.insert(data.end(), software.begin(), software.end());
  EXPECT_EQ(1, writeArchive(testsupport::makeImage(data, 2, "single")));
  EXPECT_EQ(software, flashAt(imageStart, software.size()));
}

}  // namespace
