// File helpers: each call opens, uses and closes its own stream or descriptor.
#include "file_util/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "log/log.h"
#include "platform/platform.h"

namespace upd {
namespace {

// The progress figure written last: where it ends in the status file (-1:
// none) and its length.
off_t figureEnd = -1;
size_t figureLength = 0;

// open(2) flags for the write modes "w" (truncate) and "a" (append). No
// descriptor of the daemon reaches a child, and no open waits: a FIFO with
// no reader fails at once.
int writeModeFlags(const char* mode) {
  return O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | (mode[0] == 'a' ? O_APPEND : O_TRUNC);
}

// Opens a file for writing; a failure is reported as openFileStream reports it.
int openForWriting(const char* path, int flags) {
  int fd = platform::open(path, flags, 0644);
  if (fd < 0) {
    int error = errno;
    OPERATION_ERROR("openFileStream", Critical, 110, "open error file %s: 0x%02x %s", path, error,
                    errorText(error));
    return -1;
  }
  OPERATION_INFO("openFileStream", 3, "file opened %s with fd \n", path);
  return fd;
}

void reportWriteError(const char* path, int error) {
  OPERATION_ERROR("writeFile", Critical, 107, "write to %s error %d %s \n", path, error,
                  errorText(error));
}

// Writes the bytes with one write call; a short write is reported.
size_t writeAll(int fd, const char* path, const void* bytes, size_t n) {
  if (n == 0) return 0;
  ssize_t written = platform::write(fd, bytes, n);
  if (written < 0 || static_cast<size_t>(written) < n) {
    reportWriteError(path, written < 0 ? errno : ENOSPC);
    return written < 0 ? 0 : static_cast<size_t>(written);
  }
  return n;
}

}  // namespace

int openRegularFile(const char* path) {
  // Without blocking: a FIFO opens at once and is then refused, like any
  // device or other file that is not regular (a read of /dev/zero never ends).
  int fd = platform::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (platform::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    platform::close(fd);
    fd = notRegular;
  }
  return fd;
}

FILE* openFileStream(const char* path, const char* mode) {
  int fd = mode[0] == 'r' ? openRegularFile(path) : platform::open(path, writeModeFlags(mode), 0644);
  FILE* stream = fd >= 0 ? platform::fdopen(fd, mode) : nullptr;
  if (stream == nullptr) {
    int error = errno;
    if (fd >= 0) platform::close(fd);
    if (fd == notRegular)
      LOG_ERROR(Critical, 110, "%s is not a regular file\n", path);
    else
      LOG_ERROR(Critical, 110, "open error file %s: 0x%02x %s", path, error, errorText(error));
    return nullptr;
  }
  LOG_INFO(3, "file opened %s with fd \n", path);
  return stream;
}

size_t writeFile(const char* path, const char* mode, const void* bytes, size_t n) {
  platform::UniqueFd fd(openForWriting(path, writeModeFlags(mode)));
  if (!fd.valid()) return 0;
  // One write call: appended text lands whole, and a signal handler's own
  // append can only come before or after it.
  return writeAll(fd.get(), path, bytes, n);
}

int appendQuietly(const char* path, const void* bytes, size_t n) {
  platform::UniqueFd fd(platform::open(path, writeModeFlags("a"), 0644));
  if (!fd.valid()) return errno;
  if (n == 0) return 0;
  ssize_t written = platform::write(fd.get(), bytes, n);
  if (written < 0) return errno;
  return static_cast<size_t>(written) < n ? ENOSPC : 0;
}

int readFileToBuffer(const char* path, size_t size, char* buffer) {
  FileStream stream(openFileStream(path, "r"));
  if (!stream) return -1;
  size_t stored = 0;
  int c;
  while ((c = std::fgetc(stream.get())) != EOF) {
    if (stored == size) {
      LOG_ERROR(Critical, 106, "No more place in read buffer !!\n");
      break;
    }
    buffer[stored++] = static_cast<char>(c);
  }
  return 1;
}

size_t changeLastBytesInFile(const char* path, const char* replacement, size_t n) {
  // In place: no read, no truncation; only the last n bytes change.
  platform::UniqueFd fd(openForWriting(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return 0;
  const off_t size = platform::lseek(fd.get(), 0, SEEK_END);
  // A file shorter than the replacement takes it from its start.
  const off_t at = size > static_cast<off_t>(n) ? size - static_cast<off_t>(n) : 0;
  if (size < 0 || platform::lseek(fd.get(), at, SEEK_SET) != at) {
    reportWriteError(path, errno);
    return 0;
  }
  return writeAll(fd.get(), path, replacement, n);
}

void appendProgressFigure(const char* figure, size_t n) {
  figureEnd = -1;
  platform::UniqueFd fd(openForWriting(statusFilePath, writeModeFlags("a")));
  if (!fd.valid() || writeAll(fd.get(), statusFilePath, figure, n) != n) return;
  // With O_APPEND the offset after the write is where this figure ends,
  // whatever a signal handler appended around it.
  figureEnd = platform::lseek(fd.get(), 0, SEEK_CUR);
  figureLength = n;
}

void showProgressFigure(const char* figure, size_t n) {
  // No handler may append between the look at the file's end and the
  // rewrite: its text would be taken for the figure.
  platform::SignalBlock held(SIGALRM, SIGCHLD);
  struct stat st;
  if (figureEnd >= 0 && n == figureLength && platform::stat(statusFilePath, &st) == 0 &&
      st.st_size == figureEnd) {
    changeLastBytesInFile(statusFilePath, figure, n);
    return;
  }
  appendProgressFigure(figure, n);
}

}  // namespace upd
