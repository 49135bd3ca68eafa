// BCCMD PS-key requests: GET and SET messages, their carriage over the link
// in use, the walk over all keys and the module dump of the responses.
// Every 16-bit field is little-endian and set byte by byte.
#include <cstdio>
#include <cstring>

#include "bt_module/bt_module.h"
#include "common/step_event.h"
#include "file_util/file_util.h"
#include "log/log.h"

namespace upd {

namespace {

// Request layout, byte offsets.
constexpr size_t offType = 0;
constexpr size_t offLength = 2;
constexpr size_t offSeqno = 4;
constexpr size_t offVarid = 6;
constexpr size_t offKeyId = 10;
constexpr size_t offKeyLength = 12;
constexpr size_t offStores = 14;
constexpr size_t offValue = 16;

constexpr uint16_t bccmdGetReq = 0x0000;
constexpr uint16_t bccmdSetReq = 0x0002;
constexpr uint16_t bccmdWords = bccmdMessageSize / 2;  // 48
constexpr uint16_t bccmdSeqno = 0x0FA5;
constexpr uint16_t varidPs = 0x7003;
constexpr uint8_t payloadDescriptor = 0xC2;  // first and last fragment, channel 2
constexpr size_t minMessageBytes = 18;

// Response layout, byte offsets behind the payload descriptor byte.
constexpr size_t rspStatus = 9;
constexpr size_t rspKeyId = 11;
constexpr size_t rspKeyLength = 13;
constexpr size_t rspStores = 15;
constexpr size_t rspValue = 17;

// The dump line of a 40-word key: "&kkkk =", 40 times " wwww", CR LF.
constexpr size_t dumpLineSize = 7 + 5 * psKeyMaxWords + 2 + 1;

// The type of the request sent last: a SET that the module refuses fails
// the step, a GET of a key the module lacks does not.
uint16_t outstandingType = bccmdGetReq;

constexpr int lastWalkHigh = 0x03;
constexpr int lastWalkLow = 0xFF;
int walkHigh = 0;
int walkLow = -1;

void put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

void fillHeader(uint8_t* msg, uint16_t type, uint8_t keyHigh, uint8_t keyLow) {
  put16(msg + offType, type);
  put16(msg + offLength, bccmdWords);
  put16(msg + offSeqno, bccmdSeqno);
  put16(msg + offVarid, varidPs);
  msg[offKeyId] = keyLow;
  msg[offKeyId + 1] = keyHigh;
}

char hexDigit(unsigned value) { return "0123456789abcdef"[value & 0x0F]; }

void putHexByte(char* at, uint8_t value) {
  at[0] = hexDigit(value >> 4);
  at[1] = hexDigit(value);
}

// Formats the dump line of one key; returns its length.
size_t formatDumpLine(char* line, uint8_t keyHigh, uint8_t keyLow, const uint8_t* value,
                      size_t wordCount) {
  size_t pos = 0;
  line[pos++] = '&';
  putHexByte(line + pos, keyHigh);
  putHexByte(line + pos + 2, keyLow);
  pos += 4;
  line[pos++] = ' ';
  line[pos++] = '=';
  for (size_t k = 0; k < wordCount; ++k) {
    line[pos++] = ' ';
    putHexByte(line + pos, value[2 * k + 1]);
    putHexByte(line + pos + 2, value[2 * k]);
    pos += 4;
  }
  line[pos++] = '\r';
  line[pos++] = '\n';
  line[pos] = '\0';
  return pos;
}

void traceResponse(const uint8_t* rsp, size_t len) {
  std::printf("GET PS-Key response\n");
  for (size_t i = 0; i < len; ++i) std::printf("0x%02x ", rsp[i]);
  std::printf("\n");
  if (len < rspValue) return;
  std::printf("  Payl.Descr.:  0x%02x\n", rsp[0]);
  static constexpr struct {
    const char* label;
    size_t offset;
  } fields[] = {{"  BCCMD Type:   ", 1},      {"  BCCMD Length: ", 3},
                {"  BCCMD Seqno:  ", 5},      {"  BCCMD Varid:  ", 7},
                {"  BCCMD Status: ", rspStatus}, {"  PS-Key ID:    ", rspKeyId},
                {"  PS-Key Length:", rspKeyLength}, {"  PS-Key Stores:", rspStores}};
  for (const auto& field : fields)
    std::printf("%s0x%02x%02x\n", field.label, rsp[field.offset + 1], rsp[field.offset]);
  std::printf("  PS-Key Value: ");
}

}  // namespace

int sendBCCMDReq(const uint8_t msg[bccmdMessageSize]) {
  uint8_t carried[1 + bccmdMessageSize + 1] = {};
  carried[0] = payloadDescriptor;
  std::memcpy(carried + 1, msg, bccmdMessageSize);
  const size_t length = 2u * get16(msg + offLength);
  if (length < minMessageBytes || length > bccmdMessageSize) {
    LOG_ERROR(Critical, 110, "invalid length %d in BCCMDReq received", static_cast<int>(length));
    return -1;
  }
  outstandingType = get16(msg + offType);
  switch (LinkMode) {
    case LINK_SERIAL:
    case LINK_SERIAL_HCI:
      return sendHciCmd(static_cast<uint8_t>(length + 1), vendorOpcode, carried);
    case LINK_BCSP:
      return writeBtmodule(msg, static_cast<unsigned>(length));
    default:
      return -1;
  }
}

int sendPSKeyGetReq(uint8_t keyHigh, uint8_t keyLow, uint8_t storesHigh, uint8_t storesLow) {
  uint8_t msg[bccmdMessageSize] = {};
  fillHeader(msg, bccmdGetReq, keyHigh, keyLow);
  put16(msg + offKeyLength, static_cast<uint16_t>(psKeyMaxWords));
  msg[offStores] = storesLow;
  msg[offStores + 1] = storesHigh;
  return sendBCCMDReq(msg);
}

int sendPSKeySetReq(uint8_t keyHigh, uint8_t keyLow, uint8_t wordCount, const uint8_t* value) {
  if (wordCount > psKeyMaxWords || (wordCount > 0 && value == nullptr)) {
    LOG_ERROR(Critical, 110, "invalid length %d words in PS-Key SET for 0x%02x%02x", wordCount,
              keyHigh, keyLow);
    return -1;
  }
  uint8_t msg[bccmdMessageSize] = {};
  fillHeader(msg, bccmdSetReq, keyHigh, keyLow);
  msg[offKeyLength] = wordCount;
  msg[offKeyLength + 1] = 0;
  if (wordCount > 0) std::memcpy(msg + offValue, value, 2u * wordCount);
  return sendBCCMDReq(msg);
}

void readAllPSKeys() {
  if (walkHigh == lastWalkHigh && walkLow == lastWalkLow) {
    replaceStepEvent(STEP_WAIT, STEP_DONE);
    resetKeyWalk();
    return;
  }
  if (++walkLow > 0xFF) {
    ++walkHigh;
    walkLow = 0;
  }
  sendPSKeyGetReq(static_cast<uint8_t>(walkHigh), static_cast<uint8_t>(walkLow), 0x00, 0x07);
}

void resetKeyWalk() {
  walkHigh = 0;
  walkLow = -1;
}

void pskeyReqRsp(const uint8_t* rsp, int len) {
  const size_t received = len > 0 ? static_cast<size_t>(len) : 0;
  const bool trace = (moduleTraceMask & 2u) != 0;
  if (trace) traceResponse(rsp, received);
  // A stray answer leaves no dump line either.
  if (!takeAnswer("pskeyReqRsp")) return;

  if (received < rspValue) {
    LOG_ERROR(Warning, 106, "BCCMD response of %d bytes too short, no PS-Key taken\n",
              static_cast<int>(received));
    ++stepFaults;
    return;
  }
  const uint8_t keyHigh = rsp[rspKeyId + 1];
  const uint8_t keyLow = rsp[rspKeyId];
  const uint16_t status = get16(rsp + rspStatus);
  if (status != 0) {
    if (trace) std::printf("request failed (see BCCMD Status) \n");
    if (outstandingType == bccmdSetReq) {
      LOG_ERROR(Critical, 106, "PS-Key 0x%02x%02x refused by the module (BCCMD status 0x%04x)\n",
                keyHigh, keyLow, status);
      ++stepFaults;
    }
    return;
  }
  const size_t words = get16(rsp + rspKeyLength);
  // A length the request could not have asked for, or one that runs past
  // what arrived, is a broken response: a half key is wrong data, so the
  // line is dropped rather than clipped.
  if (words > psKeyMaxWords || rspValue + 2 * words > received) {
    LOG_ERROR(Warning, 106,
              "BCCMD response for PS-Key 0x%02x%02x claims %d words in %d bytes, dropped\n",
              keyHigh, keyLow, static_cast<int>(words), static_cast<int>(received));
    ++stepFaults;
    return;
  }
  char line[dumpLineSize];
  const size_t length = formatDumpLine(line, keyHigh, keyLow, rsp + rspValue, words);
  if (outstandingType == bccmdSetReq) {
    // The module's answer decides a SET; its dump line is a trace, appended
    // where it can be (the dump is read-only once the key walk is done, which
    // stops an ordinary user), and its loss is said on standard error only.
    if (int error = appendQuietly(dumpPSKeyPath, line, length))
      LOG_INFO(1, "dump line of a SET answer not appended to %s: 0x%02x %s\n", dumpPSKeyPath,
               error, errorText(error));
  } else if (writeFile(dumpPSKeyPath, "a", line, length) != length) {
    ++stepFaults;  // the dump is what the read step delivers
  }
  if (trace) {
    for (size_t i = 0; i < 2 * words; ++i) std::printf("%02x ", rsp[rspValue + i]);
    std::printf("\n");
  }
}

}  // namespace upd
