// Time stamps as file systems record them, turned into Unix time: NTFS and exFAT FILETIMEs
// (100 ns since 1601-01-01 UTC) and FAT's DOS date and time words.
#pragma once

#include <time.h>

#include <cstdint>
#include <string>

namespace torvane {

// 1970-01-01 in 100 ns units since 1601-01-01.
constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

// A FILETIME as a Unix time; times before 1970 become 0.
timespec FiletimeToTimespec(uint64_t filetime);

// A FILETIME as ISO 8601 UTC to the second ("2024-05-01T12:00:00Z"); "" before 1970.
std::string FiletimeToIso(uint64_t filetime);

// A DOS date and time word (taken as UTC, two-second steps) as a Unix time; a zero day or
// month counts as the first.
timespec DosTimeToTimespec(uint32_t date, uint32_t time);

}  // namespace torvane
