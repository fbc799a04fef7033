// The state of one recovery: the open disk, the open volume, the found items and the drive
// list. The front ends create one and pass it by reference; nothing here is global, so
// tests can make as many as they like.
#pragma once

#include "app/drive_list.h"
#include "disk/disk_source.h"
#include "fs/volume_geometry.h"
#include "store/item_store.h"

namespace torvane {

struct Workspace {
  DiskSource source;
  VolumeGeometry geometry;
  DriveList driveList;
  ItemStore store;
};

}  // namespace torvane
