// Comparison of the new key set with the module's dump: a report of the
// differences and the write set of the keys that must be written.
#include <cstdio>
#include <cstring>

#include "file_util/file_util.h"
#include "log/log.h"
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

// Reads the next key line of a stream into line; other lines (blank lines,
// left-over text) carry no key and are passed over.
bool nextKeyLine(FILE* stream, char* line, size_t size, int* key) {
  while (std::fgets(line, static_cast<int>(size - 1), stream) != nullptr) {
    *key = lineKey(line);
    if (*key >= 0) return true;
  }
  return false;
}

void report(const char* prefix, const char* line) {
  char out[reportLineSize];
  int n = std::snprintf(out, sizeof out, "%s%s", prefix, line);
  if (n < 0) return;
  size_t length = static_cast<size_t>(n) < sizeof out ? static_cast<size_t>(n) : sizeof out - 1;
  writeFile(comparePSKeyPath, "a", out, length);
}

void toSet(const char* line) { writeFile(toSetPSKeyPath, "a", line, std::strlen(line)); }

}  // namespace

int comparePSKeyFiles(const char* reference, const char* module) {
  FileStream ref(openFileStream(reference, "r"));
  if (!ref) return 0;
  FileStream mod(openFileStream(module, "r"));
  if (!mod) return 0;

  char a[psrLineSize];
  char b[psrLineSize];
  int ka = 0;
  int kb = 0;
  int previous = -1;
  while (nextKeyLine(ref.get(), a, sizeof a, &ka)) {
    // The search relies on ascending keys; a reference out of order would
    // also make it quadratic.
    if (ka <= previous) {
      LOG_ERROR(Critical, 106,
                "key line &%04x of %s is not above the one before it (&%04x): comparison "
                "stopped\n",
                ka, reference, previous);
      return -1;
    }
    previous = ka;
    for (;;) {
      if (!nextKeyLine(mod.get(), b, sizeof b, &kb)) {
        // The module lacks this key.
        report(">>", a);
        toSet(a);
        break;
      }
      if (kb < ka) {
        report("<<", b);  // a key only the module has
        continue;
      }
      if (kb == ka) {
        if (std::strcmp(a, b) != 0) {
          report(">>", a);
          toSet(a);
          report("<<", b);
        }
        break;
      }
      // kb > ka: the module lacks this key; the next search starts over.
      report(">>", a);
      toSet(a);
      std::rewind(mod.get());
      break;
    }
  }
  while (nextKeyLine(mod.get(), b, sizeof b, &kb)) report("<<", b);
  return 1;
}

}  // namespace upd
