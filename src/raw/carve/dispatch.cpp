#include "raw/carve/dispatch.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::carve {
namespace {

bool Text(ByteSpan s, size_t offset, std::string_view text) {
  return offset + text.size() <= s.size() && std::memcmp(s.data() + offset, text.data(), text.size()) == 0;
}

uint8_t B(ByteSpan s, size_t i) {
  return i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

// The entry's own signature, when it has one.
template <uint16_t kEntry>
bool Signature(ByteSpan s) {
  const FileTypeEntry* e = FileTypeByNumber(kEntry);
  return e != nullptr && SignatureMatches(*e, s);
}

// JPEG 2000 in its box form: the signature box.
bool Jp2Box(ByteSpan s) {
  return Text(s, 0, std::string_view("\0\0\0\x0CjP  \r\n\x87\n", 12));
}
// TARGA: a colour map type of 0 or 1, a known image type, a pixel depth and a size.
bool Targa(ByteSpan s) {
  const uint8_t type = B(s, 2), depth = B(s, 16);
  const bool knownType = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
  return B(s, 1) <= 1 && knownType && (depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32) &&
         LeU16(s, 12) != 0 && LeU16(s, 14) != 0 && (B(s, 17) & 0xC0) == 0;
}
bool MpegPack(ByteSpan s) {
  return Text(s, 0, std::string_view("\0\0\x01\xBA", 4));
}
bool MpegSequence(ByteSpan s) {
  return Text(s, 0, std::string_view("\0\0\x01\xB3", 4));
}
bool MpegEnd(ByteSpan s) {
  return Text(s, 0, std::string_view("\0\0\x01\xB9", 4));
}
bool Pe5(ByteSpan s) {
  return Text(s, 0, "\x0D\x40\xCB\x77");
}
bool Xar(ByteSpan s) {
  return Text(s, 0, "XAR!");
}
bool C4d(ByteSpan s) {
  return Text(s, 0, "QC4DC4D6");
}
bool Dwf(ByteSpan s) {
  return Text(s, 0, "(DWF V");
}
bool Rhino(ByteSpan s) {
  return Text(s, 0, "3D Geometry File Format ");
}
bool Fbx(ByteSpan s) {
  return Text(s, 0, "Kaydara FBX Binary");
}
bool Blend(ByteSpan s) {
  return Text(s, 0, "BLENDER") && (B(s, 7) == '_' || B(s, 7) == '-') && (B(s, 8) == 'v' || B(s, 8) == 'V');
}
bool Glb(ByteSpan s) {
  return Text(s, 0, "glTF") && LeU32(s, 4) == 2 && LeU32(s, 8) >= 20;
}
bool BinaryPlist(ByteSpan s) {
  return Text(s, 0, "bplist0");
}
bool Sqlite(ByteSpan s) {
  return Text(s, 0, std::string_view("SQLite format 3\0", 16));
}
bool Id3(ByteSpan s) {
  return Text(s, 0, "ID3") && B(s, 3) >= 2 && B(s, 3) <= 4 && B(s, 4) != 0xFF &&
         (B(s, 6) | B(s, 7) | B(s, 8) | B(s, 9)) < 0x80;
}
bool ThreeDs(ByteSpan s) {
  return Text(s, 0, "MM") && LeU32(s, 2) > 16 && B(s, 6) == 0x02 && B(s, 7) == 0;
}
bool Dcu(ByteSpan s) {
  return Text(s, 0, "\xD8\xA6\x68\x47");
}
bool Pfx(ByteSpan s) {
  return B(s, 0) == 0x30 && (B(s, 1) == 0x80 || B(s, 1) == 0x82) && B(s, 4) == 0x02 && B(s, 5) == 0x01;
}
bool Zip(ByteSpan s) {
  return Text(s, 0, "PK\x03\x04");
}
bool Riff(ByteSpan s, std::string_view form) {
  return Text(s, 0, "RIFF") && Text(s, 8, form);
}
bool Webp(ByteSpan s) {
  return Riff(s, "WEBP");
}
bool Avi(ByteSpan s) {
  return Riff(s, "AVI ");
}
bool Wave(ByteSpan s) {
  return Riff(s, "WAVE");
}
bool Cdxa(ByteSpan s) {
  return Riff(s, "CDXA");
}
bool Aiff(ByteSpan s) {
  return Text(s, 0, "FORM") && (Text(s, 8, "AIFF") || Text(s, 8, "AIFC"));
}
bool Lwo(ByteSpan s) {
  return Text(s, 0, "FORM") && (Text(s, 8, "LWO2") || Text(s, 8, "LWOB") || Text(s, 8, "LXOB"));
}
// A bitmap: its size field, a zero reserved word, a data offset inside it and a known
// header size.
bool Bitmap(ByteSpan s) {
  const uint32_t size = LeU32(s, 2), offset = LeU32(s, 10), header = LeU32(s, 14);
  const bool knownHeader =
      header == 12 || header == 40 || header == 52 || header == 56 || header == 108 || header == 124;
  return Text(s, 0, "BM") && LeU32(s, 6) == 0 && size > 26 && offset >= 26 && offset < size && knownHeader;
}
// A binary STL: an 80-byte header, a triangle count and a first normal of unit length or
// zero.
bool BinaryStl(ByteSpan s) {
  if (s.size() < 96) return false;
  const uint32_t count = LeU32(s, 80);
  if (count == 0 || count > 50'000'000) return false;
  float n[3];
  std::memcpy(n, s.data() + 84, sizeof n);
  const double len = std::sqrt(double{n[0]} * n[0] + double{n[1]} * n[1] + double{n[2]} * n[2]);
  return std::isfinite(len) && (len < 1e-6 || std::fabs(len - 1.0) < 0.01);
}

struct Slot {
  uint8_t b0, b1;
  std::vector<Candidate> candidates;
};

// The installed slots, by their first two bytes.
std::vector<Slot> Slots() {
  return {
      {0x00, 0x00, {{49, Jp2Box}, {2, Signature<2>}, {64, Targa}, {151, MpegPack}, {152, MpegSequence}, {41, MpegEnd}}},
      {0x01, 0x00, {{64, Targa}}},
      {0x4C, 0x00, {{10, Signature<10>}}},
      {0xDF, 0x00, {{29, Signature<29>}}},
      {0x00, 0x02, {{18, Signature<18>}}},
      {0x0A, 0x05, {{58, Signature<58>}}},
      {0x06, 0x06, {{31, Signature<31>}}},
      {0x06, 0x0E, {{150, Signature<150>}}},
      {0x01, 0x0F, {{6, Signature<6>}, {7, Signature<7>}}},
      {0x23, 0x21, {{1, Signature<1>}}},
      {0x25, 0x21, {{23, Signature<23>}}},
      {0x21, 0x3C, {{3, Signature<3>}}},
      {0x0D, 0x40, {{186, Pe5}}},
      {0x47, 0x40, {{40, Signature<40>}}},
      {0x4D, 0x41, {{13, Signature<13>}}},
      {0x58, 0x41, {{182, Xar}}},
      {0x21, 0x42, {{33, Signature<33>}}},
      {0x38, 0x42, {{43, Signature<43>}}},
      {0x4F, 0x42, {{19, Signature<19>}}},
      {0x01, 0x43, {{39, Signature<39>}}},
      {0x41, 0x43, {{11, Signature<11>}}},
      {0x51, 0x43, {{164, C4d}}},
      {0x28, 0x44, {{178, Dwf}}},
      {0x33, 0x44, {{163, Rhino}, {173, BinaryStl}}},
      {0x44, 0x44, {{36, Signature<36>}}},
      {0x49, 0x44, {{61, Id3}}},
      {0x1A, 0x45, {{38, Signature<38>}}},
      {0x54, 0x45, {{20, Signature<20>}}},
      {0x24, 0x46, {{12, Signature<12>}}},
      {0x47, 0x49, {{63, Signature<63>}}},
      {0x49, 0x49, {{148, Signature<148>}}},
      {0x52, 0x49, {{189, Webp}, {47, Avi}, {48, Wave}, {46, Cdxa}}},
      {0x50, 0x4B, {{56, Zip}}},
      {0x42, 0x4C, {{161, Blend}}},
      {0x66, 0x4C, {{14, Signature<14>}}},
      {0x00, 0x4D, {{16, Signature<16>}}},
      {0x42, 0x4D, {{66, Bitmap}}},
      {0x4D, 0x4D, {{160, ThreeDs}, {147, Signature<147>}}},
      {0x46, 0x4F, {{192, Aiff}, {26, Lwo}, {15, Signature<15>}}},
      {0x4E, 0x4F, {{17, Signature<17>}}},
      {0xFF, 0x4F, {{49, Signature<49>}}},
      {0x25, 0x50, {{57, Signature<57>}}},
      {0x89, 0x50, {{62, Signature<62>}}},
      {0x53, 0x51, {{194, Sqlite}}},
      {0x4D, 0x53, {{54, Signature<54>}}},
      {0x49, 0x54, {{35, Signature<35>}}},
      {0x46, 0x55, {{125, Signature<125>}}},
      {0x43, 0x57, {{44, Signature<44>}}},
      {0x46, 0x57, {{45, Signature<45>}}},
      {0x4D, 0x5A, {{53, Signature<53>}, {51, Signature<51>}, {52, Signature<52>}}},
      {0x3F, 0x5F, {{27, Signature<27>}}},
      {0x4B, 0x61, {{165, Fbx}}},
      {0x4D, 0x61, {{173, BinaryStl}}},
      {0x50, 0x61, {{72, Signature<72>}}},
      {0x52, 0x61, {{55, Signature<55>}}},
      {0x50, 0x68, {{21, Signature<21>}}},
      {0x52, 0x68, {{173, BinaryStl}}},
      {0x46, 0x69, {{173, BinaryStl}}},
      {0x4D, 0x69, {{5, Signature<5>}}},
      {0x56, 0x69, {{173, BinaryStl}}},
      {0x62, 0x69, {{173, BinaryStl}}},
      {0x67, 0x6C, {{197, Glb}}},
      {0x53, 0x6F, {{173, BinaryStl}}},
      {0x73, 0x6F, {{173, BinaryStl}}},
      {0x62, 0x70, {{196, BinaryPlist}}},
      {0x41, 0x72, {{25, Signature<25>}}},
      {0x2E, 0x73, {{193, Signature<193>}}},
      {0x53, 0x74, {{173, BinaryStl}}},
      {0x45, 0x78, {{173, BinaryStl}}},
      {0x37, 0x7A, {{37, Signature<37>}}},
      {0x30, 0x80, {{30, Pfx}}},
      {0x30, 0x82, {{30, Pfx}}},
      {0x1F, 0x8B, {{42, Signature<42>}}},
      {0xD8, 0xA6, {{29, Dcu}}},
      {0xCF, 0xAD, {{34, Signature<34>}}},
      {0xD0, 0xCF, {{50, Signature<50>}}},
      {0xC5, 0xD0, {{24, Signature<24>}}},
      {0xFF, 0xD8, {{65, Signature<65>}}},
      {0x03, 0xD9, {{8, Signature<8>}, {9, Signature<9>}}},
      {0xFF, 0xFE, {{22, Signature<22>}}},
  };
}

// A byte per slot naming its candidate list (0: none), so that the lookup of a sector that
// starts no known header touches 64 KiB only.
struct Table {
  std::array<uint8_t, 65536> index{};
  std::vector<std::vector<Candidate>> lists{1};
  Table() {
    for (auto& slot : Slots()) {
      index[slot.b0 | slot.b1 << 8] = static_cast<uint8_t>(lists.size());
      lists.push_back(std::move(slot.candidates));
    }
  }
};

const Table& TheTable() {
  static const Table table;
  return table;
}

}  // namespace

std::span<const Candidate> CandidatesFor(ByteSpan sector, bool typesOn) {
  if (!typesOn || sector.size() < 2) return {};
  static const Table& table = TheTable();
  const uint8_t list = table.index[LeU16(sector, 0)];
  if (list == 0) return {};
  return table.lists[list];
}

bool IsFillerSector(ByteSpan s) {
  if (s.size() < 8) return false;
  const uint32_t head = LeU32(s, 0);
  if (head == 0xFFFFFFFF || head == 0x20202020 || head == 0xAAAAAAAA || head == 0x55555555) return true;
  const uint64_t eight = LeU64(s, 0);
  return eight == 0 || eight == 0xF032B8B59009884Dull;
}

}  // namespace torvane::carve
