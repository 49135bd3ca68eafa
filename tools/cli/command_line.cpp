// Parsing of the programs' command lines; see command_line.h.
#include "cli/command_line.h"

#include <cstdio>
#include <cstring>

#ifndef UPDATE_VERSION
#error "UPDATE_VERSION must be defined by the build"
#endif

namespace cli {
namespace {

const OptionSpec* findOption(const std::vector<OptionSpec>& accepted, const std::string& name) {
  for (const OptionSpec& option : accepted)
    if (name == option.name) return &option;
  return nullptr;
}

}  // namespace

Outcome parse(int argc, char** argv, int first, const std::vector<OptionSpec>& accepted,
              Arguments* out, std::string* error) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      out->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") return Outcome::Help;
    if (arg == "--version") return Outcome::Version;
    std::string name = arg;
    std::string value;
    bool inlineValue = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      inlineValue = true;
    }
    const OptionSpec* option = findOption(accepted, name);
    if (option == nullptr) {
      *error = "unknown option " + name;
      return Outcome::Usage;
    }
    if (out->has(name)) {
      *error = name + " given twice";
      return Outcome::Usage;
    }
    if (option->valueName == nullptr) {
      if (inlineValue) {
        *error = name + " takes no value";
        return Outcome::Usage;
      }
    } else if (!inlineValue) {
      if (i + 1 >= argc) {
        *error = name + " needs a value (" + option->valueName + ")";
        return Outcome::Usage;
      }
      value = argv[++i];
    }
    out->options[name] = value;
  }
  return Outcome::Run;
}

int settle(Outcome outcome, const char* program, const std::string& error, const Arguments& args,
           void (*printHelp)()) {
  const std::string helpHint = std::string(program) + " --help";
  switch (outcome) {
    case Outcome::Help:
      printHelp();
      return exitGood;
    case Outcome::Version:
      printVersion(program);
      return exitGood;
    case Outcome::Usage:
      return usageError(program, error, helpHint);
    case Outcome::Run:
      break;
  }
  if (!args.positional.empty())
    return usageError(program, "unexpected argument " + args.positional[0], helpHint);
  return -1;
}

void printVersion(const char* program) { std::printf("%s %s\n", program, UPDATE_VERSION); }

int usageError(const char* program, const std::string& message, const std::string& helpHint) {
  std::fprintf(stderr, "%s: %s\n(see '%s')\n", program, message.c_str(), helpHint.c_str());
  return exitUsage;
}

std::string fileError(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

}  // namespace cli
