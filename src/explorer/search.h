// Search over everything a volume's walk and scans found: by name masks, content (text with
// or without case, whole words, or bytes), size, attributes, dates and deleted state. It
// runs on a worker thread that can be stopped, walks the folder tree iteratively (a folder
// met twice is walked once, so folder cycles end), and collects at most 200,000 results.
// It sees items only through the store's entry list, an ItemTree and the content reader,
// so it works the same on every file system.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fs/file_system.h"
#include "fs/item_content.h"
#include "store/file_entry.h"

namespace torvane::explorer {

inline constexpr uint64_t kMaxSearchResults = 200000;

// ---- Case tables and the four byte searches ----

// 8-bit tables over Latin-1 and 16-bit tables over the UTF-16 units of the Latin, Greek and
// Cyrillic alphabets (and the full-width Latin letters); built once.
struct CaseTables {
  uint8_t upper8[256], lower8[256];
  std::vector<char16_t> upper16, lower16;  // 65,536 entries each
  static const CaseTables& Get();
};

// The offset of the first occurrence of `pattern` in `data` at or after `from`, or -1.
// Folded forms match each byte (each 16-bit unit) against the pattern's upper- and
// lower-case forms. The Words forms compare 16-bit little-endian units and try every byte
// offset, so text at an odd offset is found; `pattern` holds the units as bytes.
int64_t FindBytes(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from = 0);
int64_t FindBytesFolded(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from = 0);
int64_t FindWords(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from = 0);
int64_t FindWordsFolded(std::span<const uint8_t> data, std::span<const uint8_t> pattern, size_t from = 0);

// ---- Names ----

// Wildcard match ignoring case: "*" any run, "?" any one character. No length limit; the
// match takes time proportional to name × mask at worst (no recursion).
bool MatchesMask(std::u16string_view name, std::u16string_view mask);
// Splits a line of comma-separated masks ("*.c, *.cpp,*.h"), blanks trimmed, empty ones
// dropped, lower-cased. No mask is cut short.
std::vector<std::u16string> SplitMasks(std::u16string_view line);

// ---- Criteria ----

enum class ContentKind : uint8_t { kNone, kAscii, kUnicode, kHex };

struct SearchCriteria {
  // Names: the entry must match one of the masks (none: every name).
  std::vector<std::u16string> masks;
  // Content (files only): the pattern's bytes (ASCII text as 8-bit characters, UNICODE as
  // UTF-16LE, HEX the parsed bytes).
  ContentKind contentKind = ContentKind::kNone;
  std::vector<uint8_t> contentBytes;
  bool caseSensitive = false;
  bool wholeWords = false;  // ASCII and UNICODE only
  // Sizes (files only), inclusive.
  std::optional<uint64_t> minSize, maxSize;
  // Every bit of the mask must be set in the entry's attributes.
  uint32_t attributeMask = 0;
  // Times (FILETIME): at or after `after`, before `before`.
  std::optional<uint64_t> after, before;
  bool deletedOnly = false;    // only entries that are not existing files or folders
  bool includeFolders = true;  // folders match on name, attributes, time and state
};

// Reads a line of hexadecimal digit pairs (blanks allowed between pairs) into bytes. False
// with the language key of the reason: "szPleaseEnterSearchData" for an empty line,
// "szHexValuesParity" for an odd number of digits, "szBadHexCharacter" otherwise.
bool ParseHexPattern(std::string_view text, std::vector<uint8_t>& out, std::string& errorKey);
// A text pattern: ASCII as Latin-1 bytes (characters above U+00FF are refused: false), or
// UTF-16LE for UNICODE.
bool TextPattern(std::u16string_view text, ContentKind kind, std::vector<uint8_t>& out);
// The band of "=" with a tolerance: size ± size × percent / 100 (percent at most 100), the
// lower end at least 0.
std::pair<uint64_t, uint64_t> SizeBand(uint64_t size, uint32_t percent);

// Matches content piece by piece as the reader delivers it: a pattern across the border of
// two pieces is found; with whole words every occurrence is tested, and one at the end of a
// piece waits for the next byte before it is judged.
class ContentMatcher final : public ReaderSink {
 public:
  explicit ContentMatcher(const SearchCriteria& criteria);
  bool WriteChunk(std::span<const std::byte> data) override;  // false once found
  bool WriteZeros(uint64_t count) override;
  // Judges what waits at the end of the data (call after the last piece).
  void Finish();
  bool Found() const { return found_; }

 private:
  void Search(bool atEnd);
  bool IsWordBorder(uint8_t byte) const;

  std::vector<uint8_t> pattern_;
  ContentKind kind_;
  bool folded_, wholeWords_;
  std::vector<uint8_t> window_;  // kept tail of earlier pieces, then the new piece
  uint64_t windowStart_ = 0;     // offset in the item of window_[0]
  uint64_t judgedUpTo_ = 0;      // matches starting before this offset have been judged
  bool found_ = false;
};

// ---- The folders to walk ----

// The folder tree the search walks. Node kRootNode is the volume root; other nodes are
// entry indexes of the list (and kLostNode, the "Lost files" folder).
class FolderSource {
 public:
  static constexpr uint64_t kRootNode = UINT64_MAX;
  static constexpr uint64_t kLostNode = UINT64_MAX - 1;
  virtual ~FolderSource() = default;
  virtual uint64_t EntryCount() const = 0;
  virtual FileEntry Entry(uint64_t index) const = 0;
  virtual std::u16string Name(uint64_t index) const = 0;
  // The entries directly inside a folder node (files and folders).
  virtual void Children(uint64_t node, std::vector<uint64_t>& out) const = 0;
};

// The folders of an entry list as an ItemTree gives them: each entry lies in the folder of
// the second-to-last position of its path ("Lost files" for a broken chain). The folders are
// those of the list when the source was made; entries a scan appends later are not walked.
// A scan may append while the search runs: with `listLock` (the store's entry-list lock)
// every read of the list takes it, since an append may move the list's memory.
class TreeFolderSource final : public FolderSource {
 public:
  TreeFolderSource(const DynList& list, const ItemTree& tree, std::mutex* listLock = nullptr);
  uint64_t EntryCount() const override { return count_; }
  FileEntry Entry(uint64_t index) const override;
  std::u16string Name(uint64_t index) const override;
  void Children(uint64_t node, std::vector<uint64_t>& out) const override;

 private:
  const DynList& list_;
  std::mutex* listLock_;
  uint64_t count_;
  std::vector<std::vector<uint64_t>> children_;  // by entry index
  std::vector<uint64_t> rootChildren_, lostChildren_;
};

// ---- The search ----

struct SearchResult {
  std::vector<uint64_t> matches;  // entry indexes in walk order
  bool truncated = false;         // stopped at kMaxSearchResults
  bool stopped = false;           // stopped by Stop()
  uint64_t entriesSeen = 0;
};

// Reads an entry's content into the matcher (the content reader, in the front ends).
using ContentReadFn = std::function<ReadOutcome(const FileEntry& entry, ReaderSink& sink)>;

// Does `entry` meet the criteria other than its name and content?
bool MatchesAttributes(const FileEntry& entry, const SearchCriteria& criteria);

// Walks the folders from the root and collects the matches; stops when `stop` is set.
SearchResult RunSearch(const FolderSource& source, const SearchCriteria& criteria, const ContentReadFn& readContent,
                       const std::atomic<bool>& stop);

// A search on its own thread. Stop() asks it to end between entries (and inside a content
// read, through the reader's stop flag); Wait() returns the result.
class SearchJob {
 public:
  SearchJob() = default;
  ~SearchJob();
  SearchJob(const SearchJob&) = delete;
  SearchJob& operator=(const SearchJob&) = delete;

  // `source` and whatever `readContent` uses must live until Wait() returns. The reader gets
  // StopFlag() to hand to ReaderContext::searchStop.
  void Start(const FolderSource& source, SearchCriteria criteria, ContentReadFn readContent);
  void Stop() { stop_ = true; }
  bool Running() const { return running_; }
  SearchResult Wait();
  const std::atomic<bool>* StopFlag() const { return &stop_; }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false}, running_{false};
  SearchResult result_;
};

}  // namespace torvane::explorer
