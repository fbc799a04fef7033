#include "raw/probes/file_type_by_tag.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "raw/catalogue/file_type_catalogue.h"
#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

using namespace std::string_view_literals;

// ---------------------------------------------------------------------------------------------
// Building blocks
// ---------------------------------------------------------------------------------------------

// A byte pattern as a template argument: Magic<"8BPS"> is a check of its own.
template <size_t N>
struct Lit {
  char chars[N - 1];
  constexpr Lit(const char (&text)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) chars[i] = text[i];
  }
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

template <Lit Pattern, size_t Offset = 0>
bool Magic(ByteSpan b, uint64_t) {
  return HasText(b, Offset, Pattern.view());
}

// Two patterns, the first at 0: "RIFF" and its form type at 8.
template <Lit A, Lit B, size_t OffsetB>
bool MagicBoth(ByteSpan b, uint64_t) {
  return HasText(b, 0, A.view()) && HasText(b, OffsetB, B.view());
}

// The signatures the catalogue gives for the tag: any entry of the tag whose signature the
// bytes start with.
template <Lit Tag>
bool CatalogueSignature(ByteSpan b, uint64_t) {
  for (const FileTypeEntry& e : FileTypeCatalogue())
    if (e.tag.size() == Tag.view().size() &&
        std::equal(e.tag.begin(), e.tag.end(), Tag.view().begin(),
                   [](char x, char y) { return (x | 0x20) == (y | 0x20); }) &&
        SignatureMatches(e, b))
      return true;
  return false;
}

// For types without a magic number of their own (BDC, JZK, SAVE, NDW, C4D): only what shows
// the cluster was wiped or reused for filler is refused, i.e. first bytes that are all one
// value.
bool NotBlank(ByteSpan b, uint64_t) {
  const size_t n = std::min<size_t>(b.size(), 512);
  if (n == 0) return false;
  for (size_t i = 1; i < n; ++i)
    if (b[i] != b[0]) return true;
  return false;
}

bool IsTiff(ByteSpan b) {
  return HasText(b, 0, "II*\0"sv) || HasText(b, 0, "MM\0*"sv);
}

bool Tiff(ByteSpan b, uint64_t) {
  return IsTiff(b);
}

bool CompoundFile(ByteSpan b, uint64_t) {
  return HasText(b, 0, "\xD0\xCF\x11\xE0");
}

bool Zip(ByteSpan b, uint64_t) {
  return HasText(b, 0, "PK");
}

// A Windows executable: "MZ" and "PE\0\0" where the u32 at 60 points, that offset checked
// against the bytes held.
bool PortableExecutable(ByteSpan b, uint64_t) {
  if (!HasText(b, 0, "MZ") || b.size() < 64) return false;
  return HasText(b, LeU32(b, 60), "PE\0\0"sv);
}

// ---------------------------------------------------------------------------------------------
// ISO base media: "ftyp" at 4 and its major brand at 8
// ---------------------------------------------------------------------------------------------

bool FtypBrand(ByteSpan b, std::string_view& brand) {
  if (!HasText(b, 4, "ftyp") || b.size() < 12) return false;
  brand = std::string_view(reinterpret_cast<const char*>(b.data()) + 8, 4);
  return true;
}

bool Mp4(ByteSpan b, uint64_t) {
  std::string_view brand;
  return FtypBrand(b, brand) && !brand.starts_with("qt") && !brand.starts_with("3g");
}

// Besides "ftyp" with brand "qt", QuickTime files written before the brand box existed start
// with their movie, data or padding box.
bool Mov(ByteSpan b, uint64_t) {
  std::string_view brand;
  if (FtypBrand(b, brand)) return brand.starts_with("qt");
  for (std::string_view box : {"moov", "mdat", "wide", "free", "skip", "pnot"})
    if (HasText(b, 4, box)) return true;
  return false;
}

bool ThreeGp(ByteSpan b, uint64_t) {
  std::string_view brand;
  return FtypBrand(b, brand) && brand.starts_with("3g");
}

// HEIC and HEIF: the HEVC brands and the general image-file brands "mif1"/"msf1" that most
// HEIF files carry.
bool Heif(ByteSpan b, uint64_t) {
  std::string_view brand;
  if (!FtypBrand(b, brand)) return false;
  for (std::string_view heif : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"})
    if (brand == heif) return true;
  return false;
}

// AVIF: brand "avif"/"avis", or "avif" among the compatible brands of the ftyp box.
bool Avif(ByteSpan b, uint64_t) {
  std::string_view brand;
  if (!FtypBrand(b, brand)) return false;
  if (brand == "avif" || brand == "avis") return true;
  const size_t boxEnd = std::min<size_t>(BeU32(b, 0), b.size());
  for (size_t at = 16; at + 4 <= boxEnd; at += 4)
    if (HasText(b, at, "avif")) return true;
  return false;
}

bool Crm(ByteSpan b, uint64_t) {
  std::string_view brand;
  return FtypBrand(b, brand) && brand == "crx ";
}

// ---------------------------------------------------------------------------------------------
// Rows with fields beyond a magic number
// ---------------------------------------------------------------------------------------------

bool Riff(ByteSpan b, std::string_view form) {
  return HasText(b, 0, "RIFF") && HasText(b, 8, form);
}

// WAV: the RIFF length + 8 is the file's size.
bool Wav(ByteSpan b, uint64_t fileSize) {
  if (!Riff(b, "WAVE")) return false;
  return fileSize == 0 || uint64_t{LeU32(b, 4)} + 8 == fileSize;
}

// BMP: the size field is the file's size; without a size known, the info header's size must
// be one of the defined ones.
bool Bmp(ByteSpan b, uint64_t fileSize) {
  if (!HasText(b, 0, "BM") || b.size() < 18) return false;
  if (fileSize != 0) return LeU32(b, 2) == fileSize;
  const uint32_t info = LeU32(b, 14);
  return info == 12 || info == 16 || info == 40 || info == 52 || info == 56 || info == 64 || info == 108 || info == 124;
}

bool KeePass(ByteSpan b, uint64_t) {
  return HasText(b, 0, "\x03\xD9\xA2\x9A") && HasText(b, 6, "\x4B\xB5");
}

// An MPEG audio frame header: sync bits, a defined version, layer, bitrate and sample rate.
bool MpegAudioFrame(ByteSpan b) {
  if (b.size() < 4) return false;
  const uint32_t h = BeU32(b, 0);
  if ((h & 0xFFE00000u) != 0xFFE00000u) return false;
  const uint32_t version = (h >> 19) & 3, layer = (h >> 17) & 3, bitrate = (h >> 12) & 15, rate = (h >> 10) & 3;
  return version != 1 && layer != 0 && bitrate != 0 && bitrate != 15 && rate != 3;
}

// MP3: an ID3v2 tag, or (files written without one) a valid frame header.
bool Mp3(ByteSpan b, uint64_t) {
  return HasText(b, 0, "ID3") || MpegAudioFrame(b);
}

// MPG, VOB: a program stream pack, a transport stream packet with the programme table, or
// (MPG) a bare video sequence header.
bool Mpg(ByteSpan b, uint64_t) {
  return HasText(b, 0, "\0\0\x01\xBA"sv) || HasText(b, 0, "\x47\x40\x00\x30"sv) || HasText(b, 0, "\0\0\x01\xB3"sv);
}

bool Vob(ByteSpan b, uint64_t) {
  return HasText(b, 0, "\0\0\x01\xBA"sv) || HasText(b, 0, "\x47\x40\x00\x30"sv);
}

// Transport stream packets: sync byte 0x47 every `stride` bytes from `first`, as far as held
// (at least the first packet's).
bool TsPackets(ByteSpan b, size_t first, size_t stride) {
  if (b.size() <= first) return false;
  for (size_t at = first; at < b.size() && at < first + 4 * stride; at += stride)
    if (std::to_integer<uint8_t>(b[at]) != 0x47) return false;
  return true;
}

bool Mts(ByteSpan b, uint64_t) {
  return TsPackets(b, 0, 188) || TsPackets(b, 4, 192);
}

bool M2ts(ByteSpan b, uint64_t) {
  return TsPackets(b, 4, 192);
}

bool Orf(ByteSpan b, uint64_t) {
  return HasText(b, 0, "IIRO") || HasText(b, 0, "IIRS") || HasText(b, 0, "MMOR") || IsTiff(b);
}

bool Cr2(ByteSpan b, uint64_t) {
  return HasText(b, 0, "II*") && HasText(b, 8, "CR");
}

bool Crw(ByteSpan b, uint64_t) {
  return HasText(b, 0, "II\x1A") && HasText(b, 6, "HEAP");
}

bool Icl(ByteSpan b, uint64_t) {
  return HasText(b, 0, "MZ") && b.size() >= 8 && LeU32(b, 4) == 0;
}

bool Pe5(ByteSpan b, uint64_t) {
  return HasText(b, 0, "\x0D\x40\xCB\x77") || HasText(b, 0, "SQLi");
}

bool Cdr(ByteSpan b, uint64_t) {
  return Riff(b, "CDR") || Riff(b, "cdr") || Zip(b, 0);  // CorelDRAW X4 and later are ZIP
}

bool Aiff(ByteSpan b, uint64_t) {
  return HasText(b, 0, "FORM") && (HasText(b, 8, "AIFF") || HasText(b, 8, "AIFC"));
}

bool Lwo(ByteSpan b, uint64_t) {
  return HasText(b, 0, "FORM") && (HasText(b, 8, "LWO2") || HasText(b, 8, "LWOB") || HasText(b, 8, "LXOB"));
}

// 3DS: the main chunk 4D 4D, then the version, editor or keyframer chunk.
bool ThreeDs(ByteSpan b, uint64_t) {
  if (!HasText(b, 0, "MM") || b.size() < 8) return false;
  const uint16_t next = LeU16(b, 6);
  return next == 0x0002 || next == 0x3D3D || next == 0xB000;
}

bool IconDirectory(ByteSpan b, uint8_t kind) {
  return b.size() >= 6 && LeU16(b, 0) == 0 && LeU16(b, 2) == kind && LeU16(b, 4) != 0;
}
bool Ico(ByteSpan b, uint64_t) {
  return IconDirectory(b, 1);
}
bool Cur(ByteSpan b, uint64_t) {
  return IconDirectory(b, 2);
}

bool Emf(ByteSpan b, uint64_t) {
  return b.size() >= 44 && LeU32(b, 0) == 1 && HasText(b, 40, " EMF");
}

// WMF: the placeable header, or a standard header (type 1 or 2, 9 words, version 1 or 3).
bool Wmf(ByteSpan b, uint64_t) {
  if (HasText(b, 0, "\xD7\xCD\xC6\x9A")) return true;
  if (b.size() < 6) return false;
  const uint16_t type = LeU16(b, 0), version = LeU16(b, 4);
  return (type == 1 || type == 2) && LeU16(b, 2) == 9 && (version == 0x100 || version == 0x300);
}

bool Flc(ByteSpan b, uint64_t) {
  if (b.size() < 6) return false;
  const uint16_t magic = LeU16(b, 4);
  return magic == 0xAF11 || magic == 0xAF12 || magic == 0xAF44 || magic == 0xAF30 || magic == 0xAF31;
}

bool Pcx(ByteSpan b, uint64_t) {
  if (b.size() < 4 || std::to_integer<uint8_t>(b[0]) != 0x0A) return false;
  const uint8_t version = std::to_integer<uint8_t>(b[1]), encoding = std::to_integer<uint8_t>(b[2]),
                bits = std::to_integer<uint8_t>(b[3]);
  return (version == 0 || (version >= 2 && version <= 5)) && encoding <= 1 &&
         (bits == 1 || bits == 2 || bits == 4 || bits == 8);
}

// TGA has no magic number: colour-map type 0 or 1, a defined image type, a non-zero size and
// a pixel depth of 8, 15, 16, 24 or 32 bits; uncompressed pictures must fit in the file.
bool Tga(ByteSpan b, uint64_t fileSize) {
  if (b.size() < 18) return false;
  const uint8_t mapType = std::to_integer<uint8_t>(b[1]), type = std::to_integer<uint8_t>(b[2]);
  const uint8_t depth = std::to_integer<uint8_t>(b[16]);
  const uint16_t width = LeU16(b, 12), height = LeU16(b, 14);
  if (mapType > 1 || width == 0 || height == 0) return false;
  if (!(type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11)) return false;
  if (!(depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32)) return false;
  if (fileSize == 0 || type > 3) return true;
  const uint64_t pixels = uint64_t{width} * height * ((depth + 7u) / 8u);
  return 18 + uint64_t{std::to_integer<uint8_t>(b[0])} + pixels <= fileSize;
}

// PDF: "%PDF" within the first KiB (readers allow bytes before it).
bool Pdf(ByteSpan b, uint64_t) {
  const size_t n = std::min<size_t>(b.size(), 1024);
  return n >= 4 && memmem(b.data(), n, "%PDF", 4) != nullptr;
}

bool Mdb(ByteSpan b, uint64_t) {
  return HasText(b, 4, "Standard Jet DB") || HasText(b, 4, "Standard ACE DB") || CompoundFile(b, 0);
}

// ISO images keep their volume descriptor at 32 KiB; the 32 KiB before it are a system area
// that is zeros, or a boot record for hybrid images. When the bytes held do not reach the
// descriptor, what they show of the system area decides.
bool Iso(ByteSpan b, uint64_t) {
  constexpr size_t kDescriptor = 0x8000;
  if (b.size() >= kDescriptor + 6) return HasText(b, kDescriptor + 1, "CD001");
  if (b.empty()) return false;
  if (IsAllZero(b)) return true;
  return b.size() >= 512 && HasText(b, 510, "\x55\xAA");
}

bool Jp2(ByteSpan b, uint64_t) {
  return HasText(b, 0, "\0\0\0\x0CjP  "sv) || HasText(b, 0, "\xFF\x4F\xFF\x51");
}

bool Mpq(ByteSpan b, uint64_t) {
  return HasText(b, 0, "MPQ\x1A") || HasText(b, 0, "MPQ\x1B");
}

bool Swf(ByteSpan b, uint64_t) {
  return HasText(b, 1, "WS") && (HasText(b, 0, "F") || HasText(b, 0, "C") || HasText(b, 0, "Z"));
}

bool Smk(ByteSpan b, uint64_t) {
  return HasText(b, 0, "SMK2") || HasText(b, 0, "SMK4");
}

bool Bik(ByteSpan b, uint64_t) {
  return HasText(b, 0, "BIK") || HasText(b, 0, "KB2");
}

bool Gif(ByteSpan b, uint64_t) {
  return HasText(b, 0, "GIF87a") || HasText(b, 0, "GIF89a");
}

bool Xar(ByteSpan b, uint64_t) {
  return HasText(b, 0, "xar!") || HasText(b, 0, "XARA");
}

bool Ai(ByteSpan b, uint64_t) {
  return HasText(b, 0, "%!PS-Adobe") || HasText(b, 0, "%PDF");
}

bool Eps(ByteSpan b, uint64_t) {
  return HasText(b, 0, "\xC5\xD0\xD3\xC6") || HasText(b, 0, "%!PS-Adobe");
}

// ---------------------------------------------------------------------------------------------
// Text. A small detector of its own: the file's first bytes (at most 4 KiB, none beyond the
// file's size) must all be text characters, single-byte or UTF-16 with its byte-order mark,
// and then show a mark of the kind. The carving pass has the full detector; this one only has
// to tell a named text file from the binary data that overwrote it.
// ---------------------------------------------------------------------------------------------

constexpr size_t kTextExamined = 4096;

// A text as examined: its characters lower-cased, non-ASCII ones as 0x80.
struct Text {
  std::array<char, kTextExamined> buffer;
  size_t size = 0;
  std::string_view view() const { return {buffer.data(), size}; }
  bool Has(std::string_view needle) const { return view().find(needle) != std::string_view::npos; }
  bool HasAny(std::initializer_list<std::string_view> needles) const {
    return std::any_of(needles.begin(), needles.end(), [&](std::string_view n) { return Has(n); });
  }
  // The text from its first character that is not a blank.
  std::string_view Trimmed() const {
    const size_t at = view().find_first_not_of(" \t\r\n\f");
    return at == std::string_view::npos ? std::string_view() : view().substr(at);
  }
};

// Tab, line feed, form feed, carriage return, the DOS end-of-file mark, and every byte from
// the space up (code pages and UTF-8 included) except DEL.
bool IsTextChar(uint8_t c) {
  return (c >= 0x20 && c != 0x7F) || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1A;
}

char Lower(uint8_t c) {
  if (c >= 0x80) return static_cast<char>(0x80);
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
}

// Reads the text at the start of `b` into `out`; false when it is not text. NULs may only pad
// the end (the rest of a cluster after a file whose size is not known).
bool ReadText(ByteSpan b, uint64_t fileSize, Text& out) {
  size_t n = b.size();
  if (fileSize != 0 && fileSize < n) n = static_cast<size_t>(fileSize);
  b = b.first(n);
  out.size = 0;
  const bool utf16le = HasText(b, 0, "\xFF\xFE"), utf16be = HasText(b, 0, "\xFE\xFF");
  if (utf16le || utf16be) {
    bool padding = false;
    for (size_t i = 2; i + 1 < b.size() && out.size < kTextExamined; i += 2) {
      const uint8_t lo = std::to_integer<uint8_t>(b[utf16le ? i : i + 1]);
      const uint8_t hi = std::to_integer<uint8_t>(b[utf16le ? i + 1 : i]);
      if (lo == 0 && hi == 0) {
        padding = true;
        continue;
      }
      if (padding || (hi == 0 && !IsTextChar(lo))) return false;
      out.buffer[out.size++] = hi == 0 ? Lower(lo) : static_cast<char>(0x80);
    }
    return out.size != 0;
  }
  size_t i = HasText(b, 0, "\xEF\xBB\xBF") ? 3 : 0;
  bool padding = false;
  for (; i < b.size() && (padding || out.size < kTextExamined); ++i) {
    const uint8_t c = std::to_integer<uint8_t>(b[i]);
    if (c == 0) {
      padding = true;
      continue;
    }
    if (padding || !IsTextChar(c)) return false;
    out.buffer[out.size++] = Lower(c);
  }
  return out.size != 0;
}

template <bool (*Kind)(const Text&)>
bool TextOf(ByteSpan b, uint64_t fileSize) {
  Text text;
  return ReadText(b, fileSize, text) && Kind(text);
}

bool AnyText(const Text&) {
  return true;
}

bool CSource(const Text& t) {
  return t.HasAny({"#include", "#define", "#if", "#pragma", "/*", "//", ";", "{"});
}

bool CSharp(const Text& t) {
  return t.HasAny({"using ", "namespace ", "#region", "/*", "//", ";", "{"});
}

bool JavaScript(const Text& t) {
  return t.HasAny({"/*", "//", ";", "{", "(", "="});
}

bool Css(const Text& t) {
  return t.HasAny({"{", "/*", "@import", "@charset", "@media"});
}

bool Pascal(const Text& t) {
  return t.HasAny({"unit ", "program ", "library ", "begin", "(*", "//", ";", "{"});
}

bool Assembly(const Text& t) {
  return t.HasAny({";", ":", "mov", "db ", "dw ", "proc", "section", "segment", "include", ".model", "equ"});
}

bool Html(const Text& t) {
  return t.Trimmed().starts_with("<") ||
         t.HasAny({"<html", "<!doctype", "<head", "<body", "<meta", "<title", "<div", "<table", "<script"});
}

bool Php(const Text& t) {
  return t.Has("<?");
}

bool VcProject(const Text& t) {
  return t.Trimmed().starts_with("<") && t.Has("<visualstudioproject");
}

bool Markup(const Text& t) {
  return t.Trimmed().starts_with("<");
}

bool Svg(const Text& t) {
  return Markup(t) && (t.Has("<svg") || t.Has("<?xml"));
}

// INI and INF: the first line that is neither blank nor a comment is a [section] or a
// key=value line (a file of comments alone fits too).
bool IniLines(const Text& t) {
  std::string_view rest = t.view();
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const size_t start = line.find_first_not_of(" \t\r\f");
    if (start == std::string_view::npos) continue;
    line = line.substr(start);
    if (line[0] == ';' || line[0] == '#') continue;
    return line[0] == '[' || line.find('=') != std::string_view::npos;
  }
  return true;
}

bool DelphiFormText(const Text& t) {
  const std::string_view s = t.Trimmed();
  return s.starts_with("object ") || s.starts_with("inherited ") || s.starts_with("inline ");
}

// DFM: a binary form resource or its text form.
bool Dfm(ByteSpan b, uint64_t fileSize) {
  return HasText(b, 0, "TPF0") || TextOf<DelphiFormText>(b, fileSize);
}

bool Mht(const Text& t) {
  return t.HasAny({"mime-version:", "content-type:"});
}

bool Tex(const Text& t) {
  return t.HasAny({"\\", "%"});
}

bool Json(const Text& t) {
  return t.Trimmed().starts_with("{");
}

bool VCard(const Text& t) {
  return t.Trimmed().starts_with("begin:vcard");
}

bool Step(const Text& t) {
  return t.Trimmed().starts_with("iso-10303-21;");
}

bool Maya(const Text& t) {
  return t.view().starts_with("//maya");
}

bool WavefrontObj(const Text& t) {
  const std::string_view s = t.Trimmed();
  return s.empty() || s[0] == '#' || s.starts_with("v ") || s.starts_with("o ") || s.starts_with("g ") ||
         s.starts_with("mtllib") || s.starts_with("vn ") || s.starts_with("vt ") || s.starts_with("s ") ||
         s.starts_with("usemtl");
}

// OBJ: a Wavefront text model, or a COFF object file (its machine type, or the anonymous
// object header of link-time code).
bool Obj(ByteSpan b, uint64_t fileSize) {
  if (b.size() >= 20) {
    const uint16_t machine = LeU16(b, 0);
    if (machine == 0x014C || machine == 0x8664 || machine == 0xAA64 || machine == 0x01C4 || machine == 0x0200)
      return true;
    if (LeU16(b, 0) == 0 && LeU16(b, 2) == 0xFFFF) return true;
  }
  return TextOf<WavefrontObj>(b, fileSize);
}

bool Plist(ByteSpan b, uint64_t fileSize) {
  return HasText(b, 0, "bplist") || TextOf<Markup>(b, fileSize);
}

bool Fbx(ByteSpan b, uint64_t) {
  return HasText(b, 0, "Kaydara FBX Binary") || HasText(b, 0, "; FBX");
}

// STL: a text model ("solid"), or a binary one whose triangle count gives the file's size
// (84 + 50 bytes a triangle).
bool Stl(ByteSpan b, uint64_t fileSize) {
  if (HasText(b, 0, "solid")) return true;
  if (b.size() < 84) return false;
  const uint64_t triangles = LeU32(b, 80);
  return fileSize == 0 ? triangles != 0 : 84 + 50 * triangles == fileSize;
}

// ---------------------------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------------------------

struct Row {
  std::string_view tag;
  ContentCheck check;
};

// Sorted by tag so that a key is found by binary search; a static_assert keeps it so.
constexpr Row kRows[] = {
    {"3DM", Magic<"3D Geometry File Format ">},
    {"3DS", ThreeDs},
    {"3GP", ThreeGp},
    {"7Z", Magic<"7z\xBC\xAF\x27\x1C">},
    {"ACE", Magic<"**ACE**", 7>},
    {"ACP", CatalogueSignature<"ACP">},
    {"ADF", Zip},
    {"AI", Ai},
    {"AIFC", MagicBoth<"FORM", "AIFC", 8>},
    {"AIFF", Aiff},
    {"AMR", Magic<"#!AMR">},
    {"APE", Magic<"MAC ">},
    {"ARW", Magic<"II*">},
    {"ASF", Magic<"\x30\x26\xB2\x75\x8E\x66\xCF\x11">},
    {"ASM", TextOf<Assembly>},
    {"AU", Magic<".snd">},
    {"AUP3", Magic<"SQLite format 3">},
    {"AVI", MagicBoth<"RIFF", "AVI ", 8>},
    {"AVIF", Avif},
    {"AX", PortableExecutable},
    {"BAT", TextOf<AnyText>},
    {"BDC", NotBlank},
    {"BIK", Bik},
    {"BLEND", Magic<"BLENDER">},
    {"BMP", Bmp},
    {"C", TextOf<CSource>},
    {"C4D", NotBlank},
    {"CAB", Magic<"MSCF">},
    {"CDR", Cdr},
    {"CHM", Magic<"ITSF">},
    {"CPP", TextOf<CSource>},
    {"CR2", Cr2},
    {"CRM", Crm},
    {"CRW", Crw},
    {"CS", TextOf<CSharp>},
    {"CSS", TextOf<Css>},
    {"CUR", Cur},
    {"DCU", CatalogueSignature<"DCU">},
    {"DDS", Magic<"DDS |">},
    {"DFM", Dfm},
    {"DLL", PortableExecutable},
    {"DNG", Tiff},
    {"DOC", CompoundFile},
    {"DOCX", Zip},
    {"DPR", TextOf<Pascal>},
    {"DWG", Magic<"AC10">},
    {"EMF", Emf},
    {"EPS", Eps},
    {"ESS", CatalogueSignature<"ESS">},
    {"EXE", PortableExecutable},
    {"FBK", CatalogueSignature<"FBK">},
    {"FBX", Fbx},
    {"FLAC", Magic<"fLaC">},
    {"FLC", Flc},
    {"GIF", Gif},
    {"GLB", Magic<"glTF">},
    {"GPR", Tiff},
    {"H", TextOf<CSource>},
    {"HEIC", Heif},
    {"HEIF", Heif},
    {"HLP", CatalogueSignature<"HLP">},
    {"HTM", TextOf<Html>},
    {"HTML", TextOf<Html>},
    {"ICL", Icl},
    {"ICO", Ico},
    {"IFF", Magic<"FORM">},
    {"INDD", CatalogueSignature<"INDD">},
    {"INDT", CatalogueSignature<"INDD">},
    {"INF", TextOf<IniLines>},
    {"INI", TextOf<IniLines>},
    {"ISO", Iso},
    {"JP2", Jp2},
    {"JPG", Magic<"\xFF\xD8\xFF">},
    {"JS", TextOf<JavaScript>},
    {"JZK", NotBlank},
    {"KDB", KeePass},
    {"KDBX", KeePass},
    {"KST", CatalogueSignature<"KST">},
    {"LDF", CatalogueSignature<"LDF">},
    {"LIB", Magic<"!<arch>\n">},
    {"LWO", Lwo},
    {"LWS", Magic<"LWSC">},
    {"M2TS", M2ts},
    {"MA", TextOf<Maya>},
    {"MAX", CompoundFile},
    {"MDB", Mdb},
    {"MDF", CatalogueSignature<"MDF">},
    {"MHT", TextOf<Mht>},
    {"MID", Magic<"MThd">},
    {"MKV", Magic<"\x1A\x45\xDF\xA3">},
    {"MOV", Mov},
    {"MP3", Mp3},
    {"MP4", Mp4},
    {"MPG", Mpg},
    {"MPQ", Mpq},
    {"MRW", CatalogueSignature<"MRW">},
    {"MSI", CompoundFile},
    {"MTS", Mts},
    {"MUSX", Zip},
    {"NDW", NotBlank},
    {"NEF", Tiff},
    {"OBJ", Obj},
    {"OBSE", Magic<"OBSE">},
    {"OCX", PortableExecutable},
    {"ODS", Zip},
    {"ODT", Zip},
    {"OGG", Magic<"OggS">},
    {"ORF", Orf},
    {"PAS", TextOf<Pascal>},
    {"PCX", Pcx},
    {"PDB", CatalogueSignature<"PDB">},
    {"PDF", Pdf},
    {"PE5", Pe5},
    {"PFI", CatalogueSignature<"PFI">},
    {"PFX", Magic<"\x30\x82">},
    {"PHP", TextOf<Php>},
    {"PLIST", Plist},
    {"PNG", Magic<"\x89PNG\r\n\x1A\n">},
    {"PPTX", Zip},
    {"PSD", Magic<"8BPS">},
    {"PSPIMAGE", CatalogueSignature<"PSPIMAGE">},
    {"PST", Magic<"!BDN">},
    {"RAF", CatalogueSignature<"RAF">},
    {"RAR", Magic<"Rar!\x1A\x07">},
    {"RAW", Magic<"IIU">},
    {"RES", CatalogueSignature<"RES">},
    {"RTF", Magic<"{\\rtf">},
    {"RVT", CompoundFile},
    {"RW2", Magic<"IIU">},
    {"S3M", Magic<"SCRM", 44>},
    {"SAVE", NotBlank},
    {"SCR", PortableExecutable},
    {"SKP", CatalogueSignature<"SKP">},
    {"SMK", Smk},
    {"SPS", TextOf<AnyText>},
    {"SR2", Tiff},
    {"SRF", Tiff},
    {"STEP", TextOf<Step>},
    {"STL", Stl},
    {"SVG", TextOf<Svg>},
    {"SVGZ", Magic<"\x1F\x8B\x08">},
    {"SWF", Swf},
    {"TEX", TextOf<Tex>},
    {"TGA", Tga},
    {"TIF", Tiff},
    {"TREC", Mp4},
    {"TSCPROJ", TextOf<Json>},
    {"VCF", TextOf<VCard>},
    {"VCPROJ", TextOf<VcProject>},
    {"VOB", Vob},
    {"VSD", CompoundFile},
    {"WAV", Wav},
    {"WEBP", MagicBoth<"RIFF", "WEBP", 8>},
    {"WMA", Magic<"\x30\x26\xB2\x75\x8E\x66\xCF\x11">},
    {"WMF", Wmf},
    {"WMV", Magic<"\x30\x26\xB2\x75\x8E\x66\xCF\x11">},
    {"X3F", CatalogueSignature<"X3F">},
    {"XAR", Xar},
    {"XLSX", Zip},
    {"XM", Magic<"Extended Module: ">},
    {"XML", TextOf<Markup>},
    {"XSD", TextOf<Markup>},
    {"ZIP", Zip},
};

constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];
static_assert(kRowCount == 163, "one check for each of the 163 tags");

constexpr bool RowsSorted() {
  for (size_t i = 1; i < kRowCount; ++i)
    if (!(kRows[i - 1].tag < kRows[i].tag)) return false;
  return true;
}
static_assert(RowsSorted(), "the rows must stay sorted by tag");

constexpr std::array<std::string_view, kRowCount> TagList() {
  std::array<std::string_view, kRowCount> tags{};
  for (size_t i = 0; i < kRowCount; ++i) tags[i] = kRows[i].tag;
  return tags;
}
constexpr std::array<std::string_view, kRowCount> kTags = TagList();

}  // namespace

ContentCheck FileTypeByTag(std::string_view key) {
  // A file name or an extension: the text after the last dot.
  if (const size_t dot = key.rfind('.'); dot != std::string_view::npos) key.remove_prefix(dot + 1);
  if (key.empty() || key.size() > 16) return nullptr;
  char upper[16];
  for (size_t i = 0; i < key.size(); ++i)
    upper[i] = key[i] >= 'a' && key[i] <= 'z' ? static_cast<char>(key[i] - 32) : key[i];
  const std::string_view wanted(upper, key.size());
  const Row* row = std::lower_bound(std::begin(kRows), std::end(kRows), wanted,
                                    [](const Row& r, std::string_view k) { return r.tag < k; });
  return row != std::end(kRows) && row->tag == wanted ? row->check : nullptr;
}

std::span<const std::string_view> ContentCheckTags() {
  return kTags;
}

}  // namespace torvane::probes
