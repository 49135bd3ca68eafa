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
pid_t startChildProcess(const char* workDir, const char* path, char* const argv[],
                        char* const envp[], const char* outputDevice);

}  // namespace upd
