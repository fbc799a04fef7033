// The VMDK text descriptor: disk type, content IDs, parent link and the extent list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disk/vdisk/extent.h"

namespace torvane::vdisk {

// A descriptor is a few hundred bytes; an embedded one is at most a few sectors. 1 MiB leaves
// room for the extent list of the largest split disk (tens of thousands of lines).
constexpr size_t kMaxDescriptorBytes = 1 << 20;

// "ffffffff": the content ID that means "no parent".
constexpr uint32_t kNoParentCid = 0xFFFFFFFF;

enum class ExtentType { kSparse, kFlat, kZero, kVmfs, kVmfsSparse, kVmfsRdm, kVmfsRaw, kSeSparse };

struct ExtentLine {
  ExtentAccess access = ExtentAccess::kReadWrite;
  uint64_t sectors = 0;
  ExtentType type = ExtentType::kFlat;
  std::string fileName;  // as written, unquoted; empty for ZERO
  uint64_t offset = 0;   // in sectors, flat kinds only
};

struct Descriptor {
  std::string createType;
  uint32_t cid = kNoParentCid;
  uint32_t parentCid = kNoParentCid;
  std::string parentFileNameHint;
  std::vector<ExtentLine> extents;
  // Every "key = value" line in order, quotes removed (ddb.adapterType, ddb.geometry.*, ...).
  std::vector<std::pair<std::string, std::string>> entries;

  bool HasParent() const { return !parentFileNameHint.empty() || parentCid != kNoParentCid; }
  uint64_t TotalSectors() const;
};

// Parses descriptor text (stops at the first NUL, as embedded descriptors are padded).
// False, with a one-line reason naming the line, on anything malformed.
bool ParseDescriptor(std::string_view text, Descriptor& out, std::string& error);

// True when the bytes look like the start of a descriptor file rather than disk data.
bool LooksLikeDescriptor(std::string_view head);

std::string_view ExtentTypeName(ExtentType type);
std::string_view ExtentAccessName(ExtentAccess access);

}  // namespace torvane::vdisk
