// torvane scan DISK -v N [--reverse] [--json]: the MFT walk, then the search of the free
// space (or, with --reverse, the whole volume from its end) for lost MFT records.
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/commands.h"
#include "app/cli/volume_arg.h"
#include "fs/ntfs/ntfs_tree.h"
#include "util/format.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane scan DISK -v N [--reverse] [--json]\n\n"
    "Reads the MFT of volume N, then searches its free space for records of files that the\n"
    "MFT no longer lists (a reformatted or damaged volume), and prints what the search found\n"
    "beyond the MFT: counts, or with --json the entries as 'torvane ls --json' prints them.\n"
    "  --reverse  search the whole volume from its end to its start (badly damaged volumes)\n"
    "Ctrl-C stops the search; what was found is still printed.\n";

}  // namespace

int RunScan(const Args& args) {
  ParsedArgs p = ParseArgs(args, {"--reverse", "--json"}, {"-v"});
  if (p.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!p.error.empty() || p.positional.size() != 1 || p.Option("-v").empty()) {
    PrintError(!p.error.empty() ? p.error : p.Option("-v").empty() ? "scan needs a volume (-v N)" : "scan takes one disk");
    std::fputs(kUsage, stderr);
    return 2;
  }
  Workspace ws;
  std::string error;
  std::unique_ptr<ntfs::NtfsVolume> volume;
  ntfs::MftWalkResult walk;
  if (!OpenAndWalkNtfs(ws, p.positional[0], p.Option("-v"), volume, walk, error)) {
    PrintError(error);
    return 1;
  }
  const uint64_t walked = EntryCount(ws.store.deletedEntries);
  bool stopped = false;
  const uint64_t found = ScanVolume(ws, *volume, p.Has("--reverse"), &stopped);
  const DynList& list = ws.store.deletedEntries;
  if (p.Has("--json")) {
    const ntfs::NtfsTree tree(list);
    for (uint64_t i = walked; i < EntryCount(list); ++i) {
      const auto parts = tree.PathComponents(i);
      std::printf("%s\n", EntryJson(SlashPath(parts), ToUtf8(parts.back()), EntryAt(list, i)).c_str());
    }
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s entries in the MFT; the %s found %s more%s.\n", GroupThousands(walked).c_str(),
               p.Has("--reverse") ? "search of the whole volume" : "search of the free space",
               GroupThousands(found).c_str(), stopped ? " before it was stopped" : "");
  return 0;
}

}  // namespace torvane::cli
