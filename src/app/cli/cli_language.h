// The language of the command line's messages: --lang NAME, else the configuration's
// MAIN/LANGUAGE, else English. Texts are looked up by (section, key) in the language tables.
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

}  // namespace torvane::cli
