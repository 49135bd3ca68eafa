// Starting the firmware download tool as a child process.
#pragma once

#include <sys/types.h>

namespace upd {

extern char* const dfuArgv[];
constexpr const char* dfuWorkDir = "/tmp/update.d/";
constexpr const char* dfuProgramPath = "/tmp/update.d/dfu";

// Forks and runs path with argv in workDir (null: stay), with envp (null: an
// empty environment) and outputDevice as standard output (null: keep). Returns
// the child's pid at once, or -1 when it cannot fork.
pid_t startChildProcess(const char* workDir, const char* path, char* const argv[],
                        char* const envp[], const char* outputDevice);

}  // namespace upd
