// The shipped update_process as a device runs it: installed by
// `cmake --install` into a root of its own and started there by
// scripts/run_in_device_root.sh (a private user and mount namespace, a tmpfs
// /tmp, the host's sh, gzip, tar, rm and cat, no board device), with the
// admin side in the test. Where such namespaces cannot be made, the tests
// are skipped and say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "test_support.h"

namespace {

using testsupport::AdminPeer;
using testsupport::Bytes;
using testsupport::Process;
using testsupport::Sandbox;
using testsupport::word32;

constexpr double waitSeconds = 90;  // generous: emulated and sanitizer lanes
const Bytes hello = {0x2F, 0x78, 0x30, 0x41, 0x54, 0x30, 0x78, 0x30, 0x44, 0x6F};

std::string sourcePath(const std::string& relative) {
  return std::string(UPDATE_SOURCE_DIR) + "/" + relative;
}

// Every file and folder under dir as "path mode", folders ending in "/".
std::vector<std::string> listTree(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o",
                  static_cast<unsigned>(entry.symlink_status().permissions()));
    std::string path = fs::relative(entry.path(), dir).string();
    tree.push_back(path + (entry.is_directory() ? "/ " : " ") + mode);
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

bool exists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}

// The 64-byte reply or report: type, code and payload.
void expectReply(const Bytes& datagram, uint32_t type, uint32_t code, const Bytes& payload) {
  ASSERT_EQ(64u, datagram.size());
  EXPECT_EQ(type, word32(datagram, 4));
  EXPECT_EQ(code, word32(datagram, 8));
  ASSERT_EQ(payload.size(), datagram[12]);
  EXPECT_EQ(payload, Bytes(datagram.begin() + 13, datagram.begin() + 13 + datagram[12]));
}

struct ShippedDaemon : ::testing::Test {
  Sandbox sandbox;
  std::string root = sandbox.path("root");  // the daemon's "/"
  std::unique_ptr<AdminPeer> admin;
  std::unique_ptr<Process> daemon;
  Bytes datagram;

  void SetUp() override {
    Process probe(sandbox, {"/bin/sh", sourcePath("scripts/run_in_device_root.sh"), "--probe"});
    if (probe.wait(waitSeconds) != 0) {
      std::string reason = probe.out();
      while (!reason.empty() && reason.back() == '\n') reason.pop_back();
      GTEST_SKIP() << "not run: the shipped daemon needs a private user and mount namespace, "
                   << "which cannot be made here (" << reason << ")";
    }

    Process install(sandbox,
                    {UPDATE_CMAKE_COMMAND, "--install", UPDATE_BUILD_DIR, "--prefix", root,
                     "--component", "device_root"});
    ASSERT_EQ(0, install.wait(waitSeconds)) << install.out() << install.err();
    ASSERT_EQ((std::vector<std::string>{"bin/ 0755", "bin/-gunzip 0755", "bin/-rm 0755",
                                        "bin/-tar 0755", "sbin/ 0755", "sbin/update_process 0755"}),
              listTree(root));

    std::filesystem::create_directory(root + "/etc");
    testsupport::writeFile(root + "/etc/data.txt",
                           testsupport::readFile(sourcePath("examples/board/data.txt")));
    admin = std::make_unique<AdminPeer>(root);
  }

  // Starts the installed daemon and takes its start-up report.
  void start() {
    std::vector<std::string> command = {"/usr/bin/env"};
    if (const char* emulator = std::getenv("UPDATE_TEST_EMULATOR"); emulator && *emulator)
      command.push_back(std::string("UPDATE_EMULATOR=") + emulator);
    command.insert(command.end(), {"/bin/sh", sourcePath("scripts/run_in_device_root.sh"), root});
    daemon = std::make_unique<Process>(sandbox, command);
    ASSERT_TRUE(admin->receive(&datagram, waitSeconds)) << daemon->err();
    expectReply(datagram, 1026, 0, hello);
    // The banner, with the compilation time as the date command prints it.
    const std::regex banner(
        "^Veltrix skyquill BT-LAP update software\\.\n"
        "Version: 0\\.1\\.0  Compilation time: "
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] UTC [0-9]{4}\n");
    EXPECT_TRUE(std::regex_search(daemon->err(), banner)) << daemon->err();
  }

  // The daemon's own /tmp, seen from the host while it runs.
  std::string tmpPath(const std::string& name) const {
    return "/proc/" + std::to_string(daemon->pid()) + "/root/tmp/" + name;
  }
  std::string statusFile() const { return testsupport::readFile(tmpPath("update.log")); }
  bool statusHas(const std::string& text, size_t from = 0) const {
    return testsupport::waitUntil(waitSeconds, [&] {
      return statusFile().find(text, from) != std::string::npos;
    });
  }

  // The daemon's peak resident memory so far and what it holds now, its own
  // (anonymous) and mapped from files (mostly the C library's pages, shared
  // with every process), on standard output for the footprint figures (the
  // emulator's own under an emulator).
  void showMemory() const {
    const std::string status =
        testsupport::readFile("/proc/" + std::to_string(daemon->pid()) + "/status");
    auto kilobytes = [&](const char* field) {
      std::smatch value;
      return std::regex_search(status, value, std::regex(std::string(field) + ":\\s*([0-9]+) kB"))
                 ? value[1].str()
                 : std::string("?");
    };
    std::printf("idle VmHWM of the installed update_process: %s kB (now RssAnon %s kB, "
                "RssFile %s kB)\n",
                kilobytes("VmHWM").c_str(), kilobytes("RssAnon").c_str(),
                kilobytes("RssFile").c_str());
  }
};

TEST_F(ShippedDaemon, AnswersSurvivesBadInputRunsAnUpdateAndEndsOnSigterm) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(admin->sendRequest(0));
  ASSERT_TRUE(admin->waitFor(1025, 0, &datagram, waitSeconds));
  expectReply(datagram, 1025, 0, hello);
  ASSERT_TRUE(admin->waitFor(1026, 2, &datagram, waitSeconds));  // idle: the finish step's tick
  expectReply(datagram, 1026, 2, {'O', 'K'});
  showMemory();
  // Beyond 0 to 2 every descriptor it holds is close-on-exec: no shell
  // command or tool it runs gets its admin socket (the emulator's own aside).
  const std::string proc = "/proc/" + std::to_string(daemon->pid());
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
    const std::string fd = entry.path().filename().string();
    const char* emulator = std::getenv("UPDATE_TEST_EMULATOR");
    if (std::stoi(fd) <= 2 || (emulator != nullptr && *emulator != '\0')) continue;
    std::smatch flags;
    const std::string info = testsupport::readFile(proc + "/fdinfo/" + fd);
    ASSERT_TRUE(std::regex_search(info, flags, std::regex("flags:\\s*([0-7]+)"))) << info;
    EXPECT_NE(0, std::stol(flags[1].str(), nullptr, 8) & 02000000) << "descriptor " << fd;
  }

  // Bad datagrams are logged, and the daemon still answers.
  ASSERT_TRUE(admin->send(testsupport::aiMessage(12, 99, {0, 0, 0, 0})));
  ASSERT_TRUE(admin->send({5, 0, 0, 0, 0}));
  EXPECT_TRUE(statusHas("unknown message from socket \n"));
  EXPECT_TRUE(statusHas("socket message length error \n"));
  EXPECT_NE(std::string::npos, daemon->err().find("unknown message from socket \n"));
  ASSERT_TRUE(admin->sendRequest(0));
  ASSERT_TRUE(admin->waitFor(1025, 0, &datagram, waitSeconds));

  // The update archive: version check, then the software into a flash the
  // device root does not have.
  std::map<std::string, std::string> package;
  for (const char* name : {"VERSION", "pskeyorig.psr"})
    package[name] = testsupport::readFile(sourcePath(std::string("examples/package/") + name));
  package["updatetodo.txt"] = "CHECK_VERSIONS\nLAP_SOFTWARE\n";
  const Bytes good = testsupport::buildArchive(
      testsupport::makePackage(package),
      testsupport::wrapImage(testsupport::patternBytes(5000), "Linux skq 1.1.0"));

  Bytes corrupt = good;
  corrupt[200] ^= 0x40;
  testsupport::writeFile(tmpPath("image"), std::string(corrupt.begin(), corrupt.end()));
  ASSERT_TRUE(admin->sendRequest(1));
  ASSERT_TRUE(admin->waitFor(1025, 1, &datagram, waitSeconds));
  expectReply(datagram, 1025, 1, {'O', 'K', 0});
  EXPECT_TRUE(statusHas("Bad Data Checksum\n"));

  size_t before = statusFile().size();
  testsupport::writeFile(tmpPath("image"), std::string(good.begin(), good.end()));
  ASSERT_TRUE(admin->sendRequest(1));
  ASSERT_TRUE(statusHas("*UPDATE_FINISHED* ... NOK\n", before)) << statusFile();
  std::string status = statusFile();
  size_t from = status.find("Version Check:", before);
  ASSERT_NE(std::string::npos, from) << status;
  std::string update = status.substr(from, status.find("*UPDATE_FINISHED*", from) - from);
  const std::string report =
      "Version Check:         started ... OK\n"
      "     part:            |     old version      |      new version      |   update ?\n"
      "   Trilo Firmware ...  2.13                    2.14 means stable          yes             \n"
      "   PS-Key         ...  K1 0107                 K1 0108                    yes             \n"
      "   skq Software   ...  1.0.0                   1.1.0                      yes             \n"
      "Update skq Software:   started ... ";
  EXPECT_EQ(report, update.substr(0, report.size()));
  EXPECT_NE(std::string::npos, update.find("/dev/flash0", report.size())) << update;
  EXPECT_EQ(" NOK\n", update.substr(update.size() - 5)) << update;
  ASSERT_TRUE(admin->waitFor(1026, 2, &datagram, waitSeconds));
  while (admin->receive(&datagram, 0)) {
  }
  ASSERT_TRUE(admin->waitFor(1026, 2, &datagram, waitSeconds));
  expectReply(datagram, 1026, 2, {'N', 'O', 'K'});

  daemon->signal(SIGTERM);
  EXPECT_EQ(0, daemon->wait(waitSeconds));
  EXPECT_FALSE(exists(root + "/rb_ai_sock2up"));
}

TEST_F(ShippedDaemon, StopRequestRepliesAfterItsWaitAndEnds) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(admin->sendRequest(3));
  ASSERT_TRUE(admin->waitFor(1025, 3, &datagram, waitSeconds));
  expectReply(datagram, 1025, 3, {'b'});
  EXPECT_EQ(0, daemon->wait(waitSeconds));
  EXPECT_FALSE(exists(root + "/rb_ai_sock2up"));
  EXPECT_NE(std::string::npos, daemon->err().find("Exit because stopped !!\n"));
}

}  // namespace
