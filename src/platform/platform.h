// The one seam between the daemon and the world outside its process.
//
// Every call of the daemon that reaches a path, a device node, a socket, the
// clock, a child process or the shell goes through these functions. Two
// implementations exist and are chosen at link time:
//   - platform_linux.cpp: the calls as they are (the shipped update_process);
//   - sim/: the simulated board (update_sim and the tests), which maps every
//     absolute path into a sandbox root, scales time and serves the device
//     nodes from virtual devices.
// Paths handed to these functions are always the daemon's own ("/tmp/...").
//
// Functions that a signal handler calls (write, close, remove, sendTo, waitpid,
// alarm, open, ...) are async-signal-safe in both implementations: no heap, no
// stdio streams.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <cstdio>

namespace platform {

// Files and device nodes.
int open(const char* path, int flags, mode_t mode = 0);
int close(int fd);
ssize_t read(int fd, void* buf, size_t n);
ssize_t write(int fd, const void* buf, size_t n);
off_t lseek(int fd, off_t offset, int whence);
// The argument is passed through as the raw third argument of ioctl: a
// pointer cast to uintptr_t, or a value for requests that take one by value.
int ioctl(int fd, unsigned long request, uintptr_t arg);
int fstat(int fd, struct stat* st);
int stat(const char* path, struct stat* st);
int chmod(const char* path, mode_t mode);
int remove(const char* path);
int fcntl(int fd, int cmd, int arg);
// A buffered stream on a descriptor opened with open(); the stream owns it.
FILE* fdopen(int fd, const char* mode);
void* mmap(size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void* addr, size_t length);
int chdir(const char* path);

// The time of day (wall clock, for log time stamps), and the system's clock
// ticks per second.
int gettimeofday(struct timeval* now);
long clockTicksPerSecond();

// Waiting. The timeout is in milliseconds of the daemon's time.
int poll(struct pollfd* fds, nfds_t count, int timeoutMs);
unsigned alarm(unsigned seconds);
unsigned sleep(unsigned seconds);

// Unix-domain datagram sockets. Addresses carry the daemon's own paths.
int socket(int domain, int type, int protocol);
int bind(int fd, const struct sockaddr_un* addr, socklen_t len);
ssize_t sendTo(int fd, const void* buf, size_t n, int flags, const struct sockaddr_un* addr,
               socklen_t len);
ssize_t recvFrom(int fd, void* buf, size_t n, int flags, struct sockaddr_un* from,
                 socklen_t* fromLen);

// The signal mask of the process (sigprocmask's arguments).
int sigprocmask(int how, const sigset_t* set, sigset_t* old);

// Processes and the shell.
pid_t fork();
// Replaces the process image; absolute paths in path and argv are the
// daemon's own. Returns only on failure.
int execve(const char* path, char* const argv[], char* const envp[]);
pid_t waitpid(pid_t pid, int* status, int options);
int kill(pid_t pid, int signalNumber);  // a negative pid: the process group
int setpgid(pid_t pid, pid_t group);
// Closes every descriptor from lowest up: for a child before its program runs.
void closeDescriptorsFrom(int lowest);
int system(const char* command);

// A descriptor that is closed when it goes out of scope, unless it is handed
// on with release() or closed earlier with close().
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) platform::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int kept = fd_;
    fd_ = -1;
    return kept;
  }
  // Closes now and gives close's result, for callers that report it.
  int close() {
    int fd = release();
    return fd >= 0 ? platform::close(fd) : 0;
  }

 private:
  int fd_;
};

// Holds off one or two signals for the life of the object: the main flow's
// short sections that a signal handler must not fall into. A signal that
// arrives meanwhile is handled when the object goes.
class SignalBlock {
 public:
  explicit SignalBlock(int first, int second = 0) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, first);
    if (second != 0) sigaddset(&set, second);
    platform::sigprocmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalBlock() { platform::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace platform
