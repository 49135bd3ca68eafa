// Update sequencer: the step table, the update plan, step reports, the step
// driver and the version check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/step_event.h"  // the events the step driver acts on

namespace upd {

// Step numbers as they stand in updatePlan and currentStep.
enum : uint32_t {
  STEP_FINISH = 0,
  CHECK_VERSIONS = 1,
  BT_MOD_SET_READ = 2,
  BT_MOD_SET_COMP = 3,
  BT_MOD_SET_NEW_WRITE = 4,
  BT_MOD_SET_ALL_WRITE = 5,
  BT_MOD_SET_FIRM_STACK = 6,
  LAP_SOFTWARE = 7,
};

// Part kinds that decide whether a step is needed.
enum : uint32_t { PART_LAP_SOFTWARE = 0, PART_FIRMWARE = 1, PART_PSKEYS = 2, PART_NONE = 3 };

struct UpdateStep {
  uint32_t number;
  const char* key;    // keyword in updatetodo.txt; null ends the table
  const char* label;  // label in the status file
  uint32_t partKind;
};
struct VersionPart {
  uint32_t partKind;
  const char* key;    // keyword in the version files; null ends the table
  const char* label;  // label in the version report
  uint32_t updateNeeded;
};
// The steps in number order; a plan line names a step by its key.
inline constexpr UpdateStep updateSteps[] = {
    {CHECK_VERSIONS, "CHECK_VERSIONS", "Version Check:", PART_NONE},
    {BT_MOD_SET_READ, "BT_MOD_SET_READ", "Read PS-Keys:", PART_NONE},
    {BT_MOD_SET_COMP, "BT_MOD_SET_COMP", "Compare PS-Keys:", PART_NONE},
    {BT_MOD_SET_NEW_WRITE, "BT_MOD_SET_NEW_WRITE", "Write diff. PS-Keys:", PART_PSKEYS},
    {BT_MOD_SET_ALL_WRITE, "BT_MOD_SET_ALL_WRITE", "Write all PS-Keys:", PART_PSKEYS},
    {BT_MOD_SET_FIRM_STACK, "BT_MOD_SET_FIRM_STACK", "Update Trilo Firmware:", PART_FIRMWARE},
    {LAP_SOFTWARE, "LAP_SOFTWARE", "Update skq Software:", PART_LAP_SOFTWARE},
    {0, nullptr, nullptr, PART_NONE},
};

// Keys of the version files, one per part (the rows of versionParts).
constexpr const char* firmwarePartKey = "BTFIRMWARE";
constexpr const char* pskeyPartKey = "CSRMODULINFO";
constexpr const char* softwarePartKey = "LAP_VERSION";
extern VersionPart versionParts[];

constexpr size_t planSize = 21;   // up to 20 steps and the terminating 0
constexpr size_t planMaxSteps = 20;
extern uint32_t updatePlan[planSize];
extern size_t planCursor;         // index of the entry that becomes current next
extern uint32_t currentStep;
extern int updateOk;
extern int dfuFailed;

// Text files (the plan, the download tool's error log) are read in pieces of
// at most lineReadSize - 1 characters; a longer line arrives as several.
constexpr size_t lineReadSize = 1023;

constexpr const char* todoPath = "/tmp/update.d/updatetodo.txt";
constexpr const char* versionPath = "/tmp/update.d/VERSION";
constexpr const char* installedVersionPath = "/etc/data.txt";
constexpr const char* dfuStatusPath = "/tmp/dfu_status.log";
constexpr const char* dfuErrorPath = "/tmp/dfu_error.log";
// The BCSP drivers of the package, loaded in this order before the download.
inline constexpr const char* bcspDrivers[] = {"linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"};

// The start request: has the archive checked and unpacked, answers the
// admin side when the archive is rejected, reads the plan and announces its
// first step.
void beginUpdate();

// Plan and reports.
int readUpdatePlan(const char* path);
void nextUpdateStep(const char* result);
// Ends the plan after the current step: nothing later in it runs.
void dropRestOfPlan();
// Appends every line of the file to the status file (toStatus) and to
// standard output (toConsole). -1 when it does not open.
int copyFileToUpdateLog(const char* path, bool toStatus = true, bool toConsole = false);
// Clean state for a new update: updateOk, the updateNeeded flags, the step
// flags and the writers' positions.
void resetUpdateState();

// Step driver: one transition of the current step per call.
void runUpdateStep();

// Version check.
constexpr size_t versionTextSize = 1023;  // 1022 characters and the terminator
// The new firmware and configuration versions ride in two PS-keys of the
// package's key file, each usable only with at least so many words.
constexpr const char* firmwareVersionKeyPrefix = "&02a5 = ";
constexpr int firmwareVersionMinWords = 10;  // bytes 0..19
constexpr const char* configVersionKeyPrefix = "&02a4 = ";
constexpr int configVersionMinWords = 2;  // bytes 0..3
int checkVersions();

}  // namespace upd
