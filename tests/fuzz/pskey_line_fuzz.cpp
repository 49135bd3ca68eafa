// PSR key lines: parsePSKeyLine never reports more than 40 words, reads
// nothing past the terminator, takes key and words from their columns, and
// the line written back from what it took parses the same. findPSKeyValue
// on the same text as a file finds the first line with the key and keeps to
// its bounds.
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

int parse(const char* line, uint16_t* key, uint8_t* words) {
  int count = -1;
  const int result = upd::parsePSKeyLine(line, key, words, &count);
  FUZZ_CHECK(result == -1 || (result == 1 && count >= 0 && count <= 40));
  return result == 1 ? count : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  std::unique_ptr<char[]> line(new char[size + 1]);  // exactly the line and its terminator
  if (size > 0) std::memcpy(line.get(), data, size);
  line[size] = '\0';
  uint16_t key = 0, again = 0;
  uint8_t words[80] = {}, againWords[80] = {};
  const int count = parse(line.get(), &key, words);
  std::string written = "&" + hex4(key >> 8, key) + " =";
  for (int k = 0; k < count; ++k) {
    written += " " + hex4(words[2 * k + 1], words[2 * k]);
    FUZZ_CHECK(strncasecmp(line.get() + 8 + 5 * k, written.c_str() + 8 + 5 * k, 4) == 0);
  }
  if (count >= 0) {
    FUZZ_CHECK(strncasecmp(line.get() + 1, written.c_str() + 1, 4) == 0);
    FUZZ_CHECK(parse((written + "\r\n").c_str(), &again, againWords) == count && again == key);
    FUZZ_CHECK(std::memcmp(againWords, words, sizeof words) == 0);
  }

  const std::string text(reinterpret_cast<const char*>(data), size), prefix = "&02a5 = ";
  sandbox.write("/tmp/keys.psr", text);
  char value[16];
  int found = -1;
  const int result =
      upd::findPSKeyValue("/tmp/keys.psr", prefix.c_str(), value, sizeof value, words, 10, &found);
  FUZZ_CHECK(result == (fuzz::hasKeyLine(text, prefix) ? 1 : 0));
  std::string rest;
  for (const std::string& piece : fuzz::pieces(text))
    if (rest.empty() && fuzz::startsWith(piece, prefix)) rest = piece.substr(8) + " ";
  FUZZ_CHECK(result == 0 || (value == rest.substr(0, std::min<size_t>(15, rest.size() - 1)) &&
                             found >= 0 && found <= 10));
  for (int k = 0; result == 1 && k < found; ++k) {
    const std::string word = hex4(words[2 * k + 1], words[2 * k]);
    FUZZ_CHECK(strncasecmp(rest.c_str() + 5 * k, word.c_str(), 4) == 0);
  }
  return 0;
}
