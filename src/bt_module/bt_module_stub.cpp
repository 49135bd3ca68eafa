// Stand-in for the module link until it lands.
#include "bt_module/bt_module.h"

namespace upd {

int LinkMode = LINK_SERIAL_HCI;
char moduleNodePath[16] = "";
const CmdCompleteHandler cmdCompleteHandlers[2] = {{{0x03, 0x0C}, onResetComplete},
                                                   {{0x00, 0xFC}, onVendorCmdComplete}};

int openBtModule(int) { return -1; }
int resetBtModule() { return -1; }
int writeBtmodule(const uint8_t*, unsigned) { return -1; }
int sendHciCmd(uint8_t, const uint8_t*, const uint8_t*) { return 1; }
int readBtModule() { return 0; }
int readBtModuleBccmdChannel() { return 0; }
int onResetComplete() { return 1; }
int onVendorCmdComplete() { return 1; }
int sendBCCMDReq(const uint8_t*) { return -1; }
int sendPSKeyGetReq(uint8_t, uint8_t, uint8_t, uint8_t) { return -1; }
int sendPSKeySetReq(uint8_t, uint8_t, uint8_t, const uint8_t*) { return -1; }
void readAllPSKeys() {}
void pskeyReqRsp(const uint8_t*, int) {}
void resetKeyWalk() {}

}  // namespace upd
