#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sim/sim.h"

namespace testsupport {
namespace {

double nowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void removeTree(const std::string& path) {
  std::string command = "rm -rf '" + path + "'";
  int ignored = std::system(command.c_str());
  (void)ignored;
}

std::string binPath(const std::string& program) { return std::string(UPDATE_BIN_DIR) + "/" + program; }

std::vector<std::string> emulatorWords() {
  std::vector<std::string> words;
  const char* emulator = std::getenv("UPDATE_TEST_EMULATOR");
  if (emulator == nullptr) return words;
  std::istringstream in(emulator);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

}  // namespace

Sandbox::Sandbox() {
  char templ[] = "/tmp/upd.XXXXXX";
  if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = templ;
  for (const char* folder : {"/tmp", "/etc", "/bin", "/board"})
    ::mkdir((root_ + folder).c_str(), 0755);
}

Sandbox::~Sandbox() { removeTree(root_); }

std::string Sandbox::path(const std::string& daemonPath) const {
  if (!daemonPath.empty() && daemonPath[0] == '/') return root_ + daemonPath;
  return root_ + "/" + daemonPath;
}

void Sandbox::write(const std::string& daemonPath, const std::string& content) const {
  writeFile(path(daemonPath), content);
}

void Sandbox::write(const std::string& daemonPath, const std::vector<uint8_t>& content) const {
  writeFile(path(daemonPath), std::string(content.begin(), content.end()));
}

std::string Sandbox::read(const std::string& daemonPath) const { return readFile(path(daemonPath)); }

bool Sandbox::exists(const std::string& daemonPath) const {
  struct stat st;
  return ::lstat(path(daemonPath).c_str(), &st) == 0;
}

void Sandbox::settings(const std::string& text) const { write("board/settings", text); }

void useInProcess(const Sandbox& sandbox, double timeScale) {
  std::string error;
  if (!sim::configure(sandbox.root(), timeScale, &error)) throw std::runtime_error(error);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::string text = readFile(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<uint8_t> aiMessage(uint16_t length, uint32_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> bytes(8 + body.size(), 0);
  std::memcpy(bytes.data(), &length, sizeof length);
  std::memcpy(bytes.data() + 4, &type, sizeof type);
  if (!body.empty()) std::memcpy(bytes.data() + 8, body.data(), body.size());
  return bytes;
}

std::vector<uint8_t> updateRequest(uint32_t code) {
  std::vector<uint8_t> body(4);
  std::memcpy(body.data(), &code, sizeof code);
  return aiMessage(12, 1024, body);
}

uint32_t word32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  if (offset + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

uint16_t word16(const std::vector<uint8_t>& bytes, size_t offset) {
  uint16_t value = 0;
  if (offset + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

AdminPeer::AdminPeer(const std::string& root)
    : path_(root + "/rb_ai_sock2ad"), daemonPath_(root + "/rb_ai_sock2up") {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  ::unlink(path_.c_str());
  if (::bind(fd_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot bind " + path_);
  reader_ = std::thread([this] { readLoop(); });
}

AdminPeer::~AdminPeer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  reader_.join();
  ::close(fd_);
  ::unlink(path_.c_str());
}

void AdminPeer::readLoop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    struct pollfd pfd = {fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0) continue;
    uint8_t bytes[2048];
    ssize_t got = ::recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.emplace_back(bytes, bytes + got);
    arrived_.notify_all();
  }
}

bool AdminPeer::receive(std::vector<uint8_t>* datagram, double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::microseconds(static_cast<long long>(timeoutSeconds * 1e6));
  if (!arrived_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) return false;
  *datagram = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

bool AdminPeer::waitFor(uint32_t type, uint32_t code, std::vector<uint8_t>* datagram,
                        double timeoutSeconds) {
  double deadline = nowSeconds() + timeoutSeconds;
  while (nowSeconds() < deadline) {
    if (!receive(datagram, deadline - nowSeconds())) return false;
    if (word32(*datagram, 4) == type && word32(*datagram, 8) == code) return true;
  }
  return false;
}

bool AdminPeer::send(const std::vector<uint8_t>& bytes) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, daemonPath_.c_str(), sizeof address.sun_path - 1);
  return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<struct sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(bytes.size());
}

std::string versionRow(const std::string& label, const std::string& oldText,
                       const std::string& newText, bool update) {
  auto pad = [](std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
  };
  return "\n   " + pad(label, 19) + " " + pad(oldText, 23) + " " + pad(newText, 22) + " " +
         pad(update ? "    yes" : "    no", 20);
}

int openDescriptors() {
  int count = 0;
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  while (::readdir(folder) != nullptr) ++count;
  ::closedir(folder);
  return count;
}

void useShellWords() {
  static const bool done = [] {
    std::string path = binPath("shell_words");
    if (const char* inherited = std::getenv("PATH")) path += std::string(":") + inherited;
    ::setenv("PATH", path.c_str(), 1);
    return true;
  }();
  (void)done;
}

Process::Process(const Sandbox& sandbox, const std::string& program,
                 const std::vector<std::string>& args, const std::string& stdinText,
                 bool keepInputOpen) {
  std::vector<std::string> words = emulatorWords();
  words.push_back(binPath(program));
  words.insert(words.end(), args.begin(), args.end());
  launch(sandbox, program, std::move(words), stdinText, keepInputOpen);
}

Process::Process(const Sandbox& sandbox, const std::vector<std::string>& command) {
  launch(sandbox, command.at(0).substr(command[0].rfind('/') + 1), command, "", false);
}

void Process::launch(const Sandbox& sandbox, const std::string& name,
                     std::vector<std::string> words, const std::string& stdinText,
                     bool keepInputOpen) {
  static int counter = 0;
  std::string base = sandbox.path("board/" + name + "." + std::to_string(++counter));
  outPath_ = base + ".out";
  errPath_ = base + ".err";
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ == 0) {
    // Close-on-exec: the program gets descriptors 0, 1 and 2 alone.
    int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(in[0], 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close_range(3, ~0U, 0);  // nor what the test's own caller left open
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  input_ = in[1];
  input(stdinText);
  if (!keepInputOpen) closeInput();
}

Process::~Process() {
  closeInput();
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Process::input(const std::string& text) {
  ::signal(SIGPIPE, SIG_IGN);  // a process that has ended takes no input
  for (size_t done = 0; input_ >= 0 && done < text.size();) {
    ssize_t n = ::write(input_, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

void Process::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

int Process::wait(double timeoutSeconds) {
  if (ended_) return status_;
  double deadline = nowSeconds() + timeoutSeconds;
  for (;;) {
    int status = 0;
    struct rusage usage {};
    pid_t got = ::wait4(pid_, &status, WNOHANG, &usage);
    if (got == pid_) {
      ended_ = true;
      peakResidentKiB_ = usage.ru_maxrss;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (nowSeconds() >= deadline) return -1;
    ::usleep(5000);
  }
}

bool Process::running() { return !ended_ && wait(0) == -1; }

void Process::signal(int signalNumber) {
  if (!ended_) ::kill(pid_, signalNumber);
}

std::string Process::out() const { return readFile(outPath_); }
std::string Process::err() const { return readFile(errPath_); }

Daemon::Daemon(const Sandbox& sandbox, double timeScale, const std::string& program)
    : Process(sandbox, program,
              {"--root", sandbox.root(), "--time-scale", std::to_string(timeScale)}) {}

bool waitUntil(double timeoutSeconds, const std::function<bool()>& predicate) {
  double deadline = nowSeconds() + timeoutSeconds;
  for (;;) {
    if (predicate()) return true;
    if (nowSeconds() >= deadline) return false;
    ::usleep(5000);
  }
}

}  // namespace testsupport
