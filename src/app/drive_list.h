// The drive list: the volumes of the loaded disk and one row for the whole disk, built on
// the enumeration thread, as the drive selection front ends show it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "disk/disk_source.h"
#include "fs/volume_geometry.h"
#include "partitions/partition_record.h"

namespace torvane {

// One disk of the drive table; with a virtual disk loaded there is exactly one.
struct DiskEntry {
  uint32_t bytesPerSector = 512;
  std::u16string name;
  uint64_t sectors = 0;
  uint8_t reserved[8] = {};
  uint64_t bytes = 0;
};

enum class RowColumn { kName = 0, kSecondText = 1, kSize = 2, kFreeSpace = 3 };

// Enumeration reasons.
constexpr int kEnumerateRedrawOnly = 22;
constexpr int kEnumerateAtStartUp = 17;

class DriveList {
 public:
  // The rows: the disk's volume list, then the whole-disk row. Read them only after the
  // enumeration said it is complete.
  std::vector<PartitionRecord> rows;
  std::vector<DiskEntry> diskTable;
  VolumeList volumeList;
  std::string imageGroupHeading;  // "Image: %s" with the image's file name
  std::string openError;          // why the image could not be opened, when it could not
  std::atomic<uint32_t> enumerating{0};
  std::atomic<uint32_t> refreshRequested{0};
  RowColumn sortColumn = RowColumn::kName;
  bool sortDescending = false;

  void SetImage(const std::filesystem::path& image);
  const std::filesystem::path& Image() const { return image_; }

  // Builds the rows on the calling thread (the enumeration thread's body).
  void EnumerationThread(DiskSource& source, VolumeGeometry& geometry, int reason);
  // Starts the enumeration on a worker thread; `done` runs on it when the list is complete.
  std::thread StartEnumeration(DiskSource& source, VolumeGeometry& geometry, int reason, std::function<void()> done);

  // The lost volumes the repair window found, kept for this disk only: a disk without any
  // table then shows them. Dropped when another image is loaded.
  void KeepLostVolumes(std::vector<PartitionRecord> volumes);

  // Sorts the rows by a column; sorting again by the same column reverses the order.
  void SortBy(RowColumn column);

 private:
  std::filesystem::path image_;
  vdisk::FileIdentity imageIdentity_;
  std::vector<PartitionRecord> lostVolumes_;
  vdisk::FileIdentity lostVolumesDisk_;
  bool lostVolumesKept_ = false;
};

// The list view's sort order: < 0, 0 or > 0. Texts compare as texts, sizes and free space
// as numbers; unknown free space (0 or not a number) ranks below every known value, so the
// order is a strict weak ordering.
int32_t CompareRows(const PartitionRecord& a, const PartitionRecord& b, RowColumn column, bool descending);

// The texts of a row's columns as the front ends show them.
std::string RowName(const PartitionRecord& row);
std::string RowSecondText(const PartitionRecord& row);
std::string RowSizeText(const PartitionRecord& row);
// Free space, or `placeholder` when it is unknown.
std::string RowFreeSpaceText(const PartitionRecord& row, const std::string& placeholder);

// Drive letters have no meaning for virtual disks on this platform: always -1.
int64_t LocateVolumeByLetter(char letter);

// Lists the disk's volumes into `list` and opens row `index` with its tables loaded. False,
// with a one-line reason, when the disk, the row or the volume cannot be opened.
bool OpenDriveListRow(DriveList& list, DiskSource& source, VolumeGeometry& geometry, const std::filesystem::path& disk,
                      size_t index, std::string& error);

}  // namespace torvane
