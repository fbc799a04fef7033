#include "app/cli/volume_arg.h"

#include <charconv>

#include "partitions/open_volume.h"

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

}  // namespace torvane::cli
