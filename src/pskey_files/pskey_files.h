// PS-key files in the PSR text format: "&kkkk =" then " wwww" per word, CR LF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bt_module/bt_module.h"  // psKeyMaxWords: what one SET request carries

namespace upd {

// The key files: the package's new set, that set without its comments, and
// the comparison's report and write set.
constexpr const char* newPSKeyPath = "/tmp/update.d/pskeyorig.psr";
constexpr const char* preparedPSKeyPath = "/tmp/pskeyprep.psr";
constexpr const char* comparePSKeyPath = "/tmp/pskeycomp.psr";
constexpr const char* toSetPSKeyPath = "/tmp/pskeytoset.psr";

constexpr size_t psrLineSize = 1024;

// Parses one key line positionally. On success fills the key id, the words
// (each low byte first, room for psKeyMaxWords words) and their count, and
// returns 1. A line that is not a key line, has more than psKeyMaxWords words
// or non-hex digits in a word column returns -1; nothing is read beyond the
// line's terminator.
int parsePSKeyLine(const char* line, uint16_t* keyId, uint8_t* words, int* wordCount);

// Finds the first line of path beginning with prefix; copies the rest of the
// line (cut to textSize - 1 characters) into text, decodes at most maxWords
// words into words, and stores their count in *wordCount when given.
// Returns 1 if found, 0 if not.
int findPSKeyValue(const char* path, const char* prefix, char* text, size_t textSize,
                   uint8_t* words, size_t maxWords, int* wordCount = nullptr);
// Appends src without its comments to dst (created even when src holds no
// key). 1, or -1 when src cannot be opened or read whole (a NUL byte
// included) or dst cannot be written whole; dst is then removed.
int preparePSKeyFile(const char* src, const char* dst);
// Sends the SET of the next key line of path, or ends the pass (StepEvent
// STEP_DONE). A file that cannot be opened or read whole counts against the
// step (stepFaults); -1 when it cannot be opened.
int writeAllPSKeys(const char* path);
int writeHostIfPSKeys(int restart);
// 1 when the comparison ran and wrote all its output, 0 when an input
// cannot be opened, -1 when it stopped: the reference not in ascending key
// order, an input not read whole (a NUL byte included), an output not
// written whole. A comparison that stopped removes both its outputs.
int comparePSKeyFiles(const char* reference, const char* module);
// Closes a pass of writeAllPSKeys left open and resets the host-interface set.
void resetKeyWriters();

extern const char* const hostIfKeysSerial[];
extern const char* const hostIfKeysBcsp[];

}  // namespace upd
