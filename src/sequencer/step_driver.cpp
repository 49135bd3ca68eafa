// The step driver: one transition of the current step per call, chosen by
// currentStep and the last StepEvent. Replies, time-outs and the end of the
// download tool arrive as new StepEvent values; nothing here waits for the
// module.
#include <fcntl.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "admin_link/admin_link.h"
#include "bt_module/bt_module.h"
#include "child_process/child_process.h"
#include "file_util/file_util.h"
#include "image/image.h"
#include "log/log.h"
#include "platform/platform.h"
#include "pskey_files/pskey_files.h"
#include "sequencer/sequencer.h"
#include "sequencer/sequencer_internal.h"

namespace upd {
namespace {

// Step time-outs in seconds.
constexpr unsigned readStartTimeout = 15;
constexpr unsigned readKeyTimeout = 10;
constexpr unsigned newWriteStartTimeout = 10;
constexpr unsigned newWriteKeyTimeout = 5;
constexpr unsigned allWriteStartTimeout = 30;
constexpr unsigned allWriteKeyTimeout = 10;
constexpr unsigned firmwareStartTimeout = 10;
constexpr unsigned firmwareKeyTimeout = 15;
constexpr unsigned imageWriteTimeout = 100;

constexpr unsigned progressPause = 3;
// A download whose figure stands still this long (daemon seconds) is
// stopped; after SIGTERM its tool has toolKillGraceSeconds before SIGKILL.
constexpr unsigned stalledDownloadSeconds = 300;
constexpr int toolKillGraceSeconds = 5;
constexpr size_t progressFigureLength = 4;
constexpr const char* progressSuffix = " percent ";
constexpr const char* progressStart = "  0 percent ";
constexpr const char* assumeBcspText = "...assuming BCSP -> try BCSP\n";
constexpr const char* downloadFailedText = "NOK\n nothing done... try again\n";
constexpr const char* nothingToDoText = "nothing to do ... OK\n";
constexpr const char* setBackFromBcspText =
    "module answered on BCSP: serial host interface set back\n";

constexpr size_t commandSize = 128;

void failStep() {
  platform::alarm(0);
  openBtModule(0);
  updateOk = 0;
  nextUpdateStep(" NOK\n");
}

// Opens the module channel. When the BCSP node refuses its set-up, the
// module cannot be brought back: the step fails, so the update cannot finish
// as "OK", and the link goes back to serial for the steps that follow.
// Returns false then, and the caller stops.
bool openModuleForStep() {
  if (openBtModule(1) != BT_LINK_REFUSED) return true;
  LinkMode = LINK_SERIAL_HCI;
  failStep();
  return false;
}

// Where a step's time-out counts from: the start of the work that sends the
// request (it then covers reset, open and any preparation too), or the
// request being out.
enum class AlarmFrom { work, request };

// Does the work that sends the step's next request and waits for the
// module's answer or the step's alarm. The wait is set first: the answer
// always finds it, and an alarm that expires during the work is never
// overwritten and lost.
template <typename Send>
void awaitAnswer(unsigned seconds, Send send, AlarmFrom from = AlarmFrom::work) {
  StepEvent = STEP_WAIT;
  if (from == AlarmFrom::work) platform::alarm(seconds);
  send();
  if (from == AlarmFrom::request) platform::alarm(seconds);
}

// Reset, open, HCI Reset: the start of every module step; the Command
// Complete of HCI Reset brings STEP_REPLY.
void startModuleWork() {
  resetBtModule();
  if (!openModuleForStep()) return;
  sendHciCmd(0, hciResetOpcode, nullptr);
}

bool fileReadable(const char* path) {
  platform::UniqueFd fd(openRegularFile(path));
  return fd.valid();
}

// Loads the package's BCSP drivers, in their order, ignoring the results;
// with onlyPresent a driver the package does not carry is left out.
void loadBcspDrivers(bool onlyPresent) {
  for (const char* driver : bcspDrivers) {
    char command[commandSize];
    std::snprintf(command, sizeof command, "/bin/insmod %s%s", updateDir, driver);
    if (onlyPresent && !fileReadable(command + std::strlen("/bin/insmod "))) continue;
    platform::system(command);
  }
}

// The package's keys without their comments; false when they could not be
// prepared whole (no prepared file is left then).
bool prepareNewKeys() {
  platform::remove(preparedPSKeyPath);
  return preparePSKeyFile(newPSKeyPath, preparedPSKeyPath) == 1;
}

// The three PS-key steps differ only in their time-outs, what they do
// before the module is opened, the request they send per answer and what
// they do once the module is closed.
struct KeyStep {
  unsigned startTimeout;    // reset, open and HCI Reset
  unsigned requestTimeout;  // each request
  bool (*ready)();          // at STEP_NEW: false ends the step with nothing to do
  bool (*prepare)();        // before the module is reset; false fails the step
  void (*request)();        // the next request, after every answer
  void (*finish)();         // after the module is closed, before "OK"
};

bool always() { return true; }
bool keysToSet() { return fileReadable(toSetPSKeyPath); }
void nothing() {}
bool removeDump() {
  platform::remove(dumpPSKeyPath);
  return true;
}
void protectDump() { platform::chmod(dumpPSKeyPath, 0444); }
void readNextKey() { readAllPSKeys(); }
void writeKeysToSet() { writeAllPSKeys(toSetPSKeyPath); }
void writePreparedKeys() { writeAllPSKeys(preparedPSKeyPath); }
void writeNextHostIfKey() { writeHostIfPSKeys(0); }

constexpr KeyStep readKeys = {readStartTimeout, readKeyTimeout, always,
                              removeDump,       readNextKey,    protectDump};
constexpr KeyStep writeNewKeys = {newWriteStartTimeout, newWriteKeyTimeout, keysToSet,
                                  always,               writeKeysToSet,     nothing};
constexpr KeyStep writeAllKeys = {allWriteStartTimeout, allWriteKeyTimeout, always,
                                  prepareNewKeys,       writePreparedKeys,  nothing};

// Where a module step looks for its module. First on the serial link after
// the reset. Silent there, it may be on BCSP: an update cut off between
// writing the serial host-interface set and the BCSP set leaves it so. Then
// the step looks on BCSP and, where it answers, writes the BCSP set, which
// returns it to serial HCI, and starts over on serial. Once the module has
// answered on serial, or has been set back, a time-out fails the step.
enum class Search { serial, bcsp, done };
Search search = Search::serial;

// Silent on both links, or no BCSP node to look on: the step fails, and the
// steps that follow start on serial again.
void notFoundOnBcsp() {
  openBtModule(0);
  LinkMode = LINK_SERIAL_HCI;
  OPERATION_ERROR("runUpdateStep", Critical, 107, "module not found on BCSP either\n");
  failStep();
}

// Drivers, BCSP node, the first key of the BCSP set, under a fresh alarm.
void searchOnBcsp(unsigned seconds) {
  openBtModule(0);
  search = Search::bcsp;
  awaitAnswer(seconds, [] {
    loadBcspDrivers(true);
    LinkMode = LINK_BCSP;  // the host-interface set is at its first key since the begin
    const int opened = openBtModule(1);
    if (opened == BT_LINK_REFUSED) {
      LinkMode = LINK_SERIAL_HCI;
      failStep();
    } else if (opened != 1) {
      notFoundOnBcsp();
    } else {
      writeNextHostIfKey();
    }
  });
}

void beginModuleWork(const KeyStep& step) {
  awaitAnswer(step.startTimeout, [&step] {
    // Every step starts its walk or pass afresh, whatever an earlier step
    // that timed out left behind.
    resetKeyWalk();
    resetKeyWriters();
    // Keys that could not be prepared are not written: the module is left
    // as it is.
    if (!step.prepare()) {
      failStep();
      return;
    }
    startModuleWork();
  });
}

void runKeyStep(const KeyStep& step) {
  switch (StepEvent) {
    case STEP_NEW:
      if (step.ready()) {
        StepEvent = STEP_BEGIN;
        runUpdateStep();
      } else {
        nextUpdateStep(nothingToDoText);
      }
      break;
    case STEP_BEGIN:
      search = Search::serial;
      beginModuleWork(step);
      break;
    case STEP_REPLY:
      if (search == Search::bcsp) {
        awaitAnswer(step.requestTimeout, writeNextHostIfKey);
        break;
      }
      search = Search::done;
      awaitAnswer(step.requestTimeout, step.request);
      break;
    case STEP_LINK_SWITCH:  // the BCSP set is in: back to serial, from the reset on
      openBtModule(0);
      LinkMode = LINK_SERIAL_HCI;
      appendStatus(setBackFromBcspText);
      search = Search::done;
      beginModuleWork(step);  // afresh: the set's answers are no dump lines
      break;
    case STEP_DONE:
      openBtModule(0);
      step.finish();
      // A key refused or a dump line lost on the way fails the step.
      if (stepFaults == 0)
        nextUpdateStep("OK\n");
      else
        failStep();
      break;
    case STEP_TIMEOUT:
      if (search == Search::serial)
        searchOnBcsp(step.startTimeout);
      else if (search == Search::bcsp)
        notFoundOnBcsp();
      else
        failStep();
      break;
    default:
      break;
  }
}

void compareKeysStep() {
  const bool prepared = prepareNewKeys();
  platform::remove(comparePSKeyPath);
  platform::remove(toSetPSKeyPath);
  if (prepared && comparePSKeyFiles(preparedPSKeyPath, dumpPSKeyPath) == 1) {
    nextUpdateStep("OK\n");
  } else {
    // The configuration cannot be brought over: no part of a write set is
    // written, and the update has failed.
    platform::remove(toSetPSKeyPath);
    updateOk = 0;
    nextUpdateStep(" NOK\n");
  }
  // Writing the differing keys may start at once; any other step that
  // follows waits for its own call.
  if (currentStep == BT_MOD_SET_NEW_WRITE && StepEvent == STEP_NEW) runUpdateStep();
}

// The download's watch: the figure shown last, the daemon seconds it has
// stood still and those since the tool was told to stop for it (-1: not
// told). Counted as the progress display's pauses and the one-second tick
// before each: never more than the time that has passed.
struct DownloadWatch {
  char figure[progressFigureLength + 1];
  unsigned still;
  int sinceStop;
};
DownloadWatch watch = {};

// A download whose figure has not changed for stalledDownloadSeconds is
// stopped: SIGTERM to the tool's group, SIGKILL when it is still there
// toolKillGraceSeconds later. Its end then comes as the child-dead notice
// of a failed download.
void watchForStall(const char* figure, unsigned seconds) {
  // A tick without a figure is no progress either.
  if (figure[0] != '\0' && std::strcmp(figure, watch.figure) != 0) {
    std::strcpy(watch.figure, figure);
    watch.still = 0;
    return;
  }
  watch.still += seconds;
  if (dfuPid <= 0) return;
  if (watch.sinceStop >= 0) {
    watch.sinceStop += static_cast<int>(seconds);
    if (watch.sinceStop >= toolKillGraceSeconds) platform::kill(-dfuPid, SIGKILL);
  } else if (watch.still >= stalledDownloadSeconds) {
    LOG_ERROR(Critical, 107, "download made no progress for %u s: download tool (pid %d) stopped\n",
              stalledDownloadSeconds, static_cast<int>(dfuPid));
    watch.sinceStop = 0;
    platform::kill(-dfuPid, SIGTERM);
  }
}

// The download tool's figure: the first four characters of its status log,
// up to a NUL and without the blanks or line end that may follow a shorter
// figure, and " percent ". The log is read quietly: it is not there until
// the tool writes it, and however long it grows only its start is read;
// anything but a regular file gives no figure. A tick without a figure
// leaves the last one standing.
void showProgress() {
  const unsigned left = platform::sleep(progressPause);
  char figure[progressFigureLength + 1] = {};
  platform::UniqueFd log(openRegularFile(dfuStatusPath));
  ssize_t n = log.valid() ? platform::read(log.get(), figure, progressFigureLength) : -1;
  if (n > 0) n = static_cast<ssize_t>(strnlen(figure, static_cast<size_t>(n)));
  while (n > 0 && std::strchr(" \t\r\n", figure[n - 1]) != nullptr) figure[--n] = '\0';
  watchForStall(figure, progressPause - left + 1);  // the figure: "" without one
  if (n <= 0) return;
  char text[progressFigureLength + 16];
  std::snprintf(text, sizeof text, "%s%s", figure, progressSuffix);
  std::printf("%s\n", text);
  showProgressFigure(text, std::strlen(text));
}

// The tool's error log to the console and the status file; the rest of the
// plan is dropped at once, whatever becomes of the link. The module is then
// brought back like after a good download, and the step ends "NOK".
void downloadFailed() {
  copyFileToUpdateLog(dfuErrorPath, true, true);
  platform::alarm(0);
  updateOk = 0;
  dfuFailed = 1;
  dropRestOfPlan();
  StepEvent = STEP_DFU_ENDED;
}

// The end of the firmware step; after a failed download it says so.
void endFirmwareStep(const char* result) {
  nextUpdateStep(dfuFailed != 0 ? downloadFailedText : result);
}

// No answer on the BCSP link after the download: the key set that returns
// the module to serial HCI is not in. The steps that follow use the serial
// link all the same.
void bcspSetNotAnswered() {
  platform::alarm(0);
  openBtModule(0);
  OPERATION_ERROR("runUpdateStep", Critical, 107,
                  "module host interface not restored: no answer on %s\n", bcspNodePath);
  LinkMode = LINK_SERIAL_HCI;
  updateOk = 0;
  endFirmwareStep(" NOK\n");
}

// Switches to BCSP, loads its drivers and starts the download tool. False
// when the tool could not be started.
bool startDownload() {
  LinkMode = LINK_BCSP;
  loadBcspDrivers(false);
  // What the tool reports belongs to this run only.
  platform::remove(dfuStatusPath);
  platform::remove(dfuErrorPath);
  char program[commandSize];
  std::snprintf(program, sizeof program, "%s%s", updateDir, dfuArgv[0]);
  dfuPid = startChildProcess(updateDir, program, dfuArgv, nullptr, nullptr);
  if (dfuPid < 0) return false;
  watch = {};
  watch.sinceStop = -1;
  appendProgressFigure(progressStart, std::strlen(progressStart));
  StepEvent = STEP_DFU_RUNNING;
  return true;
}

void linkSwitch() {
  platform::alarm(0);
  openBtModule(0);
  if (LinkMode != LINK_BCSP) {
    if (!startDownload()) {
      // No child-dead notice will ever come: fail the download now.
      downloadFailed();
      return;
    }
  } else {
    LinkMode = LINK_SERIAL_HCI;
    StepEvent = STEP_DONE;
  }
  showProgress();
}

void firmwareStep() {
  switch (StepEvent) {
    case STEP_NEW:
    case STEP_DFU_ENDED:
      resetKeyWriters();  // the host-interface set starts at its first key
      resetBtModule();
      if (!openModuleForStep()) return;
      // The time-out runs from the first key, not from the reset and open.
      awaitAnswer(firmwareStartTimeout, writeNextHostIfKey, AlarmFrom::request);
      break;
    case STEP_BEGIN:
    case STEP_REPLY:
      awaitAnswer(firmwareKeyTimeout, writeNextHostIfKey);
      break;
    case STEP_LINK_SWITCH:
      linkSwitch();
      break;
    case STEP_DFU_RUNNING:
      showProgress();
      break;
    case STEP_DONE:
      if (stepFaults != 0) updateOk = 0;  // a host-interface key refused
      endFirmwareStep(stepFaults == 0 ? "OK\n" : " NOK\n");
      break;
    case STEP_TIMEOUT:
      if (LinkMode == LINK_BCSP) {
        bcspSetNotAnswered();
        break;
      }
      // No answer on the serial link: take the module to be on BCSP already.
      platform::alarm(0);
      writeHostIfPSKeys(1);
      appendStatus(assumeBcspText);
      StepEvent = STEP_LINK_SWITCH;
      break;
    case STEP_DFU_FAILED:
      downloadFailed();
      break;
    default:
      break;
  }
}

void softwareStep() {
  platform::alarm(imageWriteTimeout);
  if (writeImage() == 1) {
    nextUpdateStep("OK\n");
  } else {
    nextUpdateStep(" NOK\n");
    updateOk = 0;
  }
  platform::alarm(0);
}

}  // namespace

void runUpdateStep() {
  switch (currentStep) {
    case STEP_FINISH:
      runFinishStep();
      break;
    case CHECK_VERSIONS:
      checkVersions();
      nextUpdateStep("\n");
      break;
    case BT_MOD_SET_READ:
      runKeyStep(readKeys);
      break;
    case BT_MOD_SET_COMP:
      compareKeysStep();
      break;
    case BT_MOD_SET_NEW_WRITE:
      runKeyStep(writeNewKeys);
      break;
    case BT_MOD_SET_ALL_WRITE:
      runKeyStep(writeAllKeys);
      break;
    case BT_MOD_SET_FIRM_STACK:
      firmwareStep();
      break;
    case LAP_SOFTWARE:
      softwareStep();
      break;
    default:  // no such step: nothing to do
      break;
  }
}

}  // namespace upd
