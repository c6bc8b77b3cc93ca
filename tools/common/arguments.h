#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>

namespace sceneflow::tools {

// What a program does with each kind of command-line argument.
struct ArgumentHandlers {
  // Options that take no value ("--keys"); each is handed to `flag`.
  std::set<std::string> flags;
  std::function<void(const std::string& flag)> flag;
  // Options that take the next two arguments ("--dis FRAME_0 FRAME_T"), each with the line thrown
  // when fewer follow; each is handed to `pair_option`.
  std::map<std::string, std::string> pair_options;
  std::function<void(const std::string& option, const std::string& first, const std::string& second)> pair_option;
  // Options whose value, the next argument, is kept as it is ("--json FILE"), and where.
  std::map<std::string, std::string*> texts;
  // The other options that take the next argument as their value; returns false for a name it
  // does not know. Without it, only `texts` are known.
  std::function<bool(const std::string& option, const std::string& value)> option;
  // Any argument that does not start with "--"; returns false for one too many.
  std::function<bool(const std::string& argument)> positional;
  // Whether a bare "--" is positional rather than an option without a name.
  bool bare_dashes_positional = false;
};

// Walks argv[first] to argv[argc - 1] in order. Returns false as soon as -h or --help comes up
// (the usage text was asked for), true when all were handled. Throws InputError with one line:
// "Error: --x needs a value" for an option at the end, "Error: unknown option --x" when `option`
// returns false, "Error: unexpected argument X" when `positional` does.
bool WalkArguments(int argc, char** argv, int first, const ArgumentHandlers& handlers);

// A `positional` handler for a program that takes one argument (a folder): kept in `target`, any
// further one is unexpected.
std::function<bool(const std::string& argument)> OnePositional(std::string& target);

// True when -h or --help is among argv[1] to argv[argc - 1].
bool AsksForHelp(int argc, char** argv);

}  // namespace sceneflow::tools
