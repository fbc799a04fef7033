#include "explorer/search.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "store/dyn_list.h"

namespace torvane::explorer {
namespace {

void Pair16(std::vector<char16_t>& upper, std::vector<char16_t>& lower, char16_t up, char16_t low) {
  upper[low] = up;
  lower[up] = low;
}

uint16_t Unit(std::span<const uint8_t> data, size_t at) {
  return static_cast<uint16_t>(data[at] | data[at + 1] << 8);
}

}  // namespace

const CaseTables& CaseTables::Get() {
  static const CaseTables tables = [] {
    CaseTables t;
    t.upper16.resize(65536);
    t.lower16.resize(65536);
    for (uint32_t c = 0; c < 65536; ++c) t.upper16[c] = t.lower16[c] = static_cast<char16_t>(c);
    for (char16_t c = u'a'; c <= u'z'; ++c) Pair16(t.upper16, t.lower16, static_cast<char16_t>(c - 32), c);
    for (char16_t c = 0xE0; c <= 0xFE; ++c)  // Latin-1 letters, less the division sign
      if (c != 0xF7) Pair16(t.upper16, t.lower16, static_cast<char16_t>(c - 32), c);
    for (char16_t c = 0x100; c < 0x138; c += 2)  // Latin Extended-A: even upper, odd lower
      if (c != 0x130) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 1));
    for (char16_t c = 0x139; c < 0x149; c += 2) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 1));
    for (char16_t c = 0x14A; c < 0x178; c += 2) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 1));
    for (char16_t c = 0x179; c < 0x17F; c += 2) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 1));
    Pair16(t.upper16, t.lower16, 0x178, 0xFF);
    for (char16_t c = 0x391; c <= 0x3A9; ++c)  // Greek
      if (c != 0x3A2) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 32));
    for (char16_t c = 0x410; c <= 0x42F; ++c) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 32));
    for (char16_t c = 0x400; c <= 0x40F; ++c) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 80));
    for (char16_t c = 0xFF21; c <= 0xFF3A; ++c) Pair16(t.upper16, t.lower16, c, static_cast<char16_t>(c + 32));
    for (uint32_t c = 0; c < 256; ++c) {
      // The 8-bit tables are Latin-1, except U+00FF whose upper case lies outside it.
      t.upper8[c] = t.upper16[c] < 256 ? static_cast<uint8_t>(t.upper16[c]) : static_cast<uint8_t>(c);
      t.lower8[c] = static_cast<uint8_t>(t.lower16[c]);
    }
    return t;
  }();
  return tables;
}

int64_t FindBytes(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from) {
  const size_t m = pattern.size();
  if (m == 0 || data.size() < m) return -1;
  for (size_t i = from; i + m <= data.size(); ++i) {
    const void* hit = std::memchr(data.data() + i, pattern[0], data.size() - m + 1 - i);
    if (hit == nullptr) return -1;
    i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data.data());
    if (std::memcmp(data.data() + i, pattern.data(), m) == 0) return static_cast<int64_t>(i);
  }
  return -1;
}

int64_t FindBytesFolded(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from) {
  const CaseTables& t = CaseTables::Get();
  const size_t m = pattern.size();
  if (m == 0 || data.size() < m) return -1;
  const uint8_t u = t.upper8[pattern[0]], l = t.lower8[pattern[0]];
  for (size_t i = from; i + m <= data.size(); ++i) {
    if (data[i] != u && data[i] != l) continue;
    size_t k = 1;
    while (k < m && (data[i + k] == t.upper8[pattern[k]] || data[i + k] == t.lower8[pattern[k]])) ++k;
    if (k == m) return static_cast<int64_t>(i);
  }
  return -1;
}

int64_t FindWords(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from) {
  // Units at any byte offset: a plain byte comparison finds exactly these.
  return pattern.size() % 2 != 0 ? -1 : FindBytes(data, pattern, from);
}

int64_t FindWordsFolded(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from) {
  const CaseTables& t = CaseTables::Get();
  const size_t m = pattern.size();
  if (m == 0 || m % 2 != 0 || data.size() < m) return -1;
  for (size_t i = from; i + m <= data.size(); ++i) {
    size_t k = 0;
    for (; k < m; k += 2) {
      const uint16_t d = Unit(data, i + k), p = Unit(pattern, k);
      if (d != t.upper16[p] && d != t.lower16[p]) break;
    }
    if (k >= m) return static_cast<int64_t>(i);
  }
  return -1;
}

bool MatchesMask(std::u16string_view name, std::u16string_view mask) {
  const CaseTables& t = CaseTables::Get();
  auto same = [&](char16_t a, char16_t b) { return t.lower16[a] == t.lower16[b]; };
  size_t n = 0, m = 0, starMask = std::u16string_view::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == u'*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && (mask[m] == u'?' || same(mask[m], name[n]))) {
      ++m;
      ++n;
    } else if (starMask != std::u16string_view::npos) {
      m = starMask + 1;  // let the last star take one more character
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == u'*') ++m;
  return m == mask.size();
}

std::vector<std::u16string> SplitMasks(std::u16string_view line) {
  const CaseTables& t = CaseTables::Get();
  std::vector<std::u16string> out;
  while (true) {
    const size_t comma = line.find(u',');
    std::u16string_view part = line.substr(0, comma);
    while (!part.empty() && (part.front() == u' ' || part.front() == u'\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == u' ' || part.back() == u'\t')) part.remove_suffix(1);
    if (!part.empty()) {
      std::u16string mask(part);
      for (auto& c : mask) c = t.lower16[c];
      out.push_back(std::move(mask));
    }
    if (comma == std::u16string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return out;
}

bool ParseHexPattern(std::string_view text, std::vector<uint8_t>& out, std::string& errorKey) {
  out.clear();
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      errorKey = "szBadHexCharacter";
      return false;
    }
    digits += c;
  }
  if (digits.empty()) {
    errorKey = "szPleaseEnterSearchData";
    return false;
  }
  if (digits.size() % 2 != 0) {
    errorKey = "szHexValuesParity";
    return false;
  }
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return true;
}

bool TextPattern(std::u16string_view text, ContentKind kind, std::vector<uint8_t>& out) {
  out.clear();
  for (char16_t c : text) {
    if (kind == ContentKind::kAscii) {
      if (c > 0xFF) return false;
      out.push_back(static_cast<uint8_t>(c));
    } else {
      out.push_back(static_cast<uint8_t>(c));
      out.push_back(static_cast<uint8_t>(c >> 8));
    }
  }
  return !out.empty();
}

std::pair<uint64_t, uint64_t> SizeBand(uint64_t size, uint32_t percent) {
  percent = std::min<uint32_t>(percent, 100);
  const uint64_t delta = size / 100 * percent + size % 100 * percent / 100;
  return {size - std::min(size, delta), size + delta < size ? UINT64_MAX : size + delta};
}

// ---- ContentMatcher ----
//
// The window holds the tail of earlier pieces and the new piece. Matches that start before
// `judgedUpTo_` (an offset in the item) have been judged; a whole-word match whose next
// character has not arrived yet stays unjudged and is kept in the window with the
// character before it.

ContentMatcher::ContentMatcher(const SearchCriteria& criteria)
    : pattern_(criteria.contentBytes),
      kind_(criteria.contentKind),
      folded_(!criteria.caseSensitive && criteria.contentKind != ContentKind::kHex),
      wholeWords_(criteria.wholeWords && criteria.contentKind != ContentKind::kHex) {}

bool ContentMatcher::IsWordBorder(uint8_t byte) const {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

namespace {
// What happened to one candidate.
enum class Verdict { kYes, kNo, kWait };
}  // namespace

void ContentMatcher::Search(bool atEnd) {
  if (found_ || pattern_.empty()) return;
  const size_t m = pattern_.size();
  const size_t unit = kind_ == ContentKind::kUnicode ? 2 : 1;
  const std::span<const uint8_t> data(window_);
  auto find = [&](size_t from) -> int64_t {
    if (kind_ == ContentKind::kUnicode)
      return folded_ ? FindWordsFolded(data, pattern_, from) : FindWords(data, pattern_, from);
    return folded_ ? FindBytesFolded(data, pattern_, from) : FindBytes(data, pattern_, from);
  };
  // A character next to a match: a word border when it is a blank, tab, CR or LF.
  auto border = [&](size_t at) {
    if (unit == 2) return at + 1 < data.size() && data[at + 1] == 0 && IsWordBorder(data[at]);
    return IsWordBorder(data[at]);
  };
  auto verdict = [&](size_t at) {
    if (!wholeWords_) return Verdict::kYes;
    const uint64_t absolute = windowStart_ + at;
    // Before: the start of the data, or a border character (a lone byte at an odd start is
    // taken as it is).
    if (absolute != 0) {
      if (at >= unit ? !border(at - unit) : !(at == 1 && IsWordBorder(data[0]))) return Verdict::kNo;
    }
    const size_t end = at + m;
    if (end + unit <= data.size()) return border(end) ? Verdict::kYes : Verdict::kNo;
    if (!atEnd) return Verdict::kWait;  // the next character has not arrived
    return end == data.size() ? Verdict::kYes : Verdict::kNo;
  };
  size_t from = static_cast<size_t>(std::max(judgedUpTo_, windowStart_) - windowStart_);
  uint64_t judged = windowStart_ + (data.size() >= m ? data.size() - m + 1 : 0);
  for (int64_t hit; (hit = find(from)) >= 0; from = static_cast<size_t>(hit) + 1) {
    const Verdict v = verdict(static_cast<size_t>(hit));
    if (v == Verdict::kYes) {
      found_ = true;
      return;
    }
    if (v == Verdict::kWait) {
      judged = windowStart_ + static_cast<uint64_t>(hit);
      break;
    }
  }
  judgedUpTo_ = std::max(judgedUpTo_, judged);
  // Keep what a later match may start in, with the character before it.
  const uint64_t keepFrom = std::max(windowStart_, judgedUpTo_ >= unit ? judgedUpTo_ - unit : 0);
  const size_t drop = static_cast<size_t>(keepFrom - windowStart_);
  window_.erase(window_.begin(), window_.begin() + static_cast<ptrdiff_t>(std::min(drop, window_.size())));
  windowStart_ = keepFrom;
}

bool ContentMatcher::WriteChunk(std::span<const std::byte> data) {
  if (found_) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  window_.insert(window_.end(), p, p + data.size());
  Search(false);
  return !found_;
}

bool ContentMatcher::WriteZeros(uint64_t count) {
  // Inside a long run of zeros every candidate has zeros on both sides: once the run's
  // start has been searched, its middle adds nothing, and only its end is searched again.
  static const std::vector<std::byte> zeros(64 << 10);
  const uint64_t edge = pattern_.size() + 4;
  auto feed = [&](uint64_t n) {
    while (n > 0 && !found_) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, zeros.size()));
      WriteChunk({zeros.data(), piece});
      n -= piece;
    }
  };
  if (count <= 2 * edge + zeros.size()) {
    feed(count);
    return !found_;
  }
  feed(edge);
  const uint64_t skip = count - 2 * edge;
  windowStart_ += skip;  // the window holds only zeros now
  judgedUpTo_ += skip;
  feed(edge);
  return !found_;
}

void ContentMatcher::Finish() {
  Search(true);
}

// ---- TreeFolderSource ----

TreeFolderSource::TreeFolderSource(const DynList& list, const ItemTree& tree, std::mutex* listLock)
    : list_(list), listLock_(listLock) {
  std::unique_lock<std::mutex> hold;
  if (listLock_ != nullptr) hold = std::unique_lock(*listLock_);
  count_ = torvane::EntryCount(list);
  children_.resize(count_);
  for (uint64_t i = 0; i < count_; ++i) {
    uint64_t holder = 0;
    switch (tree.PlaceOf(i, &holder)) {
      case ItemTree::Placement::kHeld:
        if (holder < count_) {
          children_[holder].push_back(i);
          break;
        }
        lostChildren_.push_back(i);
        break;
      case ItemTree::Placement::kRoot:
        rootChildren_.push_back(i);
        break;
      case ItemTree::Placement::kLost:
        lostChildren_.push_back(i);
        break;
      case ItemTree::Placement::kHidden:
        break;
    }
  }
}

FileEntry TreeFolderSource::Entry(uint64_t index) const {
  std::unique_lock<std::mutex> hold;
  if (listLock_ != nullptr) hold = std::unique_lock(*listLock_);
  return EntryAt(list_, index);
}

std::u16string TreeFolderSource::Name(uint64_t index) const {
  // The entry's own name, copied from the list's names before the lock is let go (walking
  // its whole path for the last component would cost the depth of every folder).
  std::unique_lock<std::mutex> hold;
  if (listLock_ != nullptr) hold = std::unique_lock(*listLock_);
  if (index >= count_) return {};
  return std::u16string(EntryName(list_, EntryAt(list_, index)));
}

void TreeFolderSource::Children(uint64_t node, std::vector<uint64_t>& out) const {
  out.clear();
  if (node == kRootNode)
    out = rootChildren_;
  else if (node == kLostNode)
    out = lostChildren_;
  else if (node < count_)
    out = children_[node];
}

// ---- The search ----

bool MatchesAttributes(const FileEntry& entry, const SearchCriteria& c) {
  if (c.deletedOnly && entry.state == kStateExisting) return false;
  if ((entry.attributes & c.attributeMask) != c.attributeMask) return false;
  if (c.after && entry.time < *c.after) return false;
  if (c.before && entry.time >= *c.before) return false;
  if (entry.IsFolder()) return c.includeFolders && c.contentKind == ContentKind::kNone;
  if (c.minSize && entry.size < *c.minSize) return false;
  if (c.maxSize && entry.size > *c.maxSize) return false;
  return true;
}

SearchResult RunSearch(const FolderSource& source, const SearchCriteria& criteria, const ContentReadFn& readContent,
                       const std::atomic<bool>& stop) {
  SearchResult result;
  const uint64_t count = source.EntryCount();
  std::vector<bool> visited(count);
  // The folders still to walk; "Lost files" after the root.
  std::vector<uint64_t> pending{FolderSource::kLostNode, FolderSource::kRootNode};
  std::vector<uint64_t> children;
  while (!pending.empty()) {
    const uint64_t node = pending.back();
    pending.pop_back();
    source.Children(node, children);
    // Walked in reverse so that a folder's sub-folders come out in their listed order.
    const size_t firstFolder = pending.size();
    for (uint64_t index : children) {
      if (stop) {
        result.stopped = true;
        return result;
      }
      if (index >= count || visited[index]) continue;  // a folder met again: a cycle ends here
      visited[index] = true;
      ++result.entriesSeen;
      const FileEntry e = source.Entry(index);
      if (e.IsFolder()) pending.push_back(index);
      if (e.kind == kKindVirtualFolder || !MatchesAttributes(e, criteria)) continue;
      if (!criteria.masks.empty()) {
        const std::u16string name = source.Name(index);
        if (std::none_of(criteria.masks.begin(), criteria.masks.end(),
                         [&](const std::u16string& mask) { return MatchesMask(name, mask); }))
          continue;
      }
      if (criteria.contentKind != ContentKind::kNone && !e.IsFolder()) {
        if (!readContent) continue;
        ContentMatcher matcher(criteria);
        const ReadOutcome outcome = readContent(e, matcher);
        if (!matcher.Found() && !outcome.stopped) matcher.Finish();
        if (stop) {
          result.stopped = true;
          return result;
        }
        if (!matcher.Found()) continue;
      }
      if (result.matches.size() >= kMaxSearchResults) {
        result.truncated = true;
        return result;
      }
      result.matches.push_back(index);
    }
    std::reverse(pending.begin() + static_cast<ptrdiff_t>(firstFolder), pending.end());
  }
  return result;
}

SearchJob::~SearchJob() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

void SearchJob::Start(const FolderSource& source, SearchCriteria criteria, ContentReadFn readContent) {
  if (thread_.joinable()) {
    Stop();
    thread_.join();
  }
  stop_ = false;
  running_ = true;
  result_ = {};
  thread_ = std::thread([this, &source, criteria = std::move(criteria), readContent = std::move(readContent)] {
    result_ = RunSearch(source, criteria, readContent, stop_);
    running_ = false;
  });
}

SearchResult SearchJob::Wait() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

}  // namespace torvane::explorer
