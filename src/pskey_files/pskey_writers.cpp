// PS-key writers: the comment stripping of a key file, the writer that sends
// a file's key lines one SET per call, and the built-in host-interface sets.
#include <climits>
#include <cstdio>
#include <cstring>

#include "bt_module/bt_module.h"
#include "common/step_event.h"
#include "file_util/file_util.h"
#include "log/log.h"
#include "platform/platform.h"
#include "pskey_files/pskey_files.h"
#include "pskey_files/psr_text.h"

namespace upd {

// Host-interface keys for the serial HCI link and for the BCSP link.
const char* const hostIfKeysSerial[] = {
    "&01a5 = 0000",
    "&01a6 = 0000",
    "&01f9 = 0001",
    "&0191 = 1002 002e 00fa 0014 0004 0000 0004 001e 0064 000a",
    nullptr,
};
const char* const hostIfKeysBcsp[] = {
    "&01a5 = 0001",
    "&01a6 = 0001",
    "&01f9 = 0003",
    "&0191 = 1002 00a8 00fa 0014 0004 0000 0004 001e 0064 000a",
    nullptr,
};

namespace {

constexpr size_t keyWriterLineSize = psrLineSize - 1;  // a line of up to 1022 characters
constexpr size_t passPathSize = PATH_MAX;

// The key writer's pass: the open stream, the path it belongs to and the
// number of key lines sent from it so far.
struct KeyWriterPass {
  FileStream stream;
  char path[passPathSize];
  int sentLines;
  psr::KeyFileReader reader;
};
// All zero, so that its 4 KiB stay out of the program file.
KeyWriterPass keyPass = {nullptr, "", 0, {nullptr, nullptr}};

int hostIfIndex = 0;

void endKeyPass() {
  keyPass.stream.reset();
  keyPass.path[0] = '\0';
  keyPass.sentLines = 0;
}

bool isPassPath(const char* path) {
  return std::strlen(path) < passPathSize && std::strcmp(keyPass.path, path) == 0;
}

// The length of the line end (CR, LF) at the end of a text of length n.
size_t lineEndLength(const char* text, size_t n) {
  size_t end = 0;
  while (end < n && (text[n - 1 - end] == '\r' || text[n - 1 - end] == '\n')) ++end;
  return end;
}

// The line's text without its line end, for messages.
void lineForMessage(const char* line, char* out, size_t outSize) {
  size_t n = std::strlen(line);
  n -= lineEndLength(line, n);
  std::snprintf(out, outSize, "%.*s", static_cast<int>(n), line);
}

// Sends the SET of one parsed key line.
void sendKeyLine(uint16_t keyId, const uint8_t* words, int wordCount) {
  sendPSKeySetReq(static_cast<uint8_t>(keyId >> 8), static_cast<uint8_t>(keyId & 0xFF),
                  static_cast<uint8_t>(wordCount), words);
}

// A preparation that cannot be completed leaves no prepared file: half a
// key set must not be written to the module.
int prepareFailed(const char* dst) {
  platform::remove(dst);
  return -1;
}

bool appendWhole(const char* dst, const char* bytes, size_t n) {
  return writeFile(dst, "a", bytes, n) == n;
}

}  // namespace

int preparePSKeyFile(const char* src, const char* dst) {
  FileStream in(openFileStream(src, "r"));
  if (!in) return -1;
  {
    // The prepared file is made first: a key file without keys prepares to
    // an empty file, and a file that cannot be made fails before any read.
    FileStream out(openFileStream(dst, "a"));
    if (!out) return -1;
  }
  psr::KeyFileReader reader = {in.get(), src};
  char line[psrLineSize];
  // A line longer than the buffer arrives in pieces; the pieces that follow
  // a comment are comment too, except the line end of a cut key line.
  enum class Carry { None, DroppedLine, CutLine } carry = Carry::None;
  size_t n = 0;
  psr::LineRead got;
  while ((got = psr::readKeyFileLine(reader, line, sizeof line - 1, &n)) == psr::LineRead::line) {
    const bool complete = line[n - 1] == '\n';
    const size_t endLength = lineEndLength(line, n);
    if (carry != Carry::None) {
      if (carry == Carry::CutLine && endLength > 0 &&
          !appendWhole(dst, line + n - endLength, endLength))
        return prepareFailed(dst);
      if (complete) carry = Carry::None;
      continue;
    }
    if (std::strncmp(line, "//", 2) == 0) {
      if (!complete) carry = Carry::DroppedLine;
      continue;
    }
    char* comment = std::strstr(line, "//");
    if (comment != nullptr) {
      // Cut the comment and keep the line end: the text before the slashes
      // stays as it is, a space included.
      std::memmove(comment, line + n - endLength, endLength);
      comment[endLength] = '\0';
      n = static_cast<size_t>(comment - line) + endLength;
      if (!complete) carry = Carry::CutLine;
    }
    if (!appendWhole(dst, line, n)) return prepareFailed(dst);
  }
  if (got != psr::LineRead::end) {
    psr::refuseKeyFile(reader, got);
    return prepareFailed(dst);
  }
  return 1;
}

int writeAllPSKeys(const char* path) {
  if (keyPass.stream && !isPassPath(path)) {
    // A pass left open (a time-out) on another file: start afresh.
    LOG_INFO(3, "key writer: pass on %s abandoned after %d lines\n", keyPass.path,
             keyPass.sentLines);
    endKeyPass();
  }
  if (!keyPass.stream) {
    keyPass.stream.reset(openFileStream(path, "r"));
    if (!keyPass.stream) {
      // No key of the file reaches the module: the step fails.
      ++stepFaults;
      endKeyPass();
      replaceStepEvent(STEP_WAIT, STEP_DONE);
      return -1;
    }
    std::snprintf(keyPass.path, sizeof keyPass.path, "%s", path);
    keyPass.sentLines = 0;
    keyPass.reader = {keyPass.stream.get(), keyPass.path};
  }

  char line[keyWriterLineSize];
  size_t length = 0;
  psr::LineRead got;
  while ((got = psr::readKeyFileLine(keyPass.reader, line, sizeof line, &length)) ==
         psr::LineRead::line) {
    if (line[0] != '&') continue;  // not a key line: nothing to send
    uint16_t keyId = 0;
    uint8_t words[2 * psKeyMaxWords];
    int wordCount = 0;
    if (parsePSKeyLine(line, &keyId, words, &wordCount) != 1) {
      char shown[80];
      lineForMessage(line, shown, sizeof shown);
      LOG_ERROR(Critical, 106, "PS-Key line refused (more than %d words or not hex): %s\n",
                static_cast<int>(psKeyMaxWords), shown);
      ++stepFaults;  // the pass goes on; the step fails at its end
      continue;
    }
    sendKeyLine(keyId, words, wordCount);
    LOG_INFO(3, "line %d: PS-Key 0x%02x%02x  length:%d %02x\n", keyPass.sentLines, keyId >> 8,
             keyId & 0xFF, wordCount, wordCount > 0 ? words[0] : 0);
    ++keyPass.sentLines;
    return 1;
  }
  if (got != psr::LineRead::end) {
    // The rest of the file cannot be taken: the keys sent stay, the step fails.
    psr::refuseKeyFile(keyPass.reader, got);
    ++stepFaults;
  }
  endKeyPass();
  replaceStepEvent(STEP_WAIT, STEP_DONE);
  return 1;
}

int writeHostIfPSKeys(int restart) {
  if (restart == 1) {
    hostIfIndex = 0;
    return 1;
  }
  const char* const* keys = LinkMode == LINK_BCSP ? hostIfKeysBcsp : hostIfKeysSerial;
  const char* entry = keys[hostIfIndex];
  if (entry == nullptr) {
    hostIfIndex = 0;
    replaceStepEvent(STEP_WAIT, STEP_LINK_SWITCH);
    return 1;
  }
  ++hostIfIndex;
  uint16_t keyId = 0;
  uint8_t words[2 * psKeyMaxWords];
  int wordCount = 0;
  if (parsePSKeyLine(entry, &keyId, words, &wordCount) != 1) {
    LOG_ERROR(Critical, 106, "PS-Key line refused (more than %d words or not hex): %s\n",
              static_cast<int>(psKeyMaxWords), entry);
    return 1;
  }
  sendKeyLine(keyId, words, wordCount);
  return 1;
}

void resetKeyWriters() {
  endKeyPass();
  hostIfIndex = 0;
}

}  // namespace upd
