// The PSR key-line format: parsing one line and looking up one key's value.
//
// A key line is positional: "&" in column 0, the key id in columns 1-4,
// " =" in columns 5-6 (not examined), then for every word a separator column
// and four hex digits (high byte first). The word list ends at the first
// separator column that holds the line end. Parsing never reads beyond the
// line's terminator.
#include <cerrno>
#include <cstring>

#include "file_util/file_util.h"
#include "log/log.h"
#include "pskey_files/pskey_files.h"
#include "pskey_files/psr_text.h"

namespace upd {

namespace {

constexpr size_t keyWordColumn = 7;  // separator before the first word
constexpr size_t wordStride = 5;     // separator and four digits

using psr::hexValue;
using psr::isLineEnd;

// Two hex digits at text into *value; false when either is not a hex digit
// (a terminator included, so nothing past it is read).
bool hexPair(const char* text, uint8_t* value) {
  int high = hexValue(text[0]);
  if (high < 0) return false;
  int low = hexValue(text[1]);
  if (low < 0) return false;
  *value = static_cast<uint8_t>(high << 4 | low);
  return true;
}

// True when text holds nothing but blanks up to the line end: what the
// comment cut leaves behind the last word.
bool onlyBlanksToEnd(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return isLineEnd(*text);
}

}  // namespace

namespace psr {

LineRead readKeyFileLine(KeyFileReader& reader, char* line, size_t size, size_t* length) {
  if (!reader.midLine) ++reader.lineNumber;
  size_t n = 0;
  int c = 0;
  // Character by character: the line's length is what was read, whatever
  // bytes it holds.
  while (n + 1 < size && (c = std::getc(reader.stream)) != EOF) {
    if (c == '\0') return LineRead::nulByte;
    line[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[n] = '\0';
  *length = n;
  if (c == EOF && std::ferror(reader.stream)) {
    reader.error = errno;
    return LineRead::readError;
  }
  if (n == 0) return LineRead::end;
  reader.midLine = line[n - 1] != '\n';
  return LineRead::line;
}

void rewindKeyFile(KeyFileReader& reader) {
  std::rewind(reader.stream);
  reader.lineNumber = 0;
  reader.midLine = false;
}

void refuseKeyFile(const KeyFileReader& reader, LineRead why, bool statusFileToo) {
  if (why == LineRead::nulByte) {
    if (statusFileToo)
      LOG_ERROR(Critical, 106, "%s line %d: NUL byte, key file refused\n", reader.path,
                reader.lineNumber);
    else
      LOG_INFO(1, "%s line %d: NUL byte, key file refused\n", reader.path, reader.lineNumber);
  } else if (why == LineRead::readError) {
    if (statusFileToo)
      LOG_ERROR(Critical, 106, "%s line %d: read error %d %s, key file refused\n", reader.path,
                reader.lineNumber, reader.error, errorText(reader.error));
    else
      LOG_INFO(1, "%s line %d: read error %d %s, key file refused\n", reader.path,
               reader.lineNumber, reader.error, errorText(reader.error));
  }
}

}  // namespace psr

int parsePSKeyLine(const char* line, uint16_t* keyId, uint8_t* words, int* wordCount) {
  if (line == nullptr || line[0] != '&') return -1;
  uint8_t high = 0;
  uint8_t low = 0;
  if (!hexPair(line + 1, &high) || !hexPair(line + 3, &low)) return -1;

  // Columns 5 and 6 are not examined, but a line ending there has no words.
  size_t column = 5;
  for (; column < keyWordColumn; ++column) {
    if (isLineEnd(line[column])) {
      *keyId = static_cast<uint16_t>(high << 8 | low);
      *wordCount = 0;
      return 1;
    }
  }

  size_t count = 0;
  for (;; column += wordStride) {
    const char* separator = line + column;
    if (onlyBlanksToEnd(separator)) break;
    if (count == psKeyMaxWords) return -1;  // a further word has no room
    uint8_t wordHigh = 0;
    uint8_t wordLow = 0;
    if (!hexPair(separator + 1, &wordHigh) || !hexPair(separator + 3, &wordLow)) return -1;
    words[2 * count] = wordLow;
    words[2 * count + 1] = wordHigh;
    ++count;
  }
  *keyId = static_cast<uint16_t>(high << 8 | low);
  *wordCount = static_cast<int>(count);
  return 1;
}

int findPSKeyValue(const char* path, const char* prefix, char* text, size_t textSize,
                   uint8_t* words, size_t maxWords, int* wordCount) {
  FileStream stream(openFileStream(path, "r"));
  if (!stream) return 0;
  const size_t prefixLength = std::strlen(prefix);
  char line[psrLineSize];
  psr::KeyFileReader reader = {stream.get(), path};
  size_t length = 0;
  for (;;) {
    const psr::LineRead got = psr::readKeyFileLine(reader, line, sizeof line - 1, &length);
    if (got == psr::LineRead::end) return 0;
    if (got != psr::LineRead::line) {
      // A refused file holds no value; the lookup's callers write reports
      // of their own, so the reason goes to standard error.
      psr::refuseKeyFile(reader, got, false);
      return 0;
    }
    if (length < prefixLength || std::strncmp(line, prefix, prefixLength) != 0) continue;
    const char* rest = line + prefixLength;

    if (textSize > 0) {
      size_t restLength = length - prefixLength;
      if (restLength > textSize - 1) restLength = textSize - 1;
      std::memcpy(text, rest, restLength);
      text[restLength] = '\0';
    }

    // Word k sits at offset 5k of the rest, its separator at 5k - 1.
    size_t count = 0;
    while (count < maxWords) {
      const size_t offset = wordStride * count;
      if (count > 0 && isLineEnd(rest[offset - 1])) break;
      uint8_t wordHigh = 0;
      uint8_t wordLow = 0;
      if (!hexPair(rest + offset, &wordHigh) || !hexPair(rest + offset + 2, &wordLow)) break;
      words[2 * count] = wordLow;
      words[2 * count + 1] = wordHigh;
      ++count;
    }
    if (wordCount != nullptr) *wordCount = static_cast<int>(count);
    return 1;
  }
}

}  // namespace upd
