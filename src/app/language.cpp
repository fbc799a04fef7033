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
    BuiltIn{"WINDOW_EXPLORER", "M#1", "&File"},
    BuiltIn{"WINDOW_EXPLORER", "M#1#1", "&Recover...\t Alt+R"},
    BuiltIn{"WINDOW_EXPLORER", "M#1#2", "&Save scan session\tCtrl+S"},
    BuiltIn{"WINDOW_EXPLORER", "M#1#3", "Load scan session\tCtrl+L"},
    BuiltIn{"WINDOW_EXPLORER", "M#1#4", "&Close"},
    BuiltIn{"WINDOW_EXPLORER", "M#2", "&Edit"},
    BuiltIn{"WINDOW_EXPLORER", "M#2#1", "&Select all\tCtrl+A"},
    BuiltIn{"WINDOW_EXPLORER", "M#2#2", "&Unselect all\tCtrl+Z"},
    BuiltIn{"WINDOW_EXPLORER", "M#2#3", "&Invert selection\tCtrl+I"},
    BuiltIn{"WINDOW_EXPLORER", "M#3", "&View"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#1", "&Explorer view\tF12"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#1#1", "&Details"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#1#2", "&Miniatures"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#2", "&Folders tree\tF11"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#3", "&Display files (filtering)"},
    BuiltIn{"WINDOW_EXPLORER", "M#4", "&Command"},
    BuiltIn{"WINDOW_EXPLORER", "M#4#1", "&Find\tCtrl+F"},
    BuiltIn{"WINDOW_EXPLORER", "M#4#2", "&Pause scan\tF10"},
    BuiltIn{"WINDOW_EXPLORER", "M#4#3", "&Break search"},
    BuiltIn{"WINDOW_EXPLORER", "M#5", "&Favorites"},
    BuiltIn{"WINDOW_EXPLORER", "M#5#1", "&Add current path to favorites\tCtrl+D"},
    BuiltIn{"WINDOW_EXPLORER", "M#5#2", "Currently there is no favorites"},
    BuiltIn{"WINDOW_EXPLORER", "szToggleView", "Switch view\tF12"},
    BuiltIn{"WINDOW_EXPLORER", "szAdvancedSearch", "&AdvancedSearch"},
    BuiltIn{"WINDOW_EXPLORER", "szClearFavourites", "&Clear list"},
    BuiltIn{"WINDOW_EXPLORER", "szRecoverJoin", "&Recover (JOIN)\tCtrl+Alt+J"},
    BuiltIn{"WINDOW_EXPLORER", "szHexView", "HEX view\tCtrl+H"},
    BuiltIn{"WINDOW_EXPLORER", "szEditFileSize", "Edit file size\tAlt+S"},
    BuiltIn{"WINDOW_EXPLORER", "szRefresh", "Refresh\tF5"},
    BuiltIn{"WINDOW_EXPLORER", "szSelect", "&Select\tSpace"},
    BuiltIn{"WINDOW_EXPLORER", "szProperties", "Properties\tAlt+Enter"},
    BuiltIn{"WINDOW_EXPLORER", "szViewMenu", "View"},
    BuiltIn{"WINDOW_EXPLORER", "##11", "Back"},
    BuiltIn{"WINDOW_EXPLORER", "##12", "Next"},
    BuiltIn{"WINDOW_EXPLORER", "##13", "Up"},
    BuiltIn{"WINDOW_EXPLORER", "##23", "Search"},
    BuiltIn{"WINDOW_EXPLORER", "szSearchPrompt", "  Search..."},
    BuiltIn{"WINDOW_EXPLORER", "szStatusRows", "%s items"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnFileName", "File name"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnSize", "Size"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnType", "Type"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnDate", "Date"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnRating", "Rating (integrity)"},
    BuiltIn{"WINDOW_EXPLORER", "szScanNotCompleted", "Scan is not completed, it's recommended to finish scan.\r\nWould you like to continue?"},
    BuiltIn{"WINDOW_EXPLORER", "szNothingToRecover", "Sorry, there is nothing to recovery!"},
    BuiltIn{"WINDOW_EXPLORER", "szSelectFilesToRecover", "Please select the files to recovery (check them on list)."},
    BuiltIn{"WINDOW_EXPLORER", "szSelectOutputPath", "Select output path"},
    BuiltIn{"WINDOW_EXPLORER", "szRecovered", "Recovered: %s, failed or skipped: %s"},
    BuiltIn{"WINDOW_EXPLORER", "szSavingInProgress", "Please wait, another saving is in progress."},
    BuiltIn{"WINDOW_EXPLORER", "szSaveScanSession", "Save scan session"},
    BuiltIn{"WINDOW_EXPLORER", "szSessionFilter", "Torvane scan sessions (*.tqs)"},
    BuiltIn{"WINDOW_EXPLORER", "szSessionSaved", "The scan session was saved."},
    BuiltIn{"WINDOW_EXPLORER", "szLoadSessionFile", "Load session file"},
    BuiltIn{"WINDOW_EXPLORER", "szSessionLoadFilter", "Torvane scan sessions (*.tqs *.tqsp)"},
    BuiltIn{"WINDOW_EXPLORER", "szCloseWindow", "The scan is still running. Close the explorer and lose what it has not found yet?"},
    BuiltIn{"WINDOW_EXPLORER", "szPathRecentlyAdded", "This path is already in the favorites."},
    BuiltIn{"WINDOW_EXPLORER", "szFavoritesFull", "The favorites hold ten paths; clear the list first."},
    BuiltIn{"EXT_STRINGS", "szSessionFileErr", "This session file is invalid or not compatible."},
    BuiltIn{"WINDOW_FILTER", "#C", "Display files (filtering)"},
    BuiltIn{"WINDOW_FILTER", "szStates", "Show"},
    BuiltIn{"WINDOW_FILTER", "szExisting", "Existing"},
    BuiltIn{"WINDOW_FILTER", "szDeleted", "Recoverable (deleted)"},
    BuiltIn{"WINDOW_FILTER", "szOverwritten", "Probably overwritten"},
    BuiltIn{"WINDOW_FILTER", "szNotDetected", "Overwritten, undetected"},
    BuiltIn{"WINDOW_FILTER", "szEncrypted", "NTFS encrypted (EFS)"},
    BuiltIn{"WINDOW_FILTER", "szCompressed", "NTFS compressed"},
    BuiltIn{"WINDOW_FILTER", "szMetafiles", "NTFS metafiles - $"},
    BuiltIn{"WINDOW_FILTER", "szFiles", "Files"},
    BuiltIn{"WINDOW_FILTER", "szFolders", "Folders"},
    BuiltIn{"WINDOW_FILTER", "szAny", "Any file"},
    BuiltIn{"WINDOW_FILTER", "szGraphic", "Graphic files"},
    BuiltIn{"WINDOW_FILTER", "szAudio", "Audio files"},
    BuiltIn{"WINDOW_FILTER", "szVideo", "Video files"},
    BuiltIn{"WINDOW_FILTER", "szOffice", "Office documents"},
    BuiltIn{"WINDOW_FILTER", "szSystem", "System files"},
    BuiltIn{"WINDOW_FILTER", "szPreset", "Kind"},
    BuiltIn{"WINDOW_FILTER", "szPattern", "Names"},
    BuiltIn{"WINDOW_PROPERTIES", "#C", "Properties"},
    BuiltIn{"WINDOW_PROPERTIES", "szName", "Name:"},
    BuiltIn{"WINDOW_PROPERTIES", "szItems", "Items:"},
    BuiltIn{"WINDOW_PROPERTIES", "szType", "Type:"},
    BuiltIn{"WINDOW_PROPERTIES", "szSize", "Size:"},
    BuiltIn{"WINDOW_PROPERTIES", "szState", "State:"},
    BuiltIn{"WINDOW_PROPERTIES", "szDate", "Date:"},
    BuiltIn{"WINDOW_PROPERTIES", "szLocation", "Location:"},
    BuiltIn{"WINDOW_FILE_SIZE", "#C", "Edit file size"},
    BuiltIn{"WINDOW_FILE_SIZE", "szSizeNotANumber", "The size must be a number."},
    BuiltIn{"WINDOW_FILE_SIZE", "szSizeNegative", "The size cannot be negative."},
    BuiltIn{"WINDOW_FILE_SIZE", "szSizeTooLarge", "The size cannot be larger than the volume."},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szNames", "File names:"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szContent", "Containing:"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szContentKind", "As:"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szCaseSensitive", "Case sensitive"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szWholeWords", "Whole words only"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szMinSize", "Size at least (bytes):"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szMaxSize", "Size at most (bytes):"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szDeletedOnly", "Deleted entries only"},
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
