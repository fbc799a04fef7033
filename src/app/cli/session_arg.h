// The command line's side of scan sessions: opening the volume a session was saved from and
// loading it (ls, recover and scan --resume), and saving a scan as a session (scan --save).
#pragma once

#include <string>

#include "app/cli/args.h"
#include "app/workspace.h"
#include "scan/volume_scan.h"
#include "session/session.h"

namespace torvane::cli {

// Opens the disk the session names (or `disk` when not empty: the disk has moved), the volume
// it was saved from, its file system, and loads the session into the store after checking it
// belongs to that volume. False with a one-line reason; the store then holds nothing.
bool OpenSession(Workspace& ws, const std::string& sessionPath, const std::string& disk, session::SessionState& state,
                 std::string& error);

// ls and recover: with --session FILE, the session is loaded (DISK, the first positional
// argument, names the disk); otherwise the volume -v N is walked. Prints the error itself.
bool OpenVolumeOrSession(Workspace& ws, const ParsedArgs& p, WalkSummary& summary);

// Whether `args` hold the option `name` (before parsing, to tell which options are needed).
bool HasOption(const Args& args, std::string_view name);

// Saves the store with the position where a scan ended (`scan`) to `path`. False with the
// reason printed.
bool SaveEndedScan(Workspace& ws, const std::string& path, const VolumeScanResult& scan);

}  // namespace torvane::cli
