// The status LED against the simulated board's /dev/led.
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
  void SetUp() override { testsupport::useInProcess(sandbox); }
  void settings(const std::string& text) {
    sandbox.settings(text);
    sim::reloadSettings();
  }
  std::string led() const { return sandbox.read("board/led.txt"); }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
};

// Each period from a LED in mode 2: the steady modes (0 and -1), blinking
// with the period in clock ticks cut toward zero, and periods of less than
// one tick, which change nothing.
TEST_F(StatusLedTest, ModesAndPeriods) {
  if (::sysconf(_SC_CLK_TCK) != 100) GTEST_SKIP() << "the periods are for 100 ticks a second";
  const char* const unchanged = "mode 2\nperiod 7\n";
  const char* const outOfRange = "blinking period out of range! \n";
  struct Case {
    int32_t period;
    int result;
    const char* led;
    int32_t state;
    const char* status;
  };
  const Case cases[] = {
      {0, 0, "mode 0\nperiod 7\n", 0, ""},     {-1, 0, unchanged, 2, ""},
      {10, 0, "mode 1\nperiod 1\n", 1, ""},    {999, 0, "mode 1\nperiod 99\n", 1, ""},
      {1500, 0, "mode 1\nperiod 150\n", 1, ""}, {INT32_MAX, 0, "mode 1\nperiod 214748364\n", 1, ""},
      {9, -3, unchanged, 2, outOfRange},       {-2, -3, unchanged, 2, outOfRange},
      {INT32_MIN, -3, unchanged, 2, outOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.period);
    sandbox.write("board/led.txt", unchanged);
    sandbox.write("/tmp/update.log", "");
    EXPECT_EQ(c.result, upd::setStatusLed(c.period));
    EXPECT_EQ(c.led, led());
    EXPECT_EQ(c.status, statusFile());
    int32_t state = -5;
    EXPECT_EQ(0, upd::getStatusled(&state));
    EXPECT_EQ(c.state, state);
  }
}

TEST_F(StatusLedTest, RefusedPeriodLeavesTheModeUnchanged) {
  settings("led.refuse_period = 1\n");
  sandbox.write("board/led.txt", "mode 2\nperiod 7\n");
  EXPECT_EQ(-2, upd::setStatusLed(1500));
  EXPECT_EQ("mode 2\nperiod 7\n", led());
  EXPECT_EQ(0, upd::setStatusLed(0));  // the mode request still works
  EXPECT_EQ("mode 0\nperiod 7\n", led());
}

TEST_F(StatusLedTest, MissingDevice) {
  settings("led.missing = 1\n");
  int32_t state = 0;
  EXPECT_EQ(-1, upd::getStatusled(&state));
  EXPECT_EQ(-1, upd::setStatusLed(500));
  EXPECT_EQ("Can't open LED device!\nCan't open LED device!\n", statusFile());
}

}  // namespace
