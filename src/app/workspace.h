// The state of one recovery: the open disk, the open volume and its file system, the found
// items and the drive list. The front ends create one and pass it by reference; nothing here is global, so
// tests can make as many as they like.
#pragma once

#include <memory>
#include "app/drive_list.h"

#include "disk/disk_source.h"
#include "fs/file_system.h"
#include "fs/volume_geometry.h"
#include "session/session.h"
#include "store/item_store.h"

namespace torvane {

struct Workspace {
  DiskSource source;
  VolumeGeometry geometry;
  DriveList driveList;
  ItemStore store;
  // The open volume's file system, once a front end opened it (after the store: it refers
  // to the store, so it goes first).
  std::unique_ptr<FileSystem> fileSystem;

  // The context in which the content reader reads the open volume's items.
  ReaderContext Reader() {
    ReaderContext ctx{source, geometry};
    ctx.fileSystem = fileSystem.get();
    return ctx;
  }
};

// The identity of the open volume as a session records it: the disk, the volume's row of the
// drive list (the first row starting where the volume starts) and its geometry.
inline session::SessionState DescribeOpenVolume(const Workspace& ws) {
  session::SessionState state;
  const PartitionRecord* row = nullptr;
  for (const PartitionRecord& r : ws.driveList.rows)
    if (r.startSector == ws.source.volumeStart && row == nullptr) row = &r;
  session::DescribeVolume(ws.source, ws.geometry, row, state);
  return state;
}

}  // namespace torvane
