// A volume of a fixture disk opened the way the front ends open it: its row of the drive
// list (OpenDriveListRow), then for NTFS its MFT walked into the store (WalkNtfsVolume) and,
// when asked, its free space or whole volume searched (ScanNtfsVolume).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "app/drive_list.h"
#include "app/workspace.h"
#include "fs/ntfs/mft_walk.h"
#include "fs/ntfs/ntfs_tree.h"
#include "fs/ntfs/ntfs_volume.h"
#include "recovery/content_reader.h"
#include "scan/volume_scan.h"
#include "util/text.h"

namespace torvane::test {

struct FixtureVolume {
  Workspace ws;
  std::unique_ptr<ntfs::NtfsVolume> ntfs;  // set once the MFT is walked
  ntfs::MftWalkResult walk;
  std::string error;  // why opening or walking failed; empty when all went well

  // Opens row `row` of `disk`'s drive list; with `walkMft`, walks its MFT too.
  explicit FixtureVolume(const std::filesystem::path& disk, bool walkMft = true, size_t row = 0) {
    if (!OpenDriveListRow(ws.driveList, ws.source, ws.geometry, disk, row, error)) return;
    if (walkMft) WalkNtfsVolume(ws.source, ws.geometry, ws.store, ntfs, walk, {}, error);
  }
  bool ok() const { return error.empty(); }

  // Searches the free space (or with `reverse` the whole volume) for lost records.
  ScanOutcome Scan(bool reverse) {
    VolumeScanOptions options;
    options.reverse = reverse;
    return ScanNtfsVolume(ws.source, ws.geometry, ws.store, *ntfs, options).outcome;
  }

  ReaderContext Reader() { return {ws.source, ws.geometry, ntfs.get()}; }
};

// The "/"-separated path of an entry of the list the tree was built on, from the volume root.
inline std::string EntryPath(const ntfs::NtfsTree& tree, uint64_t index) {
  std::string path;
  for (auto part : tree.PathComponents(index)) path += (path.empty() ? "" : "/") + ToUtf8(part);
  return path;
}

}  // namespace torvane::test
