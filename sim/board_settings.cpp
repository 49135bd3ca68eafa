// The board settings of the simulated board: the one table of every setting
// (the devices read them, update_sim checks a settings file against it, and
// docs/simulated_board.md shows it), and the check of a settings file.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/power_cut.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr BoardSetting flag(const char* key, const char* defaultText, const char* meaning) {
  return {key, SettingKind::boolean, 0, 0, nullptr, defaultText, meaning};
}
constexpr BoardSetting number(const char* key, long min, long max, const char* defaultText,
                             const char* meaning) {
  return {key, SettingKind::number, min, max, nullptr, defaultText, meaning};
}
constexpr BoardSetting choice(const char* key, const char* words, const char* defaultText,
                             const char* meaning) {
  return {key, SettingKind::choice, 0, 0, words, defaultText, meaning};
}
constexpr BoardSetting seconds(const char* key, const char* defaultText, const char* meaning) {
  return {key, SettingKind::seconds, 0, 0, nullptr, defaultText, meaning};
}
constexpr BoardSetting keyList(const char* key, const char* defaultText, const char* meaning) {
  return {key, SettingKind::keyList, 0, 0, nullptr, defaultText, meaning};
}
constexpr BoardSetting cutPoint(const char* key, const char* defaultText, const char* meaning) {
  return {key, SettingKind::cutPoint, 0, 0, nullptr, defaultText, meaning};
}
constexpr BoardSetting pathList(const char* key, const char* defaultText, const char* meaning) {
  return {key, SettingKind::pathList, 0, 0, nullptr, defaultText, meaning};
}

// The words a boolean setting takes; dfu_sim reads the same words.
const char* const onWords[] = {"1", "yes", "on", "true"};
const char* const offWords[] = {"0", "no", "off", "false"};

}  // namespace

// Every board setting, one row each. Adding a setting is adding a row here
// (and the same row in docs/simulated_board.md, which a test compares).
const BoardSetting boardSettings[] = {
    choice("module.link", "serial|bcsp", "from the store",
           "the link the module answers on when it powers up, before its first reset (see \"Link "
           "selection\")"),
    flag("module.silent", "0", "the module never answers, on either node, and stores nothing"),
    number("module.silent_after", 0, LONG_MAX, "none",
           "the module takes this many requests (HCI commands and BCCMD messages, counted from "
           "power-up across restarts), then falls silent"),
    number("module.drop_request", 1, LONG_MAX, "none",
           "this request (counted as for module.silent_after) is lost on the line: the module "
           "never answers it and takes the ones after it as usual"),
    number("module.duplicate_answer", 1, LONG_MAX, "none",
           "the answer to this request (counted as for module.silent_after) goes out twice: a "
           "stray second answer that no request asked for"),
    keyList("module.fail_keys", "none",
            "GET and SET of these keys are answered with status 0x0008 (FAILED); a SET of them "
            "stores nothing"),
    flag("module.reset_ignored", "0",
         "the reset request of /dev/etxhwif succeeds but does not restart the module"),
    number("module.delay_ms", 0, LONG_MAX, "0",
           "every answer becomes readable this many milliseconds of daemon time after its "
           "request"),
    flag("module.vendor_complete", "0",
         "a BCCMD request on the serial node is also answered with a Command Complete event "
         "for opcode 0xFC00, queued before the vendor event"),
    flag("module.firmware_in_place", "0",
         "the module overwrites its firmware in place: a download broken off after its first "
         "block (failed, its tool killed, the power cut) leaves board/firmware.txt marked "
         "incomplete and the module in its loader, which answers on neither node, until a "
         "download completes"),
    flag("module.wire_log", "1", "the wire traces board/wire.log and board/wire.txt are written"),
    number("bcsp.refuse_ioctl", 1, 4, "none",
           "this set-up request of /dev/bcspRel2 (in their order) fails with EIO on every open"),
    pathList("fs.full", "none",
             "these paths lie on a full file system: the daemon's opens that create, truncate or "
             "append to them fail with ENOSPC; the status file /tmp/update.log is never covered, "
             "so that a run can still be read; shell commands and dfu_sim are not affected"),
    flag("fs.modes_enforced", "0",
         "the daemon's opens that write to an existing file whose mode gives its owner no "
         "write permission fail with EACCES, as for an ordinary user, also when update_sim "
         "runs as root; the status file /tmp/update.log is never covered"),
    choice("dfu.result", "ok|fail|kill", "from the firmware file",
           "the outcome of a download by dfu_sim (see \"dfu_sim\")"),
    seconds("dfu.delay", "from the firmware file",
            "real seconds dfu_sim waits between its progress steps"),
    number("flash.size", 0, LONG_MAX, "0x200000",
           "size in bytes of a newly created board/flash0.bin (an existing one keeps its size)"),
    number("flash.regions", 0, LONG_MAX, "1",
           "region count that FLASH_GET_INFO reports and FLASH_GET_REGIONS fills"),
    flag("flash.missing", "0", "/dev/flash0 is absent: its open fails with ENOENT"),
    flag("flash.info_fails", "0", "FLASH_GET_INFO is refused with EIO"),
    flag("flash.regions_fails", "0", "FLASH_GET_REGIONS is refused with EIO"),
    number("flash.erase_fails_at", 0, LONG_MAX, "none",
           "an erase whose range contains this offset fails with EIO and erases nothing"),
    number("flash.write_fails_at", 0, LONG_MAX, "none",
           "a write whose range covers this offset fails with EIO and stores nothing"),
    flag("flash.short_write", "0",
         "every write stores only the first half of its bytes and returns that count"),
    flag("led.missing", "0", "/dev/led is absent: its open fails with ENOENT"),
    flag("led.refuse_period", "0", "LED_SET_PERIOD is refused with EIO"),
    cutPoint("power.cut", "none",
             "the power fails at this event of an update, counted from the start request: "
             "`module_packet:N` the Nth packet written to the module (lost), `flash_write:N`, "
             "`flash_erase:N` the Nth write or erase of /dev/flash0 (nothing of it done; with "
             "`:torn` its first half done), `status_write:N` the Nth write to /tmp/update.log "
             "(`:torn` likewise), `download:P` the download at P percent, `time:S` S seconds "
             "of daemon time; spent once board/power_cut.txt records a cut (see \"Power cut\")"),
    {nullptr, SettingKind::boolean, 0, 0, nullptr, nullptr, nullptr},
};

const BoardSetting* findSetting(const std::string& key) {
  for (const BoardSetting* row = boardSettings; row->key != nullptr; ++row)
    if (key == row->key) return row;
  return nullptr;
}

int readBoolean(const std::string& text) {
  for (const char* word : onWords)
    if (text == word) return 1;
  for (const char* word : offWords)
    if (text == word) return 0;
  return -1;
}

std::vector<std::string> listEntries(const std::string& text) {
  std::vector<std::string> entries;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string entry = text.substr(start, comma == std::string::npos ? comma : comma - start);
    size_t begin = entry.find_first_not_of(" \t");
    entries.push_back(begin == std::string::npos
                          ? ""
                          : entry.substr(begin, entry.find_last_not_of(" \t") + 1 - begin));
    if (comma == std::string::npos) return entries;
    start = comma + 1;
  }
}

namespace {

std::string trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool readNumber(const std::string& text, long* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

bool readSeconds(const std::string& text) {
  size_t dots = 0;
  size_t digits = 0;
  for (char c : text) {
    if (c == '.')
      ++dots;
    else if (c >= '0' && c <= '9')
      ++digits;
    else
      return false;
  }
  return digits > 0 && dots <= 1;
}

// Whether each entry of a list passes the test.
template <typename Test>
bool eachEntry(const std::string& text, Test test) {
  for (const std::string& entry : listEntries(text))
    if (!test(entry)) return false;
  return true;
}

bool readKeyList(const std::string& text) {
  return eachEntry(text, [](const std::string& entry) {
    char* end = nullptr;
    unsigned long key = std::strtoul(entry.c_str(), &end, 16);
    return !entry.empty() && entry[0] != '-' && *end == '\0' && key <= 0xffff;
  });
}

bool readPathList(const std::string& text) {
  return eachEntry(text, [](const std::string& entry) { return !entry.empty() && entry[0] == '/'; });
}

std::string listWords(const char* words, const char* separator) {
  std::string text(words);
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    out += text.substr(start, bar == std::string::npos ? bar : bar - start);
    if (bar == std::string::npos) return out;
    out += separator;
    start = bar + 1;
  }
}

std::string booleanWords() {
  std::string out;
  for (size_t i = 0; i < sizeof onWords / sizeof onWords[0]; ++i)
    out += std::string(i == 0 ? "" : ", ") + onWords[i] + ", " + offWords[i];
  return out;
}

std::string range(const BoardSetting& row) {
  if (row.max == LONG_MAX) return "a number from " + std::to_string(row.min);
  return "a number from " + std::to_string(row.min) + " to " + std::to_string(row.max);
}

// What a setting's value may be, for messages.
std::string allowed(const BoardSetting& row) {
  switch (row.kind) {
    case SettingKind::boolean: return booleanWords();
    case SettingKind::number: return range(row) + " (decimal, or hexadecimal with 0x)";
    case SettingKind::choice: return listWords(row.choices, ", ");
    case SettingKind::seconds: return "seconds as a plain decimal number, e.g. 0.3";
    case SettingKind::keyList: return "key ids in hexadecimal separated by commas, e.g. 0x0003,0x0191";
    case SettingKind::pathList: return "absolute paths separated by commas, e.g. /tmp/,/tmp/image1.gz";
    case SettingKind::cutPoint:
      return "module_packet:N, flash_write:N, flash_erase:N, status_write:N (N from 1; the last "
             "three also with :torn), download:P (P from 0 to 100), time:S (seconds)";
  }
  return "";
}

// The problem with a value, or "" when the setting takes it.
std::string checkValue(const BoardSetting& row, const std::string& value) {
  bool ok = false;
  switch (row.kind) {
    case SettingKind::boolean:
      ok = readBoolean(value) >= 0;
      break;
    case SettingKind::number: {
      long number = 0;
      if (!readNumber(value, &number)) break;
      if (number < row.min || number > row.max)
        return std::string(row.key) + " = " + value + " is out of range; allowed: " + range(row);
      ok = true;
      break;
    }
    case SettingKind::choice:
      ok = ("|" + std::string(row.choices) + "|").find("|" + value + "|") != std::string::npos &&
           !value.empty();
      break;
    case SettingKind::seconds:
      ok = readSeconds(value);
      break;
    case SettingKind::keyList:
      ok = readKeyList(value);
      break;
    case SettingKind::pathList:
      ok = readPathList(value);
      break;
    case SettingKind::cutPoint: {
      power::CutPoint point;
      ok = power::readCutPoint(value, &point);
      break;
    }
  }
  if (ok) return "";
  return std::string(row.key) + " = \"" + value + "\" cannot be read; allowed: " + allowed(row);
}

// For an unknown key: the settings of its group, or the groups.
std::string knownNear(const std::string& key) {
  std::string group = key.substr(0, key.find('.') + 1);
  std::string inGroup;
  std::string groups;
  for (const BoardSetting* row = boardSettings; row->key != nullptr; ++row) {
    std::string name(row->key);
    if (!group.empty() && name.compare(0, group.size(), group) == 0)
      inGroup += (inGroup.empty() ? "" : ", ") + name;
    std::string own = name.substr(0, name.find('.'));
    if (groups.find(own + ".*") == std::string::npos) groups += (groups.empty() ? "" : ", ") + own + ".*";
  }
  if (!inGroup.empty()) return "the " + group.substr(0, group.size() - 1) + " settings are " + inGroup;
  return "the settings are " + groups + " (docs/simulated_board.md lists them)";
}

}  // namespace

std::vector<std::string> checkSettingsFile(const std::string& path) {
  std::vector<std::string> problems;
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    if (errno != ENOENT) problems.push_back(path + ": " + std::strerror(errno));
    return problems;
  }
  std::map<std::string, int> seen;
  char line[512];
  for (int number = 1; std::fgets(line, sizeof line, file) != nullptr; ++number) {
    std::string text(line);
    size_t hash = text.find('#');
    if (hash != std::string::npos) text.erase(hash);
    text = trim(text);
    if (text.empty()) continue;
    std::string where = path + ":" + std::to_string(number) + ": ";
    size_t equals = text.find('=');
    if (equals == std::string::npos) {
      problems.push_back(where + "\"" + text + "\" is not a setting; write key = value");
      continue;
    }
    std::string key = trim(text.substr(0, equals));
    std::string value = trim(text.substr(equals + 1));
    const BoardSetting* row = findSetting(key);
    if (row == nullptr) {
      problems.push_back(where + "unknown setting \"" + key + "\"; " + knownNear(key));
      continue;
    }
    if (seen.count(key) != 0) {
      problems.push_back(where + key + " is set again (first on line " +
                         std::to_string(seen[key]) + ")");
      continue;
    }
    seen[key] = number;
    std::string problem = checkValue(*row, value);
    if (!problem.empty()) problems.push_back(where + problem);
  }
  std::fclose(file);
  return problems;
}

std::string settingsTable() {
  std::string table = "| Setting | Values | Default | Effect |\n|---|---|---|---|\n";
  for (const BoardSetting* row = boardSettings; row->key != nullptr; ++row) {
    std::string values;
    switch (row->kind) {
      case SettingKind::boolean: values = "boolean"; break;
      case SettingKind::number:
        values = row->max == LONG_MAX ? std::to_string(row->min) + " or more"
                                       : std::to_string(row->min) + " to " + std::to_string(row->max);
        break;
      case SettingKind::choice: values = "`" + listWords(row->choices, "`, `") + "`"; break;
      case SettingKind::seconds: values = "seconds"; break;
      case SettingKind::keyList: values = "key ids"; break;
      case SettingKind::pathList: values = "paths"; break;
      case SettingKind::cutPoint: values = "an event"; break;
    }
    table += "| `" + std::string(row->key) + "` | " + values + " | " + row->defaultText + " | " +
             row->meaning + " |\n";
  }
  return table;
}

}  // namespace sim
