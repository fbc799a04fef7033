#include "app/cli/volume_arg.h"

#include <charconv>

#include "app/cli/progress_bar.h"
#include "partitions/open_volume.h"
#include "util/text.h"

namespace torvane::cli {

bool OpenVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error) {
  size_t index = 0;
  auto [end, ec] = std::from_chars(row.data(), row.data() + row.size(), index);
  if (row.empty() || ec != std::errc() || end != row.data() + row.size()) {
    error = "-v takes a row number from 'torvane volumes'";
    return false;
  }
  ws.driveList.SetImage(disk);
  ws.driveList.EnumerationThread(ws.source, ws.geometry, 0);
  if (!ws.driveList.openError.empty()) {
    error = ws.driveList.openError;
    return false;
  }
  if (index >= ws.driveList.rows.size()) {
    error = "there is no volume " + row + " on " + disk + " (see 'torvane volumes')";
    return false;
  }
  PartitionRecord record = ws.driveList.rows[index];
  OpenVolumeRequest request;
  request.path = disk;
  request.startSector = record.startSector;
  request.volumeSectors = record.wholeDisk ? 0 : record.sectors;
  request.loadTables = true;
  request.record = &record;
  std::string openError;
  if (!OpenVolume(ws.source, ws.geometry, request, &openError)) {
    error = openError.empty() ? "volume " + row + " cannot be opened" : openError;
    return false;
  }
  return true;
}

bool OpenAndWalkNtfs(Workspace& ws, const std::string& disk, const std::string& row,
                     std::unique_ptr<ntfs::NtfsVolume>& volume, ntfs::MftWalkResult& walk,
                     std::string& error) {
  if (!OpenVolumeRow(ws, disk, row, error)) return false;
  if (ws.geometry.fsKind != FsKind::kNtfs || ws.geometry.damaged) {
    error = "volume " + row + " is not an NTFS volume that can be read yet";
    return false;
  }
  ws.store.Create();
  volume = std::make_unique<ntfs::NtfsVolume>(ws.source, ws.geometry, &ws.store.Messages());
  ntfs::MftWalkControl control;
  ProgressBar bar("Reading MFT");
  control.progress = [&](uint32_t permille) { bar.Update(permille, 1000); };
  walk = ntfs::RunMftWalk(*volume, ws.store, control);
  bar.Finish();
  if (!walk.ok) error = walk.error;
  return walk.ok;
}

std::string SlashPath(const std::vector<std::u16string_view>& components) {
  std::string path;
  for (auto c : components) path += (path.empty() ? "" : "/") + ToUtf8(c);
  return path;
}

}  // namespace torvane::cli
