// The launcher: working folder, environment, standard output and the
// child's end when its program cannot run. The programs are sh scripts in
// the sandbox, so that they run in every lane.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "child_process/child_process.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;

struct ChildProcessTest : ::testing::Test {
  Sandbox sandbox;
  void (*previousChildHandler)(int) = SIG_DFL;
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    // The test reaps its children itself.
    previousChildHandler = std::signal(SIGCHLD, SIG_DFL);
    ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  }
  void TearDown() override { std::signal(SIGCHLD, previousChildHandler); }

  void script(const std::string& daemonPath, const std::string& body, mode_t mode = 0755) {
    sandbox.write(daemonPath, "#!/bin/sh\n" + body);
    ::chmod(sandbox.path(daemonPath).c_str(), mode);
  }
  // The raw wait status of the child, or -1 when it did not end in time.
  static int reap(pid_t pid) {
    int status = -1;
    bool ended = testsupport::waitUntil(30, [&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    return ended ? status : -1;
  }
};

TEST_F(ChildProcessTest, WorkingFolderEnvironmentArgumentsAndOutput) {
  ::setenv("UPD_TEST_MARKER", "inherited", 1);
  script("/tmp/update.d/tool",
         "pwd > where.txt\n"
         "echo \"marker=${UPD_TEST_MARKER-unset} home=${HOME-unset} args=$1,$2\" > env.txt\n"
         "echo to-output\n"
         "echo to-error >&2\n");
  sandbox.write("/tmp/out.txt", "");
  char name[] = "tool";
  char option[] = "-x";
  char firmware[] = "/tmp/update.d/stack.dfu";
  char* const argv[] = {name, option, firmware, nullptr};
  char marker[] = "UPD_TEST_MARKER=given";

  struct Case {
    const char* name;
    char* const* envp;
    const char* expectedEnv;
  };
  char* const given[] = {marker, nullptr};
  const Case cases[] = {
      {"no environment", nullptr, "marker=unset home=unset args=-x,"},
      {"given environment", given, "marker=given home=unset args=-x,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t pid = upd::startChildProcess("/tmp/update.d/", "/tmp/update.d/tool", argv, c.envp,
                                       "/tmp/out.txt");
    ASSERT_GT(pid, 0);
    int status = reap(pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(sandbox.path("/tmp/update.d") + "\n", sandbox.read("/tmp/update.d/where.txt"));
    // Absolute paths among the arguments are the daemon's, mapped by the board.
    EXPECT_EQ(std::string(c.expectedEnv) + sandbox.path("/tmp/update.d/stack.dfu") + "\n",
              sandbox.read("/tmp/update.d/env.txt"));
    // Only standard output goes to the device; standard error stays.
    EXPECT_EQ("to-output\n", sandbox.read("/tmp/out.txt"));
    sandbox.write("/tmp/out.txt", "");
  }
  ::unsetenv("UPD_TEST_MARKER");
}

TEST_F(ChildProcessTest, ProgramThatCannotRunEndsTheChildNonZero) {
  script("/tmp/update.d/noexec", "exit 0\n", 0644);
  sandbox.write("/tmp/update.d/garbage", "neither a script nor a program\n");
  ::chmod(sandbox.path("/tmp/update.d/garbage").c_str(), 0755);
  struct Case {
    const char* path;
    std::string message;
  };
  const Case cases[] = {
      {"/tmp/update.d/none", "Execution of /tmp/update.d/none failed: No such file or directory (2)\n"},
      {"/tmp/update.d/noexec", "Execution of /tmp/update.d/noexec failed: Permission denied (13)\n"},
      {"/tmp/update.d/garbage", "Execution of /tmp/update.d/garbage failed: Exec format error (8)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ::remove(sandbox.path("/tmp/update.log").c_str());
    char name[] = "dfu";
    char* const argv[] = {name, nullptr};
    ::testing::internal::CaptureStderr();
    pid_t pid = upd::startChildProcess("/tmp/update.d/", c.path, argv, nullptr, nullptr);
    ASSERT_GT(pid, 0);
    int status = reap(pid);
    ::testing::internal::GetCapturedStderr();
    ASSERT_NE(-1, status);
    EXPECT_NE(0, status);
    EXPECT_TRUE(WIFEXITED(status)) << "the child exits; it never returns into the daemon";
    EXPECT_EQ(c.message, sandbox.read("/tmp/update.log"));
  }
}

TEST_F(ChildProcessTest, OutputDeviceThatCannotBeOpenedKillsTheChild) {
  script("/tmp/update.d/tool", "echo ran > ran.txt\n");
  char name[] = "tool";
  char* const argv[] = {name, nullptr};
  ::testing::internal::CaptureStderr();
  pid_t pid = upd::startChildProcess("/tmp/update.d/", "/tmp/update.d/tool", argv, nullptr,
                                     "/tmp/nowhere/out");
  ASSERT_GT(pid, 0);
  int status = reap(pid);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  EXPECT_FALSE(sandbox.exists("/tmp/update.d/ran.txt"));
  EXPECT_EQ("Failed to open device /tmp/nowhere/out: No such file or directory (2).\n",
            sandbox.read("/tmp/update.log"));
}

}  // namespace
