// Numbers and sizes as the user sees them.
#pragma once

#include <cstdint>
#include <string>

namespace torvane {

// 1234567 -> "1 234 567": groups of three digits separated by single spaces.
std::string GroupThousands(uint64_t value);

// A byte count in the largest unit that keeps it at or above 1 ("512 B", "1.5 KB",
// "40.0 MB", "2.15 GB"); units are powers of 1024 (an MB is 1 048 576 bytes).
std::string HumanSize(uint64_t bytes);

}  // namespace torvane
