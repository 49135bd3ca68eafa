// The virtual Bluetooth module: persistent store, firmware version, link
// selection, BCCMD PS-key handling, fault settings and the wire trace.
#include "sim/virtual_module.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "sim/sim.h"
#include "sim/wire_trace.h"

namespace sim {
namespace vmodule {
namespace {

struct ModuleState {
  bool started = false;
  std::string root;  // the sandbox the module powered up in
  dev_t rootDevice = 0;
  ino_t rootInode = 0;
  Store store;
  Link link = Link::serial;
  unsigned generation = 0;
  long requestsTaken = 0;  // since power-up, for module.silent_after
};
ModuleState state;

// ---- little helpers ------------------------------------------------------

uint16_t word16(const uint8_t* bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void putWord16(std::vector<uint8_t>* bytes, size_t offset, uint16_t value) {
  (*bytes)[offset] = static_cast<uint8_t>(value & 0xff);
  (*bytes)[offset + 1] = static_cast<uint8_t>(value >> 8);
}

bool readWholeFile(const std::string& path, std::string* content) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  content->clear();
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content->append(chunk, n);
  std::fclose(file);
  return true;
}

// Writes through a temporary file and a rename, so that a reader never sees
// a half-written file.
void writeWholeFile(const std::string& path, const std::string& content) {
  std::string temporary = path + ".new";
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "virtual module: cannot write %s: %s\n", temporary.c_str(),
                 std::strerror(errno));
    return;
  }
  bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  ok = (std::fclose(file) == 0) && ok;
  if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "virtual module: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    std::remove(temporary.c_str());
  }
}

std::vector<uint16_t> wordsFromText(const char* text) {
  std::vector<uint16_t> words;
  size_t length = std::strlen(text);
  for (size_t i = 0; i < length; i += 2) {
    unsigned low = static_cast<unsigned char>(text[i]);
    unsigned high = i + 1 < length ? static_cast<unsigned char>(text[i + 1]) : 0u;
    words.push_back(static_cast<uint16_t>(low | (high << 8)));
  }
  return words;
}

void setValueByte(std::vector<uint16_t>* words, size_t index, uint8_t value) {
  uint16_t& word = (*words)[index / 2];
  if (index % 2 == 0)
    word = static_cast<uint16_t>((word & 0xff00) | value);
  else
    word = static_cast<uint16_t>((word & 0x00ff) | (value << 8));
}

// module.fail_keys: a comma-separated list of key ids in hex.
bool keyFails(uint16_t key) {
  for (const std::string& entry : listEntries(setting("module.fail_keys", ""))) {
    char* end = nullptr;
    unsigned long id = std::strtoul(entry.c_str(), &end, 16);
    if (end != entry.c_str() && id == key) return true;
  }
  return false;
}

// ---- persistent store and firmware version --------------------------------

void saveStore() { writeWholeFile(boardPath("module.psr"), formatStore(state.store)); }

// Reads board/module.psr as the store; writes the default store there when
// the file is missing (on first power-up, or when someone removed it).
void loadStore(bool firstPowerUp) {
  std::string text;
  if (readWholeFile(boardPath("module.psr"), &text)) {
    std::vector<std::string> problems;
    state.store = parseStore(text, &problems);
    for (const std::string& problem : problems)
      std::fprintf(stderr, "virtual module: module.psr:%s\n", problem.c_str());
    return;
  }
  if (firstPowerUp) state.store = defaultStore();
  saveStore();
}

std::string versionInStore() {
  auto found = state.store.find(versionKey);
  if (found == state.store.end() ||
      found->second.size() * 2 < firmwareVersionOffset + firmwareVersionLength)
    return "";
  std::string version;
  for (size_t i = 0; i < firmwareVersionLength; ++i)
    version += static_cast<char>(valueByte(found->second, firmwareVersionOffset + i));
  return version;
}

// board/firmware.txt holds the running firmware's version (the download
// tool writes it). Key 0x02a5 is made to agree with it; when the file is
// missing it is created from the key, or with the default version.
void syncFirmwareVersion() {
  std::string path = boardPath("firmware.txt");
  std::string text;
  if (!readWholeFile(path, &text)) {
    std::string version = versionInStore();
    if (version.empty()) version = defaultFirmwareVersion;
    writeWholeFile(path, version + "\n");
    return;
  }
  std::string version = text.substr(0, text.find_first_of("\r\n"));
  if (version.empty()) return;
  version.resize(firmwareVersionLength, ' ');
  std::string stored = versionInStore();
  if (stored.empty() || stored == version) return;
  std::vector<uint16_t>& words = state.store[versionKey];
  for (size_t i = 0; i < firmwareVersionLength; ++i)
    setValueByte(&words, firmwareVersionOffset + i, static_cast<uint8_t>(version[i]));
  saveStore();
}

// With module.firmware_in_place a download that broke off leaves
// board/firmware.txt with the line "incomplete" after the version: the
// module then runs its loader, which answers on neither node, until a
// download completes.
bool firmwareIncomplete() {
  std::string text;
  if (!readWholeFile(boardPath("firmware.txt"), &text)) return false;
  size_t second = text.find('\n');
  return second != std::string::npos && text.compare(second + 1, 10, "incomplete") == 0;
}

// The link the module answers on after a start: none in its loader.
Link startingLink(Link chosen) { return firmwareIncomplete() ? Link::none : chosen; }

bool sameSandbox() {
  struct stat st;
  if (::stat(root(), &st) != 0) return state.root == root();
  return state.root == root() && st.st_dev == state.rootDevice && st.st_ino == state.rootInode;
}

void appendTo(const char* name, const std::string& line) {
  FILE* file = std::fopen(boardPath(name).c_str(), "a");
  if (file == nullptr) return;
  std::fputs(line.c_str(), file);
  std::fputc('\n', file);
  std::fclose(file);
}

// One line (without its line end) to the raw and the decoded trace.
void appendLine(const std::string& line) {
  if (!settingOn("module.wire_log")) return;
  appendTo("wire.log", line);
  appendTo("wire.txt", wiretrace::decodeLine(line));
}

std::string timeOfDay() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm parts;
  gmtime_r(&ts.tv_sec, &parts);
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min,
                parts.tm_sec, static_cast<int>(ts.tv_nsec / 1000000L) % 1000);
  return text;
}

}  // namespace

// ---- power-up and restart -------------------------------------------------

void ensureStarted() {
  if (state.started && sameSandbox()) return;
  state = ModuleState{};
  state.started = true;
  state.root = root();
  struct stat st;
  if (::stat(root(), &st) == 0) {
    state.rootDevice = st.st_dev;
    state.rootInode = st.st_ino;
  }
  loadStore(true);
  syncFirmwareVersion();
  std::string link = setting("module.link", "");
  if (link == "serial")
    state.link = Link::serial;
  else if (link == "bcsp")
    state.link = Link::bcsp;
  else
    state.link = linkFromStore(state.store);
  state.link = startingLink(state.link);
}

void restart() {
  ensureStarted();
  if (settingOn("module.reset_ignored")) {
    traceNote("etxhwif reset ignored, link stays " + std::string(linkName(state.link)));
    return;
  }
  ++state.generation;
  loadStore(false);
  syncFirmwareVersion();
  state.link = startingLink(linkFromStore(state.store));
  traceNote("etxhwif reset, module restarts " +
            std::string(firmwareIncomplete() ? "in its loader (firmware incomplete)"
                                             : "on link " + std::string(linkName(state.link))));
}

unsigned generation() { return state.generation; }
Link currentLink() { return state.link; }
const Store& store() { return state.store; }

const char* statusName(uint16_t status) {
  switch (status) {
    case statusOk: return "OK";
    case statusNoSuchVarid: return "NO_SUCH_VARID";
    case statusTooBig: return "TOO_BIG";
    case statusNoValue: return "NO_VALUE";
    case statusBadRequest: return "BAD_REQUEST";
    case statusFailed: return "FAILED";
    default: return "UNKNOWN";
  }
}

const char* linkName(Link link) {
  switch (link) {
    case Link::serial: return "serial";
    case Link::bcsp: return "bcsp";
    case Link::none: break;
  }
  return "none";
}

// Key 0x01f9 picks the host interface: 0x0001 BCSP, 0x0003 serial HCI. A
// store without the key runs the built-in serial HCI interface; any other
// value selects an interface the board does not wire up.
Link linkFromStore(const Store& keys) {
  auto found = keys.find(hostInterfaceKey);
  if (found == keys.end()) return Link::serial;
  if (found->second.empty()) return Link::none;
  if (found->second[0] == hostInterfaceBcsp) return Link::bcsp;
  if (found->second[0] == hostInterfaceSerial) return Link::serial;
  return Link::none;
}

bool takesRequest(Link node) {
  if (node != state.link) return false;
  if (settingOn("module.silent")) return false;
  long limit = settingInt("module.silent_after", -1);
  if (limit >= 0 && state.requestsTaken >= limit) return false;
  ++state.requestsTaken;
  // A request lost on the line: taken and counted, never answered.
  return state.requestsTaken != settingInt("module.drop_request", 0);
}

bool answersTwice() { return state.requestsTaken == settingInt("module.duplicate_answer", 0); }

double answerDelay() {
  long ms = settingInt("module.delay_ms", 0);
  return ms > 0 ? scaled(static_cast<double>(ms) / 1000.0) : 0.0;
}

// ---- BCCMD ----------------------------------------------------------------

bool handleBccmd(const uint8_t* message, size_t size, std::vector<uint8_t>* response) {
  if (size < bccmdHeaderBytes) return false;
  size_t length = 2u * word16(message, 2);
  if (length < bccmdHeaderBytes || length > size || length > maxMessageBytes) return false;

  response->assign(message, message + length);
  putWord16(response, 0, typeGetResp);
  auto answer = [response](uint16_t status) {
    putWord16(response, 8, status);
    return true;
  };
  uint16_t type = word16(message, 0);
  if (word16(message, 6) != varidPs) return answer(statusNoSuchVarid);
  if (length < psHeaderBytes) return answer(statusBadRequest);

  const uint16_t key = word16(message, 10);
  const size_t room = (length - psHeaderBytes) / 2;  // value words the message holds
  if (type != typeGetReq && type != typeSetReq) return answer(statusBadRequest);
  if (keyFails(key)) return answer(statusFailed);

  if (type == typeGetReq) {
    auto found = state.store.find(key);
    if (found == state.store.end()) return answer(statusNoValue);
    const std::vector<uint16_t>& words = found->second;
    if (words.size() > room) return answer(statusTooBig);
    putWord16(response, 12, static_cast<uint16_t>(words.size()));
    for (size_t i = 0; i < room; ++i)
      putWord16(response, psHeaderBytes + 2 * i, i < words.size() ? words[i] : 0);
    return answer(statusOk);
  }

  const size_t count = word16(message, 12);
  if (count > room || count > maxValueWords) return answer(statusTooBig);
  std::vector<uint16_t> words(count);
  for (size_t i = 0; i < count; ++i) words[i] = word16(message, psHeaderBytes + 2 * i);
  state.store[key] = words;
  saveStore();
  return answer(statusOk);
}

// ---- PSR text ---------------------------------------------------------------

std::string formatStore(const Store& keys) {
  std::string text;
  char piece[16];
  for (const auto& entry : keys) {
    std::snprintf(piece, sizeof piece, "&%04x =", entry.first);
    text += piece;
    for (uint16_t word : entry.second) {
      std::snprintf(piece, sizeof piece, " %04x", word);
      text += piece;
    }
    text += "\r\n";
  }
  return text;
}

namespace {

// One key line: "&" and the key id in hex, "=", then the words in hex
// separated by blanks; "//" starts a comment. Returns false for a line that
// is not one.
bool parseKeyLine(const std::string& line, uint16_t* key, std::vector<uint16_t>* words) {
  size_t pos = 1;
  auto hexNumber = [&line, &pos](unsigned* value) {
    size_t start = pos;
    *value = 0;
    while (pos < line.size() && std::isxdigit(static_cast<unsigned char>(line[pos])) &&
           pos - start < 4) {
      char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[pos])));
      *value = *value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
      ++pos;
    }
    return pos > start;
  };
  auto skipBlanks = [&line, &pos]() {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  };
  unsigned value = 0;
  if (!hexNumber(&value)) return false;
  *key = static_cast<uint16_t>(value);
  skipBlanks();
  if (pos >= line.size() || line[pos] != '=') return false;
  ++pos;
  words->clear();
  for (;;) {
    skipBlanks();
    if (pos >= line.size()) return true;
    if (!hexNumber(&value)) return false;
    if (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') return false;
    if (words->size() == maxValueWords) return false;
    words->push_back(static_cast<uint16_t>(value));
  }
}

}  // namespace

Store parseStore(const std::string& text, std::vector<std::string>* problems) {
  Store keys;
  size_t start = 0;
  for (size_t number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t comment = line.find("//");
    if (comment != std::string::npos) line.erase(comment);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    if (line.empty()) continue;
    const std::string where = std::to_string(number) + ": ";
    uint16_t key = 0;
    std::vector<uint16_t> words;
    if (line[0] != '&') {
      if (problems != nullptr)
        problems->push_back(where + "not a key line (\"&kkkk = wwww ...\"), skipped");
    } else if (!parseKeyLine(line, &key, &words)) {
      if (problems != nullptr)
        problems->push_back(where + "bad key line (a key id and up to " +
                            std::to_string(maxValueWords) + " words of 1 to 4 hex digits), skipped");
    } else {
      if (keys.count(key) != 0 && problems != nullptr) {
        char id[8];
        std::snprintf(id, sizeof id, "&%04x", key);
        problems->push_back(where + "key " + id + " given again; this line counts");
      }
      keys[key] = words;
    }
  }
  return keys;
}

int valueByte(const std::vector<uint16_t>& words, size_t index) {
  if (index / 2 >= words.size()) return -1;
  uint16_t word = words[index / 2];
  return index % 2 == 0 ? (word & 0xff) : (word >> 8);
}

// A module as it leaves the factory: the serial HCI host interface and a
// version key whose text reads "fwrel:stable 2.13 K1" (bytes 6..11 the
// release name, 13..16 the firmware version, 18..19 the configuration's
// short mark), and configuration version "0107".
Store defaultStore() {
  std::string versionText = "fwrel:stable ";
  versionText += defaultFirmwareVersion;
  versionText += " K1    ";
  return Store{
      {0x0001, {0x00a2, 0x5b1c, 0x0072, 0x0010}},
      {0x0002, {0x0000}},
      {0x0003, {0x0005}},
      {0x0011, {0x0019}},
      {0x0017, {0xfff0}},
      {0x001d, {0x0004, 0x0002}},
      {0x0021, {0x0020}},
      {0x0024, {0x0040}},
      {0x0025, {0x0400}},
      {0x0032, {0x0001}},
      {0x0041, {0x0003}},
      {0x0053, {0x0001}},
      {0x0108, wordsFromText("skq-lap ")},
      {0x0191, {0x1002, 0x00a8, 0x00fa, 0x0014, 0x0004, 0x0000, 0x0004, 0x001e, 0x0064, 0x000a}},
      {0x01a5, {0x0001}},
      {0x01a6, {0x0001}},
      {0x01be, {0x01d8}},
      {0x01bf, {0x0802}},
      {0x01c0, {0x0000}},
      {0x01f9, {hostInterfaceSerial}},
      {0x0201, {0x0000, 0x0000}},
      {0x0246, {0x0010}},
      {0x025c, {0x0001}},
      {0x02a4, wordsFromText("0107dflt")},
      {versionKey, wordsFromText(versionText.c_str())},
      {0x02ac, {0x0000}},
      {0x0350, {0x0064}},
      {0x03cd, {0x0002}},
  };
}

// ---- BCSP drivers -------------------------------------------------------------

std::vector<std::string> loadedDrivers() {
  std::vector<std::string> names;
  std::string text;
  if (!readWholeFile(boardPath("drivers.txt"), &text)) return names;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
    if (!name.empty()) names.push_back(name);
    start = end + 1;
  }
  return names;
}

bool bcspDriversLoaded() {
  std::vector<std::string> names = loadedDrivers();
  std::set<std::string> loaded(names.begin(), names.end());
  for (const char* driver : bcspDrivers)
    if (loaded.count(driver) == 0) return false;
  return true;
}

// ---- wire trace -----------------------------------------------------------------

void traceWire(char direction, const char* node, const uint8_t* bytes, size_t size) {
  std::string line = timeOfDay();
  line += ' ';
  line += direction;
  line += ' ';
  line += node;
  char hex[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
    line += hex;
  }
  appendLine(line);
}

void traceNote(const std::string& text) { appendLine(timeOfDay() + " ! " + text); }

void traceSetUp(const char* node, unsigned long request, const std::string& argument,
                const std::string& result) {
  char name[16];
  std::snprintf(name, sizeof name, "%c%u", static_cast<char>(_IOC_TYPE(request)),
                static_cast<unsigned>(_IOC_NR(request)));
  appendLine(timeOfDay() + " > " + node + " ioctl " + name + " " + argument + " " + result);
}

}  // namespace vmodule
}  // namespace sim
