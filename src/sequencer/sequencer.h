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
extern const UpdateStep updateSteps[];
extern VersionPart versionParts[];

constexpr size_t planSize = 21;   // up to 20 steps and the terminating 0
constexpr size_t planMaxSteps = 20;
extern uint32_t updatePlan[planSize];
extern size_t planCursor;         // index of the entry that becomes current next
extern uint32_t currentStep;
extern int updateOk;
extern int dfuFailed;

constexpr const char* todoPath = "/tmp/update.d/updatetodo.txt";
constexpr const char* versionPath = "/tmp/update.d/VERSION";
constexpr const char* installedVersionPath = "/etc/data.txt";
constexpr const char* dfuStatusPath = "/tmp/dfu_status.log";
constexpr const char* dfuErrorPath = "/tmp/dfu_error.log";

// The start request: has the archive checked and unpacked, answers the
// admin side when the archive is rejected, reads the plan and announces its
// first step.
void beginUpdate();

// Plan and reports.
int readUpdatePlan(const char* path);
void nextUpdateStep(const char* result);
// Ends the plan after the current step: nothing later in it runs.
void dropRestOfPlan();
int copyFileToUpdateLog(const char* path);
// Clean state for a new update: updateOk, the updateNeeded flags, the step
// flags and the writers' positions.
void resetUpdateState();

// Step driver: one transition of the current step per call.
void runUpdateStep();

// Version check.
constexpr size_t versionTextSize = 1023;  // 1022 characters and the terminator
int checkVersions();
int readVersionValue(const char* path, const char* key, char* value);

}  // namespace upd
