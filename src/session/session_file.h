// Scan session files (.tqs): the four item lists, the allocation map, the entry names, the scan
// driver's resume words, the identity of the scanned disk and volume, the explorer's
// navigation state and the partitions the scan came across.
//
// Layout (all integers little-endian). A body of up to eight blocks, each present only with
// content, written in this order: 1 list 7, 2 list 8, 3 list 10, 4 list 11, 5 the allocation
// map, 6 the names of list 8, 7 the names of list 11, 8 the names of list 10; then the
// 1,435,004-byte header, the last thing in the file (see session_file.cpp for its offsets).
//
// Array blocks (1-5) are the list's records (or the map's bytes) as QuickLZ level-1 packets:
// one packet up to 10 MiB, else 5 MiB pieces each preceded by its packet length (u32). A name
// stream is a sequence of u32 packet length + packet chunks ended by a u32 0; the decoded text
// is the names of the named entries in entry order, UTF-16LE, each with its terminator.
//
// Everything read from a file is untrusted: the magic is checked first (a random file is "not a
// session file", never an old one), then the version; sizes must be whole records, blocks and
// packets must lie inside the body, decoded lengths must equal the recorded ones, the map must
// have the open volume's size, counts are clamped to the slots that exist. A load fills its
// own lists and hands them over only when everything was read, so a failed load changes
// nothing. A save writes a temporary file beside the target, syncs it and renames it over the
// target, so a failed save leaves the previous session as it was.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "partitions/partition_record.h"
#include "scan/scan_driver.h"
#include "store/dyn_list.h"
#include "store/item_store.h"

namespace torvane::session {

inline constexpr uint64_t kHeaderSize = 1435004;
inline constexpr uint32_t kFormatVersion = 4;
inline constexpr size_t kMaxFoundPartitions = 2048;
inline constexpr size_t kHistorySlots = 16;
inline constexpr size_t kChainDepth = 128;         // folder references a FolderChain holds
inline constexpr size_t kCurrentChainStored = 16;  // of the current chain, only these are kept
inline constexpr size_t kPathBoxSlots = 16;
inline constexpr size_t kTextUnits = 512;  // path box, image path, favourite path
inline constexpr size_t kFavouriteSlots = 16;
inline constexpr size_t kDriveRowSize = 284;
inline constexpr size_t kDeviceNameUnits = 136;           // the drive row's device name field
inline constexpr uint64_t kSinglePacketLimit = 0xA00000;  // larger arrays go in pieces
inline constexpr uint64_t kPieceSize = 0x500000;
inline constexpr uint64_t kNameChunkThreshold = 0x100000;  // a name chunk closes past this

inline constexpr const char* kNotSessionFile = "this session file is invalid or not compatible";

struct FolderChain {
  uint32_t depth = 0;
  std::array<uint32_t, kChainDepth> folders{};
};

struct Favourite {
  std::u16string path;  // empty ends the list
  uint32_t folder = 0;
  FolderChain chain;
};

// The 36-byte volume entry of the scanned volume: 0 drive letter, 1 u8 file-system kind,
// 2 u8 0, 3 u32 sectors per cluster, 7 u32 volume identity (the boot sector's serial),
// 11 u64 first sector on the disk, 19 u64 sectors, 27 u64 clusters, 35 u8 0.
struct VolumeEntry {
  char letter = '$';
  FsKind kind = FsKind::kNone;
  uint32_t sectorsPerCluster = 0;
  uint32_t serial = 0;
  uint64_t startSector = 0;
  uint64_t sectors = 0;
  uint64_t clusters = 0;
};

// Which word of the twelve statistics words holds what (the session's own choice).
enum StatisticsWord : size_t {
  kStatStage = 0,             // the scan phase (0 none, 2 free region, 3 whole volume)
  kStatFreeClustersHigh = 1,  // high word of the free clusters (low word: resume word 5)
  kStatDeletedCountLow = 2,   // the deleted count, 64-bit
  kStatDeletedCountHigh = 3,
  kStatReverse = 4,  // 1: the volume was scanned in reverse mode
};

// Everything of a session but the lists, the map and the names.
struct SessionState {
  ScanResumeWords resume{};
  uint32_t paused = 0;
  uint32_t scanComplete = 0;
  std::array<uint32_t, 12> statistics{};
  // Identity of the disk and volume.
  std::u16string imagePath;  // the disk file (absolute), empty when not an image
  bool hasDiskRecord = false;
  PartitionRecord partition;  // the scanned partition (its first word: the disk's row, -1 image)
  std::array<uint8_t, kDriveRowSize> driveRow{};
  VolumeEntry volume;
  bool hasBootHash = false;
  std::array<uint8_t, 32> bootHash{};  // SHA-256 of the volume's boot sector
  std::vector<PartitionRecord> foundPartitions;
  // The explorer's navigation.
  std::array<uint32_t, kHistorySlots> historyFolders{};
  std::array<FolderChain, kHistorySlots> historyChains{};
  FolderChain currentChain;  // only the first 16 folders are kept
  std::vector<std::u16string> pathBox;
  std::vector<Favourite> favourites;

  // Read only: the uncompressed sizes of blocks 1-5 (lists 7, 8, 10, 11, the allocation map)
  // as the file's header records them.
  std::array<uint32_t, 5> blockSizes{};

  // The image path as the drive row keeps it (at most 135 units) and the disk capacity there.
  std::u16string DeviceName() const;
  uint64_t DiskCapacity() const;
};

// What a load read, held apart from the item store until it is applied.
struct LoadedSession {
  SessionState state;
  DynList fat32ClusterCache, deletedEntries, lostFiles, rawFiles;
  std::vector<uint8_t> allocationMap;
  bool hasAllocationMap = false;
};

// Progress: the action text of the step that starts ("Current action: Saving lost files list...").
using SessionProgress = std::function<void(const std::string& action)>;

// Writes the lists 7, 8, 10, 11, the allocation map and the names of `store` with `state` to
// `path` (temporary file, fsync, rename). The caller makes sure nobody appends meanwhile (the
// scan is paused or ended). False with a one-line reason; the file at `path` is then untouched.
bool WriteSessionFile(const std::filesystem::path& path, const ItemStore& store, const SessionState& state,
                      std::string& error, const SessionProgress& progress = {});

// Reads the header only: magic, version and the fields that name the disk and volume.
bool ReadSessionHeader(const std::filesystem::path& path, SessionState& state, std::string& error);

// Reads a whole session. `mapBytes` is the allocation map size of the volume it is loaded for
// (a session map of another size is refused). False with a one-line reason; `out` is then
// incomplete and must be dropped.
bool ReadSessionFile(const std::filesystem::path& path, uint64_t mapBytes, LoadedSession& out, std::string& error,
                     const SessionProgress& progress = {});

// Replaces lists 7 to 11 of `store` (9 empties), their counts and the allocation map with
// what `loaded` holds. Takes the store's locks; nothing may be scanning.
void ApplySession(LoadedSession& loaded, ItemStore& store);

// Tests only: every write of a session file beyond `bytes` in total fails as on a full disk.
inline constexpr uint64_t kNoWriteLimit = UINT64_MAX;
void SetWriteLimitForTesting(uint64_t bytes);

// Array blocks and name streams on their own (exposed for tests and the benchmark).
bool EncodeArrayBlock(std::span<const std::byte> data, std::vector<std::byte>& out, std::string& error);
bool DecodeArrayBlock(std::span<const std::byte> stored, std::span<std::byte> out, std::string& error);
bool EncodeNameStream(const DynList& list, std::vector<std::byte>& out, uint64_t& textBytes, std::string& error);
// Gives the entries of `list` their names from the stream (entries whose saved reference is 0
// or 1 get none; once the stream runs short, none either).
bool DecodeNameStream(std::span<const std::byte> stored, DynList& list, std::string& error);

}  // namespace torvane::session
