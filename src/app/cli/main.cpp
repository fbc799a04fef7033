// torvane: the command-line front end.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "disk/disk_source.h"

namespace {

constexpr const char* kVersion = "0.1.0";

struct Command {
  std::string_view name;
  int (*run)(const torvane::cli::Args&);
  std::string_view summary;  // the key of its one-line description (section CLI)
};

constexpr Command kCommands[] = {
    {"info", torvane::cli::RunInfo, "szCommandInfo"},
    {"volumes", torvane::cli::RunVolumes, "szCommandVolumes"},
    {"ls", torvane::cli::RunLs, "szCommandLs"},
    {"scan", torvane::cli::RunScan, "szCommandScan"},
    {"session", torvane::cli::RunSession, "szCommandSession"},
    {"recover", torvane::cli::RunRecover, "szCommandRecover"},
    {"search", torvane::cli::RunSearch, "szCommandSearch"},
    {"hexdump", torvane::cli::RunHexdump, "szCommandHexdump"},
    {"carve", torvane::cli::RunCarve, "szCommandCarve"},
    {"image", torvane::cli::RunImage, "szCommandImage"},
    {"partsearch", torvane::cli::RunPartsearch, "szCommandPartsearch"},
    {"backup", torvane::cli::RunBackup, "szCommandBackup"},
    {"repair", torvane::cli::RunRepair, "szCommandRepair"},
    {"restore", torvane::cli::RunRestore, "szCommandRestore"},
    {"identify", torvane::cli::RunIdentify, "szCommandIdentify"},
};

void PrintUsage(FILE* out) {
  using torvane::cli::CliText;
  std::fprintf(out, "%s\n\n%s\n\n%s\n", CliText("szUsageLine").c_str(), CliText("szUsageAbout").c_str(),
               CliText("szUsageCommands").c_str());
  for (const auto& c : kCommands)
    std::fprintf(out, "  %-10s %s\n", std::string(c.name).c_str(), CliText(c.summary).c_str());
  std::fprintf(out, "\n%s\n", CliText("szUsageCommandHelp").c_str());
}

}  // namespace

namespace torvane::cli {
void PrintError(const std::string& message) {
  std::fprintf(stderr, "torvane: %s\n", message.c_str());
}
}  // namespace torvane::cli

int main(int argc, char** argv) {
  if (std::string error; !torvane::cli::InitLanguage(argc, argv, error)) {
    torvane::cli::PrintError(error);
    return 2;
  }
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (name == "--version") {
    std::printf("Torvane %s\n", kVersion);
    return 0;
  }
  for (const auto& c : kCommands) {
    if (c.name == name) {
      torvane::InitDiskLibrary();
      int rc = c.run(torvane::cli::Args(argv + 2, argv + argc));
      torvane::ShutdownDiskLibrary();
      return rc;
    }
  }
  torvane::cli::PrintError(torvane::cli::CliText("szNotACommand", {name}));
  return 2;
}
