// Log facility: one line per report on standard error, error texts also
// appended to the status file.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace upd {

// Severities of logError.
constexpr int Warning = 1;
constexpr int Critical = 2;
constexpr int Fatal = 4;

constexpr int logLevel = 2;                    // logInfo prints levels up to this
constexpr const char* versionText = UPDATE_VERSION;  // banner and every log line (project version)
constexpr const char* statusFilePath = "/tmp/update.log";
constexpr size_t logMessageSize = 1024;        // 1022 characters and the terminator fit

void logInfo(int level, const char* file, const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void logError(int severity, const char* file, const char* function, int line, int errorNumber,
              int quiet, const char* format, ...) __attribute__((format(printf, 7, 8)));
int getTimeStamp(char* buffer, size_t size);
// The time stamp of a given moment: "%02d:%02d:%02d.%03ld", UTC, milliseconds cut.
int formatTimeStamp(char* buffer, size_t size, long seconds, long microseconds);
// The system's text for an error number; safe in a signal handler.
const char* errorText(int errorNumber);
void printStderr(const char* format, ...) __attribute__((format(printf, 1, 2)));
// printf-style formatting that is safe in a signal handler (no locale, no
// heap, no stdio): conversions d i u x X c s and %%, flags - and 0, width
// and precision (digits or *), length modifiers l ll z. Writes at most
// size - 1 characters and a terminator; returns the length of the whole
// text, as vsnprintf does.
int formatText(char* out, size_t size, const char* format, va_list args);

}  // namespace upd

// Entries of a level above logLevel are left out of the build altogether
// (their arguments are still checked); logInfo itself filters the same way.
#define LOG_INFO(level, ...)                                                       \
  do {                                                                             \
    if ((level) <= ::upd::logLevel)                                                \
      ::upd::logInfo((level), __FILE__, __func__, __LINE__, __VA_ARGS__);           \
  } while (0)
#define LOG_ERROR(severity, errorNumber, ...) \
  ::upd::logError((severity), __FILE__, __func__, __LINE__, (errorNumber), 0, __VA_ARGS__)
// Entries made by helpers that name the daemon operation they work for
// (startUpdate, writeImage, write_message, ...), not the helper itself.
#define OPERATION_ERROR(operation, severity, errorNumber, ...) \
  ::upd::logError((severity), __FILE__, (operation), __LINE__, (errorNumber), 0, __VA_ARGS__)
#define OPERATION_INFO(operation, level, ...)                                      \
  do {                                                                             \
    if ((level) <= ::upd::logLevel)                                                \
      ::upd::logInfo((level), __FILE__, (operation), __LINE__, __VA_ARGS__);        \
  } while (0)
