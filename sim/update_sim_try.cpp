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
#include "sim/power_cut.h"
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

// Plays the admin side until the update's result, the daemon's own end or
// an interruption (a closed standard output included): once the daemon is
// up the archive goes to /tmp/image and the start request out. False when
// the archive could not be put there.
bool driveUpdate(admin::Session& session, pid_t daemon, const std::string& root,
                 const std::string& archive, int* status, std::string* error) {
  bool placed = false;
  while (!interrupted && !session.done() && ended(daemon, status) < 0) {
    if (outputGone()) {
      interrupted = SIGPIPE;
      break;
    }
    session.poll(-1, pollMs);
    if (!placed && session.daemonUp()) {
      if (!writeWhole(root + "/tmp/image", archive, error)) return false;
      placed = true;
      session.command("start");
    }
  }
  return true;
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
  if (!driveUpdate(session, daemon, root, inputs[0].content, &status, &error))
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
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

// ---- --power-cut: a power cut rehearsed, the reboot and the run after it ----

namespace sim {
namespace {

struct Run {
  std::string result;     // "OK", "NOK"; "" when no verdict came
  int daemonStatus = -1;  // the daemon's exit status (128 + signal when killed)
};

// One update on a board that is set up: a fresh daemon, the archive at
// /tmp/image once it is up, the start request, the live view (when shown)
// until the verdict or the daemon's end; then nothing of the board runs on.
bool runOnce(const std::string& root, const std::string& archive, bool show,
             const std::function<void(const std::string&)>& runDaemon, Run* run,
             std::string* error) {
  admin::Socket socket;
  if (!socket.open(root, error)) return false;
  pid_t daemon = startDaemon(root, socket.fd(), runDaemon);
  if (daemon < 0) {
    *error = std::string("cannot start the daemon: ") + std::strerror(errno);
    return false;
  }
  admin::SessionOptions sessionOptions;
  sessionOptions.root = root;
  sessionOptions.watch = true;
  sessionOptions.exitOnResult = true;
  std::ostream nowhere(nullptr);
  const bool terminal = show && ::isatty(1) == 1;
  admin::Session session(sessionOptions, socket, show ? std::cout : nowhere, terminal,
                         terminal ? terminalWidth(1) : 80);
  int status = -1;
  const bool ok = driveUpdate(session, daemon, root, archive, &status, error);
  run->result = session.done() ? session.result() : "";
  run->daemonStatus = status >= 0 ? status : stopDaemon(daemon);
  endBoardProcesses(daemon);
  socket.close();
  std::cout.flush();
  return ok;
}

// The steps of the plan and how far each came, from the board's status file.
std::string stepsReached(const std::string& root, bool cut) {
  std::string plan, status, ignored;
  readWhole(root + "/tmp/update.d/updatetodo.txt", &plan, &ignored);
  if (!readWhole(root + "/tmp/update.log", &status, &ignored)) return "    (no status file)\n";
  size_t first = status.find(" started ... ");
  if (first != std::string::npos) {
    size_t lineStart = status.rfind('\n', first);
    status.erase(0, lineStart == std::string::npos ? 0 : lineStart + 1);
  }
  admin::UpdateView view = admin::readStatus(status, admin::readPlan(plan));
  std::string text;
  for (size_t i = 0; i < view.steps.size(); ++i) {
    const admin::StepView& step = view.steps[i];
    std::string how = admin::phaseText(step.phase);
    if (how.empty()) how = "not reached";
    if (cut && step.phase == admin::StepView::Phase::running) how = "cut";
    if (step.percent >= 0 && step.phase == admin::StepView::Phase::running)
      how += " at " + std::to_string(step.percent) + " %";
    text += "    " + std::to_string(i + 1) + "/" + std::to_string(view.steps.size()) + " " +
            step.label + " " + how + "\n";
  }
  if (!view.finishLine.empty()) text += "    " + view.finishLine + "\n";
  return text.empty() ? "    (no step announced)\n" : text;
}

// How a device file differs from the reference's; "" when they are the same.
std::string difference(const std::string& board, const std::string& reference) {
  std::string mine, theirs, ignored;
  const bool haveMine = readWhole(board, &mine, &ignored);
  const bool haveTheirs = readWhole(reference, &theirs, &ignored);
  if (haveMine != haveTheirs) return haveMine ? "there, but not on the reference" : "missing";
  if (mine == theirs) return "";
  size_t at = 0;
  while (at < mine.size() && at < theirs.size() && mine[at] == theirs[at]) ++at;
  size_t differing = 0;
  for (size_t i = 0; i < mine.size() && i < theirs.size(); ++i) differing += mine[i] != theirs[i];
  char text[160];
  std::snprintf(text, sizeof text, "differs from byte 0x%zx on (%zu bytes differ; %zu bytes, the reference %zu)",
                at, differing, mine.size(), theirs.size());
  std::string said = text;
  if (board.size() > 4 && board.compare(board.size() - 4, 4, ".bin") != 0) {
    auto lineAt = [at](const std::string& content) {
      size_t start = content.rfind('\n', at == 0 ? 0 : at - 1);
      start = start == std::string::npos || at == 0 ? 0 : start + 1;
      std::string line = content.substr(start, content.find('\n', start) - start);
      while (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    };
    said += ": \"" + lineAt(mine) + "\" where the reference has \"" + lineAt(theirs) + "\"";
  }
  return said;
}

}  // namespace

int tryPowerCut(const TryOptions& options, const std::function<void(const std::string&)>& runDaemon) {
  auto fail = [](const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", program, text.c_str());
    return cli::exitUsage;
  };
  power::CutPoint point;
  if (!power::readCutPoint(options.powerCut, &point))
    return fail("--power-cut takes an event as power.cut does (docs/simulated_board.md), not \"" +
                options.powerCut + "\"");
  std::string error;
  std::vector<Input> inputs;
  std::string root;
  std::string reference;
  if (!readInputs(options, &inputs, &error)) return fail(error);
  std::string settings = inputs[1].content;
  std::string ignored;
  bool setsCut = false;
  for (size_t start = 0; start < settings.size();) {
    size_t end = settings.find('\n', start);
    std::string line = settings.substr(start, end == std::string::npos ? end : end - start);
    line = line.substr(0, line.find('#'));
    line = line.substr(0, line.find('='));
    setsCut = setsCut || listEntries(line).front() == "power.cut";
    start = end == std::string::npos ? settings.size() : end + 1;
  }
  if (setsCut)
    return fail(options.settings + " sets power.cut already: give the cut point with --power-cut alone");
  if (!makeRoot(options.root, &root, &error) || !makeRoot(root + ".reference", &reference, &error) ||
      !setUpBoard(reference, inputs, &error) || !setUpBoard(root, inputs, &error))
    return fail(error);
  if (!settings.empty() && settings.back() != '\n') settings += '\n';
  if (!writeWhole(root + "/board/settings", settings + "power.cut = " + options.powerCut + "\n", &error))
    return fail(error);

  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  struct sigaction action = {};
  action.sa_handler = onSignal;
  for (int signalNumber : endingSignals) sigaction(signalNumber, &action, nullptr);
  std::printf("Rehearsing a power cut at %s with %s (time scale %g)\n", options.powerCut.c_str(),
              options.archive.c_str(), options.timeScale);
  std::printf("The reference: the update uninterrupted on a second fresh board, %s ...\n",
              reference.c_str());
  std::cout.flush();
  Run referenceRun, cutRun, rerun;
  bool ok = runOnce(reference, inputs[0].content, false, runDaemon, &referenceRun, &error);
  if (ok && !interrupted) {
    std::printf("The reference ended %s.\nRun 1 on %s, the power cut at %s:\n",
                referenceRun.result.empty() ? "without a result" : referenceRun.result.c_str(),
                root.c_str(), options.powerCut.c_str());
    std::cout.flush();
    ok = runOnce(root, inputs[0].content, true, runDaemon, &cutRun, &error);
  }
  std::string record;
  const bool cut = readWhole(root + "/board/power_cut.txt", &record, &ignored);
  if (ok && !interrupted) {
    if (cut) {
      std::printf("The power was cut (board/power_cut.txt):\n  %s", record.c_str());
      std::printf("Run 1 reached:\n%s", stepsReached(root, true).c_str());
      std::string rebooted;
      power::powerUp(root, &rebooted);
      std::printf("The board is %s.\nRun 2 after the reboot, the same archive again:\n",
                  rebooted.c_str());
      std::cout.flush();
      ok = runOnce(root, inputs[0].content, true, runDaemon, &rerun, &error);
      if (ok && !interrupted) std::printf("Run 2 reached:\n%s", stepsReached(root, false).c_str());
    } else {
      std::printf("The power cut at %s never came: run 1 ended %s.\n", options.powerCut.c_str(),
                  cutRun.result.empty() ? "without a result" : cutRun.result.c_str());
    }
  }
  if (!ok) std::fprintf(stderr, "%s: %s\n", program, error.c_str());
  if (interrupted) {
    std::fprintf(stderr, "%s: interrupted by %s; the daemon and the board's processes are stopped\n",
                 program, interruptionText(interrupted));
    std::cout.flush();
    return 128 + interrupted;
  }
  if (!ok) return cli::exitUsage;

  struct DeviceFile {
    const char* path;
    const char* what;
  };
  const DeviceFile deviceFiles[] = {{"board/flash0.bin", "the flash"},
                                    {"board/module.psr", "the module's store"},
                                    {"board/firmware.txt", "the module's firmware"},
                                    {"etc/data.txt", "the version records"}};
  bool same = true;
  std::printf("The device against the uninterrupted update:\n");
  for (const DeviceFile& file : deviceFiles) {
    std::string differs = difference(root + "/" + file.path, reference + "/" + file.path);
    same = same && differs.empty();
    std::printf("  %-22s %-22s %s\n", file.path, file.what,
                differs.empty() ? "as after the uninterrupted update" : differs.c_str());
  }
  std::printf("Run 1: %s; run 2: %s; the reference: %s.\n",
              cut ? ("power cut at " + options.powerCut).c_str() : "no power cut",
              cut ? (rerun.result.empty() ? "no result" : rerun.result.c_str()) : "not run",
              referenceRun.result.empty() ? "no result" : referenceRun.result.c_str());
  std::printf("%s\n", !cut   ? "No power cut came: nothing was rehearsed."
                     : same ? "The device ends as an uninterrupted update leaves it."
                            : "The device does NOT end as an uninterrupted update leaves it.");
  if (options.keep || !options.root.empty())
    std::printf("Everything is left in %s (the reference board: %s).\n", root.c_str(),
                reference.c_str());
  else if (removeTree(root) && removeTree(reference))
    std::printf("The boards are removed (--keep keeps them).\n");
  else
    std::fprintf(stderr, "%s: %s\n", program, cli::fileError(root, errno).c_str());
  std::cout.flush();
  std::fflush(stdout);
  return cut && same ? cli::exitGood : cli::exitBad;
}

}  // namespace sim
