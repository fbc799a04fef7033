#include "app/drive_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "fs/open_volume.h"
#include "fs/recognize_volume.h"
#include "partitions/volume_list.h"
#include "util/format.h"
#include "util/text.h"

namespace torvane {
namespace {

vdisk::FileIdentity IdentityOf(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool KnownFreeSpace(double v) {
  return std::isfinite(v) && v > 0;
}

int CompareNumbers(double a, double b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

}  // namespace

void DriveList::SetImage(const std::filesystem::path& image) {
  image_ = image;
  const vdisk::FileIdentity identity = IdentityOf(image);
  if (!(identity == imageIdentity_)) {
    imageIdentity_ = identity;
    if (!(lostVolumesDisk_ == identity)) {
      lostVolumes_.clear();
      lostVolumesKept_ = false;
    }
  }
}

void DriveList::KeepLostVolumes(std::vector<PartitionRecord> volumes) {
  lostVolumes_ = std::move(volumes);
  lostVolumesDisk_ = imageIdentity_;
  lostVolumesKept_ = true;
}

void DriveList::EnumerationThread(DiskSource& source, VolumeGeometry& geometry, int reason) {
  enumerating = 1;
  if (reason != kEnumerateRedrawOnly) {
    refreshRequested = 1;
    while (refreshRequested.exchange(0) != 0) {
      rows.clear();
      diskTable.clear();
      volumeList.Clear();
      imageGroupHeading.clear();
      openError.clear();
      OpenVolumeRequest request;
      request.path = image_;
      if (!image_.empty() && OpenVolume(source, geometry, request, &openError)) {
        imageGroupHeading = "Image: " + image_.filename().string();
        // The disk as a whole: no volume bound while the tables are read.
        source.volumeStart = 0;
        source.volumeLastSector = kNoBound;
        BuildVolumeList(source, volumeList, &RecognizeVolume);
        rows = volumeList.volumes;
      }
      if (rows.empty() && volumeList.candidates.empty() && lostVolumesKept_ && lostVolumesDisk_ == imageIdentity_)
        rows = lostVolumes_;
      PartitionRecord disk;
      disk.wholeDisk = 1;
      disk.driveNumber = 0;
      disk.driveLetter = '$';
      disk.startSector = 0;
      disk.sectors = source.disk ? source.diskSectors : 0;
      // File names on this platform are UTF-8.
      SetText(disk.displayLabel, std::u16string_view(FromUtf8(image_.filename().string())));
      SetText(disk.fsName, std::string_view("Physical drive"));
      rows.push_back(disk);
      DiskEntry entry;
      entry.name = FromUtf8(image_.filename().string());
      entry.sectors = disk.sectors;
      entry.bytes = disk.sectors * 512;
      diskTable.push_back(entry);
      source.CloseSource();
    }
  }
  enumerating = 0;
}

std::thread DriveList::StartEnumeration(DiskSource& source, VolumeGeometry& geometry, int reason,
                                        std::function<void()> done) {
  return std::thread([this, &source, &geometry, reason, done = std::move(done)] {
    EnumerationThread(source, geometry, reason);
    if (done) done();
  });
}

void DriveList::SortBy(RowColumn column) {
  sortDescending = column == sortColumn ? !sortDescending : false;
  sortColumn = column;
  // The whole-disk row stays last, under its own group.
  auto end = std::stable_partition(rows.begin(), rows.end(), [](const PartitionRecord& r) { return r.wholeDisk == 0; });
  std::stable_sort(rows.begin(), end, [this](const PartitionRecord& a, const PartitionRecord& b) {
    return CompareRows(a, b, sortColumn, sortDescending) < 0;
  });
}

int32_t CompareRows(const PartitionRecord& a, const PartitionRecord& b, RowColumn column, bool descending) {
  int result = 0;
  switch (column) {
    case RowColumn::kName:
      result = RowName(a).compare(RowName(b));
      break;
    case RowColumn::kSecondText:
      result = RowSecondText(a).compare(RowSecondText(b));
      break;
    case RowColumn::kSize:
      result = CompareNumbers(static_cast<double>(a.sectors), static_cast<double>(b.sectors));
      break;
    case RowColumn::kFreeSpace: {
      const bool ka = KnownFreeSpace(a.freeSpace), kb = KnownFreeSpace(b.freeSpace);
      result = ka && kb ? CompareNumbers(a.freeSpace, b.freeSpace) : ka == kb ? 0 : ka ? 1 : -1;
      break;
    }
  }
  result = result < 0 ? -1 : result > 0 ? 1 : 0;
  return descending ? -result : result;
}

std::string RowName(const PartitionRecord& row) {
  return ToUtf8(GetText(row.displayLabel));
}

std::string RowSecondText(const PartitionRecord& row) {
  const std::string fs = ToUtf8(GetText(row.fsName));
  const std::string label = ToUtf8(GetText(row.label));
  return row.wholeDisk || label.empty() ? fs : fs + " " + label;
}

std::string RowSizeText(const PartitionRecord& row) {
  return HumanSize(row.sectors * 512);
}

std::string RowFreeSpaceText(const PartitionRecord& row, const std::string& placeholder) {
  return KnownFreeSpace(row.freeSpace) ? HumanSize(static_cast<uint64_t>(row.freeSpace)) : placeholder;
}

int64_t LocateVolumeByLetter(char) {
  return -1;
}

bool OpenDriveListRow(DriveList& list, DiskSource& source, VolumeGeometry& geometry, const std::filesystem::path& disk,
                      size_t index, std::string& error) {
  list.SetImage(disk);
  list.EnumerationThread(source, geometry, 0);
  if (!list.openError.empty()) {
    error = list.openError;
    return false;
  }
  if (index >= list.rows.size()) {
    error = "there is no volume " + std::to_string(index) + " on " + disk.string();
    return false;
  }
  PartitionRecord record = list.rows[index];
  OpenVolumeRequest request;
  request.path = disk;
  request.startSector = record.startSector;
  request.volumeSectors = record.wholeDisk ? 0 : record.sectors;
  request.loadTables = true;
  request.record = &record;
  std::string openError;
  if (!OpenVolume(source, geometry, request, &openError)) {
    error = openError.empty() ? "volume " + std::to_string(index) + " cannot be opened" : openError;
    return false;
  }
  return true;
}

}  // namespace torvane
