#include "tools/common/arguments.h"

#include "config/input_error.h"

namespace sceneflow::tools {
namespace {

bool IsHelp(const std::string& argument) { return argument == "-h" || argument == "--help"; }

}  // namespace

bool WalkArguments(int argc, char** argv, int first, const ArgumentHandlers& handlers) {
  for (int i = first; i < argc; ++i) {
    const std::string argument = argv[i];
    if (IsHelp(argument)) return false;
    const auto pair = handlers.pair_options.find(argument);
    if (handlers.flags.count(argument) != 0) {
      handlers.flag(argument);
    } else if (pair != handlers.pair_options.end()) {
      if (i + 2 >= argc) throw InputError(pair->second);
      handlers.pair_option(argument, argv[i + 1], argv[i + 2]);
      i += 2;
    } else if (argument.rfind("--", 0) == 0 && !(handlers.bare_dashes_positional && argument == "--")) {
      if (i + 1 >= argc) throw InputError("Error: " + argument + " needs a value");
      const std::string value = argv[++i];
      const auto text = handlers.texts.find(argument);
      if (text != handlers.texts.end()) {
        *text->second = value;
      } else if (!handlers.option || !handlers.option(argument, value)) {
        throw InputError("Error: unknown option " + argument);
      }
    } else if (!handlers.positional(argument)) {
      throw InputError("Error: unexpected argument " + argument);
    }
  }
  return true;
}

std::function<bool(const std::string& argument)> OnePositional(std::string& target) {
  return [&target](const std::string& argument) {
    if (!target.empty()) return false;
    target = argument;
    return true;
  };
}

bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (IsHelp(argv[i])) return true;
  }
  return false;
}

}  // namespace sceneflow::tools
