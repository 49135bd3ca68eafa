// Comparison of the new key set with the module's dump: a report of the
// differences and the write set of the keys that must be written.
#include <cstdio>
#include <cstring>

#include "file_util/file_util.h"
#include "log/log.h"
#include "platform/platform.h"
#include "pskey_files/pskey_files.h"
#include "pskey_files/psr_text.h"

namespace upd {

namespace {

constexpr size_t reportLineSize = psrLineSize + 3;  // prefix, line, terminator

// The key id in columns 1-4 of a key line; -1 for any other line.
int lineKey(const char* line) {
  if (line[0] != '&') return -1;
  int key = 0;
  for (int i = 1; i <= 4; ++i) {
    int digit = psr::hexValue(line[i]);  // a terminator stops the scan here
    if (digit < 0) return -1;
    key = key << 4 | digit;
  }
  return key;
}

// Reads the next key line of an input into line; other lines (blank
// lines, left-over text) carry no key and are passed over. A file that
// cannot be read whole is refused here.
enum class Next { key, end, refused };
Next nextKeyLine(psr::KeyFileReader& in, char* line, size_t size, int* key) {
  size_t length = 0;
  for (;;) {
    const psr::LineRead got = psr::readKeyFileLine(in, line, size - 1, &length);
    if (got == psr::LineRead::end) return Next::end;
    if (got != psr::LineRead::line) {
      psr::refuseKeyFile(in, got);
      return Next::refused;
    }
    *key = lineKey(line);
    if (*key >= 0) return Next::key;
  }
}

// One line more of an output; false when it did not land whole.
bool report(const char* prefix, const char* line) {
  char out[reportLineSize];
  int n = std::snprintf(out, sizeof out, "%s%s", prefix, line);
  if (n < 0) return false;
  size_t length = static_cast<size_t>(n) < sizeof out ? static_cast<size_t>(n) : sizeof out - 1;
  return writeFile(comparePSKeyPath, "a", out, length) == length;
}

bool toSet(const char* line) {
  const size_t length = std::strlen(line);
  return writeFile(toSetPSKeyPath, "a", line, length) == length;
}

// A reference line for the write set: to the report and to the write set.
bool toWrite(const char* line) { return report(">>", line) && toSet(line); }

// The comparison proper: 1 when it ran through and wrote all its output,
// -1 when it stopped (the reason is reported where it arose).
int compareInputs(psr::KeyFileReader& ref, psr::KeyFileReader& mod) {
  char a[psrLineSize];
  char b[psrLineSize];
  int ka = 0;
  int kb = 0;
  int previous = -1;
  Next gotA;
  while ((gotA = nextKeyLine(ref, a, sizeof a, &ka)) == Next::key) {
    // The search relies on ascending keys; a reference out of order would
    // also make it quadratic.
    if (ka <= previous) {
      LOG_ERROR(Critical, 106,
                "key line &%04x of %s is not above the one before it (&%04x): comparison "
                "stopped\n",
                ka, ref.path, previous);
      return -1;
    }
    previous = ka;
    for (;;) {
      const Next gotB = nextKeyLine(mod, b, sizeof b, &kb);
      if (gotB == Next::refused) return -1;
      if (gotB == Next::end) {
        // The module lacks this key.
        if (!toWrite(a)) return -1;
        break;
      }
      if (kb < ka) {
        if (!report("<<", b)) return -1;  // a key only the module has
        continue;
      }
      if (kb == ka) {
        if (std::strcmp(a, b) != 0 && !(toWrite(a) && report("<<", b))) return -1;
        break;
      }
      // kb > ka: the module lacks this key; the next search starts over.
      if (!toWrite(a)) return -1;
      psr::rewindKeyFile(mod);
      break;
    }
  }
  if (gotA == Next::refused) return -1;
  Next gotB;
  while ((gotB = nextKeyLine(mod, b, sizeof b, &kb)) == Next::key)
    if (!report("<<", b)) return -1;
  return gotB == Next::end ? 1 : -1;
}

}  // namespace

int comparePSKeyFiles(const char* reference, const char* module) {
  FileStream ref(openFileStream(reference, "r"));
  if (!ref) return 0;
  FileStream mod(openFileStream(module, "r"));
  if (!mod) return 0;
  psr::KeyFileReader refIn = {ref.get(), reference};
  psr::KeyFileReader modIn = {mod.get(), module};
  const int result = compareInputs(refIn, modIn);
  if (result != 1) {
    // A comparison that stopped leaves neither a half report nor a half
    // write set for the next step.
    platform::remove(comparePSKeyPath);
    platform::remove(toSetPSKeyPath);
  }
  return result;
}

}  // namespace upd
