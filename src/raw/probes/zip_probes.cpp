#include "raw/probes/zip_probes.h"

#include <string>
#include <string_view>

#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

constexpr uint32_t kLocal = 0x04034B50, kCentral = 0x02014B50, kEnd = 0x06054B50, kEnd64 = 0x06064B50,
                   kLocator64 = 0x07064B50, kSignature = 0x05054B50, kDescriptor = 0x08074B50, kSpanned = 0x30304B50;
constexpr uint64_t kNotFound = UINT64_MAX;

std::string_view AsText(ByteSpan bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool Contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

// What the member names and the "mimetype" member say about the archive.
struct Clues {
  bool firstIsModel = false, model3d = false, contentTypes = false, word = false, ppt = false, xl = false;
  bool javaArchive = false, xps = false, sweetHome = false, flash = false, corel = false, artx = false;
  bool kml = false;
  std::string kmlName;  // the last ".kml" member's name
  std::string mimeType;
  size_t names = 0;

  void AddName(std::string_view name) {
    if (names++ == 0 && name.starts_with("model")) firstIsModel = true;
    if (Contains(name, "3dmodel.model")) model3d = true;
    if (name == "[Content_Types].xml") contentTypes = true;
    if (name.starts_with("word/")) word = true;
    if (name.starts_with("ppt/") || Contains(name, "/slideLayouts/")) ppt = true;
    if (name.starts_with("xl/")) xl = true;
    if (name.starts_with("META-INF/") || EndsWith(name, ".class")) javaArchive = true;
    if (Contains(name, "Metadata/Job_PT.xml") || Contains(name, "FixedDoc")) xps = true;
    if (Contains(name, "sweethome") || name == "Home.xml") sweetHome = true;
    if (EndsWith(name, ".xfl")) flash = true;
    if (Contains(name, "corel.draw")) corel = true;
    if (name.starts_with("Header/universalpositioning")) artx = true;
    if (EndsWith(name, ".kml")) {
      kml = true;
      // The suffix is the file's own name, without its folders and its ".kml".
      std::string_view base = name.substr(0, name.size() - 4);
      if (const size_t slash = base.find_last_of("/\\"); slash != std::string_view::npos) base.remove_prefix(slash + 1);
      kmlName = std::string(base.substr(0, std::min<size_t>(base.size(), 512)));
    }
  }

  // The catalogue entry these clues name; 0 for a plain ZIP. First match wins.
  uint16_t Entry() const {
    if (firstIsModel) return 187;  // ADF
    if (model3d) return 176;       // 3MF
    if (Contains(mimeType, "vnd.makemusic")) return 188;
    if (Contains(mimeType, "opendocument.spreadsheet")) return 82;
    if (Contains(mimeType, "opendocument.text")) return 81;
    if (xps) return 100;
    if (sweetHome) return 174;
    if (flash) return 83;
    if (corel || Contains(mimeType, "corel.draw")) return 32;
    if (artx) return 85;
    if (Contains(mimeType, "-idml-")) return 84;
    if (contentTypes && word) return 98;
    if (contentTypes && ppt) return 97;
    if (contentTypes && xl) return 96;
    if (javaArchive) return 99;
    if (kml) return 170;  // KMZ
    return 0;
  }
};

// The ZIP64 sizes of a local header's extra field, for the fields whose 32-bit value is
// all ones.
void ReadZip64Sizes(ByteSpan extra, uint64_t& compressed, uint64_t& uncompressed) {
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = LeU16(extra, at), length = LeU16(extra, at + 2);
    if (at + 4 + length > extra.size()) return;
    if (id == 0x0001) {
      const ByteSpan field = extra.subspan(at + 4, length);
      size_t f = 0;
      if (uncompressed == 0xFFFFFFFF && f + 8 <= field.size()) {
        uncompressed = LeU64(field, f);
        f += 8;
      }
      if (compressed == 0xFFFFFFFF && f + 8 <= field.size()) compressed = LeU64(field, f);
      return;
    }
    at += 4 + size_t{length};
  }
}

// The end of a member written with a data descriptor (its sizes follow its data): the first
// descriptor after `data` whose compressed size is the distance from `data`, with or without
// its signature, 32- or 64-bit. kNotFound when the data ends first.
uint64_t DescriptorEnd(ProbeReader& reader, uint64_t data) {
  for (uint64_t from = data; from < reader.Limit();) {
    const uint64_t q = reader.Find("PK", from, reader.Limit());
    if (q == kNotFound) return kNotFound;
    const ByteSpan at = reader.Read(q, 24);
    const uint32_t sig = LeU32(at, 0);
    const uint64_t distance = q - data;
    if (sig == kDescriptor) {
      if (at.size() >= 16 && LeU32(at, 8) == distance) return q + 16;
      if (at.size() >= 24 && LeU64(at, 8) == distance) return q + 24;
    } else if ((sig == kLocal || sig == kCentral) && distance >= 12) {
      const ByteSpan before = reader.Read(q - 12, 12);
      if (LeU32(before, 4) == distance - 12) return q;
      if (distance >= 20) {
        const ByteSpan before64 = reader.Read(q - 20, 20);
        if (LeU64(before64, 4) == distance - 20) return q;
      }
    }
    from = q + 1;
  }
  return kNotFound;
}

}  // namespace

bool ConfirmZip(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  const uint32_t sig = LeU32(s, 0);
  if (sig == kDescriptor || sig == kSpanned) return LeU32(s, 4) == kLocal && LeU16(s, 4 + 26) != 0;
  return sig == kLocal && LeU16(s, 26) != 0;
}

uint64_t SizeZip(ProbeContext& ctx) {
  if (!ConfirmZip(ctx)) return 0;
  ProbeReader reader(ctx);
  const uint64_t limit = reader.Limit();
  Clues clues;
  uint64_t pos = 0, records = 0;
  bool complete = false;
  while (pos < limit && !complete) {
    ByteSpan head = reader.Read(pos, 46);
    if (head.size() < 4) break;
    const uint32_t sig = LeU32(head, 0);
    uint64_t next = kNotFound;
    if (sig == kLocal) {
      if (head.size() < 30) break;
      const uint16_t flags = LeU16(head, 6), method = LeU16(head, 8);
      uint64_t compressed = LeU32(head, 18), uncompressed = LeU32(head, 22);
      const uint16_t nameLength = LeU16(head, 26), extraLength = LeU16(head, 28);
      const uint64_t data = pos + 30 + nameLength + extraLength;
      const ByteSpan names = reader.Read(pos + 30, size_t{nameLength} + extraLength);
      if (names.size() < size_t{nameLength} + extraLength) break;
      const std::string name(AsText(names.first(nameLength)));
      ReadZip64Sizes(names.subspan(nameLength), compressed, uncompressed);
      clues.AddName(name);
      if ((flags & 0x8) != 0 && (compressed == 0 || compressed == 0xFFFFFFFF)) {
        next = DescriptorEnd(reader, data);
      } else {
        if (!CheckedAdd(data, compressed, next)) break;
        if ((flags & 0x8) != 0) {  // sizes given here too; the descriptor follows the data
          const ByteSpan after = reader.Read(next, 4);
          const bool zip64 = compressed > 0xFFFFFFFF || uncompressed > 0xFFFFFFFF;
          next += LeU32(after, 0) == kDescriptor ? (zip64 ? 24 : 16) : (zip64 ? 20 : 12);
        }
      }
      if (name == "mimetype" && method == 0 && compressed <= 256 && next != kNotFound)
        clues.mimeType = std::string(AsText(reader.Read(data, static_cast<size_t>(compressed))));
    } else if (sig == kCentral) {
      if (head.size() < 46) break;
      const uint16_t nameLength = LeU16(head, 28);
      next = pos + 46 + nameLength + LeU16(head, 30) + LeU16(head, 32);
      clues.AddName(AsText(reader.Read(pos + 46, nameLength)));
    } else if (sig == kEnd) {
      if (head.size() < 22) break;
      next = pos + 22 + LeU16(head, 20);
      complete = true;
    } else if (sig == kEnd64) {
      if (head.size() < 12 || !CheckedAdd(pos + 12, LeU64(head, 4), next)) break;
    } else if (sig == kLocator64) {
      next = pos + 20;
    } else if (sig == kSignature) {
      next = pos + 6 + LeU16(head, 4);
    } else if ((sig == kDescriptor || sig == kSpanned) && pos == 0) {
      next = 4;  // a split archive's marker
    } else if (sig == kDescriptor) {
      next = pos + 16;
    } else {
      break;  // not a record: the archive is broken here
    }
    if (next == kNotFound || next > limit) {
      pos = limit;  // the data runs out inside this record
      complete = false;
      break;
    }
    pos = next;
    ++records;
  }
  if (pos == 0 || records == 0) return 0;
  if (const uint16_t n = clues.Entry(); n != 0) {
    ctx.refinedEntry = FileTypeByNumber(n);
    if (n == 170) ctx.nameSuffix = NameSuffixFor(clues.kmlName, *ctx.refinedEntry);
  }
  if (!complete) {
    // No end record: what was walked is all that is known of the archive.
    ctx.sizeEstimated = true;
    const uint64_t sectorBytes = ctx.bytesPerSector == 0 ? 512 : ctx.bytesPerSector;
    ctx.resultCode = kProbeResultSkipField;
    ctx.skipBytes = (pos + sectorBytes - 1) / sectorBytes * sectorBytes;
  }
  return pos;
}

}  // namespace torvane::probes
