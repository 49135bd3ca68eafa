// The simulated board's Bluetooth module, driven through platform:: calls as
// the daemon drives it. Whole reads, writes, downloads and the fault settings
// are exercised by the daemon's tests; these cases cover what those cannot
// show: the answer status of each request, malformed packets, the BCSP
// node's set-up order, the answers a reset drops and delayed answers.
#include <gtest/gtest.h>

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/device_requests.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "sim/virtual_module.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;
using Bytes = std::vector<uint8_t>;
namespace vm = sim::vmodule;

constexpr const char* serialNode = "/dev/cfUaB0";
constexpr const char* bcspNode = "/dev/bcspRel2";
constexpr const char* hwifNode = "/dev/etxhwif";

// A 96-byte PS request as the daemon builds it (stores 7 for GET, 0 for SET).
Bytes psMessage(uint16_t type, uint16_t key, uint16_t lengthWords,
                const std::vector<uint16_t>& value = {}, uint16_t varid = vm::varidPs) {
  Bytes m(96, 0);
  auto put = [&m](size_t at, uint16_t v) {
    m[at] = static_cast<uint8_t>(v & 0xff);
    m[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  put(0, type);
  put(2, 0x0030);
  put(4, 0x0fa5);
  put(6, varid);
  put(10, key);
  put(12, lengthWords);
  put(14, type == vm::typeGetReq ? 7 : 0);
  for (size_t i = 0; i < value.size(); ++i) put(16 + 2 * i, value[i]);
  return m;
}
Bytes getRequest(uint16_t key) { return psMessage(vm::typeGetReq, key, 40); }
Bytes setRequest(uint16_t key, const std::vector<uint16_t>& words) {
  return psMessage(vm::typeSetReq, key, static_cast<uint16_t>(words.size()), words);
}

// The serial carriage: vendor command 0xFC00 behind the descriptor 0xC2.
Bytes onSerial(const Bytes& message) {
  Bytes packet(5 + message.size());
  const uint8_t header[5] = {0x01, 0x00, 0xfc, static_cast<uint8_t>(message.size() + 1), 0xc2};
  std::copy(header, header + 5, packet.begin());
  std::copy(message.begin(), message.end(), packet.begin() + 5);
  return packet;
}

uint16_t field(const Bytes& message, size_t at) {
  return static_cast<uint16_t>(message[at] | (message[at + 1] << 8));
}

const Bytes hciReset = {0x01, 0x03, 0x0c, 0x00};
const Bytes hciResetComplete = {0x04, 0x0e, 0x04, 0x01, 0x03, 0x0c, 0x00};

// The BCSP node's four set-up requests with their arguments, in order.
int bcspMode = 3;
int bcspBaud = 0x1018;
const std::pair<unsigned long, uintptr_t> bcspSetUp[] = {
    {devreq::BCSP_SET_1, reinterpret_cast<uintptr_t>(&bcspMode)},
    {devreq::BCSP_SET_4, reinterpret_cast<uintptr_t>(&bcspBaud)},
    {devreq::BCSP_SET_8, 0},
    {devreq::BCSP_SET_5, 0},
};

// Closes a descriptor of the simulated platform.
struct Fd {
  int fd;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) platform::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

struct VirtualModuleTest : ::testing::Test {
  Sandbox sandbox;
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  }

  void settings(const std::string& text) {
    sandbox.settings(text);
    sim::reloadSettings();
  }
  static int open(const char* node) { return platform::open(node, O_RDWR | O_NONBLOCK); }

  // The returned events after waiting up to timeoutMs daemon milliseconds.
  static short ready(int fd, int timeoutMs = 1000) {
    struct pollfd slot = {fd, POLLIN | POLLPRI, 0};
    return platform::poll(&slot, 1, timeoutMs) > 0 ? slot.revents : 0;
  }
  static Bytes readAnswer(int fd) {
    Bytes buf(1100);
    ssize_t n = platform::read(fd, buf.data(), buf.size());
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }
  // Writes a request and returns the answer, or nothing when none comes.
  static Bytes exchange(int fd, const Bytes& request, int timeoutMs = 1000) {
    EXPECT_EQ(static_cast<ssize_t>(request.size()),
              platform::write(fd, request.data(), request.size()));
    if (ready(fd, timeoutMs) == 0) return {};
    return readAnswer(fd);
  }
  // The BCCMD answer to a message on the serial link, without the event
  // header and descriptor (empty when none came).
  static Bytes bccmdOnSerial(int fd, const Bytes& message) {
    Bytes event = exchange(fd, onSerial(message));
    if (event.size() < 4) return {};
    EXPECT_EQ(0x04, event[0]);
    EXPECT_EQ(0xff, event[1]);
    EXPECT_EQ(event.size() - 3, event[2]);
    EXPECT_EQ(0xc2, event[3]);
    return Bytes(event.begin() + 4, event.end());
  }
  static void reset() {
    Fd hwif(open(hwifNode));
    ASSERT_GE(hwif.fd, 0);
    ASSERT_EQ(0, platform::ioctl(hwif.fd, devreq::HWIF_RESET_MODULE, 0));
  }
  void loadDrivers() {
    for (const char* name : {"linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"}) {
      sandbox.write(std::string("/tmp/update.d/") + name, "\x7f" "ELF");
      ASSERT_EQ(0, platform::system((std::string("/bin/insmod /tmp/update.d/") + name).c_str()));
    }
  }
  // Opens the BCSP node and issues its four set-up requests.
  static int openBcsp() {
    int fd = open(bcspNode);
    if (fd < 0) return fd;
    for (const auto& request : bcspSetUp)
      EXPECT_EQ(0, platform::ioctl(fd, request.first, request.second));
    return fd;
  }
  std::string store() { return sandbox.read("board/module.psr"); }
};

// ---- the serial HCI node --------------------------------------------------

TEST_F(VirtualModuleTest, AnswerStatusByRequest) {
  struct Case {
    const char* what;
    Bytes request;
    uint16_t status;
    uint16_t lengthWords;
  };
  const Case cases[] = {
      {"GET of a key it lacks", getRequest(0x0004), vm::statusNoValue, 40},
      {"unknown varid", psMessage(vm::typeGetReq, 0x0003, 40, {}, 0x6810), vm::statusNoSuchVarid,
       40},
      {"neither GET nor SET", psMessage(0x0005, 0x0003, 40), vm::statusBadRequest, 40},
      {"SET beyond 40 words", psMessage(vm::typeSetReq, 0x0003, 41), vm::statusTooBig, 41},
      {"GET of a failing key", getRequest(0x0011), vm::statusFailed, 40},
      {"SET of a failing key", setRequest(0x0191, {1, 2}), vm::statusFailed, 2},
  };
  settings("module.fail_keys = 0x0011,0x0191\n");
  Fd serial(open(serialNode));
  for (const Case& c : cases) {
    Bytes answer = bccmdOnSerial(serial.fd, c.request);
    ASSERT_EQ(96u, answer.size()) << c.what;
    EXPECT_EQ(vm::typeGetResp, field(answer, 0)) << c.what;
    EXPECT_EQ(c.status, field(answer, 8)) << c.what;
    EXPECT_EQ(c.lengthWords, field(answer, 12)) << c.what;
  }
  EXPECT_EQ(vm::formatStore(vm::defaultStore()), store()) << "nothing was stored";
}

TEST_F(VirtualModuleTest, MalformedPacketsAreNotAnswered) {
  Bytes lengthBeyondMessage = getRequest(0x0003);
  lengthBeyondMessage[2] = 0x31;  // 49 words, 96 bytes sent
  Bytes wrongDescriptor = onSerial(getRequest(0x0003));
  wrongDescriptor[4] = 0xc3;
  Bytes shortParameters = onSerial(getRequest(0x0003));
  shortParameters[3] = 0x60;
  const Bytes cases[] = {
      {0x02, 0x03, 0x0c, 0x00},  // not a command packet
      {0x01, 0x03},              // cut short
      shortParameters,           // length byte disagrees with the packet
      wrongDescriptor,
      onSerial(lengthBeyondMessage),
      onSerial(Bytes(8, 0)),  // shorter than a BCCMD header
  };
  Fd serial(open(serialNode));
  for (const Bytes& packet : cases) EXPECT_TRUE(exchange(serial.fd, packet, 50).empty());
  // An unknown command is answered "unknown command" (status 1).
  EXPECT_EQ(Bytes({0x04, 0x0e, 0x04, 0x01, 0x01, 0x10, 0x01}),
            exchange(serial.fd, {0x01, 0x01, 0x10, 0x00}));
}

// ---- the BCSP node's set-up ------------------------------------------------

TEST_F(VirtualModuleTest, SetUpRequestsInOrderWithTheirArguments) {
  sandbox.write("board/module.psr", "&01f9 = 0001\r\n&0003 = 0005\r\n");
  loadDrivers();
  int wrong = 4;
  Fd hwif(open(hwifNode));
  {
    Fd bcsp(open(bcspNode));
    const Bytes get = getRequest(0x0003);
    EXPECT_EQ(-1, platform::write(bcsp.fd, get.data(), get.size())) << "link not set up";
    EXPECT_EQ(EIO, errno);
    const struct {
      const char* what;
      int fd;
      unsigned long request;
      uintptr_t argument;
      int error;
    } refusals[] = {
        {"out of order", bcsp.fd, devreq::BCSP_SET_4, bcspSetUp[1].second, EINVAL},
        {"wrong mode", bcsp.fd, devreq::BCSP_SET_1, reinterpret_cast<uintptr_t>(&wrong), EINVAL},
        {"no argument", bcsp.fd, devreq::BCSP_SET_1, 0, EFAULT},
        {"reset on the BCSP node", bcsp.fd, devreq::HWIF_RESET_MODULE, 0, ENOTTY},
        {"BCSP request on the reset node", hwif.fd, devreq::BCSP_SET_8, 0, ENOTTY},
    };
    for (const auto& r : refusals) {
      EXPECT_EQ(-1, platform::ioctl(r.fd, r.request, r.argument)) << r.what;
      EXPECT_EQ(r.error, errno) << r.what;
    }
  }
  Fd bcsp(openBcsp());
  EXPECT_EQ(-1, platform::ioctl(bcsp.fd, bcspSetUp[0].first, bcspSetUp[0].second)) << "repeated";
  EXPECT_EQ(EINVAL, errno);
  // Bare messages both ways, readiness POLLIN alone.
  const Bytes get = getRequest(0x0003);
  ASSERT_EQ(96, platform::write(bcsp.fd, get.data(), get.size()));
  EXPECT_EQ(POLLIN, ready(bcsp.fd));
  Bytes answer = readAnswer(bcsp.fd);
  ASSERT_EQ(96u, answer.size());
  EXPECT_EQ(vm::typeGetResp, field(answer, 0));
  EXPECT_EQ(vm::statusOk, field(answer, 8));
  EXPECT_EQ(0x0005, field(answer, 16));
}

// ---- resets and delays ------------------------------------------------------

TEST_F(VirtualModuleTest, ResetDropsQueuedAnswersUnlessIgnored) {
  Fd serial(open(serialNode));
  ASSERT_EQ(4, platform::write(serial.fd, hciReset.data(), hciReset.size()));
  reset();
  EXPECT_EQ(0, ready(serial.fd, 50));

  settings("module.reset_ignored = 1\n");
  EXPECT_EQ(vm::statusOk, field(bccmdOnSerial(serial.fd, setRequest(0x01f9, {0x0001})), 8));
  // Still on serial after the host-interface set: the answer is queued.
  ASSERT_EQ(4, platform::write(serial.fd, hciReset.data(), hciReset.size()));
  reset();
  EXPECT_EQ(hciResetComplete, readAnswer(serial.fd)) << "queued answer kept";
  EXPECT_EQ(hciResetComplete, exchange(serial.fd, hciReset)) << "link kept";
}

TEST_F(VirtualModuleTest, DelayedAnswerBecomesReadyLater) {
  // 0.5 s of real time at the test's time scale: long enough that even a
  // slow emulated run looks before the answer is due.
  settings("module.delay_ms = 50000\n");
  Fd serial(open(serialNode));
  EXPECT_EQ(0, ready(serial.fd, 0)) << "the module never speaks first";
  ASSERT_EQ(4, platform::write(serial.fd, hciReset.data(), hciReset.size()));
  EXPECT_EQ(0, ready(serial.fd, 0));
  char byte;
  EXPECT_EQ(-1, platform::read(serial.fd, &byte, 1));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_EQ(POLLIN | POLLPRI, ready(serial.fd, 1000000));
  EXPECT_EQ(hciResetComplete, readAnswer(serial.fd));
  EXPECT_EQ(0, ready(serial.fd, 0)) << "one answer per request";
}

}  // namespace
