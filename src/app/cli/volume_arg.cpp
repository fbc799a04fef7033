#include "app/cli/volume_arg.h"

#include <charconv>
#include <csignal>

#include "fs/ntfs/ntfs_scan_family.h"
#include "scan/scan_driver.h"

#include "app/cli/progress_bar.h"
#include "fs/open_volume.h"
#include "util/json_writer.h"
#include "util/text.h"

#include <ctime>

namespace torvane::cli {

bool OpenVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error) {
  size_t index = 0;
  auto [end, ec] = std::from_chars(row.data(), row.data() + row.size(), index);
  if (row.empty() || ec != std::errc() || end != row.data() + row.size()) {
    error = "-v takes a row number from 'torvane volumes'";
    return false;
  }
  ws.driveList.SetImage(disk);
  ws.driveList.EnumerationThread(ws.source, ws.geometry, 0);
  if (!ws.driveList.openError.empty()) {
    error = ws.driveList.openError;
    return false;
  }
  if (index >= ws.driveList.rows.size()) {
    error = "there is no volume " + row + " on " + disk + " (see 'torvane volumes')";
    return false;
  }
  PartitionRecord record = ws.driveList.rows[index];
  OpenVolumeRequest request;
  request.path = disk;
  request.startSector = record.startSector;
  request.volumeSectors = record.wholeDisk ? 0 : record.sectors;
  request.loadTables = true;
  request.record = &record;
  std::string openError;
  if (!OpenVolume(ws.source, ws.geometry, request, &openError)) {
    error = openError.empty() ? "volume " + row + " cannot be opened" : openError;
    return false;
  }
  return true;
}

bool OpenAndWalkNtfs(Workspace& ws, const std::string& disk, const std::string& row,
                     std::unique_ptr<ntfs::NtfsVolume>& volume, ntfs::MftWalkResult& walk,
                     std::string& error) {
  if (!OpenVolumeRow(ws, disk, row, error)) return false;
  if (ws.geometry.fsKind != FsKind::kNtfs || ws.geometry.damaged) {
    error = "volume " + row + " is not an NTFS volume that can be read yet";
    return false;
  }
  ws.store.Create();
  volume = std::make_unique<ntfs::NtfsVolume>(ws.source, ws.geometry, &ws.store.Messages());
  ntfs::MftWalkControl control;
  ProgressBar bar("Reading MFT");
  control.progress = [&](uint32_t permille) { bar.Update(permille, 1000); };
  walk = ntfs::RunMftWalk(*volume, ws.store, control);
  bar.Finish();
  if (!walk.ok) error = walk.error;
  return walk.ok;
}

namespace {
std::atomic<bool>* interruptTarget = nullptr;
extern "C" void OnInterrupt(int) {
  if (interruptTarget != nullptr) *interruptTarget = true;
}
}  // namespace

uint64_t ScanVolume(Workspace& ws, ntfs::NtfsVolume& volume, bool reverse, bool* stopped) {
  const uint64_t before = EntryCount(ws.store.deletedEntries);
  ntfs::NtfsScanFamily family(volume, ws.store);
  ScanDriver driver(ws.source, ws.geometry, ws.store, family);
  driver.reverse = reverse;
  ProgressBar bar(reverse ? "Scanning volume" : "Scanning free space");
  driver.events = [&](const ScanEvent& e) {
    if (e.kind == ScanEvent::Kind::kTitle && e.percent != 0) bar.Update(e.percent, 100);
  };
  interruptTarget = &driver.stopRequested;
  struct sigaction action {}, previous {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, &previous);
  driver.ScanCommand();
  driver.Wait();
  sigaction(SIGINT, &previous, nullptr);
  interruptTarget = nullptr;
  bar.Finish();
  // Whatever still waits for the merge joins the list even when the scan was stopped.
  if (ws.store.pendingRebuildCount > 0) ntfs::MergeRebuiltEntries(ws.store);
  if (stopped != nullptr) *stopped = !driver.finished;
  return EntryCount(ws.store.deletedEntries) - before;
}

std::string IsoTime(uint64_t filetime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601
  if (filetime < kUnixEpoch) return "";
  const time_t seconds = static_cast<time_t>((filetime - kUnixEpoch) / 10000000);
  struct tm t {};
  if (gmtime_r(&seconds, &t) == nullptr) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &t);
  return buf;
}

std::string EntryJson(const std::string& path, const std::string& name, const FileEntry& e) {
  JsonWriter j;
  j.BeginObject();
  j.Field("path", path);
  j.Field("name", name);
  j.Field("size", uint64_t{e.size});
  j.Field("state", static_cast<uint32_t>(e.state));
  j.Field("kind", static_cast<uint32_t>(e.kind));
  j.Field("folder", e.IsFolder());
  j.Field("deleted", e.state != kStateExisting);
  j.Field("record", uint64_t{e.recordNumber});
  j.Field("time", IsoTime(e.time));
  j.EndObject();
  return j.Text();
}

std::string SlashPath(const std::vector<std::u16string_view>& components) {
  std::string path;
  for (auto c : components) path += (path.empty() ? "" : "/") + ToUtf8(c);
  return path;
}

}  // namespace torvane::cli
