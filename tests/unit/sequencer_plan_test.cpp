// The update plan, step announcements and results, the finish step and the
// start request, in-process on the simulated board.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "admin_link/admin_link.h"
#include "bt_module/bt_module.h"
#include "platform/platform.h"
#include "sequencer/sequencer.h"
#include "test_support.h"

namespace {

using testsupport::AdminPeer;
using testsupport::Sandbox;
using testsupport::word16;
using testsupport::word32;

void setNeeded(uint32_t firmware, uint32_t psKeys, uint32_t software) {
  upd::versionParts[0].updateNeeded = firmware;
  upd::versionParts[1].updateNeeded = psKeys;
  upd::versionParts[2].updateNeeded = software;
}

void setPlan(const std::vector<uint32_t>& steps) {
  for (size_t i = 0; i < upd::planSize; ++i) upd::updatePlan[i] = i < steps.size() ? steps[i] : 0;
  upd::planCursor = 0;
}

std::vector<uint32_t> plan() {
  return std::vector<uint32_t>(upd::updatePlan, upd::updatePlan + upd::planSize);
}

std::string capturedStdout() {
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

struct PlanTest : ::testing::Test {
  Sandbox sandbox;
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    upd::resetUpdateState();
    upd::currentStep = 0;
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  int readPlan(const std::string& todo) {
    sandbox.write("/tmp/update.d/updatetodo.txt", todo);
    return upd::readUpdatePlan(upd::todoPath);
  }
};

TEST_F(PlanTest, TodoLinesBecomeStepsInOrder) {
  ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  struct Case {
    const char* name;
    std::string todo;
    std::vector<uint32_t> steps;
  };
  const Case cases[] = {
      {"keys", "CHECK_VERSIONS\nBT_MOD_SET_READ\nLAP_SOFTWARE\n", {1, 2, 7}},
      {"comments", "# CHECK_VERSIONS\nBT_MOD_SET_COMP\n#LAP_SOFTWARE\n", {3}},
      {"trailing text", "BT_MOD_SET_FIRM_STACK please\nLAP_SOFTWARE_X\n", {6, 7}},
      {"blanks before a key", " CHECK_VERSIONS\n\tLAP_SOFTWARE\nBT_MOD_SET_ALL_WRITE", {5}},
      {"unknown lines", "UPDATE_ALL\n\nBT_MOD_SET_NEW_WRITE\r\n", {4}},
      {"repeated key", "LAP_SOFTWARE\nLAP_SOFTWARE\n", {7, 7}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(1, readPlan(c.todo));
    std::vector<uint32_t> expected = c.steps;
    expected.resize(upd::planSize, 0);
    EXPECT_EQ(expected, plan());
    EXPECT_EQ(0u, upd::planCursor);
  }
}

TEST_F(PlanTest, TwentyFiveStepLinesKeepTwentyAndTheTerminator) {
  ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  std::string todo;
  for (int i = 0; i < 25; ++i) todo += i < 20 ? "BT_MOD_SET_READ\n" : "LAP_SOFTWARE\n";
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(1, readPlan(todo));
  std::string out = capturedStdout();
  std::string expectedOut;
  for (int i = 0; i < 20; ++i) expectedOut += "state 2   BT_MOD_SET_READ\n";
  EXPECT_EQ(expectedOut, out);
  std::vector<uint32_t> expected(20, 2);
  expected.push_back(0);
  EXPECT_EQ(expected, plan());
}

TEST_F(PlanTest, MissingFileLeavesAnEmptyPlanEvenAfterAnEarlierOne) {
  ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  ASSERT_EQ(1, readPlan("CHECK_VERSIONS\nLAP_SOFTWARE\n"));
  upd::planCursor = 1;
  ::remove(sandbox.path("/tmp/update.d/updatetodo.txt").c_str());
  EXPECT_EQ(-1, upd::readUpdatePlan(upd::todoPath));
  EXPECT_EQ(std::vector<uint32_t>(upd::planSize, 0), plan());
  EXPECT_EQ(0u, upd::planCursor);

  // The start that follows announces nothing and leaves the finish step current.
  upd::nextUpdateStep("");
  EXPECT_EQ(0u, upd::currentStep);
  EXPECT_EQ(std::string::npos, statusFile().find("started"));
}

// Steps whose part needs no update are closed at once, several in a row in
// one call; both key writes hang on the PS-key part.
TEST_F(PlanTest, SkippedStepsChainInOneCall) {
  struct Case {
    std::vector<uint32_t> steps;
    std::vector<uint32_t> needed;  // firmware, PS-keys, software
    std::string status;
    uint32_t current;
  };
  const Case cases[] = {
      {{6, 7},
       {0, 1, 0},
       "Update Trilo Firmware: started ... nothing to do ... OK\n"
       "Update skq Software:   started ... nothing to do ... OK\n",
       0},
      {{4, 5, 2},
       {1, 0, 1},
       "Write diff. PS-Keys:   started ... nothing to do ... OK\n"
       "Write all PS-Keys:     started ... nothing to do ... OK\n"
       "Read PS-Keys:          started ... ",
       2},
  };
  for (const Case& c : cases) {
    ::remove(sandbox.path("/tmp/update.log").c_str());
    setPlan(c.steps);
    setNeeded(c.needed[0], c.needed[1], c.needed[2]);
    ::testing::internal::CaptureStdout();
    upd::nextUpdateStep("");
    std::string out = capturedStdout();
    EXPECT_EQ(c.status, statusFile());
    EXPECT_EQ(c.current, upd::currentStep);
    EXPECT_EQ(upd::STEP_NEW, upd::StepEvent);
    EXPECT_NE(std::string::npos, out.find(" started ... nothing to do ... \n"));
  }
}

TEST_F(PlanTest, CopyFileToUpdateLogAppendsEveryLine) {
  std::string longLine(1500, 'e');
  sandbox.write("/tmp/dfu_error.log", "first\n" + longLine + "\nlast");
  sandbox.write("/tmp/update.log", "before ");
  EXPECT_EQ(1, upd::copyFileToUpdateLog("/tmp/dfu_error.log"));
  EXPECT_EQ("before first\n" + longLine + "\nlast", statusFile());

  ::remove(sandbox.path("/tmp/dfu_error.log").c_str());
  std::string was = statusFile();
  EXPECT_EQ(-1, upd::copyFileToUpdateLog("/tmp/dfu_error.log"));
  // Only the open failure is reported; nothing is copied.
  EXPECT_EQ(std::string::npos, statusFile().find("first", was.size()));
}

// The finish step and the start request talk to the admin side.
struct FinishTest : PlanTest {
  std::unique_ptr<AdminPeer> admin;
  void SetUp() override {
    PlanTest::SetUp();
    admin = std::make_unique<AdminPeer>(sandbox.root());
    ASSERT_GE(upd::openAiSocket(upd::ownSocketPath), 0);
    upd::setAiDestination(upd::adminSocketPath);
  }
  void TearDown() override { upd::closeAiSocket(); }

  void expectResult(const std::string& result) {
    std::vector<uint8_t> datagram;
    ASSERT_TRUE(admin->receive(&datagram, 5));
    ASSERT_EQ(64u, datagram.size());
    EXPECT_EQ(64, word16(datagram, 0));
    EXPECT_EQ(upd::AI_MSG_UPDATE_IND, word32(datagram, 4));
    EXPECT_EQ(upd::UPD_CODE_RESULT, word32(datagram, 8));
    ASSERT_EQ(result.size(), datagram[12]);
    EXPECT_EQ(result, std::string(datagram.begin() + 13, datagram.begin() + 13 + result.size()));
    EXPECT_EQ(0, datagram[13 + result.size()]) << "no terminator is sent, the tail is clear";
  }
};

TEST_F(FinishTest, FinishLineReportAndListingOnEveryCall) {
  sandbox.write("/tmp/update.log", "Version Check:         started ... ");
  ::testing::internal::CaptureStdout();
  upd::runUpdateStep();
  std::string out = capturedStdout();
  expectResult("OK");
  const std::string firstFinish = "Version Check:         started ... *UPDATE_FINISHED* ... OK\n";
  EXPECT_EQ(firstFinish, statusFile());
  EXPECT_NE(std::string::npos, out.find(firstFinish)) << "the status file is listed";

  upd::updateOk = 0;
  ::testing::internal::CaptureStdout();
  upd::runUpdateStep();
  capturedStdout();
  expectResult("NOK");
  EXPECT_EQ(firstFinish + "*UPDATE_FINISHED* ... NOK\n", statusFile());
}

TEST_F(FinishTest, StartWhileAPlanRunsIsRefused) {
  setPlan({1, 3, 7});
  upd::planCursor = 2;
  upd::currentStep = 3;
  upd::updateOk = 0;
  upd::StepEvent = upd::STEP_WAIT;
  upd::beginUpdate();
  EXPECT_EQ(3u, upd::currentStep);
  EXPECT_EQ(2u, upd::planCursor);
  EXPECT_EQ(0, upd::updateOk) << "the running update's state is kept";
  EXPECT_EQ(upd::STEP_WAIT, upd::StepEvent);
  std::vector<uint32_t> expected = {1, 3, 7};
  expected.resize(upd::planSize, 0);
  EXPECT_EQ(expected, plan());
  EXPECT_EQ("update already running; start request ignored \n", statusFile());
}

}  // namespace
