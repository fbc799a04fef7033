#include "fs/raw_file_system.h"

#include <algorithm>

namespace torvane {
namespace {

class NoPaths final : public ItemTree {
 public:
  std::vector<std::u16string_view> PathComponents(uint64_t, bool*, std::vector<uint64_t>*) const override { return {}; }
};

class AllFree final : public ScanFamily {
 public:
  bool HasBitmap() const override { return false; }
  uint64_t CountFreeClusters(AllocationMap*) override { return 0; }
  bool IsClusterFree(uint64_t) const override { return true; }
  void SearchRun(const RunDescriptor&, const std::atomic<bool>*) override {}
  void SearchChunk(const RunDescriptor&, const std::atomic<bool>*) override {}
  void EndOfScan() override {}
};

class RawFileSystem final : public FileSystem {
 public:
  RawFileSystem(const VolumeGeometry& geometry, ItemStore& store) : geometry_(geometry), store_(store) {}
  FsKind Kind() const override { return geometry_.fsKind; }
  bool Walk(const std::function<void(uint32_t)>& progress, WalkSummary& summary, std::string&) override {
    store_.Create();
    summary = {};
    summary.foundWhere = "(no file system: RAW mode)";
    if (progress) progress(1000);
    return true;
  }
  std::unique_ptr<ItemTree> MakeTree() const override { return std::make_unique<NoPaths>(); }
  bool ReadItem(ReaderContext&, const FileEntry&, ContentWindow&, ReadOutcome& outcome) override {
    outcome.error = "a volume in RAW mode has only RAW items";
    return false;
  }
  std::unique_ptr<ScanFamily> MakeScanFamily(std::function<void()>) override { return std::make_unique<AllFree>(); }

 private:
  const VolumeGeometry& geometry_;
  ItemStore& store_;
};

}  // namespace

std::unique_ptr<FileSystem> OpenRawFileSystem(DiskSource&, const VolumeGeometry& geometry, ItemStore& store) {
  return std::make_unique<RawFileSystem>(geometry, store);
}

bool IsRawMode(const FileSystem& fileSystem) {
  return dynamic_cast<const RawFileSystem*>(&fileSystem) != nullptr;
}

void MakeRawGeometry(const DiskSource& source, const VolumeGeometry& volume, VolumeGeometry& raw) {
  uint64_t last = volume.volumeLastSector;
  if (source.diskSectors != kNoBound && source.volumeStart < source.diskSectors)
    last = std::min(last, source.diskSectors - source.volumeStart - 1);
  raw.fsKind = FsKind::kOther;
  raw.bytesPerSector = 512;
  raw.bytesPerCluster = 512;
  raw.sectorsPerCluster = 1;
  raw.clusterBase = 0;
  raw.firstDataSector = 0;
  raw.clusterCount = last;  // clusters 0 to last: every sector
  raw.volumeLastSector = last;
  raw.volumeSectors = last + 1;
  raw.reverse = volume.reverse;
  raw.source = volume.source;
}

}  // namespace torvane
