// Command-line conventions shared by the programs around the daemon
// (update_image, update_admin, update_sim):
//   - "--opt value" and "--opt=value" both work; "--" ends the options;
//   - "-h"/"--help" and "--version" are understood by every command; help and
//     version go to standard output with exit status 0;
//   - an option the command does not take, a missing value or a value given
//     to a flag is a usage error: a message on standard error, status 2;
//   - exit statuses: 0 good, 1 bad (the answer is no: a bad archive, an
//     update that ended "NOK"), 2 usage or file error.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cli {

constexpr int exitGood = 0;
constexpr int exitBad = 1;
constexpr int exitUsage = 2;

// One option a command takes: its long name with the dashes ("--root"), and
// the name of its value in help texts ("DIR"), or nullptr for a flag.
struct OptionSpec {
  const char* name;
  const char* valueName;
};

struct Arguments {
  std::map<std::string, std::string> options;  // given options: name -> value ("" for a flag)
  std::vector<std::string> positional;

  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::string value(const std::string& name, const std::string& fallback = "") const {
    auto found = options.find(name);
    return found == options.end() ? fallback : found->second;
  }
};

enum class Outcome { Run, Help, Version, Usage };

// Parses argv[first..argc) against the options a command takes. On Usage,
// *error says what is wrong (the option and why).
Outcome parse(int argc, char** argv, int first, const std::vector<OptionSpec>& accepted,
              Arguments* out, std::string* error);

// What a program without subcommands or positional arguments does with
// parse()'s outcome: help (printHelp) or the version on standard output and
// exitGood; a usage error, or an argument that is no option, on standard
// error and exitUsage; -1 when it is to run.
int settle(Outcome outcome, const char* program, const std::string& error, const Arguments& args,
           void (*printHelp)());

// "PROGRAM VERSION" on standard output.
void printVersion(const char* program);

// "PROGRAM: MESSAGE" and a pointer to the help on standard error; returns
// exitUsage. helpHint is the command to run for help ("update_image create --help").
int usageError(const char* program, const std::string& message, const std::string& helpHint);

// "PATH: the system's text for error".
std::string fileError(const std::string& path, int error);

}  // namespace cli
