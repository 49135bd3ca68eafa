// update_sim --try --json; see update_sim_report.h.
#include "sim/update_sim_report.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sim/virtual_module.h"

namespace sim {
namespace {

// Fields in the order they are written.
using json = nlohmann::ordered_json;

// The file's text; false when it cannot be read.
bool readText(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  *text = content.str();
  return true;
}

std::string withoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

// A number of seconds, or null for none, to the millisecond.
json seconds(double value) {
  if (value < 0) return nullptr;
  return static_cast<double>(static_cast<long>(value * 1000 + 0.5)) / 1000;
}

std::string keyName(uint16_t key) {
  char text[8];
  std::snprintf(text, sizeof text, "&%04x", key);
  return text;
}

// The firmware version the store's version key carries, or the module's
// default, as the module takes it at power-up.
std::string firmwareInStore(const vmodule::Store& store) {
  auto found = store.find(vmodule::versionKey);
  std::string version;
  for (size_t i = 0; found != store.end() && i < vmodule::firmwareVersionLength; ++i) {
    int byte = vmodule::valueByte(found->second, vmodule::firmwareVersionOffset + i);
    if (byte <= 0) return vmodule::defaultFirmwareVersion;
    version += static_cast<char>(byte);
  }
  return version.empty() ? vmodule::defaultFirmwareVersion : version;
}

json stepsOf(const admin::UpdateView* update) {
  json steps = json::array();
  if (update == nullptr) return steps;
  for (const admin::StepView& step : update->steps) {
    const char* result = admin::phaseText(step.phase);
    const bool ended = step.endedAt >= 0;
    steps.push_back({
        {"step", step.key.empty() ? json(nullptr) : json(step.key)},
        {"label", step.label},
        {"result", *result == '\0' ? "pending" : result},
        {"started", seconds(step.startedAt)},
        {"ended", seconds(step.endedAt)},
        {"seconds", ended ? seconds(step.endedAt - step.startedAt) : json(nullptr)},
        {"percent", step.percent >= 0 ? json(step.percent) : json(nullptr)},
        {"notes", step.notes},
    });
  }
  return steps;
}

json deviceOf(const TryOutcome& outcome) {
  const std::string board = outcome.board + "/board/";
  // The flash: board/flash.log has a line "write OFFSET BYTES" per write.
  long written = 0;
  std::string text;
  if (readText(board + "flash.log", &text)) {
    std::istringstream lines(text);
    std::string word, offset;
    long bytes = 0;
    while (lines >> word >> offset >> bytes)
      if (word == "write") written += bytes;
  }
  // The module: the store it began with against the one it has now.
  const vmodule::Store before = outcome.moduleStoreText.empty()
                                    ? vmodule::defaultStore()
                                    : vmodule::parseStore(outcome.moduleStoreText);
  vmodule::Store after = before;
  if (readText(board + "module.psr", &text)) after = vmodule::parseStore(text);
  std::set<uint16_t> changedKeys;
  for (const auto& entry : before)
    if (after.count(entry.first) == 0 || after.at(entry.first) != entry.second)
      changedKeys.insert(entry.first);
  for (const auto& entry : after)
    if (before.count(entry.first) == 0) changedKeys.insert(entry.first);
  json changed = json::array();
  for (uint16_t key : changedKeys) changed.push_back(keyName(key));
  const std::string firmwareBefore = firmwareInStore(before);
  std::string firmwareAfter = firmwareBefore;
  if (readText(board + "firmware.txt", &text)) firmwareAfter = withoutLineEnd(text.substr(0, text.find('\n')));
  // The installed versions: "NAME=VALUE" lines of /etc/data.txt.
  json installed = json::object();
  if (readText(outcome.board + "/etc/data.txt", &text)) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      line = withoutLineEnd(line);
      size_t equals = line.find('=');
      if (equals != std::string::npos && equals > 0)
        installed[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return {
      {"flash_written", written > 0},
      {"flash_bytes_written", written},
      {"module_firmware_before", firmwareBefore},
      {"module_firmware", firmwareAfter},
      {"module_store_changed", !changed.empty()},
      {"module_keys_changed", changed},
      {"installed_versions", installed},
  };
}

const char* signalName(int signalNumber) {
  switch (signalNumber) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "SIGPIPE";
  }
}

std::string exitMeaning(const TryOutcome& outcome) {
  if (outcome.interruptedBy != 0)
    return std::string("interrupted by ") + signalName(outcome.interruptedBy);
  return outcome.exitStatus == 0 ? "the update ended \"OK\"" : "the update did not end \"OK\"";
}

}  // namespace

std::string outcomeJson(const TryOutcome& outcome) {
  json report = {
      {"archive", outcome.archive},
      {"board", outcome.board},
      {"board_kept", outcome.kept},
      {"time_scale", outcome.timeScale},
      {"verdict", outcome.verdict.empty() ? json(nullptr) : json(outcome.verdict)},
      {"verdict_text", outcome.verdictText.empty() ? json(nullptr) : json(outcome.verdictText)},
      {"seconds", seconds(outcome.seconds)},
      {"finish_line", outcome.update == nullptr || outcome.update->finishLine.empty()
                          ? json(nullptr)
                          : json(outcome.update->finishLine)},
      {"steps", stepsOf(outcome.update)},
      {"device", deviceOf(outcome)},
      {"interrupted_by",
       outcome.interruptedBy == 0 ? json(nullptr) : json(signalName(outcome.interruptedBy))},
      {"daemon_status", outcome.daemonStatus},
      {"exit_status", outcome.exitStatus},
      {"exit_meaning", exitMeaning(outcome)},
  };
  // Texts that are no valid UTF-8 (a status file may hold any bytes) are
  // written with the replacement character rather than failing.
  return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace sim
