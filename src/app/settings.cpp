#include "app/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "app/ini_file.h"

namespace torvane::app {
namespace {

constexpr const char* kRegistrySection = "tq";
constexpr const char* kRegistryFileName = "registry.ini";

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

}  // namespace

Environment Environment::FromProcess() {
  auto get = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v != nullptr ? v : "");
  };
  return {get("XDG_CONFIG_HOME"), get("XDG_CACHE_HOME"), get("HOME")};
}

// A relative XDG value is ignored, as the base-directory rules ask.
fs::path BaseFolder(const Environment& env) {
  if (!env.xdgConfigHome.empty() && fs::path(env.xdgConfigHome).is_absolute())
    return fs::path(env.xdgConfigHome) / "torvane";
  return fs::path(env.home.empty() ? "/tmp" : env.home) / ".config" / "torvane";
}

fs::path DefaultTempFolder(const Environment& env) {
  if (!env.xdgCacheHome.empty() && fs::path(env.xdgCacheHome).is_absolute())
    return fs::path(env.xdgCacheHome) / "torvane" / "tmp";
  return fs::path(env.home.empty() ? "/tmp" : env.home) / ".cache" / "torvane" / "tmp";
}

bool LoadRegistry(const fs::path& baseFolder, RegistryValues& out, std::string& error) {
  const fs::path file = baseFolder / kRegistryFileName;
  std::error_code ec;
  if (!fs::exists(file, ec)) return true;
  IniFile ini;
  if (!IniFile::Load(file, ini, error)) return false;
  out.sp = ini.Get(kRegistrySection, "sp").value_or("");
  out.tp = ini.Get(kRegistrySection, "tp").value_or("");
  out.spath = ini.Get(kRegistrySection, "spath").value_or("");
  return true;
}

bool SaveRegistry(const fs::path& baseFolder, const RegistryValues& values, std::string& error) {
  std::error_code ec;
  fs::create_directories(baseFolder, ec);
  if (ec) {
    error = "cannot create " + baseFolder.string() + ": " + ec.message();
    return false;
  }
  IniFile ini;
  std::string ignored;
  IniFile::Load(baseFolder / kRegistryFileName, ini, ignored);  // keeps other values
  ini.Set(kRegistrySection, "sp", values.sp);
  ini.Set(kRegistrySection, "tp", values.tp);
  if (!values.spath.empty() || ini.Get(kRegistrySection, "spath")) ini.Set(kRegistrySection, "spath", values.spath);
  return ini.Save(baseFolder / kRegistryFileName, error);
}

bool CheckWritableFolder(const fs::path& folder, std::string& error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) {
    error = "cannot create or open the folder " + folder.string();
    return false;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".torvane-probe-%08x%08x", random(), random());
    const fs::path probe = folder / name;
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;  // somebody's file: leave it and pick another name
    if (fd < 0) {
      error = "no permission to write in the folder " + folder.string() + ": " + std::strerror(errno);
      return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
  }
  error = "cannot create a probe file in the folder " + folder.string();
  return false;
}

bool LoadConfiguration(const fs::path& file, Configuration& config, std::string& error) {
  std::error_code ec;
  if (!fs::exists(file, ec)) return true;
  IniFile ini;
  if (!IniFile::Load(file, ini, error)) return false;
  ReadText(ini, "MAIN", "LANGUAGE", config.language);
  for (size_t i = 0; i < kColourKeys.size(); ++i) {
    const uint32_t before = config.colours[i];
    config.colours[i] = ~uint32_t{0};
    ReadColour(ini, "COLORS", kColourKeys[i], config.colours[i]);
    if (config.colours[i] == ~uint32_t{0})
      config.colours[i] = before;
    else
      config.coloursRead |= 1u << i;
  }
  return true;
}

bool SaveConfiguration(const fs::path& file, const Configuration& config, std::string& error) {
  IniFile ini;
  std::string ignored;
  IniFile::Load(file, ini, ignored);  // keeps sections other versions wrote
  ini.Set("MAIN", "LANGUAGE", config.language);
  for (size_t i = 0; i < kColourKeys.size(); ++i) WriteColour(ini, "COLORS", kColourKeys[i], config.colours[i]);
  return ini.Save(file, error);
}

namespace {
uint32_t SwapRedBlue(uint32_t c) {
  return (c & 0xFF) << 16 | (c & 0xFF00) | ((c >> 16) & 0xFF);
}
}  // namespace

explorer::ColourTable ColoursFromConfiguration(const Configuration& config, uint32_t windowText) {
  static_assert(explorer::kColourCount == kColourKeys.size());
  explorer::ColourTable table = explorer::ColourTable::Defaults(windowText);
  for (size_t i = 0; i < kColourKeys.size(); ++i)
    if ((config.coloursRead & (1u << i)) != 0) table.colours[i] = SwapRedBlue(config.colours[i]);
  return table;
}

void StoreColours(const explorer::ColourTable& table, Configuration& config) {
  for (size_t i = 0; i < kColourKeys.size(); ++i) config.colours[i] = SwapRedBlue(table.colours[i]);
  config.coloursRead = (1u << kColourKeys.size()) - 1;
}

Folders ResolveFolders(const Environment& env) {
  Folders f;
  f.base = BaseFolder(env);
  std::string error;
  if (!LoadRegistry(f.base, f.registry, error)) f.warning = error;
  auto clearMissing = [&](std::string& value, const char* what) {
    if (value.empty() || IsFolder(value)) return;
    f.warning = std::string("the ") + what + " folder " + value + " no longer exists; using the default";
    value.clear();  // the setting only: nothing on disk is touched
  };
  clearMissing(f.registry.sp, "settings");
  clearMissing(f.registry.tp, "temporary");
  f.settings = f.registry.sp.empty() ? f.base : fs::path(f.registry.sp);
  if (!LoadConfiguration(f.settings / kConfigurationFileName, f.config, error)) f.warning = error;
  if (IsFolder(f.registry.spath)) f.settings = f.registry.spath;
  f.temp = f.registry.tp.empty() ? DefaultTempFolder(env) : fs::path(f.registry.tp);
  return f;
}

}  // namespace torvane::app
