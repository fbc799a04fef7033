#include "partitions/table_repair.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

#include "util/text.h"

namespace torvane {
namespace {

constexpr char kTqbMagic[4] = {'T', 'Q', 'B', 'K'};
constexpr size_t kTqbNameChars = 63;
// A block holds at most this many sectors (the largest boot area is 16 sectors of 512 bytes;
// this leaves room for 4 KiB sectors and bounds what a forged count can claim).
constexpr uint32_t kMaxBlockSectors = 2048;

MutableByteSpan Mutable(uint8_t* p, size_t n) {
  return {reinterpret_cast<std::byte*>(p), n};
}

uint32_t EntryStart(const uint8_t* e) {
  return LeU32(AsBytes(e, 16), 8);
}
uint32_t EntrySize(const uint8_t* e) {
  return LeU32(AsBytes(e, 16), 12);
}
bool IsExtendedType(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

bool ReadExact(DiskSource& source, uint8_t* out, uint32_t count, uint64_t sector) {
  const ReadResult r = source.Read(out, count, sector);
  return r.done && r.sectorsRead == count && r.failedSectors == 0;
}

bool IsNtfsBoot(const uint8_t* s) {
  return std::memcmp(s + 3, "NTFS    ", 8) == 0 && s[510] == 0x55 && s[511] == 0xAA;
}
bool IsFat32Boot(const uint8_t* s) {
  return std::memcmp(s + 82, "FAT32   ", 8) == 0 && s[510] == 0x55 && s[511] == 0xAA && s[13] != 0;
}

std::string Describe(const PartitionRecord& r) {
  return ToUtf8(GetText(r.fsName)) + " '" + ToUtf8(GetText(r.label)) + "' at sector " +
         std::to_string(uint64_t{r.startSector});
}

// The sector after the NTFS volume's own size holds its backup boot sector when the
// partition reaches it: then the partition is one sector longer than the file system.
uint64_t PartitionSize(DiskSource& source, const PartitionRecord& r) {
  uint64_t size = r.sectors;
  uint8_t s[512];
  // A FAT or exFAT volume may end with sectors no cluster covers: its boot sector's size.
  if ((r.fsKind == FsKind::kFat12 || r.fsKind == FsKind::kFat16 || r.fsKind == FsKind::kFat32 ||
       r.fsKind == FsKind::kExfat) &&
      ReadExact(source, s, 1, r.startSector) && s[510] == 0x55 && s[511] == 0xAA) {
    const ByteSpan b = AsBytes(s, 512);
    uint64_t total = r.fsKind == FsKind::kExfat ? LeU64(b, 72) : LeU16(b, 19);
    if (total == 0 && r.fsKind != FsKind::kExfat) total = LeU32(b, 32);
    if (total >= size && total - size < 65536 &&
        total <= source.diskSectors - std::min(source.diskSectors, uint64_t{r.startSector}))
      size = total;
  }
  if (r.fsKind == FsKind::kNtfs && ReadExact(source, s, 1, r.startSector + r.sectors) && IsNtfsBoot(s) &&
      LeU64(AsBytes(s, 512), 40) == r.sectors)
    ++size;
  return size;
}

void PlanBootSector(DiskSource& source, const PartitionRecord& r, RestorePlan& plan, std::set<uint64_t>& planned) {
  if (planned.count(uint64_t{r.startSector}) != 0) return;
  uint8_t backup[512];
  uint64_t at = 0;
  if (!BackupBootSector(source, r, backup, at)) return;
  plan.writes.push_back({r.startSector, std::vector<uint8_t>(backup, backup + 512)});
  plan.details.push_back(ToUtf8(GetText(r.fsName)) + " boot sector of " + Describe(r) +
                         " taken back from its backup at sector " + std::to_string(at));
  planned.insert(uint64_t{r.startSector});
}

// A new MBR entry of the plan. The entries go to the free slots in order of start sector
// once the plan is complete, so that the table lists its partitions in disk order.
struct NewEntry {
  uint64_t start = 0;
  uint8_t bytes[16] = {};
  std::string what;  // the details line, after "MBR entry N: "
};

bool HasFreeSlot(const bool* slotTaken, const std::vector<NewEntry>& pending) {
  size_t free = 0;
  for (int i = 0; i < 4; ++i) free += slotTaken[i] ? 0 : 1;
  return free > pending.size();
}

// ---- The extended chain: logical volumes found again are linked back in. ----

// An extended boot record as partitioning tools write it: the signature, no boot code and
// no entries past the second.
bool LooksLikeEbr(const uint8_t* s) {
  return s[510] == 0x55 && s[511] == 0xAA && IsAllZero(AsBytes(s, 446)) && IsAllZero(AsBytes(s + 478, 32));
}

void FillEntry(uint8_t* e, uint8_t type, uint64_t chsStart, uint64_t relativeStart, uint64_t size) {
  std::memset(e, 0, 16);
  e[4] = type;
  StoreLeU32(Mutable(e, 16), 8, static_cast<uint32_t>(relativeStart));
  StoreLeU32(Mutable(e, 16), 12, static_cast<uint32_t>(size));
  EncodeChs(e, chsStart, size);
}

struct Logical {
  uint64_t start = 0, size = 0;
  uint64_t ebr = 0;     // the sector of its block in the plan
  uint64_t oldEbr = 0;  // where the chain has its block now (present volumes)
  uint8_t type = 0;
  uint8_t entry[16] = {};                 // a present volume's own entry, kept as it is
  const PartitionRecord* lost = nullptr;  // null for a volume the chain lists
};

class ChainPlanner {
 public:
  ChainPlanner(DiskSource& source, RestorePlan& plan) : source_(source), plan_(plan) {}

  // Plans the chain for the lost volumes that are logical volumes: those inside the extended
  // partition of the MBR copy `mbr`, or, when the MBR has none, those an old extended boot
  // record still names (the extended partition's entry is then made again in a free slot).
  // `handled` gets the starts of the lost volumes it restored or refused.
  void Plan(const uint8_t* mbr, const bool* slotTaken, std::vector<NewEntry>& pending,
            std::vector<std::pair<uint64_t, uint64_t>>& used, const std::vector<PartitionRecord>& lost,
            std::set<uint64_t>& handled) {
    int extSlot = -1;
    for (int i = 0; i < 4; ++i)
      if (slotTaken[i] && IsExtendedType(mbr[446 + 16 * i + 4])) extSlot = i;
    std::vector<Logical> chain;
    std::vector<const PartitionRecord*> members;
    if (extSlot >= 0) {
      const uint8_t* e = mbr + 446 + 16 * extSlot;
      extStart_ = EntryStart(e);
      extEnd_ = extStart_ + EntrySize(e);
      chain = ReadChain();
      for (const auto& r : lost) {
        if (r.startSector < extStart_ || r.startSector >= extEnd_) continue;
        bool listed = false;  // a volume the chain lists already is left as it is
        for (const auto& c : chain) listed |= c.start == r.startSector;
        if (listed)
          handled.insert(uint64_t{r.startSector});
        else
          members.push_back(&r);
      }
      if (members.empty()) return;
    } else if (!FindLostExtended(lost, used, members)) {
      return;
    }
    for (const auto* r : members) handled.insert(uint64_t{r->startSector});

    // Every volume of the chain in order of start; a lost volume that overlaps another
    // volume, or that an entry of the table cannot describe, stays out.
    for (const auto* r : members) {
      Logical l;
      l.start = r->startSector;
      l.size = PartitionSize(source_, *r);
      l.type = r->systemId;
      l.lost = r;
      std::string why;
      if (l.type == 0)
        why = "its partition type is unknown";
      else if (l.size == 0 || l.start + l.size > extEnd_ || l.start - extStart_ > 0xFFFFFFFF || l.size > 0xFFFFFFFF)
        why = "it reaches past the extended partition";
      for (const auto& c : chain)
        if (why.empty() && l.start < c.start + c.size && c.start < l.start + l.size)
          why = c.lost != nullptr ? "it overlaps another lost volume" : "it overlaps a logical volume in use";
      for (const auto& [from, to] : used)
        if (why.empty() && !(from == extStart_ && to == extEnd_) && l.start < to && from < l.start + l.size)
          why = "it overlaps a partition in use";
      if (!why.empty()) {
        plan_.notRestored.push_back(Describe(*r) + ": " + why);
        continue;
      }
      chain.push_back(l);
    }
    std::sort(chain.begin(), chain.end(), [](const Logical& a, const Logical& b) { return a.start < b.start; });
    bool anyLost = false;
    for (const auto& l : chain) anyLost |= l.lost != nullptr;
    if (!anyLost) return;

    // The blocks: the first at the extended partition's start, each other one in the gap
    // before its volume.
    uint64_t prevEnd = extStart_;
    std::vector<Logical> placed;
    for (size_t i = 0; i < chain.size(); ++i) {
      Logical& l = chain[i];
      const bool first = placed.empty();
      if (l.lost == nullptr && l.oldEbr >= prevEnd && (first ? l.oldEbr == extStart_ : l.oldEbr != extStart_)) {
        l.ebr = l.oldEbr;
      } else if (first) {
        l.ebr = extStart_ < l.start && IsFreeForBlock(extStart_, l.lost == nullptr) ? extStart_ : 0;
      } else {
        l.ebr = ChooseBlock(l, prevEnd, chain);
      }
      if (l.ebr == 0) {
        if (l.lost == nullptr) {
          for (const auto& m : chain)
            if (m.lost != nullptr)
              plan_.notRestored.push_back(Describe(*m.lost) + ": the extended chain has no room for the block of " +
                                          "the logical volume at sector " + std::to_string(l.start));
          return;
        }
        plan_.notRestored.push_back(Describe(*l.lost) + ": no free sector before it can hold its extended boot record");
        continue;
      }
      // The partition may be longer than its file system: the size an old block gives it,
      // or the span the link to its block gives, when that leaves the next volume alone.
      uint64_t hint = l.lost != nullptr ? NamedSize(l.ebr, l.start) : 0;
      if (hint == 0 && l.lost != nullptr && l.ebr == dangling_ && danglingSpan_ > l.start - l.ebr)
        hint = danglingSpan_ - (l.start - l.ebr);
      const uint64_t limit = i + 1 < chain.size() ? chain[i + 1].start : extEnd_;
      if (hint > l.size && hint <= 0xFFFFFFFF && l.start + hint <= limit) l.size = hint;
      placed.push_back(l);
      prevEnd = l.start + l.size;
    }

    bool restored = false;
    for (const auto& l : placed) restored |= l.lost != nullptr;
    if (!restored) return;
    if (extSlot < 0 && !AddExtendedEntry(slotTaken, pending, used, placed)) return;
    for (size_t i = 0; i < placed.size(); ++i) WriteBlock(placed, i);
  }

 private:
  // The chain as the tables have it: its logical volumes and the sector a link names that
  // holds no block (a block zeroed or overwritten).
  std::vector<Logical> ReadChain() {
    std::vector<Logical> chain;
    std::set<uint64_t> visited;
    uint64_t block = extStart_, linkSize = 0;
    for (int hop = 0; hop < 1024 && visited.insert(block).second && block < source_.diskSectors; ++hop) {
      uint8_t s[512];
      if (!ReadExact(source_, s, 1, block) || s[510] != 0x55 || s[511] != 0xAA) {
        dangling_ = block;
        danglingSpan_ = linkSize;
        break;
      }
      uint64_t next = 0;
      for (int i = 0; i < 2; ++i) {
        const uint8_t* e = s + 446 + 16 * i;
        if (EntrySize(e) == 0 || EntryStart(e) == 0) break;
        if (i == 0 && !IsExtendedType(e[4])) {
          Logical l;
          l.start = block + EntryStart(e);
          l.size = EntrySize(e);
          l.oldEbr = block;
          l.type = e[4];
          std::memcpy(l.entry, e, 16);
          chain.push_back(l);
          continue;
        }
        next = extStart_ + EntryStart(e);
        linkSize = EntrySize(e);
        break;
      }
      if (next <= block) break;
      block = next;
    }
    return chain;
  }

  // The size an old block at `sector` gives the volume at `start`, or 0.
  uint64_t NamedSize(uint64_t sector, uint64_t start) {
    uint8_t s[512];
    if (sector >= start || !ReadExact(source_, s, 1, sector) || !LooksLikeEbr(s)) return 0;
    return sector + EntryStart(s + 446) == start && !IsExtendedType(s[446 + 4]) ? EntrySize(s + 446) : 0;
  }

  // An old block at `sector` that names a volume at `start`: its link's start, or -1.
  int64_t OldBlockNaming(uint64_t sector, uint64_t start) {
    uint8_t s[512];
    if (sector >= start || !ReadExact(source_, s, 1, sector) || !LooksLikeEbr(s)) return -1;
    const uint8_t* e = s + 446;
    if (e[4] == 0 || IsExtendedType(e[4]) || sector + EntryStart(e) != start) return -1;
    return EntryStart(s + 462);
  }

  // Gaps between a block and its volume worth trying: the volume's hidden-sectors field
  // (which counts from its block for a logical volume), the gaps of the chain, 2048 and 63.
  std::vector<uint64_t> Gaps(uint64_t start, const std::vector<Logical>& chain) {
    std::vector<uint64_t> gaps;
    uint8_t boot[512];
    if (ReadExact(source_, boot, 1, start) && boot[510] == 0x55 && boot[511] == 0xAA &&
        std::memcmp(boot + 3, "EXFAT   ", 8) != 0) {
      const uint64_t hidden = LeU32(AsBytes(boot, 512), 28);
      if (hidden != 0 && hidden < start) gaps.push_back(hidden);
    }
    for (const auto& c : chain)
      if (c.lost == nullptr && c.oldEbr != 0 && c.oldEbr < c.start) gaps.push_back(c.start - c.oldEbr);
    gaps.push_back(2048);
    gaps.push_back(63);
    return gaps;
  }

  // A sector that may take a block: zeros, or an old block (or, for a volume the chain
  // lists, the block it has now).
  bool IsFreeForBlock(uint64_t sector, bool present) {
    uint8_t s[512];
    if (!ReadExact(source_, s, 1, sector)) return false;
    return IsAllZero(AsBytes(s, 512)) || LooksLikeEbr(s) || (present && s[510] == 0x55 && s[511] == 0xAA);
  }

  // Where the block of a volume that is not first goes: the old block that still names it,
  // the sector a link of the chain names, its hidden-sectors field, the chain's own gaps.
  uint64_t ChooseBlock(const Logical& l, uint64_t prevEnd, const std::vector<Logical>& chain) {
    std::vector<uint64_t> tries;
    for (uint64_t g : Gaps(l.start, chain))
      if (OldBlockNaming(l.start - g, l.start) >= 0) tries.push_back(l.start - g);
    if (dangling_ != 0) tries.push_back(dangling_);
    for (uint64_t g : Gaps(l.start, chain)) tries.push_back(l.start - g);
    for (uint64_t e : tries)
      if (e >= prevEnd && e > extStart_ && e < l.start && IsFreeForBlock(e, false)) return e;
    return 0;
  }

  // With no extended partition in the MBR: the lost volumes that old blocks still name are
  // logical volumes, and so is every lost volume between them; the extended partition
  // starts at the first block (or where the links of the old blocks say it started).
  bool FindLostExtended(const std::vector<PartitionRecord>& lost,
                        const std::vector<std::pair<uint64_t, uint64_t>>& used,
                        std::vector<const PartitionRecord*>& members) {
    struct Named {
      uint64_t block;
      int64_t link;
    };
    std::vector<Named> blocks;
    uint64_t lastEnd = 0;
    for (const auto& r : lost)
      for (uint64_t g : Gaps(r.startSector, {}))
        if (const int64_t link = OldBlockNaming(r.startSector - g, r.startSector); link >= 0) {
          blocks.push_back({r.startSector - g, link});
          lastEnd = std::max(lastEnd, uint64_t{r.startSector} + PartitionSize(source_, r));
          break;
        }
    if (blocks.empty()) return false;
    uint64_t start = blocks.front().block;
    for (const auto& b : blocks) start = std::min(start, b.block);
    // A link is relative to the extended partition's start: a block it names tells it.
    for (const auto& a : blocks)
      for (const auto& b : blocks)
        if (a.link > 0 && b.block > static_cast<uint64_t>(a.link) && b.block - a.link < start) {
          const uint64_t s = b.block - a.link;
          bool clear = true;
          for (const auto& [from, to] : used) clear &= !(s >= from && s < to);
          for (const auto& r : lost) clear &= !(r.startSector <= s && r.startSector + r.sectors > s);
          if (clear) start = s;
        }
    // It ends where the next partition in use or lost primary starts, else at the disk's end.
    uint64_t end = std::min<uint64_t>(source_.diskSectors, uint64_t{start} + 0xFFFFFFFF);
    for (const auto& [from, to] : used)
      if (from >= lastEnd) end = std::min(end, from);
    for (const auto& r : lost)
      if (r.startSector >= lastEnd) end = std::min(end, uint64_t{r.startSector});
    for (const auto& [from, to] : used)
      if (start < to && from < end) return false;  // the range is not free: no extended partition
    extStart_ = start;
    extEnd_ = end;
    for (const auto& r : lost)
      if (r.startSector > extStart_ && r.startSector < lastEnd) members.push_back(&r);
    return !members.empty();
  }

  bool AddExtendedEntry(const bool* slotTaken, std::vector<NewEntry>& pending,
                        std::vector<std::pair<uint64_t, uint64_t>>& used, const std::vector<Logical>& placed) {
    if (!HasFreeSlot(slotTaken, pending) || extStart_ == 0 || extStart_ > 0xFFFFFFFF) {
      for (const auto& l : placed)
        if (l.lost != nullptr)
          plan_.notRestored.push_back(Describe(*l.lost) + ": no MBR entry is free for the extended partition");
      return false;
    }
    // The CHS-addressed type while the partition ends inside 1024 cylinders, else LBA.
    const uint64_t size = extEnd_ - extStart_;
    const uint8_t type = extEnd_ <= 0xFB0400 ? 0x05 : 0x0F;
    NewEntry e;
    e.start = extStart_;
    FillEntry(e.bytes, type, extStart_, extStart_, size);
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", type);
    e.what = std::string("type ") + text + " (extended partition), start " + std::to_string(extStart_) + ", " +
             std::to_string(size) + " sectors";
    pending.push_back(e);
    used.emplace_back(extStart_, extEnd_);
    return true;
  }

  // The block of volume i: its entry, and the link to the next block (size: from that
  // block to the end of its volume).
  void WriteBlock(const std::vector<Logical>& placed, size_t i) {
    const Logical& l = placed[i];
    uint8_t s[512];
    if (!ReadExact(source_, s, 1, l.ebr)) return;
    const std::vector<uint8_t> old(s, s + 512);
    if (l.lost != nullptr && !LooksLikeEbr(s)) std::memset(s, 0, 512);
    uint8_t* first = s + 446;
    if (l.lost == nullptr && l.ebr == l.oldEbr) {
      std::memcpy(first, l.entry, 16);
    } else if (l.lost == nullptr) {
      FillEntry(first, l.type, l.start, l.start - l.ebr, l.size);
      first[0] = l.entry[0];
    } else {
      FillEntry(first, l.type, l.start, l.start - l.ebr, l.size);
    }
    uint8_t* link = s + 462;
    std::memset(link, 0, 16);
    if (i + 1 < placed.size()) {
      const Logical& n = placed[i + 1];
      FillEntry(link, 0x05, n.ebr, n.ebr - extStart_, n.start + n.size - n.ebr);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    if (std::memcmp(old.data(), s, 512) == 0) return;
    plan_.writes.push_back({l.ebr, std::vector<uint8_t>(s, s + 512)});
    std::string line = "EPP at sector: " + std::to_string(l.ebr) + ": logical volume " +
                       (l.lost != nullptr ? Describe(*l.lost) : "at sector " + std::to_string(l.start)) + ", " +
                       std::to_string(l.size) + " sectors";
    line += i + 1 < placed.size() ? ", next block at sector " + std::to_string(placed[i + 1].ebr) : ", last block";
    plan_.details.push_back(line);
  }

  DiskSource& source_;
  RestorePlan& plan_;
  uint64_t extStart_ = 0, extEnd_ = 0;
  uint64_t dangling_ = 0, danglingSpan_ = 0;  // a link to no block, and the span it gives
};

}  // namespace

bool BackupBootSector(DiskSource& source, const PartitionRecord& r, uint8_t* out, uint64_t& at) {
  uint8_t primary[512];
  if (!ReadExact(source, primary, 1, r.startSector)) return false;
  if (r.fsKind == FsKind::kNtfs && !IsNtfsBoot(primary) && r.sectors != 0) {
    for (const uint64_t where : {r.startSector + r.sectors, r.startSector + r.sectors - 1}) {
      if (!ReadExact(source, out, 1, where) || !IsNtfsBoot(out)) continue;
      if (where - r.startSector != LeU64(AsBytes(out, 512), 40)) continue;
      at = where;
      return true;
    }
  } else if (r.fsKind == FsKind::kFat32 && !IsFat32Boot(primary)) {
    at = r.startSector + 6;
    return ReadExact(source, out, 1, at) && IsFat32Boot(out);
  }
  return false;
}

bool IsEntryInUse(const uint8_t* entry, uint64_t diskSectors) {
  const uint64_t start = EntryStart(entry), size = EntrySize(entry);
  return entry[4] != 0 && start != 0 && size != 0 && start < diskSectors && size <= diskSectors - start;
}

RestorePlan BuildRestorePlan(DiskSource& source, const VolumeList& list, const std::vector<PartitionRecord>& lost) {
  RestorePlan plan;
  const uint64_t disk = source.diskSectors;
  uint8_t mbr[512];
  if (!ReadExact(source, mbr, 1, 0)) {
    plan.notRestored.push_back("the MBR cannot be read");
    return plan;
  }
  std::vector<uint8_t> before(mbr, mbr + 512);
  for (int i = 0; i < 4; ++i)
    if (mbr[446 + 16 * i + 4] == 0xEE && IsEntryInUse(mbr + 446 + 16 * i, disk)) {
      plan.notRestored.push_back("the disk has a GPT; its partition table is not rewritten");
      return plan;
    }
  // Ranges the table uses, and the extended partition.
  std::vector<std::pair<uint64_t, uint64_t>> used;
  uint64_t extStart = 0, extEnd = 0;
  bool slotTaken[4] = {};
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = mbr + 446 + 16 * i;
    if (!IsEntryInUse(e, disk)) continue;
    slotTaken[i] = true;
    used.emplace_back(EntryStart(e), uint64_t{EntryStart(e)} + EntrySize(e));
    if (IsExtendedType(e[4])) {
      extStart = EntryStart(e);
      extEnd = uint64_t{EntryStart(e)} + EntrySize(e);
    }
  }
  std::vector<PartitionRecord> sorted;
  for (const auto& r : lost) {
    bool twice = false;
    for (const auto& s : sorted) twice |= s.startSector == r.startSector;
    if (!twice) sorted.push_back(r);
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const PartitionRecord& a, const PartitionRecord& b) { return a.startSector < b.startSector; });
  // Logical volumes first: they go back into the extended chain, not into the MBR.
  std::set<uint64_t> seen;
  std::vector<NewEntry> pending;
  ChainPlanner(source, plan).Plan(mbr, slotTaken, pending, used, sorted, seen);
  for (const auto& r : sorted) {
    if (!seen.insert(uint64_t{r.startSector}).second) continue;
    const uint64_t start = r.startSector;
    uint64_t size = PartitionSize(source, r);
    // A file system rounds its size down to its own units: when the next partition (or the
    // disk's end) lies on a 1 MiB boundary less than 1 MiB behind the volume, the partition
    // was made to reach it.
    uint64_t next = disk;
    for (const auto& [from, to] : used)
      if (from >= start + size) next = std::min(next, from);
    for (const auto& other : sorted)
      if (other.startSector >= start + size) next = std::min(next, uint64_t{other.startSector});
    if (next % 2048 == 0 && (start + size) % 2048 != 0 && next - (start + size) < 2048) size = next - start;
    std::string why;
    if (r.systemId == 0)
      why = "its partition type is unknown";
    else if (start == 0 || start > 0xFFFFFFFF || size == 0 || size > 0xFFFFFFFF || start >= disk || size > disk - start)
      why = "an MBR entry cannot describe it";
    else if (extEnd != 0 && start >= extStart && start < extEnd)
      why = "it lies inside the extended partition";
    for (const auto& [from, to] : used)
      if (why.empty() && start < to && from < start + size) why = "it overlaps a partition in use";
    if (why.empty() && !HasFreeSlot(slotTaken, pending)) why = "no MBR entry is free";
    if (!why.empty()) {
      plan.notRestored.push_back(Describe(r) + ": " + why);
      continue;
    }
    NewEntry e;
    e.start = start;
    FillEntry(e.bytes, r.systemId, start, start, size);
    used.emplace_back(start, start + size);
    char type[8];
    std::snprintf(type, sizeof type, "0x%02X", r.systemId);
    e.what = std::string("type ") + type + ", start " + std::to_string(start) + ", " + std::to_string(size) +
             " sectors for " + Describe(r);
    pending.push_back(e);
  }
  std::sort(pending.begin(), pending.end(), [](const NewEntry& a, const NewEntry& b) { return a.start < b.start; });
  int slot = 0;
  for (const auto& e : pending) {
    while (slotTaken[slot]) ++slot;
    std::memcpy(mbr + 446 + 16 * slot, e.bytes, 16);
    slotTaken[slot] = true;
    plan.details.push_back("MBR entry " + std::to_string(slot + 1) + ": " + e.what);
  }
  if (std::memcmp(before.data(), mbr, 512) != 0) {
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    plan.writes.push_back({0, std::vector<uint8_t>(mbr, mbr + 512)});
  }
  // The rebuilt blocks of the extended chain.
  std::set<uint64_t> chainBlocks;
  for (const auto& w : plan.writes) chainBlocks.insert(w.sector);
  for (const auto& epp : list.eppBlocks) {
    uint8_t block[512];
    if (chainBlocks.count(uint64_t{epp.sector}) != 0 || epp.sector >= disk || !ReadExact(source, block, 1, epp.sector))
      continue;
    const std::vector<uint8_t> old(block, block + 512);
    if (epp.firstValid) std::memcpy(block + 446, epp.firstEntry, 16);
    if (epp.secondValid) std::memcpy(block + 462, epp.secondEntry, 16);
    block[510] = 0x55;
    block[511] = 0xAA;
    if (std::memcmp(old.data(), block, 512) == 0) continue;
    plan.writes.push_back({epp.sector, std::vector<uint8_t>(block, block + 512)});
    plan.details.push_back("EPP at sector: " + std::to_string(uint64_t{epp.sector}));
  }
  // Boot sectors taken back from their backups, for listed and lost volumes alike.
  std::set<uint64_t> planned;
  for (const auto* records : {&list.volumes, &lost})
    for (const auto& r : *records)
      if ((r.bootFromBackup || r.bootRestored) && !r.bootRebuilt && !r.wholeDisk)
        PlanBootSector(source, r, plan, planned);
  return plan;
}

std::vector<SectorBlock> BackupRanges(const VolumeList& list, const RestorePlan& plan) {
  std::vector<SectorBlock> ranges;
  std::set<uint64_t> covered;
  auto add = [&](uint64_t sector, uint32_t count) {
    bool allCovered = true;
    for (uint32_t i = 0; i < count; ++i) allCovered &= covered.count(sector + i) != 0;
    if (allCovered) return;
    for (uint32_t i = 0; i < count; ++i) covered.insert(sector + i);
    SectorBlock b;
    b.sector = sector;
    b.data.resize(size_t{count} * 512);
    ranges.push_back(std::move(b));
  };
  for (const auto& w : plan.writes) add(w.sector, w.Count());
  add(0, 1);
  for (const auto& epp : list.eppBlocks) add(epp.sector, 1);
  for (const auto& v : list.volumes)
    if (!v.wholeDisk) add(v.startSector, v.fsKind == FsKind::kNtfs ? 8192 / 512 : 1);
  return ranges;
}

std::vector<uint8_t> SerializeBackup(const PartitionBackup& backup) {
  size_t total = kTqbHeaderBytes;
  for (const auto& b : backup.blocks) total += 12 + b.data.size();
  std::vector<uint8_t> out(total);
  const MutableByteSpan o = Mutable(out.data(), out.size());
  std::memcpy(out.data(), kTqbMagic, 4);
  StoreLeU64(o, 4, backup.diskSectors);
  const size_t chars = std::min(backup.sourceName.size(), kTqbNameChars);
  for (size_t i = 0; i < chars; ++i) StoreLeU16(o, 12 + 2 * i, backup.sourceName[i]);
  StoreLeU32(o, 140, static_cast<uint32_t>(backup.blocks.size()));
  size_t at = kTqbHeaderBytes;
  for (const auto& b : backup.blocks) {
    StoreLeU64(o, at, b.sector);
    StoreLeU32(o, at + 8, b.Count());
    std::memcpy(out.data() + at + 12, b.data.data(), b.data.size());
    at += 12 + b.data.size();
  }
  return out;
}

bool ParseBackup(ByteSpan bytes, uint64_t diskSectors, PartitionBackup& backup, std::string& error) {
  if (bytes.size() < kTqbHeaderBytes || std::memcmp(bytes.data(), kTqbMagic, 4) != 0) {
    error = "This file is damaged or not compatible! (no TQBK header)";
    return false;
  }
  PartitionBackup b;
  b.diskSectors = LeU64(bytes, 4);
  for (size_t i = 0; i < kTqbNameChars; ++i) {
    const char16_t c = LeU16(bytes, 12 + 2 * i);
    if (c == 0) break;
    b.sourceName += c;
  }
  if (b.diskSectors != diskSectors) {
    error = "the backup was made of a disk of " + std::to_string(b.diskSectors) + " sectors; this disk has " +
            std::to_string(diskSectors);
    return false;
  }
  const uint32_t count = LeU32(bytes, 140);
  if (count == 0 || count > (bytes.size() - kTqbHeaderBytes) / 12) {
    error = "the backup claims " + std::to_string(count) + " blocks, more than the file holds";
    return false;
  }
  size_t at = kTqbHeaderBytes;
  for (uint32_t i = 0; i < count; ++i) {
    if (bytes.size() - at < 12) {
      error = "block " + std::to_string(i) + " lies past the file's end";
      return false;
    }
    const uint64_t sector = LeU64(bytes, at);
    const uint32_t n = LeU32(bytes, at + 8);
    const uint64_t length = uint64_t{n} * 512;
    if (n == 0 || n > kMaxBlockSectors || length > bytes.size() - at - 12) {
      error = "block " + std::to_string(i) + " claims " + std::to_string(n) + " sectors, more than the file holds";
      return false;
    }
    if (sector >= diskSectors || n > diskSectors - sector) {
      error = "block " + std::to_string(i) + " names sector " + std::to_string(sector) + ", past the disk's end";
      return false;
    }
    SectorBlock block;
    block.sector = sector;
    block.data.assign(reinterpret_cast<const uint8_t*>(bytes.data()) + at + 12,
                      reinterpret_cast<const uint8_t*>(bytes.data()) + at + 12 + length);
    b.blocks.push_back(std::move(block));
    at += 12 + length;
  }
  if (at != bytes.size()) {
    error = "the backup has " + std::to_string(bytes.size() - at) + " bytes after its last block";
    return false;
  }
  backup = std::move(b);
  return true;
}

bool LoadPartitionBackup(const std::filesystem::path& path, uint64_t diskSectors, PartitionBackup& backup,
                         std::string& error) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    error = "cannot read " + path.string() + ": " + ec.message();
    return false;
  }
  // At most a block of the largest size per sector of the disk, and never above 1 GiB.
  if (size > (uint64_t{1} << 30)) {
    error = path.string() + " is too large for a partition backup";
    return false;
  }
  std::vector<uint8_t> bytes(size);
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
    error = "cannot read " + path.string();
    return false;
  }
  if (!ParseBackup(AsBytes(bytes.data(), bytes.size()), diskSectors, backup, error)) {
    error = path.string() + ": " + error;
    return false;
  }
  return true;
}

bool CreatePartitionBackup(DiskSource& source, const std::vector<SectorBlock>& ranges,
                           const std::filesystem::path& path, const OutputGuard& guard, std::string& error) {
  PartitionBackup backup;
  backup.diskSectors = source.diskSectors;
  backup.sourceName = std::filesystem::absolute(source.sourcePath).u16string();
  for (const auto& r : ranges) {
    SectorBlock b{r.sector, std::vector<uint8_t>(r.data.size())};
    if (!ReadExact(source, b.data.data(), b.Count(), b.sector)) {
      error = "Backup not created! I/O Errors occured. (sectors " + std::to_string(r.sector) + "-" +
              std::to_string(r.sector + r.Count() - 1) + " cannot be read)";
      return false;
    }
    backup.blocks.push_back(std::move(b));
  }
  if (guard.IsProtected(path)) {
    error = path.string() + " is one of the source disk's files";
    return false;
  }
  const std::vector<uint8_t> bytes = SerializeBackup(backup);
  PendingFile file;
  if (!file.CreateFor(path, error)) return false;
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(file.Fd(), bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      error =
          "Backup not created! I/O Errors occured. (" + std::string(n < 0 ? std::strerror(errno) : "short write") + ")";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(file.Fd()) != 0) {
    error = "Backup not created! I/O Errors occured. (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  switch (file.Commit(file.TargetName(), error, /*replace=*/false, &guard)) {
    case PendingFile::CommitResult::kDone:
      break;
    case PendingFile::CommitResult::kExists:
      error = path.string() + " already exists";
      return false;
    case PendingFile::CommitResult::kFailed:
      return false;
  }
  // Read back: the file must hold what the disk holds.
  PartitionBackup check;
  if (!LoadPartitionBackup(path, source.diskSectors, check, error)) return false;
  if (check.blocks.size() != backup.blocks.size()) {
    error = "the backup read back differs from the disk";
    return false;
  }
  for (size_t i = 0; i < check.blocks.size(); ++i) {
    std::vector<uint8_t> now(check.blocks[i].data.size());
    if (check.blocks[i].sector != backup.blocks[i].sector ||
        !ReadExact(source, now.data(), check.blocks[i].Count(), check.blocks[i].sector) ||
        now != check.blocks[i].data) {
      error = "the backup read back differs from the disk at sector " + std::to_string(check.blocks[i].sector);
      return false;
    }
  }
  return true;
}

bool WriteBlocks(const std::filesystem::path& diskPath, const std::vector<SectorBlock>& blocks, size_t& written,
                 std::string& error) {
  written = 0;
  {
    DiskSource target;
    if (!target.OpenSource(diskPath, 0, error, /*writable=*/true)) return false;
    const uint32_t perWrite = static_cast<uint32_t>(target.sectorBuffer.size() / 512);
    for (const auto& b : blocks) {
      if (b.data.empty() || b.data.size() % 512 != 0 || b.sector >= target.diskSectors ||
          b.Count() > target.diskSectors - b.sector) {
        error = "a block at sector " + std::to_string(b.sector) + " does not fit the disk";
        return false;
      }
      for (uint32_t done = 0; done < b.Count();) {
        const uint32_t n = std::min(perWrite, b.Count() - done);
        std::memcpy(target.sectorBuffer.data(), b.data.data() + size_t{done} * 512, size_t{n} * 512);
        if (target.WriteSectors(n, b.sector + done) != 1) {
          error = "cannot write sectors " + std::to_string(b.sector + done) + "-" +
                  std::to_string(b.sector + done + n - 1) + " of " + diskPath.string() +
                  " (only sectors stored in the disk's own files can be written)";
          return false;
        }
        done += n;
      }
      ++written;
    }
  }
  // Flushed to the device before the read-back.
  const int fd = ::open(diskPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0 || ::syncfs(fd) != 0) {
    error = "cannot flush " + diskPath.string() + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  DiskSource check;
  if (!check.OpenSource(diskPath, 0, error)) return false;
  for (const auto& b : blocks) {
    std::vector<uint8_t> now(b.data.size());
    if (!ReadExact(check, now.data(), b.Count(), b.sector) || now != b.data) {
      error = "sectors at " + std::to_string(b.sector) + " do not read back as written";
      return false;
    }
  }
  return true;
}

}  // namespace torvane
