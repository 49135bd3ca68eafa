// Bluetooth module link: the module channel on the serial HCI node or the
// BCSP node, the event readers and the BCCMD PS-key requests. Every wire
// format here is little-endian, assembled byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

// How the module is reached.
constexpr int LINK_SERIAL = 0;      // /dev/cfUaB0, same as LINK_SERIAL_HCI
constexpr int LINK_BCSP = 1;        // /dev/bcspRel2, bare BCCMD
constexpr int LINK_SERIAL_HCI = 2;  // /dev/cfUaB0 (initial)
extern int LinkMode;

constexpr const char* serialNodePath = "/dev/cfUaB0";
constexpr const char* bcspNodePath = "/dev/bcspRel2";
constexpr const char* hwifNodePath = "/dev/etxhwif";
extern char moduleNodePath[16];

// The module's keys as the walk reads them, one PSR line per key.
constexpr const char* dumpPSKeyPath = "/tmp/pskeydump.psr";

// Trace switches, fixed at build time: bit 0 raw packet dumps, bit 1 BCCMD
// response decoding.
#ifndef UPDATE_MODULE_TRACE_MASK
#define UPDATE_MODULE_TRACE_MASK 0u
#endif
constexpr unsigned moduleTraceMask = UPDATE_MODULE_TRACE_MASK;

constexpr size_t hciCommandBufferSize = 120;  // indicator, opcode, length, 116 parameters
constexpr size_t hciEventBufferSize = 258;    // indicator, code, length, 255 parameters
constexpr size_t bccmdReadSize = 1032;        // one BCSP message
constexpr size_t bccmdMessageSize = 96;       // every request: 48 words
constexpr size_t psKeyMaxWords = 40;

constexpr uint8_t hciResetOpcode[2] = {0x03, 0x0C};
constexpr uint8_t vendorOpcode[2] = {0x00, 0xFC};

// Device access. openBtModule(1) opens the channel for the current LinkMode
// and returns 1, or -1 when the node does not open (the step's alarm ends
// the step), or BT_LINK_REFUSED when the BCSP node refused its set-up: the
// channel is closed again and the caller ends the step. Any other action
// closes the channel and returns 1.
constexpr int BT_LINK_REFUSED = -2;
int openBtModule(int action);
int resetBtModule();
int writeBtmodule(const uint8_t* buf, unsigned len);
int sendHciCmd(uint8_t paramLen, const uint8_t opcode[2], const uint8_t* params);

// Event readers.
int readBtModule();
int readBtModuleBccmdChannel();
struct CmdCompleteHandler {
  uint8_t opcode[2];
  int (*handler)();
};
extern const CmdCompleteHandler cmdCompleteHandlers[2];
int onResetComplete();
int onVendorCmdComplete();
// An answer of the module counts only while the step driver waits for one:
// then it sets STEP_REPLY and the result is true. Any other answer is stray:
// logged under the operation's name and dropped.
bool takeAnswer(const char* operation);

// BCCMD PS-key requests.
int sendBCCMDReq(const uint8_t msg[bccmdMessageSize]);
int sendPSKeyGetReq(uint8_t keyHigh, uint8_t keyLow, uint8_t storesHigh, uint8_t storesLow);
int sendPSKeySetReq(uint8_t keyHigh, uint8_t keyLow, uint8_t wordCount, const uint8_t* value);
void readAllPSKeys();
// rsp: payload descriptor then a BCCMD message; len: the bytes actually received.
void pskeyReqRsp(const uint8_t* rsp, int len);
// Puts the key walk back at its start (key 0x0000 next).
void resetKeyWalk();

}  // namespace upd
