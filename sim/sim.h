// The simulated board: a sandbox root that holds every absolute path of the
// daemon, time scaled by a factor, and virtual devices whose state lives in
// files under board/ in the sandbox.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Longest sandbox root: the daemon's socket paths ("/rb_ai_sock2up") must
// still fit the 107 characters of a Unix socket path once mapped.
constexpr size_t maxRootLength = 107 - 14;

// Sets up the board: root must be an absolute path of an existing folder.
// Returns false with a reason in *error when the root cannot be used.
bool configure(const std::string& root, double timeScale, std::string* error);
const char* root();
double timeScale();

// Maps a path of the daemon into the sandbox (async-signal-safe). Relative
// paths are left as they are. Returns false when out is too small.
bool mapPath(const char* path, char* out, size_t outSize);
// The sandbox path of a board state file, e.g. boardPath("flash0.bin").
std::string boardPath(const char* name);

// Board settings, read from board/settings: one "key = value" per line, "#"
// starts a comment. Read once on first use; reloadSettings() reads again.
// Every key the board reads is a row of boardSettings (a key that is not
// ends the program: the table and the code must agree).
std::string setting(const char* key, const char* fallback);
long settingInt(const char* key, long fallback);
// A boolean setting: its value, or the table's default when it is not set.
bool settingOn(const char* key);
void reloadSettings();

enum class SettingKind { boolean, number, choice, seconds, keyList, pathList, cutPoint };
struct BoardSetting {
  const char* key;  // null ends the table
  SettingKind kind;
  long min, max;        // number: the range
  const char* choices;  // choice: the words, separated by '|'
  const char* defaultText;
  const char* meaning;
};
extern const BoardSetting boardSettings[];
const BoardSetting* findSetting(const std::string& key);
// A boolean's value: 1 for "1", "yes", "on", "true", 0 for "0", "no", "off",
// "false", -1 for anything else.
int readBoolean(const std::string& text);
// The comma-separated entries of a list value, blanks around each dropped.
std::vector<std::string> listEntries(const std::string& text);
// Checks a settings file against the table: one message per problem, each
// "PATH:LINE: " and what is wrong and allowed. A missing file has none.
std::vector<std::string> checkSettingsFile(const std::string& path);
// The table as docs/simulated_board.md shows it (Markdown).
std::string settingsTable();

// Monotonic real time in seconds, and a span of daemon time in real seconds.
double now();
inline double scaled(double daemonSeconds) { return daemonSeconds * timeScale(); }

// A virtual device node, one object per open descriptor. Defaults refuse.
struct Device {
  virtual ~Device() = default;
  virtual ssize_t read(void* buf, size_t n);
  virtual ssize_t write(const void* buf, size_t n);
  virtual off_t lseek(off_t offset, int whence);
  virtual int ioctl(unsigned long request, uintptr_t arg);
  // Poll events ready now (POLLIN, POLLPRI...).
  virtual short readyEvents();
  // When, in now() seconds, data that is queued but delayed becomes ready;
  // a negative value when nothing is pending.
  virtual double nextReadyTime();
};

// Opens the device at a node path of the daemon; null with *error set
// (ENOENT when the board has no such device now).
using DeviceOpener = std::unique_ptr<Device> (*)(int flags, int* error);
struct DeviceNode {
  const char* path;
  DeviceOpener open;
};
// The board's device nodes; ends with a row whose path is null.
extern const DeviceNode deviceNodes[];

// Shell commands the board answers itself instead of the shell, matched by
// their first word; the handler gets the rest of the command line (the
// daemon's paths, unmapped) and returns a wait status as system() would.
struct BoardCommand {
  const char* word;
  int (*run)(const char* arguments);
};
extern const BoardCommand boardCommands[];

}  // namespace sim
