// Opening the volume a command names with -v N (the row number of `torvane volumes`).
#pragma once

#include <memory>
#include <string>

#include "app/workspace.h"
#include "fs/ntfs/mft_walk.h"

namespace torvane::cli {

// Lists the disk's volumes and opens row `row` with its tables loaded. False, with a
// one-line reason, when the disk, the row or the volume cannot be opened.
bool OpenVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error);

// Opens row `row` as above, checks it is an NTFS volume the readers can walk, and walks its
// MFT behind a progress bar into the workspace's store. `volume` receives the reader.
// False with a one-line reason.
bool OpenAndWalkNtfs(Workspace& ws, const std::string& disk, const std::string& row,
                     std::unique_ptr<ntfs::NtfsVolume>& volume, ntfs::MftWalkResult& walk,
                     std::string& error);

// An entry's path from the volume root, "/"-separated.
std::string SlashPath(const std::vector<std::u16string_view>& components);

}  // namespace torvane::cli
