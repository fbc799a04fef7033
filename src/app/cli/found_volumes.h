// The volumes a partition search found, as rows the commands open with -v: a row is named
// "FILE.tqsp:N", the state file the search saved and the number `torvane volumes DISK
// --found FILE.tqsp` shows.
#pragma once

#include <string>

#include "app/workspace.h"

namespace torvane::cli {

// Whether -v names a found volume ("FILE.tqsp:N") rather than a row number.
bool IsFoundVolumeRow(const std::string& row);
// Opens found volume N of the state file on `disk` (whose size must match the file's) with
// its tables loaded. False with a one-line reason.
bool OpenFoundVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error);
// torvane volumes DISK --found FILE.tqsp [--json].
int PrintFoundVolumes(const std::string& disk, const std::string& stateFile, bool json);

}  // namespace torvane::cli
