// Option parsing shared by the commands: flags (--json), options with a value (-o FILE or
// -o=FILE) and positional arguments.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

inline ParsedArgs ParseArgs(const std::vector<std::string>& args,
                            std::initializer_list<std::string_view> flagNames,
                            std::initializer_list<std::string_view> optionNames) {
  ParsedArgs out;
  auto known = [](std::initializer_list<std::string_view> names, std::string_view n) {
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
            out.error = name + " needs a value";
            return out;
          }
          value = args[++i];
        }
        out.options[name] = value;
      } else {
        out.error = "unknown option " + a;
        return out;
      }
    } else {
      out.positional.push_back(a);
    }
  }
  return out;
}

}  // namespace torvane::cli
