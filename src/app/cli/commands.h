// The commands of the torvane command line. Each takes its arguments (without the command
// name) and returns the exit code: 0 success, 1 the work failed, 2 usage error.
#pragma once

#include <string>
#include <vector>

namespace torvane::cli {

using Args = std::vector<std::string>;

int RunInfo(const Args& args);
int RunImage(const Args& args);
int RunVolumes(const Args& args);
int RunLs(const Args& args);
int RunRecover(const Args& args);
int RunScan(const Args& args);
int RunSession(const Args& args);
int RunPartsearch(const Args& args);
int RunBackup(const Args& args);
int RunRepair(const Args& args);
int RunRestore(const Args& args);
int RunCarve(const Args& args);
int RunIdentify(const Args& args);
int RunSearch(const Args& args);
int RunHexdump(const Args& args);

// Prints "torvane: <message>" on stderr.
void PrintError(const std::string& message);

}  // namespace torvane::cli
