// Module packets: whatever the module sends, a reader adds a dump line only
// for a well-formed successful answer while the step waits for one (the
// line the answer's bytes say), takes an answer only then, counts a fault
// only for a broken answer or a refused SET, and sends nothing itself.
//
// The first input byte is the situation: bit 0 the BCSP link (else serial
// HCI), bit 1 no answer awaited, bit 2 the last request a SET (else a GET).
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bt_module/bt_module.h"
#include "common/poll_set.h"
#include "common/step_event.h"
#include "fuzz_support.h"
#include "log/log.h"
#include "pskey_files/pskey_files.h"

namespace {

// The module's end of a socket pair whose other end sits in the module slot.
int modulePeer() {
  static const int peer = [] {
    fuzz::board();
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0);
    upd::pollSet.slots[0] = {-1, POLLIN, 0};
    upd::pollSet.slots[1] = {fds[0], POLLIN | POLLPRI, 0};
    upd::pollSet.nfds = 2;
    upd::pollSet.moduleSlot = 1;
    return fds[1];
  }();
  return peer;
}

size_t drain(int peer) {
  uint8_t buffer[2048];
  size_t packets = 0;
  while (::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++packets;
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int peer = modulePeer();
  if (size < 1 || size > 1100) return 0;
  const testsupport::Sandbox& sandbox = fuzz::board();
  const bool bcsp = data[0] & 1, waiting = !(data[0] & 2), set = data[0] & 4;
  const uint8_t value[2] = {0x03, 0x00};
  upd::LinkMode = bcsp ? upd::LINK_BCSP : upd::LINK_SERIAL_HCI;
  if (set)
    upd::sendPSKeySetReq(0x01, 0xf9, 1, value);
  else
    upd::sendPSKeyGetReq(0x01, 0x91, 0x00, 0x07);
  drain(peer);
  ::unlink(sandbox.path(upd::dumpPSKeyPath).c_str());
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  upd::StepEvent = waiting ? upd::STEP_WAIT : upd::STEP_NEW;
  upd::stepFaults = 0;
  const size_t length = size - 1;
  FUZZ_CHECK(::send(peer, data + 1, length, 0) == static_cast<ssize_t>(length));
  const int read = bcsp ? upd::readBtModuleBccmdChannel() : upd::readBtModule();

  // What the reader must make of it: the bytes that fit its buffer, the
  // response behind the serial link's event header or behind the BCSP
  // link's missing descriptor byte.
  const size_t n = std::min(length, bcsp ? upd::bccmdReadSize : upd::hciEventBufferSize);
  fuzz::Bytes packet(data + 1, data + 1 + n);
  packet.resize(std::max<size_t>(n, 8), 0);
  FUZZ_CHECK(read == static_cast<int>(n));
  FUZZ_CHECK(drain(peer) == 0);
  bool response = false, answer = false;
  fuzz::Bytes rsp;
  if (bcsp && n > 0) {
    response = answer = true;
    rsp.push_back(0);
    rsp.insert(rsp.end(), packet.begin(), packet.begin() + n);
  } else if (!bcsp && packet[1] == 0xFF) {
    response = answer = true;
    const size_t behind = n > 3 ? n - 3 : 0;
    rsp.assign(packet.begin() + 3, packet.begin() + 3 + std::min<size_t>(packet[2], behind));
  } else if (!bcsp && packet[1] == 0x0E) {
    answer = packet[4] == 0x03 && packet[5] == 0x0C;
  }
  std::string line;
  int faults = 0;
  if (response && waiting) {
    const size_t words = rsp.size() >= 17 ? (rsp[13] | rsp[14] << 8) : 0;
    const bool ok = rsp.size() >= 17 && rsp[9] == 0 && rsp[10] == 0;
    if (rsp.size() < 17 || (ok && (words > 40 || 17 + 2 * words > rsp.size())) || (!ok && set))
      faults = 1;
    else if (ok) {
      char text[8];
      std::snprintf(text, sizeof text, "&%02x%02x =", rsp[12], rsp[11]);
      line = text;
      for (size_t k = 0; k < words; ++k) {
        std::snprintf(text, sizeof text, " %02x%02x", rsp[17 + 2 * k + 1], rsp[17 + 2 * k]);
        line += text;
      }
      line += "\r\n";
    }
  }
  FUZZ_CHECK(sandbox.read(upd::dumpPSKeyPath) == line);
  FUZZ_CHECK(upd::stepFaults == faults);
  FUZZ_CHECK(upd::StepEvent == (answer && waiting ? upd::STEP_REPLY
                                                  : waiting ? upd::STEP_WAIT : upd::STEP_NEW));
  return 0;
}
