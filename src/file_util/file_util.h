// File helpers over buffered streams; every call opens and closes its own.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

namespace upd {

struct StreamCloser {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using FileStream = std::unique_ptr<FILE, StreamCloser>;

// Opens path with fopen's mode ("r", "w" or "a"); logs the failure (number
// 110) and returns null. Mode "r" opens regular files only, and never waits:
// anything else is refused with "%s is not a regular file\n".
FILE* openFileStream(const char* path, const char* mode);
// The descriptor of a regular file opened for reading without blocking,
// -1 (errno set) when it does not open, notRegular when it is no regular
// file (or cannot be looked at). Nothing is logged.
constexpr int notRegular = -2;
int openRegularFile(const char* path);
// Writes n bytes with one write call, mode "a" appending and "w" truncating;
// returns the number written (0 when the file did not open).
size_t writeFile(const char* path, const char* mode, const void* bytes, size_t n);
// Appends n bytes with one write call and reports nothing: for traces whose
// loss must not count as a failure. Returns 0, or the errno of the failure.
int appendQuietly(const char* path, const void* bytes, size_t n);
// Reads at most size bytes into buffer (no terminator added); 1, or -1 when
// the file cannot be opened.
int readFileToBuffer(const char* path, size_t size, char* buffer);
// Replaces the last n bytes of the file in place, whatever its length;
// nothing before them changes. Returns the bytes written.
size_t changeLastBytesInFile(const char* path, const char* replacement, size_t n);

// Progress figures at the end of the status file. appendProgressFigure
// appends a step's first figure; showProgressFigure replaces the figure
// written last when nothing has been appended after it and the new figure
// has its length, and appends the new figure otherwise, so that no other
// text is ever overwritten.
void appendProgressFigure(const char* figure, size_t n);
void showProgressFigure(const char* figure, size_t n);

}  // namespace upd
