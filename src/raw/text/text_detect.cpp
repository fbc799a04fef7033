#include "raw/text/text_detect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "raw/catalogue/file_type_catalogue.h"
#include "raw/probes/probe_reader.h"

namespace torvane::text {
namespace {

// Catalogue entries of the text kinds.
enum : uint16_t {
  kLws = 79,
  kSps = 80,
  kCs = 101,
  kPas = 103,
  kC = 104,
  kCpp = 105,
  kMht = 106,
  kXib = 107,
  kWsdl = 108,
  kRdf = 109,
  kDsp = 110,
  kDsw = 111,
  kSln = 112,
  kVcproj = 113,
  kSvg = 114,
  kPhp = 115,
  kHtml = 116,
  kXmp = 117,
  kXml = 118,
  kEml = 119,
  kRtf = 120,
  kBat = 121,
  kReg = 122,
  kObj = 162,
  kFbx = 165,
  kDxf = 166,
  kDae = 167,
  kCd = 168,
  kX = 169,
  kWrl = 172,
  kTxtStl = 175,
  kMa = 177,
  kStep = 180,
  kIgs = 181,
  kTex = 183,
  kTscproj = 191,
  kPlist = 195,
  kVcf = 199,
};

// Text runs are read on in pieces of this many sectors.
constexpr uint32_t kRunSectors = 128;

bool IsTextByte(uint8_t b) {
  return b >= 32 || b == '\r' || b == '\n' || b == '\t';
}
bool IsTextChar16(uint16_t c) {
  return c >= 32 || c == '\r' || c == '\n' || c == '\t';
}

std::string_view View(ByteSpan s) {
  return {reinterpret_cast<const char*>(s.data()), s.size()};
}

bool At(std::string_view s, size_t offset, std::string_view text) {
  return offset <= s.size() && s.substr(offset).starts_with(text);
}
bool Has(std::string_view s, std::string_view text) {
  return s.find(text) != std::string_view::npos;
}

// The text after `open` up to `close` (or the sector's end), cleaned for a file name.
std::string SuffixAfter(std::string_view s, std::string_view open, std::string_view close, uint16_t entry) {
  const size_t at = s.find(open);
  if (at == std::string_view::npos) return {};
  std::string_view rest = s.substr(at + open.size());
  rest = rest.substr(0, std::min(rest.find(close), size_t{256}));
  const FileTypeEntry* e = FileTypeByNumber(entry);
  return e == nullptr ? std::string() : probes::NameSuffixFor(rest, *e);
}

size_t LeadingBlanks(std::string_view s) {
  size_t n = 0;
  while (n < s.size() && (s[n] == ' ' || s[n] == '\t' || s[n] == '\r' || s[n] == '\n')) ++n;
  return n;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// `word` with a blank before it and a space or TAB after it.
bool HasWord(std::string_view s, std::string_view word) {
  for (size_t at = s.find(word); at != std::string_view::npos; at = s.find(word, at + 1)) {
    const size_t after = at + word.size();
    if (at > 0 && IsBlank(s[at - 1]) && after < s.size() && (s[after] == ' ' || s[after] == '\t')) return true;
  }
  return false;
}

bool LooksLikeC(std::string_view s) {
  return Has(s, ".c ") || Has(s, "#include") || HasWord(s, "void") || HasWord(s, "char") || Has(s, "#define") ||
         Has(s, "#typedef") || Has(s, "#ifdef") || Has(s, "#ifndef");
}

// The kind of a single-byte text by its first sector; 0: not a text at all.
uint16_t KindOf(std::string_view s, uint64_t textBytes, std::string& suffix) {
  if (At(s, 7, "CARD") && At(s, 2, "GIN:")) return kVcf;
  if (At(s, 7, "CARD")) return kEntryTxtAnsi;
  if (At(s, 8, "tle\"") && At(s, 0, "{\r\n ")) return kTscproj;
  if (At(s, 5, "SECT") && At(s, 0, "  0\r")) return kDxf;
  if (At(s, 1, " FBX") && At(s, 0, ";") && At(s, 5, " ")) return kFbx;
  if (At(s, 0, "xof ") && At(s, 8, "txt ")) return kX;
  if (At(s, 0, "//Maya A")) return kMa;
  if (At(s, 0, "\\doc") && At(s, 10, "lass")) return kTex;
  if (At(s, 11, "IGES")) return kIgs;
  if (At(s, 0, "ISO-10303-21;")) return kStep;
  if (At(s, 0, "#VRML V")) return kWrl;
  if (At(s, 0, "# Max2") || At(s, 0, "# 3ds ")) return kObj;
  if (At(s, 0, "solid ")) return kTxtStl;
  if (At(s, 0, "%PDF") || At(s, 0, "FILE0") || At(s, 0, "FILE*")) return 0;
  if (At(s, 0, "data list list")) return kSps;
  if (At(s, 0, "{\\rtf")) return kRtf;
  if (At(s, 0, "REGEDIT") || At(s, 0, "Windows Registry Editor")) return kReg;
  if (Has(s, "<?php")) return kPhp;
  if (Has(s, "!DOCTYPE HTML") || Has(s, "<html")) {
    suffix = SuffixAfter(s, "<title>", "<", kHtml);
    return kHtml;
  }
  if (Has(s, "<RDF")) return kRdf;
  if (Has(s, "<!DOCTYPE svg PUBLIC")) return kSvg;
  if (Has(s, "<VisualStudioProject")) {
    suffix = SuffixAfter(s, "Name=\"", "\"", kVcproj);
    return kVcproj;
  }
  if (textBytes >= 11) {
    if (Has(s, "Microsoft Visual Studio Solution File, Format Version")) {
      suffix = SuffixAfter(s, "}\") = \"", "\"", kSln);
      return kSln;
    }
    if (Has(s, "Microsoft Developer Studio Workspace File, Format Version")) {
      suffix = SuffixAfter(s, "Project: \"", "\"", kDsw);
      return kDsw;
    }
    if (Has(s, "Microsoft Developer Studio Project File")) {
      suffix = SuffixAfter(s, "Name=\"", "\"", kDsp);
      return kDsp;
    }
  }
  if (Has(s, "<?xml") || Has(s, "xmlns")) {
    if (Has(s, "<c:contact") || Has(s, ".xib") || Has(s, "NSIBObjectData")) return kXib;
    if (Has(s, "/wsdl")) return kWsdl;
    if (Has(s, "//DTD PLIST")) return kPlist;
    if (Has(s, "COLLADA")) return kDae;
    if (Has(s, "Cult3D")) return kCd;
    return kXml;
  }
  if (Has(s, "@echo ")) return kBat;
  if (Has(s, "Content-Type: multipart/related")) return kMht;
  const bool fewBlanks = LeadingBlanks(s) <= 128;
  if (fewBlanks && Has(s, "From: ") && (Has(s, "To: ") || Has(s, "X-Account-Key: ") || Has(s, "X-UIDL: "))) return kEml;
  if (fewBlanks && LooksLikeC(s)) return Has(s, "stdafx.h") || Has(s, "class") || Has(s, ".cpp ") ? kCpp : kC;
  if (fewBlanks && Has(s, "using System")) return kCs;
  if (fewBlanks && Has(s, "unit ") && Has(s, "interface")) return kPas;
  if (At(s, 0, "LWSC\r\n")) return kLws;
  if (At(s, 0, "\xEF\xBB\xBF<xml")) return kXml;
  if (At(s, 0, "<x:xmpmeta")) return kXmp;
  return kEntryTxtAnsi;
}

// The file-system records that never belong to a text, seen from a sector's second byte.
bool StartsRecord(ByteSpan sector) {
  const std::string_view s = View(sector);
  return At(s, 1, "STR\x1E") || At(s, 1, "ILE0") || At(s, 1, "ILE*") || At(s, 1, "(DRC");
}

// Reads on after a full first sector while each sector counts whole. `counted(sector)` says
// how many bytes of a following sector belong to the text (kSectorBytes: go on).
template <typename Counted>
void MeasureOn(uint64_t sector, const SectorFetch& fetch, const std::atomic<bool>* stop, TextFound& found,
               Counted counted) {
  uint64_t next = sector + 1;
  while (found.size < kTextCapBytes) {
    if (stop != nullptr && *stop) return;
    const ByteSpan run = fetch(next, kRunSectors);
    const size_t sectors = run.size() / kSectorBytes;
    if (sectors == 0) return;
    for (size_t k = 0; k < sectors; ++k) {
      const ByteSpan s = run.subspan(k * kSectorBytes, kSectorBytes);
      if (StartsRecord(s)) return;
      const uint32_t n = counted(s);
      found.size += n;
      if (n != kSectorBytes) return;
      if (found.size >= kTextCapBytes) {
        found.size = kTextCapBytes;
        found.estimated = true;
        return;
      }
    }
    next += sectors;
  }
}

uint32_t TextRun(ByteSpan s) {
  uint32_t n = 0;
  while (n < s.size() && IsTextByte(static_cast<uint8_t>(s[n]))) ++n;
  return n;
}

uint32_t TrailingZeros(ByteSpan s) {
  uint32_t z = 0;
  for (size_t i = s.size(); i > 1 && s[i - 1] == std::byte{0}; --i) ++z;
  return z;
}

}  // namespace

bool LooksLikeUtf16(ByteSpan s) {
  if (s.size() < 4) return false;
  const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  return (b(1) == 0 && b(3) == 0 && b(0) != 0 && b(2) != 0) || (b(0) == 0xFF && b(1) == 0xFE);
}

std::optional<TextFound> DetectTextAtSector(ByteSpan first, uint64_t sector, const SectorFetch& fetch,
                                            const std::atomic<bool>* stop) {
  if (first.size() < kSectorBytes) return std::nullopt;
  first = first.first(kSectorBytes);
  const uint32_t run = TextRun(first);
  const uint32_t zeros = TrailingZeros(first);
  if (first[0] == std::byte{0} || run < 1) return std::nullopt;
  if (zeros >= 16) {
    if (run + zeros != kSectorBytes) return std::nullopt;
    // A clean ending: reading back from the last character, a line end or TAB comes before
    // anything outside the printable range.
    bool clean = true;
    for (uint32_t i = run; i-- > 0;) {
      const auto c = static_cast<uint8_t>(first[i]);
      if (c == '\r' || c == '\n' || c == '\t') break;
      if (c < 32 || c > 126) {
        clean = false;
        break;
      }
    }
    if (!clean) return std::nullopt;
  }
  if (!(run > 384 || (zeros > 15 && run > 3))) return std::nullopt;
  uint32_t spaces = 0, lines = 0;
  for (uint32_t i = 0; i < run; ++i) {
    const auto c = static_cast<uint8_t>(first[i]);
    spaces += c == ' ';
    lines += c == '\r' || c == '\n' || c == '\t';
  }
  if (!(spaces > 1 || lines > 0 || zeros > 16)) return std::nullopt;

  TextFound found;
  const std::string_view view = View(first);
  found.entry = KindOf(view, run, found.nameSuffix);
  if (found.entry == 0) return std::nullopt;
  found.size = run;
  if (run == kSectorBytes) {
    MeasureOn(sector, fetch, stop, found, [](ByteSpan s) {
      for (size_t i = s.size() - 8; i < s.size(); ++i)
        if (!IsTextByte(static_cast<uint8_t>(s[i]))) return TextRun(s);
      return kSectorBytes;
    });
  }
  return found;
}

std::optional<TextFound> DetectUtf16TextAtSector(ByteSpan first, uint64_t sector, const SectorFetch& fetch,
                                                 const std::atomic<bool>* stop) {
  if (first.size() < kSectorBytes) return std::nullopt;
  first = first.first(kSectorBytes);
  const auto ch = [](ByteSpan s, size_t i) { return LeU16(s, 2 * i); };
  constexpr uint32_t kChars = kSectorBytes / 2;
  const auto textRun = [&](ByteSpan s) {
    uint32_t n = 0;
    while (n < kChars && IsTextChar16(ch(s, n))) ++n;
    return n;
  };
  const uint32_t run = textRun(first);
  const uint32_t zeros = TrailingZeros(first);
  if (run < 1) return std::nullopt;
  if (zeros >= 16) {
    // The zero high byte of the last character counts in both.
    if (2 * run + zeros != kSectorBytes + 1) return std::nullopt;
    bool clean = true;
    for (uint32_t i = run; i-- > 0;) {
      const uint16_t c = ch(first, i);
      if (c == '\r' || c == '\n' || c == '\t') break;
      if (c < 32 || c > 126) {
        clean = i == 0 && c == 0xFEFF;  // the byte-order mark alone
        break;
      }
    }
    if (!clean) return std::nullopt;
  }
  if (!(2 * run > 384 || (zeros > 15 && run > 3))) return std::nullopt;
  uint32_t spaces = 0, lines = 0;
  for (uint32_t i = 0; i < run; ++i) {
    const uint16_t c = ch(first, i);
    spaces += c == ' ';
    lines += c == '\r' || c == '\n' || c == '\t';
  }
  if (!(spaces > 1 || lines > 0 || zeros > 16)) return std::nullopt;

  TextFound found;
  found.entry = kEntryTxtUtf16;
  static constexpr std::array<char16_t, 13> kRegistry = {u'W', u'i', u'n', u'd', u'o', u'w', u's',
                                                         u' ', u'R', u'e', u'g', u'i', u's'};
  static constexpr std::array<char16_t, 5> kXmlStart = {u'<', u'?', u'x', u'm', u'l'};
  const auto startsWith = [&](auto& text) {
    if (ch(first, 0) != 0xFEFF) return false;
    for (size_t i = 0; i < text.size(); ++i)
      if (ch(first, i + 1) != text[i]) return false;
    return true;
  };
  if (startsWith(kRegistry))
    found.entry = kReg;
  else if (startsWith(kXmlStart))
    found.entry = kXml;
  found.size = 2 * uint64_t{run};
  if (run == kChars) {
    MeasureOn(sector, fetch, stop, found, [&](ByteSpan s) -> uint32_t {
      bool full = true;
      for (uint32_t i = kChars - 4; i < kChars; ++i) full = full && IsTextChar16(ch(s, i));
      return full ? kSectorBytes : 2 * textRun(s);
    });
  }
  return found;
}

}  // namespace torvane::text
