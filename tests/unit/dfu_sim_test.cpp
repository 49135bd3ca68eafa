// dfu_sim, the simulated board's firmware download tool, run as the daemon
// runs it: as "dfu" from the package folder, with an empty environment.
// Downloads that succeed, fail or are killed on the board's say-so are run by
// the end-to-end tests; these cases cover the firmware file and the
// conditions the tool checks itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/virtual_module.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;
using ::testing::HasSubstr;
namespace vm = sim::vmodule;

const char* const allDrivers = "linabcsp_uart\nbcsp\nlinabcsp_upChan\n";

// A store whose host interface selects BCSP, as the serial link's
// host-interface set leaves it before a download.
std::string bcspStore() {
  vm::Store store = vm::defaultStore();
  store[0x01f9] = {0x0001};
  return vm::formatStore(store);
}

struct DfuSimTest : ::testing::Test {
  Sandbox sandbox;
  std::string dfu;

  void SetUp() override {
    testsupport::useInProcess(sandbox);
    ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
    dfu = sandbox.path("/tmp/update.d/dfu");
    testsupport::writeFile(dfu, testsupport::readFile(testsupport::binPath("dfu_sim")));
    ::chmod(dfu.c_str(), 0755);
    sandbox.write("/tmp/update.d/stack.dfu", "# test firmware\nversion=2.14\n");
    sandbox.write("board/drivers.txt", allDrivers);
    sandbox.write("board/module.psr", bcspStore());
    sandbox.write("board/firmware.txt", "2.13\n");
  }

  // Runs the tool as the daemon does; the raw wait status, or -1 when it
  // still runs after 20 s.
  int run() {
    std::string firmware = sandbox.path("/tmp/update.d/stack.dfu");
    char* argv[] = {const_cast<char*>("dfu"), const_cast<char*>("-dr"), &firmware[0], nullptr};
    char* envp[] = {nullptr};
    std::string folder = sandbox.path("/tmp/update.d");
    pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(126);
      ::execve(dfu.c_str(), argv, envp);
      ::_exit(127);
    }
    int status = 0;
    for (int i = 0; i < 2000; ++i) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return status;
      struct timespec pause = {0, 10 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  std::string errorLog() { return sandbox.read("/tmp/dfu_error.log"); }
};

TEST_F(DfuSimTest, FailuresLeaveAReportAndTheFirmwareAlone) {
  const std::string serialStore = vm::formatStore(vm::defaultStore());
  struct Case {
    const char* what;
    const char* firmwareFile;  // null: no file
    const char* boardFile;     // null: the board as set up
    std::string boardText;
    const char* reported;
  };
  const Case cases[] = {
      {"requested by the firmware file", "version=2.14\nresult=fail\n", nullptr, "",
       "broken off after 50 percent"},
      {"drivers not loaded", "version=2.14\n", "board/drivers.txt", "linabcsp_uart\nbcsp\n",
       "driver linabcsp_upChan is not loaded"},
      {"module on the serial link", "version=2.14\n", "board/module.psr", serialStore,
       "does not select BCSP"},
      {"silent module (a boolean as update_sim reads it)", "version=2.14\n", "board/settings",
       "module.silent = yes\n", "the module is silent"},
      {"no firmware file", nullptr, nullptr, "", "cannot read the firmware file"},
      {"no version", "result=ok\n", nullptr, "", "names no version"},
      {"version of the wrong length", "version=2.140\n", nullptr, "", "is not 4 characters long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(sandbox.path("/tmp/dfu_error.log").c_str());
    std::remove(sandbox.path("/tmp/update.d/stack.dfu").c_str());
    if (c.firmwareFile != nullptr) sandbox.write("/tmp/update.d/stack.dfu", c.firmwareFile);
    sandbox.settings("");
    sandbox.write("board/drivers.txt", allDrivers);
    sandbox.write("board/module.psr", bcspStore());
    if (c.boardFile != nullptr) sandbox.write(c.boardFile, c.boardText);
    int status = run();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status));
    std::string report = errorLog();
    EXPECT_THAT(report, HasSubstr(c.reported));
    EXPECT_THAT(report, HasSubstr("dfu: the module keeps its firmware 2.13\n"));
    EXPECT_EQ("2.13\n", sandbox.read("board/firmware.txt"));
    EXPECT_FALSE(sandbox.read("/tmp/dfu_status.log").empty()) << "created at once";
  }
}

}  // namespace
