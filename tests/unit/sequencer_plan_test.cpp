// The update plan as the steps walk it, the copy of a file into the status
// file, and a start request while a plan runs, in-process on the simulated
// board. Announcements, skipped steps and the finish step are run by the
// end-to-end tests.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sequencer/sequencer.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;

std::string repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

struct PlanTest : ::testing::Test {
  Sandbox sandbox;
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
    upd::resetUpdateState();
    next("");  // the empty plan: the finish step is current
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  int readPlan(const std::string& todo) {
    sandbox.write("/tmp/update.d/updatetodo.txt", todo);
    return upd::readUpdatePlan(upd::todoPath);
  }
  // Ends the current step with result (the console listing kept out).
  static void next(const char* result) {
    ::testing::internal::CaptureStdout();
    upd::nextUpdateStep(result);
    ::testing::internal::GetCapturedStdout();
  }
  // The steps the plan makes current one after the other, as each ends.
  static std::vector<uint32_t> walk() {
    std::vector<uint32_t> steps;
    for (next(""); upd::currentStep != 0 && steps.size() <= upd::planSize; next("OK\n"))
      steps.push_back(upd::currentStep);
    return steps;
  }
};

TEST_F(PlanTest, TodoLinesBecomeStepsInOrder) {
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
      {"25 steps: the first 20 are kept", repeat("BT_MOD_SET_READ\n", 20) + repeat("LAP_SOFTWARE\n", 5),
       std::vector<uint32_t>(20, upd::BT_MOD_SET_READ)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(1, readPlan(c.todo));
    EXPECT_EQ(c.steps, walk());
  }
}

TEST_F(PlanTest, MissingFileLeavesAnEmptyPlanEvenAfterAnEarlierOne) {
  ASSERT_EQ(1, readPlan("CHECK_VERSIONS\nLAP_SOFTWARE\n"));
  next("");
  ::remove(sandbox.path("/tmp/update.d/updatetodo.txt").c_str());
  EXPECT_EQ(-1, upd::readUpdatePlan(upd::todoPath));
  EXPECT_EQ(std::vector<uint32_t>{}, walk());
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

// The running update keeps going where it was.
TEST_F(PlanTest, StartWhileAPlanRunsIsRefused) {
  ASSERT_EQ(1, readPlan("CHECK_VERSIONS\nBT_MOD_SET_COMP\nLAP_SOFTWARE\n"));
  next("");
  next("OK\n");
  sandbox.write("/tmp/update.log", "");
  upd::beginUpdate();
  EXPECT_EQ("update already running; start request ignored \n", statusFile());
  EXPECT_EQ(upd::BT_MOD_SET_COMP, upd::currentStep);
  next("OK\n");
  EXPECT_EQ(upd::LAP_SOFTWARE, upd::currentStep);
}

}  // namespace
