// Hand-built MFT records for the NTFS tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "fs/ntfs/mft_record.h"
#include "util/bytes.h"

namespace torvane::ntfs {

using Bytes = std::vector<std::byte>;

inline uint32_t Align8(uint32_t v) {
  return (v + 7) & ~7u;
}

// Hand-builds MFT records the way NTFS lays them out: header, update-sequence array at 0x30,
// attributes from the next 8-byte boundary, the end marker, then the unused tail.
class RecordBuilder {
 public:
  explicit RecordBuilder(uint32_t size = 1024, uint32_t sector = 512) : size_(size), sector_(sector) {}

  RecordBuilder& Flags(uint16_t flags) {
    flags_ = flags;
    return *this;
  }
  RecordBuilder& Number(uint32_t number) {
    number_ = number;
    return *this;
  }
  RecordBuilder& Sequence(uint16_t sequence) {
    sequence_ = sequence;
    return *this;
  }
  // The base record's reference: makes this an extension record.
  RecordBuilder& Base(uint64_t reference) {
    base_ = reference;
    return *this;
  }
  RecordBuilder& Resident(uint32_t type, const std::u16string& name, const Bytes& value) {
    const uint32_t valueOffset = Align8(0x18 + 2 * static_cast<uint32_t>(name.size()));
    Bytes a(Align8(valueOffset + static_cast<uint32_t>(value.size())));
    Common(a, type, 0, name, 0x18);
    StoreLeU32(a, 0x10, static_cast<uint32_t>(value.size()));
    StoreLeU16(a, 0x14, static_cast<uint16_t>(valueOffset));
    std::copy(value.begin(), value.end(), a.begin() + valueOffset);
    return Append(a);
  }
  RecordBuilder& NonResident(uint32_t type, const std::u16string& name, uint64_t lowestVcn, uint64_t realSize,
                             Bytes runs = {std::byte{0x11}, std::byte{0x04}, std::byte{0x20}, std::byte{0}},
                             uint16_t runlistOffset = 0) {
    const uint32_t runsOffset = Align8(0x40 + 2 * static_cast<uint32_t>(name.size()));
    Bytes a(Align8(runsOffset + static_cast<uint32_t>(runs.size())));
    Common(a, type, 1, name, 0x40);
    StoreLeU64(a, 0x10, lowestVcn);
    StoreLeU64(a, 0x18, lowestVcn + 3);
    StoreLeU16(a, 0x20, static_cast<uint16_t>(runlistOffset != 0 ? runlistOffset : runsOffset));
    StoreLeU64(a, 0x28, 16384);
    StoreLeU64(a, 0x30, realSize);
    StoreLeU64(a, 0x38, realSize);
    std::copy(runs.begin(), runs.end(), a.begin() + runsOffset);
    return Append(a);
  }

  // The record as it is after fixups (what the parsers read).
  Bytes Build() const {
    Bytes r(size_);
    for (uint32_t i = 0; i < r.size(); ++i) r[i] = std::byte(i * 7 + 3);  // stale tail bytes
    StoreLeU32(r, 0, 0x454C4946);
    StoreLeU16(r, 0x04, 0x30);
    StoreLeU16(r, 0x06, static_cast<uint16_t>(size_ / sector_ + 1));
    StoreLeU64(r, 0x08, 0x1234);
    StoreLeU16(r, 0x10, sequence_);
    StoreLeU16(r, 0x12, 1);
    StoreLeU16(r, 0x14, static_cast<uint16_t>(FirstAttribute()));
    StoreLeU16(r, 0x16, flags_);
    StoreLeU32(r, 0x18, FirstAttribute() + static_cast<uint32_t>(attrs_.size()) + 8);
    StoreLeU32(r, 0x1C, size_);
    StoreLeU64(r, 0x20, base_);
    StoreLeU16(r, 0x28, 9);
    StoreLeU32(r, 0x2C, number_);  // record number
    const uint32_t first = FirstAttribute();
    std::copy(attrs_.begin(), attrs_.end(), r.begin() + first);
    StoreLeU32(r, first + attrs_.size(), 0xFFFFFFFF);
    StoreLeU32(r, first + attrs_.size() + 4, 0);
    return r;
  }

  // The record as stored on disk: each sector's last two bytes moved into the array and
  // replaced by the update sequence number.
  Bytes OnDisk(uint16_t usn = 0x0107) const {
    Bytes r = Build();
    StoreLeU16(r, 0x30, usn);
    for (uint32_t i = 1; i <= size_ / sector_; ++i) {
      StoreLeU16(r, 0x30 + 2 * i, LeU16(r, i * sector_ - 2));
      StoreLeU16(r, i * sector_ - 2, usn);
    }
    return r;
  }

  // Offset of the n-th attribute added, for tests that damage one.
  uint32_t AttributeOffset(size_t n) const { return FirstAttribute() + offsets_.at(n); }

 private:
  uint32_t FirstAttribute() const { return Align8(0x30 + 2 * (size_ / sector_ + 1)); }
  static void Common(Bytes& a, uint32_t type, uint8_t nonResident, const std::u16string& name, uint16_t nameOffset) {
    StoreLeU32(a, 0, type);
    StoreLeU32(a, 4, static_cast<uint32_t>(a.size()));
    a[8] = std::byte{nonResident};
    a[9] = std::byte(name.size());
    StoreLeU16(a, 0x0A, name.empty() ? 0 : nameOffset);
    for (size_t i = 0; i < name.size(); ++i) StoreLeU16(a, nameOffset + 2 * i, name[i]);
  }
  RecordBuilder& Append(Bytes a) {
    offsets_.push_back(static_cast<uint32_t>(attrs_.size()));
    StoreLeU16(a, 0x0E, static_cast<uint16_t>(offsets_.size()));
    attrs_.insert(attrs_.end(), a.begin(), a.end());
    return *this;
  }

  uint32_t size_, sector_;
  uint32_t number_ = 42;
  uint16_t sequence_ = 5;
  uint64_t base_ = 0;
  uint16_t flags_ = MftRecordHeader::kInUse;
  Bytes attrs_;
  std::vector<uint32_t> offsets_;
};

inline Bytes FileName(uint64_t parent, uint8_t ns, const std::u16string& name) {
  Bytes v(0x42 + 2 * name.size());
  StoreLeU64(v, 0, parent);
  v[0x40] = std::byte(name.size());
  v[0x41] = std::byte{ns};
  for (size_t i = 0; i < name.size(); ++i) StoreLeU16(v, 0x42 + 2 * i, name[i]);
  return v;
}

// A $FILE_NAME value with a time stamp, the size and the flags (0x10000000: a folder).
inline Bytes FileNameValue(uint64_t parent, uint8_t ns, const std::u16string& name, uint64_t size,
                           uint32_t flags = 0x20) {
  Bytes v = FileName(parent, ns, name);
  StoreLeU64(v, 0x18, 0x01D0000000000000ull);
  StoreLeU64(v, 0x30, size);
  StoreLeU32(v, 0x38, flags);
  return v;
}

// An $ATTRIBUTE_LIST value: (type, lowest VCN, holder's reference) per entry.
struct ListEntry {
  uint32_t type;
  uint64_t lowestVcn;
  uint64_t reference;
};
inline Bytes AttributeList(const std::vector<ListEntry>& entries) {
  Bytes v;
  for (const auto& e : entries) {
    Bytes one(0x20);
    StoreLeU32(one, 0, e.type);
    StoreLeU16(one, 4, 0x20);
    one[7] = std::byte{0x1A};
    StoreLeU64(one, 8, e.lowestVcn);
    StoreLeU64(one, 0x10, e.reference);
    v.insert(v.end(), one.begin(), one.end());
  }
  return v;
}

inline Bytes Utf16(const std::u16string& s) {
  Bytes v(2 * s.size());
  for (size_t i = 0; i < s.size(); ++i) StoreLeU16(v, 2 * i, s[i]);
  return v;
}

}  // namespace torvane::ntfs
