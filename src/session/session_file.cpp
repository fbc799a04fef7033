#include "session/session_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "session/quicklz.h"
#include "util/bytes.h"
#include "util/unique_fd.h"

namespace torvane::session {
namespace {

// Header offsets.
constexpr size_t kMagicAt = 0x0000;
constexpr size_t kResumeAt = 0x0004;
constexpr size_t kPausedAt = 0x0030;
constexpr size_t kBlockRecordsAt = 0x0034;  // blocks 1-5, 12 bytes each
constexpr size_t kNamesList8At = 0x0070;
constexpr size_t kNamesList10At = 0x007C;
constexpr size_t kNamesList11At = 0x0088;
constexpr size_t kBootHashAt = 0x0094;  // 32 bytes, then u32 1 when present
constexpr size_t kBootHashFlagAt = 0x00B4;
constexpr size_t kHistoryFoldersAt = 0x00C4;
constexpr size_t kHistoryChainsAt = 0x0104;
constexpr size_t kChainBytes = 4 + 4 * kChainDepth;
constexpr size_t kCurrentChainAt = 0x2144;
constexpr size_t kCurrentDepthAt = 0x2344;
constexpr size_t kPathBoxCountAt = 0x2348;
constexpr size_t kPathBoxAt = 0x234C;
constexpr size_t kScanCompleteAt = 0x634C;
constexpr size_t kVolumeIdentityAt = 0x6350;
constexpr size_t kDriveLetterAt = 0x6354;
constexpr size_t kImagePathAt = 0x6355;
constexpr size_t kFavouritesAt = 0x6755;
constexpr size_t kFavouriteBytes = 2 * kTextUnits + 4 + kChainBytes;
constexpr size_t kVersionAt = 0xC801;
constexpr size_t kDiskRecordFlagAt = 0xC805;
constexpr size_t kPartitionAt = 0xC809;
constexpr size_t kDriveRowAt = 0xCAAC;
constexpr size_t kDeviceNameInRow = 4;
constexpr size_t kCapacityInRow = 276;
constexpr size_t kVolumeEntryAt = 0xCBC8;
constexpr size_t kStatisticsAt = 0xCBEC;
constexpr size_t kFoundCountAt = 0xCC1C;
constexpr size_t kFoundTableAt = 0xCC20;
static_assert(kFoundTableAt + kMaxFoundPartitions * sizeof(PartitionRecord) + 348 == kHeaderSize);
static_assert(kFavouritesAt + kFavouriteSlots * kFavouriteBytes == 0xC7D5);

constexpr size_t kFat32CacheRecord = 13;  // list 7 holds 13-byte records
// A name chunk holds at most the threshold plus one longest name with its terminator.
constexpr uint64_t kNameChunkLimit = kNameChunkThreshold + 2 * (NameStore::kMaxNameUnits + 1);
// QuickLZ level 1 turns 3 bytes into at most 255: a block that claims more than this many
// bytes per stored byte is damaged (and must not size an allocation).
constexpr uint64_t kMaxExpansion = 86;

std::atomic<uint64_t> g_writeLimit{kNoWriteLimit};

ByteSpan AsBytes(const void* p, size_t n) {
  return {static_cast<const std::byte*>(p), n};
}

void PutText(MutableByteSpan h, size_t at, size_t units, std::u16string_view text) {
  const size_t n = std::min(text.size(), units - 1);
  for (size_t i = 0; i < units; ++i) StoreLeU16(h, at + 2 * i, i < n ? static_cast<uint16_t>(text[i]) : 0);
}
// A text field: up to its terminator, or cut at the field's end when it has none.
std::u16string GetText(ByteSpan h, size_t at, size_t units) {
  std::u16string s;
  for (size_t i = 0; i < units; ++i) {
    const char16_t c = LeU16(h, at + 2 * i);
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}
void PutChain(MutableByteSpan h, size_t at, const FolderChain& c) {
  StoreLeU32(h, at, static_cast<uint32_t>(std::min<size_t>(c.depth, kChainDepth)));
  for (size_t i = 0; i < kChainDepth; ++i) StoreLeU32(h, at + 4 + 4 * i, c.folders[i]);
}
FolderChain GetChain(ByteSpan h, size_t at) {
  FolderChain c;
  c.depth = std::min<uint32_t>(LeU32(h, at), kChainDepth);
  for (size_t i = 0; i < kChainDepth; ++i) c.folders[i] = LeU32(h, at + 4 + 4 * i);
  return c;
}

void PutVolumeEntry(MutableByteSpan h, size_t at, const VolumeEntry& v) {
  h[at] = static_cast<std::byte>(v.letter);
  h[at + 1] = static_cast<std::byte>(static_cast<uint32_t>(v.kind) & 0xFF);
  StoreLeU32(h, at + 3, v.sectorsPerCluster);
  StoreLeU32(h, at + 7, v.serial);
  StoreLeU64(h, at + 11, v.startSector);
  StoreLeU64(h, at + 19, v.sectors);
  StoreLeU64(h, at + 27, v.clusters);
}
VolumeEntry GetVolumeEntry(ByteSpan h, size_t at) {
  VolumeEntry v;
  v.letter = static_cast<char>(LeU8(h, at));
  v.kind = static_cast<FsKind>(LeU8(h, at + 1));
  v.sectorsPerCluster = LeU32(h, at + 3);
  v.serial = LeU32(h, at + 7);
  v.startSector = LeU64(h, at + 11);
  v.sectors = LeU64(h, at + 19);
  v.clusters = LeU64(h, at + 27);
  return v;
}

std::vector<std::byte> BuildHeader(const SessionState& s) {
  std::vector<std::byte> header(kHeaderSize);
  MutableByteSpan h(header);
  std::memcpy(header.data() + kMagicAt, "TQSS", 4);
  for (size_t i = 0; i < s.resume.size(); ++i) StoreLeU32(h, kResumeAt + 4 * i, s.resume[i]);
  StoreLeU32(h, kPausedAt, s.paused);
  if (s.hasBootHash) {
    std::memcpy(header.data() + kBootHashAt, s.bootHash.data(), s.bootHash.size());
    StoreLeU32(h, kBootHashFlagAt, 1);
  }
  for (size_t i = 0; i < kHistorySlots; ++i) {
    StoreLeU32(h, kHistoryFoldersAt + 4 * i, s.historyFolders[i]);
    PutChain(h, kHistoryChainsAt + kChainBytes * i, s.historyChains[i]);
  }
  for (size_t i = 0; i < kCurrentChainStored; ++i) StoreLeU32(h, kCurrentChainAt + 4 * i, s.currentChain.folders[i]);
  StoreLeU32(h, kCurrentDepthAt, std::min<uint32_t>(s.currentChain.depth, kCurrentChainStored));
  const size_t boxes = std::min(s.pathBox.size(), kPathBoxSlots);
  StoreLeU32(h, kPathBoxCountAt, static_cast<uint32_t>(boxes));
  for (size_t i = 0; i < boxes; ++i) PutText(h, kPathBoxAt + 2 * kTextUnits * i, kTextUnits, s.pathBox[i]);
  StoreLeU32(h, kScanCompleteAt, s.scanComplete);
  StoreLeU32(h, kVolumeIdentityAt, s.volume.serial);
  h[kDriveLetterAt] = static_cast<std::byte>(s.volume.letter);
  PutText(h, kImagePathAt, kTextUnits, s.imagePath);
  for (size_t i = 0; i < std::min(s.favourites.size(), kFavouriteSlots); ++i) {
    const Favourite& f = s.favourites[i];
    const size_t at = kFavouritesAt + kFavouriteBytes * i;
    PutText(h, at, kTextUnits, f.path);
    StoreLeU32(h, at + 2 * kTextUnits, f.folder);
    PutChain(h, at + 2 * kTextUnits + 4, f.chain);
  }
  StoreLeU32(h, kVersionAt, kFormatVersion);
  StoreLeU32(h, kDiskRecordFlagAt, s.hasDiskRecord ? 1 : 0);
  std::memcpy(header.data() + kPartitionAt, &s.partition, sizeof(PartitionRecord));
  std::memcpy(header.data() + kDriveRowAt, s.driveRow.data(), kDriveRowSize);
  PutVolumeEntry(h, kVolumeEntryAt, s.volume);
  for (size_t i = 0; i < s.statistics.size(); ++i) StoreLeU32(h, kStatisticsAt + 4 * i, s.statistics[i]);
  const size_t found = std::min(s.foundPartitions.size(), kMaxFoundPartitions);
  StoreLeU32(h, kFoundCountAt, static_cast<uint32_t>(found));
  if (found != 0) std::memcpy(header.data() + kFoundTableAt, s.foundPartitions.data(), found * sizeof(PartitionRecord));
  return header;
}

void ParseHeader(ByteSpan h, SessionState& s) {
  for (size_t i = 0; i < s.resume.size(); ++i) s.resume[i] = LeU32(h, kResumeAt + 4 * i);
  s.paused = LeU32(h, kPausedAt);
  for (size_t i = 0; i < s.blockSizes.size(); ++i) s.blockSizes[i] = LeU32(h, kBlockRecordsAt + 12 * i + 4);
  s.hasBootHash = LeU32(h, kBootHashFlagAt) == 1;
  if (s.hasBootHash) std::memcpy(s.bootHash.data(), h.data() + kBootHashAt, s.bootHash.size());
  for (size_t i = 0; i < kHistorySlots; ++i) {
    s.historyFolders[i] = LeU32(h, kHistoryFoldersAt + 4 * i);
    s.historyChains[i] = GetChain(h, kHistoryChainsAt + kChainBytes * i);
  }
  s.currentChain = {};
  for (size_t i = 0; i < kCurrentChainStored; ++i) s.currentChain.folders[i] = LeU32(h, kCurrentChainAt + 4 * i);
  // Only 16 folders of the current chain are stored: a deeper depth would reach unstored ones.
  s.currentChain.depth = std::min<uint32_t>(LeU32(h, kCurrentDepthAt), kCurrentChainStored);
  const size_t boxes = std::min<size_t>(LeU32(h, kPathBoxCountAt), kPathBoxSlots);
  s.pathBox.clear();
  for (size_t i = 0; i < boxes; ++i) s.pathBox.push_back(GetText(h, kPathBoxAt + 2 * kTextUnits * i, kTextUnits));
  s.scanComplete = LeU32(h, kScanCompleteAt);
  s.imagePath = GetText(h, kImagePathAt, kTextUnits);
  s.favourites.clear();
  for (size_t i = 0; i < kFavouriteSlots; ++i) {
    const size_t at = kFavouritesAt + kFavouriteBytes * i;
    Favourite f;
    f.path = GetText(h, at, kTextUnits);
    if (f.path.empty()) break;
    f.folder = LeU32(h, at + 2 * kTextUnits);
    f.chain = GetChain(h, at + 2 * kTextUnits + 4);
    s.favourites.push_back(std::move(f));
  }
  s.hasDiskRecord = LeU32(h, kDiskRecordFlagAt) == 1;
  std::memcpy(&s.partition, h.data() + kPartitionAt, sizeof(PartitionRecord));
  std::memcpy(s.driveRow.data(), h.data() + kDriveRowAt, kDriveRowSize);
  s.volume = GetVolumeEntry(h, kVolumeEntryAt);
  s.volume.serial = LeU32(h, kVolumeIdentityAt);
  s.volume.letter = static_cast<char>(LeU8(h, kDriveLetterAt));
  for (size_t i = 0; i < s.statistics.size(); ++i) s.statistics[i] = LeU32(h, kStatisticsAt + 4 * i);
  const size_t found = std::min<size_t>(LeU32(h, kFoundCountAt), kMaxFoundPartitions);
  s.foundPartitions.resize(found);
  if (found != 0) std::memcpy(s.foundPartitions.data(), h.data() + kFoundTableAt, found * sizeof(PartitionRecord));
}

// Writes all of `data` at the file's current end, or says why not.
class FileWriter {
 public:
  explicit FileWriter(int fd) : fd_(fd) {}
  bool Write(ByteSpan data, std::string& error) {
    size_t done = 0;
    while (done < data.size()) {
      size_t chunk = data.size() - done;
      const uint64_t limit = g_writeLimit.load();
      if (limit != kNoWriteLimit && written_ + chunk > limit) {
        if (written_ >= limit) {
          error = std::string("cannot write the session file: ") + std::strerror(ENOSPC);
          return false;
        }
        chunk = limit - written_;
      }
      const ssize_t n = ::write(fd_, data.data() + done, chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = std::string("cannot write the session file: ") + std::strerror(n < 0 ? errno : ENOSPC);
        return false;
      }
      done += static_cast<size_t>(n);
      written_ += static_cast<uint64_t>(n);
    }
    return true;
  }
  uint64_t Offset() const { return written_; }

 private:
  int fd_;
  uint64_t written_ = 0;
};

struct BlockRecord {
  uint32_t offset = 0, size = 0, stored = 0;
};

BlockRecord GetRecord(ByteSpan h, size_t at) {
  return {LeU32(h, at), LeU32(h, at + 4), LeU32(h, at + 8)};
}
void PutRecord(MutableByteSpan h, size_t at, const BlockRecord& r) {
  StoreLeU32(h, at, r.offset);
  StoreLeU32(h, at + 4, r.size);
  StoreLeU32(h, at + 8, r.stored);
}

bool FitsU32(uint64_t v) {
  return v <= 0xFFFFFFFFull;
}

bool ReadAt(int fd, uint64_t offset, std::byte* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

std::u16string SessionState::DeviceName() const {
  return GetText(ByteSpan(reinterpret_cast<const std::byte*>(driveRow.data()), driveRow.size()), kDeviceNameInRow,
                 kDeviceNameUnits);
}
uint64_t SessionState::DiskCapacity() const {
  return LeU64(ByteSpan(reinterpret_cast<const std::byte*>(driveRow.data()), driveRow.size()), kCapacityInRow);
}

void SetWriteLimitForTesting(uint64_t bytes) {
  g_writeLimit = bytes;
}

bool EncodeArrayBlock(ByteSpan data, std::vector<std::byte>& out, std::string& error) {
  out.clear();
  if (!FitsU32(data.size())) {
    error = "a list of " + std::to_string(data.size()) + " bytes is larger than a session file can hold (4 GiB)";
    return false;
  }
  std::vector<std::byte> packet(QlzCompressBound(std::min<uint64_t>(data.size(), kPieceSize)) +
                                (data.size() <= kSinglePacketLimit ? data.size() : 0));
  if (data.size() <= kSinglePacketLimit) {
    const size_t n = QlzCompress(data, packet);
    out.insert(out.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
  }
  for (uint64_t at = 0; at < data.size(); at += kPieceSize) {
    const auto piece = data.subspan(at, std::min<uint64_t>(kPieceSize, data.size() - at));
    const size_t n = QlzCompress(piece, packet);
    std::byte len[4];
    StoreLeU32(len, 0, static_cast<uint32_t>(n));
    out.insert(out.end(), len, len + 4);
    out.insert(out.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return true;
}

bool DecodeArrayBlock(ByteSpan stored, std::span<std::byte> out, std::string& error) {
  if (out.size() <= kSinglePacketLimit) {
    QlzHeader h;
    if (!QlzReadHeader(stored, h, error)) return false;
    return QlzDecompress(stored.first(h.packetSize), out, error);
  }
  uint64_t at = 0;
  for (uint64_t done = 0; done < out.size(); done += kPieceSize) {
    if (stored.size() - at < 4) {
      error = "a block ends before its last piece";
      return false;
    }
    const uint32_t len = LeU32(stored, at);
    at += 4;
    if (len > stored.size() - at) {
      error = "a piece of " + std::to_string(len) + " bytes runs past its block";
      return false;
    }
    const auto target = out.subspan(done, std::min<uint64_t>(kPieceSize, out.size() - done));
    if (!QlzDecompress(stored.subspan(at, len), target, error)) return false;
    at += len;
  }
  return true;
}

bool EncodeNameStream(const DynList& list, std::vector<std::byte>& out, uint64_t& textBytes, std::string& error) {
  out.clear();
  textBytes = 0;
  const uint64_t count = EntryCount(list);
  if (count == 0) return true;
  std::vector<std::byte> gathered;
  gathered.reserve(kNameChunkLimit);
  std::vector<std::byte> packet(QlzCompressBound(kNameChunkLimit));
  const auto flush = [&] {
    if (gathered.empty()) return;
    const size_t n = QlzCompress(gathered, packet);
    std::byte len[4];
    StoreLeU32(len, 0, static_cast<uint32_t>(n));
    out.insert(out.end(), len, len + 4);
    out.insert(out.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
    textBytes += gathered.size();
    gathered.clear();
  };
  for (uint64_t i = 0; i < count; ++i) {
    const FileEntry e = EntryAt(list, i);
    if (e.HasName()) {
      const std::u16string_view name = list.names.Get(e.name);
      for (char16_t c : name) {
        gathered.push_back(static_cast<std::byte>(c & 0xFF));
        gathered.push_back(static_cast<std::byte>(c >> 8));
      }
      gathered.push_back(std::byte{0});
      gathered.push_back(std::byte{0});
    }
    if (gathered.size() > kNameChunkThreshold) flush();
  }
  flush();
  const std::byte end[4] = {};
  out.insert(out.end(), end, end + 4);
  if (!FitsU32(textBytes) || !FitsU32(out.size())) {
    error = "the names of a list are larger than a session file can hold (4 GiB)";
    return false;
  }
  return true;
}

bool DecodeNameStream(ByteSpan stored, DynList& list, std::string& error) {
  const uint64_t count = EntryCount(list);
  std::vector<std::byte> text;
  size_t pos = 0;   // next unread byte of `text`
  uint64_t at = 0;  // next chunk in `stored`
  bool ended = false, broken = false;
  // The next chunk's text; false at the stream's end (a zero length or no bytes left) and,
  // setting `broken`, for a damaged chunk.
  const auto nextChunk = [&]() -> bool {
    if (ended || stored.size() - at < 4) {
      ended = true;
      return false;
    }
    const uint32_t len = LeU32(stored, at);
    at += 4;
    if (len == 0) {
      ended = true;
      return false;
    }
    broken = true;
    if (len > stored.size() - at) {
      error = "a name chunk of " + std::to_string(len) + " bytes runs past its stream";
      return false;
    }
    QlzHeader h;
    if (!QlzReadHeader(stored.subspan(at, len), h, error)) return false;
    if (h.decodedSize > kNameChunkLimit) {
      error = "a name chunk claims " + std::to_string(h.decodedSize) + " bytes";
      return false;
    }
    text.assign(h.decodedSize, std::byte{0});
    if (!QlzDecompress(stored.subspan(at, len), text, error)) return false;
    broken = false;
    at += len;
    pos = 0;
    return true;
  };
  for (uint64_t i = 0; i < count; ++i) {
    FileEntry e = EntryAt(list, i);
    if (!e.HasName()) {
      e.name = 0;
      SetEntryAt(list, i, e);
      continue;
    }
    e.name = 0;  // never the saved word as a reference
    if (pos + 1 >= text.size()) {
      if (!nextChunk()) {
        if (broken) return false;
        SetEntryAt(list, i, e);
        continue;
      }
    }
    std::u16string name;
    // Up to the terminator; a name that runs to the chunk's end without one is cut there.
    while (pos + 1 < text.size()) {
      const char16_t c = static_cast<char16_t>(LeU16(text, pos));
      pos += 2;
      if (c == 0) break;
      name.push_back(c);
    }
    if (pos + 1 == text.size()) pos = text.size();  // an odd last byte belongs to no unit
    e.name = CopyName(list.names, name);
    SetEntryAt(list, i, e);
  }
  return true;
}

namespace {
bool WriteSessionFileUnguarded(const std::filesystem::path& path, const ItemStore& store, const SessionState& state,
                               std::string& error, const SessionProgress& progress);
bool ReadSessionFileUnguarded(const std::filesystem::path& path, uint64_t mapBytes, LoadedSession& out,
                              std::string& error, const SessionProgress& progress);
}  // namespace

bool WriteSessionFile(const std::filesystem::path& path, const ItemStore& store, const SessionState& state,
                      std::string& error, const SessionProgress& progress) {
  try {
    return WriteSessionFileUnguarded(path, store, state, error, progress);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to save the session";
    return false;
  }
}

bool ReadSessionFile(const std::filesystem::path& path, uint64_t mapBytes, LoadedSession& out, std::string& error,
                     const SessionProgress& progress) {
  try {
    return ReadSessionFileUnguarded(path, mapBytes, out, error, progress);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to load the session";
    return false;
  }
}

namespace {

bool WriteSessionFileUnguarded(const std::filesystem::path& path, const ItemStore& store, const SessionState& state,
                               std::string& error, const SessionProgress& progress) {
  const auto say = [&](const char* text) {
    if (progress) progress(text);
  };
  const DynList* arrays[4] = {&store.fat32ClusterCache, &store.deletedEntries, &store.lostFiles, &store.rawFiles};
  for (const DynList* list : arrays) {
    if (!FitsU32(list->used)) {
      error = "cannot save: list " + std::to_string(list->id) + " holds " + std::to_string(list->used) +
              " bytes, more than a session file can hold (4 GiB)";
      return false;
    }
  }
  if (!FitsU32(store.allocationMap.size())) {
    error = "cannot save: the allocation map is larger than a session file can hold (4 GiB)";
    return false;
  }
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::string tmpl = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  UniqueFd fd(::mkstemp(tmpl.data()));
  if (!fd) {
    error = "cannot create a file in " + dir.string() + ": " + std::strerror(errno);
    return false;
  }
  const std::string tmpPath = tmpl;
  bool ok = false;
  struct Cleanup {
    const std::string& p;
    bool& done;
    ~Cleanup() {
      if (!done) ::unlink(p.c_str());
    }
  } cleanup{tmpPath, ok};

  FileWriter out(fd.Get());
  std::vector<std::byte> header;
  std::vector<std::byte> encoded;
  std::vector<BlockRecord> records(5);
  const char* arrayTexts[4] = {
      "Current action: Saving deleted entries list...", "Current action: Saving lost files list...",
      "Current action: Saving rebuild files list...", "Current action: Saving RAW files list..."};
  const auto writeBlock = [&](ByteSpan data, BlockRecord& r) {
    if (!EncodeArrayBlock(data, encoded, error)) return false;
    if (!FitsU32(out.Offset()) || !FitsU32(out.Offset() + encoded.size())) {
      error = "cannot save: the session would be larger than 4 GiB";
      return false;
    }
    r = {static_cast<uint32_t>(out.Offset()), static_cast<uint32_t>(data.size()),
         static_cast<uint32_t>(encoded.size())};
    return out.Write(encoded, error);
  };
  for (size_t i = 0; i < 4; ++i) {
    if (arrays[i]->used == 0 || arrays[i]->buffer == nullptr) continue;
    say(arrayTexts[i]);
    if (!writeBlock(AsBytes(arrays[i]->buffer, arrays[i]->used), records[i])) return false;
  }
  if (store.allocationMap.size() != 0) {
    say("Current action: Saving allocation map...");
    if (!writeBlock(AsBytes(store.allocationMap.data(), store.allocationMap.size()), records[4])) return false;
  }
  // Names: lists 8, 11, 10 in that order, recorded in the slots of 8, 10, 11.
  struct NameJob {
    const DynList* list;
    size_t slot;
    const char* text;
  } jobs[3] = {{&store.deletedEntries, kNamesList8At, "Current action: Saving lost files string entries..."},
               {&store.rawFiles, kNamesList11At, "Current action: Saving RAW files string entries..."},
               {&store.lostFiles, kNamesList10At, "Current action: Saving rebuild files string entries..."}};
  BlockRecord nameRecords[3];
  for (size_t j = 0; j < 3; ++j) {
    if (EntryCount(*jobs[j].list) == 0) continue;
    say(jobs[j].text);
    uint64_t textBytes = 0;
    if (!EncodeNameStream(*jobs[j].list, encoded, textBytes, error)) return false;
    if (!FitsU32(out.Offset() + encoded.size())) {
      error = "cannot save: the session would be larger than 4 GiB";
      return false;
    }
    nameRecords[j] = {static_cast<uint32_t>(out.Offset()), static_cast<uint32_t>(textBytes),
                      static_cast<uint32_t>(encoded.size())};
    if (!out.Write(encoded, error)) return false;
  }
  say("Current action: Finalizing...");
  SessionState withCounts = state;
  const uint64_t deleted = store.deletedCount;
  withCounts.statistics[kStatDeletedCountLow] = static_cast<uint32_t>(deleted);
  withCounts.statistics[kStatDeletedCountHigh] = static_cast<uint32_t>(deleted >> 32);
  header = BuildHeader(withCounts);
  MutableByteSpan h(header);
  for (size_t i = 0; i < 5; ++i) PutRecord(h, kBlockRecordsAt + 12 * i, records[i]);
  for (size_t j = 0; j < 3; ++j) PutRecord(h, jobs[j].slot, nameRecords[j]);
  if (!out.Write(header, error)) return false;
  if (::fsync(fd.Get()) != 0) {
    error = std::string("cannot write the session file: ") + std::strerror(errno);
    return false;
  }
  if (::close(fd.Release()) != 0) {
    error = std::string("cannot write the session file: ") + std::strerror(errno);
    return false;
  }
  if (::rename(tmpPath.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  ok = true;
  // The rename lasts once the folder is synced too.
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd) ::fsync(dirFd.Get());
  return true;
}

bool OpenAndReadHeader(const std::filesystem::path& path, UniqueFd& fd, uint64_t& fileSize,
                       std::vector<std::byte>& header, std::string& error) {
  fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path.string() + " is not a regular file";
    return false;
  }
  fileSize = static_cast<uint64_t>(st.st_size);
  std::byte first[4] = {};
  if (fileSize >= 4 && ReadAt(fd.Get(), 0, first, 4) && std::memcmp(first, "TQSP", 4) == 0) {
    error = path.string() + " is a partition search state file, not a scan session";
    return false;
  }
  header.assign(kHeaderSize, std::byte{0});
  if (fileSize < kHeaderSize || !ReadAt(fd.Get(), fileSize - kHeaderSize, header.data(), kHeaderSize) ||
      std::memcmp(header.data(), "TQSS", 4) != 0) {
    error = path.string() + ": " + kNotSessionFile;
    return false;
  }
  const uint32_t version = LeU32(header, kVersionAt);
  if (version != kFormatVersion) {
    error = path.string() + ": session format version " + std::to_string(version) +
            " is not supported (Torvane reads version " + std::to_string(kFormatVersion) + ")";
    return false;
  }
  return true;
}

bool ReadSessionFileUnguarded(const std::filesystem::path& path, uint64_t mapBytes, LoadedSession& out,
                              std::string& error, const SessionProgress& progress);

}  // namespace

bool ReadSessionHeader(const std::filesystem::path& path, SessionState& state, std::string& error) {
  UniqueFd fd;
  uint64_t fileSize = 0;
  std::vector<std::byte> header;
  if (!OpenAndReadHeader(path, fd, fileSize, header, error)) return false;
  ParseHeader(header, state);
  return true;
}

namespace {

bool ReadSessionFileUnguarded(const std::filesystem::path& path, uint64_t mapBytes, LoadedSession& out,
                              std::string& error, const SessionProgress& progress) {
  const auto say = [&](const char* text) {
    if (progress) progress(text);
  };
  UniqueFd fd;
  uint64_t fileSize = 0;
  std::vector<std::byte> header;
  if (!OpenAndReadHeader(path, fd, fileSize, header, error)) return false;
  say("Current action: Initializing...");
  ParseHeader(header, out.state);
  const uint64_t body = fileSize - kHeaderSize;
  const auto bad = [&](const std::string& why) {
    error = path.string() + ": " + kNotSessionFile + " (" + why + ")";
    return false;
  };
  // Reads a block's stored bytes after checking that they lie in the body.
  std::vector<std::byte> stored;
  const auto load = [&](const BlockRecord& r, const char* what) {
    if (r.offset > body || r.stored > body - r.offset) return bad(std::string(what) + " lies outside the file");
    stored.assign(r.stored, std::byte{0});
    if (!ReadAt(fd.Get(), r.offset, stored.data(), stored.size())) {
      error = "cannot read " + path.string() + ": " + (errno != 0 ? std::strerror(errno) : "file ended early");
      return false;
    }
    return true;
  };

  DynList* lists[4] = {&out.fat32ClusterCache, &out.deletedEntries, &out.lostFiles, &out.rawFiles};
  const uint32_t ids[4] = {kFat32ClusterCacheId, kDeletedEntriesId, kLostFilesId, kRawFilesId};
  const uint64_t initial[4] = {kFat32ClusterCacheSessionSize, kEntryListSize, kLostFilesSize, kEntryListSize};
  const size_t recordSizes[4] = {kFat32CacheRecord, kFileEntrySize, kFileEntrySize, kFileEntrySize};
  const char* names[4] = {"the FAT32 cluster cache", "the deleted-entries list", "the lost-files list",
                          "the RAW-files list"};
  const char* texts[4] = {"Current action: Loading deleted files list...", "Current action: Loading lost files list...",
                          "Current action: Loading rebuild files list...", "Current action: Loading raw files list..."};
  for (size_t i = 0; i < 4; ++i) {
    InitDynList(*lists[i], initial[i], ids[i]);
    const BlockRecord r = GetRecord(header, kBlockRecordsAt + 12 * i);
    if (r.size == 0) continue;
    say(texts[i]);
    if (r.size % recordSizes[i] != 0)
      return bad(std::string(names[i]) + " is " + std::to_string(r.size) + " bytes, not whole records");
    if (r.size / kMaxExpansion > r.stored) return bad(std::string(names[i]) + " claims more than its bytes hold");
    if (!load(r, names[i])) return false;
    std::vector<std::byte> decoded(r.size);
    if (!DecodeArrayBlock(stored, decoded, error)) return bad(std::string(names[i]) + ": " + error);
    if (!AppendBlockToDynList(*lists[i], decoded.data(), decoded.size())) {
      error = "not enough memory to load " + std::string(names[i]);
      return false;
    }
  }
  const BlockRecord mapRecord = GetRecord(header, kBlockRecordsAt + 12 * 4);
  out.hasAllocationMap = mapRecord.size != 0;
  if (out.hasAllocationMap) {
    say("Current action: Loading allocation map...");
    if (mapRecord.size != mapBytes)
      return bad("its allocation map has " + std::to_string(mapRecord.size) + " bytes, the volume's " +
                 std::to_string(mapBytes));
    if (mapRecord.size / kMaxExpansion > mapRecord.stored)
      return bad("the allocation map claims more than its bytes hold");
    if (!load(mapRecord, "the allocation map")) return false;
    out.allocationMap.assign(mapRecord.size, 0);
    if (!DecodeArrayBlock(stored, {reinterpret_cast<std::byte*>(out.allocationMap.data()), out.allocationMap.size()},
                          error))
      return bad("the allocation map: " + error);
  }
  struct NameJob {
    DynList* list;
    size_t slot;
    const char* text;
  } jobs[3] = {{&out.deletedEntries, kNamesList8At, "Current action: Loading lost files string entries..."},
               {&out.rawFiles, kNamesList11At, "Current action: Loading raw files string entries..."},
               {&out.lostFiles, kNamesList10At, "Current action: Loading rebuild files string entries..."}};
  for (const NameJob& job : jobs) {
    if (EntryCount(*job.list) == 0) continue;
    const BlockRecord r = GetRecord(header, job.slot);
    say(job.text);
    if (r.stored == 0) {
      // No stream: no entry has a name (never the saved words as references).
      if (!DecodeNameStream({}, *job.list, error)) return false;
      continue;
    }
    if (!load(r, "a name stream")) return false;
    if (!DecodeNameStream(stored, *job.list, error)) return bad(error);
  }
  say("Current action: Finalizing...");
  return true;
}

}  // namespace

void ApplySession(LoadedSession& loaded, ItemStore& store) {
  std::lock_guard<std::mutex> scan(store.scanLock);
  std::lock_guard<std::mutex> entries(store.entryListLock);
  UiPort* ui = &store.Messages();
  const auto take = [ui](DynList& to, DynList& from) {
    to = std::move(from);
    to.ui = ui;
  };
  take(store.fat32ClusterCache, loaded.fat32ClusterCache);
  take(store.deletedEntries, loaded.deletedEntries);
  take(store.lostFiles, loaded.lostFiles);
  take(store.rawFiles, loaded.rawFiles);
  InitDynList(store.rebuildEntries, kEntryListSize, kRebuildEntriesId, ui);
  store.deletedEntryCount = EntryCount(store.deletedEntries);
  store.pendingRebuildCount = 0;
  const auto& st = loaded.state.statistics;
  store.deletedCount = uint64_t{st[kStatDeletedCountLow]} | uint64_t{st[kStatDeletedCountHigh]} << 32;
  if (loaded.hasAllocationMap && loaded.allocationMap.size() == store.allocationMap.size())
    std::memcpy(store.allocationMap.data(), loaded.allocationMap.data(), loaded.allocationMap.size());
  else if (store.allocationMap.size() != 0)
    std::memset(store.allocationMap.data(), 0, store.allocationMap.size());  // nothing of before stays
}

}  // namespace torvane::session
