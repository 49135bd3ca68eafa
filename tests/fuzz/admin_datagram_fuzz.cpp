// The admin datagram: whatever arrives on the daemon's socket, readMessage
// answers only the requests that ask for an answer, reads no field beyond the
// bytes received, and takes a child-dead notice only for the running download.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "admin_link/admin_link.h"
#include "common/step_event.h"
#include "fuzz_support.h"
#include "log/log.h"
#include "sequencer/sequencer.h"
#include "update_process/update_process.h"

namespace {

constexpr pid_t downloadPid = 4242;

sockaddr_un address(const std::string& path) {
  sockaddr_un at = {};
  at.sun_family = AF_UNIX;
  std::strncpy(at.sun_path, path.c_str(), sizeof at.sun_path - 1);
  return at;
}

// The admin side's socket; the daemon's own is opened beside it.
int adminSocket() {
  static const int fd = [] {
    const testsupport::Sandbox& sandbox = fuzz::board();
    // The stop request ends the daemon through reboot; here it only answers.
    upd::exitInProgress = 1;
    FUZZ_CHECK(upd::openAiSocket(upd::ownSocketPath) >= 0);
    upd::setAiDestination(upd::adminSocketPath);
    int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un own = address(sandbox.path(upd::adminSocketPath));
    FUZZ_CHECK(::bind(s, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0);
    return s;
  }();
  return fd;
}

// A reply as the admin side must get it: 64 bytes, host order.
fuzz::Bytes reply(uint32_t code, const std::string& payload) {
  fuzz::Bytes body(56, 0);
  std::memcpy(body.data(), &code, sizeof code);
  body[4] = static_cast<uint8_t>(payload.size());
  std::memcpy(body.data() + 5, payload.data(), payload.size());
  return testsupport::aiMessage(64, upd::AI_MSG_UPDATE_RSP, body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int admin = adminSocket();
  if (size > 1024) return 0;
  const testsupport::Sandbox& sandbox = fuzz::board();
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  sockaddr_un daemon = address(sandbox.path(upd::ownSocketPath));
  FUZZ_CHECK(::sendto(admin, data, size, 0, reinterpret_cast<sockaddr*>(&daemon), sizeof daemon) ==
             static_cast<ssize_t>(size));
  upd::currentStep = upd::STEP_FINISH;
  upd::dfuPid = downloadPid;
  upd::StepEvent = upd::STEP_WAIT;
  FUZZ_CHECK(upd::readMessage() == 1);

  // The message as taken: at most 224 bytes; a field beyond them reads 0.
  uint8_t m[upd::aiReceiveSize] = {};
  const size_t n = size < sizeof m ? size : sizeof m;
  if (n > 0) std::memcpy(m, data, n);
  const fuzz::Bytes message(m, m + sizeof m);
  const uint16_t length = testsupport::word16(message, 0);
  const uint32_t type = testsupport::word32(message, 4);
  const uint32_t code = testsupport::word32(message, 8);
  const bool whole = n > 5 && length == n;

  std::vector<fuzz::Bytes> expected;
  if (whole && type == upd::AI_MSG_UPDATE_REQ) {
    if (code == upd::UPD_CODE_STATUS) expected.push_back(reply(code, "/x0AT0x0Do"));
    if (code == upd::UPD_CODE_START) expected.push_back(reply(code, std::string("OK", 3)));
    if (code == upd::UPD_CODE_STOP) expected.push_back(reply(code, "b"));
  }
  std::vector<fuzz::Bytes> got;
  uint8_t buffer[2048];
  for (ssize_t r; (r = ::recv(admin, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
    got.emplace_back(buffer, buffer + r);
  FUZZ_CHECK(got == expected);

  if (whole && type == upd::AI_MSG_CHILD_DEAD && code == static_cast<uint32_t>(downloadPid)) {
    const uint32_t status = testsupport::word32(message, 12);
    FUZZ_CHECK(upd::dfuPid == 0);
    FUZZ_CHECK(upd::StepEvent == (status == 0 ? upd::STEP_DFU_ENDED : upd::STEP_DFU_FAILED));
  } else if (!(whole && type == upd::AI_MSG_UPDATE_REQ && code == upd::UPD_CODE_START)) {
    FUZZ_CHECK(upd::dfuPid == downloadPid);
    FUZZ_CHECK(upd::StepEvent == upd::STEP_WAIT);
  }
  return 0;
}
