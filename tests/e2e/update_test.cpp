// Whole updates on the simulated board: update_sim as a real process, the
// admin side in the test, archives built by the tests, and the board's files
// (flash, module store, wire trace) checked afterwards.
#include <gtest/gtest.h>

#include <dirent.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "test_support.h"

namespace {

using testsupport::AdminPeer;
using testsupport::Bytes;
using testsupport::Daemon;
using testsupport::Sandbox;
using testsupport::word32;

constexpr double waitSeconds = 120;
constexpr uint32_t imageStart = 0x20000;

std::string sourceFile(const std::string& relative) {
  return testsupport::readFile(std::string(UPDATE_SOURCE_DIR) + "/" + relative);
}

// One row of the version report, padded as the report pads it.
std::string row(const std::string& label, const std::string& oldText, const std::string& newText,
                bool update) {
  auto pad = [](std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
  };
  return "\n   " + pad(label, 19) + " " + pad(oldText, 23) + " " + pad(newText, 22) + " " +
         pad(update ? "    yes" : "    no", 20);
}

const std::string reportHeader =
    "OK\n     part:            |     old version      |      new version      |   update ?";

std::string countLines(const std::string& text, const std::string& needle) {
  size_t count = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.find(needle) != std::string::npos) ++count;
  return std::to_string(count);
}

// Keys of the SET requests written to the module on the serial link, in
// order, from the decoded wire trace.
std::vector<std::string> serialSetKeys(const std::string& trace) {
  std::vector<std::string> keys;
  std::istringstream in(trace);
  std::string line;
  const std::string set = " cfUaB0   > BCCMD SET &";
  while (std::getline(in, line)) {
    size_t at = line.find(set);
    if (at != std::string::npos) keys.push_back(line.substr(at + set.size(), 4));
  }
  return keys;
}

// A board of its own with the daemon started on it and the archive handed
// over with a start request, for cases that each need a fresh board.
struct FreshBoard {
  Sandbox sandbox;
  AdminPeer peer{sandbox.root()};
  std::unique_ptr<Daemon> daemon;

  FreshBoard(const Bytes& image, const std::string& settings) {
    sandbox.write("/etc/data.txt", sourceFile("examples/board/data.txt"));
    sandbox.settings(settings);
    daemon = std::make_unique<Daemon>(sandbox);
    std::vector<uint8_t> report;
    EXPECT_TRUE(peer.waitFor(1026, 0, &report, waitSeconds)) << daemon->err();
    sandbox.write("/tmp/image", image);
    EXPECT_TRUE(peer.sendRequest(1));
  }
  ~FreshBoard() {
    daemon->signal(SIGTERM);
    EXPECT_EQ(0, daemon->wait(waitSeconds));
  }
};

struct UpdateTest : ::testing::Test {
  Sandbox sandbox;
  std::unique_ptr<AdminPeer> admin;
  std::unique_ptr<Daemon> daemon;
  std::map<std::string, std::string> package;
  Bytes software = testsupport::patternBytes(196708, 7);
  std::vector<uint8_t> datagram;

  void SetUp() override {
    admin = std::make_unique<AdminPeer>(sandbox.root());
    package = testsupport::examplePackage();
    package["stack.dfu"] = "version=2.14\n";
    sandbox.write("/etc/data.txt", sourceFile("examples/board/data.txt"));
  }

  void plan(const std::string& steps) { package["updatetodo.txt"] = steps; }

  Bytes archive() const {
    return testsupport::buildArchive(testsupport::makePackage(package),
                                     testsupport::wrapImage(software, "Linux skq 1.1.0"));
  }

  // Starts the daemon, puts the archive at /tmp/image and sends the start
  // request; returns the status file's length before the start.
  size_t start(const Bytes& image) {
    daemon = std::make_unique<Daemon>(sandbox);
    EXPECT_TRUE(admin->waitFor(1026, 0, &datagram, waitSeconds)) << daemon->err();
    sandbox.write("/tmp/image", image);
    size_t before = sandbox.read("/tmp/update.log").size();
    EXPECT_TRUE(admin->sendRequest(1));
    return before;
  }

  // Runs the update to its first finish line after the start; returns the
  // status file from the first announcement through that line.
  std::string runUpdate(const Bytes& image) {
    start(image);
    std::string status;
    bool finished = testsupport::waitUntil(waitSeconds, [&] {
      status = updatePartCollapsed();
      return status.find("*UPDATE_FINISHED*") != std::string::npos;
    });
    EXPECT_TRUE(finished) << status << daemon->err();
    size_t end = status.find('\n', status.find("*UPDATE_FINISHED*"));
    return status.substr(0, end + 1);
  }

  // The status file from the line of the first announcement on, with the
  // firmware step's progress reduced to the last figure: the download tool
  // writes its status log when it gets to it, and a progress reading that
  // comes first appends the open error and rewrites its end.
  std::string updatePartCollapsed() const { return collapseProgress(updatePart()); }
  static std::string collapseProgress(std::string status) {
    const std::string announcement = "Update Trilo Firmware: started ... ";
    const std::string bcsp = "...assuming BCSP -> try BCSP\n";
    size_t at = status.find(announcement);
    if (at == std::string::npos) return status;
    size_t from = at + announcement.size();
    size_t afterBcsp = status.find(bcsp, from);
    size_t end = status.find("OK\n", from);
    if (end == std::string::npos) return status;
    if (afterBcsp != std::string::npos && afterBcsp < end) from = afterBcsp + bcsp.size();
    // Only a step that ends on a figure ("NNN percent OK") is collapsed.
    if (end - from >= 12 && status.compare(end - 9, 9, " percent ") == 0)
      status.erase(from, end - from - 12);
    return status;
  }

  // The status file from the line of the first announcement on.
  std::string updatePart() const {
    std::string status = sandbox.read("/tmp/update.log");
    size_t first = status.find("started ...");
    if (first == std::string::npos) return "";  // the first step is not announced yet
    size_t lineStart = status.rfind('\n', first);
    return status.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
  }

  // The result report once the update has finished: the finish step
  // repeats it every tick, so the last one queued (or the next one) tells
  // the update's result, whatever reports came before the start request.
  std::string result() { return lastResult(*admin); }
  static std::string lastResult(AdminPeer& peer) {
    // What is queued now may stem from before the start request, or from
    // the tick whose finish line was seen before its report went out: drop
    // it, and take the next report, which is sent after the update ended.
    std::vector<uint8_t> received;
    for (int drained = 0; drained < 10000 && peer.receive(&received, 0); ++drained) {
    }
    if (!peer.waitFor(1026, 2, &received, waitSeconds)) return "";
    return std::string(received.begin() + 13, received.begin() + 13 + received[12]);
  }

  void stop() {
    ASSERT_TRUE(admin->sendRequest(3));
    EXPECT_TRUE(admin->waitFor(1025, 3, &datagram, waitSeconds));
    EXPECT_EQ(0, daemon->wait(waitSeconds));
  }

  Bytes flashAt(uint32_t offset, size_t length) const {
    Bytes flash = testsupport::readBytes(sandbox.path("board/flash0.bin"));
    if (flash.size() < offset + length) return {};
    return Bytes(flash.begin() + offset, flash.begin() + offset + length);
  }
  bool flashErased() const {
    Bytes flash = testsupport::readBytes(sandbox.path("board/flash0.bin"));
    for (uint8_t byte : flash)
      if (byte != 0xFF) return false;
    return true;
  }
};

TEST_F(UpdateTest, VersionCheckAndSoftwareWriteTheImage) {
  plan("CHECK_VERSIONS\nLAP_SOFTWARE\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Version Check:         started ... " + reportHeader +
                row("Trilo Firmware ...", "2.13", "2.14 means stable", true) +
                row("PS-Key         ...", "K1 0107", "K1 0108", true) +
                row("skq Software   ...", "1.0.0", "1.1.0", true) +
                "\n"
                "Update skq Software:   started ... 100 percent OK\n"
                "*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_EQ("OK", result());
  Bytes image = testsupport::wrapImage(software, "Linux skq 1.1.0");
  EXPECT_EQ(image, flashAt(imageStart, image.size()));
  EXPECT_FALSE(sandbox.exists("/tmp/image"));
  EXPECT_FALSE(sandbox.exists("/tmp/image1"));
  stop();
}

TEST_F(UpdateTest, EqualVersionsLeaveTheFlashUntouched) {
  plan("CHECK_VERSIONS\nBT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n");
  package["VERSION"] = "LAP_VERSION=1.0.0\n";
  package["stack.dfu"] = "version=2.13\n";
  // The archive's version key carries the installed firmware 2.13.
  std::string& keys = package["pskeyorig.psr"];
  size_t at = keys.find("3220 312e 2034");
  ASSERT_NE(std::string::npos, at);
  keys.replace(at, 14, "3220 312e 2033");
  std::string status = runUpdate(archive());
  EXPECT_NE(std::string::npos,
            status.find(row("Trilo Firmware ...", "2.13", "2.13 means stable", false)));
  EXPECT_NE(std::string::npos, status.find(row("skq Software   ...", "1.0.0", "1.0.0", false)));
  EXPECT_NE(std::string::npos,
            status.find("\nUpdate Trilo Firmware: started ... nothing to do ... OK\n"
                        "Update skq Software:   started ... nothing to do ... OK\n"
                        "*UPDATE_FINISHED* ... OK\n"));
  EXPECT_EQ("OK", result());
  EXPECT_TRUE(flashErased());
  EXPECT_FALSE(sandbox.exists("board/wire.log"));  // the module was never touched
  stop();
}

TEST_F(UpdateTest, CorruptArchivesAreRejectedWithNothingUnpackedOrWritten) {
  plan("CHECK_VERSIONS\nLAP_SOFTWARE\n");
  const Bytes good = archive();
  struct Case {
    const char* name;
    Bytes image;
    const char* message;
  };
  std::vector<Case> cases;
  Bytes badMagic = good;
  badMagic[0] = 0x12;
  cases.push_back({"magic", badMagic, "Bad Magic Number\n"});
  Bytes badHeader = good;
  badHeader[40] ^= 1;  // a name byte, header checksum not resealed
  cases.push_back({"header checksum", badHeader, "Bad Header Checksum\n"});
  Bytes badSize = good;
  testsupport::writeBe32(badSize, 12, testsupport::readBe32(good, 12) + 1);
  testsupport::resealHeader(badSize);
  cases.push_back({"size", badSize, "not equal image data size"});
  Bytes badData = good;
  badData[200] ^= 0x40;
  cases.push_back({"data checksum", badData, "Bad Data Checksum\n"});
  Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  cases.push_back({"truncated", truncated, "not equal image data size"});
  // A table whose sub-image 1 runs past the end of the file.
  Bytes badTable = good;
  testsupport::writeBe32(badTable, 68, 0x7FFFFF);
  testsupport::resealImage(badTable);
  cases.push_back({"table", badTable, nullptr});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshBoard fresh(c.image, "");
    const Sandbox& board = fresh.sandbox;
    ASSERT_TRUE(fresh.peer.waitFor(1025, 1, &datagram, waitSeconds)) << fresh.daemon->err();
    ASSERT_EQ(64u, datagram.size());
    EXPECT_EQ(3, datagram[12]);
    EXPECT_EQ((Bytes{'O', 'K', 0}), Bytes(datagram.begin() + 13, datagram.begin() + 16));
    ASSERT_TRUE(fresh.peer.waitFor(1026, 2, &datagram, waitSeconds));
    std::string status = board.read("/tmp/update.log");
    if (c.message != nullptr) {
      EXPECT_NE(std::string::npos, status.find(c.message)) << status;
    }
    EXPECT_EQ(std::string::npos, status.find("started ..."));
    EXPECT_FALSE(board.exists("/tmp/update.d"));
    EXPECT_FALSE(board.exists("/tmp/image1.gz"));
    EXPECT_FALSE(board.exists("board/flash.log"));
  }
}

TEST_F(UpdateTest, ImageTooLargeForTheFlashFails) {
  plan("LAP_SOFTWARE\n");
  software = testsupport::patternBytes(0x1D0000, 3);  // with its header, more than the image area
  std::string status = runUpdate(archive());
  EXPECT_NE(std::string::npos, status.find("Not enough space (1900544 Bytes) in flash"));
  EXPECT_NE(std::string::npos, status.find(" NOK\n*UPDATE_FINISHED* ... NOK\n")) << status;
  EXPECT_EQ("NOK", result());
  EXPECT_TRUE(flashErased());
  stop();
}

TEST_F(UpdateTest, ReadStepDumpsTheModuleStoreInOrder) {
  plan("BT_MOD_SET_READ\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Read PS-Keys:          started ... OK\n*UPDATE_FINISHED* ... OK\n", status);
  std::string store = sandbox.read("board/module.psr");
  ASSERT_FALSE(store.empty());
  EXPECT_EQ(store, sandbox.read("/tmp/pskeydump.psr"));
  EXPECT_EQ("1024", countLines(sandbox.read("board/wire.txt"), " cfUaB0   > BCCMD GET key "));
  stop();
}

TEST_F(UpdateTest, CompareAndWriteDiffWriteExactlyTheDifferingKeys) {
  plan("BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Read PS-Keys:          started ... OK\n"
            "Compare PS-Keys:       started ... OK\n"
            "Write diff. PS-Keys:   started ... OK\n"
            "*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_EQ((std::vector<std::string>{"0003", "0025", "0240", "02a4", "02a5"}),
            serialSetKeys(sandbox.read("board/wire.txt")));
  // The store now holds the new configuration, comments stripped.
  std::string store = sandbox.read("board/module.psr");
  EXPECT_NE(std::string::npos, store.find("&0003 = 0006\r\n"));
  EXPECT_NE(std::string::npos, store.find("&0025 = 0800\r\n"));
  EXPECT_NE(std::string::npos, store.find("&0240 = 0001\r\n"));
  EXPECT_NE(std::string::npos, store.find("&02a4 = 3130 3830 6664 746c\r\n"));
  stop();
}

TEST_F(UpdateTest, NothingDiffersSoTheWriteStepLeavesTheModuleAlone) {
  plan("BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n");
  // A first run reads what the module holds; a second one brings exactly
  // that as the new configuration.
  package["pskeyorig.psr"] = "";
  std::string status = runUpdate(archive());
  ASSERT_NE(std::string::npos, status.find("Read PS-Keys:          started ... OK\n"));
  stop();
  // Second run on the same board with the dump as the new configuration.
  package["pskeyorig.psr"] = sandbox.read("/tmp/pskeydump.psr");
  sandbox.write("board/wire.txt", "");
  status = runUpdate(archive());
  EXPECT_EQ("Read PS-Keys:          started ... OK\n"
            "Compare PS-Keys:       started ... OK\n"
            "Write diff. PS-Keys:   started ... nothing to do ... OK\n"
            "*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_TRUE(serialSetKeys(sandbox.read("board/wire.txt")).empty());
  EXPECT_FALSE(sandbox.exists("/tmp/pskeytoset.psr"));
  stop();
}

TEST_F(UpdateTest, WriteAllSendsEveryKeyOfTheNewSet) {
  plan("BT_MOD_SET_ALL_WRITE\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Write all PS-Keys:     started ... OK\n*UPDATE_FINISHED* ... OK\n", status);
  EXPECT_EQ("29", std::to_string(serialSetKeys(sandbox.read("board/wire.txt")).size()));
  EXPECT_NE(std::string::npos, sandbox.read("board/module.psr").find("&0240 = 0001\r\n"));
  stop();
}

TEST_F(UpdateTest, SilentModuleTimesOutAndTheUpdateFails) {
  plan("BT_MOD_SET_READ\nLAP_SOFTWARE\n");
  sandbox.settings("module.silent = 1\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Read PS-Keys:          started ... Update step timed out !!! NOK\n"
            "Update skq Software:   started ... 100 percent OK\n"
            "*UPDATE_FINISHED* ... NOK\n",
            status);
  EXPECT_EQ("NOK", result());
  stop();
}

TEST_F(UpdateTest, KeysRefusedByTheModuleAreMissingFromTheDump) {
  plan("BT_MOD_SET_READ\n");
  sandbox.settings("module.fail_keys = 0x0003,0x0191\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Read PS-Keys:          started ... OK\n*UPDATE_FINISHED* ... OK\n", status);
  std::string dump = sandbox.read("/tmp/pskeydump.psr");
  EXPECT_EQ(std::string::npos, dump.find("&0003 ="));
  EXPECT_EQ(std::string::npos, dump.find("&0191 ="));
  EXPECT_NE(std::string::npos, dump.find("&0002 = 0000\r\n&0011 = 0019\r\n"));
  EXPECT_NE(std::string::npos, dump.find("&03cd ="));
  stop();
}

TEST_F(UpdateTest, FirmwareDownloadSucceeds) {
  plan("BT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Update Trilo Firmware: started ... 100 percent OK\n"
            "Update skq Software:   started ... 100 percent OK\n"
            "*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_EQ("OK", result());
  EXPECT_EQ("2.14\n", sandbox.read("board/firmware.txt"));
  std::string wire = sandbox.read("board/wire.txt");
  // The BCSP set went out on the BCSP node, and the module is back on serial.
  EXPECT_EQ("4", countLines(wire, " bcspRel2 > BCCMD SET &"));
  EXPECT_NE(std::string::npos, sandbox.read("board/module.psr").find("&01f9 = 0003\r\n"));
  EXPECT_NE(std::string::npos, sandbox.read("board/drivers.txt").find("linabcsp_upChan"));
  stop();
  EXPECT_NE(std::string::npos, daemon->out().find("100 percent \n"));
}

TEST_F(UpdateTest, FailedOrKilledDownloadDropsTheRestOfThePlan) {
  for (const char* outcome : {"fail", "kill"}) {
    SCOPED_TRACE(outcome);
    plan("BT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n");
    FreshBoard fresh(archive(), std::string("dfu.result = ") + outcome + "\n");
    const Sandbox& board = fresh.sandbox;
    ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] {
      return board.read("/tmp/update.log").find("try again\n*UPDATE_FINISHED*") != std::string::npos;
    })) << board.read("/tmp/update.log");
    EXPECT_EQ("NOK", lastResult(fresh.peer));
    std::string status = board.read("/tmp/update.log");
    EXPECT_NE(std::string::npos, status.find("NOK\n nothing done... try again\n*UPDATE_FINISHED* ... NOK\n"))
        << status;
    if (std::string(outcome) == "fail") {
      EXPECT_NE(std::string::npos, status.find("dfu: transfer broken off after 50 percent"));
    }
    EXPECT_EQ(std::string::npos, status.find("Update skq Software:"));
    EXPECT_FALSE(board.exists("board/flash.log"));
    EXPECT_EQ("2.13\n", board.read("board/firmware.txt"));
  }
}

TEST_F(UpdateTest, ModuleAlreadyOnBcspIsTakenAsSoAfterTheTimeOut) {
  plan("BT_MOD_SET_FIRM_STACK\n");
  // A module whose store selects BCSP does not answer the serial set.
  sandbox.write("board/module.psr", "&01f9 = 0001\r\n&02a5 = 7766 6572 3a6c 7473 6261 656c 3220 312e 2033 314b 2020 2020\r\n");
  std::string status = runUpdate(archive());
  EXPECT_EQ("Update Trilo Firmware: started ... Update step timed out !!!"
            "...assuming BCSP -> try BCSP\n100 percent OK\n*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_EQ("2.14\n", sandbox.read("board/firmware.txt"));
  stop();
}

TEST_F(UpdateTest, RefusedBcspSetUpEndsTheStepWithoutTouchingTheNext) {
  plan("BT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n");
  sandbox.settings("bcsp.refuse_ioctl = 2\n");
  std::string status = runUpdate(archive());
  EXPECT_NE(std::string::npos, status.find("ioctl error TL interface /dev/bcspRel2: 0x05 "));
  EXPECT_NE(std::string::npos, status.find(" NOK\nUpdate skq Software:   started ... 100 percent OK\n"
                                           "*UPDATE_FINISHED* ... NOK\n"))
      << status;
  EXPECT_EQ("NOK", result());
  EXPECT_EQ(std::string::npos, status.find("timed out"));
  stop();
}

TEST_F(UpdateTest, TheExampleUpdateRunsAllSixSteps) {
  std::string status = runUpdate(archive());
  EXPECT_EQ("Version Check:         started ... " + reportHeader +
                row("Trilo Firmware ...", "2.13", "2.14 means stable", true) +
                row("PS-Key         ...", "K1 0107", "K1 0108", true) +
                row("skq Software   ...", "1.0.0", "1.1.0", true) +
                "\n"
                "Read PS-Keys:          started ... OK\n"
                "Compare PS-Keys:       started ... OK\n"
                "Write diff. PS-Keys:   started ... OK\n"
                "Update Trilo Firmware: started ... 100 percent OK\n"
                "Update skq Software:   started ... 100 percent OK\n"
                "*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_EQ("OK", result());
  EXPECT_EQ("2.14\n", sandbox.read("board/firmware.txt"));
  std::string store = sandbox.read("board/module.psr");
  EXPECT_NE(std::string::npos, store.find("&01f9 = 0003\r\n"));
  EXPECT_NE(std::string::npos, store.find("&0003 = 0006\r\n"));
  stop();
}

}  // namespace
