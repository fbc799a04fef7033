#include "app/cli/session_arg.h"

#include <algorithm>

#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/progress_bar.h"
#include "app/cli/volume_arg.h"
#include "util/text.h"

namespace torvane::cli {

bool HasOption(const Args& args, std::string_view name) {
  return std::any_of(args.begin(), args.end(), [name](const std::string& a) {
    return a == name || (a.size() > name.size() && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=');
  });
}

bool OpenSession(Workspace& ws, const std::string& sessionPath, const std::string& disk, session::SessionState& state,
                 std::string& error) {
  session::SessionState saved;
  if (!session::ReadSessionHeader(sessionPath, saved, error)) return false;
  const std::string diskPath = disk.empty() ? ToUtf8(saved.imagePath) : disk;
  if (diskPath.empty()) {
    error = CliText("szSessionNamesNoDisk");
    return false;
  }
  // The volume the session was saved from: the row that starts where it started.
  OpenDriveListRow(ws.driveList, ws.source, ws.geometry, diskPath, SIZE_MAX, error);
  if (!ws.driveList.openError.empty()) {
    error = ws.driveList.openError;
    return false;
  }
  size_t row = SIZE_MAX;
  for (size_t i = 0; i < ws.driveList.rows.size() && row == SIZE_MAX; ++i)
    if (ws.driveList.rows[i].startSector == saved.volume.startSector) row = i;
  if (row == SIZE_MAX) {
    error = CliText("szSessionVolumeMissing", {diskPath, std::to_string(saved.volume.startSector)});
    return false;
  }
  if (!OpenDriveListRow(ws.driveList, ws.source, ws.geometry, diskPath, row, error)) return false;
  ws.store.Create();
  ws.fileSystem = OpenFileSystem(ws.source, ws.geometry, ws.store, error);
  if (ws.fileSystem == nullptr) return false;
  ProgressBar bar(CliText("szProgressLoadingSession"));
  const bool ok = session::LoadScanSession(sessionPath, ws.store, ws.source, ws.geometry, state, error);
  bar.Finish();
  if (!ok) error = sessionPath + ": " + error;
  return ok;
}

bool OpenVolumeOrSession(Workspace& ws, const ParsedArgs& p, WalkSummary& summary) {
  const std::string sessionPath = p.Option("--session");
  if (sessionPath.empty()) return OpenAndWalk(ws, p, summary);
  session::SessionState state;
  std::string error;
  if (!OpenSession(ws, sessionPath, p.positional.at(0), state, error)) {
    PrintError(error);
    return false;
  }
  summary.entries = EntryCount(ws.store.deletedEntries);
  summary.foundWhere = CliText("szInTheSession");
  return true;
}

bool SaveEndedScan(Workspace& ws, const std::string& path, const VolumeScanResult& scan) {
  session::SessionState state = DescribeOpenVolume(ws);
  session::RecordScanEnd(state, scan);
  std::string error;
  if (session::SaveScanSession(path, ws.store, nullptr, state, error)) {
    std::fprintf(stderr, "%s\n",
                 CliText(scan.outcome == ScanOutcome::kFinished ? "szSessionSaved" : "szSessionSavedUnfinished", {path})
                     .c_str());
    return true;
  }
  PrintError(CliText("szSessionNotSaved", {error}));
  return false;
}

}  // namespace torvane::cli
