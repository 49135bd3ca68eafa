// The platform seam on the simulated board: paths live under the sandbox
// root, time runs scaled, device nodes are virtual devices.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/power_cut.h"
#include "sim/sim.h"

namespace platform {
namespace {

// Open virtual devices: the descriptor number is a real descriptor on
// /dev/null held open so that numbers never clash with real files.
constexpr int maxVirtualFds = 32;
struct VirtualFd {
  int fd = -1;
  std::unique_ptr<sim::Device> device;
};
VirtualFd virtualFds[maxVirtualFds];

sim::Device* virtualDevice(int fd) {
  if (fd < 0) return nullptr;
  for (auto& entry : virtualFds)
    if (entry.fd == fd) return entry.device.get();
  return nullptr;
}

// Maps a daemon path into the sandbox; a path that does not fit the buffer
// fails with ENAMETOOLONG.
bool mapInto(const char* path, char* out, size_t size) {
  if (sim::mapPath(path, out, size)) return true;
  errno = ENAMETOOLONG;
  return false;
}

// Calls call with path mapped into the sandbox, or gives failed.
template <typename Result, typename Call>
Result onMappedPath(const char* path, Result failed, Call call) {
  char mapped[PATH_MAX];
  return mapInto(path, mapped, sizeof mapped) ? call(mapped) : failed;
}

bool isDeviceNode(const char* path) { return std::strncmp(path, "/dev/", 5) == 0; }

int openVirtual(const char* path, int flags) {
  for (const sim::DeviceNode* node = sim::deviceNodes; node->path != nullptr; ++node) {
    if (std::strcmp(node->path, path) != 0) continue;
    int error = ENOENT;
    std::unique_ptr<sim::Device> device = node->open(flags, &error);
    if (!device) {
      errno = error;
      return -1;
    }
    for (auto& entry : virtualFds) {
      if (entry.fd >= 0) continue;
      int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) return -1;
      entry.fd = fd;
      entry.device = std::move(device);
      return fd;
    }
    errno = EMFILE;
    return -1;
  }
  errno = ENOENT;
  return -1;
}

bool mapAddress(const struct sockaddr_un* addr, struct sockaddr_un* out, socklen_t* outLen) {
  std::memset(out, 0, sizeof *out);
  out->sun_family = addr->sun_family;
  if (!mapInto(addr->sun_path, out->sun_path, sizeof out->sun_path)) return false;
  *outLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) +
                                   std::strlen(out->sun_path) + 1);
  return true;
}

// Maps every word of a shell command that is an absolute path into the
// sandbox, quoted, and keeps everything else as it stands.
std::string mapCommand(const char* command) {
  std::string out;
  bool wordStart = true;
  for (const char* p = command; *p != '\0';) {
    if (wordStart && *p == '/') {
      const char* end = p;
      while (*end != '\0' && *end != ' ' && *end != '\t') ++end;
      out += '\'';
      out += sim::root();
      out.append(p, static_cast<size_t>(end - p));
      out += '\'';
      p = end;
      wordStart = false;
      continue;
    }
    wordStart = (*p == ' ' || *p == '\t');
    out += *p++;
  }
  return out;
}

// Board setting fs.full: the daemon paths listed there (a path ending in
// "/" covers everything below it) lie on a full file system, so the daemon
// cannot create, truncate or append to them. The status file is never
// covered, so that a run can still be read. Checked before any setting is
// read: the status file is what signal handlers open.
constexpr const char* statusFile = "/tmp/update.log";

bool onFullFileSystem(const char* path, bool writing) {
  if (!writing || std::strcmp(path, statusFile) == 0) return false;
  for (const std::string& entry : sim::listEntries(sim::setting("fs.full", ""))) {
    const bool folder = !entry.empty() && entry.back() == '/';
    if (!entry.empty() &&
        (folder ? std::strncmp(path, entry.c_str(), entry.size()) == 0 : entry == path))
      return true;
  }
  return false;
}

// Board setting fs.modes_enforced: an existing file whose mode gives its
// owner no write permission refuses the daemon's opens for writing, as it
// does for an ordinary user, also when the board runs as root. The status
// file is passed over first, as for fs.full.
bool refusedByMode(const char* path, bool writing) {
  if (!writing || std::strcmp(path, statusFile) == 0 || !sim::settingOn("fs.modes_enforced"))
    return false;
  struct stat st;
  return onMappedPath(path, false, [&](const char* mapped) {
    return ::stat(mapped, &st) == 0 && (st.st_mode & S_IWUSR) == 0;
  });
}

// The errno of a write open that the board's file system refuses; 0 when
// it does not.
int writeRefused(const char* path, bool writing) {
  if (onFullFileSystem(path, writing)) return ENOSPC;
  if (refusedByMode(path, writing)) return EACCES;
  return 0;
}

// Descriptors the daemon opened for writing on the status file: their writes
// are the events of a power cut at status_write:N.
constexpr int maxStatusFds = 8;
int statusFds[maxStatusFds] = {-1, -1, -1, -1, -1, -1, -1, -1};

int* statusSlot(int fd) {
  for (int& slot : statusFds)
    if (slot == fd) return &slot;
  return nullptr;
}

// The start request (type 1024, code 1, host order) that the daemon takes
// starts the count of a power cut's events.
void noteStartRequest(const void* buf, ssize_t n) {
  uint32_t type = 0;
  uint32_t code = 0;
  if (n < 12) return;
  std::memcpy(&type, static_cast<const uint8_t*>(buf) + 4, sizeof type);
  std::memcpy(&code, static_cast<const uint8_t*>(buf) + 8, sizeof code);
  if (type == 1024 && code == 1) sim::power::startRequestSeen();
}

// A wait of waitMs that ends at a time cut; -1 waits for ever.
int cutShort(int waitMs) {
  double cutAt = sim::power::deadline();
  if (std::isinf(cutAt)) return waitMs;
  double span = cutAt - sim::now();
  int untilCut = span <= 0 ? 0 : static_cast<int>(std::ceil(span * 1000.0));
  return waitMs < 0 || untilCut < waitMs ? untilCut : waitMs;
}

double toRealSeconds(unsigned daemonSeconds) { return sim::scaled(daemonSeconds); }

unsigned toDaemonSeconds(double realSeconds) {
  if (realSeconds <= 0) return 0;
  double daemonSeconds = std::ceil(realSeconds / sim::timeScale() - 1e-9);
  return daemonSeconds < 1 ? 1 : static_cast<unsigned>(daemonSeconds);
}

}  // namespace

int open(const char* path, int flags, mode_t mode) {
  if (isDeviceNode(path)) return openVirtual(path, flags);
  if (int error = writeRefused(path, (flags & O_ACCMODE) != O_RDONLY)) {
    errno = error;
    return -1;
  }
  int fd = onMappedPath(path, -1, [&](const char* mapped) { return ::open(mapped, flags, mode); });
  if (fd >= 0 && (flags & O_ACCMODE) != O_RDONLY && std::strcmp(path, statusFile) == 0)
    if (int* slot = statusSlot(-1)) *slot = fd;
  return fd;
}

int close(int fd) {
  if (int* slot = statusSlot(fd); slot != nullptr && fd >= 0) *slot = -1;
  for (auto& entry : virtualFds) {
    if (entry.fd != fd || fd < 0) continue;
    entry.device.reset();
    entry.fd = -1;
    return ::close(fd);
  }
  return ::close(fd);
}

ssize_t read(int fd, void* buf, size_t n) {
  if (sim::Device* device = virtualDevice(fd)) return device->read(buf, n);
  return ::read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  sim::power::checkTime();
  if (sim::Device* device = virtualDevice(fd)) return device->write(buf, n);
  if (fd >= 0 && statusSlot(fd) != nullptr) {
    sim::power::At at = sim::power::count(sim::power::Event::statusWrite);
    ssize_t written = at == sim::power::At::cutHalfway ? ::write(fd, buf, n / 2) : 0;
    if (at != sim::power::At::goesOn)
      sim::power::cut("a write of " + std::to_string(n) + " bytes to /tmp/update.log, " +
                      std::to_string(written > 0 ? written : 0) + " of them written");
  }
  return ::write(fd, buf, n);
}

off_t lseek(int fd, off_t offset, int whence) {
  if (sim::Device* device = virtualDevice(fd)) return device->lseek(offset, whence);
  return ::lseek(fd, offset, whence);
}

int ioctl(int fd, unsigned long request, uintptr_t arg) {
  if (sim::Device* device = virtualDevice(fd)) return device->ioctl(request, arg);
  return ::ioctl(fd, request, arg);
}

int fstat(int fd, struct stat* st) {
  if (virtualDevice(fd) != nullptr) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0600;
    return 0;
  }
  return ::fstat(fd, st);
}

int stat(const char* path, struct stat* st) {
  return onMappedPath(path, -1, [&](const char* mapped) { return ::stat(mapped, st); });
}

int chmod(const char* path, mode_t mode) {
  return onMappedPath(path, -1, [&](const char* mapped) { return ::chmod(mapped, mode); });
}

int remove(const char* path) {
  return onMappedPath(path, -1, [](const char* mapped) { return std::remove(mapped); });
}

int fcntl(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }

// A virtual device has no stream: the daemon reads only regular files
// through streams.
FILE* fdopen(int fd, const char* mode) {
  if (virtualDevice(fd) != nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return ::fdopen(fd, mode);
}

void* mmap(size_t length, int prot, int flags, int fd, off_t offset) {
  return ::mmap(nullptr, length, prot, flags, fd, offset);
}

int munmap(void* addr, size_t length) { return ::munmap(addr, length); }

int chdir(const char* path) {
  return onMappedPath(path, -1, [](const char* mapped) { return ::chdir(mapped); });
}

int gettimeofday(struct timeval* now) { return ::gettimeofday(now, nullptr); }
long clockTicksPerSecond() { return ::sysconf(_SC_CLK_TCK); }

int poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
  constexpr nfds_t maxSlots = 16;
  if (count > maxSlots) {
    errno = EINVAL;
    return -1;
  }
  const double deadline =
      timeoutMs < 0 ? INFINITY : sim::now() + sim::scaled(timeoutMs / 1000.0);
  struct pollfd real[maxSlots];
  for (;;) {
    int virtualReady = 0;
    double nextVirtual = INFINITY;
    for (nfds_t i = 0; i < count; ++i) {
      real[i] = fds[i];
      real[i].revents = 0;
      sim::Device* device = virtualDevice(fds[i].fd);
      if (device == nullptr) continue;
      real[i].fd = -1;
      short events = static_cast<short>(device->readyEvents() &
                                        (fds[i].events | POLLERR | POLLHUP | POLLNVAL));
      fds[i].revents = events;
      if (events != 0) {
        ++virtualReady;
      } else {
        double when = device->nextReadyTime();
        if (when >= 0 && when < nextVirtual) nextVirtual = when;
      }
    }
    int waitMs = 0;
    if (virtualReady == 0) {
      double until = deadline < nextVirtual ? deadline : nextVirtual;
      if (std::isinf(until)) {
        waitMs = -1;
      } else {
        double span = until - sim::now();
        waitMs = span <= 0 ? 0 : static_cast<int>(std::ceil(span * 1000.0));
      }
    }
    int n = ::poll(real, count, cutShort(waitMs));
    sim::power::checkTime();
    if (n < 0) return -1;
    for (nfds_t i = 0; i < count; ++i)
      if (virtualDevice(fds[i].fd) == nullptr) fds[i].revents = real[i].revents;
    if (n + virtualReady > 0) return n + virtualReady;
    if (sim::now() >= deadline) return 0;
  }
}

unsigned alarm(unsigned seconds) {
  struct itimerval next = {};
  struct itimerval previous = {};
  if (seconds > 0) {
    double real = toRealSeconds(seconds);
    if (real < 1e-6) real = 1e-6;
    next.it_value.tv_sec = static_cast<time_t>(real);
    next.it_value.tv_usec = static_cast<suseconds_t>((real - std::floor(real)) * 1e6);
    if (next.it_value.tv_sec == 0 && next.it_value.tv_usec == 0) next.it_value.tv_usec = 1;
  }
  setitimer(ITIMER_REAL, &next, &previous);
  return toDaemonSeconds(static_cast<double>(previous.it_value.tv_sec) +
                         static_cast<double>(previous.it_value.tv_usec) / 1e6);
}

unsigned sleep(unsigned seconds) {
  double real = toRealSeconds(seconds);
  struct timespec request;
  request.tv_sec = static_cast<time_t>(real);
  request.tv_nsec = static_cast<long>((real - std::floor(real)) * 1e9);
  struct timespec remaining = {};
  double cutAt = sim::power::deadline();
  if (!std::isinf(cutAt) && sim::now() + real >= cutAt) {
    double span = cutAt - sim::now();
    struct timespec untilCut = {static_cast<time_t>(span > 0 ? span : 0),
                                static_cast<long>((span > 0 ? span - std::floor(span) : 0) * 1e9)};
    nanosleep(&untilCut, nullptr);
    sim::power::checkTime();
  }
  if (nanosleep(&request, &remaining) == 0) return 0;
  return toDaemonSeconds(static_cast<double>(remaining.tv_sec) +
                         static_cast<double>(remaining.tv_nsec) / 1e9);
}

int socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }

int bind(int fd, const struct sockaddr_un* addr, socklen_t) {
  struct sockaddr_un mapped;
  socklen_t mappedLen = 0;
  if (!mapAddress(addr, &mapped, &mappedLen)) return -1;
  return ::bind(fd, reinterpret_cast<const struct sockaddr*>(&mapped), mappedLen);
}

ssize_t sendTo(int fd, const void* buf, size_t n, int flags, const struct sockaddr_un* addr,
               socklen_t) {
  struct sockaddr_un mapped;
  socklen_t mappedLen = 0;
  if (!mapAddress(addr, &mapped, &mappedLen)) return -1;
  return ::sendto(fd, buf, n, flags, reinterpret_cast<const struct sockaddr*>(&mapped),
                  mappedLen);
}

ssize_t recvFrom(int fd, void* buf, size_t n, int flags, struct sockaddr_un* from,
                 socklen_t* fromLen) {
  ssize_t received =
      ::recvfrom(fd, buf, n, flags, reinterpret_cast<struct sockaddr*>(from), fromLen);
  noteStartRequest(buf, received);
  return received;
}

int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
  return ::sigprocmask(how, set, old);
}

pid_t fork() { return ::fork(); }

// Arguments that are daemon paths are mapped too; any other stays as it is.
int execve(const char* path, char* const argv[], char* const envp[]) {
  std::vector<std::string> words;
  for (char* const* arg = argv; *arg != nullptr; ++arg) {
    char mapped[PATH_MAX];
    words.emplace_back(sim::mapPath(*arg, mapped, sizeof mapped) ? mapped : *arg);
  }
  std::vector<char*> mappedArgv;
  for (auto& word : words) mappedArgv.push_back(word.data());
  mappedArgv.push_back(nullptr);
  return onMappedPath(path, -1, [&](const char* program) {
    return ::execve(program, mappedArgv.data(), envp);
  });
}

pid_t waitpid(pid_t pid, int* status, int options) { return ::waitpid(pid, status, options); }
int kill(pid_t pid, int signalNumber) { return ::kill(pid, signalNumber); }
int setpgid(pid_t pid, pid_t group) { return ::setpgid(pid, group); }

// In the child only: the virtual devices' table is left as it is, the
// process image goes with the exec.
void closeDescriptorsFrom(int lowest) {
  if (::close_range(static_cast<unsigned>(lowest), UINT_MAX, 0) == 0) return;
  for (int fd = lowest; fd < 1024; ++fd) ::close(fd);
}

int system(const char* command) {
  const char* start = command;
  while (*start == ' ') ++start;
  for (const sim::BoardCommand* entry = sim::boardCommands; entry->word != nullptr; ++entry) {
    size_t length = std::strlen(entry->word);
    if (std::strncmp(start, entry->word, length) != 0) continue;
    if (start[length] != ' ' && start[length] != '\0') continue;
    const char* arguments = start + length;
    while (*arguments == ' ') ++arguments;
    return entry->run(arguments);
  }
  std::fflush(nullptr);
  return std::system(mapCommand(command).c_str());
}

}  // namespace platform
