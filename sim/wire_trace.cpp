// Decoding of the module wire trace: HCI commands and events on the serial
// node, BCCMD messages on either node, the BCSP node's set-up requests and
// the board's notes, one readable line per line of board/wire.log.
#include "sim/wire_trace.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "sim/virtual_module.h"

namespace sim {
namespace wiretrace {
namespace {

using Bytes = std::vector<uint8_t>;
namespace vm = vmodule;

constexpr size_t nodeColumn = 8;  // "bcspRel2"

std::string hex16(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value & 0xffffu);
  return text;
}

std::string hex8(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value & 0xffu);
  return text;
}

std::string hexBytes(const Bytes& bytes, size_t from) {
  std::string text;
  char piece[4];
  for (size_t i = from; i < bytes.size(); ++i) {
    std::snprintf(piece, sizeof piece, "%s%02x", i == from ? "" : " ", bytes[i]);
    text += piece;
  }
  return text;
}

unsigned word(const Bytes& bytes, size_t at) {
  return static_cast<unsigned>(bytes[at] | (bytes[at + 1] << 8));
}

const char* opcodeName(unsigned opcode) {
  switch (opcode) {
    case vm::opcodeHciReset: return "HCI Reset";
    case vm::opcodeVendor: return "HCI vendor command";
    default: return "HCI command";
  }
}

const char* bccmdTypeName(unsigned type) {
  switch (type) {
    case vm::typeGetReq: return "GET";
    case vm::typeGetResp: return "GETRESP";
    case vm::typeSetReq: return "SET";
    default: return nullptr;
  }
}

// The keys of the daemon's host-interface sets, and the link key 0x01f9 selects.
std::string hostInterfaceNote(unsigned key, const std::vector<unsigned>& words) {
  if (key == vm::hostInterfaceKey && !words.empty()) {
    if (words[0] == vm::hostInterfaceBcsp) return " [host interface: BCSP]";
    if (words[0] == vm::hostInterfaceSerial) return " [host interface: serial HCI]";
    return " [host interface: none]";
  }
  if (key == 0x01a5 || key == 0x01a6 || key == 0x0191) return " [host-interface set]";
  return "";
}

// A value whose bytes (each word low byte first) are all printable, as text.
std::string valueText(const std::vector<unsigned>& words) {
  if (words.size() < 2) return "";
  std::string text;
  for (unsigned w : words) {
    for (unsigned c : {w & 0xffu, w >> 8}) {
      if (c < 0x20 || c > 0x7e) return "";
      text += static_cast<char>(c);
    }
  }
  return " \"" + text + "\"";
}

// A BCCMD message from byte `at` of the packet: the type, for an answer its
// status by name, the key and (for a SET or a successful answer) its value
// as a PSR line, then the other fields in brackets.
std::string decodeBccmd(const Bytes& packet, size_t at) {
  const size_t size = packet.size() - at;
  if (size < vm::bccmdHeaderBytes)
    return "BCCMD message too short (" + std::to_string(size) + " bytes): " + hexBytes(packet, at);
  const unsigned type = word(packet, at);
  const unsigned lengthWords = word(packet, at + 2);
  const unsigned varid = word(packet, at + 6);
  const unsigned status = word(packet, at + 8);
  const bool response = type == vm::typeGetResp;
  const char* typeName = bccmdTypeName(type);
  std::string text = "BCCMD ";
  text += typeName != nullptr ? typeName : "type " + hex16(type);
  if (response) text += std::string(" ") + vm::statusName(static_cast<uint16_t>(status));
  std::string fields = "seqno " + hex16(word(packet, at + 4)) + ", varid " + hex16(varid);
  if (varid == vm::varidPs) fields += " PS";
  if (response) fields += ", status " + hex16(status);
  if (2u * lengthWords != size)
    fields += ", length field " + std::to_string(lengthWords) + " words for " +
              std::to_string(size) + " bytes";
  if (varid != vm::varidPs || size < vm::psHeaderBytes) return text + " (" + fields + ")";

  const unsigned key = word(packet, at + 10);
  const unsigned keyLength = word(packet, at + 12);
  fields += ", length " + std::to_string(keyLength) + ", stores " + hex16(word(packet, at + 14));
  // The value words: those of a SET, and of a successful answer.
  const size_t room = (size - vm::psHeaderBytes) / 2;
  if (type == vm::typeGetReq || (response && status != vm::statusOk) || keyLength > room) {
    if (keyLength > room) fields += " (the message holds " + std::to_string(room) + ")";
    return text + " key " + hex16(key) + " (" + fields + ")";
  }
  std::vector<unsigned> words;
  char piece[8];
  std::snprintf(piece, sizeof piece, "&%04x =", key);
  std::string psr = piece;
  for (size_t i = 0; i < keyLength; ++i) {
    words.push_back(word(packet, at + vm::psHeaderBytes + 2 * i));
    std::snprintf(piece, sizeof piece, " %04x", words.back());
    psr += piece;
  }
  return text + " " + psr + valueText(words) + hostInterfaceNote(key, words) + " (" + fields + ")";
}

std::string decodeHciCommand(const Bytes& p) {
  if (p.size() < vm::hciHeaderBytes || p[0] != vm::hciCommandPacket ||
      p[3] != p.size() - vm::hciHeaderBytes)
    return "not a whole HCI command packet (" + std::to_string(p.size()) + " bytes): " +
           hexBytes(p, 0);
  const unsigned opcode = word(p, 1);
  if (opcode == vm::opcodeVendor && p.size() > vm::hciHeaderBytes &&
      p[vm::hciHeaderBytes] == vm::bccmdDescriptor)
    return decodeBccmd(p, vm::hciHeaderBytes + 1);
  std::string text = std::string(opcodeName(opcode)) + " " + hex16(opcode);
  if (p.size() > vm::hciHeaderBytes) text += " parameters " + hexBytes(p, vm::hciHeaderBytes);
  return text;
}

std::string decodeHciEvent(const Bytes& p) {
  if (p.size() < 3 || p[0] != vm::hciEventPacket || p[2] != p.size() - 3)
    return "not a whole HCI event packet (" + std::to_string(p.size()) + " bytes): " +
           hexBytes(p, 0);
  const uint8_t code = p[1];
  if (code == vm::eventCommandComplete && p.size() >= 7) {
    const unsigned opcode = word(p, 4);
    return std::string("HCI Command Complete for ") + opcodeName(opcode) + " " + hex16(opcode) +
           ": status " + hex8(p[6]) + (p[6] == 0 ? " success" : " failure") + ", " +
           std::to_string(p[3]) + " command(s) allowed";
  }
  if (code == vm::eventCommandStatus && p.size() >= 7) {
    const unsigned opcode = word(p, 5);
    return std::string("HCI Command Status for ") + opcodeName(opcode) + " " + hex16(opcode) +
           ": status " + hex8(p[3]) + ", " + std::to_string(p[4]) + " command(s) allowed";
  }
  if (code == vm::eventVendor && p.size() >= 4 && p[3] == vm::bccmdDescriptor)
    return decodeBccmd(p, 4);
  return "HCI event " + hex8(code) + " parameters " + hexBytes(p, 3);
}

// "ioctl H1 3 ok": the request, its argument and the outcome.
std::string decodeSetUp(std::istringstream& words) {
  std::string request;
  std::string argument;
  words >> request >> argument;
  std::string result;
  std::getline(words, result);
  if (!result.empty() && result[0] == ' ') result.erase(0, 1);
  static const char* const order[] = {"H1", "H4", "H8", "H5"};
  std::string text = "BCSP set-up request " + request;
  for (size_t i = 0; i < 4; ++i)
    if (request == order[i]) text = "BCSP set-up request " + std::to_string(i + 1) + " of 4 (" + request + ")";
  if (argument != "-") text += " with int " + argument;
  return text + ": " + result;
}

std::string column(const std::string& node) {
  std::string text = node;
  if (text.size() < nodeColumn) text.resize(nodeColumn, ' ');
  return text;
}

}  // namespace

std::string decodeLine(const std::string& rawLine) {
  std::istringstream words(rawLine);
  std::string time;
  std::string direction;
  std::string node;
  if (!(words >> time >> direction >> node)) return rawLine;
  if (direction == "!") {
    std::string rest;
    std::getline(words, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    return time + " " + column(node) + " ! " + rest;
  }
  if (direction != ">" && direction != "<") return rawLine;
  std::string prefix = time + " " + column(node) + " " + direction + " ";
  std::string first;
  std::streampos start = words.tellg();
  if (words >> first && first == "ioctl") return prefix + decodeSetUp(words);
  words.clear();
  words.seekg(start);
  Bytes packet;
  std::string byte;
  while (words >> byte) {
    char* end = nullptr;
    unsigned long value = std::strtoul(byte.c_str(), &end, 16);
    if (byte.size() != 2 || *end != '\0' || value > 0xff) return rawLine;
    packet.push_back(static_cast<uint8_t>(value));
  }
  if (node == "bcspRel2") return prefix + decodeBccmd(packet, 0);
  return prefix + (direction == ">" ? decodeHciCommand(packet) : decodeHciEvent(packet));
}

std::string decodeLog(const std::string& rawLog) {
  std::istringstream lines(rawLog);
  std::string line;
  std::string out;
  while (std::getline(lines, line)) out += decodeLine(line) + "\n";
  return out;
}

}  // namespace wiretrace
}  // namespace sim
