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
  std::string_view summary;
};

constexpr Command kCommands[] = {
    {"info", torvane::cli::RunInfo, "describe a virtual disk: format, capacity, extents, parents"},
    {"volumes", torvane::cli::RunVolumes, "list the volumes of a disk, lost ones included"},
    {"ls", torvane::cli::RunLs, "list the files of a volume, deleted ones included"},
    {"scan", torvane::cli::RunScan, "search a volume's free space for lost files"},
    {"session", torvane::cli::RunSession, "describe a scan session saved by 'scan --save'"},
    {"recover", torvane::cli::RunRecover, "copy files of a volume, deleted ones included, to a folder"},
    {"search", torvane::cli::RunSearch, "find files of a volume by name, content, size or date"},
    {"hexdump", torvane::cli::RunHexdump, "show the bytes of a file of a volume in hexadecimal"},
    {"carve", torvane::cli::RunCarve, "find files by their content and write them to a folder"},
    {"image", torvane::cli::RunImage, "copy a whole virtual disk, or one of its volumes, into a raw image file"},
    {"partsearch", torvane::cli::RunPartsearch, "search the whole disk for lost and overwritten partitions"},
    {"backup", torvane::cli::RunBackup, "save the partition-table sectors a repair would write"},
    {"repair", torvane::cli::RunRepair, "write lost partitions back into the partition table"},
    {"restore", torvane::cli::RunRestore, "write a partition-table backup back to its disk"},
    {"identify", torvane::cli::RunIdentify, "name the file type and measure the size of files, as carving would"},
};

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: torvane COMMAND [options]\n\n"
               "Torvane recovers files from VMware virtual disks (.vmdk).\n\ncommands:\n");
  for (const auto& c : kCommands)
    std::fprintf(out, "  %-10s %s\n", std::string(c.name).c_str(), std::string(c.summary).c_str());
  std::fprintf(out, "\n'torvane COMMAND --help' describes a command.\n");
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
  torvane::cli::PrintError("'" + std::string(name) + "' is not a command; see 'torvane --help'");
  return 2;
}
