// Starting an outside program, the firmware download tool, as a child
// process. The parent returns at once; the child's end arrives later as a
// child-dead notice.
#include "child_process/child_process.h"

#include <fcntl.h>
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

// The child's side: never returns into the daemon.
[[noreturn]] void runChild(const char* workDir, const char* path, char* const argv[],
                           char* const envp[], const char* outputDevice) {
  if (workDir != nullptr) platform::chdir(workDir);
  if (outputDevice != nullptr) {
    int fd = platform::open(outputDevice, O_RDWR | O_NONBLOCK);
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
  LOG_INFO(3, "Child %s started with %d pid\n", path, static_cast<int>(pid));
  return pid;
}

}  // namespace upd
