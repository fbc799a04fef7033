#include "disk/vdisk/virtual_disk.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <stdexcept>
#include <system_error>
#include <tuple>

#include "disk/vdisk/cowd_extent.h"
#include "disk/vdisk/flat_extent.h"
#include "disk/vdisk/sesparse_extent.h"
#include "disk/vdisk/sparse_extent.h"

namespace torvane::vdisk {
namespace {

namespace fs = std::filesystem;

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec) || fs::is_block_file(p, ec);
}

// True when `file` lies in `folder` or below it (after following links).
bool InsideFolder(const fs::path& folder, const fs::path& file) {
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(folder.empty() ? fs::path(".") : folder, ec);
  if (ec) return false;
  const fs::path target = fs::weakly_canonical(file, ec);
  if (ec) return false;
  const fs::path rel = target.lexically_relative(base);
  return !rel.empty() && *rel.begin() != "..";
}

bool IsAbsoluteName(const std::string& name) {
  if (!name.empty() && (name[0] == '/' || name[0] == '\\')) return true;
  return name.size() >= 3 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':' &&
         (name[2] == '\\' || name[2] == '/');
}

std::string BaseName(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::unique_ptr<Extent> OpenExtent(const ExtentLine& line, std::unique_ptr<ByteSource> file, std::string& error) {
  switch (line.type) {
    case ExtentType::kSparse:
      return SparseExtent::Open(std::move(file), line.sectors, error);
    case ExtentType::kVmfsSparse:
      return OpenCowdExtent(std::move(file), line.sectors, error);
    case ExtentType::kSeSparse:
      return OpenSeSparseExtent(std::move(file), line.sectors, error);
    case ExtentType::kFlat:
    case ExtentType::kVmfs:
    case ExtentType::kVmfsRdm:
    case ExtentType::kVmfsRaw:
      return std::make_unique<FlatExtent>(std::move(file), line.sectors, line.offset,
                                          std::string(ExtentTypeName(line.type)));
    case ExtentType::kZero:
      break;
  }
  return std::make_unique<ZeroExtent>(line.sectors);
}

}  // namespace

fs::path ResolveRelatedFile(const fs::path& folder, const std::string& name) {
  std::vector<fs::path> candidates;
  if (IsAbsoluteName(name)) {
    candidates.emplace_back(name);
  } else {
    candidates.push_back(folder / name);
    if (name.find('\\') != std::string::npos) {
      std::string slashed = name;
      std::replace(slashed.begin(), slashed.end(), '\\', '/');
      candidates.push_back(folder / slashed);
    }
  }
  candidates.push_back(folder / BaseName(name));
  for (const auto& c : candidates)
    if (Exists(c)) return c;
  return candidates.front();
}

VirtualDisk::~VirtualDisk() = default;

template <typename Fn>
bool VirtualDisk::ForEachPiece(uint64_t sector, uint64_t count, Fn&& fn) {
  if (count == 0) return true;
  size_t index = static_cast<size_t>(std::upper_bound(extentStarts_.begin(), extentStarts_.end(), sector) -
                                     extentStarts_.begin() - 1);
  const uint64_t end = sector + count;
  for (uint64_t pos = sector; pos < end; ++index) {
    const uint64_t start = extentStarts_[index];
    const uint64_t n = std::min(end - pos, start + extents_[index]->Sectors() - pos);
    if (!fn(index, pos - start, n, pos - sector)) return false;
    pos += n;
  }
  return true;
}

std::unique_ptr<VirtualDisk> VirtualDisk::FromRawBytes(std::unique_ptr<ByteSource> data) {
  std::unique_ptr<VirtualDisk> disk(new VirtualDisk());
  disk->path_ = data->Path();
  disk->raw_ = true;
  disk->createType_ = "raw";
  disk->capacity_ = std::min<uint64_t>((data->Size() + kSectorSize - 1) / kSectorSize, kMaxDiskSectors);
  disk->writable_ = data->Writable();
  disk->extents_.push_back(std::make_shared<FlatExtent>(std::move(data), disk->capacity_, 0, "FLAT",
                                                        /*zeroPastEnd=*/true));
  disk->extentStarts_.push_back(0);
  return disk;
}

std::unique_ptr<VirtualDisk> VirtualDisk::Open(const fs::path& path, const OpenOptions& options, std::string& error) {
  ChainState chain;
  // Every size the reader allocates by is capped, but the memory may still run out: that is
  // a disk that cannot be opened, not a crash.
  try {
    return OpenChained(path, options, chain, error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to open " + path.string() + " (its tables are too large)";
  } catch (const std::length_error&) {
    error = "not enough memory to open " + path.string() + " (its tables are too large)";
  }
  return nullptr;
}

std::unique_ptr<VirtualDisk> VirtualDisk::OpenChained(const fs::path& path, const OpenOptions& options,
                                                      ChainState& chain, std::string& error) {
  std::unique_ptr<FileSource> file = FileSource::Open(path, false, error);
  if (!file) return nullptr;
  std::unique_ptr<VirtualDisk> disk(new VirtualDisk());
  disk->path_ = path;
  disk->identity_ = file->Identity();
  disk->writable_ = options.writable;
  if (std::find(chain.files.begin(), chain.files.end(), disk->identity_) != chain.files.end()) {
    error = "the parent chain loops back to " + path.string();
    return nullptr;
  }
  if (chain.files.size() >= static_cast<size_t>(kMaxChainDepth)) {
    error = "the parent chain is deeper than " + std::to_string(kMaxChainDepth) + " disks";
    return nullptr;
  }
  chain.files.push_back(disk->identity_);

  // A lone extent with no descriptor of its own is a disk of that one extent.
  ExtentLine lone;
  lone.fileName = path.filename().string();
  std::string text;
  if (IsSparseFile(*file)) {
    if (!ReadEmbeddedDescriptor(*file, text, error)) return nullptr;
    lone.type = ExtentType::kSparse;
    disk->createType_ = "monolithicSparse";
    disk->selfExtent_ = true;
  } else if (IsCowdFile(*file)) {
    lone.type = ExtentType::kVmfsSparse;
    disk->createType_ = "vmfsSparse";
  } else if (IsSeSparseFile(*file)) {
    lone.type = ExtentType::kSeSparse;
    disk->createType_ = "seSparse";
  } else {
    char head[1024] = {};
    size_t got = file->ReadSome(0, head, sizeof head);
    if (LooksLikeDescriptor({head, got})) {
      if (file->Size() > kMaxDescriptorBytes) {
        error = path.string() + " starts like a descriptor but is larger than 1 MiB (" + std::to_string(file->Size()) +
                " bytes): a descriptor that large is damaged";
        return nullptr;
      }
      text.resize(file->Size());
      text.resize(file->ReadSome(0, text.data(), text.size()));
      if (text.empty()) text = " ";  // an empty read still goes to the parser for its message
    } else if (options.allowRaw) {
      disk->raw_ = true;
      disk->createType_ = "raw";
      disk->capacity_ = (file->Size() + kSectorSize - 1) / kSectorSize;
      if (disk->capacity_ == 0 || disk->capacity_ > kMaxDiskSectors) {
        error = path.string() + " is empty or too large to be a disk image";
        return nullptr;
      }
      if (options.writable && !(file = FileSource::Open(path, true, error))) return nullptr;
      disk->extents_.push_back(
          std::make_shared<FlatExtent>(std::move(file), disk->capacity_, 0, "FLAT", /*zeroPastEnd=*/true));
      disk->extentStarts_.push_back(0);
      return disk;
    } else {
      error = path.string() + " is not a VMware virtual disk";
      return nullptr;
    }
  }

  if (!text.empty()) {
    if (!ParseDescriptor(text, disk->descriptor_, error)) {
      error = "the descriptor of " + path.string() + " is damaged: " + error;
      return nullptr;
    }
    disk->createType_ = disk->descriptor_.createType;
    if (disk->selfExtent_) {
      // The embedded descriptor's extent line names the file as it was first called; the
      // extent is this file whatever it is called now. Its size and access come from that
      // line when it is the only one.
      auto& lines = disk->descriptor_.extents;
      if (lines.size() == 1 && lines[0].type == ExtentType::kSparse) {
        lone.sectors = lines[0].sectors;
        lone.access = lines[0].access;
      }
      lines.assign(1, lone);
    }
  } else {
    disk->selfExtent_ = true;
    disk->descriptor_.extents.push_back(lone);
  }
  file.reset();
  if (!disk->OpenExtents(chain, error)) return nullptr;
  if (!disk->OpenParent(chain, error)) return nullptr;
  return disk;
}

bool VirtualDisk::OpenExtents(ChainState& chain, std::string& error) {
  const fs::path folder = path_.parent_path();
  // Lines that name the same file the same way share one extent, and with it its tables.
  using ShareKey = std::tuple<uint64_t, uint64_t, int, int, uint64_t, uint64_t>;
  std::map<ShareKey, std::shared_ptr<Extent>> opened;
  for (const ExtentLine& line : descriptor_.extents) {
    std::shared_ptr<Extent> extent;
    if (line.type == ExtentType::kZero) {
      extent = std::make_shared<ZeroExtent>(line.sectors);
    } else if (line.access == ExtentAccess::kNoAccess) {
      extent = std::make_shared<NoAccessExtent>(line.sectors, std::string(ExtentTypeName(line.type)));
    } else {
      const fs::path file = selfExtent_ ? path_ : ResolveRelatedFile(folder, line.fileName);
      std::error_code ec;
      if (!fs::exists(file, ec)) {
        error = "extent file \"" + line.fileName + "\" named by " + path_.string() + " is missing";
        return false;
      }
      std::unique_ptr<FileSource> source =
          FileSource::Open(file, writable_ && line.access == ExtentAccess::kReadWrite, error);
      if (!source) {
        error = "extent \"" + line.fileName + "\" of " + path_.string() + ": " + error;
        return false;
      }
      const FileIdentity id = source->Identity();
      const ShareKey key{id.device,    id.inode,   static_cast<int>(line.type), static_cast<int>(line.access),
                         line.sectors, line.offset};
      if (auto it = opened.find(key); it != opened.end()) {
        extent = it->second;
      } else {
        if (!selfExtent_ && !InsideFolder(folder, file))
          warnings_.push_back(path_.string() + ": extent \"" + line.fileName +
                              "\" lies outside the descriptor's folder (" + file.string() + ")");
        std::unique_ptr<Extent> made = OpenExtent(line, std::move(source), error);
        if (!made) return false;
        chain.tableMemory += made->TableMemory();
        if (chain.tableMemory > kMaxTableMemory) {
          error = "the grain tables of " + path_.string() + " (with its parents) need more than " +
                  std::to_string(kMaxTableMemory >> 20) + " MiB of memory";
          return false;
        }
        extent = std::move(made);
        opened.emplace(key, extent);
        if (auto* sparse = dynamic_cast<SparseExtent*>(extent.get())) {
          if (sparse->UsingRedundantDirectory())
            warnings_.push_back(sparse->File()->Path().string() +
                                ": the grain directory is damaged; using its redundant copy");
          if (sparse->DamagedDirectoryEntries() != 0)
            warnings_.push_back(sparse->File()->Path().string() + ": " +
                                std::to_string(sparse->DamagedDirectoryEntries()) +
                                " grain directory entries point outside the file");
        }
      }
    }
    // A sparse extent without a descriptor takes its size from its header.
    const uint64_t sectors = extent->Sectors();
    if (sectors == 0 || capacity_ + sectors > kMaxDiskSectors) {
      error = "the extents of " + path_.string() + " add up to more than 512 TiB";
      return false;
    }
    extentStarts_.push_back(capacity_);
    capacity_ += sectors;
    extents_.push_back(std::move(extent));
  }
  return true;
}

bool VirtualDisk::OpenParent(ChainState& chain, std::string& error) {
  if (descriptor_.parentFileNameHint.empty()) {
    if (descriptor_.parentCid != kNoParentCid)
      warnings_.push_back(path_.string() + " has a parent CID but names no parent disk");
    return true;
  }
  const fs::path parentPath = ResolveRelatedFile(path_.parent_path(), descriptor_.parentFileNameHint);
  if (!Exists(parentPath)) {
    error = "parent disk \"" + descriptor_.parentFileNameHint + "\" of " + path_.string() + " is missing";
    return false;
  }
  OpenOptions parentOptions;
  parentOptions.writable = false;  // a write never reaches a parent of a snapshot chain
  parentOptions.allowRaw = false;
  std::string parentError;
  parent_ = OpenChained(parentPath, parentOptions, chain, parentError);
  if (!parent_) {
    error = parentError.find("loops back") != std::string::npos
                ? parentError
                : "parent disk of " + path_.string() + ": " + parentError;
    return false;
  }
  if (parent_->descriptor_.cid != descriptor_.parentCid) {
    parentCidMatches_ = false;
    char msg[160];
    std::snprintf(msg, sizeof msg, "expects parent CID %08x but the parent has %08x", descriptor_.parentCid,
                  parent_->descriptor_.cid);
    warnings_.push_back(path_.string() + " " + msg + " (the parent changed after the snapshot was taken)");
  }
  for (const auto& w : parent_->warnings_) warnings_.push_back(w);
  return true;
}

uint64_t VirtualDisk::NextDataSector(uint64_t sector) const {
  if (parent_ || sector >= capacity_) return sector;
  size_t index = static_cast<size_t>(std::upper_bound(extentStarts_.begin(), extentStarts_.end(), sector) -
                                     extentStarts_.begin() - 1);
  for (uint64_t pos = sector; index < extents_.size(); ++index) {
    const uint64_t start = extentStarts_[index], sectors = extents_[index]->Sectors();
    const uint64_t local = pos - start;
    const uint64_t next = extents_[index]->NextDataSector(local);
    if (next < sectors) return start + std::max(next, local);
    pos = start + sectors;
  }
  return capacity_;
}

void VirtualDisk::Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) {
  report.Clear();
  report.base = 0;
  if (sector >= capacity_ || count > capacity_ - sector) {
    // The caller's bounds keep reads inside the disk; anything outside is missing data.
    const uint64_t inside = sector >= capacity_ ? 0 : capacity_ - sector;
    std::memset(out + inside * kSectorSize, 0, (count - inside) * kSectorSize);
    report.AddFailed(sector + inside, count - inside, "read past the end of the disk");
    report.base = 0;
    count = inside;
  }
  if (count == 0) return;
  ForEachPiece(sector, count, [&](size_t index, uint64_t at, uint64_t n, uint64_t done) {
    report.base = extentStarts_[index];
    extents_[index]->Read(at, n, out + done * kSectorSize, report);
    return true;
  });
  report.base = 0;
  if (!parent_ || report.unallocated.empty()) return;

  // What this disk does not hold comes from its parent, if the parent reaches that far.
  holes_.clear();
  holes_.swap(report.unallocated);
  for (const SectorRange& hole : holes_) {
    const uint64_t inParent =
        hole.start >= parent_->capacity_ ? 0 : std::min(hole.count, parent_->capacity_ - hole.start);
    if (inParent != 0) {
      parent_->Read(hole.start, inParent, out + (hole.start - sector) * kSectorSize, parentReport_);
      report.Absorb(parentReport_);
    }
    if (inParent < hole.count) report.AddUnallocated(hole.start + inParent, hole.count - inParent);
  }
}

bool VirtualDisk::Write(uint64_t sector, uint64_t count, const std::byte* in) {
  if (!writable_ || sector >= capacity_ || count > capacity_ - sector) return false;
  return ForEachPiece(sector, count, [&](size_t index, uint64_t at, uint64_t n, uint64_t done) {
    return extents_[index]->Write(at, n, in + done * kSectorSize);
  });
}

std::vector<FileIdentity> VirtualDisk::FileIdentities() const {
  std::vector<FileIdentity> ids{identity_};
  for (const auto& e : extents_)
    if (e->File() != nullptr) ids.push_back(e->File()->Identity());
  if (parent_) {
    auto more = parent_->FileIdentities();
    ids.insert(ids.end(), more.begin(), more.end());
  }
  return ids;
}

}  // namespace torvane::vdisk
