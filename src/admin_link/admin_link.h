// Admin interface: the datagram link to the admin process, and the requests,
// replies and reports carried on it. Messages are in host byte order.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace upd {

constexpr uint32_t AI_MSG_CHILD_DEAD = 12;
constexpr uint32_t AI_MSG_UPDATE_REQ = 1024;
constexpr uint32_t AI_MSG_UPDATE_RSP = 1025;
constexpr uint32_t AI_MSG_UPDATE_IND = 1026;

constexpr uint32_t UPD_CODE_STATUS = 0;
constexpr uint32_t UPD_CODE_START = 1;
constexpr uint32_t UPD_CODE_RESULT = 2;
constexpr uint32_t UPD_CODE_STOP = 3;

constexpr size_t aiHeaderSize = 8;
constexpr size_t aiReceiveSize = 224;   // longest datagram taken in
constexpr size_t aiReplySize = 64;      // every reply and report
constexpr size_t aiPayloadMax = 51;     // payload bytes from offset 13 to 63
constexpr size_t aiChildDeadSize = 16;

constexpr const char* ownSocketPath = "/rb_ai_sock2up";
constexpr const char* adminSocketPath = "/rb_ai_sock2ad";
constexpr size_t aiPathMax = 107;       // sun_path holds 108 bytes with the terminator

// One datagram: 16-bit length, two reserved bytes, 32-bit type, then the body
// laid out by type. Body fields are read and written at byte offsets from the
// start of the message with aiWord/setAiWord.
struct AiMessage {
  uint16_t length;
  uint16_t reserved;
  uint32_t type;
  uint8_t body[aiReceiveSize - aiHeaderSize];
};
static_assert(sizeof(AiMessage) == aiReceiveSize, "AiMessage layout");

uint32_t aiWord(const AiMessage& message, size_t offset);
void setAiWord(AiMessage& message, size_t offset, uint32_t value);
uint8_t* aiBytes(AiMessage& message, size_t offset);

// Hello payload of the start-up report and of every status reply.
constexpr uint8_t helloPayload[10] = {0x2F, 0x78, 0x30, 0x41, 0x54, 0x30, 0x78, 0x30, 0x44, 0x6F};
constexpr uint8_t stopPayload[1] = {'b'};

// Transport.
extern int aiSocketFd;
constexpr unsigned aiTraceFlags = 0;  // 1: trace received, 2: trace sent

int openAiSocket(const char* path);
void setAiDestination(const char* path);
ssize_t sendAiMessage(const AiMessage& message);
// Sends to the given socket path without touching the shared destination;
// safe in a signal handler.
ssize_t sendAiMessageTo(const AiMessage& message, const char* path);
ssize_t receiveAiMessage(AiMessage& buffer);
void closeAiSocket();
int checkAiMessage(const AiMessage& message, ssize_t received);

// Requests and replies.
extern pid_t dfuPid;  // the firmware download child, 0 when none

int readMessage();
int write_message(const AiMessage& message, int n);
// write_message to an explicit socket path, leaving the shared destination
// alone; what the SIGCHLD handler uses for its notices.
int writeMessageTo(const AiMessage& message, int n, const char* path);
int sendUpdateRsp(uint32_t code, const void* payload, size_t n);
int sendUpdateInd(uint32_t code, const void* payload, size_t n);

}  // namespace upd
