#include "partitions/partition_search.h"

#include <unistd.h>

#include <cstring>
#include <fstream>

#include "util/format.h"
#include "util/text.h"

namespace torvane {
namespace {

constexpr char kTqspMagic[4] = {'T', 'Q', 'S', 'P'};
// The tail scan covers the last 10 MiB of the disk.
constexpr uint64_t kTailBytes = 0xA00000;
// NTFS puts the MFT at cluster 786432 of 4 KiB clusters unless the volume is small.
constexpr uint64_t kDefaultMftSector = 786432 * 8;

bool HasSignature(const uint8_t* sector) {
  return sector[510] == 0x55 && sector[511] == 0xAA;
}

bool IsNtfsBootSector(const uint8_t* s) {
  return std::memcmp(s + 3, "NTFS", 4) == 0;
}

// The UTF-16 text `ascii` within the first `limit` bytes of `data`.
bool HasWide(const uint8_t* data, size_t limit, const char* ascii) {
  const size_t n = std::strlen(ascii);
  for (size_t at = 0; at + 2 * n <= limit; ++at) {
    bool match = true;
    for (size_t i = 0; i < n && match; ++i) match = data[at + 2 * i] == ascii[i] && data[at + 2 * i + 1] == 0;
    if (match) return true;
  }
  return false;
}

std::string SizeText(const PartitionRecord& r) {
  uint64_t bytes = 0;
  if (!CheckedMul(r.sectors, r.bytesPerSector, bytes)) bytes = ~uint64_t{0};
  return HumanSize(bytes);
}

std::string ReportLine(const PartitionRecord& r) {
  return ToUtf8(GetText(r.fsName)) + " detected at sector: " + std::to_string(uint64_t{r.startSector}) + " - " +
         ToUtf8(GetText(r.label)) + " (" + SizeText(r) + ")" + (r.damaged ? " [DAMAGED]" : "");
}

}  // namespace

uint32_t SearchPercent(uint64_t nextSector, uint64_t diskSectors) {
  if (diskSectors == 0 || nextSector >= diskSectors) return 100;
  // nextSector < diskSectors <= 2^40: the product fits.
  return static_cast<uint32_t>(nextSector * 100 / diskSectors);
}

FoundStatus StatusOf(const PartitionRecord& found, const VolumeList& current) {
  const size_t tables = std::min(current.tableVolumes, current.volumes.size());
  for (size_t i = 0; i < tables; ++i)
    if (current.volumes[i].startSector == found.startSector) return FoundStatus::kOk;
  return found.damaged ? FoundStatus::kOverwritten : FoundStatus::kLost;
}

const char* StatusName(FoundStatus status) {
  switch (status) {
    case FoundStatus::kOk:
      return "ok";
    case FoundStatus::kOverwritten:
      return "overwritten";
    case FoundStatus::kLost:
      return "lost";
  }
  return "lost";
}

// ---------------------------------------------------------------------------------------
// The state file.

std::vector<uint8_t> SerializeSearchState(const SearchState& state) {
  std::vector<uint8_t> out(kTqspHeaderBytes + state.found.size() * sizeof(PartitionRecord));
  MutableByteSpan b(reinterpret_cast<std::byte*>(out.data()), out.size());
  std::memcpy(out.data(), kTqspMagic, 4);
  const size_t chars = std::min(state.sourceName.size(), kTqspNameBytes / 2 - 1);
  for (size_t i = 0; i < chars; ++i) StoreLeU16(b, 4 + 2 * i, state.sourceName[i]);
  StoreLeU64(b, 1028, state.diskSectors);
  StoreLeU32(b, 1036, static_cast<uint32_t>(state.method));
  StoreLeU64(b, 1040, state.nextSector);
  StoreLeU32(b, 1048, static_cast<uint32_t>(state.found.size()));
  if (!state.found.empty())
    std::memcpy(out.data() + kTqspHeaderBytes, state.found.data(), state.found.size() * sizeof(PartitionRecord));
  return out;
}

bool ParseSearchState(ByteSpan bytes, SearchState& state, std::string& error) {
  if (bytes.size() < kTqspHeaderBytes || std::memcmp(bytes.data(), kTqspMagic, 4) != 0) {
    error = "not a partition search state file (no TQSP header)";
    return false;
  }
  SearchState s;
  // The name is read up to its terminator or the field's end, whichever comes first.
  for (size_t i = 0; i + 1 < kTqspNameBytes / 2; ++i) {
    const char16_t c = LeU16(bytes, 4 + 2 * i);
    if (c == 0) break;
    s.sourceName += c;
  }
  s.diskSectors = LeU64(bytes, 1028);
  const uint32_t method = LeU32(bytes, 1036);
  if (method > 1) {
    error = "the state file names an unknown search method " + std::to_string(method);
    return false;
  }
  s.method = static_cast<SearchMethod>(method);
  s.nextSector = LeU64(bytes, 1040);
  const uint32_t count = LeU32(bytes, 1048);
  const uint64_t present = (bytes.size() - kTqspHeaderBytes) / sizeof(PartitionRecord);
  if (count > present || count > kMaxFoundRecords) {
    error = "the state file claims " + std::to_string(count) + " found volumes but holds " + std::to_string(present);
    return false;
  }
  if (s.nextSector > s.diskSectors) {
    error = "the state file's position lies past its disk's end";
    return false;
  }
  s.found.resize(count);
  if (count != 0) std::memcpy(s.found.data(), bytes.data() + kTqspHeaderBytes, size_t{count} * sizeof(PartitionRecord));
  for (auto& r : s.found) {
    // The texts are always terminated, whatever the file holds.
    r.fsName[sizeof r.fsName - 2] = r.fsName[sizeof r.fsName - 1] = 0;
    r.label[sizeof r.label - 2] = r.label[sizeof r.label - 1] = 0;
    r.displayLabel[sizeof r.displayLabel - 2] = r.displayLabel[sizeof r.displayLabel - 1] = 0;
  }
  s.resuming = true;
  state = std::move(s);
  return true;
}

bool SaveSearchState(const std::filesystem::path& path, const SearchState& state, const OutputGuard& guard,
                     std::string& error) {
  if (guard.IsProtected(path)) {
    error = path.string() + " is one of the source disk's files";
    return false;
  }
  const std::vector<uint8_t> bytes = SerializeSearchState(state);
  PendingFile file;
  if (!file.CreateFor(path, error)) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(file.Fd(), bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      error = "cannot write " + path.string() + ": " + (n < 0 ? std::strerror(errno) : "short write");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(file.Fd()) != 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  if (file.Commit(file.TargetName(), error, /*replace=*/true, &guard) != PendingFile::CommitResult::kDone) {
    if (error.empty()) error = "cannot save " + path.string();
    return false;
  }
  return true;
}

bool LoadSearchState(const std::filesystem::path& path, SearchState& state, std::string& error) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    error = "cannot read " + path.string() + ": " + ec.message();
    return false;
  }
  // The largest file a valid state can make.
  if (size > kTqspHeaderBytes + uint64_t{kMaxFoundRecords} * sizeof(PartitionRecord)) {
    error = path.string() + " is too large for a partition search state file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(size);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
    error = "cannot read " + path.string();
    return false;
  }
  if (!ParseSearchState(AsBytes(bytes.data(), bytes.size()), state, error)) {
    error = path.string() + ": " + error;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// The search.

PartitionSearch::PartitionSearch(DiskSource& source, VolumeRecognizer recognize, SearchState state)
    : source_(source),
      recognize_(recognize),
      diskSectors_(state.diskSectors),
      method_(state.method),
      resuming_(state.resuming),
      sourceName_(std::move(state.sourceName)),
      found_(std::move(state.found)) {
  next_ = std::min(state.nextSector, diskSectors_);
}

PartitionSearch::~PartitionSearch() {
  Stop();
  if (worker_.joinable()) worker_.join();
}

void PartitionSearch::Log(const std::string& line) {
  if (log_) log_(line);
}

SearchState PartitionSearch::Snapshot() const {
  SearchState s;
  s.sourceName = sourceName_;
  s.diskSectors = diskSectors_;
  s.method = method_;
  std::lock_guard lock(mutex_);
  s.nextSector = next_.load();
  s.found = found_;
  return s;
}

bool PartitionSearch::Listed(uint64_t start) const {
  std::lock_guard lock(mutex_);
  for (const auto& r : found_)
    if (r.startSector == start) return true;
  return false;
}

bool PartitionSearch::InsideFound(uint64_t sector) const {
  std::lock_guard lock(mutex_);
  for (const auto& r : found_)
    if (sector >= r.startSector && sector - r.startSector < r.sectors) return true;
  return false;
}

bool PartitionSearch::ReadInto(uint8_t* out, uint32_t count, uint64_t sector) {
  std::memset(out, 0, size_t{count} * 512);
  if (sector >= diskSectors_ || count > diskSectors_ - sector) return false;
  return source_.Read(out, count, sector).done;
}

int32_t PartitionSearch::Recognize(uint64_t sector, PartitionRecord& record, const uint8_t* copy,
                                   const uint8_t* entry) {
  if (sector >= diskSectors_) return 0;
  record = PartitionRecord{};
  return recognize_(source_, nullptr, entry, record, sector, copy, nullptr);
}

bool PartitionSearch::ValidateFoundVolume(const PartitionRecord& r) {
  uint8_t boot[512];
  if (r.fsKind == FsKind::kNtfs) {
    // The boot sector at the start, else its backup at the volume's last sector.
    if (!ReadInto(boot, 1, r.startSector) || !IsNtfsBootSector(boot)) {
      uint64_t last = 0;
      if (!CheckedAdd(r.startSector, r.sectors, last) || !ReadInto(boot, 1, last) || !IsNtfsBootSector(boot))
        return false;
    }
    const ByteSpan b = AsBytes(boot, 512);
    const uint32_t spc = boot[13];
    const uint64_t mftCluster = LeU64(b, 48);
    uint64_t mftSector = 0;
    if (spc == 0 || !CheckedMul(mftCluster, spc, mftSector) || !CheckedAdd(mftSector, r.startSector, mftSector))
      return false;
    // "FILE" opens the record; the update sequence only touches the ends of its sectors.
    return ReadInto(boot, 1, mftSector) && std::memcmp(boot, "FILE", 4) == 0;
  }
  if (r.fsKind == FsKind::kFat32) {
    if (!ReadInto(boot, 1, r.startSector)) return false;
    const ByteSpan b = AsBytes(boot, 512);
    const uint32_t spc = boot[13];
    if (spc == 0) return false;
    const uint64_t reserved = LeU16(b, 14), fats = boot[16], fatLength = LeU32(b, 36);
    const uint64_t total = LeU32(b, 32), rootCluster = LeU32(b, 44);
    const uint64_t dataStart = reserved + fatLength * (fats >= 2 ? 2 : 1);
    if (dataStart >= total || rootCluster < 2) return false;
    const uint64_t clusters = (total - dataStart) / spc;
    if (rootCluster > clusters + 1) return false;
    uint8_t root[512];
    if (!ReadInto(root, 1, r.startSector + dataStart + (rootCluster - 2) * spc)) return false;
    const ByteSpan d = AsBytes(root, 512);
    bool passed = false;
    for (int i = 0; i < 16; ++i) {
      const uint8_t* e = root + 32 * i;
      if (e[0] == 0) break;
      if (e[11] == 0x0F) continue;
      const uint64_t first = (uint64_t{LeU16(d, 32 * i + 20)} << 16) | LeU16(d, 32 * i + 26);
      if (e[11] > 99 || first > clusters + 1) return false;
      passed = true;
    }
    return passed;
  }
  return true;
}

uint32_t PartitionSearch::ReportFoundVolume(PartitionRecord record, bool forced) {
  if (record.sectors == 0) return 0;
  if (Listed(record.startSector)) return 0;
  record.damaged = forced || ValidateFoundVolume(record) ? 0 : 1;
  {
    std::lock_guard lock(mutex_);
    found_.push_back(record);
  }
  Log(ReportLine(record));
  return 1;
}

// A sector that holds an NTFS boot sector followed by no loader text may be the backup at
// the end of a volume: the volume is taken when a volume of that size is recognised where
// the backup says it starts (or at that start rounded down to a cylinder), so a primary boot
// sector whose loader lies elsewhere is not mistaken for a backup.
bool PartitionSearch::FromNtfsBackup(uint64_t sector, const uint8_t* data) {
  if (!IsNtfsBootSector(data) || LeU32(AsBytes(data, 512), 36) != 0x00800080) return false;
  uint8_t next[512];
  if (ReadInto(next, 1, sector + 1) && (HasWide(next, 256, "NTLDR") || HasWide(next, 256, "BOOTMGR"))) return false;
  const uint64_t total = LeU64(AsBytes(data, 512), 40);
  if (total == 0 || total > sector) return false;  // would start before the disk
  const uint64_t start = sector - total;
  // A primary boot sector has its copy `total` sectors further on.
  uint8_t copy[512];
  if (ReadInto(copy, 1, sector + total) && std::memcmp(copy, data, 512) == 0) return false;
  // The volume's size as a table entry would give it, so that recognition finds the backup
  // boot sector at the volume's last sector when the primary is gone.
  uint8_t entry[16] = {};
  const bool entryFits = total < 0xFFFFFFFF;
  entry[4] = 7;
  StoreLeU32({reinterpret_cast<std::byte*>(entry), 16}, 12, static_cast<uint32_t>(total + 1));
  bool any = false;
  for (const uint64_t at : {start, start / 63 * 63}) {
    if (Listed(at)) {
      any = true;
    } else {
      PartitionRecord r;
      if (Recognize(at, r, nullptr, entryFits && at == start ? entry : nullptr) && r.fsKind == FsKind::kNtfs &&
          (at + r.sectors == sector || at + r.sectors == sector + 1)) {
        r.sectors = total;
        ReportFoundVolume(r, false);
        any = true;
      }
    }
    if (start % 63 == 0) break;
  }
  return any;
}

void PartitionSearch::TailScan() {
  const uint64_t tail = kTailBytes / 512;
  const uint64_t from = diskSectors_ > tail ? diskSectors_ - tail : 0;
  std::vector<uint8_t> buffer(size_t{kChunkSectors} * 512);
  for (uint64_t s = from; s < diskSectors_ && !stop_;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, diskSectors_ - s));
    ReadInto(buffer.data(), n, s);
    for (uint32_t i = 0; i < n; ++i)
      if (HasSignature(buffer.data() + 512 * i)) FromNtfsBackup(s + i, buffer.data() + 512 * i);
    s += n;
  }
}

uint64_t PartitionSearch::SkipRule(uint64_t sector, const PartitionRecord& record) {
  if (record.bytesPerSector == 0 || GetText(record.fsName) == u"Ext" || record.sectors == 0) return sector + 1;
  ReportFoundVolume(record, false);
  if (method_ != SearchMethod::kFast) return sector + 1;
  if (record.fsKind != FsKind::kNtfs && record.fsKind != FsKind::kFat32) return sector + 1;
  if (record.startSector != sector || !ValidateFoundVolume(record)) return sector + 1;
  uint64_t end = 0;
  if (!CheckedAdd(record.startSector, record.sectors, end)) return sector + 1;
  VolumeListBuilder builder(source_, scratch_, recognize_);
  end = builder.AlignToCylinder(end, record);
  // Only forward, and only over a volume of at least a track.
  if (end <= sector || end - sector < 63) return sector + 1;
  return std::min(end, diskSectors_);
}

// Whether the boot sector `data` is repeated at `sector`: then it is a primary boot sector
// and `sector` holds its backup (exFAT keeps its volume flags and use percentage apart).
bool PartitionSearch::HasCopyAt(uint64_t sector, const uint8_t* data, FsKind kind) {
  uint8_t copy[512];
  if (!ReadInto(copy, 1, sector)) return false;
  for (size_t i = 0; i < 512; ++i) {
    const bool volatileByte = kind == FsKind::kExfat && (i == 106 || i == 107 || i == 112);
    if (copy[i] != data[i] && !volatileByte) return false;
  }
  return true;
}

uint64_t PartitionSearch::Examine(uint64_t sector, const uint8_t* data) {
  const ByteSpan b = AsBytes(data, 512);
  if (HasSignature(data)) {
    if (FromNtfsBackup(sector, data)) return sector + 1;
    PartitionRecord r;
    if (!Recognize(sector, r, data)) return sector + 1;
    if (r.fsKind == FsKind::kFat12) return sector + 1;
    // A FAT32 or exFAT backup boot sector: the volume starts a few sectors earlier.
    uint64_t back = 0;
    if (r.fsKind == FsKind::kFat32) back = LeU16(b, 50);
    if (r.fsKind == FsKind::kExfat) back = 12;
    if (back != 0 && back <= sector && !HasCopyAt(sector + back, data, r.fsKind)) {
      if (Listed(sector - back)) return sector + 1;
      PartitionRecord primary;
      if (Recognize(sector - back, primary) && primary.fsKind == r.fsKind) {
        ReportFoundVolume(primary, false);
        return sector + 1;
      }
    }
    return SkipRule(sector, r);
  }
  // An MFT record of $Bitmap: the volume lies at the default MFT position before it, where
  // recognition rebuilds its boot sector.
  if (std::memcmp(data, "FILE0", 5) == 0 &&
      (HasWide(data + 242, 14, "$Bitmap") || HasWide(data + 258, 14, "$Bitmap"))) {
    const uint64_t before = 6 * 2 + kDefaultMftSector;  // six 1 KiB records, then the MFT offset
    // A record of a volume already found is that volume's (a small volume keeps its MFT
    // elsewhere, and the default position would name a volume that is not there).
    if (sector >= before && !Listed(sector - before) && !InsideFound(sector)) {
      PartitionRecord r;
      if (Recognize(sector - before, r) && r.fsKind == FsKind::kNtfs) ReportFoundVolume(r, false);
    }
  }
  return sector + 1;
}

bool PartitionSearch::Step(std::vector<uint8_t>& buffer) {
  uint64_t at = next_.load();
  if (at >= diskSectors_) return false;
  // The holes of a sparse image hold only zeros: no boot sector or record to examine there.
  if (const uint64_t data = source_.NextDataSector(at); data > at) {
    next_ = std::min(data, diskSectors_);
    return next_.load() < diskSectors_;
  }
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, diskSectors_ - at));
  // A refused read leaves the chunk looking empty; the search goes on. (A delivered read
  // fills every byte, zeros where sectors failed.)
  if (!source_.Read(buffer.data(), n, at).done) std::memset(buffer.data(), 0, size_t{n} * 512);
  uint64_t s = at;
  while (s < at + n) {
    const uint8_t* data = buffer.data() + 512 * (s - at);
    // Only a boot sector (its signature) or an MFT record ("FILE") needs a closer look.
    if (!HasSignature(data) && data[0] != 'F') {
      ++s;
      continue;
    }
    const uint64_t next = Examine(s, data);
    s = next > s ? next : s + 1;
  }
  next_ = std::min(s, diskSectors_);
  return next_.load() < diskSectors_;
}

PartitionSearch::Outcome PartitionSearch::Run() {
  if (resuming_ && !found_.empty()) {
    Log("Total partitions detected: " + std::to_string(found_.size()));
    for (const auto& r : found_) Log(ReportLine(r));
  }
  Log("Initializing... " + ToUtf8(sourceName_));
  if (diskSectors_ == 0) {
    Log("Scan of " + ToUtf8(sourceName_) + " finished.");
    return outcome_ = Outcome::kFinished;
  }
  Log("Starting search of partitions.");
  if (!resuming_) TailScan();
  Log("Starting analyzes from sector " + std::to_string(next_.load()) + ".");
  std::vector<uint8_t> buffer(size_t{kChunkSectors} * 512);
  while (true) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return !paused_ || stop_; });
    }
    if (stop_) return outcome_ = Outcome::kStopped;
    if (!Step(buffer)) break;
  }
  Log("Scan of " + ToUtf8(sourceName_) + " finished.");
  return outcome_ = Outcome::kFinished;
}

void PartitionSearch::Start() {
  worker_ = std::thread([this] { Run(); });
}

void PartitionSearch::Pause() {
  std::lock_guard lock(mutex_);
  paused_ = true;
}

void PartitionSearch::Resume() {
  {
    std::lock_guard lock(mutex_);
    paused_ = false;
  }
  wake_.notify_all();
}

void PartitionSearch::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
}

PartitionSearch::Outcome PartitionSearch::Wait() {
  if (worker_.joinable()) worker_.join();
  return outcome_;
}

}  // namespace torvane
