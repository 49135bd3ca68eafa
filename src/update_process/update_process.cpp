// Start-up, the poll loop, the signal handlers and the orderly end.
#include "update_process/update_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin_link/admin_link.h"
#include "bt_module/bt_module.h"
#include "child_process/child_process.h"
#include "common/step_event.h"
#include "image/image.h"
#include "log/log.h"
#include "platform/platform.h"
#include "sequencer/sequencer.h"

#ifndef UPDATE_BUILD_TIME
#define UPDATE_BUILD_TIME "unknown"
#endif

namespace upd {

volatile sig_atomic_t isRunning = 1;
volatile sig_atomic_t exitInProgress = 0;
volatile sig_atomic_t inSignalHandler = 0;

namespace {

// How long the download tool has to end after SIGTERM at the daemon's end,
// in milliseconds of the daemon's time, before it is killed.
constexpr unsigned toolStopGraceMs = 5000;

// Marks the span of a signal handler; errno is kept for the interrupted flow.
struct HandlerScope {
  int savedErrno;
  HandlerScope() : savedErrno(errno) { ++inSignalHandler; }
  ~HandlerScope() {
    --inSignalHandler;
    errno = savedErrno;
  }
};

void serveModuleChannel() {
  short events = pollSet.slots[pollSet.moduleSlot].revents;
  if ((events & (POLLIN | POLLPRI)) == (POLLIN | POLLPRI))
    readBtModule();
  else if (events & POLLIN)
    readBtModuleBccmdChannel();
  runUpdateStep();
}

// A download tool still running would go on changing the module after the
// daemon has gone: it is stopped with everything it started. From here on
// no handler runs: the child-dead notice of the tool is not wanted any more,
// and a second SIGTERM finds the end already under way.
void stopDownloadTool() {
  sigset_t held;
  sigfillset(&held);
  platform::sigprocmask(SIG_BLOCK, &held, nullptr);
  const pid_t tool = dfuPid;
  if (tool <= 0) return;
  dfuPid = 0;
  if (stopChildGroup(tool, toolStopGraceMs) == 1)
    OPERATION_INFO("exitHandler", 1, "download tool (pid %d) stopped\n", static_cast<int>(tool));
}

}  // namespace

void exitHandler(int signalNumber) {
  stopDownloadTool();
  closeAiSocket();
  isRunning = 0;
  // From a signal handler only async-signal-safe calls: no stdio flush.
  if (signalNumber != 0 || inSignalHandler) _exit(0);
  std::fflush(stdout);
  std::exit(0);
}

void reboot(const char* reason) {
  if (exitInProgress) return;
  exitInProgress = 1;
  LOG_ERROR(Warning, 107, "Exit because %s !!\n", reason);
  exitHandler(0);
}

void alarmHandler(int) {
  HandlerScope scope;
  LOG_ERROR(Critical, 107, "Update step timed out !!!");
  StepEvent = STEP_TIMEOUT;
}

void childDead(int) {
  HandlerScope scope;
  LOG_INFO(3, "Child dead signal arrived\n");
  int status = 0;
  pid_t pid;
  while ((pid = platform::waitpid(-1, &status, WNOHANG)) > 0) {
    AiMessage notice;
    std::memset(&notice, 0, sizeof notice);
    notice.length = static_cast<uint16_t>(aiChildDeadSize);
    notice.type = AI_MSG_CHILD_DEAD;
    setAiWord(notice, 8, static_cast<uint32_t>(pid));
    setAiWord(notice, 12, static_cast<uint32_t>(status));
    writeMessageTo(notice, static_cast<int>(aiChildDeadSize), ownSocketPath);
  }
}

void initUpdateProcess() {
  platform::remove(statusFilePath);
  checkFlashConfig();
}

int updateProcessMain() {
  // Console prints are whole lines; keep them in order with the shell's output.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  pollSet.moduleSlot = 0;
  pollSet.nfds = 0;
  printStderr("Veltrix skyquill BT-LAP update software.\n");
  printStderr("Version: %s  Compilation time: %s\n", versionText, UPDATE_BUILD_TIME);

  std::signal(SIGTERM, exitHandler);
  std::signal(SIGALRM, alarmHandler);
  std::signal(SIGCHLD, childDead);

  int fd = openAiSocket(ownSocketPath);
  if (fd < 0) {
    int error = errno;
    OPERATION_ERROR("main", Critical, 108, "open error on ai socket: %d %s \n", error,
                    errorText(error));
  }
  setAiDestination(adminSocketPath);
  pollSet.slots[0] = {fd, POLLIN, 0};
  pollSet.nfds = 1;

  initUpdateProcess();
  OPERATION_INFO("main", 3, "nfds=%d \n", pollSet.nfds);
  sendUpdateInd(UPD_CODE_STATUS, helloPayload, sizeof helloPayload);

  while (isRunning) {
    int n = platform::poll(pollSet.slots, static_cast<nfds_t>(pollSet.nfds), pollTimeoutMs);
    if (n == -1) {
      int error = errno;
      if (error == EINTR)
        OPERATION_INFO("main", 3, "some signal occured: errno = %d %s \n", error, errorText(error));
      else
        OPERATION_ERROR("main", Fatal, 110, "poll error: %d %s \n", error, errorText(error));
      continue;
    }
    if (n == 0) {
      OPERATION_INFO("main", 3, "poll timeout \n");
      runUpdateStep();
    } else if (pollSet.slots[0].revents & (POLLIN | POLLPRI | POLLERR | POLLHUP)) {
      isRunning = readMessage();
    } else if (pollSet.moduleSlot <= 0) {
      OPERATION_ERROR("main", Warning, 111, "Unknown filedescriptor %d\n", n);
    } else {
      serveModuleChannel();
    }
    if (!isRunning) exitHandler(0);
  }
  return 0;
}

}  // namespace upd
