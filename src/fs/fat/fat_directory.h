// FAT directory entries, as far as volume recognition needs them: judging whether a sector
// holds directory entries, finding the volume label in the root directory, and spotting the
// long-name entry of the "System Volume Information" folder.
//
// All functions are pure parses over byte spans; they never read past the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace torvane::fat {

constexpr size_t kDirEntryBytes = 32;

constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrHidden = 0x02;
constexpr uint8_t kAttrSystem = 0x04;
constexpr uint8_t kAttrVolumeId = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kAttrLongName = 0x0F;  // read-only | hidden | system | volume id

constexpr uint8_t kEntryDeleted = 0xE5;
constexpr uint8_t kEntryEnd = 0x00;
constexpr uint8_t kEntryKanjiE5 = 0x05;  // a name whose first byte really is 0xE5

// True when `entry` (at least 32 bytes; only the first 32 are looked at) is a plausible
// short-name or long-name entry, live or deleted. An all-zero entry (the end marker) and
// a span shorter than 32 bytes are not.
bool IsValidDirEntry(std::span<const std::byte> entry);

// The volume label of a root directory: the first non-deleted entry whose attribute is the
// volume-id attribute (archive bit tolerated), its 11 name bytes with trailing spaces
// removed. The walk stops at the end marker (first byte 0). The bytes are returned as
// stored (OEM code page); a label of nothing but spaces is skipped.
std::optional<std::string> FindVolumeLabel(std::span<const std::byte> directoryBytes);

// True when `entry` is the last (first stored) long-name entry of the folder
// "System Volume Information", live or deleted.
bool IsSystemVolumeInformationLfn(std::span<const std::byte> entry);

}  // namespace torvane::fat
