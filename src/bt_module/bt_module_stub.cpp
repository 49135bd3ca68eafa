// Stand-in for the module link until it lands.
#include "bt_module/bt_module.h"

namespace upd {

int LinkMode = LINK_SERIAL_HCI;

int readBtModule() { return 0; }
int readBtModuleBccmdChannel() { return 0; }

}  // namespace upd
