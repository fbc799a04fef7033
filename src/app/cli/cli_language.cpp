#include "app/cli/cli_language.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"

namespace torvane::cli {
namespace {

app::LanguageTable& Table() {
  static app::LanguageTable table;
  return table;
}

}  // namespace

bool InitLanguage(int& argc, char** argv, std::string& error) {
  std::string name;
  bool given = false;
  int out = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--lang") {
      if (i + 1 >= argc) {
        error = CliText("szNeedsValue", {"--lang"});
        return false;
      }
      name = argv[++i];
      given = true;
    } else if (a.starts_with("--lang=")) {
      name = std::string(a.substr(7));
      given = true;
    } else {
      argv[out++] = argv[i];
    }
  }
  argc = out;
  argv[argc] = nullptr;
  const app::Folders folders = app::ResolveFolders(app::Environment::FromProcess());
  if (!given) name = folders.config.language;
  if (name.empty()) return true;  // English
  std::string note;
  const bool ok = Table().Load(name, app::LanguageFolders(folders.settings, app::ProgramFolder()), note);
  if (given && !ok) {
    error = note;
    return false;
  }
  // The note is in English: the language it names could not be loaded.
  // A missing file for a language asked for on the command line is worth a word; the
  // configuration's choice falls back quietly, as it does at start-up.
  if (!note.empty() && (given || !ok)) std::fprintf(stderr, "torvane: %s\n", note.c_str());
  return true;
}

const app::LanguageTable& Language() {
  return Table();
}

namespace {
size_t Utf8Chars(const std::string& text) {
  size_t chars = 0;
  for (const char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return chars;
}
}  // namespace

std::string PadText(const std::string& text, size_t width) {
  const size_t chars = Utf8Chars(text);
  return chars < width ? text + std::string(width - chars, ' ') : text;
}

std::string PadTextLeft(const std::string& text, size_t width) {
  const size_t chars = Utf8Chars(text);
  return chars < width ? std::string(width - chars, ' ') + text : text;
}

std::string Text(std::string_view key, std::initializer_list<std::string_view> args, std::string_view section) {
  return app::FormatText(Table().Text(section, key), args);
}

}  // namespace torvane::cli
