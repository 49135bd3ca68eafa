// Starting the firmware download tool as a child process.
#pragma once

#include <sys/types.h>

namespace upd {

// The firmware download tool of the package and its argument vector:
// "dfu", "-dr" and the firmware file.
constexpr const char* dfuProgramName = "dfu";
constexpr const char* dfuFirmwarePath = "/tmp/update.d/stack.dfu";
extern char* const dfuArgv[];

// Forks and runs path with argv in workDir (null: stay), with envp (null: an
// empty environment) and outputDevice as standard output (null: keep). Returns
// the child's pid at once, or -1 when it cannot fork.
// The child leads a process group of its own and keeps only descriptors 0,
// 1 and 2.
pid_t startChildProcess(const char* workDir, const char* path, char* const argv[],
                        char* const envp[], const char* outputDevice);

// Stops a child started here and everything in its group: SIGTERM, then
// SIGKILL when the group has not ended within graceMs of the daemon's time.
// Async-signal-safe. 1 when there was a group to stop, 0 when it had gone.
int stopChildGroup(pid_t leader, unsigned graceMs);

}  // namespace upd
