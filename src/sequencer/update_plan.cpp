// The update plan read from the package, the step announcements and results
// in the status file, the finish step and the start request.
#include <cstdio>
#include <cstring>

#include "admin_link/admin_link.h"
#include "bt_module/bt_module.h"
#include "file_util/file_util.h"
#include "image/image.h"
#include "log/log.h"
#include "platform/platform.h"
#include "pskey_files/pskey_files.h"
#include "sequencer/sequencer.h"
#include "sequencer/sequencer_internal.h"

namespace upd {

// The row order matters: the PS-key row looks at the firmware row before it.
VersionPart versionParts[] = {
    {PART_FIRMWARE, firmwarePartKey, "Trilo Firmware ...", 1},
    {PART_PSKEYS, pskeyPartKey, "PS-Key         ...", 1},
    {PART_LAP_SOFTWARE, softwarePartKey, "skq Software   ...", 1},
    {4, nullptr, nullptr, 1},
};

uint32_t updatePlan[planSize] = {};
size_t planCursor = 0;
uint32_t currentStep = 0;
int updateOk = 1;
int dfuFailed = 0;

namespace {

// The finish step writes its line and lists the status file once for each
// verdict: at start-up and after each start request.
int finishLineDue = 1;

constexpr size_t announcementSize = 64;  // 22 columns of label and both texts

const char* const finishLabel = "*UPDATE_FINISHED*";
const char* const finishSeparator = " ... ";
const char* const skipText = "nothing to do ... ";

const UpdateStep* findStep(uint32_t number) {
  for (const UpdateStep* step = updateSteps; step->key != nullptr; ++step)
    if (step->number == number) return step;
  return nullptr;
}

const VersionPart* findPart(uint32_t partKind) {
  for (const VersionPart* part = versionParts; part->key != nullptr; ++part)
    if (part->partKind == partKind) return part;
  return nullptr;
}

// The plan entry at index; 0 beyond the end of the array.
uint32_t planEntry(size_t index) { return index < planSize ? updatePlan[index] : 0; }

void clearPlan() {
  std::memset(updatePlan, 0, sizeof updatePlan);
  planCursor = 0;
}

// A line that names no step is free text; it is shown on standard error so
// that a misspelled step can be found. Blank lines say nothing.
void reportFreeText(const char* path, const char* line) {
  size_t length = std::strcspn(line, "\r\n");
  if (length == 0) return;
  OPERATION_INFO("readUpdatePlan", 1, "%s: line names no step, ignored: %.*s\n", path,
                 static_cast<int>(length), line);
}

}  // namespace

void appendStatus(const char* text) {
  size_t length = std::strlen(text);
  if (length > 0) writeFile(statusFilePath, "a", text, length);
}

int readUpdatePlan(const char* path) {
  // Whatever happens, no step of an earlier plan is left behind.
  clearPlan();
  FileStream stream(openFileStream(path, "r"));
  if (!stream) return -1;

  size_t taken = 0;
  char line[lineReadSize];
  while (std::fgets(line, static_cast<int>(sizeof line), stream.get()) != nullptr) {
    if (line[0] == '#') continue;
    const UpdateStep* step = updateSteps;
    for (; step->key != nullptr; ++step) {
      if (std::strncmp(line, step->key, std::strlen(step->key)) != 0) continue;
      if (taken < planMaxSteps) {
        std::printf("state %d   %s", static_cast<int>(step->number), line);
        updatePlan[planCursor++] = step->number;
        ++taken;
      } else {
        updatePlan[planCursor] = 0;
      }
      break;
    }
    if (step->key == nullptr) reportFreeText(path, line);
  }
  updatePlan[planCursor] = 0;
  planCursor = 0;
  return 1;
}

void nextUpdateStep(const char* result) {
  platform::alarm(0);
  appendStatus(result);

  std::printf("states to do: ");
  for (size_t index = planCursor; planEntry(index) != 0; ++index)
    std::printf("%d ", static_cast<int>(updatePlan[index]));
  std::printf("\n");

  const uint32_t next = planEntry(planCursor);
  bool skipped = false;
  if (const UpdateStep* step = findStep(next)) {
    char announcement[announcementSize];
    std::snprintf(announcement, sizeof announcement, "%-22.22s started ... ", step->label);
    if (step->partKind != PART_NONE) {
      const VersionPart* part = findPart(step->partKind);
      if (part != nullptr && part->updateNeeded == 0) {
        std::strncat(announcement, skipText, sizeof announcement - std::strlen(announcement) - 1);
        skipped = true;
      }
    }
    std::printf("%s\n", announcement);
    appendStatus(announcement);
  }

  currentStep = next;
  if (planCursor < planSize) ++planCursor;
  stepFaults = 0;
  StepEvent = STEP_NEW;
  if (skipped) nextUpdateStep("OK\n");
}

void dropRestOfPlan() {
  if (planCursor < planSize) updatePlan[planCursor] = 0;
}

int copyFileToUpdateLog(const char* path, bool toStatus, bool toConsole) {
  FileStream stream(openFileStream(path, "r"));
  if (!stream) return -1;
  char line[lineReadSize];
  while (std::fgets(line, static_cast<int>(sizeof line), stream.get()) != nullptr) {
    if (toConsole) std::printf("%s", line);
    if (toStatus) appendStatus(line);
  }
  return 1;
}

// The result report goes out on every call; the line and the listing of the
// status file once for each verdict, so that an idle daemon neither grows
// its status file nor floods its console.
void runFinishStep() {
  const char* result = updateOk == 1 ? "OK" : "NOK";
  const bool due = finishLineDue != 0;
  finishLineDue = 0;
  if (due) {
    char line[announcementSize];
    std::snprintf(line, sizeof line, "%s%s%s\n", finishLabel, finishSeparator, result);
    appendStatus(line);
  }
  sendUpdateInd(UPD_CODE_RESULT, result, std::strlen(result));
  if (due) copyFileToUpdateLog(statusFilePath, false, true);
}

void resetUpdateState() {
  updateOk = 1;
  finishLineDue = 1;
  for (VersionPart* part = versionParts; part->key != nullptr; ++part) part->updateNeeded = 1;
  dfuFailed = 0;
  stepFaults = 0;
  dfuPid = 0;
  StepEvent = STEP_NEW;
  clearPlan();
  resetKeyWalk();
  resetKeyWriters();
  LinkMode = LINK_SERIAL_HCI;
}

void beginUpdate() {
  if (currentStep >= CHECK_VERSIONS && currentStep <= LAP_SOFTWARE) {
    // The running update keeps going; its result report still comes when it
    // finishes.
    OPERATION_ERROR("readMessage", Warning, 104,
                    "update already running; start request ignored \n");
    return;
  }
  resetUpdateState();
#if UPDATE_SIGNED_ARCHIVES
  forgetVerifiedSoftware();
#endif
  const int verdict = startUpdate();
  if (verdict == ARCHIVE_REJECTED) {
    static constexpr char okText[] = "OK";  // sent with its terminating NUL
#if UPDATE_SIGNED_ARCHIVES
    // An archive refused for its signature: the reply says why, with its NUL.
    if (const char* reason = archiveRejection())
      sendUpdateRsp(UPD_CODE_START, reason, std::strlen(reason) + 1);
    else
#endif
      sendUpdateRsp(UPD_CODE_START, okText, sizeof okText);
  }
  // The plan comes from this package only. A start request that leads to no
  // plan is a failed update: the finish step reports it as such.
  if (verdict != PACKAGE_UNPACKED || readUpdatePlan(todoPath) != 1) updateOk = 0;
  nextUpdateStep("");
}

}  // namespace upd
