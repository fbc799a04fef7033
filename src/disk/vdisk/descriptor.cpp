#include "disk/vdisk/descriptor.h"

#include <array>
#include <charconv>

namespace torvane::vdisk {
namespace {

struct NamedType {
  std::string_view name;
  ExtentType type;
};
constexpr std::array<NamedType, 8> kExtentTypes{{
    {"SPARSE", ExtentType::kSparse},
    {"FLAT", ExtentType::kFlat},
    {"ZERO", ExtentType::kZero},
    {"VMFS", ExtentType::kVmfs},
    {"VMFSSPARSE", ExtentType::kVmfsSparse},
    {"VMFSRDM", ExtentType::kVmfsRdm},
    {"VMFSRAW", ExtentType::kVmfsRaw},
    {"SESPARSE", ExtentType::kSeSparse},
}};

struct NamedAccess {
  std::string_view name;
  ExtentAccess access;
};
constexpr std::array<NamedAccess, 3> kAccesses{{
    {"RW", ExtentAccess::kReadWrite},
    {"RDONLY", ExtentAccess::kReadOnly},
    {"NOACCESS", ExtentAccess::kNoAccess},
}};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// Next whitespace-separated token; a token starting with '"' runs to the closing quote.
bool NextToken(std::string_view& rest, std::string_view& token, bool& quoted) {
  rest = Trim(rest);
  if (rest.empty()) return false;
  quoted = rest.front() == '"';
  if (quoted) {
    size_t close = rest.find('"', 1);
    if (close == std::string_view::npos) return false;
    token = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    return true;
  }
  size_t end = rest.find_first_of(" \t");
  token = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return true;
}

bool ParseU64(std::string_view s, uint64_t& out) {
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && ptr == s.data() + s.size();
}

bool ParseCid(std::string_view s, uint32_t& out) {
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 16);
  return !s.empty() && ec == std::errc() && ptr == s.data() + s.size();
}

bool ParseExtentLine(std::string_view line, ExtentLine& extent, std::string& why) {
  std::string_view rest = line, token;
  bool quoted = false;
  NextToken(rest, token, quoted);
  bool found = false;
  for (const auto& a : kAccesses) {
    if (token == a.name) {
      extent.access = a.access;
      found = true;
    }
  }
  if (!found) {
    why = "unknown access \"" + std::string(token) + "\"";
    return false;
  }
  if (!NextToken(rest, token, quoted) || !ParseU64(token, extent.sectors)) {
    why = "the extent size is not a number";
    return false;
  }
  if (extent.sectors == 0 || extent.sectors > kMaxDiskSectors) {
    why = "extent size " + std::string(token) + " is out of range";
    return false;
  }
  if (!NextToken(rest, token, quoted)) {
    why = "the extent type is missing";
    return false;
  }
  found = false;
  for (const auto& t : kExtentTypes) {
    if (token == t.name) {
      extent.type = t.type;
      found = true;
    }
  }
  if (!found) {
    why = "unknown extent type \"" + std::string(token) + "\"";
    return false;
  }
  if (extent.type == ExtentType::kZero) return true;
  if (!NextToken(rest, token, quoted) || !quoted || token.empty()) {
    why = "the extent's file name is missing";
    return false;
  }
  extent.fileName = std::string(token);
  if (NextToken(rest, token, quoted)) {
    if (quoted || !ParseU64(token, extent.offset) || extent.offset > kMaxDiskSectors) {
      why = "the extent offset is not a valid number";
      return false;
    }
  }
  return true;
}

bool StartsWithAccess(std::string_view line) {
  for (const auto& a : kAccesses) {
    if (line.size() > a.name.size() && line.substr(0, a.name.size()) == a.name &&
        (line[a.name.size()] == ' ' || line[a.name.size()] == '\t'))
      return true;
  }
  return false;
}

}  // namespace

uint64_t Descriptor::TotalSectors() const {
  uint64_t total = 0;
  for (const auto& e : extents) total += e.sectors;  // each <= 2^40, count capped: no overflow
  return total;
}

std::string_view ExtentTypeName(ExtentType type) {
  for (const auto& t : kExtentTypes)
    if (t.type == type) return t.name;
  return "?";
}

std::string_view ExtentAccessName(ExtentAccess access) {
  for (const auto& a : kAccesses)
    if (a.access == access) return a.name;
  return "?";
}

bool LooksLikeDescriptor(std::string_view head) {
  head = head.substr(0, head.find('\0'));
  if (head.substr(0, 21) == "# Disk DescriptorFile") return true;
  // Hand-written descriptors may lack the comment; insist on plain text with the key lines.
  for (char c : head) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 && c != '\n' && c != '\r' && c != '\t') return false;
  }
  return head.find("createType") != std::string_view::npos && head.find("version") != std::string_view::npos;
}

bool ParseDescriptor(std::string_view text, Descriptor& out, std::string& error) {
  out = Descriptor{};
  text = text.substr(0, text.find('\0'));
  if (text.size() > kMaxDescriptorBytes) {
    error = "descriptor is larger than 1 MiB";
    return false;
  }
  size_t lineNo = 0;
  uint64_t total = 0;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = Trim(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;
    auto fail = [&](const std::string& why) {
      error = "descriptor line " + std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (StartsWithAccess(line)) {
      ExtentLine extent;
      std::string why;
      if (!ParseExtentLine(line, extent, why)) return fail(why);
      total += extent.sectors;
      if (total > kMaxDiskSectors) return fail("the extents add up to more than 512 TiB");
      out.extents.push_back(std::move(extent));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected \"key = value\" or an extent");
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Unquote(Trim(line.substr(eq + 1)));
    if (key.empty()) return fail("empty key");
    if (key == "createType") {
      out.createType = std::string(value);
    } else if (key == "CID") {
      if (!ParseCid(value, out.cid)) return fail("CID is not a hexadecimal number");
    } else if (key == "parentCID") {
      if (!ParseCid(value, out.parentCid)) return fail("parentCID is not a hexadecimal number");
    } else if (key == "parentFileNameHint") {
      out.parentFileNameHint = std::string(value);
    }
    out.entries.emplace_back(std::string(key), std::string(value));
  }
  if (out.extents.empty()) {
    error = "descriptor lists no extents";
    return false;
  }
  return true;
}

}  // namespace torvane::vdisk
