// The folders the program works in and the settings it keeps between runs.
//
// - The base folder: $XDG_CONFIG_HOME/torvane/ (default ~/.config/torvane/). It holds
//   "registry.ini" with the values sp (settings folder), tp (temporary folder) and spath (a
//   settings folder that replaces sp once the configuration has been read).
// - The settings folder: sp, or the base folder when sp is empty; it holds "Torvane.cfg".
// - The temporary folder: tp, or "torvane/tmp" under $XDG_CACHE_HOME (default ~/.cache).
// Nothing is ever written into the program's own folder.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "explorer/row_colours.h"

namespace torvane::app {

namespace fs = std::filesystem;

// The environment the folders come from (so tests can give their own).
struct Environment {
  std::string xdgConfigHome, xdgCacheHome, home;
  static Environment FromProcess();
};

fs::path BaseFolder(const Environment& env);
fs::path DefaultTempFolder(const Environment& env);

// The registry values, kept in registry.ini's section [tq].
struct RegistryValues {
  std::string sp, tp, spath;
};
bool LoadRegistry(const fs::path& baseFolder, RegistryValues& out, std::string& error);
// Creates the base folder when needed.
bool SaveRegistry(const fs::path& baseFolder, const RegistryValues& values, std::string& error);

// Creates `folder` with its missing parents and proves that files can be written in it: a
// probe file is created exclusively under a fresh unique name (never a user's file of the
// same name) and removed. False with a one-line reason.
bool CheckWritableFolder(const fs::path& folder, std::string& error);

// The seven state colours of the results list (0x00BBGGRR) and the configuration's language.
struct Configuration {
  std::string language;  // empty: the system's language
  // DELETED, EXISTING, OVERWRITTEN, NOTDETECTED, COMPRESSED, ENCRYPTED, SPECIAL
  std::array<uint32_t, 7> colours{0x808080, 0x000000, 0x0000FF, 0xFF00FF, 0xFF0000, 0x13920D, 0x400080};
  // Bit i: colour i was read from the file (the others follow the system's text colour or
  // their fixed default).
  uint32_t coloursRead = 0;
};
inline constexpr std::array<const char*, 7> kColourKeys{"DELETED",    "EXISTING",  "OVERWRITTEN", "NOTDETECTED",
                                                        "COMPRESSED", "ENCRYPTED", "SPECIAL"};
inline constexpr const char* kConfigurationFileName = "Torvane.cfg";

// The explorer's colour table (0xRRGGBB) from the configuration: colours the file gave, the
// defaults for `windowText` (0xRRGGBB) for the others.
explorer::ColourTable ColoursFromConfiguration(const Configuration& config, uint32_t windowText = 0x000000);
// Puts the table's colours into the configuration (written at exit).
void StoreColours(const explorer::ColourTable& table, Configuration& config);

// Reads Torvane.cfg: a missing file leaves every default; missing or empty values leave
// theirs. False with a reason only when the file exists and cannot be read.
bool LoadConfiguration(const fs::path& file, Configuration& config, std::string& error);
bool SaveConfiguration(const fs::path& file, const Configuration& config, std::string& error);

// The folders in force after start-up.
struct Folders {
  fs::path base;      // holds registry.ini
  fs::path settings;  // holds Torvane.cfg
  fs::path temp;      // temporary files of scans and recoveries
  RegistryValues registry;
  Configuration config;
  std::string warning;  // a setting that was cleared, or a file that could not be read
};

// Start-up: reads registry.ini; a value sp or tp whose folder no longer exists is cleared
// (the setting, never a folder) and registry.ini is not rewritten for it; reads Torvane.cfg
// from the settings folder; then spath, when set and present, becomes the settings folder.
// Nothing is created or written: the temporary folder is made by the first job that needs
// it (CheckWritableFolder).
Folders ResolveFolders(const Environment& env);

}  // namespace torvane::app
