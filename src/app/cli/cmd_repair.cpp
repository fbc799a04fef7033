// torvane backup / repair / restore: the partition-table backup file (.tqb), the repair that
// gives lost volumes their table entries back after writing such a backup, and the restore
// of a backup. The only commands that write to a disk, and only after their backup.
#include <cstdio>
#include <cstring>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "disk/image_creator.h"
#include "fs/recognize_volume.h"
#include "partitions/partition_search.h"
#include "partitions/table_repair.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kBackupUsage =
    "usage: torvane backup DISK -o FILE.tqb [--found FILE.tqsp]\n\n"
    "Saves into the new file FILE.tqb every sector a repair of the disk would write (the MBR,\n"
    "the blocks of the extended chain, the boot areas of the volumes), reads it back and\n"
    "compares it with the disk. 'torvane restore' writes it back. The disk is only read.\n";

constexpr const char* kRepairUsage =
    "usage: torvane repair DISK --plan [--found FILE.tqsp]\n"
    "       torvane repair DISK --backup FILE.tqb --yes [--found FILE.tqsp]\n\n"
    "Gives the volumes no partition table lists (found by the walk of the disk, or by a\n"
    "partition search saved in FILE.tqsp) free MBR entries, links lost logical volumes back\n"
    "into the extended chain (making its MBR entry again when old blocks still name them),\n"
    "rewrites damaged blocks of the extended chain and takes damaged boot sectors back from\n"
    "their backups. Overlapping volumes are left out, with the reason. --plan prints\n"
    "what would be written. Writing needs --backup: the sectors the repair writes are first\n"
    "saved to the new file FILE.tqb and read back; then the repair writes to DISK itself\n"
    "(only sectors stored in the disk's own file, never a parent's) and reads them back.\n"
    "Entries in use (any non-zero type inside the disk) are never overwritten.\n";

constexpr const char* kRestoreUsage =
    "usage: torvane restore DISK FILE.tqb --yes\n\n"
    "Writes the sectors saved in FILE.tqb back to DISK, after checking that the backup was\n"
    "made of a disk of the same size and that every block lies inside it, and reads them\n"
    "back. --yes confirms writing to DISK.\n";

// The disk opened for reading with its volume list, and the volumes to give table entries.
struct Prepared {
  DiskSource source;
  VolumeList list;
  std::vector<PartitionRecord> lost;
};

bool Prepare(const std::string& disk, const std::string& found, Prepared& p) {
  std::string error;
  if (!p.source.OpenSource(disk, 0, error)) {
    PrintError(error);
    return false;
  }
  BuildVolumeList(p.source, p.list, &RecognizeVolume);
  if (!found.empty()) {
    SearchState state;
    if (!LoadSearchState(found, state, error)) {
      PrintError(error);
      return false;
    }
    if (state.diskSectors != p.source.diskSectors) {
      PrintError(CliText("szStateDiskSizeOnly", {found, std::to_string(state.diskSectors)}));
      return false;
    }
    for (const auto& r : state.found)
      if (StatusOf(r, p.list) != FoundStatus::kOk) p.lost.push_back(r);
    return true;
  }
  for (const auto& w : p.list.walkVolumes) {
    bool listed = false;
    for (size_t i = 0; i < p.list.tableVolumes && i < p.list.volumes.size(); ++i)
      listed |= p.list.volumes[i].startSector == w.startSector;
    if (!listed) p.lost.push_back(w);
  }
  return true;
}

void PrintPlan(const RestorePlan& plan) {
  if (plan.Empty()) std::printf("%s\n", CliText("szNothingToRestore").c_str());
  for (const auto& d : plan.details) std::printf("%s\n", d.c_str());
  for (const auto& n : plan.notRestored) std::printf("%s\n", CliText("szNotRestored", {n}).c_str());
  uint64_t sectors = 0;
  for (const auto& w : plan.writes) sectors += w.Count();
  if (!plan.Empty())
    std::printf("%s\n", CliText("szPlanWrites", {std::to_string(plan.writes.size()), std::to_string(sectors)}).c_str());
}

}  // namespace

int RunBackup(const Args& args) {
  ParsedArgs p;
  if (const int early = ParseCommandLine(args,
                                         {kBackupUsage,
                                          {},
                                          {"-o", "--found"},
                                          1,
                                          1,
                                          CliText("szTakesOneDisk", {"backup"}),
                                          {{"-o", CliText("szBackupNeedsOutput")}}},
                                         p);
      early >= 0)
    return early;
  Prepared d;
  if (!Prepare(p.positional[0], p.Option("--found"), d)) return 1;
  const RestorePlan plan = BuildRestorePlan(d.source, d.list, d.lost);
  const auto ranges = BackupRanges(d.list, plan);
  std::string error;
  if (!CreatePartitionBackup(d.source, ranges, p.Option("-o"), SourceOutputGuard(d.source), error)) {
    PrintError(error);
    return 1;
  }
  std::fprintf(stderr, "%s\n", CliText("szBackupCreated", {std::to_string(ranges.size()), p.Option("-o")}).c_str());
  return 0;
}

int RunRepair(const Args& args) {
  ParsedArgs p;
  if (const int early = ParseCommandLine(
          args,
          {kRepairUsage, {"--plan", "--yes"}, {"--backup", "--found"}, 1, 1, CliText("szTakesOneDisk", {"repair"}), {}},
          p);
      early >= 0)
    return early;
  const std::string disk = p.positional[0], backupPath = p.Option("--backup");
  if (!p.Has("--plan") && backupPath.empty()) {
    PrintError(CliText("szRepairNeedsBackup"));
    return 2;
  }
  Prepared d;
  if (!Prepare(disk, p.Option("--found"), d)) return 1;
  const RestorePlan plan = BuildRestorePlan(d.source, d.list, d.lost);
  PrintPlan(plan);
  if (p.Has("--plan") || plan.Empty()) return 0;
  if (!p.Has("--yes")) {
    PrintError(CliText("szRepairNeedsYes", {disk}));
    return 2;
  }
  std::string error;
  if (!CreatePartitionBackup(d.source, BackupRanges(d.list, plan), backupPath, SourceOutputGuard(d.source), error)) {
    PrintError(CliText("szNothingWritten", {error}));
    return 1;
  }
  d.source.CloseSource();
  size_t written = 0;
  if (!WriteBlocks(disk, plan.writes, written, error)) {
    PrintError(CliText("szRepairWriteFailed",
                       {error, std::to_string(written), std::to_string(plan.writes.size()), disk, backupPath}));
    return 1;
  }
  std::fprintf(stderr, "%s\n", CliText("szRepairDone", {backupPath}).c_str());
  return 0;
}

int RunRestore(const Args& args) {
  ParsedArgs p;
  if (const int early =
          ParseCommandLine(args, {kRestoreUsage, {"--yes"}, {}, 2, 2, CliText("szRestoreArguments"), {}}, p);
      early >= 0)
    return early;
  const std::string disk = p.positional[0], file = p.positional[1];
  DiskSource source;
  std::string error;
  if (!source.OpenSource(disk, 0, error)) {
    PrintError(error);
    return 1;
  }
  if (SourceOutputGuard(source).IsProtected(file)) {
    PrintError(CliText("szIsDiskFile", {file}));
    return 1;
  }
  PartitionBackup backup;
  if (!LoadPartitionBackup(file, source.diskSectors, backup, error)) {
    PrintError(CliText("szNothingWritten", {error}));
    return 1;
  }
  // What the disk holds now where the backup will write.
  size_t differing = 0;
  bool mbrDiffers = false;
  for (const auto& b : backup.blocks) {
    std::vector<uint8_t> now(b.data.size());
    const ReadResult r = source.Read(now.data(), b.Count(), b.sector);
    const bool same = r.done && r.failedSectors == 0 && now == b.data;
    differing += same ? 0 : 1;
    if (b.sector == 0 && !same) mbrDiffers = true;
  }
  const std::string name = ToUtf8(backup.sourceName);
  const std::string current = std::filesystem::absolute(disk).string();
  if (name != current.substr(0, name.size()))
    std::fprintf(stderr, "torvane: %s\n", CliText("szBackupMadeOf", {name}).c_str());
  std::fprintf(stderr, "%s\n",
               CliText(mbrDiffers ? "szBlocksDifferMbr" : "szBlocksDiffer",
                       {disk, std::to_string(differing), std::to_string(backup.blocks.size())})
                   .c_str());
  if (!p.Has("--yes")) {
    PrintError(CliText("szRestoreNeedsYes", {std::to_string(backup.blocks.size()), disk}));
    return 2;
  }
  source.CloseSource();
  size_t written = 0;
  if (!WriteBlocks(disk, backup.blocks, written, error)) {
    PrintError(CliText("szRestoreWriteFailed", {error, std::to_string(written), std::to_string(backup.blocks.size())}));
    return 1;
  }
  std::fprintf(stderr, "%s\n", CliText("szRestored", {std::to_string(backup.blocks.size()), disk}).c_str());
  return 0;
}

}  // namespace torvane::cli
