// The step driver in-process on the simulated board: the comparison step and
// what may follow it, the module steps' time-outs, and a download tool that
// cannot be started. The loop is driven by hand: call runUpdateStep, and wait
// for the (scaled) alarm where a step waits for one.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "admin_link/admin_link.h"  // dfuPid
#include "bt_module/bt_module.h"
#include "platform/platform.h"
#include "sequencer/sequencer.h"
#include "test_support.h"
#include "update_process/update_process.h"

namespace {

using testsupport::Sandbox;

constexpr double waitSeconds = 20;

const std::string keysOrig = "// configuration\r\n&0001 = 0001\r\n&01f9 = 0003 // link\r\n";
const std::string keysSame = "&0001 = 0001\r\n&01f9 = 0003 \r\n";
const std::string keysOther = "&0001 = 0002\r\n&01f9 = 0003 \r\n";

const char* const announcements[] = {
    "",
    "Version Check:         started ... ",
    "Read PS-Keys:          started ... ",
    "Compare PS-Keys:       started ... ",
    "Write diff. PS-Keys:   started ... ",
    "Write all PS-Keys:     started ... ",
    "Update Trilo Firmware: started ... ",
    "Update skq Software:   started ... ",
};

struct DriverTest : ::testing::Test {
  Sandbox sandbox;
  void (*previousAlarmHandler)(int) = SIG_DFL;
  void (*previousChildHandler)(int) = SIG_DFL;

  void SetUp() override {
    testsupport::useInProcess(sandbox);
    ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
    upd::openBtModule(0);
    // Slot 0 stands for the admin socket, as after start-up: only the main
    // loop puts it there.
    upd::pollSet.slots[0] = {-1, POLLIN, 0};
    upd::pollSet.nfds = 1;
    previousAlarmHandler = std::signal(SIGALRM, upd::alarmHandler);
    previousChildHandler = std::signal(SIGCHLD, SIG_DFL);
    startPlan({});  // the finish step is current
  }
  void TearDown() override {
    platform::alarm(0);
    upd::openBtModule(0);
    startPlan({});
    std::signal(SIGALRM, previousAlarmHandler);
    std::signal(SIGCHLD, previousChildHandler);
  }

  // A fresh update of the steps (by number) with its first step announced,
  // as a start request leaves it.
  void startPlan(const std::vector<uint32_t>& steps) {
    std::string todo;
    for (uint32_t number : steps)
      for (const upd::UpdateStep* step = upd::updateSteps; step->key != nullptr; ++step)
        if (step->number == number) todo += std::string(step->key) + "\n";
    upd::resetUpdateState();
    sandbox.write("/tmp/update.d/updatetodo.txt", todo);
    ::testing::internal::CaptureStdout();
    upd::readUpdatePlan(upd::todoPath);
    upd::nextUpdateStep("");
    ::testing::internal::GetCapturedStdout();
  }
  // One call of the driver, its prints kept out.
  static void step() {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    upd::runUpdateStep();
    std::fflush(stdout);
    ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();
  }
  bool waitForTimeout() {
    return testsupport::waitUntil(waitSeconds,
                                  [] { return upd::StepEvent == upd::STEP_TIMEOUT; });
  }
  // Waiting for the module, or already past the alarm on a slow machine.
  static bool waiting() {
    return upd::StepEvent == upd::STEP_WAIT || upd::StepEvent == upd::STEP_TIMEOUT;
  }
  // Whether an alarm is pending; cancels it.
  static bool alarmPending() { return platform::alarm(0) > 0; }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  static bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
};

// The comparison reports its result; after it only a following
// BT_MOD_SET_NEW_WRITE starts in the same call, any other step waits for its
// own call. A failed comparison fails the update.
TEST_F(DriverTest, CompareAndWhatMayFollowInTheSameCall) {
  struct Case {
    bool dump;
    uint32_t next;
    std::string tail;  // the status file after the comparison's announcement
    uint32_t currentAfter;
  };
  const Case cases[] = {
      {true, 4, std::string("OK\n") + announcements[4] + "nothing to do ... OK\n", 0},
      {true, 5, std::string("OK\n") + announcements[5], 5},
      {true, 7, std::string("OK\n") + announcements[7], 7},
      {true, 2, std::string("OK\n") + announcements[2], 2},
      {true, 3, std::string("OK\n") + announcements[3], 3},
      {false, 0, " NOK\n", 0},
  };
  sandbox.write("/tmp/update.d/pskeyorig.psr", keysOrig);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.next);
    ::remove(sandbox.path("/tmp/update.log").c_str());
    ::remove(sandbox.path("/tmp/pskeydump.psr").c_str());
    if (c.dump) sandbox.write("/tmp/pskeydump.psr", keysSame);
    startPlan({3, c.next});
    step();
    const std::string status = statusFile();
    EXPECT_EQ(0u, status.find(announcements[3])) << status;
    EXPECT_TRUE(endsWith(status, c.tail)) << status;
    if (c.dump) {
      EXPECT_EQ(std::string(announcements[3]) + c.tail, status);
    }
    EXPECT_EQ(c.currentAfter, upd::currentStep);
    EXPECT_EQ(c.dump ? 1 : 0, upd::updateOk);
    EXPECT_FALSE(sandbox.exists("/tmp/pskeytoset.psr"));
    EXPECT_EQ(upd::STEP_NEW, upd::StepEvent);
    EXPECT_FALSE(alarmPending());
  }
}

TEST_F(DriverTest, KeysToSetStartTheWriteInTheComparisonsCall) {
  sandbox.write("/tmp/update.d/pskeyorig.psr", keysOrig);
  sandbox.write("/tmp/pskeydump.psr", keysOther);
  startPlan({3, 4});
  step();
  ASSERT_TRUE(sandbox.exists("/tmp/pskeytoset.psr"));
  EXPECT_EQ(4u, upd::currentStep);
  EXPECT_TRUE(waiting()) << "reset, open and HCI Reset are under way";
  EXPECT_NE(0, upd::pollSet.moduleSlot);
}

TEST_F(DriverTest, ModuleStepsFailAtTheirAlarm) {
  sandbox.settings("module.silent = 1\n");
  sandbox.write("/tmp/update.d/pskeyorig.psr", keysOrig);
  for (uint32_t number : {upd::BT_MOD_SET_READ, upd::BT_MOD_SET_NEW_WRITE,
                          upd::BT_MOD_SET_ALL_WRITE}) {
    SCOPED_TRACE(number);
    ::remove(sandbox.path("/tmp/update.log").c_str());
    sandbox.write("/tmp/pskeytoset.psr", keysOther);
    startPlan({number, 3});
    step();
    EXPECT_TRUE(waiting());
    EXPECT_EQ(number, upd::currentStep);
    ASSERT_TRUE(waitForTimeout());
    step();
    const std::string status = statusFile();
    EXPECT_EQ(0u, status.find(announcements[number])) << status;
    size_t timedOut = status.find("Update step timed out !!!");
    EXPECT_NE(std::string::npos, timedOut) << status;
    // Silent on serial, then not found on BCSP, whose node is not there
    // without the package's drivers.
    EXPECT_TRUE(endsWith(status, std::string("/dev/bcspRel2: 0x02 No such file or directory"
                                             "module not found on BCSP either\n NOK\n") +
                                     announcements[3]))
        << status;
    EXPECT_EQ(upd::LINK_SERIAL_HCI, upd::LinkMode);
    EXPECT_EQ(0, upd::updateOk);
    EXPECT_EQ(0, upd::pollSet.moduleSlot) << "the module channel is closed";
    EXPECT_EQ(3u, upd::currentStep);
    EXPECT_EQ(upd::STEP_NEW, upd::StepEvent);
  }
}

// In a child of the test: forbids new processes, runs one driver call and
// answers by the exit status whether the download was taken as failed.
int stepWithoutFork() {
  if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
  struct rlimit none = {0, 0};
  if (::setrlimit(RLIMIT_NPROC, &none) != 0) return 3;
  ::testing::internal::CaptureStdout();
  upd::runUpdateStep();
  bool failed = upd::dfuPid == -1 && upd::updateOk == 0 && upd::dfuFailed == 1 &&
                upd::StepEvent == upd::STEP_DFU_ENDED && upd::LinkMode == upd::LINK_BCSP;
  return failed ? 0 : 1;
}

// A download tool that cannot be started takes the failed-download path at
// once instead of showing progress for ever. A module silent on the serial
// link brings the firmware step to its download (taken to be on BCSP); the
// fork is made to fail in a child of the test by a process limit of 0.
TEST_F(DriverTest, ToolThatCannotBeStartedFailsTheDownload) {
  sandbox.settings("module.silent = 1\n");
  ::chmod(sandbox.root().c_str(), 0777);
  for (const char* folder : {"/tmp", "/tmp/update.d", "/board"})
    ::chmod(sandbox.path(folder).c_str(), 0777);
  startPlan({upd::BT_MOD_SET_FIRM_STACK, upd::LAP_SOFTWARE});
  step();
  ASSERT_TRUE(waitForTimeout());
  step();
  ASSERT_TRUE(endsWith(statusFile(), "...assuming BCSP -> try BCSP\n")) << statusFile();
  ::chmod(sandbox.path("/tmp/update.log").c_str(), 0666);
  EXPECT_EXIT(::_exit(stepWithoutFork()), ::testing::ExitedWithCode(0), "");
  const std::string status = statusFile();
  EXPECT_NE(std::string::npos, status.find("Unable to fork for /tmp/update.d/dfu !\n")) << status;
  EXPECT_EQ(std::string::npos, status.find("percent")) << status;
}

}  // namespace
