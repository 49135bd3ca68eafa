// Character helpers and the line reader shared by the PSR readers of this
// folder.
#pragma once

#include <cstddef>
#include <cstdio>

namespace upd {
namespace psr {

// A key file being read line by line. A key file may hold any byte but NUL:
// a NUL byte would end the line's text early, and what follows it would be
// lost or joined to the next line.
struct KeyFileReader {
  FILE* stream;
  const char* path;
  int lineNumber = 0;    // the line of the piece read last, counted from 1
  bool midLine = false;  // the piece read last did not end its line
  int error = 0;         // errno of a read error
};

enum class LineRead { line, end, nulByte, readError };

// Reads the next line, up to size - 1 characters with its line end, into
// line and ends it with a terminator (as fgets with size does); a longer
// line comes in pieces. *length is the number of characters stored. A NUL
// byte or a read error stops the reading.
LineRead readKeyFileLine(KeyFileReader& reader, char* line, size_t size, size_t* length);
// Reads the file again from its start.
void rewindKeyFile(KeyFileReader& reader);
// Reports why the file is refused, naming the file and the line: as an
// error (standard error and the status file), or on standard error alone.
void refuseKeyFile(const KeyFileReader& reader, LineRead why, bool statusFileToo = true);

// The value of a hex digit, either case; -1 for any other character (the
// line's terminator included, so a scan stops there).
inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline bool isLineEnd(char c) { return c == '\0' || c == '\r' || c == '\n'; }

}  // namespace psr
}  // namespace upd
