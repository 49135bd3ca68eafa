// update_sim: the daemon on the simulated board.
//
//   update_sim --root DIR [--time-scale F]
//   update_sim --try ARCHIVE [--settings FILE] [--data FILE] [--module FILE]
//              [--root DIR] [--time-scale F] [--keep] [--json]
//              [--power-cut EVENT]
//
// The first runs the daemon in the foreground exactly as on a device (banner
// and log lines on standard error, console prints on standard output, the
// same exit statuses) once the board's settings are found good. The second
// tries an update archive on a fresh board (update_sim_try.h).
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "sim/power_cut.h"
#include "sim/sim.h"
#include "sim/update_sim_try.h"
#include "update_process/update_process.h"

#ifndef UPDATE_INSTALLED_SHELL_WORDS
#error "UPDATE_INSTALLED_SHELL_WORDS must be defined by the build"
#endif

namespace {

constexpr const char* program = "update_sim";
const std::string helpHint = "update_sim --help";

void printHelp() {
  std::printf(
      "usage: update_sim --root DIR [--time-scale F]\n"
      "       update_sim --try ARCHIVE [--settings FILE] [--data FILE] [--module FILE]\n"
      "                  [--root DIR] [--time-scale F] [--keep] [--json]\n"
      "                  [--power-cut EVENT]\n"
      "Runs the update daemon on the simulated board whose files live under DIR.\n"
      "  --root DIR        sandbox folder that holds the board's files (created when\n"
      "                    missing); with --try: a new or empty folder, or that of an\n"
      "                    earlier try, which is cleared (default: a new folder in /tmp)\n"
      "  --time-scale F    real seconds per daemon second (default 1)\n"
      "  --try ARCHIVE     try the update archive on a fresh board: run the daemon and\n"
      "                    the admin side, start the update, show it live, stop the\n"
      "                    daemon and tell where everything is left (or remove it)\n"
      "  --settings FILE   with --try: the board settings (docs/simulated_board.md)\n"
      "  --data FILE       with --try: the installed version records (/etc/data.txt;\n"
      "                    default: those of the example board)\n"
      "  --module FILE     with --try: the module's store in PSR text (default: its\n"
      "                    factory store); each line it skips is warned of\n"
      "  --keep            with --try: keep the new board's folder (a --root is kept)\n"
      "  --json            with --try: the outcome as JSON on standard output, the live\n"
      "                    view and the rest on standard error (docs/simulated_board.md)\n"
      "  --power-cut EVENT with --try: cut the power at EVENT (as the board setting\n"
      "                    power.cut takes it), reboot the board, run the archive again\n"
      "                    and compare the device with an uninterrupted update of it on\n"
      "                    a second board (DIR.reference); exit status 0 when they agree\n"
      "  -h, --help        this help; --version: the program's version\n"
      "The board settings (DIR/board/settings, or --settings) are checked first: an\n"
      "unknown setting or a value that cannot be read stops update_sim.\n"
      "Exit status: the daemon's (0 after a stop request or SIGTERM); with --try 0 when\n"
      "the update ended \"OK\", 1 when it did not, 128 + the signal's number when\n"
      "SIGINT, SIGTERM or SIGHUP interrupted it (130, 143, 129) and 141 when its\n"
      "standard output was closed (it then stops the daemon and every process of the\n"
      "board); 2 usage error, bad board settings, or a file or folder that cannot be\n"
      "used.\n");
}

// A message on standard error; the exit status of a usage or file error.
int report(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", program, text.c_str());
  return cli::exitUsage;
}

bool makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  report(cli::fileError(path, errno));
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

// The shell words: shell_words/ beside the program in a build tree, the
// install tree's folder for them (relative to the program's) otherwise.
std::string shellWordsFolder(const std::string& programDir) {
  const std::string beside = programDir + "/shell_words";
  struct stat info;
  if (::stat(beside.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return beside;
  return programDir + "/" UPDATE_INSTALLED_SHELL_WORDS;
}

// Sets the board up at an existing root and checks its settings; 0, or the
// exit status of the failure (reported).
int setUpBoard(const std::string& root, double timeScale) {
  std::string error;
  if (!sim::configure(root, timeScale, &error)) return report(error);
  for (const char* folder : {"/tmp", "/etc", "/bin", "/board"})
    if (!makeFolder(root + folder)) return cli::exitUsage;
  std::vector<std::string> problems = sim::checkSettingsFile(sim::boardPath("settings"));
  for (const std::string& problem : problems) report(problem);
  if (!problems.empty()) return cli::exitUsage;
  // A board whose power was cut reboots now.
  std::string rebooted;
  if (sim::power::powerUp(root, &rebooted)) std::fprintf(stderr, "%s: %s\n", program, rebooted.c_str());
  return 0;
}

[[noreturn]] void runDaemon(const std::string& root, double timeScale) {
  int status = setUpBoard(root, timeScale);
  if (status != 0) std::exit(status);
  std::exit(upd::updateProcessMain());
}

}  // namespace

int main(int argc, char** argv) {
  cli::Arguments args;
  std::string error;
  cli::Outcome outcome = cli::parse(argc, argv, 1,
                                    {{"--root", "DIR"},
                                     {"--time-scale", "F"},
                                     {"--try", "ARCHIVE"},
                                     {"--settings", "FILE"},
                                     {"--data", "FILE"},
                                     {"--module", "FILE"},
                                     {"--keep", nullptr},
                                     {"--json", nullptr},
                                     {"--power-cut", "EVENT"}},
                                    &args, &error);
  int status = cli::settle(outcome, program, error, args, printHelp);
  if (status >= 0) return status;
  const bool trying = args.has("--try");
  for (const char* option : {"--settings", "--data", "--module", "--keep", "--json", "--power-cut"})
    if (!trying && args.has(option))
      return cli::usageError(program, std::string(option) + " goes with --try ARCHIVE", helpHint);
  std::string root = args.value("--root");
  if (root.empty() && !trying) return cli::usageError(program, "--root DIR is required", helpHint);
  double timeScale = 1.0;
  if (args.has("--time-scale")) {
    std::string text = args.value("--time-scale");
    char* end = nullptr;
    timeScale = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(timeScale > 0))
      return cli::usageError(program, "--time-scale takes a positive number, not \"" + text + "\"",
                             helpHint);
  }

  std::string path = shellWordsFolder(programFolder(argv[0]));
  if (const char* inherited = std::getenv("PATH")) path += std::string(":") + inherited;
  ::setenv("PATH", path.c_str(), 1);

  if (trying) {
    sim::TryOptions options;
    options.archive = args.value("--try");
    options.settings = args.value("--settings");
    options.data = args.value("--data");
    options.module = args.value("--module");
    options.root = root;
    options.timeScale = timeScale;
    options.keep = args.has("--keep");
    options.json = args.has("--json");
    options.powerCut = args.value("--power-cut");
    if (args.has("--power-cut") && options.json)
      return cli::usageError(program, "--json does not go with --power-cut", helpHint);
    if (args.has("--power-cut"))
      return sim::tryPowerCut(options, [timeScale](const std::string& board) { runDaemon(board, timeScale); });
    return sim::tryArchive(options, [timeScale](const std::string& board) { runDaemon(board, timeScale); });
  }

  if (!makeFolder(root)) return cli::exitUsage;
  char resolved[PATH_MAX];
  if (::realpath(root.c_str(), resolved) == nullptr)
    return report(cli::fileError(root, errno));
  status = setUpBoard(resolved, timeScale);
  if (status != 0) return status;
  return upd::updateProcessMain();
}
