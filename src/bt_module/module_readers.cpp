// Module event readers: one HCI event from the serial node or one bare BCCMD
// message from the BCSP node per call. They leave a StepEvent and never run
// a step themselves.
#include <cerrno>
#include <cstdio>

#include "bt_module/bt_module.h"
#include "common/poll_set.h"
#include "common/step_event.h"
#include "log/log.h"
#include "platform/platform.h"

namespace upd {

const CmdCompleteHandler cmdCompleteHandlers[2] = {
    {{hciResetOpcode[0], hciResetOpcode[1]}, onResetComplete},
    {{vendorOpcode[0], vendorOpcode[1]}, onVendorCmdComplete},
};

bool takeAnswer(const char* operation) {
  if (replaceStepEvent(STEP_WAIT, STEP_REPLY)) return true;
  OPERATION_INFO(operation, 1, "answer of the module while none is awaited (event %d): dropped\n",
                 static_cast<int>(StepEvent));
  return false;
}

int onResetComplete() { return takeAnswer("onResetComplete") ? 1 : 0; }

int onVendorCmdComplete() { return 1; }

namespace {

constexpr uint8_t eventCommandComplete = 0x0E;
constexpr uint8_t eventCommandStatus = 0x0F;
constexpr uint8_t eventVendor = 0xFF;
constexpr size_t eventHeaderSize = 3;  // indicator, event code, parameter length

// Reads once from the module channel; -1 with EBADF when none is open.
ssize_t readChannel(uint8_t* buf, size_t size) {
  if (pollSet.moduleSlot <= 0) {
    errno = EBADF;
    return -1;
  }
  return platform::read(pollSet.slots[pollSet.moduleSlot].fd, buf, size);
}

}  // namespace

int readBtModule() {
  uint8_t packet[hciEventBufferSize] = {};
  errno = 0;
  const ssize_t n = readChannel(packet, sizeof packet);
  if (n <= 0) {
    int error = errno;
    LOG_ERROR(Warning, 106, "read error from module: counter = %d; error %d %s \n",
              static_cast<int>(n), error, errorText(error));
    return static_cast<int>(n);
  }
  const size_t received = static_cast<size_t>(n);
  LOG_INFO(3, "ReadModule %d, length %d \n", packet[0], static_cast<int>(n));
  if (moduleTraceMask & 1u) {
    std::printf("HCI Event: 0x%02X  len: 0x%02X, typ: 0x%02X 0x%02X hdata: ", packet[1],
                packet[2], packet[4], packet[5]);
    for (size_t i = 0; i < received; ++i) std::printf("0x%02X ", packet[i]);
    std::printf("\n");
  }

  // The buffer is cleared before the read, so header bytes a short packet
  // did not deliver read as 0 and match no handler.
  switch (packet[1]) {
    case eventCommandComplete:
      LOG_INFO(3, "Command Complete event for command 0x%02X 0x%02X received\n", packet[4],
               packet[5]);
      for (const CmdCompleteHandler& row : cmdCompleteHandlers)
        if (packet[4] == row.opcode[0] && packet[5] == row.opcode[1]) row.handler();
      break;
    case eventCommandStatus:
      LOG_INFO(3, "Command Status event 0x%02X for command 0x%02X 0x%02X received\n", packet[3],
               packet[5], packet[6]);
      break;
    case eventVendor: {
      LOG_INFO(3, "Extended Hci complete 0x%02X  received\n", packet[3]);
      // The parameter length is the packet's own claim: hand on no more than
      // what actually arrived behind the header.
      size_t length = packet[2];
      size_t delivered = received > eventHeaderSize ? received - eventHeaderSize : 0;
      if (length > delivered) length = delivered;
      pskeyReqRsp(packet + eventHeaderSize, static_cast<int>(length));
      break;
    }
    default:
      LOG_ERROR(Warning, 106, "unexpected hci event 0x%02X received \n", packet[1]);
      break;
  }
  return static_cast<int>(n);
}

int readBtModuleBccmdChannel() {
  // The first byte stands where the serial link has the payload descriptor.
  uint8_t message[1 + bccmdReadSize] = {};
  errno = 0;
  const ssize_t n = readChannel(message + 1, bccmdReadSize);
  if (n <= 0) {
    int error = errno;
    LOG_ERROR(Warning, 106, "BCCMD read error from module: counter = %d; error %d %s \n",
              static_cast<int>(n), error, errorText(error));
    return static_cast<int>(n);
  }
  LOG_INFO(1, "ReadModuleBccmd: length %d \n", static_cast<int>(n));
  const size_t length = static_cast<size_t>(n) + 1;
  if (moduleTraceMask & 1u) {
    for (size_t i = 0; i < length; ++i) std::printf("0x%02X ", message[i]);
    std::printf("\n");
  }
  pskeyReqRsp(message, static_cast<int>(length));
  return static_cast<int>(n);
}

}  // namespace upd
