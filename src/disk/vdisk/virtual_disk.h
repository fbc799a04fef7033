// A VMware virtual disk opened by path: its descriptor, its extents and its parent chain,
// read as one run of 512-byte sectors.
//
// Accepts a descriptor file, a monolithic sparse file (descriptor embedded), a lone sparse,
// COWD or seSparse extent, and, when allowed, any other file as a raw disk image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "disk/vdisk/descriptor.h"
#include "disk/vdisk/extent.h"

namespace torvane::vdisk {

// Snapshot chains deeper than this are refused; VMware allows 32 snapshots in a chain.
constexpr int kMaxChainDepth = 64;

// Memory the grain directories and table caches of one open disk (with its parents) may
// take. Each extent's tables are capped on their own (at most a few hundred MiB for the
// largest seSparse disk), so a disk whose extents together need more than this is refused
// after the extent that crossed it: the peak stays below this plus one extent's tables.
constexpr uint64_t kMaxTableMemory = uint64_t{1} << 30;

struct OpenOptions {
  // Open the leaf disk's files for writing (parents are always read-only).
  bool writable = false;
  // Open a file that is no VMware disk as a raw disk image instead of failing.
  bool allowRaw = true;
};

class VirtualDisk {
 public:
  // Null, with a one-line reason in `error`, when the disk cannot be opened.
  static std::unique_ptr<VirtualDisk> Open(const std::filesystem::path& path, const OpenOptions& options,
                                           std::string& error);
  // A raw disk image held by any byte source (memory for tests and fuzzing).
  static std::unique_ptr<VirtualDisk> FromRawBytes(std::unique_ptr<ByteSource> data);
  ~VirtualDisk();

  // Capacity in 512-byte sectors.
  uint64_t Capacity() const { return capacity_; }

  // Reads `count` sectors at `sector`. Every byte of `out` is written. `report` is cleared
  // first; afterwards `report.failed` lists the sectors that could not be read (zero-filled),
  // and `report.unallocated` the sectors that no disk of the chain holds (zeros).
  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report);
  // The first sector at or after `sector` that may hold anything but zeros, by the holes of
  // the extent files (capacity when only holes follow). A disk with a parent answers
  // `sector`: its holes show the parent's data.
  uint64_t NextDataSector(uint64_t sector) const;

  // Writes in place; false, with nothing written, unless the disk was opened for writing and
  // every sector is already stored in the leaf disk's flat extents or allocated grains.
  bool Write(uint64_t sector, uint64_t count, const std::byte* in);

  bool IsRaw() const { return raw_; }
  bool Writable() const { return writable_; }
  const std::string& CreateType() const { return createType_; }
  const Descriptor& GetDescriptor() const { return descriptor_; }
  const std::filesystem::path& Path() const { return path_; }
  // One entry per extent line; lines naming the same file the same way share one extent.
  const std::vector<std::shared_ptr<Extent>>& Extents() const { return extents_; }
  const VirtualDisk* Parent() const { return parent_.get(); }
  // Things worth telling the user that did not stop the open (CID mismatch, damaged
  // directory, an extent outside the descriptor's folder), for this disk and its parents.
  const std::vector<std::string>& Warnings() const { return warnings_; }
  // Whether the parent's CID matches this disk's parentCID (true without a parent).
  bool ParentCidMatches() const { return parentCidMatches_; }
  // Identities of every file this disk reads: descriptor, extents and the parents' files.
  std::vector<FileIdentity> FileIdentities() const;

 private:
  // What the disks of one chain share while they are opened.
  struct ChainState {
    std::vector<FileIdentity> files;
    uint64_t tableMemory = 0;
  };

  VirtualDisk() = default;
  bool OpenExtents(ChainState& chain, std::string& error);
  bool OpenParent(ChainState& chain, std::string& error);
  static std::unique_ptr<VirtualDisk> OpenChained(const std::filesystem::path& path, const OpenOptions& options,
                                                  ChainState& chain, std::string& error);
  // Calls fn(extent index, first sector inside the extent, sector count, sectors before it in
  // the range) for each extent piece of [sector, sector + count), which lies inside the disk;
  // stops early when fn returns false. False when it stopped early.
  template <typename Fn>
  bool ForEachPiece(uint64_t sector, uint64_t count, Fn&& fn);

  std::filesystem::path path_;
  FileIdentity identity_;
  std::string createType_;
  Descriptor descriptor_;
  bool raw_ = false;
  bool writable_ = false;
  uint64_t capacity_ = 0;
  // True when the file itself is the disk's one extent (a monolithic sparse file, whose
  // embedded descriptor names the file as it was first called).
  bool selfExtent_ = false;
  std::vector<std::shared_ptr<Extent>> extents_;
  std::vector<uint64_t> extentStarts_;
  std::unique_ptr<VirtualDisk> parent_;
  bool parentCidMatches_ = true;
  std::vector<std::string> warnings_;
  // Scratch space of Read, kept to spare an allocation per read.
  ReadReport parentReport_;
  std::vector<SectorRange> holes_;
};

// Resolves a file named inside a descriptor (an extent or a parent hint): relative names
// against the descriptor's folder; absolute ones as given, and failing that by their file
// name in the descriptor's folder (a disk copied from another machine, or a Windows path
// such as C:\VMs\base.vmdk). Returns the first candidate that exists, else the first one.
std::filesystem::path ResolveRelatedFile(const std::filesystem::path& descriptorFolder, const std::string& name);

}  // namespace torvane::vdisk
