// The command line's side of opening the volume a command names with -v N (the row number
// of `torvane volumes`), walking its file system and scanning it: argument checks, progress bars,
// Ctrl-C and one-line errors around the engine's steps (scan/volume_scan.h).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/args.h"
#include "app/workspace.h"
#include "scan/volume_scan.h"

namespace torvane::cli {

// Lists the disk's volumes and opens row `row` with its tables loaded. False, with a
// one-line reason, when the disk, the row or the volume cannot be opened.
bool OpenVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error);

// Opens row `row` as above, opens its file system into ws.fileSystem and walks it behind a
// progress bar into the workspace's store. False with a one-line reason.
// `rawMode`: the volume is read in RAW mode whatever its file system (nothing is walked).
bool OpenAndWalk(Workspace& ws, const std::string& disk, const std::string& row, WalkSummary& summary,
                 std::string& error, bool rawMode = false);
// The same for the disk (first positional argument) and -v N of a parsed command line
// (--raw-mode: RAW mode); prints the error itself.
bool OpenAndWalk(Workspace& ws, const ParsedArgs& p, WalkSummary& summary);

// Runs the scan of the open volume (free region, or the whole volume backwards with
// `reverse`; header detect unless `headerDetect` is false) behind a progress bar. Ctrl-C and
// SIGTERM stop it the way the stop command does (a second Ctrl-C ends the program); what was
// found stays. Returns the outcome and the entries the scan added.
VolumeScanResult ScanVolume(Workspace& ws, bool reverse, bool headerDetect = true);
// The same with the engine's options (a session's resume, a periodic save); the stop flag and
// the progress are set here.
VolumeScanResult ScanVolume(Workspace& ws, VolumeScanOptions options, bool headerDetect = true);

// Ctrl-C and SIGTERM set the stop flag while a scope lives (commands that run their own scan).
class StopSignalScope {
 public:
  StopSignalScope();
  ~StopSignalScope();
  StopSignalScope(const StopSignalScope&) = delete;
  StopSignalScope& operator=(const StopSignalScope&) = delete;

 private:
  void* signals_;
};
const std::atomic<bool>* StopFlag();

// For a scan that did not finish: prints why on stderr ("torvane: the scan was stopped ...")
// and returns false; true for a finished one. The command then exits with 1 but still shows
// or recovers what was found.
bool ReportScanOutcome(const VolumeScanResult& scan);

// An entry as one line of JSON: path, name, size, state, kind, folder, deleted, record, time.
std::string EntryJson(const std::string& path, const std::string& name, const FileEntry& e);

// An entry's path from the volume root, "/"-separated, names exactly as they are (JSON).
std::string SlashPath(const std::vector<std::u16string_view>& components);

// A name as the text output shows it, so that every path printed is unambiguous and can be
// given back to ls and recover: "\\" for a backslash, "\/" for a slash inside a name, and
// for control characters (below 0x20, and 0x7F) \a \b \t \n \v \f \r or three octal
// digits (\033 for ESC, \000 for NUL). Everything else, UTF-8 included, is kept.
std::string EscapeName(std::string_view name);
// The path of EscapeName'd components joined with "/".
std::string EscapedPath(const std::vector<std::u16string_view>& components);
// A path argument of ls or recover: split at the slashes that are not escaped, each part
// unescaped (the reverse of EscapeName); empty parts are dropped. False with a one-line
// reason for a backslash that starts no known escape.
bool ParsePathArgument(std::string_view text, std::vector<std::string>& components, std::string& error);

}  // namespace torvane::cli
