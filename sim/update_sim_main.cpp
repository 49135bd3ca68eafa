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

#include "sim/sim.h"
#include "update_process/update_process.h"

namespace {

int usage(const char* message) {
  if (message != nullptr) std::fprintf(stderr, "update_sim: %s\n", message);
  std::fprintf(stderr,
               "usage: update_sim --root DIR [--time-scale F]\n"
               "  --root DIR        sandbox folder that holds the board's files\n"
               "  --time-scale F    real seconds per daemon second (default 1)\n");
  return 2;
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
  std::string root;
  double timeScale = 1.0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--time-scale" && i + 1 < argc) {
      char* end = nullptr;
      timeScale = std::strtod(argv[++i], &end);
      if (end == nullptr || *end != '\0') return usage("--time-scale takes a number");
    } else if (arg == "--help" || arg == "-h") {
      usage(nullptr);
      return 0;
    } else {
      return usage(("unknown argument: " + arg).c_str());
    }
  }
  if (root.empty()) return usage("--root is required");
  if (!makeFolder(root)) return 1;
  char resolved[PATH_MAX];
  if (::realpath(root.c_str(), resolved) == nullptr) {
    std::fprintf(stderr, "update_sim: cannot resolve %s: %s\n", root.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::string error;
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
