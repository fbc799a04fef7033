// Saving and loading a scan session around a running, paused or ended scan: the save pauses
// the scan at a pause point, merges the rebuilt NTFS entries still waiting, writes the file
// and lets the scan go on; the load checks that the session belongs to the open volume, reads
// it whole, and only then replaces the store's lists and hands the resume words to the driver.
#pragma once

#include <filesystem>
#include <string>

#include "disk/disk_source.h"
#include "fs/volume_geometry.h"
#include "scan/scan_driver.h"
#include "scan/volume_scan.h"
#include "session/session_file.h"
#include "store/item_store.h"

namespace torvane::session {

// The boot sector's volume serial for the kinds that have one (NTFS: its low 32 bits), else 0.
uint32_t VolumeSerial(const VolumeGeometry& geometry);

// Fills the identity fields of `state` (disk file, partition, volume entry, boot sector hash)
// from the open volume; `row` is its drive-list record when there is one.
void DescribeVolume(const DiskSource& source, const VolumeGeometry& geometry, const PartitionRecord* row,
                    SessionState& state);

// Whether the session was saved from the open volume: the same first sector, size, serial and
// boot sector (another disk of the same size, or a reformatted volume, is refused). False with
// a one-line reason.
bool CheckIdentity(const SessionState& state, const DiskSource& source, const VolumeGeometry& geometry,
                   std::string& error);

// Saves the store with `state` (its identity and navigation fields filled by the caller; the
// resume and statistics words are filled here). With a driver whose scan runs, the scan is
// paused first and resumed afterwards unless it was paused already; without one, `state.resume`
// is kept as given. Pending rebuilt entries are merged before anything is written.
bool SaveScanSession(const std::filesystem::path& path, ItemStore& store, ScanDriver* driver, SessionState state,
                     std::string& error, const SessionProgress& progress = {});

// Loads a session into the store of the open volume after checking its identity. On failure
// the store is as it was. `state` receives the session's fields.
bool LoadScanSession(const std::filesystem::path& path, ItemStore& store, const DiskSource& source,
                     const VolumeGeometry& geometry, SessionState& state, std::string& error,
                     const SessionProgress& progress = {});

// Records where an ended scan stood (its resume words, free clusters, mode, finished or not).
void RecordScanEnd(SessionState& state, const VolumeScanResult& scan);

// Makes the driver's next start continue the saved scan (phase, position, counts).
void ResumeScan(ScanDriver& driver, ItemStore& store, const SessionState& state);

// Whether the saved scan had ended (a finished session does not scan again).
inline bool ScanFinished(const SessionState& state) {
  return state.scanComplete != 0;
}

}  // namespace torvane::session
