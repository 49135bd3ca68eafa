// The step driver in-process on the simulated board: the comparison step and
// what may follow it, the module steps' time-outs, and the firmware step's
// paths that need no answering module. The loop is driven by hand: call
// runUpdateStep, and wait for the (scaled) alarm where a step waits for one.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "admin_link/admin_link.h"
#include "bt_module/bt_module.h"
#include "platform/platform.h"
#include "sequencer/sequencer.h"
#include "test_support.h"
#include "update_process/update_process.h"

namespace {

using testsupport::AdminPeer;
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
    upd::resetUpdateState();
    upd::currentStep = 0;
    upd::openBtModule(0);
    // Slot 0 stands for the admin socket, as after start-up.
    upd::pollSet.slots[0] = {-1, POLLIN, 0};
    upd::pollSet.nfds = 1;
    upd::pollSet.moduleSlot = 0;
    previousAlarmHandler = std::signal(SIGALRM, upd::alarmHandler);
    previousChildHandler = std::signal(SIGCHLD, SIG_DFL);
    ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  }
  void TearDown() override {
    platform::alarm(0);
    upd::openBtModule(0);
    upd::currentStep = 0;
    upd::LinkMode = upd::LINK_SERIAL_HCI;
    std::signal(SIGALRM, previousAlarmHandler);
    std::signal(SIGCHLD, previousChildHandler);
  }

  // Makes the plan and announces its first step, as a start request does.
  void startPlan(const std::vector<uint32_t>& steps) {
    for (size_t i = 0; i < upd::planSize; ++i)
      upd::updatePlan[i] = i < steps.size() ? steps[i] : 0;
    upd::planCursor = 0;
    ::testing::internal::CaptureStdout();
    upd::nextUpdateStep("");
    ::testing::internal::GetCapturedStdout();
  }
  // One call of the driver; returns what it printed.
  std::string step() {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    upd::runUpdateStep();
    std::fflush(stdout);
    ::testing::internal::GetCapturedStderr();
    return ::testing::internal::GetCapturedStdout();
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
// own call. A failed comparison leaves updateOk alone.
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
    EXPECT_EQ(1, upd::updateOk);
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
    upd::updateOk = 1;
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
    EXPECT_TRUE(endsWith(status, std::string("Update step timed out !!! NOK\n") + announcements[3]))
        << status;
    EXPECT_EQ(0, upd::updateOk);
    EXPECT_EQ(0, upd::pollSet.moduleSlot) << "the module channel is closed";
    EXPECT_EQ(3u, upd::currentStep);
    EXPECT_EQ(upd::STEP_NEW, upd::StepEvent);
  }
}

TEST_F(DriverTest, StepNumbersAboveSevenDoNothing) {
  upd::currentStep = 8;
  for (int event : {upd::STEP_NEW, upd::STEP_TIMEOUT, upd::STEP_DONE}) {
    upd::StepEvent = event;
    step();
    EXPECT_EQ(event, upd::StepEvent);
  }
  EXPECT_EQ(8u, upd::currentStep);
  EXPECT_FALSE(sandbox.exists("/tmp/update.log"));
}

// The firmware step with a module that never answers: the time-out is taken
// for a module on BCSP already, the download runs, and after it the module
// is expected on BCSP; no answer there either ends the step at its alarm.
TEST_F(DriverTest, FirmwareStepWithASilentModule) {
  sandbox.settings("module.silent = 1\n");
  sandbox.write("/tmp/update.d/dfu",
                "#!/bin/sh\n"
                "echo \"$1 $2\" > args.txt\n"
                "printf ' 42 of 100' > ../dfu_status.log\n");
  ::chmod(sandbox.path("/tmp/update.d/dfu").c_str(), 0755);
  for (const char* driver : {"linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"})
    sandbox.write(std::string("/tmp/update.d/") + driver, "driver");
  startPlan({6});

  step();  // host-interface keys for the serial link
  EXPECT_TRUE(waiting());
  ASSERT_TRUE(waitForTimeout());
  step();
  EXPECT_TRUE(endsWith(statusFile(), "Update step timed out !!!...assuming BCSP -> try BCSP\n"))
      << statusFile();
  EXPECT_EQ(upd::STEP_LINK_SWITCH, upd::StepEvent);
  EXPECT_EQ(1, upd::updateOk);

  step();  // the download starts
  EXPECT_EQ(upd::LINK_BCSP, upd::LinkMode);
  EXPECT_EQ(upd::STEP_DFU_RUNNING, upd::StepEvent);
  ASSERT_GT(upd::dfuPid, 0);
  int status = -1;
  ASSERT_TRUE(testsupport::waitUntil(
      waitSeconds, [&] { return ::waitpid(upd::dfuPid, &status, WNOHANG) == upd::dfuPid; }));
  EXPECT_EQ(0, status);
  EXPECT_EQ("-dr " + sandbox.path("/tmp/update.d/stack.dfu") + "\n",
            sandbox.read("/tmp/update.d/args.txt"));
  EXPECT_EQ("linabcsp_uart\nbcsp\nlinabcsp_upChan\n", sandbox.read("board/drivers.txt"));

  std::string out = step();  // progress while the tool runs
  EXPECT_EQ(" 42  percent \n", out);
  EXPECT_TRUE(endsWith(statusFile(), " 42  percent ")) << statusFile();

  upd::StepEvent = upd::STEP_DFU_ENDED;  // the tool's child-dead notice, status 0
  step();
  EXPECT_TRUE(waiting());
  ASSERT_TRUE(waitForTimeout());
  step();
  EXPECT_EQ(upd::STEP_LINK_SWITCH, upd::StepEvent);
  step();  // back to the serial link; the figure is shown once more
  EXPECT_EQ(upd::LINK_SERIAL_HCI, upd::LinkMode);
  EXPECT_EQ(upd::STEP_DONE, upd::StepEvent);
  step();
  EXPECT_TRUE(endsWith(statusFile(), " 42  percent OK\n")) << statusFile();
  EXPECT_EQ(0u, upd::currentStep);
  EXPECT_EQ(0, upd::pollSet.moduleSlot);
}

// The module comes back after the download, but the BCSP channel refuses its
// set-up: the open ends the step, and nothing of the step falls on the next.
TEST_F(DriverTest, RefusedBcspSetUpEndsTheStepAndNothingFollows) {
  sandbox.settings("bcsp.refuse_ioctl = 2\n");
  for (const char* driver : {"linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"}) {
    sandbox.write(std::string("/tmp/update.d/") + driver, "driver");
    ASSERT_EQ(0, platform::system((std::string("/bin/insmod /tmp/update.d/") + driver).c_str()));
  }
  startPlan({6, 7});
  upd::LinkMode = upd::LINK_BCSP;
  upd::StepEvent = upd::STEP_DFU_ENDED;
  step();
  EXPECT_TRUE(endsWith(statusFile(), std::string(" NOK\n") + announcements[7])) << statusFile();
  EXPECT_EQ(upd::LAP_SOFTWARE, upd::currentStep);
  EXPECT_EQ(upd::STEP_NEW, upd::StepEvent) << "no request or wait falls on the next step";
  EXPECT_FALSE(alarmPending());
  EXPECT_EQ(upd::LINK_SERIAL_HCI, upd::LinkMode);
  EXPECT_EQ(0, upd::updateOk) << "the module was not brought back";
  EXPECT_EQ(0, upd::pollSet.moduleSlot);
}

TEST_F(DriverTest, ProgressFigureFromTheStatusLog) {
  struct Case {
    const char* name;
    const char* statusLog;  // null: no file
    std::string shown;
  };
  const Case cases[] = {
      {"three characters", "  7", "  7 percent "},
      {"four characters and more", "12.5% of the stack", "12.5 percent "},
      {"missing file", nullptr, " percent "},
  };
  const std::string start = std::string(announcements[6]) + "  0 percent ";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox.write("/tmp/update.log", start);
    ::remove(sandbox.path("/tmp/dfu_status.log").c_str());
    if (c.statusLog != nullptr) sandbox.write("/tmp/dfu_status.log", c.statusLog);
    upd::currentStep = upd::BT_MOD_SET_FIRM_STACK;
    upd::StepEvent = upd::STEP_DFU_RUNNING;
    EXPECT_EQ(c.shown + "\n", step());
    const std::string status = statusFile();
    EXPECT_TRUE(endsWith(status, c.shown)) << status;
    if (c.statusLog != nullptr) {
      EXPECT_EQ(start.substr(0, start.size() - c.shown.size()) + c.shown, status);
    }
    EXPECT_EQ(upd::STEP_DFU_RUNNING, upd::StepEvent);
  }
}

struct FailedDownloadTest : DriverTest {
  std::unique_ptr<AdminPeer> admin;
  void SetUp() override {
    DriverTest::SetUp();
    admin = std::make_unique<AdminPeer>(sandbox.root());
    ASSERT_GE(upd::openAiSocket(upd::ownSocketPath), 0);
    upd::setAiDestination(upd::adminSocketPath);
  }
  void TearDown() override {
    upd::closeAiSocket();
    DriverTest::TearDown();
  }
  void childDead(uint32_t pid, uint32_t status) {
    std::vector<uint8_t> body(8);
    std::memcpy(body.data(), &pid, 4);
    std::memcpy(body.data() + 4, &status, 4);
    ASSERT_TRUE(admin->send(testsupport::aiMessage(16, upd::AI_MSG_CHILD_DEAD, body)));
    ::testing::internal::CaptureStderr();
    upd::readMessage();
    ::testing::internal::GetCapturedStderr();
  }
};

TEST_F(FailedDownloadTest, ErrorLogNokAndTheRestOfThePlanDropped) {
  startPlan({6, 7});
  upd::LinkMode = upd::LINK_BCSP;
  upd::dfuPid = 4242;
  upd::StepEvent = upd::STEP_DFU_RUNNING;
  sandbox.write("/tmp/dfu_error.log", "dfu: no answer from the module\ndfu: giving up\n");

  childDead(4243, 256);  // another child: nothing changes
  EXPECT_EQ(upd::STEP_DFU_RUNNING, upd::StepEvent);
  childDead(4242, 256);
  ASSERT_EQ(upd::STEP_DFU_FAILED, upd::StepEvent);

  std::string out = step();
  EXPECT_NE(std::string::npos, out.find("dfu: no answer from the module\ndfu: giving up\n"))
      << "the error log goes to the console";
  EXPECT_TRUE(endsWith(statusFile(), "dfu: no answer from the module\ndfu: giving up\n"))
      << statusFile();
  EXPECT_EQ(0, upd::updateOk);
  EXPECT_EQ(1, upd::dfuFailed);
  EXPECT_EQ(upd::STEP_DFU_ENDED, upd::StepEvent);

  // The module is brought back as after a good download; with the BCSP key
  // set written the link switches back and the step ends.
  upd::StepEvent = upd::STEP_LINK_SWITCH;
  step();
  EXPECT_EQ(upd::LINK_SERIAL_HCI, upd::LinkMode);
  step();
  EXPECT_TRUE(endsWith(statusFile(), "NOK\n nothing done... try again\n")) << statusFile();
  EXPECT_EQ(0u, upd::currentStep);
  EXPECT_EQ(std::string::npos, statusFile().find(announcements[7]));

  step();
  EXPECT_TRUE(endsWith(statusFile(), "NOK\n nothing done... try again\n*UPDATE_FINISHED* ... NOK\n"));
  std::vector<uint8_t> datagram;
  ASSERT_TRUE(admin->waitFor(upd::AI_MSG_UPDATE_IND, upd::UPD_CODE_RESULT, &datagram, 5));
  EXPECT_EQ(3, datagram[12]);
  EXPECT_EQ("NOK", std::string(datagram.begin() + 13, datagram.begin() + 16));
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
// once instead of showing progress for ever. The fork is made to fail in a
// child of the test by a process limit of 0.
TEST_F(DriverTest, ToolThatCannotBeStartedFailsTheDownload) {
  ::chmod(sandbox.root().c_str(), 0777);
  for (const char* folder : {"/tmp", "/tmp/update.d", "/board"})
    ::chmod(sandbox.path(folder).c_str(), 0777);
  startPlan({6, 7});
  ::chmod(sandbox.path("/tmp/update.log").c_str(), 0666);
  upd::StepEvent = upd::STEP_LINK_SWITCH;
  EXPECT_EXIT(::_exit(stepWithoutFork()), ::testing::ExitedWithCode(0), "");
  const std::string status = statusFile();
  EXPECT_NE(std::string::npos, status.find("Unable to fork for /tmp/update.d/dfu !\n")) << status;
  EXPECT_EQ(std::string::npos, status.find("percent")) << status;
}

}  // namespace
