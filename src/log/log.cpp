// Log lines on standard error; logError's text is also appended to the
// status file. Both calls are made from signal handlers too, so they use only
// async-signal-safe calls: the text is formatted on the stack by formatText,
// the time of day is broken down by hand, and every piece goes out with
// write.
#include "log/log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform/platform.h"

namespace upd {
namespace {

constexpr long secondsPerDay = 86400;
constexpr size_t stampLength = 12;  // "hh:mm:ss.mmm"

void putTwoDigits(char* at, long value) {
  at[0] = static_cast<char>('0' + value / 10 % 10);
  at[1] = static_cast<char>('0' + value % 10);
}

void writeStderr(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// Formats into buffer (logMessageSize bytes); returns the full length.
int formatMessage(char* buffer, const char* format, va_list args) {
  return formatText(buffer, logMessageSize - 1, format, args);
}

// "KIND-version hh:mm:ss.mmm: file function line: N: " then the message.
void writeLine(const char* kind, const char* file, const char* function, int line,
               const char* message) {
  char stamp[13];
  getTimeStamp(stamp, sizeof stamp);
  printStderr("%s%s %s: ", kind, versionText, stamp);
  printStderr("%s %s line: %d: ", file, function, line);
  writeStderr(message, std::strlen(message));
}

// Formats the message and writes its whole line to standard error.
void writeFormattedLine(const char* kind, const char* file, const char* function, int line,
                        const char* format, va_list args) {
  char message[logMessageSize];
  formatMessage(message, format, args);
  writeLine(kind, file, function, line, message);
}

// A failure of the status file's append goes to standard error only: an
// append of its report would fail the same way.
void reportAppendFailure(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void reportAppendFailure(const char* function, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeFormattedLine("UPDATE_ERR-", __FILE__, function, line, format, args);
  va_end(args);
}

// Appends the text to the status file.
void appendToStatusFile(const char* text, size_t length) {
  if (length == 0) return;
  int savedErrno = errno;
  // One write on a descriptor opened for appending: the text lands whole at
  // the end of the file, also when a signal handler appends its own text
  // while this runs.
  int fd = platform::open(statusFilePath, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    int error = errno;
    reportAppendFailure("openFileStream", __LINE__, "open error file %s: 0x%02x %s", statusFilePath,
                        error, errorText(error));
  } else {
    ssize_t written = platform::write(fd, text, length);
    if (written < 0 || static_cast<size_t>(written) < length) {
      int error = written < 0 ? errno : ENOSPC;
      reportAppendFailure("writeFile", __LINE__, "write to %s error %d %s \n", statusFilePath,
                          error, errorText(error));
    }
    platform::close(fd);
  }
  errno = savedErrno;
}

}  // namespace

const char* errorText(int errorNumber) {
  const char* text = strerrordesc_np(errorNumber);
  return text != nullptr ? text : "Unknown error";
}

int formatTimeStamp(char* buffer, size_t size, long seconds, long microseconds) {
  // UTC time of day from the seconds since the epoch, by hand: gmtime_r
  // takes a lock that an interrupted main flow may hold.
  long ofDay = seconds % secondsPerDay;
  if (ofDay < 0) ofDay += secondsPerDay;
  const long milliseconds = microseconds / 1000 % 1000;
  char stamp[stampLength + 1];
  putTwoDigits(stamp, ofDay / 3600);
  stamp[2] = ':';
  putTwoDigits(stamp + 3, ofDay / 60 % 60);
  stamp[5] = ':';
  putTwoDigits(stamp + 6, ofDay % 60);
  stamp[8] = '.';
  stamp[9] = static_cast<char>('0' + milliseconds / 100);
  putTwoDigits(stamp + 10, milliseconds % 100);
  stamp[stampLength] = '\0';
  if (size > 0) {
    size_t copied = stampLength < size - 1 ? stampLength : size - 1;
    std::memcpy(buffer, stamp, copied);
    buffer[copied] = '\0';
  }
  return static_cast<int>(stampLength);
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
  formatText(text, sizeof text, format, args);
  va_end(args);
  writeStderr(text, std::strlen(text));
}

void logInfo(int level, const char* file, const char* function, int line, const char* format,
             ...) {
  if (level > logLevel) return;
  int savedErrno = errno;
  va_list args;
  va_start(args, format);
  writeFormattedLine("UPDATE_LOG-", file, function, line, format, args);
  va_end(args);
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
  int length = formatMessage(message, format, args);
  va_end(args);
  if (length > static_cast<int>(logMessageSize - 1))
    printStderr("error message truncated. %s %s line: %d: error message truncated.\n", __FILE__,
                "logError", __LINE__);
  if (quiet == 0) writeLine("UPDATE_ERR-", file, function, line, message);
  appendToStatusFile(message, std::strlen(message));
  errno = savedErrno;
}

}  // namespace upd
