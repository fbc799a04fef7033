// The INI files of the program: the configuration "Torvane.cfg", "registry.ini" and the
// language files. Sections and keys are matched ignoring ASCII case, as the files written by
// earlier versions expect. Files are written as UTF-8; they are read as UTF-8 (with or
// without a byte-order mark) or as UTF-16LE with its byte-order mark.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torvane::app {

// Files larger than this are refused: none of the program's INI files comes near it.
constexpr uint64_t kMaxIniFileBytes = 4ull << 20;

class IniFile {
 public:
  // Parses the bytes of a file (see the encodings above). Lines outside a section, lines
  // without "=" and comment lines (";" first) are ignored; the first of two equal
  // keys wins, as the profile reader of earlier versions did.
  static IniFile Parse(std::span<const std::byte> bytes);
  // Reads a file; false with a one-line reason when it cannot be read or is too large.
  static bool Load(const std::filesystem::path& file, IniFile& out, std::string& error);

  // The raw value of a key (UTF-8), or nothing when the section or the key is missing.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  void Set(std::string_view section, std::string_view key, std::string_view value);
  bool HasSection(std::string_view section) const;
  // The keys and values of a section in file order.
  std::vector<std::pair<std::string, std::string>> Section(std::string_view section) const;

  // The file as UTF-8 text with "\n" line ends.
  std::string Serialize() const;
  // Writes the file through a temporary file in the same folder and a rename, so that a
  // failure never leaves a half-written file behind. False with a one-line reason.
  bool Save(const std::filesystem::path& file, std::string& error) const;

 private:
  struct Entry {
    std::string key, value;
  };
  struct Block {
    std::string name;
    std::vector<Entry> entries;
  };
  Block* FindBlock(std::string_view section);
  const Block* FindBlock(std::string_view section) const;
  std::vector<Block> blocks_;
};

// The value types of the shared INI reader. Each Read leaves `target` unchanged when the
// value is missing or empty, so the target's previous content is the default.
//
// Text: "`" becomes a double quote, "|" a NUL character (one value can hold several
// strings), U+00A6 a line break ("\r\n") and "<t" a tab.
std::string UnescapeText(std::string_view value);
void ReadText(const IniFile& file, std::string_view section, std::string_view key, std::string& target);
// Flag: true when the value starts with "TRUE" ignoring case; written "TRUE" or "FALSE".
void ReadFlag(const IniFile& file, std::string_view section, std::string_view key, bool& target);
void WriteFlag(IniFile& file, std::string_view section, std::string_view key, bool value);
// Colour: written "#RRGGBB"; read (with or without "#") as hexadecimal 0xRRGGBB and kept as
// 0x00BBGGRR, the order the colour values of the results list use.
void ReadColour(const IniFile& file, std::string_view section, std::string_view key, uint32_t& bgr);
void WriteColour(IniFile& file, std::string_view section, std::string_view key, uint32_t bgr);
// Integer ("%i"); a value that is not a number leaves the target unchanged.
void ReadInteger(const IniFile& file, std::string_view section, std::string_view key, int32_t& target);
void WriteInteger(IniFile& file, std::string_view section, std::string_view key, int32_t value);
// Pair: "a,b"; blanks and tabs are skipped and each part is cut to 4 characters.
void ReadPair(const IniFile& file, std::string_view section, std::string_view key, std::pair<int32_t, int32_t>& target);
void WritePair(IniFile& file, std::string_view section, std::string_view key, std::pair<int32_t, int32_t> value);

}  // namespace torvane::app
