// The tools as `cmake --install` lays them out for the build host, run from
// the installed tree: version, help, a real action each, and the man page
// and bash completion made from the help offering every option it names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "test_support.h"

namespace {

using testsupport::Process;
using testsupport::Sandbox;

constexpr double waitSeconds = 120;  // generous: emulated and sanitizer lanes

#ifdef UPDATE_TOOLS_INSTALLED
// A program of the installed tree, behind the tests' emulator where there is one.
std::vector<std::string> installed(const std::string& program, std::vector<std::string> args) {
  std::vector<std::string> words;
  std::istringstream emulator(std::getenv("UPDATE_TEST_EMULATOR") ? std::getenv("UPDATE_TEST_EMULATOR") : "");
  for (std::string word; emulator >> word;) words.push_back(word);
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// The options a help text names on its option lines ("  -o, --output FILE  ...").
std::vector<std::string> optionsOf(const std::string& help) {
  std::vector<std::string> options;
  std::regex line("(^|\n)  (-[a-z], )?(--[a-z-]+)");
  for (std::sregex_iterator it(help.begin(), help.end(), line), end; it != end; ++it)
    options.push_back((*it)[3]);
  return options;
}
#endif

TEST(InstalledTools, RunFromTheirPrefixWithManPagesAndCompletions) {
#ifndef UPDATE_TOOLS_INSTALLED
  GTEST_SKIP() << "this build installs no tools (UPDATE_BUILD_TOOLS is OFF)";
#else
  Sandbox sandbox;
  const std::string prefix = sandbox.root() + "/prefix", source = UPDATE_SOURCE_DIR;
  Process install(sandbox, {UPDATE_CMAKE_COMMAND, "--install", UPDATE_BUILD_DIR, "--prefix", prefix});
  ASSERT_EQ(0, install.wait(waitSeconds)) << install.out() << install.err();
  const bool man = std::system("command -v man >/dev/null") == 0;

  // Each help text of each tool: its options in its man page and completion.
  std::vector<std::vector<std::string>> helps = {{"update_admin"}, {"update_sim"}};
#ifdef UPDATE_IMAGE_BUILT
  for (const char* command : {"", "create", "wrap", "check", "verify", "list", "extract"})
    helps.push_back(*command ? std::vector<std::string>{"update_image", command}
                             : std::vector<std::string>{"update_image"});
#endif
  for (std::vector<std::string> words : helps) {
    const std::string tool = words[0], bin = prefix + "/bin/" + tool;
    SCOPED_TRACE(words.size() > 1 ? tool + " " + words[1] : tool);
    Process version(sandbox, installed(bin, {"--version"}));
    EXPECT_EQ(0, version.wait(waitSeconds));
    EXPECT_EQ(0u, version.out().rfind(tool + " ", 0)) << version.out();
    std::vector<std::string> args(words.begin() + 1, words.end());
    args.push_back("--help");
    Process helpRun(sandbox, installed(bin, args));
    ASSERT_EQ(0, helpRun.wait(waitSeconds));
    const std::vector<std::string> options = optionsOf(helpRun.out());
    if (words != std::vector<std::string>{"update_image"}) {
      EXPECT_FALSE(options.empty());
    }

    std::string page;
    if (man) {
      Process render(sandbox, {"/usr/bin/env", "LC_ALL=C", "MANWIDTH=200", "man", "-l",
                               prefix + "/share/man/man1/" + tool + ".1"});
      EXPECT_EQ(0, render.wait(waitSeconds)) << render.err();
      page = render.out();
      EXPECT_NE(std::string::npos, page.find("SYNOPSIS")) << page;
    }
    // The completion of "TOOL [COMMAND] --".
    std::string line = "source '" + prefix + "/share/bash-completion/completions/" + tool + "'; " +
                       "COMP_WORDS=(" + tool + (words.size() > 1 ? " " + words[1] : "") + " --); " +
                       "COMP_CWORD=" + std::to_string(words.size()) + "; _" + tool +
                       "; printf '%s\\n' \"${COMPREPLY[@]}\"";
    Process complete(sandbox, {"/bin/bash", "-c", line});
    ASSERT_EQ(0, complete.wait(waitSeconds)) << complete.err();
    for (const std::string& option : options) {
      if (man) {
        EXPECT_NE(std::string::npos, page.find(option)) << option << " not in the page";
      }
      EXPECT_NE(std::string::npos, complete.out().find(option + "\n")) << option << ": " << complete.out();
    }
  }
  if (!man) std::printf("man pages not rendered: no man here (Debian package man-db)\n");

  // A real action each: the example archive verified, and tried on a board
  // whose shell words come from the installed tree.
  sandbox.write("board/try.img", testsupport::exampleArchive());
#ifdef UPDATE_IMAGE_BUILT
  Process verify(sandbox, installed(prefix + "/bin/update_image", {"verify", sandbox.path("board/try.img")}));
  EXPECT_EQ(0, verify.wait(waitSeconds)) << verify.out() << verify.err();
#endif
  Process tryRun(sandbox, installed(prefix + "/bin/update_sim",
                                    {"--try", sandbox.path("board/try.img"), "--settings",
                                     source + "/examples/board/settings", "--data",
                                     source + "/examples/board/data.txt", "--root",
                                     sandbox.root() + "/try", "--time-scale", "0.01"}));
  EXPECT_EQ(0, tryRun.wait(waitSeconds)) << tryRun.out() << tryRun.err();
#endif
}

}  // namespace
