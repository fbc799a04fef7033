// Which entries a recovery takes: those at or below the named paths, or the whole volume,
// optionally only the deleted ones, NTFS metadata files left out unless asked for. Each
// becomes a recovery item with the folders it goes into. The command line and the GUI call
// the same selection.
#pragma once

#include <string>
#include <vector>

#include "fs/file_system.h"
#include "recovery/recovery_writer.h"
#include "store/dyn_list.h"

namespace torvane::recovery {

struct SelectionRequest {
  // Paths from the volume root, each as its names (UTF-8), so that a name holding "/" is
  // still one name. An entry is taken when a path names it or one of its folders.
  std::vector<std::vector<std::string>> paths;
  bool all = false;            // the whole volume
  bool deletedOnly = false;    // only entries that are not existing files or folders
  bool includeSystem = false;  // file-system metadata (NTFS $MFT, $Secure, $Extend...) too
};

struct SelectedItem {
  RecoveryItem item;
  std::string path;  // from the volume root, "/"-separated, UTF-8
};

struct Selection {
  std::vector<SelectedItem> items;  // in list order, folders with the files below them
  std::vector<size_t> unmatched;    // the requested paths (by index) that matched no entry
};

// Selects from the entries of a volume's list, their paths given by the volume's tree. A
// path named explicitly is taken even when it is metadata.
Selection SelectItems(const DynList& list, const ItemTree& tree, const SelectionRequest& request);

}  // namespace torvane::recovery
