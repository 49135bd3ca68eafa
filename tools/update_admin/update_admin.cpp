// update_admin: the admin side of the daemon's datagram link, for people and
// test scripts.
//
//   update_admin [--root DIR] [--watch] [--exit-on-result] [--exit-after-stop] [--all]
//
// Binds the admin socket ("/rb_ai_sock2ad", or DIR/rb_ai_sock2ad on the
// simulated board), reads commands from standard input, one per line, and
// shows what the daemon sends: every datagram on one line with its time, or
// with --watch the update live. It ends at the end of its input (once what
// --exit-on-result or --exit-after-stop waits for has come), on "quit",
// SIGINT or SIGTERM.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "admin_side/admin_session.h"
#include "cli/command_line.h"

namespace {

constexpr const char* program = "update_admin";

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

void printHelp() {
  std::printf(
      "usage: update_admin [--root DIR] [--watch] [--exit-on-result] [--exit-after-stop] [--all]\n"
      "The admin side of the update daemon: binds DIR/rb_ai_sock2ad (the device's\n"
      "/rb_ai_sock2ad without --root), sends the commands read from standard input\n"
      "and shows what the daemon sends. Start it before the daemon.\n"
      "  --root DIR          the simulated board's sandbox\n"
      "  --watch             show the update live from DIR/tmp/update.log: the plan,\n"
      "                      the current step, each result, a progress bar, the\n"
      "                      elapsed time and the verdict (redrawn on a terminal,\n"
      "                      plain lines otherwise) instead of datagram lines\n"
      "  --exit-on-result    end at the verdict of a start request: status 0 for\n"
      "                      \"OK\", 1 for \"NOK\" or a rejected archive\n"
      "  --exit-after-stop   end once the reply to a stop request came\n"
      "  --all               print every datagram (a repeat of the one before is\n"
      "                      otherwise counted, not printed again)\n"
      "  -h, --help          this help; --version: the program's version\n"
      "Commands, one per line: status | start | stop | request N (any update code,\n"
      "0 to 65535) | raw XX XX ... (any bytes in hexadecimal) | quit.\n"
      "It ends at the end of its input, once what --exit-on-result or\n"
      "--exit-after-stop waits for has come.\n"
      "Exit status: 0 good; 1 a command could not be sent (no daemon running), or\n"
      "the update's result was not \"OK\" (--exit-on-result);\n"
      "2 usage error, or the socket cannot be bound.\n"
      "Messages and datagrams: docs/admin_link.md.\n");
}

int terminalWidth() {
  struct winsize size = {};
  if (::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Arguments args;
  std::string error;
  cli::Outcome outcome = cli::parse(argc, argv, 1,
                                    {{"--root", "DIR"},
                                     {"--watch", nullptr},
                                     {"--exit-on-result", nullptr},
                                     {"--exit-after-stop", nullptr},
                                     {"--all", nullptr}},
                                    &args, &error);
  int status = cli::settle(outcome, program, error, args, printHelp);
  if (status >= 0) return status;

  admin::SessionOptions options;
  options.root = args.value("--root");
  while (options.root.size() > 1 && options.root.back() == '/') options.root.pop_back();
  if (options.root == "/") options.root.clear();
  options.watch = args.has("--watch");
  options.exitOnResult = args.has("--exit-on-result");
  options.exitAfterStop = args.has("--exit-after-stop");
  options.all = args.has("--all");

  if (!options.root.empty() && ::mkdir(options.root.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "%s: %s\n", program, cli::fileError(options.root, errno).c_str());
    return cli::exitUsage;
  }
  admin::Socket socket;
  if (!socket.open(options.root, &error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return cli::exitUsage;
  }
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const bool terminal = options.watch && ::isatty(1) == 1;
  // On a terminal the view shows the line being typed itself: the
  // terminal's echo would push the view down a line per command.
  struct termios saved = {};
  options.editInput = terminal && ::tcgetattr(0, &saved) == 0;
  if (options.editInput) {
    struct termios keys = saved;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    options.editInput = ::tcsetattr(0, TCSANOW, &keys) == 0;
  }
  admin::Session session(options, socket, std::cout, terminal, terminal ? terminalWidth() : 80);
  if (!options.watch) std::cout << admin::timeOfDay() << " listening on " << socket.path() << std::endl;
  while (!session.done() && !stopRequested) session.poll(0, options.watch ? 200 : 1000);
  session.close();
  if (options.editInput) ::tcsetattr(0, TCSANOW, &saved);
  return session.exitStatus();
}
