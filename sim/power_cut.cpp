// The power cut of the simulated board; see power_cut.h.
#include "sim/power_cut.h"

#include <dirent.h>
#include <ftw.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {
namespace power {
namespace {

constexpr const char* recordName = "power_cut.txt";
constexpr const char* poweredUpMark = "powered up again";

struct Counting {
  bool armed = false;  // a start request came and a cut is due
  CutPoint point;
  double startedAt = 0;  // now() at the start request
  long seen = 0;         // events of the cut point's kind so far
};
Counting counting;

bool readCount(const std::string& text, long min, long max, long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 9)
    return false;
  *value = std::strtol(text.c_str(), nullptr, 10);
  return *value >= min && *value <= max;
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The processes to stop with the daemon: its descendants, the members of its
// session and process group where it leads them, and the members of its
// descendants' process groups (which keep their group when their parent
// goes).
std::vector<pid_t> boardProcesses() {
  struct Entry {
    pid_t pid, parent, group, session;
  };
  std::vector<Entry> all;
  if (DIR* proc = ::opendir("/proc")) {
    while (struct dirent* entry = ::readdir(proc)) {
      char* end = nullptr;
      long pid = std::strtol(entry->d_name, &end, 10);
      if (pid <= 0 || *end != '\0') continue;
      char path[64];
      std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
      FILE* file = std::fopen(path, "r");
      if (file == nullptr) continue;
      char text[1024];
      size_t n = std::fread(text, 1, sizeof text - 1, file);
      std::fclose(file);
      text[n] = '\0';
      const char* close = std::strrchr(text, ')');
      char state = 0;
      long parent = 0, group = 0, session = 0;
      if (close != nullptr &&
          std::sscanf(close + 1, " %c %ld %ld %ld", &state, &parent, &group, &session) == 4 &&
          state != 'Z')
        all.push_back({static_cast<pid_t>(pid), static_cast<pid_t>(parent),
                       static_cast<pid_t>(group), static_cast<pid_t>(session)});
    }
    ::closedir(proc);
  }
  const pid_t self = ::getpid();
  std::set<pid_t> chosen = {self};
  std::set<pid_t> groups;
  if (::getpgrp() == self) groups.insert(self);
  for (bool grown = true; grown;) {
    grown = false;
    for (const Entry& entry : all) {
      const bool member = chosen.count(entry.parent) != 0 || groups.count(entry.group) != 0 ||
                          (::getsid(0) == self && entry.session == self);
      if (member && chosen.insert(entry.pid).second) {
        if (entry.group != ::getpgrp()) groups.insert(entry.group);
        grown = true;
      }
    }
  }
  chosen.erase(self);
  return std::vector<pid_t>(chosen.begin(), chosen.end());
}

int removeEntry(const char* path, const struct stat*, int kind, struct FTW* where) {
  if (where->level == 0) return 0;  // the folder itself stays
  return kind == FTW_DP ? ::rmdir(path) : ::unlink(path);
}

}  // namespace

bool readCutPoint(const std::string& text, CutPoint* point) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string kind = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  CutPoint read;
  if (kind == "time") {
    size_t digits = rest.find_first_not_of("0123456789.");
    if (rest.empty() || digits != std::string::npos || rest.find('.') != rest.rfind('.') ||
        rest == ".")
      return false;
    read.event = Event::time;
    read.seconds = std::strtod(rest.c_str(), nullptr);
    *point = read;
    return true;
  }
  if (kind == "download") {
    read.event = Event::download;
    if (!readCount(rest, 0, 100, &read.count)) return false;
    *point = read;
    return true;
  }
  const std::string tornMark = ":torn";
  if (rest.size() > tornMark.size() &&
      rest.compare(rest.size() - tornMark.size(), tornMark.size(), tornMark) == 0) {
    read.torn = true;
    rest.erase(rest.size() - tornMark.size());
  }
  if (kind == "module_packet" && !read.torn)
    read.event = Event::modulePacket;
  else if (kind == "flash_write")
    read.event = Event::flashWrite;
  else if (kind == "flash_erase")
    read.event = Event::flashErase;
  else if (kind == "status_write")
    read.event = Event::statusWrite;
  else
    return false;
  if (!readCount(rest, 1, 999999999, &read.count)) return false;
  *point = read;
  return true;
}

void startRequestSeen() {
  if (counting.armed || counting.startedAt > 0) return;
  counting.startedAt = now();
  CutPoint point;
  // A board whose power was cut once keeps the record; the setting is spent.
  if (!readCutPoint(setting("power.cut", ""), &point) || fileExists(boardPath(recordName))) return;
  counting.point = point;
  counting.armed = point.event != Event::download;  // dfu_sim cuts a download itself
}

At count(Event event) {
  if (!counting.armed || counting.point.event != event) return At::goesOn;
  if (++counting.seen != counting.point.count) return At::goesOn;
  return counting.point.torn ? At::cutHalfway : At::cutBefore;
}

double deadline() {
  if (!counting.armed || counting.point.event != Event::time) return INFINITY;
  return counting.startedAt + scaled(counting.point.seconds);
}

void checkTime() {
  if (now() < deadline()) return;
  char what[96];
  std::snprintf(what, sizeof what, "%g seconds of daemon time after the start request",
                counting.point.seconds);
  cut(what);
}

void cut(const std::string& what) {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_BLOCK, &all, nullptr);
  std::vector<pid_t> stopped = boardProcesses();
  for (pid_t pid : stopped) ::kill(pid, SIGKILL);

  std::string point = setting("power.cut", "");
  std::string text = "power cut at " + point + "\ncut: " + what + "\n";
  char line[160];
  std::snprintf(line, sizeof line, "after %.2f seconds of daemon time since the start request\n",
                (now() - counting.startedAt) / timeScale());
  text += line;
  std::snprintf(line, sizeof line, "stopped at once: the daemon (pid %d)",
                static_cast<int>(::getpid()));
  text += line;
  if (stopped.empty()) text += " and nothing it started";
  for (size_t i = 0; i < stopped.size(); ++i)
    text += (i == 0 ? " and the processes it started: " : ", ") + std::to_string(stopped[i]);
  text +=
      "\nkept: board/flash0.bin, board/module.psr, board/firmware.txt, etc/data.txt\n"
      "lost at the next power-up: /tmp, board/drivers.txt (the BCSP drivers), board/led.txt, "
      "the module's RAM state\n";
  if (FILE* record = std::fopen(boardPath(recordName).c_str(), "w")) {
    std::fputs(text.c_str(), record);
    std::fclose(record);
  }
  std::fflush(nullptr);
  ::kill(::getpid(), SIGKILL);
  std::abort();  // never reached: SIGKILL cannot be blocked
}

bool powerUp(const std::string& root, std::string* done) {
  const std::string record = root + "/board/" + recordName;
  FILE* file = std::fopen(record.c_str(), "r+");
  if (file == nullptr) return false;
  char line[512];
  bool up = false;
  while (std::fgets(line, sizeof line, file) != nullptr)
    if (std::strncmp(line, poweredUpMark, std::strlen(poweredUpMark)) == 0) up = true;
  if (!up) {
    const std::string tmp = root + "/tmp";
    ::nftw(tmp.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    for (const char* name : {"drivers.txt", "led.txt"})
      std::remove((root + "/board/" + name).c_str());
    *done = std::string(poweredUpMark) +
            ": /tmp emptied, the BCSP drivers unloaded (board/drivers.txt removed), the LED "
            "off (board/led.txt removed); the module starts from board/module.psr and "
            "board/firmware.txt";
    std::fseek(file, 0, SEEK_END);
    std::fprintf(file, "%s\n", done->c_str());
  }
  std::fclose(file);
  return !up;
}

}  // namespace power
}  // namespace sim
