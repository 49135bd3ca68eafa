// Shared by the fuzz harnesses: the board, the property check, text files
// cut as the daemon reads them.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// One board per process, made on the first call with the given settings.
// A pause of the daemon takes microseconds; its console goes nowhere.
inline const testsupport::Sandbox& board(const char* settings = "") {
  static testsupport::Sandbox sandbox;
  static const bool ready = [settings] {
    sandbox.settings(settings);
    testsupport::useInProcess(sandbox, 1e-5);
    ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
    return std::freopen("/dev/null", "w", stdout) != nullptr;
  }();
  (void)ready;
  return sandbox;
}

// Standard error as at start-up: libFuzzer may close it for the daemon's logs.
inline const int reportFd = ::dup(2);
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  dprintf(reportFd, "%s:%d: property broken: %s\n", file, line, what);
  std::abort();
}
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::fuzz::fail(#condition, __FILE__, __LINE__))

// A text file in the pieces the daemon's line reads take: up to a line feed
// or `most` characters, whichever comes first.
inline std::vector<std::string> pieces(const std::string& text, size_t most = 1022) {
  std::vector<std::string> out;
  for (size_t at = 0, end; at < text.size(); at += out.back().size()) {
    end = text.find('\n', at);
    out.push_back(text.substr(at, std::min(most, end == std::string::npos ? most : end + 1 - at)));
  }
  return out;
}
// A piece as C string functions see it: up to its first NUL.
inline std::string cText(const std::string& piece) { return piece.substr(0, piece.find('\0')); }
inline bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
// Whether a piece of the file begins with prefix, as the daemon's look-ups find a line.
inline bool hasLine(const std::string& text, const std::string& prefix) {
  for (const std::string& piece : pieces(text))
    if (startsWith(piece, prefix)) return true;
  return false;
}
// The same for a key file, whose reading stops at a NUL byte: a key file
// holding one is refused from there on.
inline bool hasKeyLine(const std::string& text, const std::string& prefix) {
  for (const std::string& piece : pieces(text)) {
    if (piece.find('\0') != std::string::npos) return false;
    if (startsWith(piece, prefix)) return true;
  }
  return false;
}

// The count parts of an input separated by lines "===" (missing ones empty).
inline std::vector<std::string> parts(const uint8_t* data, size_t size, size_t count) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t end; out.size() + 1 < count && (end = text.find("===\n", at)) != std::string::npos;
       at = end + 4)
    out.push_back(text.substr(at, end - at));
  out.push_back(text.substr(at));
  out.resize(count);
  return out;
}

}  // namespace fuzz
