// The admin link in-process: message checks and the bytes of every message
// the daemon builds.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "admin_link/admin_link.h"
#include "test_support.h"

namespace {

using testsupport::AdminPeer;
using testsupport::Sandbox;
using testsupport::word16;
using testsupport::word32;

upd::AiMessage messageOf(const std::vector<uint8_t>& bytes) {
  upd::AiMessage message;
  std::memset(&message, 0, sizeof message);
  std::memcpy(&message, bytes.data(), bytes.size());
  return message;
}

TEST(CheckAiMessage, LengthRules) {
  struct Case {
    uint16_t length;
    ssize_t received;
    int expected;
  };
  const Case cases[] = {
      {12, 12, 1024}, {6, 6, 1024}, {5, 5, -1}, {0, 0, -1}, {16, 12, -1}, {12, 16, -1}, {224, 224, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    upd::AiMessage message = messageOf(testsupport::aiMessage(c.length, 1024, {}));
    EXPECT_EQ(c.expected, upd::checkAiMessage(message, c.received));
  }
}

struct AdminLinkTest : ::testing::Test {
  Sandbox sandbox;
  std::unique_ptr<AdminPeer> admin;
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    admin = std::make_unique<AdminPeer>(sandbox.root());
    ASSERT_GE(upd::openAiSocket(upd::ownSocketPath), 0);
    upd::setAiDestination(upd::adminSocketPath);
  }
  void TearDown() override { upd::closeAiSocket(); }
};

TEST_F(AdminLinkTest, RepliesAreSixtyFourBytesInHostOrder) {
  struct Case {
    bool report;
    uint32_t code;
    std::vector<uint8_t> payload;
  };
  const Case cases[] = {
      {true, upd::UPD_CODE_STATUS, {0x2F, 0x78, 0x30, 0x41, 0x54, 0x30, 0x78, 0x30, 0x44, 0x6F}},
      {false, upd::UPD_CODE_START, {'O', 'K', 0}},
      {false, upd::UPD_CODE_STOP, {'b'}},
      {true, upd::UPD_CODE_RESULT, {'N', 'O', 'K'}},
      {true, upd::UPD_CODE_RESULT, std::vector<uint8_t>(51, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    int sent = c.report ? upd::sendUpdateInd(c.code, c.payload.data(), c.payload.size())
                        : upd::sendUpdateRsp(c.code, c.payload.data(), c.payload.size());
    EXPECT_EQ(1, sent);
    std::vector<uint8_t> datagram;
    ASSERT_TRUE(admin->receive(&datagram, 5));
    ASSERT_EQ(64u, datagram.size());
    EXPECT_EQ(64, word16(datagram, 0));
    EXPECT_EQ(c.report ? 1026u : 1025u, word32(datagram, 4));
    EXPECT_EQ(c.code, word32(datagram, 8));
    EXPECT_EQ(c.payload.size(), datagram[12]);
    std::vector<uint8_t> expectedTail(c.payload);
    expectedTail.resize(51, 0);
    EXPECT_EQ(expectedTail, std::vector<uint8_t>(datagram.begin() + 13, datagram.end()));
  }
}

TEST_F(AdminLinkTest, ChildDeadNoticeGoesToTheGivenSocketOnly) {
  upd::AiMessage notice;
  std::memset(&notice, 0, sizeof notice);
  notice.length = 16;
  notice.type = upd::AI_MSG_CHILD_DEAD;
  upd::setAiWord(notice, 8, 1234);
  upd::setAiWord(notice, 12, 256);
  EXPECT_EQ(1, upd::writeMessageTo(notice, 16, upd::ownSocketPath));
  upd::AiMessage received;
  ssize_t n = upd::receiveAiMessage(received);
  ASSERT_EQ(16, n);
  EXPECT_EQ(12, upd::checkAiMessage(received, n));
  EXPECT_EQ(1234u, upd::aiWord(received, 8));
  EXPECT_EQ(256u, upd::aiWord(received, 12));
  // The shared destination still points at the admin socket.
  EXPECT_EQ(1, upd::sendUpdateRsp(upd::UPD_CODE_STATUS, nullptr, 0));
  std::vector<uint8_t> datagram;
  EXPECT_TRUE(admin->receive(&datagram, 5));
}

TEST_F(AdminLinkTest, ReceiveClearsWhatDidNotArrive) {
  upd::AiMessage received;
  std::memset(&received, 0xAA, sizeof received);
  ASSERT_TRUE(admin->send(testsupport::updateRequest(0)));
  // A short request: 8 bytes, so its code field did not arrive.
  std::vector<uint8_t> shortRequest = testsupport::aiMessage(8, 1024, {});
  ASSERT_TRUE(admin->send(shortRequest));
  ASSERT_TRUE(testsupport::waitUntil(5, [&] { return upd::receiveAiMessage(received) == 12; }));
  std::memset(&received, 0xAA, sizeof received);
  ASSERT_TRUE(testsupport::waitUntil(5, [&] { return upd::receiveAiMessage(received) == 8; }));
  EXPECT_EQ(0u, upd::aiWord(received, 8));
  EXPECT_EQ(1024, upd::checkAiMessage(received, 8));
}

TEST_F(AdminLinkTest, OpeningTwiceRemovesTheLeftoverSocket) {
  upd::closeAiSocket();
  ASSERT_GE(upd::openAiSocket(upd::ownSocketPath), 0);
  int first = upd::aiSocketFd;
  // A second open over the first one's file (as after a killed process).
  ASSERT_GE(upd::openAiSocket(upd::ownSocketPath), 0);
  ::close(first);
  EXPECT_TRUE(sandbox.exists("/rb_ai_sock2up"));
}

}  // namespace
