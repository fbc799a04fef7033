// How the explorer's model reaches the language tables. The model lies below the
// application layer that owns the tables, so the front ends hand it this interface
// (app/explorer_texts.h adapts a LanguageTable); texts are named by section and key.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace torvane::explorer {

inline constexpr std::string_view kSectionExplorer = "WINDOW_EXPLORER";
inline constexpr std::string_view kSectionExtStrings = "EXT_STRINGS";
inline constexpr std::string_view kSectionProperties = "WINDOW_PROPERTIES";
inline constexpr std::string_view kSectionFileSize = "WINDOW_FILE_SIZE";

class Texts {
 public:
  virtual ~Texts() = default;
  // The text of (section, key) in the chosen language, English when it has none.
  virtual std::string Get(std::string_view section, std::string_view key) const = 0;
  // Fills "%s", "%i", "%u" (with flags and widths, which are ignored: the arguments are
  // already formed) with `args` in order.
  virtual std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) const = 0;
};

}  // namespace torvane::explorer
