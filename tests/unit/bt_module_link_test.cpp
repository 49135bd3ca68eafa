// The module link on a socket pair: bytes on the wire, the key walk, the
// readers and the dump lines, the channel's slot in the PollSet.
#include <fcntl.h>

#include <cerrno>
#include <functional>
#include <string>

#include "bt_module_link_test.h"
#include "platform/platform.h"
#include "sim/sim.h"

namespace {

using moduletest::Bytes;
using moduletest::ModuleLink;

Bytes zeros(size_t n) { return Bytes(n, 0x00); }

Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The GET for key 0x0001 with stores 0x0007, as a key walk sends it.
const Bytes getKey0001 = concat({0x00, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70, 0x00, 0x00, 0x01,
                                 0x00, 0x28, 0x00, 0x07, 0x00},
                                zeros(80));
// The SET for key 0x01f9 with the single word 0x0003.
const Bytes setKey01f9 = concat({0x02, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70, 0x00, 0x00, 0xF9,
                                 0x01, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00},
                                zeros(78));
const Bytes serialHeader = {0x01, 0x00, 0xFC, 0x61, 0xC2};

using WireTest = ModuleLink;

// Each request as the link carries it: on serial behind the vendor command's
// header and the descriptor, on BCSP the bare message.
TEST_F(WireTest, RequestsOnEachLink) {
  const uint8_t oneWord[] = {0x03, 0x00};
  Bytes fortyWords;
  for (int i = 0; i < 80; ++i) fortyWords.push_back(static_cast<uint8_t>(i + 1));
  const Bytes setFortyWords = concat(
      {0x02, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70, 0x00, 0x00, 0x10, 0x02, 0x28, 0x00, 0, 0},
      fortyWords);
  auto get = [] { upd::sendPSKeyGetReq(0x00, 0x01, 0x00, 0x07); };
  auto set = [&] { upd::sendPSKeySetReq(0x01, 0xf9, 1, oneWord); };
  struct Case {
    const char* what;
    int link;
    std::function<void()> send;
    Bytes packet;
  };
  const Case cases[] = {
      {"GET, serial HCI", upd::LINK_SERIAL_HCI, get, concat(serialHeader, getKey0001)},
      {"GET, serial", upd::LINK_SERIAL, get, concat(serialHeader, getKey0001)},
      {"SET, serial HCI", upd::LINK_SERIAL_HCI, set, concat(serialHeader, setKey01f9)},
      {"SET, BCSP", upd::LINK_BCSP, set, setKey01f9},
      {"SET of forty words", upd::LINK_BCSP,
       [&] { upd::sendPSKeySetReq(0x02, 0x10, 40, fortyWords.data()); }, setFortyWords},
      {"HCI Reset", upd::LINK_SERIAL_HCI, [] { upd::sendHciCmd(0, upd::hciResetOpcode, nullptr); },
       {0x01, 0x03, 0x0C, 0x00}},
  };
  for (const Case& c : cases) {
    upd::LinkMode = c.link;
    c.send();
    EXPECT_EQ(c.packet, sent()) << c.what;
    EXPECT_TRUE(sent().empty()) << c.what;
  }
}

TEST_F(WireTest, RefusedRequestsSendNothing) {
  Bytes value(2 * 41, 0x11);
  EXPECT_EQ(-1, upd::sendPSKeySetReq(0x01, 0xf9, 41, value.data()));
  EXPECT_NE(std::string::npos, statusFile().find("invalid length 41 words in PS-Key SET"));

  Bytes shortMsg = getKey0001;
  shortMsg[2] = 0x08;  // 16 bytes: shorter than a PS request
  EXPECT_EQ(-1, upd::sendBCCMDReq(shortMsg.data()));
  Bytes longMsg = getKey0001;
  longMsg[2] = 0x31;  // 98 bytes: more than a message holds
  EXPECT_EQ(-1, upd::sendBCCMDReq(longMsg.data()));
  EXPECT_NE(std::string::npos, statusFile().find("invalid length 16 in BCCMDReq received"));
  EXPECT_NE(std::string::npos, statusFile().find("invalid length 98 in BCCMDReq received"));

  Bytes params(117, 0x00);
  EXPECT_EQ(-1, upd::sendHciCmd(117, upd::vendorOpcode, params.data()));

  upd::LinkMode = 7;  // no such link
  upd::sendPSKeyGetReq(0x00, 0x01, 0x00, 0x07);
  EXPECT_TRUE(sent().empty());
}

TEST_F(WireTest, WriteOnABadDescriptorIsReported) {
  const uint8_t byte = 0x01;
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  upd::pollSet.slots[1].fd = fds[0];  // the read end: every write fails
  EXPECT_EQ(-1, upd::writeBtmodule(&byte, 1));
  EXPECT_NE(std::string::npos, statusFile().find("BT_module_write_error 9 "));
  upd::pollSet.slots[1].fd = daemonEnd;
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(WireTest, NothingGoesOrComesWithoutAChannel) {
  upd::openBtModule(0);
  const uint8_t byte = 0x01;
  EXPECT_EQ(-1, upd::writeBtmodule(&byte, 1));
  EXPECT_EQ(-1, upd::readBtModule());
  EXPECT_EQ(-1, upd::readBtModuleBccmdChannel());
  EXPECT_EQ(upd::STEP_WAIT, upd::StepEvent);
}

using WalkTest = ModuleLink;

uint16_t requestedKey(const Bytes& packet) {
  return static_cast<uint16_t>(packet.at(5 + 10) | packet.at(5 + 11) << 8);
}

TEST_F(WalkTest, WalksEveryKeyOnceThenEnds) {
  for (int call = 0; call < 1024; ++call) {
    upd::readAllPSKeys();
    Bytes packet = sent();
    ASSERT_EQ(101u, packet.size()) << "call " << call;
    ASSERT_EQ(call, requestedKey(packet));
    ASSERT_EQ(0x07, packet[5 + 14]);
    ASSERT_EQ(upd::STEP_WAIT, upd::StepEvent);
  }
  upd::readAllPSKeys();
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(upd::STEP_DONE, upd::StepEvent);
  // A later walk starts again at the first key, as after resetKeyWalk.
  upd::readAllPSKeys();
  EXPECT_EQ(0x0000, requestedKey(sent()));
  upd::readAllPSKeys();
  upd::resetKeyWalk();
  upd::readAllPSKeys();
  EXPECT_EQ(0x0000, requestedKey(allSent().back()));
}

// Readers: one packet fed, one reader call.
struct EventCase {
  const char* name;
  Bytes packet;
  int stepEvent;          // StepEvent after the call; STEP_WAIT when untouched
  const char* logged;     // text expected in the status file, or null
  const char* dumpLine;   // line expected in the dump, or null for no dump
};
// Test names show the case, not its bytes.
void PrintTo(const EventCase& c, std::ostream* out) { *out << c.name; }

const std::vector<EventCase>& eventCases() {
  using moduletest::response;
  using moduletest::vendorEvent;
  static const std::vector<EventCase> cases = {
      {"ResetComplete", {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}, upd::STEP_REPLY, nullptr,
       nullptr},
      {"ResetCompleteWithErrorStatus", {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x12}, upd::STEP_REPLY,
       nullptr, nullptr},
      {"VendorCommandComplete", {0x04, 0x0E, 0x04, 0x01, 0x00, 0xFC, 0x00}, upd::STEP_WAIT, nullptr,
       nullptr},
      {"OtherCommandComplete", {0x04, 0x0E, 0x04, 0x01, 0x05, 0x0C, 0x00}, upd::STEP_WAIT, nullptr,
       nullptr},
      {"CommandCompleteCutShort", {0x04, 0x0E, 0x01, 0x01}, upd::STEP_WAIT, nullptr, nullptr},
      {"CommandStatus", {0x04, 0x0F, 0x04, 0x00, 0x01, 0x03, 0x0C}, upd::STEP_WAIT, nullptr, nullptr},
      {"UnknownEvent", {0x04, 0x3E, 0x01, 0x00}, upd::STEP_WAIT,
       "unexpected hci event 0x3E received \n", nullptr},
      {"VendorEventSuccess", vendorEvent(response(0, 0x0191, 2, {0x02, 0x10, 0xa8, 0x00})),
       upd::STEP_REPLY, nullptr, "&0191 = 1002 00a8\r\n"},
      {"VendorEventFailedStatus", vendorEvent(response(0x0001, 0x0191, 0, {})), upd::STEP_REPLY,
       nullptr, nullptr},
      {"VendorEventClaimsMoreThanArrived", vendorEvent(response(0, 0x0191, 40, {0x02, 0x10})),
       upd::STEP_REPLY, "claims 40 words", nullptr},
  };
  return cases;
}

struct ReaderTest : ModuleLink, ::testing::WithParamInterface<EventCase> {};

// Each packet comes after a GET of the key walk.
TEST_P(ReaderTest, SerialEvent) {
  const EventCase& c = GetParam();
  upd::sendPSKeyGetReq(0x01, 0x91, 0x00, 0x07);
  ASSERT_EQ(101u, sent().size());
  feed(c.packet);
  EXPECT_EQ(static_cast<int>(c.packet.size()), upd::readBtModule());
  EXPECT_EQ(c.stepEvent, upd::StepEvent);
  if (c.logged != nullptr)
    EXPECT_NE(std::string::npos, statusFile().find(c.logged)) << statusFile();
  else
    EXPECT_EQ("", statusFile());
  EXPECT_EQ(c.dumpLine != nullptr ? c.dumpLine : "", dump());
  EXPECT_TRUE(sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Module, ReaderTest, ::testing::ValuesIn(eventCases()),
                         [](const auto& p) { return std::string(p.param.name); });

using ReaderErrorTest = ModuleLink;

TEST_F(ReaderErrorTest, VendorEventWithOverstatedParameterLength) {
  // The length byte claims 255 parameters, the packet holds a whole response
  // of one word: only what arrived is taken.
  Bytes packet = moduletest::vendorEvent(moduletest::response(0, 0x0001, 1, {0x34, 0x12}));
  packet[2] = 0xFF;
  feed(packet);
  upd::readBtModule();
  EXPECT_EQ("&0001 = 1234\r\n", dump());
  EXPECT_EQ(upd::STEP_REPLY, upd::StepEvent);
}

TEST_F(ReaderErrorTest, ReadOfNothingAndReadError) {
  // Nothing waiting on a non-blocking channel: the read fails.
  ASSERT_EQ(0, ::fcntl(daemonEnd, F_SETFL, O_NONBLOCK));
  EXPECT_EQ(-1, upd::readBtModule());
  EXPECT_NE(std::string::npos,
            statusFile().find("read error from module: counter = -1; error 11 "));
  EXPECT_EQ(-1, upd::readBtModuleBccmdChannel());
  EXPECT_NE(std::string::npos,
            statusFile().find("BCCMD read error from module: counter = -1; error 11 "));
  // The other end gone: the read returns 0.
  ::close(peer);
  peer = -1;
  EXPECT_EQ(0, upd::readBtModule());
  EXPECT_NE(std::string::npos, statusFile().find("read error from module: counter = 0; error "));
  EXPECT_EQ(0, upd::readBtModuleBccmdChannel());
  EXPECT_NE(std::string::npos, statusFile().find("BCCMD read error from module: counter = 0; "));
  EXPECT_EQ(upd::STEP_WAIT, upd::StepEvent);
}

TEST_F(ReaderErrorTest, BcspMessages) {
  upd::LinkMode = upd::LINK_BCSP;
  Bytes rsp = moduletest::response(0, 0x01f9, 1, {0x03, 0x00});
  feed(Bytes(rsp.begin() + 1, rsp.end()));  // a bare message: no descriptor
  EXPECT_EQ(static_cast<int>(rsp.size() - 1), upd::readBtModuleBccmdChannel());
  EXPECT_EQ(upd::STEP_REPLY, upd::StepEvent);
  EXPECT_EQ("&01f9 = 0003\r\n", dump());

  upd::StepEvent = upd::STEP_WAIT;
  Bytes failed = moduletest::response(0x0003, 0x01f8, 1, {0x03, 0x00});
  feed(Bytes(failed.begin() + 1, failed.end()));
  upd::readBtModuleBccmdChannel();
  EXPECT_EQ(upd::STEP_REPLY, upd::StepEvent);
  EXPECT_EQ("&01f9 = 0003\r\n", dump());
}

// Responses handed straight to pskeyReqRsp, each in a buffer of its exact
// size so that a read beyond it shows under the address sanitizer.
struct ResponseCase {
  const char* name;
  Bytes rsp;
  std::string dumpLine;  // "" when no line may be written
};
// Test names show the case, not its bytes.
void PrintTo(const ResponseCase& c, std::ostream* out) { *out << c.name; }

// Forty words of 0xa0b1: the longest value a response may carry.
Bytes fortyWordValue() {
  Bytes value;
  for (int i = 0; i < 40; ++i) value.insert(value.end(), {0xB1, 0xA0});
  return value;
}

std::string fortyWordLine() {
  std::string line = "&0100 =";
  for (int i = 0; i < 40; ++i) line += " a0b1";
  return line + "\r\n";
}

const std::vector<ResponseCase>& responseCases() {
  using moduletest::response;
  static const std::vector<ResponseCase> cases = {
      {"TwoWords", response(0, 0x0191, 2, {0x02, 0x10, 0xa8, 0x00}), "&0191 = 1002 00a8\r\n"},
      {"NoWords", response(0, 0x0191, 0, {}), "&0191 =\r\n"},
      {"LowerCaseDigits", response(0, 0x02AB, 1, {0xEF, 0xCD}), "&02ab = cdef\r\n"},
      {"FortyWords", response(0, 0x0100, 40, fortyWordValue()), fortyWordLine()},
      {"BcspDescriptor", response(0, 0x0005, 1, {0x01, 0x00}, 0x00), "&0005 = 0001\r\n"},
      {"FailedStatus", response(0x0100, 0x0191, 1, {0x01, 0x00}), ""},
      {"FortyOneWords",
       response(0, 0x0100, 41, concat(fortyWordValue(), {0x01, 0x00})), ""},
      {"LengthBeyondReceived", response(0, 0x0191, 3, {0x02, 0x10, 0xa8, 0x00}), ""},
      {"HugeLength", response(0, 0x0191, 0xFFFF, {0x02, 0x10}), ""},
      {"HeaderOnlyPartly", Bytes{0xC2, 0x01, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70, 0x00},
       ""},
      {"Empty", Bytes{}, ""},
  };
  return cases;
}

struct ResponseTest : ModuleLink, ::testing::WithParamInterface<ResponseCase> {};

TEST_P(ResponseTest, DumpLine) {
  const ResponseCase& c = GetParam();
  std::unique_ptr<uint8_t[]> exact(new uint8_t[c.rsp.size() + 0]);
  std::copy(c.rsp.begin(), c.rsp.end(), exact.get());
  upd::pskeyReqRsp(exact.get(), static_cast<int>(c.rsp.size()));
  EXPECT_EQ(c.dumpLine, dump());
  EXPECT_EQ(upd::STEP_REPLY, upd::StepEvent);
  EXPECT_TRUE(sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Module, ResponseTest, ::testing::ValuesIn(responseCases()),
                         [](const auto& p) { return std::string(p.param.name); });

// The channel in the PollSet.
struct ChannelTest : ModuleLink {
  void SetUp() override {
    ModuleLink::SetUp();
    upd::openBtModule(0);  // the main loop's state: the admin socket alone
  }
};

TEST_F(ChannelTest, OpenWithoutNodeTakesNoSlot) {
  // The BCSP node exists only once its drivers are loaded.
  upd::LinkMode = upd::LINK_BCSP;
  EXPECT_EQ(-1, upd::openBtModule(1));
  EXPECT_STREQ("/dev/bcspRel2", upd::moduleNodePath);
  EXPECT_EQ(0, upd::pollSet.moduleSlot);
  EXPECT_EQ(1, upd::pollSet.nfds);
  EXPECT_EQ(upd::LINK_BCSP, upd::LinkMode);  // a missing node is left to the step's time-out
  EXPECT_NE(std::string::npos,
            statusFile().find("open error TL interface /dev/bcspRel2: 0x02 No such file or directory"));
}

TEST_F(ChannelTest, SerialChannelTakesSlotOneAndAnswersReset) {
  for (int mode : {upd::LINK_SERIAL_HCI, upd::LINK_SERIAL}) {
    upd::LinkMode = mode;
    upd::StepEvent = upd::STEP_WAIT;
    EXPECT_EQ(1, upd::resetBtModule());
    ASSERT_EQ(1, upd::openBtModule(1));
    EXPECT_STREQ("/dev/cfUaB0", upd::moduleNodePath);
    EXPECT_EQ(1, upd::pollSet.moduleSlot);
    EXPECT_EQ(2, upd::pollSet.nfds);
    EXPECT_EQ(POLLIN | POLLPRI, upd::pollSet.slots[1].events);
    EXPECT_EQ(0, upd::pollSet.slots[1].revents);
    upd::sendHciCmd(0, upd::hciResetOpcode, nullptr);
    ASSERT_EQ(1, platform::poll(upd::pollSet.slots, 2, 1000));
    EXPECT_EQ(POLLIN | POLLPRI, upd::pollSet.slots[1].revents);
    upd::readBtModule();
    EXPECT_EQ(upd::STEP_REPLY, upd::StepEvent);
    // Closed once and for all: a second close changes nothing.
    const int channel = upd::pollSet.slots[1].fd;
    for (int close = 0; close < 2; ++close) {
      EXPECT_EQ(1, upd::openBtModule(0));
      EXPECT_EQ(0, upd::pollSet.moduleSlot);
      EXPECT_EQ(1, upd::pollSet.nfds);
      EXPECT_EQ(-1, ::fcntl(channel, F_GETFD));
    }
  }
  EXPECT_EQ("", statusFile());
}

TEST_F(ChannelTest, SecondOpenReplacesTheChannel) {
  ASSERT_EQ(1, upd::openBtModule(1));
  const int first = upd::pollSet.slots[1].fd;
  ASSERT_EQ(1, upd::openBtModule(1));
  EXPECT_EQ(1, upd::pollSet.moduleSlot);
  EXPECT_EQ(2, upd::pollSet.nfds);
  EXPECT_NE(-1, ::fcntl(upd::pollSet.slots[1].fd, F_GETFD));
  if (upd::pollSet.slots[1].fd != first) {
    EXPECT_EQ(-1, ::fcntl(first, F_GETFD));
  }
  upd::openBtModule(0);
  EXPECT_EQ(1, upd::pollSet.nfds);
}

struct BcspChannelTest : ChannelTest {
  void SetUp() override {
    ChannelTest::SetUp();
    sandbox.write("board/drivers.txt", "linabcsp_uart\nbcsp\nlinabcsp_upChan\n");
    upd::LinkMode = upd::LINK_BCSP;
  }
};

TEST_F(BcspChannelTest, SetUpRequestsThenSlot) {
  ASSERT_EQ(1, upd::openBtModule(1));  // the node refuses requests out of order
  EXPECT_STREQ("/dev/bcspRel2", upd::moduleNodePath);
  EXPECT_EQ(1, upd::pollSet.moduleSlot);
  EXPECT_EQ(2, upd::pollSet.nfds);
  EXPECT_EQ(POLLIN | POLLPRI, upd::pollSet.slots[1].events);
  EXPECT_EQ(upd::LINK_BCSP, upd::LinkMode);
  upd::openBtModule(0);
  EXPECT_EQ(1, upd::pollSet.nfds);
}

TEST_F(BcspChannelTest, RefusedSetUpClosesTheChannelAndSaysSo) {
  for (int refused : {1, 2, 4}) {
    sandbox.settings("bcsp.refuse_ioctl = " + std::to_string(refused) + "\n");
    sim::reloadSettings();
    upd::LinkMode = upd::LINK_BCSP;
    sandbox.write("/tmp/update.log", "");
    EXPECT_EQ(upd::BT_LINK_REFUSED, upd::openBtModule(1));
    EXPECT_EQ(0, upd::pollSet.moduleSlot);
    EXPECT_EQ(1, upd::pollSet.nfds);
    const std::string log = statusFile();
    EXPECT_EQ(0u, log.find("ioctl error TL interface /dev/bcspRel2: 0x05 Input/output error"))
        << log;
  }
  sandbox.settings("");
  sim::reloadSettings();
}

}  // namespace
