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

// Runs the scan of the open NTFS volume (free region, or the whole volume backwards with
// `reverse`) behind a progress bar; Ctrl-C stops it the way stop does and what was found
// stays. Returns the entries the scan added.
uint64_t ScanVolume(Workspace& ws, ntfs::NtfsVolume& volume, bool reverse, bool* stopped = nullptr);

// An entry as one line of JSON: path, name, size, state, kind, folder, deleted, record, time.
std::string EntryJson(const std::string& path, const std::string& name, const FileEntry& e);
// A FILETIME as ISO 8601 UTC ("" before 1970).
std::string IsoTime(uint64_t filetime);

// An entry's path from the volume root, "/"-separated.
std::string SlashPath(const std::vector<std::u16string_view>& components);

}  // namespace torvane::cli
