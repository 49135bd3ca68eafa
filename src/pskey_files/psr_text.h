// Character helpers shared by the PSR readers of this folder.
#pragma once

namespace upd {
namespace psr {

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
