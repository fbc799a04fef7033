// torvane volumes DISK [--json]: the drive list of a disk, one row per volume and one for the
// whole disk, numbered as every later command's -v N.
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/found_volumes.h"
#include "app/drive_list.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane volumes DISK [--json] [--found FILE.tqsp]\n\n"
    "Lists the volumes of a disk as found through its partition tables, a walk of the disk for\n"
    "volumes no table lists any more, and the backup boot sectors of damaged volumes. The row\n"
    "number is the -v N of the commands that work on a volume.\n"
    "With --found, lists the volumes a partition search saved in FILE.tqsp instead; found\n"
    "volume N is opened with -v FILE.tqsp:N (see 'torvane partsearch --help').\n";

constexpr const char* kNoFreeSpace = "-";

void RowJson(JsonWriter& j, size_t index, const PartitionRecord& r) {
  j.BeginObject();
  j.Field("index", index);
  j.Field("name", RowName(r));
  // The record is packed: its numbers are copied out before they are bound to a reference.
  j.Field("start", uint64_t{r.startSector});
  j.Field("sectors", uint64_t{r.sectors});
  j.Field("bytes_per_sector", uint32_t{r.bytesPerSector});
  j.Field("fs", ToUtf8(GetText(r.fsName)));
  j.Field("label", ToUtf8(GetText(r.label)));
  j.Field("kind", static_cast<uint32_t>(r.fsKind));
  j.Field("whole_disk", r.wholeDisk != 0);
  j.Field("boot_restored", r.bootRestored != 0);
  j.Field("boot_from_backup", r.bootFromBackup != 0);
  j.Field("boot_rebuilt", r.bootRebuilt != 0);
  j.Field("damaged", r.damaged != 0);
  j.EndObject();
}

std::string Pad(const std::string& text, size_t width) {
  return PadText(text, width);
}

std::string Flags(const PartitionRecord& r) {
  std::string flags;
  if (r.bootRebuilt)
    flags += " [" + CliText("szFlagBootRebuilt") + "]";
  else if (r.bootFromBackup || r.bootRestored)
    flags += " [" + CliText("szFlagBackupBoot") + "]";
  if (r.damaged) flags += " [" + CliText("szFlagDamaged") + "]";
  return flags;
}

}  // namespace

int RunVolumes(const Args& args) {
  ParsedArgs p;
  const int early =
      ParseCommandLine(args, {kUsage, {"--json"}, {"--found"}, 1, 1, CliText("szTakesOneDisk", {"volumes"}), {}}, p);
  if (early >= 0) return early;
  if (!p.Option("--found").empty()) return PrintFoundVolumes(p.positional[0], p.Option("--found"), p.Has("--json"));
  DiskSource source;
  VolumeGeometry geometry;
  DriveList list;
  list.SetImage(p.positional[0]);
  list.EnumerationThread(source, geometry, 0);
  if (!list.openError.empty()) {
    PrintError(list.openError);
    return 1;
  }
  std::vector<PartitionRecord> lost;
  for (const auto& w : list.volumeList.walkVolumes) {
    bool listed = false;
    for (size_t i = 0; i < list.volumeList.tableVolumes; ++i)
      listed |= list.volumeList.volumes[i].startSector == w.startSector;
    for (const auto& l : lost) listed |= l.startSector == w.startSector;
    if (!listed) lost.push_back(w);
  }
  if (p.Has("--json")) {
    JsonWriter j;
    j.BeginObject();
    j.Key("volumes").BeginArray();
    for (size_t i = 0; i < list.rows.size(); ++i) RowJson(j, i, list.rows[i]);
    j.EndArray();
    j.Key("lost_volumes").BeginArray();
    for (size_t i = 0; i < lost.size(); ++i) RowJson(j, i, lost[i]);
    j.EndArray();
    j.Field("damaged_extended_blocks", list.volumeList.eppBlocks.size());
    j.Field("repair_offered", list.volumeList.repairOffered);
    j.EndObject();
    std::printf("%s\n", j.Text().c_str());
    return 0;
  }
  std::printf("%s\n", list.imageGroupHeading.c_str());
  std::printf("%3s  %s %s %s %s %s %s\n", "#", Pad(CliText("szColumnName"), 22).c_str(),
              Pad(CliText("szColumnFileSystem"), 12).c_str(), Pad(CliText("szColumnLabel"), 16).c_str(),
              PadTextLeft(CliText("szColumnStart"), 14).c_str(), PadTextLeft(CliText("szColumnSize"), 10).c_str(),
              PadTextLeft(CliText("szColumnFree"), 10).c_str());
  for (size_t i = 0; i < list.rows.size(); ++i) {
    const PartitionRecord& r = list.rows[i];
    if (r.wholeDisk) std::printf("%s\n", CliText("szPhysicalDrives").c_str());
    std::printf("%3zu  %s %s %s %14s %10s %10s%s\n", i, Pad(RowName(r), 22).c_str(),
                Pad(ToUtf8(GetText(r.fsName)), 12).c_str(),
                Pad(r.wholeDisk ? "" : ToUtf8(GetText(r.label)), 16).c_str(), GroupThousands(r.startSector).c_str(),
                RowSizeText(r).c_str(), RowFreeSpaceText(r, kNoFreeSpace).c_str(), Flags(r).c_str());
  }
  if (!lost.empty()) {
    std::printf("%s\n", CliText("szUnlistedVolumes").c_str());
    for (const auto& r : lost)
      std::printf("     %s %s %s %14s %10s\n", Pad(RowName(r), 22).c_str(), Pad(ToUtf8(GetText(r.fsName)), 12).c_str(),
                  Pad(ToUtf8(GetText(r.label)), 16).c_str(), GroupThousands(r.startSector).c_str(),
                  RowSizeText(r).c_str());
  }
  if (!list.volumeList.eppBlocks.empty())
    std::printf("%s\n", CliText("szDamagedExtendedBlocks", {std::to_string(list.volumeList.eppBlocks.size())}).c_str());
  return 0;
}

}  // namespace torvane::cli
