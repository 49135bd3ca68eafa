// Flash device access against the simulated board's /dev/flash0: the size
// query, the layout derived from it, erasing and writing, and their faults.
#include <gtest/gtest.h>

#include <string>

#include "archive_builder.h"
#include "image/image.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::openDescriptors;
using testsupport::Sandbox;

struct FlashTest : ::testing::Test {
  Sandbox sandbox;
  // The board's settings; with its flash of 2 MiB the daemon's layout as
  // after start-up.
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    upd::checkFlashConfig();
  }
  void settings(const std::string& text) {
    sandbox.settings(text);
    sim::reloadSettings();
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  Bytes flash() const { return testsupport::readBytes(sandbox.path("board/flash0.bin")); }
};

struct LayoutCase {
  const char* settings;
  int32_t size;               // getFlashInfoUpdate's result
  int32_t configSectorStart;  // after checkFlashConfig
  const char* statusFile;     // what the failure appends
};

const LayoutCase layoutCases[] = {
    {"", 0x200000, 0x1F0000, ""},
    {"flash.size = 0x400000\n", 0x400000, 0x3F0000, ""},
    {"flash.size = 0x100000\nflash.regions = 4\n", 0x100000, 0xF0000, ""},
    {"flash.regions = 0\n", 0x200000, 0x1F0000, ""},
    {"flash.size = 0\n", 0, 0x1F0000, "Flash info not available; can't determine size \n"},
    {"flash.missing = 1\n", -1, 0x1F0000,
     "open device_/dev/flash0 in mode_0 failed! errno: 2 No such file or directory\n"
     "Flash info not available; can't determine size \n"},
    {"flash.info_fails = 1\n", -1, 0x1F0000,
     "ioctl failed:-1 errno: 5 Input/output error\n"
     "Flash info not available; can't determine size \n"},
    // A region count of 0 still asks for the regions, and their refusal
    // fails the size query.
    {"flash.regions = 0\nflash.regions_fails = 1\n", -1, 0x1F0000,
     "ioctl failed:-1 errno: 5 Input/output error\n"
     "Flash info not available; can't determine size \n"},
    // More regions than the daemon has room for are never requested.
    {"flash.regions = 1000\n", -1, 0x1F0000,
     "flash reports 1000 regions; room for 32\n"
     "Flash info not available; can't determine size \n"},
};

TEST_F(FlashTest, LayoutFollowsTheReportedSize) {
  for (const LayoutCase& c : layoutCases) {
    SCOPED_TRACE(c.settings);
    settings("");
    upd::checkFlashConfig();  // a refused size query leaves the layout as it was
    ::remove(sandbox.path("board/flash0.bin").c_str());
    settings(c.settings);
    int before = openDescriptors();
    EXPECT_EQ(c.size, upd::getFlashInfoUpdate());
    sandbox.write("/tmp/update.log", "");
    upd::checkFlashConfig();
    EXPECT_EQ(c.configSectorStart, upd::flashLayout.configSectorStart);
    EXPECT_EQ(c.statusFile, statusFile());
    EXPECT_EQ(before, openDescriptors());
    // Nothing else of the layout ever moves.
    EXPECT_EQ(0x20000, upd::flashLayout.imageStart);
    EXPECT_EQ(0x10000, upd::flashLayout.configSectorSize);
    EXPECT_EQ(0x10000, upd::flashLayout.imageSectorSize);
  }
}

TEST_F(FlashTest, NewFlashIsErasedAndWritesLandAtTheirOffset) {
  Bytes data = testsupport::patternBytes(1000, 7);
  ASSERT_EQ(1, upd::writeFlash(0x20003, data.data(), static_cast<uint32_t>(data.size())));
  Bytes content = flash();
  ASSERT_EQ(0x200000u, content.size());
  EXPECT_EQ(Bytes(content.begin() + 0x20003, content.begin() + 0x20003 + 1000), data);
  EXPECT_EQ(0xFF, content[0x20002]);
  EXPECT_EQ(0xFF, content[0x20003 + 1000]);
  EXPECT_EQ("write 0x020003 1000\n", sandbox.read("board/flash.log"));

  ASSERT_EQ(1, upd::eraseFlash(0x20000, 0x10000));
  content = flash();
  EXPECT_EQ(Bytes(0x10000, 0xFF), Bytes(content.begin() + 0x20000, content.begin() + 0x30000));
  EXPECT_EQ("write 0x020003 1000\nerase 0x020000 0x10000\n", sandbox.read("board/flash.log"));
  EXPECT_EQ("", statusFile());
}

struct FaultCase {
  const char* settings;
  bool erase;  // eraseFlash(0x30000, 0x10000), else writeFlash(0x30000, 64 KiB)
  const char* statusPrefix;
};

const FaultCase faultCases[] = {
    {"flash.missing = 1\n", false,
     "open device_/dev/flash0 in mode_2 failed! errno: 2 No such file or directory\n"},
    {"flash.missing = 1\n", true,
     "open device_/dev/flash0 in mode_0 failed! errno: 2 No such file or directory\n"},
    {"flash.write_fails_at = 0x3FFFF\n", false, "write failed errno: 5 Input/output error\n"},
    {"flash.erase_fails_at = 0x30000\n", true, "ioctl failed:-1 errno: 5 Input/output error\n"},
    // A write that stores fewer bytes than asked is a failure.
    {"flash.short_write = 1\n", false, "short write: 32768 of 65536 bytes stored at 0x30000\n"},
    // A range outside the flash is refused by the driver.
    {"flash.size = 0x30000\n", true, "ioctl failed:-1 errno: 22 Invalid argument\n"},
    {"flash.size = 0x30000\n", false, "write failed errno: 28 No space left on device\n"},
};

TEST_F(FlashTest, RefusedRequestsFailAndCloseTheDevice) {
  Bytes data = testsupport::patternBytes(0x10000, 9);
  for (const FaultCase& c : faultCases) {
    SCOPED_TRACE(std::string(c.settings) + (c.erase ? " erase" : " write"));
    sandbox.write("/tmp/update.log", "");
    ::remove(sandbox.path("board/flash0.bin").c_str());
    settings(c.settings);
    int before = openDescriptors();
    ::testing::internal::CaptureStderr();
    int result = c.erase ? upd::eraseFlash(0x30000, 0x10000)
                         : upd::writeFlash(0x30000, data.data(), 0x10000);
    std::string err = ::testing::internal::GetCapturedStderr();
    // The entry names the operation, whichever helper made it.
    EXPECT_NE(std::string::npos, err.find(c.erase ? " eraseFlash line: " : " writeFlash line: "))
        << err;
    EXPECT_EQ(-1, result);
    EXPECT_EQ(c.statusPrefix, statusFile());
    EXPECT_EQ(before, openDescriptors());
  }
}

TEST_F(FlashTest, WritingZeroBytesFails) {
  uint8_t byte = 0;
  EXPECT_EQ(-1, upd::writeFlash(0x20000, &byte, 0));
  EXPECT_EQ(0u, statusFile().find("write failed errno: ")) << statusFile();
  EXPECT_FALSE(sandbox.exists("board/flash.log"));
}

}  // namespace
