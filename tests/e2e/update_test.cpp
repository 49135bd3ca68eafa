// Whole updates on the simulated board: update_sim as a real process, the
// admin side in the test, archives built by the tests, and the board's files
// (flash, module store, wire trace) checked afterwards.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "sim/virtual_module.h"
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

// The version check's lines in the status file: the old and new texts of
// the firmware, the PS-keys and the software, every part to be updated or none.
std::string versionCheck(const std::vector<std::string>& texts, bool update) {
  const char* const labels[] = {"Trilo Firmware ...", "PS-Key         ...", "skq Software   ..."};
  std::string lines = "Version Check:         started ... " + testsupport::versionReportHeader;
  for (size_t i = 0; i < 3; ++i)
    lines += testsupport::versionRow(labels[i], texts.at(2 * i), texts.at(2 * i + 1), update);
  return lines + "\n";
}

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

struct UpdateTest : ::testing::Test {
  Sandbox sandbox;
  std::unique_ptr<AdminPeer> admin;
  std::unique_ptr<Daemon> daemon;
  std::map<std::string, std::string> package;
  Bytes software = testsupport::patternBytes(196708, 7);
  std::vector<uint8_t> datagram;
  std::string program = "update_sim";

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

  // Starts the daemon and takes its start-up report.
  void launch() {
    daemon = std::make_unique<Daemon>(sandbox, 0.01, program);
    EXPECT_TRUE(admin->waitFor(1026, 0, &datagram, waitSeconds)) << daemon->err();
  }

  // Starts the daemon, puts the archive at /tmp/image and sends the start
  // request.
  void start(const Bytes& image) {
    launch();
    sandbox.write("/tmp/image", image);
    EXPECT_TRUE(admin->sendRequest(1));
  }

  // Runs the update to its first finish line after the start; returns the
  // status file from the first announcement through that line.
  std::string runUpdate(const Bytes& image) {
    start(image);
    std::string status;
    bool finished = testsupport::waitUntil(waitSeconds, [&] {
      status = updatePart();
      return status.find("*UPDATE_FINISHED*") != std::string::npos;
    });
    EXPECT_TRUE(finished) << status << daemon->err();
    size_t end = status.find('\n', status.find("*UPDATE_FINISHED*"));
    return status.substr(0, end + 1);
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
  std::string result() {
    // What is queued now may stem from before the start request, or from
    // the tick whose finish line was seen before its report went out: drop
    // it, and take the next report, which is sent after the update ended.
    std::vector<uint8_t> received;
    for (int drained = 0; drained < 10000 && admin->receive(&received, 0); ++drained) {
    }
    if (!admin->waitFor(1026, 2, &received, waitSeconds)) return "";
    return std::string(received.begin() + 13, received.begin() + 13 + received[12]);
  }

  // The stop request: its reply "b", the daemon's end with status 0, its
  // reason last in the status file and its socket removed.
  void stop() {
    ASSERT_TRUE(admin->sendRequest(3));
    ASSERT_TRUE(admin->waitFor(1025, 3, &datagram, waitSeconds));
    EXPECT_EQ(std::vector<uint8_t>({1, 'b'}), std::vector<uint8_t>(&datagram[12], &datagram[14]));
    EXPECT_EQ(0, daemon->wait(waitSeconds));
    const std::string status = sandbox.read("/tmp/update.log");
    const std::string reason = "Exit because stopped !!\n";
    EXPECT_EQ(status.size() - reason.size(), status.rfind(reason)) << status;
    EXPECT_FALSE(sandbox.exists("/rb_ai_sock2up"));
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

// Every step whose part is current is closed at once, one after the other;
// both key writes hang on the PS-key part.
TEST_F(UpdateTest, EqualVersionsLeaveModuleAndFlashUntouched) {
  plan("CHECK_VERSIONS\nBT_MOD_SET_NEW_WRITE\nBT_MOD_SET_ALL_WRITE\nBT_MOD_SET_FIRM_STACK\n"
       "LAP_SOFTWARE\n");
  package["VERSION"] = "LAP_VERSION=1.0.0\n";
  package["stack.dfu"] = "version=2.13\n";
  // The archive's keys carry the installed firmware 2.13 and configuration 0107.
  std::string& keys = package["pskeyorig.psr"];
  for (auto [from, to] : {std::pair<const char*, const char*>{"3220 312e 2034", "3220 312e 2033"},
                          {"&02a4 = 3130 3830", "&02a4 = 3130 3730"}}) {
    size_t at = keys.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    keys.replace(at, std::strlen(from), to);
  }
  std::string status = runUpdate(archive());
  EXPECT_EQ(versionCheck({"2.13", "2.13 means stable", "K1 0107", "K1 0107", "1.0.0", "1.0.0"},
                         false) +
                "Write diff. PS-Keys:   started ... nothing to do ... OK\n"
                "Write all PS-Keys:     started ... nothing to do ... OK\n"
                "Update Trilo Firmware: started ... nothing to do ... OK\n"
                "Update skq Software:   started ... nothing to do ... OK\n"
                "*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_EQ("OK", result());
  EXPECT_TRUE(flashErased());
  EXPECT_FALSE(sandbox.exists("board/wire.log"));  // the module was never touched
  stop();
}

TEST_F(UpdateTest, TheExampleUpdateRunsAllSixSteps) {
  std::string status = runUpdate(archive());
  EXPECT_EQ(versionCheck({"2.13", "2.14 means stable", "K1 0107", "K1 0108", "1.0.0", "1.1.0"},
                         true) +
                "Read PS-Keys:          started ... OK\n"
                "Compare PS-Keys:       started ... OK\n"
                "Write diff. PS-Keys:   started ... OK\n"
                "Update Trilo Firmware: started ... 100 percent OK\n"
                "Update skq Software:   started ... 100 percent OK\n"
                "*UPDATE_FINISHED* ... OK\n",
            status);
  EXPECT_EQ("OK", result());
  Bytes image = testsupport::wrapImage(software, "Linux skq 1.1.0");
  EXPECT_EQ(image, flashAt(imageStart, image.size()));
  EXPECT_FALSE(sandbox.exists("/tmp/image"));
  EXPECT_FALSE(sandbox.exists("/tmp/image1"));
  EXPECT_EQ("2.14\n", sandbox.read("board/firmware.txt"));
  // On the serial link exactly the differing keys, then the host-interface
  // set that switches the module to BCSP; the set that brings it back goes
  // out on the BCSP node.
  EXPECT_EQ((std::vector<std::string>{"0003", "0025", "0240", "02a4", "02a5", "01a5", "01a6",
                                      "01f9", "0191"}),
            serialSetKeys(sandbox.read("board/wire.txt")));
  EXPECT_EQ("4", countLines(sandbox.read("board/wire.txt"), " bcspRel2 > BCCMD SET &"));
  // The store holds the new configuration, comments stripped, and the
  // module is back on serial.
  std::string store = sandbox.read("board/module.psr");
  for (const char* line : {"&01f9 = 0003\r\n", "&0003 = 0006\r\n", "&0025 = 0800\r\n",
                           "&0240 = 0001\r\n", "&02a4 = 3130 3830 6664 746c\r\n"})
    EXPECT_NE(std::string::npos, store.find(line)) << line;
  stop();
  EXPECT_NE(std::string::npos, daemon->out().find("100 percent \n"));
}

// No process of a download tool outlives the daemon, whichever way it ends,
// also when the tool and what it started shrug off SIGTERM.
TEST_F(UpdateTest, EndDuringTheDownloadLeavesNoToolBehind) {
  plan("BT_MOD_SET_FIRM_STACK\n");
  package["dfu"] = "#!/bin/sh\ntrap '' TERM\n/bin/sleep 100000 &\necho $! > ../helper.pid\n"
                   "echo $$ > ../tool.pid\nwait\n";
  // Gone, or ended and waiting for its parent's look.
  auto gone = [](const std::string& pid) {
    const std::string stat = testsupport::readFile("/proc/" + pid + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
  };
  for (bool byStopRequest : {false, true}) {
    SCOPED_TRACE(byStopRequest ? "stop request" : "SIGTERM");
    start(archive());
    std::string tool, helper;
    ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] {
      tool = sandbox.read("/tmp/tool.pid");
      helper = sandbox.read("/tmp/helper.pid");
      return tool.size() > 1 && tool.back() == '\n' && helper.size() > 1 && helper.back() == '\n';
    })) << daemon->err();
    tool.pop_back();
    helper.pop_back();
    ASSERT_FALSE(gone(tool) || gone(helper));
    if (byStopRequest) {
      ASSERT_TRUE(admin->sendRequest(3));
    } else {
      daemon->signal(SIGTERM);
    }
    EXPECT_EQ(0, daemon->wait(waitSeconds));
    EXPECT_NE(std::string::npos, daemon->err().find("download tool (pid " + tool + ") stopped\n"));
    EXPECT_TRUE(testsupport::waitUntil(waitSeconds, [&] { return gone(tool) && gone(helper); }));
    ::remove(sandbox.path("/tmp/tool.pid").c_str());
    ::remove(sandbox.path("/tmp/helper.pid").c_str());
  }
}

// ---- the fault matrix --------------------------------------------------------
//
// One row per fault: the board and package it needs, what the admin side
// does while the update runs, and how the update must end. One daemon per
// row. The status text is what the update wrote from its start request up
// to its finish line, matched with fnmatch: "?" stands for any character
// (a progress figure that depends on timing), "*" for any run of them.

enum class Flash { Untouched, Written, Any };

struct FaultMatrix;
struct FaultRow {
  const char* name;
  const char* plan;      // updatetodo.txt
  const char* settings;  // board/settings
  std::string status;
  const char* result;
  Flash flash = Flash::Untouched;
  std::vector<std::string> store = {};  // lines module.psr holds ("!" first: must not hold);
                                        // none: the store as the module powered up
  const char* firmware = nullptr;       // board/firmware.txt; null: not looked at
  void (*prepare)(FaultMatrix&) = nullptr;  // after start-up, before the archive is built
  void (*during)(FaultMatrix&) = nullptr;   // once the start request is taken
  void (*check)(FaultMatrix&) = nullptr;    // what else the row must show
};
void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

struct FaultMatrix : UpdateTest, ::testing::WithParamInterface<FaultRow> {
  bool imagePlaced = false;  // prepare put its own /tmp/image (or none)

  void placeImage(const Bytes& image) {
    sandbox.write("/tmp/image", image);
    imagePlaced = true;
  }
  size_t statusSize() const { return sandbox.read("/tmp/update.log").size(); }
  void send(const std::vector<uint8_t>& message) { EXPECT_TRUE(admin->send(message)); }
  size_t serialSets() const { return serialSetKeys(sandbox.read("board/wire.txt")).size(); }
};

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

const std::string finishLine = "*UPDATE_FINISHED* ... ";
const std::string softwareOk = "Update skq Software:   started ... 100 percent OK\n";
const std::string firmware = "Update Trilo Firmware: started ... ";
const std::string readKeys = "Read PS-Keys:          started ... ";
const std::string writeAll = "Write all PS-Keys:     started ... ";
const char* const readCompareWrite = "BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n";
const std::string compared = readKeys + "OK\nCompare PS-Keys:       started ... ";
const std::string timedOut = "Update step timed out !!!";
const std::string ioctlRefused = "ioctl error TL interface /dev/bcspRel2: 0x05 Input/output error";
const std::string serial = "&01f9 = 0003\r\n";  // the module answers on the serial link
const std::string bcsp = "&01f9 = 0001\r\n";    // it will answer on BCSP after a reset
const char* const firmwareAndSoftware = "BT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n";
const std::vector<uint8_t> unknownMessage = testsupport::aiMessage(12, 99, {0, 0, 0, 0});
const std::string setBack = timedOut + "module answered on BCSP: serial host interface set back\n";

// The store of a module that an update left on BCSP, cut off after its
// serial host-interface set.
void storeOnBcsp(FaultMatrix& t) {
  std::string store = sim::vmodule::formatStore(sim::vmodule::defaultStore());
  t.sandbox.write("board/module.psr", store.replace(store.find(serial), serial.size(), bcsp));
}

// clang-format off
const FaultRow faultRows[] = {
    // An update started long after start-up: idle finish lines fill the file.
    {"StatusFilePastTenThousandBytes", "LAP_SOFTWARE\n", "", softwareOk, "OK", Flash::Written, {},
     nullptr, [](FaultMatrix& t) { t.sandbox.write("/tmp/update.log", repeat(finishLine + "OK\n", 600)); },
     nullptr, [](FaultMatrix& t) {
       EXPECT_EQ(0u, t.sandbox.read("/tmp/update.log").find(repeat(finishLine + "OK\n", 600)));
     }},
    {"TextAfterAProgressFigure", "BT_MOD_SET_FIRM_STACK\n", "dfu.delay = 0.2\n",
     firmware + "??? percent unknown message from socket \n100 percent OK\n", "OK",
     Flash::Untouched, {serial}, "2.14\n", nullptr, [](FaultMatrix& t) {
       ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] {
         return t.sandbox.read("/tmp/update.log").find(" percent ") != std::string::npos;
       }));
       t.send(unknownMessage);
     }},
    {"RejectedArchive", "LAP_SOFTWARE\n", "", "Bad Data Checksum\n", "NOK", Flash::Untouched, {},
     nullptr, [](FaultMatrix& t) {
       Bytes image = t.archive();
       image[200] ^= 0x40;
       t.placeImage(image);
     }},
    {"MissingArchive", "LAP_SOFTWARE\n", "",
     "File opening error for file :/tmp/image errno = 2 No such file or directory \n", "NOK",
     Flash::Untouched, {}, nullptr, [](FaultMatrix& t) { t.imagePlaced = true; }},
    {"FifoAtTheArchivePath", "LAP_SOFTWARE\n", "", "/tmp/image is not a regular file\n", "NOK",
     Flash::Untouched, {}, nullptr, [](FaultMatrix& t) {
       ASSERT_EQ(0, ::mkfifo(t.sandbox.path("/tmp/image").c_str(), 0644));
       t.imagePlaced = true;
     }},
    {"PackageThatDoesNotUnpack", "LAP_SOFTWARE\n", "",
     "command \" -gunzip /tmp/image1.gz\" failed (status 256): package /tmp/image1.gz not unpacked\n",
     "NOK", Flash::Untouched, {}, nullptr, [](FaultMatrix& t) {
       t.placeImage(testsupport::buildArchive(Bytes(100, 'x'), testsupport::wrapImage(t.software)));
     }},
    {"PackageWithoutPlan", "", "",
     "open error file /tmp/update.d/updatetodo.txt: 0x02 No such file or directory", "NOK",
     Flash::Untouched, {}, nullptr, [](FaultMatrix& t) { t.package.erase("updatetodo.txt"); }},
    {"TmpFullDuringTheUnpack", "LAP_SOFTWARE\n", "fs.full = /tmp/\n",
     "File opening error for file :/tmp/image1.gz!\n", "NOK"},
    {"PlanOfFreeTextOnly", "# nothing to do\nUPDATE EVERYTHING\n", "", "", "OK", Flash::Untouched,
     {}, nullptr, nullptr, nullptr, [](FaultMatrix& t) {
       EXPECT_NE(std::string::npos, t.daemon->err().find(
           "/tmp/update.d/updatetodo.txt: line names no step, ignored: UPDATE EVERYTHING\n"));
     }},
    // The new package has no VERSION: each lookup there fails, and the new
    // software version is not found.
    {"FilesOfAnEarlierPackage", "CHECK_VERSIONS\nLAP_SOFTWARE\n", "",
     "Version Check:         started ... OK\n*\n   skq Software   ...  1.0.0                   "
     "not found                  yes             \n" + softwareOk, "OK", Flash::Written, {},
     nullptr, [](FaultMatrix& t) {
       ::mkdir(t.sandbox.path("/tmp/update.d").c_str(), 0755);
       t.sandbox.write("/tmp/update.d/VERSION", "LAP_VERSION=1.0.0\n");
       t.package.erase("VERSION");
     }},
    {"SetRefusedByTheModule", readCompareWrite, "module.fail_keys = 0x0003\n",
     compared + "OK\nWrite diff. PS-Keys:   started ... "
     "PS-Key 0x0003 refused by the module (BCCMD status 0x0008)\n NOK\n", "NOK",
     Flash::Untouched, {"&0025 = 0800\r\n", "!&0003 = 0006"}},
    {"KeyLineRefused", "BT_MOD_SET_ALL_WRITE\n", "",
     writeAll + "PS-Key line refused (more than 40 words or not hex): &0300 = 00zz\n NOK\n", "NOK",
     Flash::Untouched, {"&0240 = 0001\r\n"}, nullptr,
     [](FaultMatrix& t) { t.package["pskeyorig.psr"] += "&0300 = 00zz\r\n"; }},
    {"DumpLineNotWritten", "BT_MOD_SET_READ\n", "fs.full = /tmp/pskeydump.psr\n",
     readKeys + repeat("open error file /tmp/pskeydump.psr: 0x1c No space left on device", 28) +
     " NOK\n", "NOK"},
    // The dump is read-only after the key walk, as it is to an ordinary user;
    // the dump lines of SET answers are traces and decide nothing.
    {"ReadOnlyDumpAfterTheWalk", "BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n"
     "BT_MOD_SET_FIRM_STACK\n", "fs.modes_enforced = 1\n", compared + "OK\nWrite diff. PS-Keys:   "
     "started ... OK\n" + firmware + "100 percent OK\n", "OK", Flash::Untouched,
     {"&0003 = 0006\r\n", serial}, "2.14\n", nullptr, nullptr, [](FaultMatrix& t) {
       EXPECT_EQ("13", countLines(t.daemon->err(), "dump line of a SET answer not appended to "
                                                   "/tmp/pskeydump.psr: 0x0d Permission denied"));
     }},
    {"WriteSetNotWritten", readCompareWrite, "fs.full = /tmp/pskeytoset.psr\n",
     compared + "open error file /tmp/pskeytoset.psr: 0x1c No space left on device NOK\n"
     "Write diff. PS-Keys:   started ... nothing to do ... OK\n", "NOK", Flash::Untouched, {},
     nullptr, nullptr, nullptr,
     [](FaultMatrix& t) { EXPECT_FALSE(t.sandbox.exists("/tmp/pskeycomp.psr")); }},
    {"PackageWithoutKeyFile", "BT_MOD_SET_ALL_WRITE\n", "", writeAll + "open error file "
     "/tmp/update.d/pskeyorig.psr: 0x02 No such file or directory NOK\n", "NOK", Flash::Untouched,
     {}, nullptr, [](FaultMatrix& t) { t.package.erase("pskeyorig.psr"); }, nullptr,
     [](FaultMatrix& t) { EXPECT_FALSE(t.sandbox.exists("board/wire.log")); }},
    // A comment line with a NUL byte once took the key line after it along.
    {"NulByteInAKeyFile", readCompareWrite, "", compared + "/tmp/update.d/pskeyorig.psr line 6: "
     "NUL byte, key file refused\n NOK\nWrite diff. PS-Keys:   started ... nothing to do ... OK\n",
     "NOK", Flash::Untouched, {}, nullptr, [](FaultMatrix& t) {
       std::string& keys = t.package["pskeyorig.psr"];
       keys.replace(keys.find("&0011 = 0019"), 12, "// scan" + std::string(1, '\0') +
                                                      " interval\r\n&0011 = 0020");
     }, nullptr, [](FaultMatrix& t) { EXPECT_FALSE(t.sandbox.exists("/tmp/pskeyprep.psr")); }},
    {"BcspSetNotAnsweredAfterTheDownload", firmwareAndSoftware, "module.reset_ignored = 1\n",
     firmware + "??? percent " + timedOut +
     "module host interface not restored: no answer on /dev/bcspRel2\n NOK\n" + softwareOk, "NOK",
     Flash::Written, {bcsp}, "2.14\n"},
    {"FailedDownloadAndRefusedBcspSetUp", firmwareAndSoftware,
     "dfu.result = fail\nbcsp.refuse_ioctl = 2\n",
     firmware + "??? percent dfu: *" + ioctlRefused + " NOK\n", "NOK", Flash::Untouched, {bcsp},
     "2.13\n"},
    {"ModuleSlowerThanTheAlarm", "BT_MOD_SET_READ\n", "module.delay_ms = 10500\n",
     readKeys + timedOut + " NOK\n", "NOK"},
    {"StrayAnswerAfterTheLastGet", "BT_MOD_SET_READ\n", "module.duplicate_answer = 1025\n",
     readKeys + "OK\n", "OK", Flash::Untouched, {}, nullptr, nullptr, nullptr, [](FaultMatrix& t) {
       EXPECT_EQ("1024", countLines(t.sandbox.read("board/wire.txt"), " cfUaB0   > BCCMD GET key "));
     }},
    {"StrayAnswerAfterTheSerialKeySet", "BT_MOD_SET_FIRM_STACK\n", "module.duplicate_answer = 4\n",
     firmware + "100 percent OK\n", "OK", Flash::Untouched, {serial}, "2.14\n", nullptr, nullptr,
     [](FaultMatrix& t) { EXPECT_EQ(4u, t.serialSets()); }},
    {"ChildDeadNoticeForPidZero", "BT_MOD_SET_FIRM_STACK\n", "", firmware + "100 percent OK\n",
     "OK", Flash::Untouched, {serial}, "2.14\n", nullptr,
     [](FaultMatrix& t) { t.send(testsupport::aiMessage(16, 12, {0, 0, 0, 0, 0, 1, 0, 0})); }},
    {"SecondReadAfterATimeOut", "BT_MOD_SET_READ\nBT_MOD_SET_READ\n", "module.drop_request = 101\n",
     readKeys + timedOut + " NOK\n" + readKeys + "OK\n", "NOK", Flash::Untouched, {}, nullptr,
     nullptr, nullptr, [](FaultMatrix& t) {
       EXPECT_EQ(t.sandbox.read("board/module.psr"), t.sandbox.read("/tmp/pskeydump.psr"));
     }},
    {"SecondWriteAllAfterATimeOut", "BT_MOD_SET_ALL_WRITE\nBT_MOD_SET_ALL_WRITE\n",
     "module.drop_request = 5\n", writeAll + timedOut + " NOK\n" + writeAll + "OK\n", "NOK",
     Flash::Untouched, {"&0240 = 0001\r\n"}, nullptr, nullptr, nullptr,
     [](FaultMatrix& t) { EXPECT_EQ(4u + 29u, t.serialSets()); }},
    {"FirmwareVersionKeyMissing", "CHECK_VERSIONS\n", "",
     versionCheck({"2.13", "not found", "K1 0107", "not found 0108", "1.0.0", "1.1.0"}, true),
     "OK", Flash::Untouched, {},
     nullptr, [](FaultMatrix& t) {
       std::string& keys = t.package["pskeyorig.psr"];
       keys.erase(keys.find("&02a5"), keys.find('\n', keys.find("&02a5")) + 1 - keys.find("&02a5"));
     }},
    {"ReferenceKeysOutOfOrder", readCompareWrite, "",
     compared + "key line &0001 of /tmp/pskeyprep.psr is not above the one before it (&0001): "
     "comparison stopped\n NOK\nWrite diff. PS-Keys:   started ... nothing to do ... OK\n", "NOK",
     Flash::Untouched, {}, nullptr,
     [](FaultMatrix& t) { t.package["pskeyorig.psr"] = repeat("&0001 = 0000\r\n", 2000); }},
    // A tool whose status log comes late and runs long.
    {"DownloadLogMissingThenLong", "BT_MOD_SET_FIRM_STACK\n", "", firmware + "100 percent OK\n",
     "OK", Flash::Untouched, {serial}, nullptr, [](FaultMatrix& t) {
       t.package["dfu"] = "#!/bin/sh\n/bin/sleep 0.1\nline=\"$(printf '%0400d' 0)\"\n"
                          "echo \" 50 $line\" > ../dfu_status.log\n/bin/sleep 0.1\n"
                          "echo \"100 $line\" > ../dfu_status.log\n";
     }},
    // Package files that are no regular files are refused, not waited on or
    // read forever; the tool gets descriptors 0 to 2 alone (3 is the listing's).
    {"PlanThatIsAFifo", "", "", "/tmp/update.d/updatetodo.txt is not a regular file\n", "NOK",
     Flash::Untouched, {}, nullptr,
     [](FaultMatrix& t) { t.package["updatetodo.txt"] = testsupport::fifoEntry; }},
    {"ToolErrorLogLinkedToDevZero", firmwareAndSoftware, "",
     firmware + "*/tmp/dfu_error.log is not a regular file\n*NOK\n nothing done... try again\n",
     "NOK", Flash::Untouched, {serial}, "2.13\n", [](FaultMatrix& t) {
       t.package["dfu"] = "#!/bin/sh\n/bin/ls /proc/self/fd > ../fds.txt\n"
                          "/bin/ln -s /dev/zero ../dfu_error.log\nexit 1\n";
     }, nullptr, [](FaultMatrix& t) { EXPECT_EQ("0\n1\n2\n3\n", t.sandbox.read("/tmp/fds.txt")); }},
    // A tool that never ends and shrugs off SIGTERM.
    {"DownloadWithoutProgress", firmwareAndSoftware, "",
     firmware + "*download made no progress for 300 s: download tool (pid *) stopped\n*"
     "NOK\n nothing done... try again\n", "NOK", Flash::Untouched, {serial}, "2.13\n",
     [](FaultMatrix& t) {
       t.package["dfu"] = "#!/bin/sh\ntrap '' TERM\necho ' 10' > ../dfu_status.log\n"
                          "while :; do /bin/sleep 1; done\n";
     }},
    // Faults that already ended as they should.
    {"SilentModule", "BT_MOD_SET_READ\nLAP_SOFTWARE\n", "module.silent = 1\n",
     readKeys + timedOut + timedOut + "module not found on BCSP either\n NOK\n" + softwareOk, "NOK",
     Flash::Written},
    // The re-run of an update cut off while the store selected BCSP: each
    // module step finds the module there, sets it back to serial and goes on.
    {"ExampleUpdateOnAModuleLeftOnBcsp", "", "", versionCheck({"2.13", "2.14 means stable",
     "K1 0107", "K1 0108", "1.0.0", "1.1.0"}, true) + readKeys + setBack + "OK\nCompare PS-Keys: "
     "      started ... OK\nWrite diff. PS-Keys:   started ... OK\n" + firmware + "100 percent OK\n" +
     softwareOk, "OK", Flash::Written, {serial, "&0240 = 0001\r\n"}, "2.14\n", [](FaultMatrix& t) {
       t.package["updatetodo.txt"] = sourceFile("examples/package/updatetodo.txt");
       storeOnBcsp(t);
     }, nullptr, [](FaultMatrix& t) {
       const std::string wire = t.sandbox.read("board/wire.txt");
       EXPECT_EQ((std::vector<std::string>{"0003", "0025", "0240", "02a4", "02a5", "01a5", "01a6",
                                           "01f9", "0191"}), serialSetKeys(wire));
       EXPECT_EQ("8", countLines(wire, " bcspRel2 > BCCMD SET &"));
     }},
    {"WriteAllOnAModuleLeftOnBcsp", "BT_MOD_SET_ALL_WRITE\n", "", writeAll + setBack + "OK\n", "OK",
     Flash::Untouched, {serial, "&0240 = 0001\r\n"}, nullptr, storeOnBcsp},
    {"NewWriteOnAModuleLeftOnBcsp", "BT_MOD_SET_NEW_WRITE\n", "", "Write diff. PS-Keys:   started "
     "... " + setBack + "OK\n", "OK", Flash::Untouched, {serial, "&0240 = 0001\r\n"}, nullptr,
     [](FaultMatrix& t) {
       storeOnBcsp(t);
       t.sandbox.write("/tmp/pskeytoset.psr", "&0240 = 0001\r\n");
     }},
    {"GetsRefusedForSomeKeys", "BT_MOD_SET_READ\n", "module.fail_keys = 0x0003,0x0191\n",
     readKeys + "OK\n", "OK", Flash::Untouched, {}, nullptr, nullptr, nullptr, [](FaultMatrix& t) {
       std::string dump = t.sandbox.read("/tmp/pskeydump.psr");
       EXPECT_EQ(std::string::npos, dump.find("&0003 ="));
       EXPECT_EQ(std::string::npos, dump.find("&0191 ="));
       EXPECT_NE(std::string::npos, dump.find("&0002 = 0000\r\n&0011 = 0019\r\n"));
     }},
    {"FailedDownload", firmwareAndSoftware, "dfu.result = fail\n",
     firmware + "??? percent dfu: download of /tmp/update.d/stack.dfu failed\ndfu: transfer broken off after "
     "50 percent: block 37 not acknowledged\ndfu: the module stays in its loader until the next "
     "reset\ndfu: the module keeps its firmware 2.13\n 50 percent NOK\n nothing done... try again\n",
     "NOK", Flash::Untouched, {serial}, "2.13\n", nullptr, nullptr, [](FaultMatrix& t) {
       // The tool's error log goes to the console as well.
       EXPECT_NE(std::string::npos, t.daemon->out().find("dfu: transfer broken off after 50"));
     }},
    {"KilledDownload", firmwareAndSoftware, "dfu.result = kill\n",
     firmware + "??? percent open error file /tmp/dfu_error.log: 0x02 No such file or directory "
     "25 percent NOK\n nothing done... try again\n", "NOK", Flash::Untouched, {serial}, "2.13\n"},
    {"ModuleAlreadyOnBcsp", "BT_MOD_SET_FIRM_STACK\n", "",
     firmware + timedOut + "...assuming BCSP -> try BCSP\n100 percent OK\n", "OK",
     Flash::Untouched, {serial}, "2.14\n", [](FaultMatrix& t) {
       t.sandbox.write("board/module.psr", bcsp + "&02a5 = 7766 6572 3a6c 7473 6261 656c 3220 "
                                                  "312e 2033 314b 2020 2020\r\n");
     }},
    {"RefusedBcspSetUpAfterAGoodDownload", firmwareAndSoftware, "bcsp.refuse_ioctl = 2\n",
     firmware + "??? percent " + ioctlRefused + " NOK\n" + softwareOk, "NOK", Flash::Written,
     {bcsp}, "2.14\n"},
    // An image of exactly the space there is: too large.
    {"ImageTooLargeForTheFlash", "LAP_SOFTWARE\n", "",
     "Update skq Software:   started ... Not enough space (1900544 Bytes) in flash to write lap "
     "image with 1900544 Bytes!\n NOK\n", "NOK", Flash::Untouched, {}, nullptr,
     [](FaultMatrix& t) { t.software = testsupport::patternBytes(0x1D0000 - 64, 3); }},
    {"FlashWriteRefused", "LAP_SOFTWARE\n", "flash.write_fails_at = 0x30000\n",
     "Update skq Software:   started ...   0 percent write failed errno: 5 Input/output error\n"
     " NOK\n", "NOK", Flash::Any},
};
// clang-format on

TEST_P(FaultMatrix, EndsAsItShould) {
  const FaultRow& fault = GetParam();
  plan(fault.plan);
  sandbox.settings(fault.settings);
  launch();
  if (fault.prepare != nullptr) fault.prepare(*this);
  const Bytes image = testsupport::wrapImage(software, "Linux skq 1.1.0");
  if (!imagePlaced) placeImage(archive());

  // The status request behind the start request is answered once the start
  // is taken: finish lines before that point are the idle ones before it.
  const size_t before = statusSize();
  ASSERT_TRUE(admin->sendRequest(1));
  ASSERT_TRUE(admin->sendRequest(0));
  ASSERT_TRUE(admin->waitFor(1025, 0, &datagram, waitSeconds));
  const size_t taken = statusSize();
  if (fault.during != nullptr) fault.during(*this);

  std::string status;
  size_t finish = std::string::npos;
  ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] {
    status = sandbox.read("/tmp/update.log");
    finish = status.size() < taken ? std::string::npos : status.find(finishLine, taken);
    return finish != std::string::npos && status.find('\n', finish) != std::string::npos;
  })) << status.substr(std::min(before, status.size())) << daemon->err();
  std::string written = status.substr(before, taken - before);
  for (size_t at; (at = written.find(finishLine + "OK\n")) != std::string::npos;)
    written.erase(at, finishLine.size() + 3);
  written += status.substr(taken, finish - taken);
  EXPECT_EQ(0, ::fnmatch(fault.status.c_str(), written.c_str(), 0))
      << "expected: " << fault.status << "\nwritten:  " << written;
  EXPECT_EQ(finishLine + fault.result + "\n",
            status.substr(finish, status.find('\n', finish) + 1 - finish));
  EXPECT_EQ(fault.result, result());

  if (fault.flash == Flash::Untouched) {
    EXPECT_FALSE(sandbox.exists("board/flash.log"));
  } else if (fault.flash == Flash::Written) {
    EXPECT_EQ(image, flashAt(imageStart, image.size()));
  }
  const std::string store = sandbox.read("board/module.psr");
  if (fault.store.empty()) {
    const std::string powerUp = sim::vmodule::formatStore(sim::vmodule::defaultStore());
    EXPECT_TRUE(store.empty() || store == powerUp) << store;
  }
  for (const std::string& line : fault.store) {
    const bool absent = line[0] == '!';
    EXPECT_EQ(absent, store.find(line.substr(absent ? 1 : 0)) == std::string::npos) << line;
  }
  if (fault.firmware != nullptr) {
    EXPECT_EQ(fault.firmware, sandbox.read("board/firmware.txt"));
  }
  if (fault.check != nullptr) fault.check(*this);
  daemon->signal(SIGTERM);
  EXPECT_EQ(0, daemon->wait(waitSeconds));
  EXPECT_FALSE(sandbox.exists("/rb_ai_sock2up"));
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(faultRows),
                         [](const ::testing::TestParamInfo<FaultRow>& row) {
                           return std::string(row.param.name);
                         });

// Signed archives: update_sim_signed trusts tests/keys/test-signing-key.pem
// alone, update_sim no key. Archives are signed by update_image.
struct SignedRow {
  const char* name;
  const char* program;
  const char* key;     // tests/keys/NAME.pem to sign with; nullptr: unsigned
  uint32_t flipped;    // sub-image with a byte flipped after signing (checksums fixed); 0: none
  std::string status;  // from the start on (fnmatch); a refusal: also the start reply's text
};
void PrintTo(const SignedRow& row, std::ostream* out) { *out << row.name; }

struct SignedArchive : UpdateTest, ::testing::WithParamInterface<SignedRow> {
  Bytes sign(const Bytes& image, const char* key, std::string* keyId = nullptr) {
    sandbox.write("/tmp/unsigned.img", image);
    testsupport::Process tool(sandbox, "update_image", {"sign", sandbox.path("/tmp/unsigned.img"),
        "--key", std::string(UPDATE_SOURCE_DIR) + "/tests/keys/" + key + ".pem", "-o",
        sandbox.path("/tmp/signed.img")});
    EXPECT_EQ(0, tool.wait(waitSeconds)) << tool.err();
    if (keyId != nullptr) *keyId = tool.out().substr(tool.out().size() - 17, 16);
    return testsupport::readBytes(sandbox.path("/tmp/signed.img"));
  }
};

// Flips a byte in sub-image k (the last, the software image, gets its own
// checksums fixed) and fixes the archive's.
void flipByte(Bytes& image, uint32_t k) {
  uint32_t count = 0;
  while (testsupport::readBe32(image, 64 + 4 * count) != 0) ++count;
  size_t offset = 64 + 4 * (count + 1);
  for (uint32_t i = 0; i < k; ++i) offset += (testsupport::readBe32(image, 64 + 4 * i) + 3) / 4 * 4;
  Bytes sub(image.begin() + offset, image.begin() + offset + testsupport::readBe32(image, 64 + 4 * k));
  sub[100] ^= 0x01;
  if (k + 1 == count) testsupport::resealImage(sub);
  std::copy(sub.begin(), sub.end(), image.begin() + offset);
  testsupport::resealImage(image);
}

const char* const trusted = "test-signing-key";
const SignedRow signedRows[] = {
    {"SignedByTheTrustedKey", "update_sim_signed", trusted, 0, softwareOk},
    {"SignedOnABoardWithoutKeys", "update_sim", "test-unknown-key", 0, softwareOk},
    {"Unsigned", "update_sim_signed", nullptr, 0, "archive not signed\n"},
    {"SignedByAnUnknownKey", "update_sim_signed", "test-unknown-key", 0,
     "archive signed by an unknown key KEY\n"},
    {"PackageChangedAfterSigning", "update_sim_signed", trusted, 1,
     "archive signature does not match\n"},
    {"SoftwareChangedAfterSigning", "update_sim_signed", trusted, 3,
     "archive signature does not match\n"},
    // Replaced by another signed archive while the firmware is downloaded.
    {"ArchiveSwappedBeforeTheSoftwareStep", "update_sim_signed", trusted, 0,
     firmware + "100 percent OK\nUpdate skq Software:   started ... software image is not the "
     "one verified at the start; flash not written\n NOK\n"},
};

TEST_P(SignedArchive, TakenOnlyAsSigned) {
#if !defined(UPDATE_IMAGE_BUILT) || !defined(UPDATE_SIM_SIGNED_BUILT)
  GTEST_SKIP() << "update_image or update_sim_signed is not built for this target";
#endif
  const SignedRow& row = GetParam();
  const bool swap = row.status.find("verified at the start") != std::string::npos;
  const bool refused = row.status.find("archive ") == 0;
  program = row.program;
  plan(swap ? "BT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n" : "LAP_SOFTWARE\n");
  sandbox.settings(swap ? "dfu.delay = 0.2\n" : "");
  const Bytes image = testsupport::wrapImage(software, "Linux skq 1.1.0");
  software[5] ^= 0x01;
  const Bytes other = sign(archive(), trusted);
  software[5] ^= 0x01;
  std::string keyId, expected = row.status;
  Bytes placed = row.key != nullptr ? sign(archive(), row.key, &keyId) : archive();
  if (row.flipped != 0) flipByte(placed, row.flipped);
  if (expected.find("KEY") != std::string::npos) expected.replace(expected.find("KEY"), 3, keyId);

  launch();
  sandbox.write("/tmp/image", placed);
  const size_t before = sandbox.read("/tmp/update.log").size();
  ASSERT_TRUE(admin->sendRequest(1));
  ASSERT_TRUE(admin->sendRequest(0));
  if (refused) {
    ASSERT_TRUE(admin->waitFor(1025, 1, &datagram, waitSeconds));
    EXPECT_EQ(expected + '\0', std::string(&datagram[13], &datagram[13] + datagram[12]));
  }
  ASSERT_TRUE(admin->waitFor(1025, 0, &datagram, waitSeconds));
  const size_t taken = sandbox.read("/tmp/update.log").size();
  if (swap) {
    ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] {
      return sandbox.read("/tmp/update.log").find(" percent ", taken) != std::string::npos;
    }));
    sandbox.write("/tmp/image.new", other);
    ASSERT_EQ(0, ::rename(sandbox.path("/tmp/image.new").c_str(), sandbox.path("/tmp/image").c_str()));
  }
  std::string status;
  size_t finish = std::string::npos;
  ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] {
    status = sandbox.read("/tmp/update.log");
    finish = status.find(finishLine, taken);
    return finish != std::string::npos && status.find('\n', finish) != std::string::npos;
  })) << status << daemon->err();
  std::string written = status.substr(before, taken - before);
  for (size_t at; (at = written.find(finishLine + "OK\n")) != std::string::npos;)
    written.erase(at, finishLine.size() + 3);
  written += status.substr(taken, finish - taken);
  EXPECT_EQ(0, ::fnmatch(expected.c_str(), written.c_str(), 0)) << expected << "\n" << written;
  const bool ok = expected == softwareOk;
  EXPECT_EQ(ok ? "OK" : "NOK", result());
  EXPECT_EQ(ok, sandbox.exists("board/flash.log"));
  if (ok) {
    EXPECT_EQ(image, flashAt(imageStart, image.size()));
  }
  EXPECT_EQ(!refused, sandbox.exists("/tmp/update.d"));  // nothing unpacked from a refused one
  daemon->signal(SIGTERM);
  EXPECT_EQ(0, daemon->wait(waitSeconds));
}

INSTANTIATE_TEST_SUITE_P(Signed, SignedArchive, ::testing::ValuesIn(signedRows),
                         [](const ::testing::TestParamInfo<SignedRow>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
