// Power cuts in the example update: update_sim --try --power-cut per cut
// point, each with the reboot and one run of the same archive after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "test_support.h"

namespace {

struct CutRow {
  const char* event;
  bool moduleOnBcsp;  // the module's store selects BCSP when the power goes
};

// Spread over every step and event kind of the example update: status file
// writes 1 to 14 (14: the download's first figure); daemon seconds 0 to 14
// (up to the firmware step; 50: the download); module packets 1 (HCI Reset
// of the key walk) to 1025 (its last GET), 1026 to 1031 (the differing keys),
// 1032 to 1035 (the host-interface set over serial; 1034 selects BCSP), 1036
// to 1039 (the set back to serial over BCSP); the download; the two erases
// and the five writes of the software image (4: the header's sector without
// the header, 5: the header).
const CutRow cutRows[] = {
    {"status_write:1", false},     {"status_write:2", false},     {"status_write:2:torn", false},
    {"status_write:3", false},     {"status_write:5:torn", false}, {"status_write:6", false},
    {"status_write:8", false},     {"status_write:9:torn", false}, {"status_write:10", false},
    {"status_write:11", false},    {"status_write:12", false},    {"status_write:13", false},
    {"status_write:14", true},     {"time:0", false},             {"time:3", false},
    {"time:8", false},             {"time:14", false},            {"time:50", true},
    {"module_packet:1", false},    {"module_packet:2", false},    {"module_packet:513", false},
    {"module_packet:1025", false}, {"module_packet:1026", false}, {"module_packet:1027", false},
    {"module_packet:1031", false}, {"module_packet:1032", false}, {"module_packet:1034", false},
    {"module_packet:1035", true},  {"module_packet:1036", true},  {"module_packet:1037", true},
    {"module_packet:1038", true},  {"module_packet:1039", false}, {"download:0", true},
    {"download:25", true},         {"download:50", true},         {"download:75", true},
    {"download:100", true},        {"flash_erase:1", false},      {"flash_erase:1:torn", false},
    {"flash_write:1", false},      {"flash_write:1:torn", false}, {"flash_write:2:torn", false},
    {"flash_erase:2:torn", false}, {"flash_write:3", false},      {"flash_write:4", false},
    {"flash_write:4:torn", false}, {"flash_write:5", false},      {"flash_write:5:torn", false},
};

// Under the emulator or a sanitizer every fourth row, unless
// UPDATE_POWER_CUT_ALL_ROWS=1.
bool everyRow() {
  const char* all = std::getenv("UPDATE_POWER_CUT_ALL_ROWS");
  if (all != nullptr) return std::string(all) == "1";
  const char* emulator = std::getenv("UPDATE_TEST_EMULATOR");
#if defined(__SANITIZE_ADDRESS__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return false;
#endif
#endif
  return emulator == nullptr || *emulator == '\0';
}

// update_sim --try --power-cut with the example archive on board bN.
std::unique_ptr<testsupport::Process> rehearsal(const testsupport::Sandbox& sandbox, size_t n,
                                                const char* event) {
  if (!sandbox.exists("board/try.img")) {
    sandbox.write("board/try.settings", sandbox.read("board/settings"));
    sandbox.write("board/try.img", testsupport::exampleArchive());
  }
  return std::make_unique<testsupport::Process>(
      sandbox, "update_sim", std::vector<std::string>{
          "--try", sandbox.path("board/try.img"), "--settings", sandbox.path("board/try.settings"),
          "--root", sandbox.root() + "/b" + std::to_string(n), "--time-scale", "0.02",
          "--power-cut", event});
}

void rehearse(bool bcspWindow) {
  testsupport::Sandbox sandbox;
  std::vector<const CutRow*> rows;
  for (const CutRow& row : cutRows)
    if (row.moduleOnBcsp == bcspWindow) rows.push_back(&row);
  const size_t step = everyRow() ? 1 : 4;
  constexpr size_t atOnce = 8;  // the runs wait on the board's scaled time mostly
  for (size_t first = 0; first < rows.size(); first += atOnce * step) {
    std::vector<std::pair<const CutRow*, std::unique_ptr<testsupport::Process>>> runs;
    for (size_t i = first; i < rows.size() && i < first + atOnce * step; i += step)
      runs.emplace_back(rows[i], rehearsal(sandbox, i, rows[i]->event));
    for (auto& [row, run] : runs) {
      SCOPED_TRACE(row->event);
      EXPECT_EQ(0, run->wait(240)) << run->out() << run->err();
      EXPECT_NE(std::string::npos,
                run->out().find("Run 1: power cut at " + std::string(row->event) +
                                "; run 2: OK; the reference: OK.\n"))
          << run->out();
    }
  }
}

TEST(PowerCut, RunAfterTheCutEndsAsAnUninterruptedUpdate) { rehearse(false); }

// The run after the cut finds the module on BCSP and sets it back to serial.
TEST(PowerCut, RunAfterACutWithTheModuleOnBcspEndsAsAnUninterruptedUpdate) { rehearse(true); }

}  // namespace

// A module that overwrites its firmware in place starts in its loader after
// a cut during the transfer: the run after the cut downloads again and
// leaves the device right, but finds no module for its key walk, so it ends
// "NOK" whatever the daemon does.
TEST(PowerCut, FirmwareOverwrittenInPlaceLeavesTheRunAfterTheCutNok) {
  testsupport::Sandbox sandbox;
  sandbox.settings("module.firmware_in_place = 1\n");
  auto run = rehearsal(sandbox, 0, "download:50");
  EXPECT_EQ(0, run->wait(240)) << run->out() << run->err();
  const std::string out = run->out();
  const std::string after = out.substr(std::min(out.size(), out.find("Run 2 reached:")));
  for (const char* said : {"2/6 Read PS-Keys: NOK\n", "5/6 Update Trilo Firmware: OK\n",
                           "Run 1: power cut at download:50; run 2: NOK; the reference: OK.\n"})
    EXPECT_NE(std::string::npos, after.find(said)) << said << "\n" << out;
}
