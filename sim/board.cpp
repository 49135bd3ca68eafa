// Sandbox root, time scale and board settings of the simulated board.
#include <poll.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/sim.h"

namespace sim {
namespace {

char rootPath[maxRootLength + 1] = "";
size_t rootLength = 0;
double scale = 1.0;

std::map<std::string, std::string> settings;
bool settingsLoaded = false;

std::string trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

bool configure(const std::string& rootDir, double timeScale, std::string* error) {
  if (rootDir.empty() || rootDir[0] != '/') {
    *error = "the sandbox root must be an absolute path: " + rootDir;
    return false;
  }
  if (rootDir.size() > maxRootLength) {
    *error = "the sandbox root is " + std::to_string(rootDir.size()) +
             " characters long; at most " + std::to_string(maxRootLength) +
             " fit, since the socket paths under it are limited to 107 characters";
    return false;
  }
  if (!(timeScale > 0.0)) {
    *error = "the time scale must be greater than 0";
    return false;
  }
  std::memcpy(rootPath, rootDir.c_str(), rootDir.size() + 1);
  rootLength = rootDir.size();
  while (rootLength > 1 && rootPath[rootLength - 1] == '/') rootPath[--rootLength] = '\0';
  scale = timeScale;
  settingsLoaded = false;
  return true;
}

const char* root() { return rootPath; }
double timeScale() { return scale; }

bool mapPath(const char* path, char* out, size_t outSize) {
  size_t pathLength = std::strlen(path);
  if (path[0] != '/') {
    if (pathLength + 1 > outSize) return false;
    std::memcpy(out, path, pathLength + 1);
    return true;
  }
  if (rootLength + pathLength + 1 > outSize) return false;
  std::memcpy(out, rootPath, rootLength);
  std::memcpy(out + rootLength, path, pathLength + 1);
  return true;
}

std::string boardPath(const char* name) { return std::string(rootPath) + "/board/" + name; }

void reloadSettings() {
  settings.clear();
  settingsLoaded = true;
  FILE* file = std::fopen(boardPath("settings").c_str(), "r");
  if (file == nullptr) return;
  char line[512];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text(line);
    size_t hash = text.find('#');
    if (hash != std::string::npos) text.erase(hash);
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    std::string key = trim(text.substr(0, equals));
    if (!key.empty()) settings[key] = trim(text.substr(equals + 1));
  }
  std::fclose(file);
}

std::string setting(const char* key, const char* fallback) {
  if (findSetting(key) == nullptr) {
    std::fprintf(stderr, "simulated board: setting %s is not in the settings table\n", key);
    std::abort();
  }
  if (!settingsLoaded) reloadSettings();
  auto found = settings.find(key);
  return found == settings.end() ? std::string(fallback) : found->second;
}

long settingInt(const char* key, long fallback) {
  std::string text = setting(key, "");
  if (text.empty()) return fallback;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 0);
  return (end != nullptr && *end == '\0') ? value : fallback;
}

bool settingOn(const char* key) {
  int value = readBoolean(setting(key, ""));
  return value >= 0 ? value == 1 : readBoolean(findSetting(key)->defaultText) == 1;
}

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

ssize_t Device::read(void*, size_t) {
  errno = EINVAL;
  return -1;
}
ssize_t Device::write(const void*, size_t) {
  errno = EINVAL;
  return -1;
}
off_t Device::lseek(off_t, int) {
  errno = ESPIPE;
  return -1;
}
int Device::ioctl(unsigned long, uintptr_t) {
  errno = ENOTTY;
  return -1;
}
short Device::readyEvents() { return 0; }
double Device::nextReadyTime() { return -1.0; }

}  // namespace sim
