#include "fs/exfat/exfat_entry_set.h"

#include <algorithm>

namespace torvane::exfat {
namespace {

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysSince1601(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t daysSince1970 = era * 146097 + doe - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 to 1970-01-01
}

uint8_t TypeAt(ByteSpan dir, size_t pos) {
  return static_cast<uint8_t>(dir[pos]);
}

}  // namespace

uint16_t EntrySetChecksum(ByteSpan entries) {
  uint16_t sum = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 2 || i == 3) continue;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + static_cast<uint8_t>(entries[i]));
  }
  return sum;
}

uint64_t ExfatTimeToFiletime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset) {
  const uint32_t seconds = (stamp & 0x1F) * 2, minute = (stamp >> 5) & 0x3F, hour = (stamp >> 11) & 0x1F;
  const uint32_t day = (stamp >> 16) & 0x1F, month = (stamp >> 21) & 0x0F, year = 1980 + (stamp >> 25);
  if (day == 0 || month == 0 || month > 12 || hour > 23 || minute > 59 || seconds > 59) return 0;
  constexpr int64_t kTicksPerSecond = 10'000'000;
  int64_t ticks = DaysSince1601(year, month, day) * 86400 * kTicksPerSecond +
                  int64_t{hour * 3600 + minute * 60 + seconds} * kTicksPerSecond;
  if (tenMs <= 199) ticks += int64_t{tenMs} * 100'000;
  // The stamp is local time; the offset (when valid) says how far local time is ahead of UTC.
  if (utcOffset & 0x80) {
    const int64_t quarters = (utcOffset & 0x40) ? int64_t{utcOffset & 0x7F} - 128 : int64_t{utcOffset & 0x7F};
    ticks -= quarters * 15 * 60 * kTicksPerSecond;
  }
  return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

bool LooksLikeFolderStart(ByteSpan cluster) {
  if (cluster.empty()) return false;
  const uint8_t t = static_cast<uint8_t>(cluster[0]);
  return t == kTypeBitmap || t == kTypeUpcase || t == kTypeLabel || t == kTypeFile || t == (kTypeFile & ~kInUseBit);
}

SetStep DecodeEntrySet(ByteSpan dir, size_t pos, EntrySet& set, bool withNames) {
  set = EntrySet{};
  const size_t start = pos;
  // Entries that begin no set are passed over; an end entry ends the folder.
  for (;; pos += kEntryBytes) {
    if (pos + kEntryBytes > dir.size()) return SetStep::kEnd;
    const uint8_t t = TypeAt(dir, pos);
    if (t == kTypeEnd) return SetStep::kEnd;
    if ((t | kInUseBit) == kTypeFile) break;
  }
  auto skipOne = [&] {
    set.bytes = static_cast<uint32_t>(pos + kEntryBytes - start);
    return SetStep::kSkip;
  };
  const ByteSpan file = dir.subspan(pos, kEntryBytes);
  set.offset = static_cast<uint32_t>(pos);
  set.deleted = (TypeAt(dir, pos) & kInUseBit) == 0;
  set.secondaryCount = LeU8(file, 1);
  if (set.secondaryCount < kMinSecondaryCount || set.secondaryCount > kMaxSecondaryCount) return skipOne();
  const size_t setBytes = (size_t{set.secondaryCount} + 1) * kEntryBytes;
  if (pos + setBytes > dir.size()) return skipOne();
  const ByteSpan whole = dir.subspan(pos, setBytes);
  // Every secondary keeps the set's in-use state: a set half deleted is not one set.
  const uint8_t inUse = set.deleted ? 0 : kInUseBit;
  const ByteSpan stream = whole.subspan(kEntryBytes, kEntryBytes);
  if (LeU8(stream, 0) != ((kTypeStream & ~kInUseBit) | inUse)) return skipOne();
  set.nameLength = LeU8(stream, 3);
  if (set.nameLength == 0) return skipOne();
  const size_t nameEntries = (size_t{set.nameLength} + kNameCharsPerEntry - 1) / kNameCharsPerEntry;
  if (nameEntries + 1 > set.secondaryCount) return skipOne();
  set.attributes = LeU16(file, 4);
  set.noFatChain = (LeU8(stream, 1) & kFlagNoFatChain) != 0;
  set.validDataLength = LeU64(stream, 0x08);
  set.firstCluster = LeU32(stream, 0x14);
  set.dataLength = LeU64(stream, 0x18);
  set.times.created = ExfatTimeToFiletime(LeU32(file, 0x08), LeU8(file, 0x14), LeU8(file, 0x16));
  set.times.modified = ExfatTimeToFiletime(LeU32(file, 0x0C), LeU8(file, 0x15), LeU8(file, 0x17));
  set.times.accessed = ExfatTimeToFiletime(LeU32(file, 0x10), 0, LeU8(file, 0x18));
  // The name entries follow the stream extension; other secondaries (vendor extensions) may
  // follow them and are passed over. The names needed are counted from the name length.
  size_t namesSeen = 0;
  for (size_t i = 2; i <= set.secondaryCount; ++i) {
    const ByteSpan e = whole.subspan(i * kEntryBytes, kEntryBytes);
    const uint8_t t = LeU8(e, 0);
    if ((t & 0x40) == 0 || (t & kInUseBit) != inUse) return skipOne();  // not a secondary of this set
    if ((t | kInUseBit) != kTypeName || namesSeen == nameEntries) continue;
    if (namesSeen == 0 && LeU16(e, 2) == 0) return skipOne();
    if (withNames)
      for (size_t c = 0; c < kNameCharsPerEntry && set.name.size() < set.nameLength; ++c)
        set.name.push_back(static_cast<char16_t>(LeU16(e, 2 + 2 * c)));
    ++namesSeen;
  }
  if (namesSeen < nameEntries) return skipOne();
  if (!set.deleted) set.checksumOk = EntrySetChecksum(whole) == LeU16(file, 2);
  set.bytes = static_cast<uint32_t>(pos + setBytes - start);
  return SetStep::kSet;
}

}  // namespace torvane::exfat
