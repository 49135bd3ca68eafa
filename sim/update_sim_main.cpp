// update_sim: the daemon on the simulated board.
//
//   update_sim --root DIR [--time-scale F]
//
// Creates the sandbox folders under DIR, then runs the daemon in the
// foreground exactly as on a device: banner and log lines on standard error,
// console prints on standard output, the same exit statuses.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/command_line.h"
#include "sim/sim.h"
#include "update_process/update_process.h"

namespace {

constexpr const char* program = "update_sim";

void printHelp() {
  std::printf(
      "usage: update_sim --root DIR [--time-scale F]\n"
      "Runs the update daemon on the simulated board whose files live under DIR.\n"
      "  --root DIR        sandbox folder that holds the board's files (created when missing)\n"
      "  --time-scale F    real seconds per daemon second (default 1)\n"
      "  -h, --help        this help; --version: the program's version\n"
      "Exit status: the daemon's (0 after a stop request or SIGTERM); 2 usage error;\n"
      "1 when the sandbox cannot be set up.\n");
}

bool makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "update_sim: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

// The folder of this program; the shell words live beside it.
std::string programFolder(const char* argv0) {
  char resolved[PATH_MAX];
  if (std::strchr(argv0, '/') == nullptr || ::realpath(argv0, resolved) == nullptr) {
    ssize_t n = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (n <= 0) return ".";
    resolved[n] = '\0';
  }
  std::string path(resolved);
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  cli::Arguments args;
  std::string error;
  switch (cli::parse(argc, argv, 1, {{"--root", "DIR"}, {"--time-scale", "F"}}, &args, &error)) {
    case cli::Outcome::Help:
      printHelp();
      return cli::exitGood;
    case cli::Outcome::Version:
      cli::printVersion(program);
      return cli::exitGood;
    case cli::Outcome::Usage:
      return cli::usageError(program, error, "update_sim --help");
    case cli::Outcome::Run:
      break;
  }
  const std::string helpHint = "update_sim --help";
  if (!args.positional.empty())
    return cli::usageError(program, "unexpected argument " + args.positional[0], helpHint);
  std::string root = args.value("--root");
  if (root.empty()) return cli::usageError(program, "--root DIR is required", helpHint);
  double timeScale = 1.0;
  if (args.has("--time-scale")) {
    std::string text = args.value("--time-scale");
    char* end = nullptr;
    timeScale = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(timeScale > 0))
      return cli::usageError(program, "--time-scale takes a positive number, not \"" + text + "\"",
                             helpHint);
  }
  if (!makeFolder(root)) return 1;
  char resolved[PATH_MAX];
  if (::realpath(root.c_str(), resolved) == nullptr) {
    std::fprintf(stderr, "update_sim: cannot resolve %s: %s\n", root.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!sim::configure(resolved, timeScale, &error)) {
    std::fprintf(stderr, "update_sim: %s\n", error.c_str());
    return 1;
  }
  for (const char* folder : {"/tmp", "/etc", "/bin", "/board"})
    if (!makeFolder(std::string(resolved) + folder)) return 1;

  std::string path = programFolder(argv[0]) + "/shell_words";
  if (const char* inherited = std::getenv("PATH")) path += std::string(":") + inherited;
  ::setenv("PATH", path.c_str(), 1);

  return upd::updateProcessMain();
}
