// A file's identity on its file system: two paths (or descriptors) name the same file when
// their identities are equal, whatever links or names lie between.
#pragma once

#include <cstdint>

namespace torvane {

struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};

}  // namespace torvane
