// The admin side's socket and datagram lines; see admin_socket.h.
#include "admin_side/admin_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace admin {
namespace {

uint32_t word32(const uint8_t* bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

const char* typeName(uint32_t type) {
  switch (type) {
    case AI_MSG_CHILD_DEAD: return "AI_MSG_CHILD_DEAD";
    case AI_MSG_UPDATE_REQ: return "AI_MSG_UPDATE_REQ";
    case AI_MSG_UPDATE_RSP: return "AI_MSG_UPDATE_RSP";
    case AI_MSG_UPDATE_IND: return "AI_MSG_UPDATE_IND";
    default: return "unknown";
  }
}

const char* codeName(uint32_t code) {
  switch (code) {
    case UPD_CODE_STATUS: return "UPD_CODE_STATUS";
    case UPD_CODE_START: return "UPD_CODE_START";
    case UPD_CODE_RESULT: return "UPD_CODE_RESULT";
    case UPD_CODE_STOP: return "UPD_CODE_STOP";
    default: return "unknown";
  }
}

bool addressOf(const std::string& path, struct sockaddr_un* address) {
  if (path.size() + 1 > sizeof address->sun_path) return false;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

// A connect to a socket file whose owner has ended is refused.
bool socketInUse(const std::string& path) {
  struct sockaddr_un address;
  if (!addressOf(path, &address)) return false;
  int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool bound = ::connect(probe, reinterpret_cast<const struct sockaddr*>(&address),
                         sizeof address) == 0;
  ::close(probe);
  return bound;
}

Datagram decode(const uint8_t* bytes, size_t size) {
  Datagram d;
  d.size = size;
  if (size < 8) return d;
  d.hasType = true;
  std::memcpy(&d.length, bytes, sizeof d.length);
  d.type = word32(bytes, 4);
  if (size < 12) return d;
  d.hasCode = true;
  d.code = word32(bytes, 8);
  if ((d.type == AI_MSG_UPDATE_RSP || d.type == AI_MSG_UPDATE_IND) && size >= 13) {
    d.hasPayload = true;
    size_t n = bytes[12];
    if (n > size - 13) n = size - 13;
    d.payload.assign(reinterpret_cast<const char*>(bytes + 13), n);
  }
  return d;
}

bool isMessage(const Datagram& d, uint32_t type, uint32_t code) {
  return d.hasCode && d.type == type && d.code == code;
}

std::string describe(const uint8_t* bytes, size_t size) {
  Datagram d = decode(bytes, size);
  std::string out = "received " + std::to_string(size) + " bytes:";
  if (!d.hasType) {
    out += " too short for a header";
  } else {
    out += " length " + std::to_string(d.length) + " type " + std::to_string(d.type) + " " +
           typeName(d.type);
    if (d.hasCode) out += " code " + std::to_string(d.code) + " " + codeName(d.code);
    if (d.hasPayload) {
      out += " payload " + std::to_string(bytes[12]) + " \"";
      for (unsigned char c : d.payload) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
          out += static_cast<char>(c);
        } else {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out += escaped;
        }
      }
      out += "\"";
    }
  }
  out += " |";
  for (size_t i = 0; i < size; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
    out += hex;
  }
  return out;
}

std::vector<uint8_t> updateRequest(uint32_t code) {
  std::vector<uint8_t> bytes(12, 0);
  uint16_t length = 12;
  uint32_t type = AI_MSG_UPDATE_REQ;
  std::memcpy(bytes.data(), &length, sizeof length);
  std::memcpy(bytes.data() + 4, &type, sizeof type);
  std::memcpy(bytes.data() + 8, &code, sizeof code);
  return bytes;
}

std::string timeOfDay() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm parts;
  gmtime_r(&ts.tv_sec, &parts);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", parts.tm_hour, parts.tm_min,
                parts.tm_sec, static_cast<long>(ts.tv_nsec / 1000000L));
  return text;
}

double monotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Socket::~Socket() { close(); }

bool Socket::open(const std::string& root, std::string* error) {
  close();
  std::string own = root + upd::adminSocketPath;
  struct sockaddr_un address;
  if (!addressOf(own, &address)) {
    *error = own + ": too long for a socket path (at most " +
             std::to_string(sizeof address.sun_path - 1) + " characters)";
    return false;
  }
  struct stat st;
  if (::lstat(own.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = own + ": exists and is not a socket; not touched";
      return false;
    }
    if (socketInUse(own)) {
      *error = own + ": bound by a running process (another admin side?); end it first, or "
                     "watch another board with --root";
      return false;
    }
    ::unlink(own.c_str());  // left by an admin side that has ended
  }
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    *error = own + ": cannot bind: " + std::strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return false;
  }
  ownPath_ = own;
  daemonPath_ = root + upd::ownSocketPath;
  return true;
}

void Socket::close() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(ownPath_.c_str());
  fd_ = -1;
}

bool Socket::send(const std::vector<uint8_t>& bytes, std::string* error) const {
  struct sockaddr_un address;
  if (!addressOf(daemonPath_, &address)) {
    *error = daemonPath_ + ": too long for a socket path";
    return false;
  }
  ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT,
                          reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  if (sent == static_cast<ssize_t>(bytes.size())) return true;
  if (sent >= 0) {
    *error = "sent only " + std::to_string(sent) + " of " + std::to_string(bytes.size()) + " bytes";
  } else if (errno == ENOENT || errno == ECONNREFUSED) {
    *error = "no daemon is running: nothing has " + daemonPath_ + " bound (" +
             std::strerror(errno) + ")";
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    *error = "the daemon takes no datagrams: its socket " + daemonPath_ + " is full (" +
             std::strerror(errno) + ")";
  } else {
    *error = "send to " + daemonPath_ + " failed: " + std::strerror(errno);
  }
  return false;
}

ssize_t Socket::receive(uint8_t* buffer, size_t size) const {
  return ::recv(fd_, buffer, size, MSG_DONTWAIT);
}

}  // namespace admin
