// The package check: what the daemon does with each file of the package,
// and what would make a planned step fail or be skipped on the device.
#include "update_image/package_check.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "pskey_files/psr_text.h"
#include "update_image/daemon_facts.h"
#include "update_image/file_io.h"
#include "update_image/tar_gzip.h"

namespace updimage {
namespace {

using upd::psr::hexValue;
using upd::psr::isLineEnd;

const std::string todoName = packageFileName(upd::todoPath);
const std::string versionName = packageFileName(upd::versionPath);
const std::string keyFileName = packageFileName(upd::newPSKeyPath);
// The firmware step's files besides the BCSP drivers.
const std::string dfuName = upd::dfuProgramName;
const std::string firmwareName = packageFileName(upd::dfuFirmwarePath);

// A line of a text file as the daemon reads it: the text and its line end.
struct Line {
  size_t number;
  std::string text;  // without the line end
  std::string end;   // "\r\n", "\n" or "" (the last line without one)
};

std::vector<Line> splitLines(const std::string& content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t feed = content.find('\n', start);
    size_t stop = feed == std::string::npos ? content.size() : feed;
    Line line{lines.size() + 1, content.substr(start, stop - start), ""};
    if (feed != std::string::npos) line.end = "\n";
    if (!line.text.empty() && line.text.back() == '\r' && !line.end.empty()) {
      line.text.pop_back();
      line.end = "\r\n";
    }
    lines.push_back(line);
    start = stop + 1;
  }
  return lines;
}

bool isBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r") == std::string::npos;
}

// A line longer than the daemon's read buffer reaches it in pieces.
void checkLineLength(const std::string& file, const Line& line, Findings* findings) {
  if (line.text.size() + line.end.size() > daemonLineLength)
    addFinding(findings, Severity::Error, file, line.number,
               "line of " + std::to_string(line.text.size()) +
                   " characters; the daemon reads at most " + std::to_string(daemonLineLength) +
                   " at a time and takes the rest for further lines");
}

const StepKey& stepOf(uint32_t number) {
  for (const StepKey& step : stepKeys)
    if (step.number == number) return step;
  return *stepKeys.begin();  // every number in a plan comes from the table
}
const char* stepKeyOf(uint32_t number) { return stepOf(number).key; }
uint32_t partOf(uint32_t number) { return stepOf(number).partKind; }

// Letters that differ between two words (for "did you mean").
size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string unknownStepMessage(const std::string& text) {
  std::string word = text.substr(0, text.find_first_of(" \t"));
  std::string message = "unknown step \"" + word + "\"; the daemon skips the line";
  for (const StepKey& step : stepKeys)
    if (editDistance(word, step.key) <= 3) return message + " (did you mean " + step.key + "?)";
  return message;
}

// The plan as the daemon reads it: comment lines begin with "#", a step line
// begins with a step key, anything else is skipped without a word.
void readPlan(const PackageEntry& todo, PackageReport* report) {
  Findings* findings = &report->findings;
  for (const Line& line : splitLines(todo.content)) {
    checkLineLength(todo.name, line, findings);
    if (line.text.empty() || line.text[0] == '#' || isBlank(line.text)) continue;
    const StepKey* match = nullptr;
    for (const StepKey& step : stepKeys)
      if (line.text.compare(0, std::strlen(step.key), step.key) == 0) {
        match = &step;
        break;
      }
    if (match == nullptr) {
      std::string trimmed = line.text.substr(line.text.find_first_not_of(" \t"));
      bool indentedKey = false;
      for (const StepKey& step : stepKeys)
        indentedKey |= trimmed.compare(0, std::strlen(step.key), step.key) == 0;
      addFinding(findings, Severity::Error, todo.name, line.number,
                 indentedKey ? "blanks before the step key; the daemon does not recognise it "
                               "and skips the line"
                             : unknownStepMessage(line.text));
      continue;
    }
    const size_t keyLength = std::strlen(match->key);
    if (line.text.size() > keyLength && line.text[keyLength] != ' ' && line.text[keyLength] != '\t')
      addFinding(findings, Severity::Warning, todo.name, line.number,
                 "\"" + line.text.substr(0, line.text.find_first_of(" \t")) +
                     "\" is taken as step " + match->key +
                     "; the daemon ignores what follows the key");
    if (report->plan.size() == planMaxSteps) {
      addFinding(findings, Severity::Error, todo.name, line.number,
                 "step " + std::to_string(planMaxSteps + 1) + ": the daemon takes at most " +
                     std::to_string(planMaxSteps) + " steps and drops the rest");
      continue;
    }
    report->plan.push_back({line.number, match->number, match->key});
  }
  if (report->plan.empty())
    addFinding(findings, Severity::Warning, todo.name, 0,
               "the plan names no step; the update does nothing");
}

// The version values of VERSION: the first line that begins with a key, the
// key, one separator character, the value and the line feed.
void readVersions(const PackageEntry& version, bool checked, PackageReport* report) {
  const std::vector<Line> lines = splitLines(version.content);
  for (const char* key : versionKeys) {
    const size_t keyLength = std::strlen(key);
    auto line = std::find_if(lines.begin(), lines.end(),
                             [&](const Line& l) { return l.text.compare(0, keyLength, key) == 0; });
    const bool software = std::strcmp(key, softwareVersionKey) == 0;
    if (line == lines.end()) {
      if (software && checked)
        addFinding(&report->findings, Severity::Error, version.name, 0,
                   std::string("no ") + key + " line; " + stepKeyOf(upd::CHECK_VERSIONS) +
                       " cannot tell the new software version and rewrites the software");
      continue;
    }
    std::string value = line->text.size() > keyLength ? line->text.substr(keyLength + 1) : "";
    report->versions.push_back({key, value});
    if (!software || !checked) continue;
    if (value.empty())
      addFinding(&report->findings, Severity::Error, version.name, line->number,
                 std::string(key) + " has no value");
    else if (line->end == "\r\n")
      addFinding(&report->findings, Severity::Warning, version.name, line->number,
                 "line ends with CR LF; the CR becomes part of the version, which then never "
                 "equals the installed one");
  }
}

// Why a key line (comments cut) would be refused, as the daemon's
// positional parser reads it: "&", four hex digits, two columns not
// examined, then a separator and four hex digits per word; "" when it is good.
std::string keyLineProblem(const std::string& text) {
  for (size_t i = 1; i <= 4; ++i)
    if (i >= text.size() || hexValue(text[i]) < 0) return "the key id is not four hex digits";
  if (text.size() <= 7) return "";
  size_t words = 0;
  for (size_t column = 7;; column += 5) {
    if (text.find_first_not_of(" \t", column) == std::string::npos) return "";
    if (words == psKeyMaxWords)
      return "more than " + std::to_string(psKeyMaxWords) + " words; a SET request holds at most " +
             std::to_string(psKeyMaxWords);
    for (size_t i = column + 1; i <= column + 4; ++i)
      if (i >= text.size() || hexValue(text[i]) < 0)
        return "word " + std::to_string(words + 1) + " is not four hex digits";
    ++words;
  }
}

// The words of the first line that begins with prefix, decoded as the
// version check decodes them; -1 when no line has the key.
int keyWordCount(const std::vector<Line>& lines, const std::string& prefix) {
  for (const Line& line : lines) {
    if (line.text.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = line.text.substr(prefix.size());
    int words = 0;
    for (size_t offset = 0; offset + 4 <= rest.size(); offset += 5) {
      if (offset > 0 && isLineEnd(rest[offset - 1])) break;
      bool hex = true;
      for (size_t i = offset; i < offset + 4; ++i) hex &= hexValue(rest[i]) >= 0;
      if (!hex) break;
      ++words;
    }
    return words;
  }
  return -1;
}

// The key id of a line as the comparison reads it once the comment is cut:
// "&" and four hex digits; -1 for any other line, which it passes over.
int comparedKey(const std::string& text) {
  if (text.size() < 5 || text[0] != '&') return -1;
  int key = 0;
  for (size_t i = 1; i <= 4; ++i) {
    const int digit = hexValue(text[i]);
    if (digit < 0) return -1;
    key = key << 4 | digit;
  }
  return key;
}

// A key id (0 to 0xffff) as "&" and four hex digits.
std::string keyText(int key) {
  char text[16];
  std::snprintf(text, sizeof text, "&%04x", static_cast<unsigned>(key) & 0xffffu);
  return text;
}

// The key file: every line, once its "//" comment is cut, is a key line or
// blank; lines end with CR LF like the module's dump, or the comparison
// finds the key changed on every update. The comparison walks the file and
// the dump side by side and stops, failing its step, at a key that is not
// above the one before it; a plan that only writes all keys takes any order.
void checkKeyFile(const PackageEntry& keys, bool compared, Findings* findings) {
  size_t keyLines = 0;
  int previousKey = -1;
  size_t previousLine = 0;
  for (const Line& line : splitLines(keys.content)) {
    checkLineLength(keys.name, line, findings);
    if (line.text.compare(0, 2, "//") == 0) continue;
    const std::string text = line.text.substr(0, line.text.find("//"));
    if (isBlank(text)) continue;
    if (const int key = comparedKey(text); key >= 0) {
      if (key <= previousKey)
        addFinding(findings, compared ? Severity::Error : Severity::Warning, keys.name, line.number,
                   "key " + keyText(key) + " is not above " + keyText(previousKey) + " (line " +
                       std::to_string(previousLine) + ")" +
                       (compared ? "; " + std::string(stepKeyOf(upd::BT_MOD_SET_COMP)) +
                                       " needs ascending keys and fails here"
                                 : "; a plan with " + std::string(stepKeyOf(upd::BT_MOD_SET_COMP)) +
                                       " would fail here"));
      previousKey = key;
      previousLine = line.number;
    }
    if (text[0] != '&') {
      addFinding(findings, Severity::Error, keys.name, line.number,
                 "neither a key line nor a comment; the key writer sends nothing for it");
      continue;
    }
    std::string problem = keyLineProblem(text);
    if (!problem.empty()) {
      addFinding(findings, Severity::Error, keys.name, line.number, "key line refused: " + problem);
      continue;
    }
    ++keyLines;
    if (line.end != "\r\n")
      addFinding(findings, Severity::Warning, keys.name, line.number,
                 "no CR LF at the line end; the module's dump has one, so the comparison finds "
                 "this key changed on every update");
  }
  if (keyLines == 0) addFinding(findings, Severity::Warning, keys.name, 0, "holds no key line");
}

// A key file may hold any byte but NUL: the daemon refuses one that does,
// since a line read as a C string would end there and lose its line end.
void checkNulBytes(const PackageEntry& keys, Findings* findings) {
  const size_t first = keys.content.find('\0');
  if (first == std::string::npos) return;
  const size_t lineStart = keys.content.rfind('\n', first);
  const size_t column = first - (lineStart == std::string::npos ? 0 : lineStart + 1) + 1;
  const size_t lineNumber =
      1 + static_cast<size_t>(std::count(keys.content.begin(),
                                         keys.content.begin() + static_cast<long>(first), '\n'));
  const size_t total =
      static_cast<size_t>(std::count(keys.content.begin(), keys.content.end(), '\0'));
  addFinding(findings, Severity::Error, keys.name, lineNumber,
             "a NUL byte at character " + std::to_string(column) +
                 (total > 1 ? " (" + std::to_string(total) + " in the file)" : "") +
                 "; the daemon refuses a key file that holds one");
}

// The version keys of the key file, which the version check reads for the
// firmware and PS-key parts.
void checkVersionKeys(const PackageEntry* keys, bool present, Findings* findings) {
  const std::string unread =
      "; the version check cannot read the new firmware and PS-key versions, so those steps "
      "always run";
  if (keys == nullptr) {
    if (!present) addFinding(findings, Severity::Warning, keyFileName, 0, "missing" + unread);
    return;
  }
  const std::vector<Line> lines = splitLines(keys->content);
  const std::pair<const char*, size_t> versionKeyWords[] = {
      {firmwareVersionKey, firmwareVersionMinWords}, {configVersionKey, configVersionMinWords}};
  for (const auto& [prefix, minWords] : versionKeyWords) {
    int words = keyWordCount(lines, prefix);
    if (words >= static_cast<int>(minWords)) continue;
    std::string key = std::string(prefix).substr(0, 5);
    addFinding(findings, Severity::Warning, keys->name, 0,
               (words < 0 ? "no " + key + " line"
                          : key + " has " + std::to_string(words) + " words, fewer than " +
                                std::to_string(minWords)) +
                   unread);
  }
}

// The download tool: executable, and a program the board can start.
void checkDownloadTool(const PackageEntry& dfu, Findings* findings) {
  const std::string& head = dfu.head;
  if ((dfu.mode & 0111) == 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", dfu.mode & 07777);
    addFinding(findings, Severity::Error, dfu.name, 0,
               std::string("not executable (mode ") + mode +
                   "); the firmware step cannot start the download tool");
  }
  if (head.compare(0, 2, "#!") == 0) return;
  if (head.size() < 20 || head.compare(0, 4,
                                       "\x7f"
                                       "ELF") != 0) {
    addFinding(findings, Severity::Error, dfu.name, 0,
               "neither an ELF program nor a script beginning with \"#!\"; the board cannot "
               "run it");
    return;
  }
  constexpr int elfClass32 = 1, elfBigEndian = 2, machinePowerPC = 20;
  const bool bigEndian = head[5] == elfBigEndian;
  const uint8_t low = static_cast<uint8_t>(head[bigEndian ? 19 : 18]);
  const uint8_t high = static_cast<uint8_t>(head[bigEndian ? 18 : 19]);
  const int machine = high << 8 | low;
  if (head[4] != elfClass32 || !bigEndian || machine != machinePowerPC)
    addFinding(findings, Severity::Warning, dfu.name, 0,
               "an ELF program for machine " + std::to_string(machine) +
                   ", not for the board's 32-bit big-endian PowerPC");
}

const char* kindText(const PackageEntry& entry) {
  switch (entry.kind) {
    case EntryKind::Folder:
      return "a folder";
    case EntryKind::Link:
      return "a link";
    case EntryKind::Other:
      return "a device, pipe or socket";
    case EntryKind::File:
      break;
  }
  return "a regular file";
}

}  // namespace

bool hasErrors(const Findings& findings) {
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding& f) { return f.severity == Severity::Error; });
}

void addFinding(Findings* findings, Severity severity, const std::string& file, size_t line,
                const std::string& message) {
  findings->push_back({severity, file, line, message});
}

bool keepsContent(const std::string& name) {
  return name == todoName || name == versionName || name == keyFileName;
}

PackageReport checkPackage(std::vector<PackageEntry> entries) {
  PackageReport report;
  report.entries = std::move(entries);
  Findings* findings = &report.findings;
  std::map<std::string, const PackageEntry*> files;  // the regular files
  std::set<std::string> present;
  for (const PackageEntry& entry : report.entries) {
    present.insert(entry.name);
    if (!fitsUstarName(packageMemberPrefix() + entry.name))
      addFinding(findings, Severity::Error, entry.name, 0,
                 "a name of " + std::to_string(entry.name.size()) +
                     " bytes; the package's tar (ustar) holds at most 100 after \"" +
                     packageMemberPrefix() + "\"");
    if (entry.kind != EntryKind::File) {
      std::string what = kindText(entry);
      if (entry.kind == EntryKind::Link) what += " to \"" + entry.linkTarget + "\"";
      addFinding(findings, Severity::Error, entry.name, 0,
                 "is " + what + "; the package holds only regular files at its top level");
      continue;
    }
    files[entry.name] = &entry;
    if (keepsContent(entry.name) && !entry.contentKept)
      addFinding(findings, Severity::Error, entry.name, 0,
                 "larger than " + std::to_string(keptContentSize >> 20) +
                     " MiB; too large for a file the daemon reads line by line");
  }
  auto usable = [&](const std::string& name) -> const PackageEntry* {
    auto found = files.find(name);
    if (found == files.end() || (keepsContent(name) && !found->second->contentKept)) return nullptr;
    return found->second;
  };

  const PackageEntry* todo = usable(todoName);
  if (todo == nullptr) {
    if (present.count(todoName) == 0)
      addFinding(findings, Severity::Error, todoName, 0,
                 "missing; without its plan the daemon does nothing");
    return report;
  }
  readPlan(*todo, &report);

  // Which planned steps need which files; a file nobody needs is doubtful.
  std::map<uint32_t, size_t> firstLine;
  for (const PlanStep& step : report.plan) firstLine.emplace(step.number, step.line);
  auto planned = [&](uint32_t number) { return firstLine.count(number) != 0; };
  std::set<std::string> used = {todoName};
  std::set<std::string> reported;
  auto need = [&](const std::string& name, uint32_t step) -> const PackageEntry* {
    used.insert(name);
    const PackageEntry* entry = usable(name);
    if (entry == nullptr && present.count(name) == 0 && reported.insert(name).second)
      addFinding(findings, Severity::Error, name, 0,
                 std::string("missing; ") + stepKeyOf(step) + " (" + todoName + " line " +
                     std::to_string(firstLine[step]) + ") needs it");
    return entry;
  };

  // The version check decides the firmware and PS-key steps on the versions
  // in the key file.
  const bool moduleStepsDecided =
      std::any_of(report.plan.begin(), report.plan.end(), [](const PlanStep& step) {
        const uint32_t part = partOf(step.number);
        return part == upd::PART_FIRMWARE || part == upd::PART_PSKEYS;
      });
  const PackageEntry* version = usable(versionName);
  if (planned(upd::CHECK_VERSIONS)) {
    version = need(versionName, upd::CHECK_VERSIONS);
    used.insert(keyFileName);
    if (moduleStepsDecided)
      checkVersionKeys(usable(keyFileName), present.count(keyFileName) != 0, findings);
  }
  if (version != nullptr) readVersions(*version, planned(upd::CHECK_VERSIONS), &report);

  const PackageEntry* keys = nullptr;
  for (uint32_t step : {upd::BT_MOD_SET_COMP, upd::BT_MOD_SET_ALL_WRITE})
    if (planned(step)) keys = need(keyFileName, step);
  // The version check reads the key file too.
  if (const PackageEntry* read = planned(upd::CHECK_VERSIONS) ? usable(keyFileName) : keys)
    checkNulBytes(*read, findings);
  if (keys != nullptr) checkKeyFile(*keys, planned(upd::BT_MOD_SET_COMP), findings);

  if (planned(upd::BT_MOD_SET_FIRM_STACK)) {
    if (const PackageEntry* dfu = need(dfuName, upd::BT_MOD_SET_FIRM_STACK))
      checkDownloadTool(*dfu, findings);
    need(firmwareName, upd::BT_MOD_SET_FIRM_STACK);
    for (const char* driver : upd::bcspDrivers) need(driver, upd::BT_MOD_SET_FIRM_STACK);
  }

  // Steps that work on what an earlier step left.
  const std::pair<uint32_t, uint32_t> before[] = {
      {upd::BT_MOD_SET_READ, upd::BT_MOD_SET_COMP},
      {upd::BT_MOD_SET_COMP, upd::BT_MOD_SET_NEW_WRITE}};
  for (const auto& [earlier, later] : before)
    if (planned(later) && !(planned(earlier) && firstLine[earlier] < firstLine[later]))
      addFinding(findings, Severity::Warning, todoName, firstLine[later],
                 std::string(stepKeyOf(later)) + " without " + stepKeyOf(earlier) +
                     " before it works on whatever an earlier update left");
  if (planned(upd::CHECK_VERSIONS))
    for (const PlanStep& step : report.plan)
      if (partOf(step.number) != upd::PART_NONE && step.line < firstLine[upd::CHECK_VERSIONS]) {
        addFinding(findings, Severity::Warning, todoName, firstLine[upd::CHECK_VERSIONS],
                   std::string(stepKeyOf(upd::CHECK_VERSIONS)) + " comes after " + step.key +
                       " (line " + std::to_string(step.line) +
                       "), which then runs whatever the versions");
        break;
      }

  for (const auto& [name, entry] : files)
    if (used.count(name) == 0)
      addFinding(findings, Severity::Warning, name, 0, "not used by any planned step");
  return report;
}

bool readPackageFolder(const std::string& folder, std::vector<PackageEntry>* entries,
                       std::string* error) {
  auto fail = [&](const std::string& path) {
    *error = path + ": " + std::strerror(errno);
    return false;
  };
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return fail(folder);
  std::vector<std::string> names;
  errno = 0;
  while (const struct dirent* item = ::readdir(dir)) {
    std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  int readError = errno;
  ::closedir(dir);
  errno = readError;
  if (readError != 0) return fail(folder);
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return fail(path);
    PackageEntry entry;
    entry.name = name;
    entry.mode = st.st_mode & 07777;
    entry.size = static_cast<uint64_t>(st.st_size);
    if (S_ISDIR(st.st_mode)) entry.kind = EntryKind::Folder;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
      entry.kind = EntryKind::Other;
    if (S_ISLNK(st.st_mode)) {
      entry.kind = EntryKind::Link;
      char target[4096];
      ssize_t n = ::readlink(path.c_str(), target, sizeof target);
      if (n > 0) entry.linkTarget.assign(target, static_cast<size_t>(n));
    }
    if (entry.kind == EntryKind::File) {
      std::string bytes;
      if (!readFileStart(path, keepsContent(name) ? keptContentSize + 1 : keptHeadSize, &bytes,
                         error))
        return false;
      entry.head = bytes.substr(0, keptHeadSize);
      if (keepsContent(name) && bytes.size() <= keptContentSize) {
        entry.content = bytes;
        entry.contentKept = true;
      }
    }
    entries->push_back(entry);
  }
  return true;
}

}  // namespace updimage
