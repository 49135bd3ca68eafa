// Stand-in for the archive and flash code until it lands.
#include "image/image.h"

namespace upd {

FlashLayout flashLayout = defaultFlashLayout;

void checkFlashConfig() {}
int startUpdate() { return -1; }

}  // namespace upd
