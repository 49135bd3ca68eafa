// The virtual Bluetooth module of the simulated board and the board state
// around it: its persistent store (board/module.psr), its firmware version
// (board/firmware.txt), the host link it answers on, the BCSP drivers
// (board/drivers.txt) and the wire trace (board/wire.log).
//
// The module is process-wide, like the hardware: the three device nodes
// (module_devices.cpp) all talk to the one module. It powers up at its first
// use in a sandbox and powers up afresh when the sandbox root changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {
namespace vmodule {

// Which node the module answers on; chosen from the host-interface keys at
// every restart.
enum class Link { none, serial, bcsp };

// BCCMD message layout (every field 16-bit little-endian).
constexpr size_t bccmdHeaderBytes = 10;  // type, length, seqno, varid, status
constexpr size_t psHeaderBytes = 16;     // header, key id, key length, stores
constexpr size_t maxMessageBytes = 1032;
constexpr size_t maxValueWords = 40;
constexpr uint16_t typeGetReq = 0x0000;
constexpr uint16_t typeGetResp = 0x0001;
constexpr uint16_t typeSetReq = 0x0002;
constexpr uint16_t varidPs = 0x7003;

// Status words of the module's answers.
constexpr uint16_t statusOk = 0x0000;
constexpr uint16_t statusNoSuchVarid = 0x0001;
constexpr uint16_t statusTooBig = 0x0002;
constexpr uint16_t statusNoValue = 0x0003;     // GET of a key the store lacks
constexpr uint16_t statusBadRequest = 0x0004;  // neither GET nor SET
constexpr uint16_t statusFailed = 0x0008;      // keys of module.fail_keys
// The name of a status word ("OK", "NO_VALUE", ...; "UNKNOWN" for others).
const char* statusName(uint16_t status);

// HCI in H4 framing on the serial node.
constexpr uint8_t hciCommandPacket = 0x01;
constexpr uint8_t hciEventPacket = 0x04;
constexpr uint8_t eventCommandComplete = 0x0e;
constexpr uint8_t eventCommandStatus = 0x0f;
constexpr uint8_t eventVendor = 0xff;
constexpr uint16_t opcodeHciReset = 0x0c03;
constexpr uint16_t opcodeVendor = 0xfc00;  // carries BCCMD behind the descriptor
constexpr uint8_t bccmdDescriptor = 0xc2;
constexpr uint8_t statusUnknownCommand = 0x01;
constexpr size_t hciHeaderBytes = 4;  // indicator, opcode, parameter length

// The host-interface key that picks the link, and its values.
constexpr uint16_t hostInterfaceKey = 0x01f9;
constexpr uint16_t hostInterfaceBcsp = 0x0001;
constexpr uint16_t hostInterfaceSerial = 0x0003;

// Where the firmware version sits in the text of key 0x02a5.
constexpr uint16_t versionKey = 0x02a5;
constexpr size_t firmwareVersionOffset = 13;
constexpr size_t firmwareVersionLength = 4;
constexpr const char* defaultFirmwareVersion = "2.13";

// The BCSP driver modules, in the order they must be loaded.
constexpr const char* bcspDrivers[] = {"linabcsp_uart", "bcsp", "linabcsp_upChan"};
constexpr size_t bcspDriverCount = sizeof bcspDrivers / sizeof bcspDrivers[0];

// Key id -> value words.
using Store = std::map<uint16_t, std::vector<uint16_t>>;

// Powers the module up if it is not yet up in the current sandbox: loads
// board/module.psr (writing the default store there when it is missing),
// brings board/firmware.txt and key 0x02a5 into line, and takes the link
// from module.link or else from the store.
void ensureStarted();
// The restart that /dev/etxhwif's reset request causes (unless
// module.reset_ignored is set): queued answers are dropped, the store is read
// again and the link is taken from its host-interface keys.
void restart();
// Bumped by every restart; answers queued before it are dropped.
unsigned generation();
Link currentLink();
const char* linkName(Link link);
Link linkFromStore(const Store& store);
const Store& store();

// Whether the module takes a request arriving on a node whose link is
// `node`: false on the wrong link, for a silent module, and once
// module.silent_after requests have been answered. Counts the request; the
// one module.drop_request names is counted but not taken.
bool takesRequest(Link node);
// Whether the answer to the request just taken goes out twice
// (module.duplicate_answer).
bool answersTwice();
// The delay before an answer, in real seconds (module.delay_ms, scaled).
double answerDelay();

// Handles one BCCMD message as the module does. Returns false when no
// answer is due (a message too short or whose length field disagrees with
// the bytes received); otherwise fills *response with the answer message,
// as long as the request's length field says.
bool handleBccmd(const uint8_t* message, size_t size, std::vector<uint8_t>* response);

// The PSR text of the store: "&kkkk =", " wwww" per word, CR LF, lower-case
// hex, ascending keys.
std::string formatStore(const Store& store);
// Reads PSR text; empty and "//" comment lines are passed over, other lines
// that are not good key lines are skipped, and a key given twice takes its
// later value. Each of those is said in *problems (when given) as "LINE: "
// and what is wrong.
Store parseStore(const std::string& text, std::vector<std::string>* problems = nullptr);
Store defaultStore();

// Byte i of a key's value read as text (each word low byte first).
int valueByte(const std::vector<uint16_t>& words, size_t index);

// The BCSP drivers as board/drivers.txt records them.
std::vector<std::string> loadedDrivers();
bool bcspDriversLoaded();

// Appends one line to board/wire.log: time, direction ('>' to the module,
// '<' from it), node name and the bytes in hex.
void traceWire(char direction, const char* node, const uint8_t* bytes, size_t size);
// Appends a note line ("! text") to board/wire.log.
void traceNote(const std::string& text);
// Appends the line of a set-up request ("> NODE ioctl H1 ARG RESULT").
void traceSetUp(const char* node, unsigned long request, const std::string& argument,
                const std::string& result);
// Every line goes to board/wire.log and, decoded, to board/wire.txt (see
// wire_trace.h), unless module.wire_log is off.

}  // namespace vmodule
}  // namespace sim
