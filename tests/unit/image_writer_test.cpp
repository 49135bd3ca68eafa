// The image writer against the simulated board's flash: the header's sector
// erased first and written last, the erase before the last chunk, the bytes in
// board/flash0.bin, refused requests, and the software images it refuses. A
// missing or FIFO archive and an image too large are run by the end-to-end
// fault matrix.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_builder.h"
#include "image/image.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::openDescriptors;
using testsupport::Sandbox;

constexpr size_t imageStart = 0x20000;
constexpr const char* stepLine = "LAP software ...";

struct ImageWriterTest : ::testing::Test {
  Sandbox sandbox;
  Bytes software;

  void SetUp() override {
    testsupport::useInProcess(sandbox);
    testsupport::useShellWords();
    settings("");
  }
  // A new flash as the board's settings make it, and the layout the daemon
  // derives from its size.
  void settings(const std::string& text) {
    sandbox.settings(text);
    sim::reloadSettings();
    ::remove(sandbox.path("board/flash0.bin").c_str());
    upd::checkFlashConfig();
    sandbox.write("/tmp/update.log", stepLine);
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
  Bytes flashAt(size_t offset, size_t length) const {
    Bytes content = testsupport::readBytes(sandbox.path("board/flash0.bin"));
    if (offset + length > content.size()) return {};
    return Bytes(content.begin() + offset, content.begin() + offset + length);
  }
};

// The header's sector is erased before any other request and written last,
// the bytes after the header first and the header alone at the very end;
// of the others only the sector of the last chunk is erased, before it. The
// bytes around the image stay erased.
TEST_F(ImageWriterTest, ChunksAndTheEraseBeforeTheLastOne) {
  struct Case {
    size_t size;
    const char* flashLog;
  };
  const Case cases[] = {
      {196708,
       "erase 0x020000 0x10000\nwrite 0x030000 65536\nwrite 0x040000 65536\n"
       "erase 0x050000 0x10000\nwrite 0x050000 100\nwrite 0x020040 65472\nwrite 0x020000 64\n"},
      {0x20000,
       "erase 0x020000 0x10000\nerase 0x030000 0x10000\nwrite 0x030000 65536\n"
       "write 0x020040 65472\nwrite 0x020000 64\n"},
      {1000, "erase 0x020000 0x10000\nwrite 0x020040 936\nwrite 0x020000 64\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    settings("");
    ::remove(sandbox.path("board/flash.log").c_str());
    EXPECT_EQ(1, writeArchive(archiveWithImageOf(c.size)));
    EXPECT_EQ(std::string(stepLine) + "100 percent ", statusFile());
    EXPECT_EQ(c.flashLog, flashLog());
    EXPECT_EQ(Bytes(imageStart, 0xFF), flashAt(0, imageStart));
    EXPECT_EQ(software, flashAt(imageStart, software.size()));
    EXPECT_EQ(Bytes(1, 0xFF), flashAt(imageStart + software.size(), 1));
    EXPECT_FALSE(sandbox.exists("/tmp/image"));
  }
}

TEST_F(ImageWriterTest, FourMegabyteFlashTakesTheLargerImage) {
  settings("flash.size = 0x400000\n");
  EXPECT_EQ(1, writeArchive(archiveWithImageOf(0x1D0000 + 10)));
  EXPECT_EQ(software, flashAt(imageStart, software.size()));
  EXPECT_EQ(0u, flashLog().find("erase 0x020000 0x10000\nwrite 0x030000 65536\n"));
  EXPECT_NE(std::string::npos,
            flashLog().find("erase 0x1f0000 0x10000\nwrite 0x1f0000 10\nwrite 0x020040 65472\nwrite 0x020000 64\n"));
}

// The first refused request ends the writing with -1 and nothing after it,
// and no valid header is left at imageStart: a refused erase of the header's
// sector leaves the flash as it was, any later refusal leaves the header
// erased.
TEST_F(ImageWriterTest, RefusedRequestStopsTheWritingWithoutAHeader) {
  const std::string ioctlFailed = "ioctl failed:-1 errno: 5 Input/output error\n";
  const std::string writeFailed = "write failed errno: 5 Input/output error\n";
  const struct {
    const char* settings;
    const char* flashLog;
    std::string status;
  } cases[] = {
      {"flash.erase_fails_at = 0x20000\n", "", "  0 percent " + ioctlFailed},
      {"flash.write_fails_at = 0x40000\n", "erase 0x020000 0x10000\nwrite 0x030000 65536\n",
       " 33 percent " + writeFailed},
      {"flash.erase_fails_at = 0x50000\n",
       "erase 0x020000 0x10000\nwrite 0x030000 65536\nwrite 0x040000 65536\n",
       " 66 percent " + ioctlFailed},
      {"flash.write_fails_at = 0x20000\n",
       "erase 0x020000 0x10000\nwrite 0x030000 65536\nwrite 0x040000 65536\n"
       "erase 0x050000 0x10000\nwrite 0x050000 100\nwrite 0x020040 65472\n",
       " 99 percent " + writeFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    settings(c.settings);
    ::remove(sandbox.path("board/flash.log").c_str());
    const int descriptors = openDescriptors();
    EXPECT_EQ(-1, writeArchive(archiveWithImageOf(196708)));
    EXPECT_EQ(descriptors, openDescriptors());
    EXPECT_EQ(c.flashLog, flashLog());
    EXPECT_EQ(stepLine + c.status, statusFile());
    EXPECT_EQ(Bytes(64, 0xFF), flashAt(imageStart, 64));
    EXPECT_FALSE(sandbox.exists("/tmp/image"));
  }
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
    {"last sub-image outside the file",
     [] {
       Bytes archive = testsupport::buildArchive(Bytes{1, 2, 3}, goodSoftware());
       testsupport::writeBe32(archive, 64 + 8, 564 + 4);  // four bytes more than there are
       testsupport::resealImage(archive);
       return archive;
     },
     "sub-image 2 of /tmp/image (568 Bytes at offset 120) lies outside the file of 684 Bytes\n"},
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
