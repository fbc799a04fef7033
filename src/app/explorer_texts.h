// The explorer model's view of the language tables.
#pragma once

#include "app/language.h"
#include "explorer/texts.h"

namespace torvane::app {

class ExplorerTexts final : public explorer::Texts {
 public:
  explicit ExplorerTexts(const LanguageTable& table) : table_(table) {}
  std::string Get(std::string_view section, std::string_view key) const override { return table_.Text(section, key); }
  std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) const override {
    return FormatText(pattern, args);
  }

 private:
  const LanguageTable& table_;
};

}  // namespace torvane::app
