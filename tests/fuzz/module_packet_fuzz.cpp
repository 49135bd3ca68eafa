// Module packets: a reader adds a dump line (the one the answer's bytes
// say) only for a well-formed successful answer while the step waits for
// one, takes an answer only then, counts a fault only for a broken answer
// or a refused SET, and sends nothing. The first input byte: bit 0 the BCSP
// link (else serial HCI), bit 1 no answer awaited, bit 2 a SET was sent last.
#include <sys/socket.h>

#include "bt_module/bt_module.h"
#include "common/poll_set.h"
#include "common/step_event.h"
#include "fuzz_support.h"
#include "log/log.h"

// The module's end of a socket pair whose other end is the module channel.
int modulePeer() {
  static int fds[2] = {-1, -1};
  if (fds[1] < 0) {
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0);
    upd::pollSet.slots[1] = {fds[0], POLLIN | POLLPRI, 0};
    upd::pollSet.nfds = 2;
    upd::pollSet.moduleSlot = 1;
  }
  return fds[1];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  const int peer = modulePeer();
  uint8_t buffer[2048];
  auto drain = [&] {
    size_t packets = 0;
    while (::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++packets;
    return packets;
  };
  if (size < 1 || size > 1100) return 0;
  const bool bcsp = data[0] & 1, waiting = !(data[0] & 2), set = data[0] & 4;
  const uint8_t value[2] = {0x03, 0x00};
  upd::LinkMode = bcsp ? upd::LINK_BCSP : upd::LINK_SERIAL_HCI;
  set ? upd::sendPSKeySetReq(0x01, 0xf9, 1, value) : upd::sendPSKeyGetReq(0x01, 0x91, 0, 7);
  drain();
  ::unlink(sandbox.path(upd::dumpPSKeyPath).c_str());
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  upd::StepEvent = waiting ? upd::STEP_WAIT : upd::STEP_NEW;
  upd::stepFaults = 0;
  FUZZ_CHECK(::send(peer, data + 1, size - 1, 0) == static_cast<ssize_t>(size - 1));
  const int read = bcsp ? upd::readBtModuleBccmdChannel() : upd::readBtModule();
  const size_t n = std::min(size - 1, bcsp ? upd::bccmdReadSize : upd::hciEventBufferSize);
  FUZZ_CHECK(read == static_cast<int>(n) && drain() == 0);

  // The response: the bare message behind the BCSP link's missing
  // descriptor byte, or what arrived of a serial vendor event's parameters.
  fuzz::Bytes p(data + 1, data + 1 + n), rsp;
  p.resize(std::max<size_t>(n, 8), 0);
  const bool response = bcsp ? n > 0 : p[1] == 0xFF;
  if (bcsp) rsp.assign(data, data + 1 + n), rsp[0] = 0;
  if (!bcsp && response) rsp.assign(&p[3], &p[3] + std::min<size_t>(p[2], n > 3 ? n - 3 : 0));
  const bool answer = response || (!bcsp && p[1] == 0x0E && p[4] == 0x03 && p[5] == 0x0C);
  std::string line;
  int faults = 0;
  if (response && waiting) {
    const bool good = rsp.size() >= 17 && rsp[9] == 0 && rsp[10] == 0;
    const size_t words = good ? rsp[13] | rsp[14] << 8 : 0;
    faults =
        rsp.size() < 17 || (good && (words > 40 || 17 + 2 * words > rsp.size())) || (!good && set);
    char text[8];
    for (size_t k = 0; good && faults == 0 && k <= words; ++k) {
      std::snprintf(text, sizeof text, k == 0 ? "&%02x%02x =" : " %02x%02x",
                    rsp[k == 0 ? 12 : 16 + 2 * k], rsp[k == 0 ? 11 : 15 + 2 * k]);
      line += text;
    }
    if (!line.empty()) line += "\r\n";
  }
  FUZZ_CHECK(sandbox.read(upd::dumpPSKeyPath) == line);
  FUZZ_CHECK(upd::stepFaults == faults);
  FUZZ_CHECK(upd::StepEvent == (!waiting ? upd::STEP_NEW
                                : answer ? upd::STEP_REPLY
                                         : upd::STEP_WAIT));
  return 0;
}
