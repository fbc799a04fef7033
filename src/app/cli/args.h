// Option parsing shared by the commands: flags (--json), options with a value (-o FILE or
// -o=FILE) and positional arguments; and the start every command shares (--help, usage
// errors).
#pragma once

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/cli/cli_language.h"
#include "app/cli/commands.h"

namespace torvane::cli {

struct ParsedArgs {
  std::vector<std::string> positional;
  std::map<std::string, std::string, std::less<>> options;
  std::set<std::string, std::less<>> flags;
  bool help = false;
  std::string error;  // non-empty on a usage error

  bool Has(std::string_view flag) const { return flags.count(flag) != 0; }
  std::string Option(std::string_view name) const {
    auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
};

inline ParsedArgs ParseArgs(const std::vector<std::string>& args, std::span<const std::string_view> flagNames,
                            std::span<const std::string_view> optionNames) {
  ParsedArgs out;
  auto known = [](std::span<const std::string_view> names, std::string_view n) {
    return std::find(names.begin(), names.end(), n) != names.end();
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out.help = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::string name = a, value;
      bool inlineValue = false;
      if (size_t eq = a.find('='); eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
        inlineValue = true;
      }
      if (known(flagNames, name) && !inlineValue) {
        out.flags.insert(name);
      } else if (known(optionNames, name)) {
        if (!inlineValue) {
          if (i + 1 >= args.size()) {
            out.error = CliText("szNeedsValue", {name});
            return out;
          }
          value = args[++i];
        }
        out.options[name] = value;
      } else {
        out.error = CliText("szUnknownOption", {a});
        return out;
      }
    } else {
      out.positional.push_back(a);
    }
  }
  return out;
}

inline ParsedArgs ParseArgs(const std::vector<std::string>& args, std::initializer_list<std::string_view> flagNames,
                            std::initializer_list<std::string_view> optionNames) {
  return ParseArgs(args, std::span<const std::string_view>(flagNames.begin(), flagNames.size()),
                   std::span<const std::string_view>(optionNames.begin(), optionNames.size()));
}

// What a command accepts, for ParseCommandLine.
struct CommandLine {
  const char* usage = "";
  std::vector<std::string_view> flags, options;
  size_t minPositional = 1, maxPositional = 1;
  std::string positionalError;  // when the count of positional arguments is wrong
  // Options the command cannot do without, each with its message when missing.
  std::vector<std::pair<std::string_view, std::string>> required;
};

// The start of every command. Returns -1 when the command goes on with `out`; otherwise the
// exit code to end with: 0 after printing the usage for --help, 2 after a usage error (its
// message and the usage on stderr).
inline int ParseCommandLine(const std::vector<std::string>& args, const CommandLine& command, ParsedArgs& out) {
  out = ParseArgs(args, command.flags, command.options);
  if (out.help) {
    std::fputs(command.usage, stdout);
    return 0;
  }
  std::string error = out.error;
  if (error.empty() && (out.positional.size() < command.minPositional || out.positional.size() > command.maxPositional))
    error = command.positionalError;
  for (const auto& [name, message] : command.required)
    if (error.empty() && out.Option(name).empty()) error = message;
  if (error.empty()) return -1;
  PrintError(error);
  std::fputs(command.usage, stderr);
  return 2;
}

}  // namespace torvane::cli
