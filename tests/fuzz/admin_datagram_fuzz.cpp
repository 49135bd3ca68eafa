// The admin datagram: readMessage answers only the requests that ask for an
// answer, reads no field beyond the bytes received (they read 0), and takes
// a child-dead notice only for the running download.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "admin_link/admin_link.h"
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

// The admin side's socket, and the daemon's own beside it.
int adminSocket() {
  static const int fd = [] {
    upd::exitInProgress = 1;  // the stop request answers, then its exit returns at once
    FUZZ_CHECK(upd::openAiSocket(upd::ownSocketPath) >= 0);
    upd::setAiDestination(upd::adminSocketPath);
    int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un own = address(fuzz::board().path(upd::adminSocketPath));
    FUZZ_CHECK(::bind(s, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0);
    return s;
  }();
  return fd;
}

fuzz::Bytes reply(uint32_t code, const std::string& payload) {
  fuzz::Bytes body(56, 0);
  std::memcpy(body.data(), &code, sizeof code);
  body[4] = static_cast<uint8_t>(payload.size());
  std::memcpy(body.data() + 5, payload.data(), payload.size());
  return testsupport::aiMessage(64, upd::AI_MSG_UPDATE_RSP, body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  const int admin = adminSocket();
  if (size > 1024) return 0;
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  sockaddr_un daemon = address(sandbox.path(upd::ownSocketPath));
  FUZZ_CHECK(::sendto(admin, data, size, 0, reinterpret_cast<sockaddr*>(&daemon), sizeof daemon) ==
             static_cast<ssize_t>(size));
  upd::currentStep = upd::STEP_FINISH;
  upd::dfuPid = downloadPid;
  upd::StepEvent = upd::STEP_WAIT;
  FUZZ_CHECK(upd::readMessage() == 1);

  // The message as taken: at most 224 bytes, zeros behind them.
  fuzz::Bytes m(data, data + std::min(size, upd::aiReceiveSize));
  const bool whole = m.size() > 5 && testsupport::word16(m, 0) == m.size();
  m.resize(upd::aiReceiveSize, 0);
  const uint32_t type = testsupport::word32(m, 4), code = testsupport::word32(m, 8);
  const bool request = whole && type == upd::AI_MSG_UPDATE_REQ;
  std::vector<fuzz::Bytes> expected, got;
  if (request && code == upd::UPD_CODE_STATUS) expected.push_back(reply(code, "/x0AT0x0Do"));
  if (request && code == upd::UPD_CODE_START) expected.push_back(reply(code, {"OK", 3}));
  if (request && code == upd::UPD_CODE_STOP) expected.push_back(reply(code, "b"));
  uint8_t buffer[2048];
  for (ssize_t n; (n = ::recv(admin, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
    got.emplace_back(buffer, buffer + n);
  FUZZ_CHECK(got == expected);

  if (whole && type == upd::AI_MSG_CHILD_DEAD && code == static_cast<uint32_t>(downloadPid)) {
    const int ended = testsupport::word32(m, 12) == 0 ? upd::STEP_DFU_ENDED : upd::STEP_DFU_FAILED;
    FUZZ_CHECK(upd::dfuPid == 0 && upd::StepEvent == ended);
  } else if (!(request && code == upd::UPD_CODE_START)) {  // a start resets both
    FUZZ_CHECK(upd::dfuPid == downloadPid && upd::StepEvent == upd::STEP_WAIT);
  }
  return 0;
}
