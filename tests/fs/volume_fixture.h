// A volume of a fixture disk opened the way the front ends open it: its row of the drive
// list (OpenDriveListRow), then its file system walked into the store (WalkVolume) and,
// when asked, its free space or whole volume searched (ScanFileSystem).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "app/drive_list.h"
#include "app/workspace.h"
#include "fs/ntfs/ntfs_file_system.h"
#include "fs/ntfs/ntfs_tree.h"
#include "fs/ntfs/ntfs_volume.h"
#include "recovery/content_reader.h"
#include "scan/volume_scan.h"
#include "util/text.h"

namespace torvane::test {

struct FixtureVolume {
  Workspace ws;
  ntfs::NtfsVolume* ntfs = nullptr;  // the NTFS reader, once an NTFS volume is walked
  WalkSummary walk;
  std::string error;  // why opening or walking failed; empty when all went well

  // Opens row `row` of `disk`'s drive list; with `walk`, walks its file system too.
  explicit FixtureVolume(const std::filesystem::path& disk, bool walkVolume = true, size_t row = 0) {
    if (!OpenDriveListRow(ws.driveList, ws.source, ws.geometry, disk, row, error)) return;
    if (!walkVolume) return;
    WalkVolume(ws.source, ws.geometry, ws.store, ws.fileSystem, walk, {}, error);
    if (auto* n = dynamic_cast<ntfs::NtfsFileSystem*>(ws.fileSystem.get())) ntfs = &n->Volume();
  }
  bool ok() const { return error.empty(); }

  // Searches the free space (or with `reverse` the whole volume) for lost records.
  ScanOutcome Scan(bool reverse) {
    VolumeScanOptions options;
    options.reverse = reverse;
    return ScanFileSystem(ws.source, ws.geometry, ws.store, *ws.fileSystem, options).outcome;
  }

  ReaderContext Reader() {
    ReaderContext ctx{ws.source, ws.geometry, ntfs};
    ctx.fileSystem = ws.fileSystem.get();
    return ctx;
  }
};

// The "/"-separated path of an entry of the list the tree was built on, from the volume root.
inline std::string EntryPath(const ItemTree& tree, uint64_t index) {
  std::string path;
  for (auto part : tree.PathComponents(index)) path += (path.empty() ? "" : "/") + ToUtf8(part);
  return path;
}

}  // namespace torvane::test
