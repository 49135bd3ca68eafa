// Log lines on standard error; logError's text is also appended to the
// status file. Both calls are made from signal handlers too, so they use no
// stdio stream and no heap: the line is formatted on the stack and written
// with one write per piece.
#include "log/log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace upd {
namespace {

// Set while logError appends to the status file: a failure to append is
// reported on standard error only, never appended again.
volatile sig_atomic_t appendInProgress = 0;

constexpr size_t prefixSize = 512;

void writeStderr(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// "KIND-version hh:mm:ss.mmm: file function line: N: " then the message.
void writeLine(const char* kind, const char* file, const char* function, int line,
               const char* message) {
  char stamp[13];
  getTimeStamp(stamp, sizeof stamp);
  char prefix[prefixSize];
  int length = std::snprintf(prefix, sizeof prefix, "%s%s %s: ", kind, versionText, stamp);
  if (length > 0) writeStderr(prefix, static_cast<size_t>(length) < sizeof prefix
                                          ? static_cast<size_t>(length)
                                          : sizeof prefix - 1);
  printStderr("%s %s line: %d: ", file, function, line);
  writeStderr(message, std::strlen(message));
}

// Appends the text to the status file with a plain open/write/close.
void appendToStatusFile(const char* text, size_t length) {
  if (appendInProgress) return;
  appendInProgress = 1;
  int savedErrno = errno;
  int fd = platform::open(statusFilePath, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) {
    int error = errno;
    logError(Critical, __FILE__, "openFileStream", __LINE__, 110, 0,
             "open error file %s: 0x%02x %s", statusFilePath, error, errorText(error));
  } else {
    ssize_t written = length > 0 ? platform::write(fd, text, length) : 0;
    if (written < 0 || static_cast<size_t>(written) < length) {
      int error = errno;
      logError(Critical, __FILE__, "writeFile", __LINE__, 107, 0, "write to %s error %d %s \n",
               statusFilePath, error, errorText(error));
    }
    platform::close(fd);
  }
  errno = savedErrno;
  appendInProgress = 0;
}

}  // namespace

const char* errorText(int errorNumber) {
  const char* text = strerrordesc_np(errorNumber);
  return text != nullptr ? text : "Unknown error";
}

int formatTimeStamp(char* buffer, size_t size, long seconds, long microseconds) {
  time_t when = static_cast<time_t>(seconds);
  struct tm parts;
  gmtime_r(&when, &parts);
  // Formatted in full first: the caller's buffer holds exactly the 12 characters.
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld", parts.tm_hour, parts.tm_min,
                parts.tm_sec, microseconds / 1000);
  size_t length = std::strlen(stamp);
  if (size > 0) {
    size_t copied = length < size - 1 ? length : size - 1;
    std::memcpy(buffer, stamp, copied);
    buffer[copied] = '\0';
  }
  return static_cast<int>(length);
}

int getTimeStamp(char* buffer, size_t size) {
  struct timeval now;
  platform::gettimeofday(&now);
  return formatTimeStamp(buffer, size, static_cast<long>(now.tv_sec),
                         static_cast<long>(now.tv_usec));
}

void printStderr(const char* format, ...) {
  char text[logMessageSize];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) return;
  writeStderr(text, std::strlen(text));
}

void logInfo(int level, const char* file, const char* function, int line, const char* format,
             ...) {
  if (level > logLevel) return;
  int savedErrno = errno;
  char message[logMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, logMessageSize - 1, format, args);
  va_end(args);
  writeLine("UPDATE_LOG-", file, function, line, message);
  errno = savedErrno;
}

void logError(int severity, const char* file, const char* function, int line, int errorNumber,
              int quiet, const char* format, ...) {
  // The severity and the error number classify the report; neither shows in
  // the output nor filters it.
  (void)severity;
  (void)errorNumber;
  int savedErrno = errno;
  char message[logMessageSize];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(message, logMessageSize - 1, format, args);
  va_end(args);
  if (length > static_cast<int>(logMessageSize - 1))
    printStderr("error message truncated. %s %s line: %d: error message truncated.\n", __FILE__,
                "logError", __LINE__);
  if (quiet == 0) writeLine("UPDATE_ERR-", file, function, line, message);
  appendToStatusFile(message, std::strlen(message));
  errno = savedErrno;
}

}  // namespace upd
