// The version check: the report rows byte for byte and the updateNeeded
// flags, for good inputs and for values too short to read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "sequencer/sequencer.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;

// A PSR key line whose words carry text, two characters per word, the first
// character in the low byte.
std::string keyLine(const std::string& key, const std::string& text) {
  std::string line = "&" + key + " =";
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    char word[8];
    std::snprintf(word, sizeof word, " %02x%02x", static_cast<unsigned char>(text[i + 1]),
                  static_cast<unsigned char>(text[i]));
    line += word;
  }
  return line + "\r\n";
}

// The status file without the open errors that missing files add between
// the rows.
std::string withoutOpenErrors(std::string status) {
  const std::string begin = "open error file ";
  const std::string end = "No such file or directory";
  for (size_t at; (at = status.find(begin)) != std::string::npos;) {
    size_t stop = status.find(end, at);
    if (stop == std::string::npos) break;
    status.erase(at, stop + end.size() - at);
  }
  return status;
}

// &02a5: note at 6..11, firmware at 13..16, mark at 18..19.
const std::string firmwareText = "abcdefBC4-EX_1234_K1";
// Installed CSRMODULINFO: configuration at 41..44, mark before the last character.
const std::string moduleInfo = std::string(41, 'm') + "0042--K1Z";
const std::string a4 = keyLine("02a4", "0042");
const std::string a5 = keyLine("02a5", firmwareText);
const char* const missing = nullptr;

std::string installed(const std::string& firmware, const std::string& info,
                      const std::string& software) {
  return "BTFIRMWARE=" + firmware + "\nCSRMODULINFO=" + info + "\nLAP_VERSION=" + software + "\n";
}

// Each case: the three files (null: missing) and, per row, the old and new
// texts and whether the part is to be updated. A value that cannot be read
// shows as "not found", never counts as equal and is never read beyond.
TEST(VersionCheck, RowsAndFlags) {
  struct Row {
    std::string oldText, newText;
    bool needed;
  };
  struct Case {
    const char* name;
    const char* dataTxt;
    const char* versionFile;
    const char* psKeys;
    Row firmware, psKey, software;
  };
  const std::string same = installed("1234", moduleInfo, "2.0.1x");
  const std::string otherConfig = keyLine("02a4", "0043") + a5;
  const std::string otherFirmware = installed("1233", moduleInfo, "2.0.0x");
  const std::string otherMark = installed("1234", std::string(41, 'm') + "0042--K2Z", "2.0.1x");
  const std::string noExtra = installed("1234", moduleInfo, "2.0.1");
  const std::string shortA5 = a4 + keyLine("02a5", firmwareText.substr(0, 18));
  const std::string oneWordA4 = keyLine("02a4", "00") + a5;
  const std::string fortyWords = a4 + keyLine("02a5", firmwareText + std::string(60, 'z'));
  const std::string info44 = installed("1234", moduleInfo.substr(moduleInfo.size() - 44), "2.0.1x");
  const std::string info3 = installed("1234", "K1Z", "2.0.1x");
  const std::string info2 = installed("1234", "1Z", "2.0.1x");
  const std::string infoEmpty = installed("1234", "", "2.0.1x");
  const std::string keys = a4 + a5;
  const char* version = "LAP_VERSION=2.0.1\n";
  const Row firmwareEqual = {"1234", "1234 means BC4-EX", false};
  const Row psKeyEqual = {"K1 0042", "K1 0042", false};
  const Row softwareEqual = {"2.0.1", "2.0.1", false};
  // Everything equal: the firmware in VERSION and the installed one's text
  // after its four characters are not looked at, nor comments or other keys.
  const std::string allEqual = "// new keys\r\n" + keyLine("0001", "ab") + keys;
  const std::string longFirmware = installed("1234xyz", moduleInfo, "2.0.1x");
  const Case cases[] = {
      {"everything equal", longFirmware.c_str(),
       "BTFIRMWARE=9999\nLAP_VERSION=2.0.1\n", allEqual.c_str(), firmwareEqual, psKeyEqual,
       softwareEqual},
      {"equal firmware, differing configuration", same.c_str(), version, otherConfig.c_str(),
       firmwareEqual, {"K1 0042", "K1 0043", true}, softwareEqual},
      {"differing firmware, equal marks", otherFirmware.c_str(), version, keys.c_str(),
       {"1233", "1234 means BC4-EX", true}, {"K1 0042", "K1 0042", true},
       {"2.0.0", "2.0.1", true}},
      {"differing marks", otherMark.c_str(), version, keys.c_str(), firmwareEqual,
       {"K2 0042", "K1 0042", true}, softwareEqual},
      {"installed software without its extra character", noExtra.c_str(), version, keys.c_str(),
       firmwareEqual, psKeyEqual, {"2.0.", "2.0.1", true}},
      {"VERSION missing", same.c_str(), missing, keys.c_str(), firmwareEqual, psKeyEqual,
       {"2.0.1", "not found", true}},
      {"installed versions missing", "OTHER=1\n", version, keys.c_str(),
       {"not ", "1234 means BC4-EX", true}, {"not found", "K1 0042", true},
       {"not foun", "2.0.1", true}},
      {"key file missing", same.c_str(), version, missing, {"1234", "not found", true},
       {"K1 0042", "not found", true}, softwareEqual},
      {"no &02a5", same.c_str(), version, a4.c_str(), {"1234", "not found", true},
       {"K1 0042", "not found 0042", true}, softwareEqual},
      {"&02a5 of nine words", same.c_str(), version, shortA5.c_str(), {"1234", "not found", true},
       {"K1 0042", "not found 0042", true}, softwareEqual},
      {"&02a5 of forty words", same.c_str(), version, fortyWords.c_str(), firmwareEqual,
       psKeyEqual, softwareEqual},
      {"no &02a4", same.c_str(), version, a5.c_str(), firmwareEqual,
       {"K1 0042", "K1 not found", true}, softwareEqual},
      {"&02a4 of one word", same.c_str(), version, oneWordA4.c_str(), firmwareEqual,
       {"K1 0042", "K1 not found", true}, softwareEqual},
      {"module info of 44 characters", info44.c_str(), version, keys.c_str(), firmwareEqual,
       {"K1 not found", "K1 0042", true}, softwareEqual},
      {"module info of 3 characters", info3.c_str(), version, keys.c_str(), firmwareEqual,
       {"K1 not found", "K1 0042", true}, softwareEqual},
      {"module info of 2 characters", info2.c_str(), version, keys.c_str(), firmwareEqual,
       {"not found", "K1 0042", true}, softwareEqual},
      {"module info empty", infoEmpty.c_str(), version, keys.c_str(), firmwareEqual,
       {"not found", "K1 0042", true}, softwareEqual},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox fresh;
    testsupport::useInProcess(fresh);
    ::mkdir(fresh.path("/tmp/update.d").c_str(), 0755);
    upd::resetUpdateState();
    if (c.dataTxt != nullptr) fresh.write("/etc/data.txt", c.dataTxt);
    if (c.versionFile != nullptr) fresh.write("/tmp/update.d/VERSION", c.versionFile);
    if (c.psKeys != nullptr) fresh.write("/tmp/update.d/pskeyorig.psr", c.psKeys);
    ::testing::internal::CaptureStdout();
    upd::checkVersions();
    ::testing::internal::GetCapturedStdout();

    std::string rows;
    const Row* expected[] = {&c.firmware, &c.psKey, &c.software};
    for (int i = 0; i < 3; ++i) {
      rows += testsupport::versionRow(upd::versionParts[i].label, expected[i]->oldText,
                                      expected[i]->newText, expected[i]->needed);
      EXPECT_EQ(expected[i]->needed ? 1u : 0u, upd::versionParts[i].updateNeeded) << i;
    }
    EXPECT_EQ(testsupport::versionReportHeader + rows,
              withoutOpenErrors(fresh.read("/tmp/update.log")));
  }
}

}  // namespace
