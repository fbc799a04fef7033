#include "app/language.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <span>

#include "app/ini_file.h"

namespace torvane::app {
namespace {

struct BuiltIn {
  std::string_view section, key, text;
};

// The English texts. Messages of the engine and the command line are in EXT_STRINGS; the
// texts of a window in its WINDOW_ section.
constexpr std::array kEnglish = {
    BuiltIn{"GENERAL", "LANGCODE", "en"},
    BuiltIn{"EXT_STRINGS", "szPleaseEnterSearchData", "Please enter search data!"},
    BuiltIn{"EXT_STRINGS", "szHexValuesParity", "Hex values must consists of two digits - length is parity!"},
    BuiltIn{"EXT_STRINGS", "szResultsTruncated", "Results truncated to 200 000 files... Change your search criteria!"},
    BuiltIn{"EXT_STRINGS", "szMemoryLow", "MEMORY LOW..."},
    BuiltIn{"EXT_STRINGS", "szNothingFound", "Nothing found"},
    BuiltIn{"EXT_STRINGS", "szSearchResultsOf", "Search results of:"},
    BuiltIn{"EXT_STRINGS", "szAdvancedSearchResults", "Advanced search results"},
    BuiltIn{"EXT_STRINGS", "szSearchStopped", "The search was stopped; the matches found so far are shown."},
    BuiltIn{"EXT_STRINGS", "szMatchesFound", "%s matches"},
    BuiltIn{"EXT_STRINGS", "szBadHexCharacter", "Hex values may only hold the digits 0-9 and A-F."},
    BuiltIn{"EXT_STRINGS", "szTextAndHex", "Search for text or for hex bytes, not both."},
    BuiltIn{"EXT_STRINGS", "szBadDate", "A date is written YYYY-MM-DD: %s"},
    BuiltIn{"EXT_STRINGS", "szBadNumber", "Not a number of bytes: %s"},
    BuiltIn{"EXT_STRINGS", "szNoSuchFile", "There is no file %s on volume %s"},
    BuiltIn{"EXT_STRINGS", "szIsAFolder", "%s is a folder; the hex view shows files"},
    BuiltIn{"EXT_STRINGS", "szVirtualFolderLostFiles", "Lost files"},
    BuiltIn{"EXT_STRINGS", "szVirtualFolderRebuild", "Rebuild"},
    BuiltIn{"EXT_STRINGS", "szVirtualFolderRawFiles", "RAW files"},
    BuiltIn{"EXT_STRINGS", "szSettingsFolderOnDrive",
            "Settings folder path is on selected drive - blocking access to folder!"},
    BuiltIn{"EXT_STRINGS", "szTempFolderOnDrive",
            "Temporary folder path is on selected drive - blocking access to folder!"},
    BuiltIn{"WINDOW_HEX_VIEW", "#C", "Torvane [HEX VIEW]"},
    BuiltIn{"WINDOW_HEX_VIEW", "szOffset", "Offset"},
    // The explorer window, its dialogs and the hex view (desktop application).
    BuiltIn{"WINDOW_HEX_VIEW", "M#1", "&File"},
    BuiltIn{"WINDOW_HEX_VIEW", "M#1#1", "&Close"},
    BuiltIn{"WINDOW_HEX_VIEW", "szSizeBytes", "%s bytes"},
    // End of the explorer window's texts.
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "#C", "Advanced search"},
    BuiltIn{"WINDOW_LANG", "#C", "Language"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#C", "Configuration folders"},
};

}  // namespace

bool IsValidLanguageName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || u < 0x20 || u == 0x7F;
  });
}

std::vector<fs::path> LanguageFolders(const fs::path& settingsFolder, const fs::path& programFolder) {
  std::vector<fs::path> folders;
  if (!settingsFolder.empty()) folders.push_back(settingsFolder / "language");
  if (!programFolder.empty()) {
    folders.push_back(programFolder / "language");
    folders.push_back(programFolder.parent_path() / "share" / "torvane" / "language");
  }
  return folders;
}

fs::path ProgramFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe.parent_path();
}

std::optional<std::string_view> EnglishText(std::string_view section, std::string_view key) {
  for (const auto& b : kEnglish)
    if (b.section == section && b.key == key) return b.text;
  return std::nullopt;
}

LanguageTable::LanguageTable() = default;

void LanguageTable::Apply(std::string_view fileBytes) {
  ini_ = IniFile::Parse(std::as_bytes(std::span(fileBytes.data(), fileBytes.size())));
}

bool LanguageTable::Load(std::string_view name, const std::vector<fs::path>& folders, std::string& note) {
  if (!IsValidLanguageName(name)) {
    note = "the language name \"" + std::string(name) + "\" is not a plain file name; it is refused";
    return false;
  }
  auto find = [&](std::string_view n) -> fs::path {
    for (const auto& folder : folders) {
      std::error_code ec;
      const fs::path file = folder / (std::string(n) + ".lng");
      if (fs::is_regular_file(file, ec)) return file;
    }
    return {};
  };
  fs::path file = find(name);
  std::string used(name);
  if (file.empty()) {
    note = "no language file for " + std::string(name) + "; the texts stay in English";
    used = kDefaultLanguage;
    file = find(kDefaultLanguage);
  }
  ini_ = IniFile();
  name_ = used;
  if (file.empty()) return true;
  std::string error;
  if (!IniFile::Load(file, ini_, error)) {
    note = error;
    name_ = kDefaultLanguage;
    return false;
  }
  return true;
}

std::string LanguageTable::Text(std::string_view section, std::string_view key) const {
  if (auto o = Override(section, key)) return *o;
  if (auto e = EnglishText(section, key)) return std::string(*e);
  return std::string(key);
}

std::optional<std::string> LanguageTable::Override(std::string_view section, std::string_view key) const {
  std::string text;
  ReadText(ini_, section, key, text);
  if (text.empty()) return std::nullopt;
  return text;
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Flags, width and precision, then a length ("l", "ll", "I64"), then the conversion.
    size_t j = i + 1;
    while (j < pattern.size() && std::string_view("-+ #0123456789.").find(pattern[j]) != std::string_view::npos) ++j;
    if (pattern.substr(j).starts_with("I64")) j += 3;
    while (j < pattern.size() && (pattern[j] == 'l' || pattern[j] == 'h')) ++j;
    if (j < pattern.size() && std::string_view("sidu").find(pattern[j]) != std::string_view::npos) {
      if (next != args.end()) out += *next++;
      i = j;
      continue;
    }
    out += '%';  // not a conversion: kept as it is
  }
  return out;
}

ControlTexts LookUpControl(const LanguageTable& table, std::string_view section, uint32_t id, bool listView) {
  ControlTexts out;
  if (id == 65535) return out;
  auto text = table.Override(section, PreferredControlKey(id));
  if (!text) text = table.Override(section, ControlKey(id));
  if (!text) return out;
  if (listView) {
    std::string_view rest = *text;
    while (true) {
      const size_t semi = rest.find(';');
      out.columns.emplace_back(rest.substr(0, semi));
      if (semi == std::string_view::npos) break;
      rest.remove_prefix(semi + 1);
    }
    return out;
  }
  out.text = std::move(text);
  out.tooltip = table.Override(section, TooltipKey(id));
  return out;
}

}  // namespace torvane::app
