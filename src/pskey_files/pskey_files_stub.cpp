// Stand-in for the PS-key file code until it lands.
#include "pskey_files/pskey_files.h"

namespace upd {

const char* const hostIfKeysSerial[] = {nullptr};
const char* const hostIfKeysBcsp[] = {nullptr};

int parsePSKeyLine(const char*, uint16_t*, uint8_t*, int*) { return -1; }
int findPSKeyValue(const char*, const char*, char*, size_t, uint8_t*, size_t, int*) { return 0; }
int preparePSKeyFile(const char*, const char*) { return 1; }
int writeAllPSKeys(const char*) { return -1; }
int writeHostIfPSKeys(int) { return 1; }
int comparePSKeyFiles(const char*, const char*) { return 0; }
void resetKeyWriters() {}

}  // namespace upd
