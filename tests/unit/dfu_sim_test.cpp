// dfu_sim, the simulated board's firmware download tool, run as the daemon
// runs it: as "dfu" from the package folder, with an empty environment.
// Downloads that succeed, fail or are killed on the board's say-so are run by
// the end-to-end tests; these cases cover the firmware file, the conditions
// the tool checks itself, its progress figures and its command line.
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

  pid_t start(std::vector<std::string> args = {}) {
    if (args.empty()) args = {"dfu", "-dr", sandbox.path("/tmp/update.d/stack.dfu")};
    std::string folder = sandbox.path("/tmp/update.d");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(126);
      ::execve(dfu.c_str(), argv.data(), envp);
      ::_exit(127);
    }
    return pid;
  }
  // The raw wait status, or -1 when the tool still runs after 20 s.
  static int finish(pid_t pid) {
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
  int run(std::vector<std::string> args = {}) { return finish(start(std::move(args))); }
  std::string errorLog() { return sandbox.read("/tmp/dfu_error.log"); }
};

TEST_F(DfuSimTest, ProgressIsKeptAsThreeCharactersFromTheStart) {
  sandbox.write("/tmp/update.d/stack.dfu", "version=2.14\ndelay=0.05\n");
  pid_t pid = start();
  std::vector<std::string> seen;
  int status = -1;
  for (int i = 0; i < 2000 && ::waitpid(pid, &status, WNOHANG) != pid; ++i) {
    std::string figure = sandbox.read("/tmp/dfu_status.log");
    if (!figure.empty() && (seen.empty() || seen.back() != figure)) seen.push_back(figure);
    struct timespec pause = {0, 2 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  seen.push_back(sandbox.read("/tmp/dfu_status.log"));
  const std::vector<std::string> steps = {"  0", " 25", " 50", " 75", "100"};
  size_t next = 0;
  for (const std::string& figure : seen) {  // in order, each a known step
    while (next < steps.size() && steps[next] != figure) ++next;
    EXPECT_LT(next, steps.size()) << "unexpected progress \"" << figure << "\"";
  }
  EXPECT_GE(seen.size(), 3u) << "progress seen while the tool ran";
  EXPECT_EQ("100", seen.back());
  EXPECT_EQ("2.14\n", sandbox.read("board/firmware.txt"));
  EXPECT_FALSE(sandbox.exists("/tmp/dfu_error.log"));
}

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
      {"silent module", "version=2.14\n", "board/settings", "module.silent = 1\n",
       "the module is silent"},
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

TEST_F(DfuSimTest, BoardSettingOverridesTheFileAndKills) {
  sandbox.write("/tmp/update.d/stack.dfu", "version=2.14\nresult=fail\n");
  sandbox.settings("dfu.result = kill\n");
  int status = run();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  EXPECT_EQ(" 25", sandbox.read("/tmp/dfu_status.log"));
  EXPECT_EQ("2.13\n", sandbox.read("board/firmware.txt"));
}

TEST_F(DfuSimTest, WrongCommandLine) {
  int status = run({"dfu", "-x", sandbox.path("/tmp/update.d/stack.dfu")});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(2, WEXITSTATUS(status));
  EXPECT_THAT(errorLog(), HasSubstr("usage: dfu -dr FIRMWARE_FILE"));
  EXPECT_EQ("2.13\n", sandbox.read("board/firmware.txt"));
}

}  // namespace
