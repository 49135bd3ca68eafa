// Stand-in for the PS-key file code until it lands.
#include "pskey_files/pskey_files.h"

namespace upd {

const char* const hostIfKeysSerial[] = {nullptr};
const char* const hostIfKeysBcsp[] = {nullptr};

int preparePSKeyFile(const char*, const char*) { return 1; }
int writeAllPSKeys(const char*) { return -1; }
int writeHostIfPSKeys(int) { return 1; }
int comparePSKeyFiles(const char*, const char*) { return 0; }
void resetKeyWriters() {}

}  // namespace upd
