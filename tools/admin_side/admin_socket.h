// The admin process's end of the daemon's datagram link: its socket, the
// datagrams it sends, and one readable line per datagram it receives.
// Messages are in the host's byte order, as the daemon's (docs/admin_link.md).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The daemon's message types, update codes and socket paths.
#include "admin_link/admin_link.h"

namespace admin {

using upd::AI_MSG_CHILD_DEAD;
using upd::AI_MSG_UPDATE_IND;
using upd::AI_MSG_UPDATE_REQ;
using upd::AI_MSG_UPDATE_RSP;
using upd::UPD_CODE_RESULT;
using upd::UPD_CODE_START;
using upd::UPD_CODE_STATUS;
using upd::UPD_CODE_STOP;

constexpr size_t maxDatagram = 1024;
constexpr uint32_t maxRequestCode = 65535;

// The fields of a received datagram, as far as it holds them.
struct Datagram {
  size_t size = 0;
  bool hasType = false;  // 8 bytes or more
  bool hasCode = false;  // 12 bytes or more
  uint16_t length = 0;
  uint32_t type = 0;
  uint32_t code = 0;
  bool hasPayload = false;  // a reply or report with its payload length byte
  std::string payload;      // as many bytes as the length byte says and were received
};
Datagram decode(const uint8_t* bytes, size_t size);
bool isMessage(const Datagram& d, uint32_t type, uint32_t code);

// One line: size, decoded fields, payload as text, then the bytes in hex.
std::string describe(const uint8_t* bytes, size_t size);
// The update request with a code: 12 bytes, length 12, type 1024.
std::vector<uint8_t> updateRequest(uint32_t code);
// The UTC time of day, "HH:MM:SS.mmm", as the daemon's log lines show it.
std::string timeOfDay();
// Seconds of the monotonic clock, for spans of time.
double monotonicSeconds();

// Whether a running process has the datagram socket at path bound.
bool socketInUse(const std::string& path);

// The socket "ROOT/rb_ai_sock2ad" bound for receiving, sending to
// "ROOT/rb_ai_sock2up" (ROOT empty on the device).
class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Binds the socket. A socket file left by an ended process is replaced;
  // one that a running process has bound, or a file that is no socket, is
  // refused. false with the reason in *error.
  bool open(const std::string& root, std::string* error);
  // Closes and removes the socket file (also done by the destructor).
  void close();
  int fd() const { return fd_; }
  const std::string& path() const { return ownPath_; }
  const std::string& daemonPath() const { return daemonPath_; }

  // Sends one datagram to the daemon without waiting; false with the reason
  // in *error ("no daemon is running ..." when nothing is bound there).
  bool send(const std::vector<uint8_t>& bytes, std::string* error) const;
  // Receives one datagram; the byte count, or -1 when none is waiting.
  ssize_t receive(uint8_t* buffer, size_t size) const;

 private:
  int fd_ = -1;
  std::string ownPath_;
  std::string daemonPath_;
};

}  // namespace admin
