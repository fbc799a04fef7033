// The language of the command line's messages: --lang NAME, else the configuration's
// MAIN/LANGUAGE, else English. Texts are looked up by (section, key) in the language tables:
// messages the engine and the explorer share in EXT_STRINGS, the command line's own in CLI.
// The usage texts of --help stay English (long, laid-out texts of option names); the
// one-line descriptions of the commands are translated.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "app/language.h"

namespace torvane::cli {

// Takes "--lang NAME" or "--lang=NAME" out of the arguments (anywhere) and loads the
// language. False with a one-line reason for a name that is refused or a missing value.
bool InitLanguage(int& argc, char** argv, std::string& error);

const app::LanguageTable& Language();
// The text of (section, key) with its "%s" filled in order.
std::string Text(std::string_view key, std::initializer_list<std::string_view> args = {},
                 std::string_view section = "EXT_STRINGS");
// A text of the command line's own (section CLI): its errors, labels, headings and summaries.
inline std::string CliText(std::string_view key, std::initializer_list<std::string_view> args = {}) {
  return Text(key, args, "CLI");
}
// `text` (UTF-8) padded with spaces to `width` characters (printf's "%-*s" counts bytes, and
// a translated heading may hold letters of several bytes).
std::string PadText(const std::string& text, size_t width);
// The same, padded on the left ("%*s").
std::string PadTextLeft(const std::string& text, size_t width);

}  // namespace torvane::cli
