// Admin requests and replies: what the daemon does with a datagram on its
// own socket, and how it answers the admin process.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "admin_link/admin_link.h"
#include "common/step_event.h"
#include "log/log.h"
#include "platform/platform.h"
#include "sequencer/sequencer.h"
#include "update_process/update_process.h"

namespace upd {
namespace {

int sendUpdateMessage(uint32_t type, uint32_t code, const void* payload, size_t n) {
  if (n > aiPayloadMax) n = aiPayloadMax;
  AiMessage message;
  std::memset(&message, 0, sizeof message);
  message.length = static_cast<uint16_t>(aiReplySize);
  message.type = type;
  setAiWord(message, 8, code);
  *aiBytes(message, 12) = static_cast<uint8_t>(n);
  if (n > 0) std::memcpy(aiBytes(message, 13), payload, n);
  return write_message(message, static_cast<int>(aiReplySize));
}

void handleUpdateRequest(uint32_t code) {
  OPERATION_INFO("readMessage", 3, "Update process Req type %d received\n", static_cast<int>(code));
  switch (code) {
    case UPD_CODE_START:
      beginUpdate();
      break;
    case UPD_CODE_STATUS:
      sendUpdateRsp(UPD_CODE_STATUS, helloPayload, sizeof helloPayload);
      break;
    case UPD_CODE_STOP:
      platform::sleep(30);
      sendUpdateRsp(UPD_CODE_STOP, stopPayload, sizeof stopPayload);
      reboot("stopped");
      break;
    default:  // UPD_CODE_RESULT and unknown codes: nothing to do
      break;
  }
}

}  // namespace

pid_t dfuPid = 0;

namespace {

// A send that did not go out whole ends the daemon: the admin process can no
// longer be reached.
int sendResult(ssize_t sent, int n) {
  if (sent == n) return 1;
  int error = errno;
  OPERATION_ERROR("write_message", Critical, 107, "socket_write_error %d %s \n", error,
                  errorText(error));
  reboot("can't write to admin");
  return -1;
}

}  // namespace

int write_message(const AiMessage& message, int n) { return sendResult(sendAiMessage(message), n); }

int writeMessageTo(const AiMessage& message, int n, const char* path) {
  return sendResult(sendAiMessageTo(message, path), n);
}

int sendUpdateRsp(uint32_t code, const void* payload, size_t n) {
  return sendUpdateMessage(AI_MSG_UPDATE_RSP, code, payload, n);
}

int sendUpdateInd(uint32_t code, const void* payload, size_t n) {
  return sendUpdateMessage(AI_MSG_UPDATE_IND, code, payload, n);
}

int readMessage() {
  AiMessage message;
  ssize_t n = receiveAiMessage(message);
  if (n <= 0) {
    LOG_ERROR(Warning, 106, "read error from socket: counter = %d \n", static_cast<int>(n));
    return 1;
  }
  LOG_INFO(3, "ReadMsg %d, length %d \n", static_cast<int>(message.type), static_cast<int>(n));
  int type = checkAiMessage(message, n);
  if (type == -1) {
    LOG_ERROR(Warning, 103, "socket message length error \n");
    return 1;
  }
  LOG_INFO(3, "got message %d (%d bytes long) \n", type, static_cast<int>(n));
  if (type == static_cast<int>(AI_MSG_CHILD_DEAD)) {
    pid_t pid = static_cast<pid_t>(aiWord(message, 8));
    int status = static_cast<int>(aiWord(message, 12));
    LOG_INFO(1, "Child with PID %d dead; status: %d \n", static_cast<int>(pid), status);
    // Only the end of a running download counts (no pid 0, no notice twice).
    if (pid <= 0 || pid != dfuPid) return 1;
    dfuPid = 0;
    LOG_INFO(1, "DFU process died; status: %d \n", status);
    StepEvent = status == 0 ? STEP_DFU_ENDED : STEP_DFU_FAILED;
    return 1;
  }
  if (type == static_cast<int>(AI_MSG_UPDATE_REQ)) {
    handleUpdateRequest(aiWord(message, 8));
    return 1;
  }
  LOG_ERROR(Warning, 104, "unknown message from socket \n");
  return 1;
}

}  // namespace upd
