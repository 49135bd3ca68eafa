// Starting an outside program, the firmware download tool, as a child
// process. The parent returns at once; the child's end arrives later as a
// child-dead notice.
#include "child_process/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "log/log.h"
#include "platform/platform.h"

namespace upd {
namespace {

char* const emptyEnvironment[] = {nullptr};

// Exit status of a child whose program could not be executed.
constexpr int execFailedStatus = 127;
// How often the stop of a child's group looks whether it has ended.
constexpr unsigned stopPollMs = 50;

// The child's side: never returns into the daemon.
[[noreturn]] void runChild(const char* workDir, const char* path, char* const argv[],
                           char* const envp[], const char* outputDevice) {
  // A group of its own: the daemon's end stops the program and everything
  // it started, and no signal meant for the daemon's group reaches it.
  platform::setpgid(0, 0);
  if (workDir != nullptr) platform::chdir(workDir);
  if (outputDevice != nullptr) {
    int fd = platform::open(outputDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      OPERATION_ERROR("startChildProcess", Warning, 110, "Failed to open device %s: %s (%d).\n",
                      outputDevice, errorText(error), error);
      std::raise(SIGKILL);
      _exit(execFailedStatus);
    }
    // Standard output becomes the device; input and error stay as inherited.
    if (fd != STDOUT_FILENO) {
      platform::close(STDOUT_FILENO);
      platform::fcntl(fd, F_DUPFD, STDOUT_FILENO);
      platform::close(fd);
    }
  }
  // Standard input, output and error alone: whatever else the daemon holds
  // or was given (its admin socket first of all) stays with it.
  platform::closeDescriptorsFrom(STDERR_FILENO + 1);
  platform::execve(path, argv, envp != nullptr ? envp : emptyEnvironment);
  int error = errno;
  OPERATION_ERROR("startChildProcess", Critical, 110, "Execution of %s failed: %s (%d)\n", path,
                  errorText(error), error);
  _exit(execFailedStatus);
}

}  // namespace

// execve takes the words as char*; nothing writes through them.
char* const dfuArgv[] = {const_cast<char*>(dfuProgramName), const_cast<char*>("-dr"),
                         const_cast<char*>(dfuFirmwarePath), nullptr};

pid_t startChildProcess(const char* workDir, const char* path, char* const argv[],
                        char* const envp[], const char* outputDevice) {
  // Console lines buffered so far go out before anything the child prints.
  std::fflush(stdout);
  pid_t pid = platform::fork();
  if (pid < 0) {
    LOG_ERROR(Critical, 110, "Unable to fork for %s !\n", path);
    return -1;
  }
  if (pid == 0) runChild(workDir, path, argv, envp, outputDevice);
  // Also here, so that the group exists whichever of the two runs first; once
  // the child has run its program this fails, and it is in its group anyway.
  platform::setpgid(pid, pid);
  LOG_INFO(3, "Child %s started with %d pid\n", path, static_cast<int>(pid));
  return pid;
}

int stopChildGroup(pid_t leader, unsigned graceMs) {
  if (leader <= 0) return 0;
  if (platform::kill(-leader, SIGTERM) != 0) return 0;  // the group is gone
  for (unsigned waited = 0; waited < graceMs; waited += stopPollMs) {
    platform::waitpid(leader, nullptr, WNOHANG);  // the leader's end, if it has come
    if (platform::kill(-leader, 0) != 0) return 1;
    platform::poll(nullptr, 0, static_cast<int>(stopPollMs));
  }
  platform::kill(-leader, SIGKILL);
  platform::waitpid(leader, nullptr, WNOHANG);
  return 1;
}

}  // namespace upd
