// A module channel without a module: one end of a datagram socket pair sits
// in the module slot of the PollSet, the test holds the other end. What the
// daemon writes arrives there packet by packet, and a packet the test sends
// is what the next reader call reads.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bt_module/bt_module.h"
#include "pskey_files/pskey_files.h"
#include "sequencer/sequencer.h"
#include "test_support.h"
#include "update_process/update_process.h"

namespace moduletest {

using Bytes = std::vector<uint8_t>;

struct ModuleLink : ::testing::Test {
  testsupport::Sandbox sandbox;
  int peer = -1;
  int daemonEnd = -1;

  void SetUp() override {
    testsupport::useInProcess(sandbox);
    int fds[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds));
    daemonEnd = fds[0];
    peer = fds[1];
    // No operation puts a given descriptor into the module slot: the slots
    // are set as openBtModule leaves them after start-up.
    upd::pollSet.slots[0] = {-1, POLLIN, 0};
    upd::pollSet.slots[1] = {daemonEnd, POLLIN | POLLPRI, 0};
    upd::pollSet.nfds = 2;
    upd::pollSet.moduleSlot = 1;
    // A fresh update (serial HCI, walk and writers at their start) whose
    // step waits for the module's answer.
    upd::resetUpdateState();
    upd::StepEvent = upd::STEP_WAIT;
  }

  void TearDown() override {
    upd::openBtModule(0);
    upd::resetUpdateState();
    if (peer >= 0) ::close(peer);
  }

  // The next packet the daemon wrote; empty when none is waiting.
  Bytes sent() {
    uint8_t buf[2048];
    ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? Bytes(buf, buf + n) : Bytes();
  }
  std::vector<Bytes> allSent() {
    std::vector<Bytes> packets;
    for (Bytes p = sent(); !p.empty(); p = sent()) packets.push_back(p);
    return packets;
  }
  // A packet for the next reader call.
  void feed(const Bytes& packet) {
    ASSERT_EQ(static_cast<ssize_t>(packet.size()), ::send(peer, packet.data(), packet.size(), 0));
  }

  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  std::string dump() const { return sandbox.read("/tmp/pskeydump.psr"); }
};

// A response as handed to pskeyReqRsp: descriptor, then a BCCMD message.
// Head and value are copied into a vector of the final size (an insert at
// the end of a short vector draws a false -Warray-bounds from gcc 12 -O2).
inline Bytes response(uint16_t status, uint16_t keyId, uint16_t words, const Bytes& value,
                      uint8_t descriptor = 0xC2) {
  const uint8_t head[] = {descriptor, 0x01, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70,
                          static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8),
                          static_cast<uint8_t>(keyId), static_cast<uint8_t>(keyId >> 8),
                          static_cast<uint8_t>(words), static_cast<uint8_t>(words >> 8),
                          0x07, 0x00};
  Bytes rsp(sizeof head + value.size());
  std::copy(value.begin(), value.end(), std::copy(head, head + sizeof head, rsp.begin()));
  return rsp;
}

// The vendor event that carries a response on the serial link.
inline Bytes vendorEvent(const Bytes& rsp) {
  Bytes packet(3 + rsp.size());
  packet[0] = 0x04;
  packet[1] = 0xFF;
  packet[2] = static_cast<uint8_t>(rsp.size());
  std::copy(rsp.begin(), rsp.end(), packet.begin() + 3);
  return packet;
}

}  // namespace moduletest
