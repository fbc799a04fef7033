#include "explorer/display_filter.h"

#include "explorer/search.h"

namespace torvane::explorer {

uint32_t MaskBitOf(ColourKey stateClass) {
  switch (stateClass) {
    case ColourKey::kDeleted:
      return kFilterDeleted;
    case ColourKey::kExisting:
      return kFilterExisting;
    case ColourKey::kOverwritten:
      return kFilterOverwritten;
    case ColourKey::kNotDetected:
      return kFilterNotDetected;
    case ColourKey::kCompressed:
      return kFilterCompressed;
    case ColourKey::kEncrypted:
      return kFilterEncrypted;
    case ColourKey::kSpecial:
      return kFilterMetafiles;
  }
  return kFilterAlways;
}

std::string_view PresetPattern(FilterPreset preset) {
  switch (preset) {
    case FilterPreset::kAny:
      return "*";
    case FilterPreset::kGraphic:
      return "*.bmp, *.jpg, *.jp2, *.j2k, *.jpeg, *.gif, *.png, *.pcx, *.tga, *.ico, *.cur, *.emf, *.wmf, *.tif, "
             "*.tiff";
    case FilterPreset::kAudio:
      return "*.wav, *.mp3, *.wma, *.ogg, *.mid";
    case FilterPreset::kVideo:
      return "*.avi, *.mpg, *.mpeg, *.mp4, *.dat, *.wmv, *.asf, *.swf, *.mts";
    case FilterPreset::kOffice:
      return "*.doc, *.docx, *.xls, *.xlsx, *.ppt, *.pptx, *.mdb, *.pdf";
    case FilterPreset::kSystem:
      return "*.exe, *.dll, *.sys, *.ocx";
  }
  return "*";
}

bool PresetByName(std::string_view word, FilterPreset& out) {
  static constexpr std::pair<std::string_view, FilterPreset> kNames[] = {
      {"any", FilterPreset::kAny},     {"graphic", FilterPreset::kGraphic}, {"audio", FilterPreset::kAudio},
      {"video", FilterPreset::kVideo}, {"office", FilterPreset::kOffice},   {"system", FilterPreset::kSystem}};
  for (const auto& [name, preset] : kNames)
    if (name == word) {
      out = preset;
      return true;
    }
  return false;
}

bool FilterSnapshot::Admits(const FileEntry& e, std::u16string_view name, FsKind kind) const {
  if (e.kind >= kKindVirtualFolder) return true;
  const bool folder = e.IsFolder();
  if ((mask & (folder ? kFilterFolders : kFilterFiles)) == 0) return false;
  if ((mask & MaskBitOf(StateClass(e, name, kind))) == 0) return false;
  if (folder || patterns.empty()) return true;
  for (const auto& p : patterns)
    if (MatchesMask(name, p)) return true;
  return false;
}

void DisplayFilter::SetMask(uint32_t mask) {
  std::lock_guard hold(lock_);
  mask_ = (mask | kFilterAlways) & kFilterAll;
  if (kind_ != FsKind::kNtfs) mask_ &= ~kFilterNtfsOnly;
}

void DisplayFilter::SetPattern(std::u16string_view line) {
  std::lock_guard hold(lock_);
  line_ = line;
}

void DisplayFilter::SetPreset(FilterPreset preset) {
  const std::string_view p = PresetPattern(preset);
  SetPattern(std::u16string(p.begin(), p.end()));
}

void DisplayFilter::SetVolumeKind(FsKind kind) {
  std::lock_guard hold(lock_);
  kind_ = kind;
  if (kind_ != FsKind::kNtfs) mask_ &= ~kFilterNtfsOnly;
}

uint32_t DisplayFilter::Mask() const {
  std::lock_guard hold(lock_);
  return mask_;
}

std::u16string DisplayFilter::PatternLine() const {
  std::lock_guard hold(lock_);
  return line_;
}

FilterSnapshot DisplayFilter::Snapshot() const {
  FilterSnapshot s;
  std::u16string line;
  {
    std::lock_guard hold(lock_);
    s.mask = mask_;
    line = line_;
  }
  s.patterns = SplitMasks(line);  // lower-cased
  // "*" admits every name: no pattern to test.
  for (const auto& p : s.patterns)
    if (p == u"*" || p == u"*.*") {
      s.patterns.clear();
      break;
    }
  return s;
}

}  // namespace torvane::explorer
