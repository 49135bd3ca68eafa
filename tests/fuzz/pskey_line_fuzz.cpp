// PSR key lines: parsePSKeyLine never reports more than 40 words, reads
// nothing past the terminator, and what it accepts is what the line's key and
// word columns say; the line written back from it parses the same. The
// look-up findPSKeyValue on the same text as a file keeps within its bounds.
#include <strings.h>

#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "pskey_files/pskey_files.h"

namespace {

std::string hex4(unsigned high, unsigned low) {
  char text[8];
  std::snprintf(text, sizeof text, "%02x%02x", high & 0xFF, low & 0xFF);
  return text;
}

void checkLine(const char* line) {
  uint16_t key = 0;
  uint8_t words[2 * upd::psKeyMaxWords] = {};
  int count = -1;
  const int result = upd::parsePSKeyLine(line, &key, words, &count);
  FUZZ_CHECK(result == 1 || result == -1);
  if (result != 1) return;
  FUZZ_CHECK(count >= 0 && count <= static_cast<int>(upd::psKeyMaxWords));
  FUZZ_CHECK(strncasecmp(line + 1, hex4(key >> 8, key).c_str(), 4) == 0);
  std::string written = "&" + hex4(key >> 8, key) + " =";
  for (int k = 0; k < count; ++k) {
    const std::string word = hex4(words[2 * k + 1], words[2 * k]);
    FUZZ_CHECK(strncasecmp(line + 8 + 5 * k, word.c_str(), 4) == 0);
    written += " " + word;
  }
  written += "\r\n";
  uint16_t againKey = 0;
  uint8_t again[2 * upd::psKeyMaxWords] = {};
  int againCount = -1;
  FUZZ_CHECK(upd::parsePSKeyLine(written.c_str(), &againKey, again, &againCount) == 1);
  FUZZ_CHECK(againKey == key && againCount == count);
  FUZZ_CHECK(std::memcmp(again, words, 2 * static_cast<size_t>(count)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  // The line in a buffer of its exact size with its terminator.
  std::unique_ptr<char[]> line(new char[size + 1]);
  if (size > 0) std::memcpy(line.get(), data, size);
  line[size] = '\0';
  checkLine(line.get());

  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string prefix = "&02a5 = ";
  sandbox.write("/tmp/keys.psr", text);
  char value[16];
  std::memset(value, 'x', sizeof value);
  uint8_t words[2 * 10 + 1] = {};
  int count = -1;
  const int found = upd::findPSKeyValue("/tmp/keys.psr", prefix.c_str(), value, sizeof value,
                                        words, 10, &count);
  FUZZ_CHECK(found == (fuzz::hasLine(text, prefix) ? 1 : 0));
  FUZZ_CHECK(words[20] == 0);
  if (found != 1) return 0;
  std::string rest;
  for (const std::string& piece : fuzz::pieces(text))
    if (fuzz::startsWith(piece, prefix)) {
      rest = fuzz::cText(piece).substr(prefix.size());
      break;
    }
  FUZZ_CHECK(value == rest.substr(0, sizeof value - 1));
  FUZZ_CHECK(count >= 0 && count <= 10);
  for (int k = 0; k < count; ++k)
    FUZZ_CHECK(strncasecmp(rest.c_str() + 5 * k, hex4(words[2 * k + 1], words[2 * k]).c_str(), 4) == 0);
  return 0;
}
