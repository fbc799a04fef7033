// Opening the volume a command names with -v N (the row number of `torvane volumes`).
#pragma once

#include <string>

#include "app/workspace.h"

namespace torvane::cli {

// Lists the disk's volumes and opens row `row` with its tables loaded. False, with a
// one-line reason, when the disk, the row or the volume cannot be opened.
bool OpenVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error);

}  // namespace torvane::cli
