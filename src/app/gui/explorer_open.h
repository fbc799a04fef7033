// Opening the explorer: the walk of the chosen volume's file system (off the interface
// thread), the window, and the command line's screenshot of it.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "app/gui/gui_app.h"

namespace torvane::gui {

class ExplorerWindow;

// Walks the open volume's file system into the store (RAW mode: none, every sector read by
// content; the whole-disk row always is). On the calling thread. False with the reason.
bool WalkOpenVolume(Workspace& ws, bool rawMode, std::string& error);
// Opens row `row` of `disk`'s drive list and walks it (as the drive selection window does).
bool OpenVolumeRow(Workspace& ws, const std::filesystem::path& disk, size_t row, bool rawMode, std::string& error);

// The drive selection window's hook: walks the volume on a worker (the window stays
// responsive), then shows the explorer, which deletes itself when closed and calls `closed`
// with the session to load next (empty: none). Null when the volume could not be read (the
// reason was shown).
ExplorerWindow* OpenExplorerWindow(Workspace& ws, const VolumeChoice& choice,
                                   std::function<void(const QString& session)> closed);

// `torvane-gui DISK --volume N [--view details|miniatures] [--scan] --screenshot FILE`: opens
// the explorer on the volume (after the scan with `scan`), renders it offscreen into FILE and
// answers the exit code.
int RunExplorerScreenshot(const std::filesystem::path& disk, size_t row, bool miniatures, bool scan,
                          const QString& file);

}  // namespace torvane::gui
