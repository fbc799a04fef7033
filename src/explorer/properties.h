// The pieces of the properties sheet that need no system service: the size line, the date
// lines and what a file system does not keep. Texts come from WINDOW_PROPERTIES.
#pragma once

#include <cstdint>
#include <string>

#include "explorer/texts.h"
#include "partitions/partition_record.h"
#include "store/file_entry.h"

namespace torvane::explorer {

// "1 KB (bytes: 1024)": the size as the list shows it and the exact count.
std::string PropertiesSize(const FileEntry& e, FsKind kind, const Texts& texts);
// "7 December 2026, 09:05:03" from a FILETIME (UTC); "???" for 0.
std::string PropertiesDate(uint64_t filetime, const Texts& texts);
// What a date field shows when the volume's file system does not keep it: "N/A (NTFS)",
// "N/A (FAT)" (FAT and exFAT), else "N/A (1)".
std::string DateNotKept(FsKind kind, const Texts& texts);

}  // namespace torvane::explorer
