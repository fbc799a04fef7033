// The language tables: every text the user sees is looked up by (section, key), with the
// English text built in. A language file ("NAME.lng", INI syntax, sections GENERAL,
// EXT_STRINGS and one WINDOW_... section per window) overrides texts key by key; a key it
// lacks keeps the English text.
//
// Windows are translated as a whole by control keys (LocalizeWindow): "#C" is the title,
// "#<id>" a control's text, "#V<id>" a text that takes precedence over it, "##<id>" its
// tooltip; a list view's value is its column titles separated by ";". Menu items are
// "M#<n>" for the n-th item of the menu bar (separators not counted, from 1) and
// "<parent key>#<n>" inside a submenu (M#1#2). The keys are kept so that existing language
// files address the same controls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ini_file.h"

namespace torvane::app {

namespace fs = std::filesystem;

inline constexpr std::string_view kDefaultLanguage = "English";

// A language name taken from the configuration or the command line must be a plain file
// name: not empty, at most 64 bytes, no "/" or "\", no control characters, not starting
// with "." (so neither ".." nor hidden files).
bool IsValidLanguageName(std::string_view name);

// Where language files are looked for, in order: "language" under the settings folder (the
// user's own files), then "language" next to the program and in ../share/torvane/.
std::vector<fs::path> LanguageFolders(const fs::path& settingsFolder, const fs::path& programFolder);

// The folder of the running program.
fs::path ProgramFolder();

class LanguageTable {
 public:
  // English only.
  LanguageTable();

  // Loads the texts of language `name`: a hostile name is refused (false, with the reason);
  // a name with no file falls back to English (true, with `note` saying so); a file that
  // cannot be read leaves English (false).
  bool Load(std::string_view name, const std::vector<fs::path>& folders, std::string& note);
  // Overrides texts from one file's contents (for tests and for Load).
  void Apply(std::string_view fileBytes);

  // The text of (section, key): the language file's, else the built-in English one, else
  // the key itself (a key unknown to both is a programming slip, shown so that it is found).
  std::string Text(std::string_view section, std::string_view key) const;
  // Only what a language file says, for the control keys of LocalizeWindow.
  std::optional<std::string> Override(std::string_view section, std::string_view key) const;

  const std::string& Name() const { return name_; }

 private:
  std::string name_{kDefaultLanguage};
  IniFile ini_;
};

// The English text built in for (section, key), or nothing.
std::optional<std::string_view> EnglishText(std::string_view section, std::string_view key);

// Fills "%s", "%i", "%u", "%d" (and their "I64" and "ll" forms) of a text with `args` in
// order; "%%" is a percent sign. Never a printf format: a translated text with too many or
// unknown conversions cannot read past the arguments (missing ones become empty).
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args);

// The control keys of LocalizeWindow.
inline constexpr std::string_view kWindowTitleKey = "#C";
inline constexpr std::string_view kMenuBarKey = "M";
inline std::string ControlKey(uint32_t id) {
  return "#" + std::to_string(id);
}
inline std::string PreferredControlKey(uint32_t id) {
  return "#V" + std::to_string(id);
}
inline std::string TooltipKey(uint32_t id) {
  return "##" + std::to_string(id);
}
inline std::string MenuItemKey(std::string_view parentKey, uint32_t position) {
  return std::string(parentKey) + "#" + std::to_string(position);
}

// What a language file says for one control (identifier 65535 is never translated).
struct ControlTexts {
  std::optional<std::string> text, tooltip;
  std::vector<std::string> columns;  // a list view's column titles
};
ControlTexts LookUpControl(const LanguageTable& table, std::string_view section, uint32_t id, bool listView);

}  // namespace torvane::app
