#include "app/ini_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

#include "util/text.h"

namespace torvane::app {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string DecodeText(std::span<const std::byte> bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    std::u16string wide((n - 2) / 2, u'\0');
    for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<char16_t>(p[2 + 2 * i] | (p[3 + 2 * i] << 8));
    return ToUtf8(wide);
  }
  std::string_view text(reinterpret_cast<const char*>(p), n);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  // Invalid UTF-8 becomes U+FFFD, so every value handed on is valid UTF-8.
  return ToUtf8(FromUtf8(text));
}

}  // namespace

IniFile IniFile::Parse(std::span<const std::byte> bytes) {
  IniFile ini;
  const std::string text = DecodeText(bytes);
  Block* current = nullptr;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = Trim(std::string_view(text).substr(at, end - at));
    at = end + 1;
    // Keys may start with "#" (the control keys of the language files): only ";" starts a
    // comment.
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      const std::string_view name = Trim(line.substr(1, close - 1));
      current = ini.FindBlock(name);
      if (current == nullptr) {
        ini.blocks_.push_back({std::string(name), {}});
        current = &ini.blocks_.back();
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    // A value in double quotes keeps its blanks, as the profile reader did.
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (key.empty()) continue;
    const bool seen = std::any_of(current->entries.begin(), current->entries.end(),
                                  [&](const Entry& e) { return EqualNoCase(e.key, key); });
    if (!seen) current->entries.push_back({std::string(key), std::string(value)});
  }
  return ini;
}

bool IniFile::Load(const std::filesystem::path& file, IniFile& out, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read " + file.string();
    return false;
  }
  std::vector<std::byte> bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    if (bytes.size() + static_cast<size_t>(in.gcount()) > kMaxIniFileBytes) {
      error = file.string() + " is too large for a settings file";
      return false;
    }
    const auto* b = reinterpret_cast<const std::byte*>(buffer);
    bytes.insert(bytes.end(), b, b + in.gcount());
  }
  out = Parse(bytes);
  return true;
}

IniFile::Block* IniFile::FindBlock(std::string_view section) {
  for (auto& b : blocks_)
    if (EqualNoCase(b.name, section)) return &b;
  return nullptr;
}

const IniFile::Block* IniFile::FindBlock(std::string_view section) const {
  for (const auto& b : blocks_)
    if (EqualNoCase(b.name, section)) return &b;
  return nullptr;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
  const Block* b = FindBlock(section);
  if (b == nullptr) return std::nullopt;
  for (const auto& e : b->entries)
    if (EqualNoCase(e.key, key)) return e.value;
  return std::nullopt;
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  Block* b = FindBlock(section);
  if (b == nullptr) {
    blocks_.push_back({std::string(section), {}});
    b = &blocks_.back();
  }
  for (auto& e : b->entries) {
    if (EqualNoCase(e.key, key)) {
      e.value = value;
      return;
    }
  }
  b->entries.push_back({std::string(key), std::string(value)});
}

bool IniFile::HasSection(std::string_view section) const {
  return FindBlock(section) != nullptr;
}

std::vector<std::pair<std::string, std::string>> IniFile::Section(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  if (const Block* b = FindBlock(section))
    for (const auto& e : b->entries) out.emplace_back(e.key, e.value);
  return out;
}

std::string IniFile::Serialize() const {
  std::string out;
  for (const auto& b : blocks_) {
    out += "[" + b.name + "]\n";
    for (const auto& e : b.entries) {
      // Values with outer blanks or quotes are written in quotes so they read back the same.
      const bool quote =
          !e.value.empty() && (e.value.front() == ' ' || e.value.back() == ' ' || e.value.front() == '\t' ||
                               e.value.back() == '\t' || (e.value.front() == '"' && e.value.back() == '"'));
      out += e.key + "=" + (quote ? "\"" + e.value + "\"" : e.value) + "\n";
    }
    out += "\n";
  }
  return out;
}

bool IniFile::Save(const std::filesystem::path& file, std::string& error) const {
  const std::string text = Serialize();
  std::string temp = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot write " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  const int savedErrno = errno;
  ok = close(fd) == 0 && ok;
  if (ok) ok = std::rename(temp.c_str(), file.c_str()) == 0;
  if (!ok) {
    error = "cannot write " + file.string() + ": " + std::strerror(savedErrno != 0 ? savedErrno : errno);
    unlink(temp.c_str());
  }
  return ok;
}

std::string UnescapeText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '`') {
      out += '"';
    } else if (value[i] == '|') {
      out += '\0';
    } else if (value.substr(i).starts_with("\xC2\xA6")) {  // U+00A6 in UTF-8
      out += "\r\n";
      ++i;
    } else if (value.substr(i).starts_with("<t")) {
      out += '\t';
      ++i;
    } else {
      out += value[i];
    }
  }
  return out;
}

void ReadText(const IniFile& file, std::string_view section, std::string_view key, std::string& target) {
  if (auto v = file.Get(section, key); v && !v->empty()) target = UnescapeText(*v);
}

void ReadFlag(const IniFile& file, std::string_view section, std::string_view key, bool& target) {
  if (auto v = file.Get(section, key); v && !v->empty()) target = EqualNoCase(v->substr(0, 4), "TRUE");
}

void WriteFlag(IniFile& file, std::string_view section, std::string_view key, bool value) {
  file.Set(section, key, value ? "TRUE" : "FALSE");
}

void ReadColour(const IniFile& file, std::string_view section, std::string_view key, uint32_t& bgr) {
  auto v = file.Get(section, key);
  if (!v || v->empty()) return;
  std::string_view text = *v;
  if (text.front() == '#') text.remove_prefix(1);
  uint32_t rgb = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rgb, 16);
  if (ec != std::errc() || end != text.data() + text.size() || rgb > 0xFFFFFF) return;
  bgr = (rgb & 0xFF) << 16 | (rgb & 0xFF00) | (rgb >> 16);
}

void WriteColour(IniFile& file, std::string_view section, std::string_view key, uint32_t bgr) {
  const uint32_t rgb = (bgr & 0xFF) << 16 | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
  char text[16];
  std::snprintf(text, sizeof text, "#%.6X", rgb);
  file.Set(section, key, text);
}

void ReadInteger(const IniFile& file, std::string_view section, std::string_view key, int32_t& target) {
  auto v = file.Get(section, key);
  if (!v || v->empty()) return;
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), value);
  if (ec == std::errc() && end == v->data() + v->size()) target = value;
}

void WriteInteger(IniFile& file, std::string_view section, std::string_view key, int32_t value) {
  file.Set(section, key, std::to_string(value));
}

void ReadPair(const IniFile& file, std::string_view section, std::string_view key,
              std::pair<int32_t, int32_t>& target) {
  auto v = file.Get(section, key);
  if (!v || v->empty()) return;
  std::string compact;
  for (char c : *v)
    if (c != ' ' && c != '\t') compact += c;
  const size_t comma = compact.find(',');
  if (comma == std::string::npos) return;
  auto part = [](std::string_view s, int32_t& out) {
    s = s.substr(0, 4);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
  };
  std::pair<int32_t, int32_t> value;
  if (part(std::string_view(compact).substr(0, comma), value.first) &&
      part(std::string_view(compact).substr(comma + 1), value.second))
    target = value;
}

void WritePair(IniFile& file, std::string_view section, std::string_view key, std::pair<int32_t, int32_t> value) {
  file.Set(section, key, std::to_string(value.first) + "," + std::to_string(value.second));
}

}  // namespace torvane::app
