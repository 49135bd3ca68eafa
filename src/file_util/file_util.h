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

constexpr size_t changeBufferSize = 10000;  // working buffer of changeLastBytesInFile

// Opens path with fopen's mode; logs the failure (number 110) and returns null.
FILE* openFileStream(const char* path, const char* mode);
// Writes n bytes; returns the number written (0 when the file did not open).
size_t writeFile(const char* path, const char* mode, const void* bytes, size_t n);
// Reads at most size bytes into buffer (no terminator added); 1, or -1 when
// the file cannot be opened.
int readFileToBuffer(const char* path, size_t size, char* buffer);
// Rewrites the file with its last n bytes replaced; returns the bytes written.
size_t changeLastBytesInFile(const char* path, const char* replacement, size_t n);

}  // namespace upd
