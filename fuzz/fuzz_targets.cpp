#include "fuzz/fuzz_targets.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk_source.h"
#include "disk/vdisk/cowd_extent.h"
#include "disk/vdisk/descriptor.h"
#include "disk/vdisk/sesparse_extent.h"
#include "disk/vdisk/sparse_extent.h"
#include "disk/vdisk/virtual_disk.h"
#include "fs/ntfs/lznt1.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/ntfs/runlist.h"
#include "fs/open_volume.h"
#include "fs/recognize_volume.h"
#include "partitions/volume_list.h"
#include "raw/probes/exif.h"
#include "raw/probes/file_type_by_tag.h"
#include "raw/probes/jpeg_probe.h"
#include "raw/probes/stream_probes.h"
#include "raw/probes/tiff_probe.h"

namespace torvane::fuzz {

int FuzzDescriptor(const uint8_t* data, size_t size) {
  vdisk::Descriptor d;
  std::string error;
  vdisk::ParseDescriptor({reinterpret_cast<const char*>(data), size}, d, error);
  vdisk::LooksLikeDescriptor({reinterpret_cast<const char*>(data), size});
  return 0;
}

namespace {

std::unique_ptr<vdisk::MemorySource> Bytes(const uint8_t* data, size_t size) {
  return std::make_unique<vdisk::MemorySource>(std::vector<uint8_t>(data, data + size));
}

// Reads the extent in 64 KiB steps, but no more than 64 MiB of it: a header may claim a huge
// capacity that is all unallocated. Then a few reads at its end and across odd boundaries.
void ReadExtent(vdisk::Extent* extent) {
  if (extent == nullptr) return;
  std::vector<std::byte> buffer(128 * 512);
  vdisk::ReadReport report;
  const uint64_t total = extent->Sectors();
  const uint64_t sectors = std::min<uint64_t>(total, 131072);
  for (uint64_t s = 0; s < sectors; s += 128)
    extent->Read(s, std::min<uint64_t>(128, sectors - s), buffer.data(), report);
  for (uint64_t s : {total - 1, total / 2, total / 3 + 1})
    if (s < total) extent->Read(s, std::min<uint64_t>(128, total - s), buffer.data(), report);
}

}  // namespace

int FuzzSparseExtent(const uint8_t* data, size_t size) {
  auto file = Bytes(data, size);
  std::string error;
  std::string text;
  vdisk::ReadEmbeddedDescriptor(*file, text, error);
  ReadExtent(vdisk::SparseExtent::Open(std::move(file), 0, error).get());
  return 0;
}

int FuzzCowdExtent(const uint8_t* data, size_t size) {
  std::string error;
  ReadExtent(vdisk::OpenCowdExtent(Bytes(data, size), 0, error).get());
  return 0;
}

int FuzzSeSparseExtent(const uint8_t* data, size_t size) {
  std::string error;
  ReadExtent(vdisk::OpenSeSparseExtent(Bytes(data, size), 0, error).get());
  return 0;
}

namespace {

bool OpenBytes(DiskSource& source, const uint8_t* data, size_t size) {
  if (size < 512) return false;
  auto disk =
      vdisk::VirtualDisk::FromRawBytes(std::make_unique<vdisk::MemorySource>(std::vector<uint8_t>(data, data + size)));
  std::string error;
  return source.OpenDisk(std::move(disk), 0, error);
}

}  // namespace

int FuzzRecognizeVolume(const uint8_t* data, size_t size) {
  DiskSource source;
  if (!OpenBytes(source, data, size)) return 0;
  PartitionRecord record;
  VolumeList list;
  RecognizeVolume(source, &list, nullptr, record, 0, nullptr, nullptr);
  RecognizeVolume(source, &list, data, record, 0, nullptr, nullptr);
  RecognizeVolume(source, &list, nullptr, record, 0, nullptr, size >= 128 ? data : nullptr);
  return 0;
}

int FuzzPartitionTables(const uint8_t* data, size_t size) {
  DiskSource source;
  if (!OpenBytes(source, data, size)) return 0;
  VolumeList list;
  BuildVolumeList(source, list, &RecognizeVolume);
  return 0;
}

int FuzzRecordToEntry(const uint8_t* data, size_t size) {
  DiskSource source;
  VolumeGeometry geometry;
  geometry.fsKind = FsKind::kNtfs;
  geometry.sectorsPerCluster = 8;
  geometry.clusterCount = 4095;
  geometry.mftRecordBytes = size > 1024 ? 4096 : 1024;
  geometry.allocationMap.assign(512, 0x0F);
  ntfs::NtfsVolume volume(source, geometry);
  std::vector<std::byte> record(geometry.mftRecordBytes);
  std::memcpy(record.data(), data, std::min<size_t>(size, record.size()));
  FileEntry entry;
  std::u16string name;
  volume.RecordToEntry(record, entry, name, 3, 7, true);
  volume.OtherLinks();
  return 0;
}

int FuzzRunlist(const uint8_t* data, size_t size) {
  std::vector<ntfs::DataRun> runs;
  size_t used = 0;
  ntfs::DecodeRunlist({reinterpret_cast<const std::byte*>(data), size}, 0, runs, 4096, &used);
  ntfs::CountAllocatedClusters(runs);
  ntfs::FirstRunLcn(runs);
  ntfs::LastRunLcn(runs);
  for (uint64_t vcn : {uint64_t{0}, uint64_t{1}, uint64_t{1000}, ~uint64_t{0}}) ntfs::MapVcn(runs, vcn);
  return 0;
}

int FuzzLznt1(const uint8_t* data, size_t size) {
  std::vector<std::byte> out(65536);
  ntfs::DecompressLznt1Unit({reinterpret_cast<const std::byte*>(data), size}, out);
  std::vector<std::byte> small(100);
  ntfs::DecompressLznt1Chunk({reinterpret_cast<const std::byte*>(data), size}, small);
  return 0;
}

int FuzzOpenVolume(const uint8_t* data, size_t size) {
  // Whole sectors: a short last one is dropped.
  DiskSource source;
  if (!OpenBytes(source, data, size / 512 * 512)) return 0;
  const uint64_t diskBytes = size / 512 * 512;
  DriveSettings fat32, ntfs;
  fat32.override = 1;
  fat32.kindIndex = 1;
  ntfs.override = 1;
  ntfs.kindIndex = 2;
  ntfs.clusterIndex = 4;
  const DriveSettings* const choices[] = {nullptr, &fat32, &ntfs};
  for (const DriveSettings* settings : choices) {
    OpenVolumeRequest request;  // no path: the disk the source holds
    request.loadTables = true;
    request.settings = settings;
    VolumeGeometry geometry;
    std::string error, message;
    if (OpenVolume(source, geometry, request, &error, &message) &&
        (geometry.fatBytes > diskBytes || geometry.allocationMap.size() > diskBytes ||
         geometry.volumeSectors > diskBytes / 512))
      std::abort();
  }
  return 0;
}

namespace {

// The bytes as the sectors of a disk from the candidate on: a size probe runs with the volume
// ending where the bytes do, and with a volume claimed far larger whose further sectors
// cannot be read. A size beyond what the volume holds is a fault.
void RunSizeProbe(const uint8_t* data, size_t size, SizeProbe probe) {
  std::vector<std::byte> disk((size + 511) / 512 * 512 + (size == 0 ? 512 : 0), std::byte{0});
  if (size != 0) std::memcpy(disk.data(), data, size);
  const SectorReader read = [&](uint64_t sector, uint32_t count, std::byte* out) {
    if (sector > disk.size() / 512 || count > disk.size() / 512 - sector) return false;
    std::memcpy(out, disk.data() + sector * 512, size_t{count} * 512);
    return true;
  };
  for (uint64_t available : {uint64_t{size}, uint64_t{1} << 40}) {
    ProbeContext ctx;
    ctx.firstSector = ByteSpan(disk.data(), 512);
    ctx.read = &read;
    ctx.bytesAvailable = available;
    if (probe(ctx) > std::max<uint64_t>(available, 512)) std::abort();
  }
}

template <bool (*Confirm)(ProbeContext&), uint64_t (*Size)(ProbeContext&)>
uint64_t ConfirmThenSize(ProbeContext& ctx) {
  if (!Confirm(ctx)) return 0;
  ctx.ResetOutputs();
  return Size(ctx);
}

}  // namespace

int FuzzJpegProbe(const uint8_t* data, size_t size) {
  RunSizeProbe(data, size, probes::SizeJpeg);
  probes::ExifInfo exif;
  probes::ParseExifApp1(AsBytes(data, size), exif);
  return 0;
}

int FuzzTiffProbe(const uint8_t* data, size_t size) {
  RunSizeProbe(data, size, probes::SizeTiff);
  probes::ExifInfo exif;
  probes::ParseExifTiff(AsBytes(data, size), exif);
  return 0;
}

int FuzzStreamProbes(const uint8_t* data, size_t size) {
  RunSizeProbe(data, size, ConfirmThenSize<probes::ConfirmMp3, probes::SizeMp3>);
  RunSizeProbe(data, size, ConfirmThenSize<probes::ConfirmMpegPs, probes::SizeMpegPs>);
  RunSizeProbe(data, size, ConfirmThenSize<probes::ConfirmMpegTs, probes::SizeMpegTs>);
  RunSizeProbe(data, size, ConfirmThenSize<probes::ConfirmMxf, probes::SizeMxf>);
  probes::Id3ArtistTitle(AsBytes(data, size));
  return 0;
}

int FuzzContentCheck(const uint8_t* data, size_t size) {
  // An exact-size copy: a read past the span is a read past the heap block.
  const std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(data),
                                     reinterpret_cast<const std::byte*>(data) + size);
  for (std::string_view tag : probes::ContentCheckTags()) {
    const probes::ContentCheck check = probes::FileTypeByTag(tag);
    check(bytes, 0);
    check(bytes, size);
  }
  return 0;
}

}  // namespace torvane::fuzz
