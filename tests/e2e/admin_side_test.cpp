// update_admin and update_sim --try as a person or a script runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "test_support.h"

namespace {

using testsupport::Daemon;
using testsupport::Process;
using testsupport::Sandbox;

constexpr double waitSeconds = 120;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// An admin side that waits for the daemon's start-up report.
std::unique_ptr<Process> startAdmin(const Sandbox& sandbox, std::vector<std::string> options) {
  options.insert(options.begin(), {"--root", sandbox.root()});
  auto admin = std::make_unique<Process>(sandbox, "update_admin", options, "", true);
  EXPECT_TRUE(testsupport::waitUntil(waitSeconds, [&] { return sandbox.exists("/rb_ai_sock2ad"); }))
      << admin->err();
  return admin;
}

TEST(AdminSide, ExitOnResultGivesTheUpdatesResult) {
  struct Case {
    const char* name;
    const char* plan;
    const char* settings;
    bool rejected;  // an archive with a broken magic number
    int status;
    const char* said;
    bool exitOnResult;  // without: the verdict shows while the input stays open
  };
  const Case cases[] = {
      {"OK", "CHECK_VERSIONS\n", "", false, 0, "update result: OK\n", false},
      {"NOK", "LAP_SOFTWARE\n", "flash.missing = 1\n", false, 1, "update result: NOK\n", true},
      {"rejected archive", "CHECK_VERSIONS\n", "", true, 1, "the daemon rejected the update archive",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sandbox;
    sandbox.settings(c.settings);
    auto package = testsupport::examplePackage();
    package["updatetodo.txt"] = c.plan;
    testsupport::Bytes archive = testsupport::exampleArchive(package);
    if (c.rejected) archive[0] ^= 0xff;
    auto admin = startAdmin(sandbox, c.exitOnResult ? std::vector<std::string>{"--exit-on-result"}
                                                     : std::vector<std::string>{});
    Daemon daemon(sandbox);
    ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] { return has(admin->out(), "UPD_CODE_STATUS"); }))
        << daemon.err();
    sandbox.write("/tmp/image", archive);
    admin->input("start\n");
    if (!c.exitOnResult) {
      // The verdict and the report behind it, though "OK" came before too.
      ASSERT_TRUE(testsupport::waitUntil(waitSeconds, [&] { return has(admin->out(), c.said); }))
          << admin->out();
      EXPECT_TRUE(std::regex_search(admin->out(), std::regex("code 2 UPD_CODE_RESULT payload 2 "
                                                             "\"OK\"[^\n]*\n[^\n]*update result")));
    }
    admin->closeInput();  // it ends at the end of its input once the result came
    EXPECT_EQ(c.status, admin->wait(waitSeconds));
    const std::string out = admin->out();
    EXPECT_TRUE(has(out, c.said)) << out;
    // Every line of the dialogue has its time of day.
    EXPECT_TRUE(std::regex_search(out, std::regex("\n[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} "
                                                  "received 64 bytes: length 64 type 1026")))
        << out;
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.wait(waitSeconds));
  }
}

TEST(AdminSide, RefusesWhatCannotWork) {
  Sandbox sandbox;
  auto first = startAdmin(sandbox, {});
  // A second admin side on the same board is refused.
  Process second(sandbox, "update_admin", {"--root", sandbox.root()});
  EXPECT_EQ(2, second.wait(waitSeconds));
  EXPECT_TRUE(has(second.err(), sandbox.root() + "/rb_ai_sock2ad: bound by a running process"))
      << second.err();
  // Commands that cannot be sent; the end of the input ends it.
  first->input("request -1\nrequest 65536\nraw\nstatus\n");
  first->closeInput();
  EXPECT_EQ(1, first->wait(waitSeconds)) << "a send found no daemon";
  const std::string out = first->out();
  EXPECT_TRUE(has(out, "request takes one update code from 0 to 65535, not \"-1\"")) << out;
  EXPECT_TRUE(has(out, "not \"65536\""));
  EXPECT_TRUE(has(out, "raw needs at least one byte"));
  EXPECT_TRUE(has(out, "cannot send the status request: no daemon is running: nothing has " +
                           sandbox.root() + "/rb_ai_sock2up bound"));
  EXPECT_FALSE(sandbox.exists("/rb_ai_sock2ad"));
}

// The good board takes the example board's installed versions by default
// and is kept (--root); the failing one gives JSON on a board of its own
// making, which goes.
TEST(TryCommand, ExampleArchiveOnAGoodAndOnAFailingBoard) {
  struct Case {
    const char* name;
    const char* settings;
    int status;
    std::vector<std::string> said;  // on standard error with --json
    bool json;
  };
  const Case cases[] = {
      {"good board", "flash.size = 0x200000\n", 0,
       {"/etc/data.txt: the example board's installed versions (no --data given)\n", "Trilo Firmware ...  2.13  ",
        "] 6/6 Update skq Software: OK\n", "] result: OK\nUpdate OK;"}, false},
      {"failing download", "dfu.result = fail\n", 1,
       {"] 5/6 Update Trilo Firmware: NOK\n", "        nothing done... try again\n",
        "] 6/6 Update skq Software: not run\n", "] result: NOK\nUpdate NOK;"}, true},
      {"settings typo", "flash.size = 2M\n", 2, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sandbox;
    sandbox.write("board/try.img", testsupport::exampleArchive());
    sandbox.write("board/try.settings", c.settings);
    sandbox.write("board/data.txt", "LAP_VERSION=0.9\n");
    const std::string board = sandbox.root() + "/try";
    std::vector<std::string> args = {"--try", sandbox.path("board/try.img"), "--settings",
                                     sandbox.path("board/try.settings"), "--time-scale", "0.01"};
    if (c.json)
      args.insert(args.end(), {"--json", "--data=" + sandbox.path("board/data.txt")});
    else
      args.insert(args.end(), {"--root", board});
    Process sim(sandbox, "update_sim", args);
    EXPECT_EQ(c.status, sim.wait(waitSeconds)) << sim.err();
    const std::string out = c.json ? sim.err() : sim.out();
    if (c.status == 2) {
      EXPECT_EQ("update_sim: " + sandbox.path("board/try.settings") +
                    ":1: flash.size = \"2M\" cannot be read; allowed: a number from 0 (decimal, or "
                    "hexadecimal with 0x)\n",
                sim.err());
      continue;
    }
    for (const std::string& part : c.said) EXPECT_TRUE(has(out, part)) << part << "\n" << out;
    if (c.json) {
      const nlohmann::json report = nlohmann::json::parse(sim.out());  // standard output: JSON alone
      EXPECT_EQ("NOK", report["verdict"]);
      EXPECT_EQ(1, report["exit_status"]);
      EXPECT_EQ("the update did not end \"OK\"", report["exit_meaning"]);
      const auto& steps = report["steps"];
      ASSERT_EQ(6u, steps.size());
      EXPECT_EQ("BT_MOD_SET_FIRM_STACK", steps[4]["step"]);
      EXPECT_EQ("NOK", steps[4]["result"]);
      EXPECT_EQ("dfu: download of /tmp/update.d/stack.dfu failed", steps[4]["notes"][0]);
      EXPECT_TRUE(steps[4]["seconds"].is_number());
      EXPECT_EQ("not run", steps[5]["result"]);
      const auto& device = report["device"];
      EXPECT_EQ(false, device["flash_written"]);
      EXPECT_EQ("2.13", device["module_firmware"]);
      EXPECT_EQ(true, device["module_store_changed"]);
      EXPECT_EQ("0.9", device["installed_versions"]["LAP_VERSION"]);
      EXPECT_EQ(false, report["board_kept"]);
      EXPECT_FALSE(std::filesystem::exists(report["board"].get<std::string>())) << "removed";
      continue;
    }
    EXPECT_TRUE(has(out, "Everything is left in " + board + ":\n")) << out;
    EXPECT_TRUE(has(testsupport::readFile(board + "/tmp/update.log"), "*UPDATE_FINISHED*"));
    EXPECT_FALSE(sandbox.exists("try/rb_ai_sock2up")) << "the daemon was stopped";
    EXPECT_FALSE(sandbox.exists("try/rb_ai_sock2ad"));
  }
}

// The processes at work on a board: its folder in their command line or as
// their working folder.
std::vector<std::string> boardProcesses(const std::string& board) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string command = testsupport::readFile(entry.path() / "cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    std::error_code error;
    const std::string cwd = std::filesystem::read_symlink(entry.path() / "cwd", error);
    if (has(command, board) || has(cwd, board)) found.push_back(pid + ": " + command);
  }
  return found;
}

// An interrupted try stops the daemon and all it started: SIGINT during the
// (slowed) firmware download, and a reader that goes after two lines.
TEST(TryCommand, InterruptedTryLeavesNothingRunning) {
  Sandbox sandbox;
  sandbox.write("board/try.img", testsupport::exampleArchive());
  sandbox.write("board/try.settings", "dfu.delay = 5\n");
  const std::string board = sandbox.root() + "/try";
  const std::vector<std::string> args = {"--try", sandbox.path("board/try.img"), "--settings",
                                         sandbox.path("board/try.settings"), "--root", board,
                                         "--time-scale", "0.02"};
  {
    Process sim(sandbox, "update_sim", args);
    ASSERT_TRUE(testsupport::waitUntil(waitSeconds,
                                       [&] { return sandbox.exists("try/tmp/dfu_status.log"); }))
        << sim.err();
    sim.signal(SIGINT);
    EXPECT_EQ(128 + SIGINT, sim.wait(waitSeconds));
    EXPECT_TRUE(has(sim.err(), "interrupted by SIGINT before the update's result came")) << sim.err();
    EXPECT_EQ(std::vector<std::string>{}, boardProcesses(board));
  }
  const char* emulator = std::getenv("UPDATE_TEST_EMULATOR");
  std::string command = std::string(emulator == nullptr ? "" : emulator) + " " UPDATE_BIN_DIR
                        "/update_sim";
  for (const std::string& arg : args) command += " '" + arg + "'";
  const std::string status = sandbox.path("board/try.status");
  Process pipeline(sandbox, {"/bin/sh", "-c",
                             "{ " + command + "; echo $? > " + status + "; } | head -n 2"});
  EXPECT_EQ(0, pipeline.wait(waitSeconds));
  const std::string shown = pipeline.out();
  EXPECT_EQ(2, std::count(shown.begin(), shown.end(), '\n')) << shown;
  EXPECT_EQ(std::to_string(128 + SIGPIPE) + "\n", testsupport::readFile(status));
  EXPECT_EQ(std::vector<std::string>{}, boardProcesses(board));
}

}  // namespace
