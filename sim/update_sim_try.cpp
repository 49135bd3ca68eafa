// update_sim --try; see update_sim_try.h.
#include "sim/update_sim_try.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <vector>

#include "admin_side/admin_session.h"
#include "cli/command_line.h"
#include "sim/sim.h"
#include "sim/update_sim_report.h"
#include "sim/virtual_module.h"

namespace sim {
namespace {

constexpr const char* program = "update_sim";
// What update_sim keeps in a board's folder (the socket names without their
// leading slash): a folder that holds anything else is not taken for a board
// and not cleared.
const std::set<std::string> boardEntries = {"tmp", "etc", "bin", "board", upd::ownSocketPath + 1,
                                            upd::adminSocketPath + 1};
// How often the status file is read: the steps' times are seen to this.
constexpr int pollMs = 50;
// The installed versions of a board tried without --data: those of the
// example board (examples/board/data.txt), so that the version check has
// something to compare.
constexpr const char* defaultData =
    "BTFIRMWARE=2.13 (module firmware)\r\n"
    "CSRMODULINFO=BC41B3 skq LAP module, config build 2025 0107 K1\r\n"
    "LAP_VERSION=1.0.0\r\n";
// The daemon ends at once on SIGTERM; one that takes longer is killed.
constexpr double stopWaitSeconds = 5;

// The first of SIGINT, SIGTERM, SIGHUP and SIGPIPE (a closed standard
// output) that came; 0 for none.
volatile sig_atomic_t interrupted = 0;
void onSignal(int signalNumber) {
  if (interrupted == 0) interrupted = signalNumber;
}
constexpr int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Whether the reader of standard output has gone (a pipe or socket whose
// other end is closed), seen without writing to it.
bool outputGone() {
  struct pollfd out = {1, 0, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

const char* interruptionText(int signalNumber) {
  switch (signalNumber) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a closed standard output";
  }
}

bool readWhole(const std::string& path, std::string* content, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = cli::fileError(path, errno);
    return false;
  }
  content->clear();
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content->append(chunk, n);
  bool ok = std::ferror(file) == 0;
  if (!ok) *error = cli::fileError(path, errno);
  std::fclose(file);
  return ok;
}

// Writes through a temporary file and a rename: nothing half-written.
bool writeWhole(const std::string& path, const std::string& content, std::string* error) {
  std::string temporary = path + ".part";
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    *error = cli::fileError(temporary, errno);
    return false;
  }
  bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = cli::fileError(path, errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

int removeEntry(const char* path, const struct stat*, int kind, struct FTW*) {
  return kind == FTW_DP ? ::rmdir(path) : ::unlink(path);
}

// Empties the folder of an earlier board; refuses any other folder that is
// not empty, and a board whose daemon or admin side still runs.
bool clearBoard(const std::string& root, std::string* error) {
  DIR* folder = ::opendir(root.c_str());
  if (folder == nullptr) {
    *error = cli::fileError(root, errno);
    return false;
  }
  std::vector<std::string> entries;
  while (struct dirent* entry = ::readdir(folder)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(name);
  }
  ::closedir(folder);
  for (const std::string& name : entries) {
    if (boardEntries.count(name) == 0) {
      *error = root + " holds \"" + name +
               "\", which is no part of a simulated board; give a new or empty folder, or the "
               "folder of an earlier try";
      return false;
    }
  }
  for (const char* socketName : {upd::ownSocketPath, upd::adminSocketPath}) {
    if (admin::socketInUse(root + socketName)) {
      *error = root + socketName +
               " is bound by a running process: a daemon or admin side works on this board";
      return false;
    }
  }
  for (const std::string& name : entries) {
    std::string path = root + "/" + name;
    if (::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) != 0) {
      *error = cli::fileError(path, errno);
      return false;
    }
  }
  return true;
}

// A file given for the board, read before anything is touched.
struct Input {
  std::string source;       // the path given, "" when none
  std::string destination;  // under the board's root
  std::string content;
};

bool readInputs(const TryOptions& options, std::vector<Input>* inputs, std::string* error) {
  if (!options.settings.empty()) {
    std::vector<std::string> problems = checkSettingsFile(options.settings);
    if (!problems.empty()) {
      for (size_t i = 0; i + 1 < problems.size(); ++i)
        std::fprintf(stderr, "%s: %s\n", program, problems[i].c_str());
      *error = problems.back();
      return false;
    }
  }
  *inputs = {{options.archive, "/tmp/image", ""},
             {options.settings, "/board/settings", ""},
             {options.data, "/etc/data.txt", ""},
             {options.module, "/board/module.psr", ""}};
  for (Input& input : *inputs)
    if (!input.source.empty() && !readWhole(input.source, &input.content, error)) return false;
  if (options.data.empty()) (*inputs)[2].content = defaultData;
  // The module takes what it can of its store; what it skips is said here.
  std::vector<std::string> problems;
  vmodule::parseStore((*inputs)[3].content, &problems);
  for (const std::string& problem : problems)
    std::fprintf(stderr, "%s: %s:%s\n", program, options.module.c_str(), problem.c_str());
  return true;
}

// The board's folder: the one given (created, or cleared when it holds an
// earlier board) or a new one under /tmp; its real path.
bool makeRoot(const std::string& given, std::string* root, std::string* error) {
  if (given.empty()) {
    char templ[] = "/tmp/update_try.XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
      *error = cli::fileError("/tmp/update_try.XXXXXX", errno);
      return false;
    }
    *root = templ;
    return true;
  }
  if (::mkdir(given.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = cli::fileError(given, errno);
    return false;
  }
  char resolved[PATH_MAX];
  if (::realpath(given.c_str(), resolved) == nullptr) {
    *error = cli::fileError(given, errno);
    return false;
  }
  *root = resolved;
  if (root->size() > maxRootLength) {
    *error = *root + ": too long for a board's folder (at most " + std::to_string(maxRootLength) +
             " characters, so that the socket paths fit)";
    return false;
  }
  return clearBoard(*root, error);
}

bool setUpBoard(const std::string& root, const std::vector<Input>& inputs, std::string* error) {
  for (const char* folder : {"/tmp", "/etc", "/bin", "/board"}) {
    if (::mkdir((root + folder).c_str(), 0755) != 0 && errno != EEXIST) {
      *error = cli::fileError(root + folder, errno);
      return false;
    }
  }
  // The archive goes to /tmp/image only once the daemon is up.
  for (size_t i = 1; i < inputs.size(); ++i)
    if ((!inputs[i].source.empty() || !inputs[i].content.empty()) &&
        !writeWhole(root + inputs[i].destination, inputs[i].content, error))
      return false;
  return true;
}

// The daemon in a child process, its output in board/daemon.out and .err.
pid_t startDaemon(const std::string& root, int adminFd,
                  const std::function<void(const std::string&)>& runDaemon) {
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::close(adminFd);  // the parent's socket, not to be removed here
  // A session of its own: the terminal's signals reach only the parent,
  // which ends the daemon in order, and every process the daemon starts
  // keeps the session's id, also once it has lost its parent. The daemon
  // ends too should the parent be killed outright.
  ::setsid();
  for (int signalNumber : endingSignals) std::signal(signalNumber, SIG_DFL);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(cli::exitUsage);  // gone before that
  int out = ::open((root + "/board/daemon.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = ::open((root + "/board/daemon.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0) ::_exit(cli::exitUsage);
  ::dup2(out, 1);
  ::dup2(err, 2);
  ::close(out);
  ::close(err);
  runDaemon(root);
  ::_exit(cli::exitUsage);
}

// The daemon's exit status, or -1 while it runs.
int ended(pid_t pid, int* status) {
  int raw = 0;
  if (::waitpid(pid, &raw, WNOHANG) != pid) return -1;
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return *status;
}

// SIGTERM ends the daemon in order (exitHandler); SIGKILL if it hangs.
int stopDaemon(pid_t pid) {
  int status = -1;
  if (ended(pid, &status) >= 0) return status;
  ::kill(pid, SIGTERM);
  for (double until = admin::monotonicSeconds() + stopWaitSeconds; admin::monotonicSeconds() < until;) {
    if (ended(pid, &status) >= 0) return status;
    struct timespec pause = {0, 20 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  ::kill(pid, SIGKILL);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  return 128 + SIGKILL;
}

// The live processes of the board: those whose parent is this process and
// those of the daemon's session; false when /proc cannot be read.
bool listBoardProcesses(pid_t session, std::vector<pid_t>* found) {
  found->clear();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  const pid_t self = ::getpid();
  while (struct dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self) continue;
    std::string stat;
    std::string ignored;
    if (!readWhole(std::string("/proc/") + entry->d_name + "/stat", &stat, &ignored)) continue;
    // "pid (name) state ppid pgrp session ...": the name may hold blanks
    // and parentheses.
    const size_t close = stat.rfind(')');
    char state = 0;
    long parent = 0;
    long sessionId = 0;
    if (close != std::string::npos &&
        std::sscanf(stat.c_str() + close + 1, " %c %ld %*d %ld", &state, &parent, &sessionId) ==
            3 &&
        state != 'Z' && (parent == self || sessionId == session))
      found->push_back(static_cast<pid_t>(pid));
  }
  ::closedir(proc);
  return true;
}

// Kills every process of the board left running and reaps those that are
// this process's own, until none is left. The orphans come back to this
// process where the kernel lets it be their subreaper; either way they stay
// in the daemon's session.
void endBoardProcesses(pid_t session) {
  std::vector<pid_t> found;
  for (;;) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (!listBoardProcesses(session, &found)) {
      std::fprintf(stderr, "%s: /proc: %s: cannot look for the board's processes left running\n",
                   program, std::strerror(errno));
      return;
    }
    if (found.empty()) return;
    for (pid_t pid : found) ::kill(pid, SIGKILL);
    struct timespec pause = {0, 1000 * 1000};  // for those that are not this process's
    ::nanosleep(&pause, nullptr);
  }
}

void printWhereThingsAre(std::ostream& out, const std::string& root) {
  char text[1024];
  std::snprintf(text, sizeof text,
      "Everything is left in %s:\n"
      "  tmp/update.log        the status file\n"
      "  tmp/update.d/         the unpacked update package\n"
      "  tmp/pskey*.psr        the PS-key files of the module steps\n"
      "  board/daemon.out      the daemon's console output; board/daemon.err its log lines\n"
      "  board/wire.txt        the module trace, decoded (raw: board/wire.log)\n"
      "  board/module.psr      the module's store; board/firmware.txt its firmware version\n"
      "  board/flash0.bin      the flash; board/flash.log its erases and writes\n"
      "  board/settings        the board settings; etc/data.txt the installed versions\n",
      root.c_str());
  out << text;
}

bool removeTree(const std::string& path) {
  return ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

int terminalWidth(int fd) {
  struct winsize size = {};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

int tryArchive(const TryOptions& options, const std::function<void(const std::string&)>& runDaemon) {
  // The board of a try without --root is removed at the end, unless kept.
  const bool keep = options.keep || !options.root.empty();
  std::string root;
  auto fail = [&keep, &root](const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", program, text.c_str());
    if (!keep && !root.empty()) removeTree(root);
    return cli::exitUsage;
  };
  std::string error;
  std::vector<Input> inputs;
  if (!readInputs(options, &inputs, &error) || !makeRoot(options.root, &root, &error) ||
      !setUpBoard(root, inputs, &error))
    return fail(error);
  admin::Socket socket;
  if (!socket.open(root, &error)) return fail(error);
  // With --json standard output carries the JSON alone, the rest goes to
  // standard error.
  std::ostream& info = options.json ? std::cerr : std::cout;
  const int infoFd = options.json ? 2 : 1;

  // Every process the board starts stays below this one, whoever its
  // parent was (not under every emulator: the daemon's session covers them).
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  struct sigaction action = {};
  action.sa_handler = onSignal;
  for (int signalNumber : endingSignals) sigaction(signalNumber, &action, nullptr);
  info << "Trying " << options.archive << " on the simulated board in " << root << " (time scale "
       << options.timeScale << ")\n";
  if (options.data.empty())
    info << "/etc/data.txt: the example board's installed versions (no --data given)\n";
  info.flush();
  pid_t daemon = startDaemon(root, socket.fd(), runDaemon);
  if (daemon < 0) return fail(std::string("cannot start the daemon: ") + std::strerror(errno));

  admin::SessionOptions sessionOptions;
  sessionOptions.root = root;
  sessionOptions.watch = true;
  sessionOptions.exitOnResult = true;
  const bool terminal = ::isatty(infoFd) == 1;
  admin::Session session(sessionOptions, socket, info, terminal,
                         terminal ? terminalWidth(infoFd) : 80);
  int status = -1;
  bool archivePlaced = false;
  while (!interrupted && !session.done() && ended(daemon, &status) < 0) {
    if (outputGone()) {
      interrupted = SIGPIPE;
      break;
    }
    session.poll(-1, pollMs);
    if (!archivePlaced && session.daemonUp()) {
      if (!writeWhole(root + "/tmp/image", inputs[0].content, &error)) {
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
        break;
      }
      archivePlaced = true;
      session.command("start");
    }
  }
  bool ok = session.done() && session.result() == "OK";
  if (interrupted && !session.done())
    std::fprintf(stderr,
                 "%s: interrupted by %s before the update's result came; the daemon and the "
                 "board's processes are stopped\n",
                 program, interruptionText(interrupted));
  // A daemon that ended by itself is reaped already; its board is kept for
  // its log lines.
  const bool endedEarly = status >= 0;
  if (endedEarly)
    info << "The daemon ended before the update's result came (status " << status
         << "): see board/daemon.err.\n";
  else
    status = stopDaemon(daemon);
  endBoardProcesses(daemon);
  socket.close();
  if (!endedEarly)
    info << "Update " << (ok ? "OK" : session.result().empty() ? "without a result" : "NOK")
         << "; the daemon was stopped (status " << status << ").\n";
  const bool kept = keep || endedEarly;
  const int exitStatus = interrupted ? 128 + interrupted : ok ? cli::exitGood : cli::exitBad;
  std::string outcomeText;
  if (options.json) {  // read from the board before it may go
    TryOutcome outcome;
    outcome.archive = options.archive;
    outcome.board = root;
    outcome.kept = kept;
    outcome.timeScale = options.timeScale;
    if (const admin::StatusView* view = session.view()) {
      outcome.update = &view->update();
      outcome.seconds = view->verdictSeconds();
    }
    outcome.verdict = session.result();
    outcome.verdictText = session.verdictText();
    outcome.interruptedBy = interrupted;
    outcome.daemonStatus = status;
    outcome.exitStatus = exitStatus;
    outcome.moduleStoreText = inputs[3].content;
    outcomeText = outcomeJson(outcome);
  }
  if (kept) {
    printWhereThingsAre(info, root);
  } else if (removeTree(root)) {
    info << "The board is removed (--keep keeps it).\n";
  } else {
    std::fprintf(stderr, "%s: %s\n", program, cli::fileError(root, errno).c_str());
  }
  info.flush();
  std::cout << outcomeText;
  std::cout.flush();
  return exitStatus;
}

}  // namespace sim
