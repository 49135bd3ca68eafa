// One run of the admin side; see admin_session.h.
//
// The verdict of a start request: the finish step reports the result on
// every tick, also before the start request is taken, so a report that
// arrives just after the start may still stem from before it. The session
// therefore follows its start request with a status request: the daemon
// takes datagrams in order, so the first result report after the status
// reply tells this update's result. A start reply (code 1, "OK\0", or the
// reason of a refused signature) means the daemon rejected the archive: the
// verdict is "NOK" at once (the reports that follow say so too).
#include "admin_side/admin_session.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace admin {
namespace {

std::string readFrom(const std::string& path, size_t* offset) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "";
  std::fseek(file, 0, SEEK_END);
  long size = std::ftell(file);
  if (size >= 0 && static_cast<size_t>(size) < *offset) *offset = 0;  // the daemon started anew
  std::fseek(file, static_cast<long>(*offset), SEEK_SET);
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  std::fclose(file);
  return text;
}

size_t fileSize(const std::string& path) {
  size_t offset = 0;
  return readFrom(path, &offset).size();
}

const char* requestName(uint32_t code) {
  switch (code) {
    case UPD_CODE_STATUS: return "status request";
    case UPD_CODE_START: return "start request";
    case UPD_CODE_RESULT: return "request with code 2";
    case UPD_CODE_STOP: return "stop request";
    default: return "update request";
  }
}

}  // namespace

Session::Session(const SessionOptions& options, Socket& socket, std::ostream& out, bool terminal,
                 int width)
    : options_(options), socket_(socket), out_(out) {
  if (!options_.watch) return;
  std::string root = options_.root;
  std::string title = "update on " + (root.empty() ? std::string("this device") : root);
  view_ = std::make_unique<StatusView>(
      out, terminal ? StatusView::Style::terminal : StatusView::Style::lines, title,
      [root] {
        size_t offset = 0;
        return readFrom(root + "/tmp/update.d/updatetodo.txt", &offset);
      },
      width);
  if (options_.editInput) view_->typing(monotonicSeconds(), "");
}

void Session::say(const std::string& text) {
  if (view_) {
    view_->message(monotonicSeconds(), text);
  } else {
    close();
    out_ << timeOfDay() << " " << text << "\n";
    out_.flush();
  }
}

void Session::decide(const std::string& result, const std::string& text) {
  result_ = result;
  verdictText_ = text;
  waiting_ = Wait::nothing;
  if (view_) {
    watchStatus();  // the finish line was written before the report went out
    view_->verdict(monotonicSeconds(), text);
  } else {
    say("update result: " + text);
  }
}

void Session::onDatagram(const uint8_t* bytes, size_t size) {
  daemonUp_ = true;
  std::vector<uint8_t> datagram(bytes, bytes + size);
  const Datagram d = decode(bytes, size);
  // The report that carries the verdict is shown even when it repeats the
  // one before the start (the same "OK" as before the update began).
  const bool verdictReport = waiting_ == Wait::result && isMessage(d, AI_MSG_UPDATE_IND, UPD_CODE_RESULT);
  if (!view_) {
    if (!options_.all && !verdictReport && datagram == last_) {
      ++repeats_;
    } else {
      close();
      out_ << timeOfDay() << " " << describe(bytes, size) << "\n";
      out_.flush();
      last_ = datagram;
    }
  }
  // Status replies come in the order of the requests: the marker's is the
  // one after those of the status requests sent before it.
  if (isMessage(d, AI_MSG_UPDATE_RSP, UPD_CODE_STATUS) && statusUnanswered_ > 0) {
    --statusUnanswered_;
    if (repliesToMarker_ > 0 && --repliesToMarker_ == 0) {
      if (waiting_ == Wait::marker) waiting_ = Wait::result;  // the daemon has taken the start
      return;
    }
  }
  if (isMessage(d, AI_MSG_UPDATE_RSP, UPD_CODE_START) && waiting_ != Wait::nothing) {
    // A daemon built with trusted keys says why it refused a signature.
    std::string why = d.payload;
    if (!why.empty() && why.back() == '\0') why.pop_back();
    if (!why.empty() && why.back() == '\n') why.pop_back();
    decide("NOK", why == "OK" || why.empty()
                      ? "NOK: the daemon rejected the update archive (start reply, code 1 \"OK\\0\")"
                      : "NOK: the daemon rejected the update archive: " + why);
    return;
  }
  if (isMessage(d, AI_MSG_UPDATE_IND, UPD_CODE_RESULT)) {
    if (waiting_ == Wait::result) decide(d.payload, d.payload);
    return;  // the finish step repeats its report every tick
  }
  const bool stopReply = isMessage(d, AI_MSG_UPDATE_RSP, UPD_CODE_STOP);
  if (stopReply) stopReplied_ = true;
  if (!view_) return;
  if (isMessage(d, AI_MSG_UPDATE_IND, UPD_CODE_STATUS))
    say("the daemon is up (start-up report)");
  else if (isMessage(d, AI_MSG_UPDATE_RSP, UPD_CODE_STATUS))
    say("status reply");
  else if (stopReply)
    say("stop reply: the daemon ends");
  else
    say(describe(bytes, size));
}

bool Session::sendBytes(const std::vector<uint8_t>& bytes, const std::string& what) {
  std::string error;
  if (!socket_.send(bytes, &error)) {
    say("cannot send the " + what + ": " + error);
    sendFailed_ = true;
    return false;
  }
  if (!view_) say("sent " + std::to_string(bytes.size()) + " bytes: " + what);
  return true;
}

void Session::sendRequest(uint32_t code, const std::string& what) {
  if (!sendBytes(updateRequest(code), what)) return;
  if (code == UPD_CODE_STATUS) ++statusUnanswered_;
  if (code == UPD_CODE_STOP) stopSent_ = true;
  if (code != UPD_CODE_START) return;
  startSent_ = true;
  result_.clear();
  verdictText_.clear();
  statusOffset_ = fileSize(statusPath());
  if (view_) view_->started(monotonicSeconds());
  waiting_ = Wait::marker;
  if (!sendBytes(updateRequest(UPD_CODE_STATUS), "status request that marks the start")) {
    waiting_ = Wait::nothing;
    return;
  }
  repliesToMarker_ = ++statusUnanswered_;
}

bool Session::command(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  if (!(words >> command)) return true;
  if (command == "quit" || command == "exit") {
    quit_ = true;
    return false;
  }
  if (command == "status") {
    sendRequest(UPD_CODE_STATUS, requestName(UPD_CODE_STATUS));
  } else if (command == "start") {
    sendRequest(UPD_CODE_START, requestName(UPD_CODE_START));
  } else if (command == "stop") {
    sendRequest(UPD_CODE_STOP, requestName(UPD_CODE_STOP));
  } else if (command == "request") {
    std::string text;
    std::getline(words, text);
    text.erase(0, text.find_first_not_of(" \t"));
    text.erase(text.find_last_not_of(" \t\r") + 1);
    char* end = nullptr;
    errno = 0;
    // Decimal, or hexadecimal after "0x"; a leading zero is not octal.
    const bool hex = text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long code = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || errno != 0 ||
        *end != '\0' || code > maxRequestCode)
      say("request takes one update code from 0 to 65535, not \"" + text + "\"");
    else
      sendRequest(static_cast<uint32_t>(code), requestName(static_cast<uint32_t>(code)));
  } else if (command == "raw") {
    std::vector<uint8_t> bytes;
    std::string text;
    while (words >> text) {
      char* end = nullptr;
      unsigned long value = std::strtoul(text.c_str(), &end, 16);
      if (*end != '\0' || text[0] == '-' || value > 0xff || bytes.size() == maxDatagram) {
        say("raw takes up to " + std::to_string(maxDatagram) +
            " bytes in hexadecimal (00 to ff), not \"" + text + "\"");
        return true;
      }
      bytes.push_back(static_cast<uint8_t>(value));
    }
    if (bytes.empty())
      say("raw needs at least one byte in hexadecimal, e.g. raw 0c 00 00 00 00 04 00 00");
    else
      sendBytes(bytes, "raw datagram");
  } else {
    say("unknown command \"" + command + "\": status, start, stop, request N, raw XX .., quit");
  }
  return true;
}

void Session::readInput(int inputFd) {
  char chunk[512];
  ssize_t got = ::read(inputFd, chunk, sizeof chunk);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    if (!pendingInput_.empty()) command(pendingInput_);  // a last line without its end
    pendingInput_.clear();
    inputEnded_ = true;
    return;
  }
  if (options_.editInput && view_) {
    editInput(chunk, static_cast<size_t>(got));
    return;
  }
  pendingInput_.append(chunk, static_cast<size_t>(got));
  size_t newline;
  while (!quit_ && (newline = pendingInput_.find('\n')) != std::string::npos) {
    std::string line = pendingInput_.substr(0, newline);
    pendingInput_.erase(0, newline + 1);
    command(line);
  }
}

// Keys as a terminal sends them: a line ends at CR or LF, DEL and BS take
// the last character back, ^U the whole line, ^D on an empty line ends the
// input; escape sequences (arrow keys) and other control keys are dropped.
void Session::editInput(const char* bytes, size_t size) {
  for (size_t i = 0; i < size && !quit_ && !inputEnded_; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (escape_ == 1) {
      escape_ = (c == '[' || c == 'O') ? 2 : 0;
    } else if (escape_ == 2) {
      if (c >= 0x40 && c <= 0x7e) escape_ = 0;
    } else if (c == 0x1b) {
      escape_ = 1;
    } else if (c == '\r' || c == '\n') {
      std::string line;
      line.swap(pendingInput_);
      view_->typing(monotonicSeconds(), "");
      command(line);
    } else if (c == 0x7f || c == 0x08) {
      while (!pendingInput_.empty() && (pendingInput_.back() & 0xc0) == 0x80) pendingInput_.pop_back();
      if (!pendingInput_.empty()) pendingInput_.pop_back();
    } else if (c == 0x15) {
      pendingInput_.clear();
    } else if (c == 0x04) {
      if (pendingInput_.empty()) inputEnded_ = true;
    } else if (c >= 0x20) {
      pendingInput_ += static_cast<char>(c);
    }
  }
  if (!quit_ && !inputEnded_) view_->typing(monotonicSeconds(), pendingInput_);
}

void Session::watchStatus() {
  double now = monotonicSeconds();
  if (startSent_) view_->statusText(now, readFrom(statusPath(), &statusOffset_));
  view_->tick(now);
}

void Session::poll(int inputFd, int timeoutMs) {
  bool input = inputFd >= 0 && !inputEnded_ && !quit_;
  struct pollfd fds[2] = {{socket_.fd(), POLLIN, 0}, {input ? inputFd : -1, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) > 0) {
    if (fds[0].revents & POLLIN) {
      uint8_t bytes[maxDatagram];
      ssize_t got;
      while ((got = socket_.receive(bytes, sizeof bytes)) >= 0)
        onDatagram(bytes, static_cast<size_t>(got));
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) readInput(inputFd);
  }
  if (view_) watchStatus();
}

bool Session::done() const {
  if (quit_) return true;
  if (options_.exitOnResult && startSent_ && waiting_ == Wait::nothing) return true;
  if (options_.exitAfterStop && stopReplied_) return true;
  bool awaited = (options_.exitOnResult && waiting_ != Wait::nothing) ||
                 (options_.exitAfterStop && stopSent_ && !stopReplied_);
  return inputEnded_ && !awaited;
}

int Session::exitStatus() const {
  if (sendFailed_) return 1;
  if (options_.exitOnResult && startSent_) return result_ == "OK" ? 0 : 1;
  return 0;
}

void Session::close() {
  if (view_) view_->endTyping();
  if (repeats_ > 0) {
    out_ << timeOfDay() << " (the datagram before came " << repeats_ << " more times)\n";
    out_.flush();
  }
  repeats_ = 0;
}

}  // namespace admin
