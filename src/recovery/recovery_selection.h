// Which entries a recovery takes: those at or below the named paths, or the whole volume,
// optionally only the deleted ones, NTFS metadata files left out unless asked for. Each
// becomes a recovery item with the folders it goes into. The command line and the GUI call
// the same selection.
#pragma once

#include <string>
#include <vector>

#include "recovery/recovery_writer.h"
#include "store/dyn_list.h"

namespace torvane::recovery {

// NTFS metadata files live in the first records of the MFT ($MFT to $Extend are 0 to 11;
// 12 to 23 are reserved for more).
constexpr uint64_t kNtfsFirstUserRecord = 24;

struct SelectionRequest {
  // Paths from the volume root, each as its names (UTF-8), so that a name holding "/" is
  // still one name. An entry is taken when a path names it or one of its folders.
  std::vector<std::vector<std::string>> paths;
  bool all = false;            // the whole volume
  bool deletedOnly = false;    // only entries that are not existing files or folders
  bool includeSystem = false;  // NTFS metadata files ($MFT, $Secure, $Extend and below) too
};

struct SelectedItem {
  RecoveryItem item;
  std::string path;  // from the volume root, "/"-separated, UTF-8
};

struct Selection {
  std::vector<SelectedItem> items;  // in list order, folders with the files below them
  std::vector<size_t> unmatched;    // the requested paths (by index) that matched no entry
};

// Selects from the entries of an NTFS list (paths by their parent references). A path
// named explicitly is taken even when it is a metadata file.
Selection SelectItems(const DynList& list, const SelectionRequest& request);

// Whether the entry with these path components (from the root) and the record numbers of
// their entries is an NTFS metadata file: a root entry whose name starts with "$" and whose
// record is below 24, or anything below such a folder ($Extend).
bool IsNtfsSystemPath(const std::vector<std::u16string_view>& components, const std::vector<uint64_t>& records);

}  // namespace torvane::recovery
