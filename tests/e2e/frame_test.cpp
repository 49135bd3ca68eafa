// The daemon as a real process on the simulated board, seen from the admin
// side: start-up, status, bad input, no admin side. The stop request and
// SIGTERM end every update of update_test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "archive_builder.h"
#include "test_support.h"

namespace {

using testsupport::AdminPeer;
using testsupport::Daemon;
using testsupport::Sandbox;
using testsupport::word16;
using testsupport::word32;

constexpr double waitSeconds = 20;
const std::vector<uint8_t> hello = {0x2F, 0x78, 0x30, 0x41, 0x54, 0x30, 0x78, 0x30, 0x44, 0x6F};

// The 64-byte reply or report: length, type, code, payload length, payload.
void expectReply(const std::vector<uint8_t>& datagram, uint32_t type, uint32_t code,
                 const std::vector<uint8_t>& payload) {
  ASSERT_EQ(64u, datagram.size());
  EXPECT_EQ(64, word16(datagram, 0));
  EXPECT_EQ(type, word32(datagram, 4));
  EXPECT_EQ(code, word32(datagram, 8));
  ASSERT_EQ(payload.size(), datagram[12]);
  EXPECT_EQ(payload, std::vector<uint8_t>(datagram.begin() + 13, datagram.begin() + 13 + payload.size()));
}

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

struct FrameTest : ::testing::Test {
  Sandbox sandbox;
  AdminPeer admin{sandbox.root()};
  std::vector<uint8_t> datagram;

  // Starts the daemon and takes its start-up report.
  std::unique_ptr<Daemon> start(double timeScale = 0.01) {
    auto daemon = std::make_unique<Daemon>(sandbox, timeScale);
    EXPECT_TRUE(admin.receive(&datagram, waitSeconds)) << daemon->err();
    expectReply(datagram, 1026, 0, hello);
    return daemon;
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
};

TEST_F(FrameTest, StartUpReportStatusReplyAndFinishReports) {
  auto daemon = start();
  EXPECT_TRUE(sandbox.exists("/rb_ai_sock2up"));
  ASSERT_TRUE(admin.sendRequest(0));
  ASSERT_TRUE(admin.waitFor(1025, 0, &datagram, waitSeconds));
  expectReply(datagram, 1025, 0, hello);
  // Without an update the finish step reports OK on every tick, but writes
  // its line and lists the status file once.
  for (int tick = 0; tick < 50; ++tick) {
    ASSERT_TRUE(admin.waitFor(1026, 2, &datagram, waitSeconds));
    expectReply(datagram, 1026, 2, {'O', 'K'});
  }
  EXPECT_EQ("*UPDATE_FINISHED* ... OK\n", statusFile());
  EXPECT_EQ("*UPDATE_FINISHED* ... OK\n", daemon->out());
  // A start request after that (no archive) ends with a finish line of its own.
  ASSERT_TRUE(admin.sendRequest(1));
  for (int tick = 0; tick < 20;) {
    ASSERT_TRUE(admin.waitFor(1026, 2, &datagram, waitSeconds));
    if (datagram[12] == 3) ++tick;  // "NOK"
  }
  EXPECT_EQ(1u, occurrences(statusFile(), "*UPDATE_FINISHED* ... OK\n"));
  EXPECT_EQ(1u, occurrences(statusFile(), "*UPDATE_FINISHED* ... NOK\n"));
  EXPECT_EQ(1u, occurrences(daemon->out(), "*UPDATE_FINISHED* ... NOK\n"));
  EXPECT_NE(std::string::npos, daemon->err().find("Veltrix skyquill BT-LAP update software.\n"
                                                  "Version: 0.1.0  Compilation time: "));
}

TEST_F(FrameTest, BadInputIsLoggedAndTheDaemonGoesOn) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* statusText;
  };
  std::vector<uint8_t> big = testsupport::aiMessage(300, 1024, std::vector<uint8_t>(292, 0));
  const Case cases[] = {
      {"unknown type", testsupport::aiMessage(12, 99, {0, 0, 0, 0}), "unknown message from socket \n"},
      {"300-byte datagram", big, "socket message length error \n"},
  };
  auto daemon = start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = statusFile().size();
    ASSERT_TRUE(admin.send(c.bytes));
    ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] {
      return statusFile().find(c.statusText, before) != std::string::npos;
    }));
  }
  // Codes 2 and 7 send nothing; a status request afterwards is answered.
  ASSERT_TRUE(admin.sendRequest(2));
  ASSERT_TRUE(admin.sendRequest(7));
  ASSERT_TRUE(admin.sendRequest(0));
  for (;;) {
    ASSERT_TRUE(admin.receive(&datagram, waitSeconds));
    uint32_t type = word32(datagram, 4);
    if (type == 1026 && word32(datagram, 8) == 2) continue;  // finish reports
    expectReply(datagram, 1025, 0, hello);
    break;
  }
  EXPECT_TRUE(daemon->running());
}

// Bad datagrams in bursts while step alarms fire for some seconds: no text
// of a handler or of the main flow goes missing from the status file, and
// the daemon still answers.
TEST_F(FrameTest, FloodOfBadDatagramsWhileAlarmsFire) {
  constexpr int steps = 20;  // read steps on a silent module: one alarm each
  std::string plan;
  for (int i = 0; i < steps; ++i) plan += "BT_MOD_SET_READ\n";
  sandbox.settings("module.silent = 1\n");
  auto daemon = start();
  sandbox.write("/tmp/image",
                testsupport::buildArchive(testsupport::makePackage({{"updatetodo.txt", plan}}),
                                          testsupport::wrapImage(testsupport::patternBytes(100))));
  ASSERT_TRUE(admin.sendRequest(1));
  const std::vector<uint8_t> bad = testsupport::aiMessage(12, 99, {0, 0, 0, 0});
  size_t sent = 0;
  while (statusFile().find("*UPDATE_FINISHED* ... NOK") == std::string::npos) {
    for (int i = 0; i < 20; ++i, ++sent) ASSERT_TRUE(admin.send(bad));
    // Once the burst is taken, a pause longer than a tick lets the steps go on.
    ASSERT_TRUE(admin.sendRequest(0));
    ASSERT_TRUE(admin.waitFor(1025, 0, &datagram, waitSeconds)) << daemon->err();
    ::usleep(20000);
  }
  ASSERT_TRUE(admin.sendRequest(0));
  ASSERT_TRUE(admin.waitFor(1025, 0, &datagram, waitSeconds));
  const std::string status = statusFile();
  EXPECT_EQ(static_cast<size_t>(steps), occurrences(status, "Update step timed out !!!"));
  EXPECT_EQ(sent, occurrences(status, "unknown message from socket \n"));
  ASSERT_TRUE(admin.sendRequest(3));
  ASSERT_TRUE(admin.waitFor(1025, 3, &datagram, waitSeconds));
  EXPECT_EQ(0, daemon->wait(waitSeconds));
}

TEST(FrameNoAdmin, CannotWriteToAdminEndsWithStatusZero) {
  Sandbox sandbox;
  Daemon daemon(sandbox);
  EXPECT_EQ(0, daemon.wait(waitSeconds));
  std::string err = daemon.err();
  EXPECT_NE(std::string::npos, err.find("socket_write_error 2 No such file or directory \n"));
  EXPECT_NE(std::string::npos, err.find("Exit because can't write to admin !!\n"));
  EXPECT_FALSE(sandbox.exists("/rb_ai_sock2up"));
}

TEST(FrameSandbox, TooLongRootIsRefused) {
  testsupport::Sandbox sandbox;
  std::string root = sandbox.root() + "/" + std::string(100, 'r');
  testsupport::Process sim(sandbox, "update_sim", {"--root", root});
  EXPECT_EQ(2, sim.wait(waitSeconds));
  EXPECT_NE(std::string::npos, sim.err().find("socket paths"));
}

}  // namespace
