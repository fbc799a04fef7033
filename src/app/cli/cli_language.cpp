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
        error = "--lang needs a value";
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
  // A missing file for a language asked for on the command line is worth a word; the
  // configuration's choice falls back quietly, as it does at start-up.
  if (!note.empty() && (given || !ok)) std::fprintf(stderr, "torvane: %s\n", note.c_str());
  return true;
}

const app::LanguageTable& Language() {
  return Table();
}

std::string Text(std::string_view key, std::initializer_list<std::string_view> args, std::string_view section) {
  return app::FormatText(Table().Text(section, key), args);
}

}  // namespace torvane::cli
