// The platform seam on a real device: each call is the system's own.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace platform {
namespace {

// Kernels without close_range: every descriptor below this one.
constexpr int descriptorsClosedWithout = 1024;

void closeAllFrom(int lowest) {
  if (::close_range(static_cast<unsigned>(lowest), UINT_MAX, 0) == 0) return;
  for (int fd = lowest; fd < descriptorsClosedWithout; ++fd) ::close(fd);
}

}  // namespace

int open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int close(int fd) { return ::close(fd); }
ssize_t read(int fd, void* buf, size_t n) { return ::read(fd, buf, n); }
ssize_t write(int fd, const void* buf, size_t n) { return ::write(fd, buf, n); }
off_t lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int ioctl(int fd, unsigned long request, uintptr_t arg) { return ::ioctl(fd, request, arg); }
int fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int stat(const char* path, struct stat* st) { return ::stat(path, st); }
int chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int remove(const char* path) { return ::remove(path); }
int fcntl(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }
FILE* fdopen(int fd, const char* mode) { return ::fdopen(fd, mode); }
void* mmap(size_t length, int prot, int flags, int fd, off_t offset) {
  return ::mmap(nullptr, length, prot, flags, fd, offset);
}
int munmap(void* addr, size_t length) { return ::munmap(addr, length); }
int chdir(const char* path) { return ::chdir(path); }

int gettimeofday(struct timeval* now) { return ::gettimeofday(now, nullptr); }
long clockTicksPerSecond() { return ::sysconf(_SC_CLK_TCK); }

int poll(struct pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }
unsigned alarm(unsigned seconds) { return ::alarm(seconds); }
unsigned sleep(unsigned seconds) { return ::sleep(seconds); }

int socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }
int bind(int fd, const struct sockaddr_un* addr, socklen_t len) {
  return ::bind(fd, reinterpret_cast<const struct sockaddr*>(addr), len);
}
ssize_t sendTo(int fd, const void* buf, size_t n, int flags, const struct sockaddr_un* addr,
               socklen_t len) {
  return ::sendto(fd, buf, n, flags, reinterpret_cast<const struct sockaddr*>(addr), len);
}
ssize_t recvFrom(int fd, void* buf, size_t n, int flags, struct sockaddr_un* from,
                 socklen_t* fromLen) {
  return ::recvfrom(fd, buf, n, flags, reinterpret_cast<struct sockaddr*>(from), fromLen);
}

int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
  return ::sigprocmask(how, set, old);
}

pid_t fork() { return ::fork(); }
int execve(const char* path, char* const argv[], char* const envp[]) {
  return ::execve(path, argv, envp);
}
pid_t waitpid(pid_t pid, int* status, int options) { return ::waitpid(pid, status, options); }
int kill(pid_t pid, int signalNumber) { return ::kill(pid, signalNumber); }
int setpgid(pid_t pid, pid_t group) { return ::setpgid(pid, group); }
void closeDescriptorsFrom(int lowest) { closeAllFrom(lowest); }
int system(const char* command) { return std::system(command); }

}  // namespace platform
