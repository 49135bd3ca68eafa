// The status LED against the simulated board's /dev/led. Tick expectations
// follow the system's real clock tick rate.
#include "status_led/status_led.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "sim/sim.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;

struct StatusLedTest : ::testing::Test {
  Sandbox sandbox;
  long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    sandbox.write("board/led.txt", "mode 2\nperiod 7\n");
  }
  void settings(const std::string& text) {
    sandbox.settings(text);
    sim::reloadSettings();
  }
  std::string led() const { return sandbox.read("board/led.txt"); }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  // The ticks the period gives: period x rate / 1000, cut toward zero.
  int64_t ticks(int32_t periodMs) const {
    return static_cast<int64_t>(periodMs) * ticksPerSecond / 1000;
  }
};

TEST_F(StatusLedTest, SteadyModes) {
  EXPECT_EQ(0, upd::setStatusLed(0));
  EXPECT_EQ("mode 0\nperiod 7\n", led());
  EXPECT_EQ(0, upd::setStatusLed(-1));
  EXPECT_EQ("mode 2\nperiod 7\n", led());
  int32_t state = -5;
  EXPECT_EQ(0, upd::getStatusled(&state));
  EXPECT_EQ(2, state);
}

TEST_F(StatusLedTest, BlinkPeriodInClockTicks) {
  ASSERT_GT(ticksPerSecond, 0);
  // The smallest period that still makes one tick, and the one below it.
  const int32_t oneTick = static_cast<int32_t>((1000 + ticksPerSecond - 1) / ticksPerSecond);
  for (int32_t period : {oneTick, 1500, 10, 999, 100000}) {
    SCOPED_TRACE(period);
    if (ticks(period) <= 0) continue;
    EXPECT_EQ(0, upd::setStatusLed(period));
    EXPECT_EQ("mode 1\nperiod " + std::to_string(ticks(period)) + "\n", led());
    int32_t state = -5;
    EXPECT_EQ(0, upd::getStatusled(&state));
    EXPECT_EQ(1, state);
  }
  if (ticksPerSecond == 100) {
    EXPECT_EQ(0, upd::setStatusLed(10));
    EXPECT_EQ("mode 1\nperiod 1\n", led());
    EXPECT_EQ(0, upd::setStatusLed(1500));
    EXPECT_EQ("mode 1\nperiod 150\n", led());
  }
}

TEST_F(StatusLedTest, PeriodsOutOfRangeChangeNothing) {
  const int32_t belowOneTick =
      static_cast<int32_t>((1000 + ticksPerSecond - 1) / ticksPerSecond) - 1;
  for (int32_t period : {belowOneTick, -2, -1000, INT32_MIN, 1}) {
    SCOPED_TRACE(period);
    if (ticks(period) > 0 || period == 0 || period == -1) continue;
    sandbox.write("/tmp/update.log", "");
    EXPECT_EQ(-3, upd::setStatusLed(period));
    EXPECT_EQ("blinking period out of range! \n", statusFile());
    EXPECT_EQ("mode 2\nperiod 7\n", led());
  }
}

TEST_F(StatusLedTest, RefusedPeriodLeavesTheModeUnchanged) {
  settings("led.refuse_period = 1\n");
  EXPECT_EQ(-2, upd::setStatusLed(1500));
  EXPECT_EQ("mode 2\nperiod 7\n", led());
  EXPECT_EQ(0, upd::setStatusLed(0));  // the mode request still works
  EXPECT_EQ("mode 0\nperiod 7\n", led());
}

TEST_F(StatusLedTest, MissingDevice) {
  settings("led.missing = 1\n");
  int32_t state = 0;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(-1, upd::getStatusled(&state));
  EXPECT_EQ(-1, upd::setStatusLed(500));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find(" getStatusled line: ")) << err;
  EXPECT_NE(std::string::npos, err.find(" setStatusLed line: ")) << err;
  EXPECT_EQ("Can't open LED device!\nCan't open LED device!\n", statusFile());
}

}  // namespace
