// One run of the admin side: the datagrams from the daemon, the commands of
// a person or a script, and (with watch) the live view of the update.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "admin_side/admin_socket.h"
#include "admin_side/status_view.h"

namespace admin {

struct SessionOptions {
  std::string root;            // the board's sandbox; "" on the device
  bool all = false;            // print every datagram, repeats too
  bool exitAfterStop = false;  // end at the stop reply
  bool exitOnResult = false;   // end at the verdict of a start
  bool watch = false;          // the live view instead of datagram lines
  // The input is a terminal without its own echo and line editing: the
  // session takes keys one by one and shows the line in the view (watch on
  // a terminal).
  bool editInput = false;
};

class Session {
 public:
  // terminal: the view redraws in place (width columns); else plain lines.
  Session(const SessionOptions& options, Socket& socket, std::ostream& out, bool terminal,
          int width = 80);

  // Waits up to timeoutMs for a datagram or a line of input (inputFd < 0:
  // none), handles what came, and brings the view up to date.
  void poll(int inputFd, int timeoutMs);
  // Runs one command line; false when it asks to end ("quit").
  bool command(const std::string& line);

  // Whether the session has ended: quit, the awaited verdict or stop reply
  // came, or the input ended with nothing awaited.
  bool done() const;
  // 1 when a datagram could not be sent (no daemon running); else 0, or
  // with exitOnResult after a start: 0 for "OK", 1 otherwise.
  int exitStatus() const;
  // Whether a datagram has come from the daemon.
  bool daemonUp() const { return daemonUp_; }
  // The update's result once known: "OK", "NOK" (also for a rejected archive).
  const std::string& result() const { return result_; }
  // The verdict's text as shown ("OK", or why it is "NOK"); "" before it.
  const std::string& verdictText() const { return verdictText_; }
  // The live view (watch only, else null).
  const StatusView* view() const { return view_.get(); }
  // Ends the datagram lines (the count of repeats not yet shown).
  void close();

 private:
  enum class Wait { nothing, marker, result };

  void say(const std::string& text);
  void onDatagram(const uint8_t* bytes, size_t size);
  void decide(const std::string& result, const std::string& text);
  void sendRequest(uint32_t code, const std::string& what);
  bool sendBytes(const std::vector<uint8_t>& bytes, const std::string& what);
  void readInput(int inputFd);
  void editInput(const char* bytes, size_t size);
  void watchStatus();
  std::string statusPath() const { return options_.root + "/tmp/update.log"; }

  SessionOptions options_;
  Socket& socket_;
  std::ostream& out_;
  std::unique_ptr<StatusView> view_;
  std::string pendingInput_;
  int escape_ = 0;  // within a terminal's escape sequence: 1 after ESC, 2 inside
  bool inputEnded_ = false;
  bool quit_ = false;
  bool daemonUp_ = false;
  bool startSent_ = false;
  bool stopSent_ = false;
  bool stopReplied_ = false;
  bool sendFailed_ = false;
  unsigned statusUnanswered_ = 0;  // status requests sent and not yet answered
  unsigned repliesToMarker_ = 0;   // status replies to come up to the start's marker; 0: none

  Wait waiting_ = Wait::nothing;
  std::string result_;
  std::string verdictText_;
  size_t statusOffset_ = 0;
  std::vector<uint8_t> last_;
  unsigned repeats_ = 0;
};

}  // namespace admin
