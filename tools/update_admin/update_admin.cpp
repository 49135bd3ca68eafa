// update_admin: the admin side of the daemon's datagram link, for people and
// test scripts.
//
//   update_admin [--root DIR] [--all] [--exit-after-stop]
//
// Binds the admin socket ("/rb_ai_sock2ad", or DIR/rb_ai_sock2ad on the
// simulated board) and stays bound until it ends (SIGINT, SIGTERM, "quit", or
// the stop reply with --exit-after-stop). Every datagram received is printed
// on one line of standard output, decoded. Commands are read from standard
// input, one per line:
//   status | start | stop      send the update request with that code
//   request N                  send an update request with code N
//   raw XX XX ...              send the bytes given in hexadecimal, as they are
//   quit                       end
// Messages are in the host's byte order, as the daemon's.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t maxDatagram = 1024;

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

std::string ownPath;
std::string daemonPath;
int socketFd = -1;

const char* typeName(uint32_t type) {
  switch (type) {
    case 12: return "AI_MSG_CHILD_DEAD";
    case 1024: return "AI_MSG_UPDATE_REQ";
    case 1025: return "AI_MSG_UPDATE_RSP";
    case 1026: return "AI_MSG_UPDATE_IND";
    default: return "unknown";
  }
}

const char* codeName(uint32_t code) {
  switch (code) {
    case 0: return "UPD_CODE_STATUS";
    case 1: return "UPD_CODE_START";
    case 2: return "UPD_CODE_RESULT";
    case 3: return "UPD_CODE_STOP";
    default: return "unknown";
  }
}

uint32_t word(const uint8_t* bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

// One line per datagram: its size, then the decoded fields, then the bytes.
std::string describe(const uint8_t* bytes, size_t n) {
  std::ostringstream out;
  out << "received " << n << " bytes:";
  if (n < 8) {
    out << " too short for a header";
  } else {
    uint16_t length;
    std::memcpy(&length, bytes, sizeof length);
    uint32_t type = word(bytes, 4);
    out << " length " << length << " type " << type << " " << typeName(type);
    if (n >= 12) {
      uint32_t code = word(bytes, 8);
      out << " code " << code << " " << codeName(code);
    }
    if ((type == 1025 || type == 1026) && n >= 13) {
      size_t payload = bytes[12];
      if (payload > n - 13) payload = n - 13;
      out << " payload " << static_cast<int>(bytes[12]) << " \"";
      for (size_t i = 0; i < payload; ++i) {
        unsigned char c = bytes[13 + i];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
          out << c;
        } else {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out << escaped;
        }
      }
      out << "\"";
    }
  }
  out << " |";
  for (size_t i = 0; i < n; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
    out << hex;
  }
  return out.str();
}

bool sendBytes(const std::vector<uint8_t>& bytes) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, daemonPath.c_str(), daemonPath.size() + 1);
  ssize_t sent = ::sendto(socketFd, bytes.data(), bytes.size(), 0,
                          reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  if (sent != static_cast<ssize_t>(bytes.size())) {
    std::printf("send failed: %s\n", std::strerror(errno));
    return false;
  }
  std::printf("sent %zu bytes\n", bytes.size());
  return true;
}

std::vector<uint8_t> updateRequest(uint32_t code) {
  std::vector<uint8_t> bytes(12, 0);
  uint16_t length = 12;
  uint32_t type = 1024;
  std::memcpy(bytes.data(), &length, sizeof length);
  std::memcpy(bytes.data() + 4, &type, sizeof type);
  std::memcpy(bytes.data() + 8, &code, sizeof code);
  return bytes;
}

// Runs one command line; returns false when the program is to end.
bool runCommand(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  if (!(words >> command)) return true;
  if (command == "quit" || command == "exit") return false;
  if (command == "status") {
    sendBytes(updateRequest(0));
  } else if (command == "start") {
    sendBytes(updateRequest(1));
  } else if (command == "stop") {
    sendBytes(updateRequest(3));
  } else if (command == "request") {
    std::string text;
    char* end = nullptr;
    unsigned long code = 0;
    if (!(words >> text) || (code = std::strtoul(text.c_str(), &end, 0), *end != '\0')) {
      std::printf("usage: request CODE\n");
    } else {
      sendBytes(updateRequest(static_cast<uint32_t>(code)));
    }
  } else if (command == "raw") {
    std::vector<uint8_t> bytes;
    std::string text;
    while (words >> text) {
      char* end = nullptr;
      unsigned long value = std::strtoul(text.c_str(), &end, 16);
      if (*end != '\0' || value > 0xff || bytes.size() == maxDatagram) {
        std::printf("raw takes up to %zu bytes in hexadecimal, not \"%s\"\n", maxDatagram,
                    text.c_str());
        return true;
      }
      bytes.push_back(static_cast<uint8_t>(value));
    }
    sendBytes(bytes);
  } else {
    std::printf("unknown command \"%s\": status, start, stop, request N, raw XX.., quit\n",
                command.c_str());
  }
  return true;
}

int usage(const char* message) {
  if (message != nullptr) std::fprintf(stderr, "update_admin: %s\n", message);
  std::fprintf(stderr,
               "usage: update_admin [--root DIR] [--all] [--exit-after-stop]\n"
               "  --root DIR          the simulated board's sandbox (default: the device's /)\n"
               "  --all               print every datagram (default: a repeat of the same\n"
               "                      datagram is counted, not printed again)\n"
               "  --exit-after-stop   end once the reply to a stop request arrived\n"
               "commands on standard input: status, start, stop, request N, raw XX .., quit\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  bool printAll = false;
  bool exitAfterStop = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
      while (root.size() > 1 && root.back() == '/') root.pop_back();
    } else if (arg == "--all") {
      printAll = true;
    } else if (arg == "--exit-after-stop") {
      exitAfterStop = true;
    } else if (arg == "--help" || arg == "-h") {
      usage(nullptr);
      return 0;
    } else {
      return usage(("unknown argument: " + arg).c_str());
    }
  }
  ownPath = root + "/rb_ai_sock2ad";
  daemonPath = root + "/rb_ai_sock2up";
  if (ownPath.size() > 107) return usage("the root is too long for a socket path");

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!root.empty()) ::mkdir(root.c_str(), 0755);  // the sandbox may not exist yet
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  socketFd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, ownPath.c_str(), ownPath.size() + 1);
  ::unlink(ownPath.c_str());
  if (socketFd < 0 ||
      ::bind(socketFd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "update_admin: cannot bind %s: %s\n", ownPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::printf("listening on %s\n", ownPath.c_str());

  bool stdinOpen = true;
  std::string pending;
  std::vector<uint8_t> last;
  unsigned repeats = 0;
  bool running = true;
  while (running && !stopRequested) {
    struct pollfd fds[2] = {{socketFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
    int n = ::poll(fds, 2, 1000);
    if (n < 0) continue;
    if (fds[0].revents & POLLIN) {
      uint8_t bytes[maxDatagram];
      ssize_t got = ::recv(socketFd, bytes, sizeof bytes, 0);
      if (got > 0) {
        std::vector<uint8_t> datagram(bytes, bytes + got);
        if (!printAll && datagram == last) {
          ++repeats;
        } else {
          if (repeats > 0) std::printf("(the datagram before came %u more times)\n", repeats);
          repeats = 0;
          std::printf("%s\n", describe(bytes, static_cast<size_t>(got)).c_str());
          last = datagram;
        }
        if (exitAfterStop && got >= 12 && word(bytes, 4) == 1025 && word(bytes, 8) == 3)
          running = false;
      }
    }
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char chunk[512];
      ssize_t got = ::read(0, chunk, sizeof chunk);
      if (got <= 0) {
        stdinOpen = false;
      } else {
        pending.append(chunk, static_cast<size_t>(got));
        size_t newline;
        while (running && (newline = pending.find('\n')) != std::string::npos) {
          running = runCommand(pending.substr(0, newline));
          pending.erase(0, newline + 1);
        }
      }
    }
  }
  if (repeats > 0) std::printf("(the datagram before came %u more times)\n", repeats);
  ::close(socketFd);
  ::unlink(ownPath.c_str());
  return 0;
}
