// The admin interface transport: the daemon's own datagram socket, the
// destination of its sends, and the checks on what arrives.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin_link/admin_link.h"
#include "platform/platform.h"

namespace upd {
namespace {

char ownPath[aiPathMax + 1] = "";
struct sockaddr_un destination;
socklen_t destinationLength = 0;

// Address of a socket path: family AF_UNIX, the path, its terminator; the
// length is the path's length plus 3. Paths longer than a socket address
// holds are cut to 107 characters.
socklen_t makeAddress(const char* path, struct sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  size_t length = strnlen(path, aiPathMax);
  std::memcpy(address->sun_path, path, length);
  return static_cast<socklen_t>(length + 3);
}

void traceMessage(const char* label, const AiMessage& message, size_t bytes) {
  std::printf("%s len: 0x%04x, typ: 0x%08x hdata: ", label, message.length, message.type);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&message);
  for (size_t i = 0; i < bytes; ++i) std::printf("0x%02x ", raw[i]);
  std::printf("\n");
}

}  // namespace

int aiSocketFd = -1;

uint32_t aiWord(const AiMessage& message, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, reinterpret_cast<const uint8_t*>(&message) + offset, sizeof value);
  return value;
}

void setAiWord(AiMessage& message, size_t offset, uint32_t value) {
  std::memcpy(reinterpret_cast<uint8_t*>(&message) + offset, &value, sizeof value);
}

uint8_t* aiBytes(AiMessage& message, size_t offset) {
  return reinterpret_cast<uint8_t*>(&message) + offset;
}

int openAiSocket(const char* path) {
  platform::remove(path);
  // Close-on-exec: no child (the download tool, a shell command) gets it.
  aiSocketFd = platform::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (aiSocketFd < 0) return -1;
  struct sockaddr_un address;
  socklen_t length = makeAddress(path, &address);
  std::memcpy(ownPath, address.sun_path, sizeof ownPath - 1);
  if (platform::fcntl(aiSocketFd, F_SETFL, O_NONBLOCK) < 0) return -2;
  if (platform::bind(aiSocketFd, &address, length) < 0) return -3;
  return aiSocketFd;
}

void setAiDestination(const char* path) { destinationLength = makeAddress(path, &destination); }

ssize_t sendAiMessage(const AiMessage& message) {
  if (aiSocketFd == -1) {
    std::printf("CAUTION! Initialise the AI interface first!\n");
    std::fflush(stdout);
    std::exit(5);
  }
  if (aiTraceFlags & 2) traceMessage("AI-TRM", message, message.length);
  return platform::sendTo(aiSocketFd, &message, message.length, 0, &destination,
                          destinationLength);
}

ssize_t sendAiMessageTo(const AiMessage& message, const char* path) {
  if (aiSocketFd == -1) {
    static const char caution[] = "CAUTION! Initialise the AI interface first!\n";
    ssize_t ignored = ::write(STDOUT_FILENO, caution, sizeof caution - 1);
    (void)ignored;
    _exit(5);
  }
  struct sockaddr_un address;
  socklen_t length = makeAddress(path, &address);
  return platform::sendTo(aiSocketFd, &message, message.length, 0, &address, length);
}

ssize_t receiveAiMessage(AiMessage& buffer) {
  // Cleared first: a field beyond the received bytes reads 0.
  std::memset(&buffer, 0, sizeof buffer);
  struct sockaddr_un from;
  socklen_t fromLength = sizeof from;
  ssize_t received = platform::recvFrom(aiSocketFd, &buffer, aiReceiveSize, 0, &from, &fromLength);
  if (aiTraceFlags & 1) {
    size_t shown = received > 0 ? static_cast<size_t>(received) : 0;
    if (buffer.length < shown) shown = buffer.length;
    traceMessage("AI-RCV", buffer, shown);
  }
  return received;
}

void closeAiSocket() {
  platform::close(aiSocketFd);
  platform::remove(ownPath);
}

int checkAiMessage(const AiMessage& message, ssize_t received) {
  if (static_cast<ssize_t>(message.length) != received) return -1;
  if (message.length <= 5) return -1;
  return static_cast<int>(message.type);
}

}  // namespace upd
