// Helpers shared by the unit and end-to-end tests.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh sandbox root under /tmp (short enough for socket paths) with the
// folders the daemon expects; removed with everything in it at the end.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }
  // The sandbox path of a daemon path ("/tmp/update.log") or of a board
  // file ("board/flash0.bin").
  std::string path(const std::string& daemonPath) const;
  void write(const std::string& daemonPath, const std::string& content) const;
  void write(const std::string& daemonPath, const std::vector<uint8_t>& content) const;
  std::string read(const std::string& daemonPath) const;  // "" when missing
  bool exists(const std::string& daemonPath) const;
  // Writes board/settings.
  void settings(const std::string& text) const;

 private:
  std::string root_;
};

// Points the in-process simulated platform at the sandbox (unit tests).
void useInProcess(const Sandbox& sandbox, double timeScale = 0.01);

std::string readFile(const std::string& path);  // "" when missing
std::vector<uint8_t> readBytes(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Host-order AI message helpers.
std::vector<uint8_t> updateRequest(uint32_t code);
std::vector<uint8_t> aiMessage(uint16_t length, uint32_t type, const std::vector<uint8_t>& body);
uint32_t word32(const std::vector<uint8_t>& bytes, size_t offset);
uint16_t word16(const std::vector<uint8_t>& bytes, size_t offset);

// The admin process's side: binds <root>/rb_ai_sock2ad.
class AdminPeer {
 public:
  explicit AdminPeer(const std::string& root);
  ~AdminPeer();
  AdminPeer(const AdminPeer&) = delete;
  AdminPeer& operator=(const AdminPeer&) = delete;

  // One datagram, or false after timeoutSeconds of real time.
  bool receive(std::vector<uint8_t>* datagram, double timeoutSeconds);
  // Skips datagrams until one of the type and code arrives.
  bool waitFor(uint32_t type, uint32_t code, std::vector<uint8_t>* datagram,
               double timeoutSeconds);
  bool send(const std::vector<uint8_t>& bytes);
  bool sendRequest(uint32_t code) { return send(updateRequest(code)); }

 private:
  void readLoop();

  std::string path_;
  std::string daemonPath_;
  int fd_ = -1;
  // Like a real admin process, the peer takes every datagram as it comes (a
  // thread of its own), so the daemon never finds the admin socket full.
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::vector<uint8_t>> queue_;
  bool stopping_ = false;
  std::thread reader_;
};

// A program of the build (bin/NAME) run as a child process, through the
// cross-build emulator when the tests run under one; standard output and
// error go to files in the sandbox's board folder.
class Process {
 public:
  // Standard input is a pipe that gets stdinText and, unless keepInputOpen,
  // then ends.
  Process(const Sandbox& sandbox, const std::string& program, const std::vector<std::string>& args,
          const std::string& stdinText = "", bool keepInputOpen = false);
  // A host command (full path first), run as it is, without the emulator.
  Process(const Sandbox& sandbox, const std::vector<std::string>& command);
  ~Process();  // kills the process if it still runs
  // More standard input, and its end.
  void input(const std::string& text);
  void closeInput();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Waits for the end; the exit status, 128+signal, or -1 on time-out.
  int wait(double timeoutSeconds);
  bool running();
  void signal(int signalNumber);
  std::string out() const;
  std::string err() const;
  pid_t pid() const { return pid_; }
  // The most resident memory the process used, in KiB, once it has ended.
  long peakResidentKiB() const { return peakResidentKiB_; }

 private:
  void launch(const Sandbox& sandbox, const std::string& name, std::vector<std::string> words,
              const std::string& stdinText, bool keepInputOpen);

  pid_t pid_ = -1;
  int input_ = -1;
  int status_ = -1;
  long peakResidentKiB_ = 0;
  bool ended_ = false;
  std::string outPath_;
  std::string errPath_;
};

// update_sim on the sandbox.
class Daemon : public Process {
 public:
  explicit Daemon(const Sandbox& sandbox, double timeScale = 0.01,
                  const std::string& program = "update_sim");
};

// The version report as the status file shows it: its header (after the
// check's "OK") and one row per part, padded to the report's columns.
inline const std::string versionReportHeader =
    "OK\n     part:            |     old version      |      new version      |   update ?";
std::string versionRow(const std::string& label, const std::string& oldText,
                       const std::string& newText, bool update);

// Open descriptors of this process, to catch a leaked one.
int openDescriptors();
// Puts the build's shell words ("-gunzip", "-tar", "-rm") first on PATH, as
// update_sim does, for in-process tests that run the archive commands.
void useShellWords();
// Waits until the predicate holds or the time is up; true when it held.
bool waitUntil(double timeoutSeconds, const std::function<bool()>& predicate);

}  // namespace testsupport
