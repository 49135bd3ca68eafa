// The version check: installed against new versions of the module firmware,
// the module's PS-key set and the access point's software, with the version
// report in the status file.
//
// Installed versions come from /etc/data.txt, the new software version from
// the package's VERSION file, the new firmware and configuration versions
// from the text carried in the PS-keys &02a5 and &02a4 of the package's key
// file. A text that cannot be read shows as "not found" and never counts as
// equal, so the part stays marked for update.
#include <cstdio>
#include <cstring>

#include "file_util/file_util.h"
#include "log/log.h"
#include "pskey_files/pskey_files.h"
#include "sequencer/sequencer.h"
#include "sequencer/sequencer_internal.h"

namespace upd {
namespace {

constexpr const char* notFound = "not found";
constexpr const char* reportHeader =
    "OK\n     part:            |     old version      |      new version      |   update ?";

// Where the version texts stand in the two PS-keys' bytes, each word low
// byte first.
constexpr size_t newFirmwareAt = 13;     // 4 characters
constexpr size_t firmwareVersionLength = 4;
constexpr size_t firmwareNoteAt = 6;     // 6 characters shown after " means "
constexpr size_t firmwareNoteLength = 6;
constexpr size_t newMarkAt = 18;         // 2 characters
constexpr size_t markLength = 2;
constexpr size_t newConfigAt = 0;        // 4 characters
constexpr size_t configLength = 4;

// Installed CSRMODULINFO: configuration version at characters 41..44, the
// short mark in the two characters before the value's last one.
constexpr size_t oldConfigAt = 41;
constexpr size_t oldConfigMinLength = oldConfigAt + configLength;
constexpr size_t oldMarkMinLength = markLength + 1;

constexpr size_t rowSize = 128;  // "\n" and 3 + 19 + 1 + 23 + 1 + 22 + 1 + 20 columns

// One PS-key's value text and its bytes.
struct KeyText {
  bool usable = false;
  uint8_t bytes[2 * psKeyMaxWords] = {};
};

KeyText readKeyText(const char* prefix, int minWords) {
  KeyText key;
  char text[psrLineSize];
  int words = 0;
  if (findPSKeyValue(newPSKeyPath, prefix, text, sizeof text, key.bytes, psKeyMaxWords,
                     &words) == 1)
    key.usable = words >= minWords;
  return key;
}

// Appends length characters of bytes to text (size bytes in all); a NUL
// among the bytes ends the text there, as it would in any C string.
void appendBytes(char* text, size_t size, const uint8_t* bytes, size_t length) {
  size_t used = std::strlen(text);
  for (size_t i = 0; i < length && bytes[i] != 0 && used + 1 < size; ++i)
    text[used++] = static_cast<char>(bytes[i]);
  text[used] = '\0';
}

void appendText(char* text, size_t size, const char* more) {
  std::strncat(text, more, size - std::strlen(text) - 1);
}

// "mark config" from two pieces, each "not found" when it cannot be read;
// "not found" alone when neither can.
void joinMarkAndConfig(char* text, size_t size, const uint8_t* mark, const uint8_t* config) {
  text[0] = '\0';
  if (mark == nullptr && config == nullptr) {
    appendText(text, size, notFound);
    return;
  }
  if (mark != nullptr)
    appendBytes(text, size, mark, markLength);
  else
    appendText(text, size, notFound);
  appendText(text, size, " ");
  if (config != nullptr)
    appendBytes(text, size, config, configLength);
  else
    appendText(text, size, notFound);
}

// The value of the first line that begins with key: 1 and the value copied
// (value holds versionTextSize bytes), 0 when no line has the key (value
// unchanged), -1 when the file cannot be opened.
int lookupVersionValue(const char* path, const char* key, char* value) {
  FileStream stream(openFileStream(path, "r"));
  if (!stream) return -1;
  const size_t keyLength = std::strlen(key);
  char line[versionTextSize];
  while (std::fgets(line, static_cast<int>(sizeof line), stream.get()) != nullptr) {
    if (std::strncmp(line, key, keyLength) != 0) continue;
    // The key, one separator character, the value and the line feed. Only a
    // line feed is dropped: a last line without one keeps its last character.
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    const char* start = length > keyLength ? line + keyLength + 1 : line + length;
    std::memmove(value, start, std::strlen(start) + 1);
    return 1;
  }
  return 0;
}

void checkSoftware(VersionPart& part, char* oldText, bool oldFound, const char* newText,
                   bool newFound) {
  size_t length = std::strlen(oldText);
  if (length > 0) oldText[length - 1] = '\0';
  std::printf("old %s : new %s\n", oldText, newText);
  if (oldFound && newFound && std::strcmp(oldText, newText) == 0) part.updateNeeded = 0;
}

void checkFirmware(VersionPart& part, char* oldText, bool oldFound, char* newText,
                   const KeyText& firmwareKey) {
  if (std::strlen(oldText) > firmwareVersionLength) oldText[firmwareVersionLength] = '\0';
  newText[0] = '\0';
  if (!firmwareKey.usable) {
    // The package's own BTFIRMWARE line is not the firmware it brings.
    appendText(newText, versionTextSize, notFound);
    return;
  }
  appendBytes(newText, versionTextSize, firmwareKey.bytes + newFirmwareAt, firmwareVersionLength);
  appendText(newText, versionTextSize, " means ");
  appendBytes(newText, versionTextSize, firmwareKey.bytes + firmwareNoteAt, firmwareNoteLength);
  if (oldFound && std::strncmp(oldText, newText, firmwareVersionLength) == 0)
    part.updateNeeded = 0;
}

void checkPSKeys(VersionPart& part, const VersionPart* firmwarePart, char* oldText, bool oldFound,
                 char* newText, const KeyText& firmwareKey) {
  const size_t oldLength = oldFound ? std::strlen(oldText) : 0;
  uint8_t oldMark[markLength] = {};
  uint8_t oldConfig[configLength] = {};
  const bool oldMarkUsable = oldLength >= oldMarkMinLength;
  const bool oldConfigUsable = oldLength >= oldConfigMinLength;
  if (oldMarkUsable) std::memcpy(oldMark, oldText + oldLength - 1 - markLength, markLength);
  if (oldConfigUsable) std::memcpy(oldConfig, oldText + oldConfigAt, configLength);

  const uint8_t* newMark = firmwareKey.usable ? firmwareKey.bytes + newMarkAt : nullptr;
  if (oldMarkUsable && newMark != nullptr && std::memcmp(oldMark, newMark, markLength) == 0 &&
      firmwarePart != nullptr && firmwarePart->updateNeeded == 0)
    part.updateNeeded = 0;

  const KeyText configKey = readKeyText(configVersionKeyPrefix, configVersionMinWords);
  const uint8_t* newConfig = configKey.usable ? configKey.bytes + newConfigAt : nullptr;
  if (!oldConfigUsable || newConfig == nullptr ||
      std::memcmp(oldConfig, newConfig, configLength) != 0)
    part.updateNeeded = 1;

  joinMarkAndConfig(oldText, versionTextSize, oldMarkUsable ? oldMark : nullptr,
                    oldConfigUsable ? oldConfig : nullptr);
  joinMarkAndConfig(newText, versionTextSize, newMark, newConfig);
}

}  // namespace

int checkVersions() {
  const KeyText firmwareKey = readKeyText(firmwareVersionKeyPrefix, firmwareVersionMinWords);
  appendStatus(reportHeader);

  for (VersionPart* part = versionParts; part->key != nullptr; ++part) {
    char oldText[versionTextSize];
    char newText[versionTextSize];
    std::snprintf(oldText, sizeof oldText, "%s", notFound);
    std::snprintf(newText, sizeof newText, "%s", notFound);
    const bool oldFound = lookupVersionValue(installedVersionPath, part->key, oldText) == 1;
    const bool newFound = lookupVersionValue(versionPath, part->key, newText) == 1;

    switch (part->partKind) {
      case PART_LAP_SOFTWARE:
        checkSoftware(*part, oldText, oldFound, newText, newFound);
        break;
      case PART_FIRMWARE:
        checkFirmware(*part, oldText, oldFound, newText, firmwareKey);
        break;
      case PART_PSKEYS:
        checkPSKeys(*part, part == versionParts ? nullptr : part - 1, oldText, oldFound, newText,
                    firmwareKey);
        break;
      default:
        break;
    }

    const char* flag = part->updateNeeded == 1 ? "    yes" : "    no";
    char row[rowSize];
    std::snprintf(row, sizeof row, "\n   %-19.19s %-23.23s %-22.22s %-20.20s", part->label,
                  oldText, newText, flag);
    appendStatus(row);
  }
  return 1;
}

}  // namespace upd
