// The file-type catalogue: the fixed table of the 205 file types that header detect can find
// by content, numbered 0 to 204. RAW entries and saved scans store the number, so the
// numbering is a file format: entries are only ever appended before ".last", never moved.
//
// The table itself is constant data. What changes while a RAW scan runs (the found count that
// numbers the files of a type, and the scan word) lives in FileTypeCounters, and the scratch
// space and outputs of the probes live in a ProbeContext made per call: probes also run on
// the listing thread (the content check of a deleted file), so nothing in an entry may be
// written to.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "disk/sector_reader.h"
#include "util/bytes.h"

namespace torvane {

class UiPort;
struct FileTypeEntry;

inline constexpr uint16_t kFileTypeCount = 205;
inline constexpr uint16_t kFileTypeFirst = 0;   // ".first", sentinel, never detected
inline constexpr uint16_t kFileTypeLast = 204;  // ".last", sentinel, never detected
inline constexpr uint16_t kFileTypeLnk = 10;    // checked at the start of every RAW scan

inline constexpr size_t kSignatureMaxBytes = 32;
inline constexpr size_t kDescriptionChars = 42;  // the type column's fixed field
inline constexpr size_t kExtensionChars = 16;    // fixed fields, NUL-padded
inline constexpr size_t kTagChars = 16;
inline constexpr size_t kProbeWorkAreaBytes = 168;
inline constexpr size_t kProbeNameSuffixChars = 256;

// Probe result codes (ProbeContext::resultCode).
inline constexpr uint32_t kProbeResultDefault = 100;
inline constexpr uint32_t kProbeResultSkipField = 252;      // skip skipBytes, not the size
inline constexpr uint32_t kProbeResultNoSkip = 0xFFFFFFFF;  // do not skip the file's content

// Everything one probe call reads and writes. Made by the caller for each candidate; never
// shared between threads.
struct ProbeContext {
  // Input: the candidate's first sector (at least one sector of bytes), where it lies, and
  // how to read further sectors at the candidate's position (null: the first sector is all).
  ByteSpan firstSector;
  uint64_t sector = 0;
  uint32_t bytesPerSector = 512;
  const SectorReader* read = nullptr;
  const FileTypeEntry* entry = nullptr;  // the candidate entry the probe is called for
  // Bytes from the candidate's start to the end of the volume (or disk, or file): no probe
  // reads or reports a size beyond it. 0 = only the first sector is known to exist.
  uint64_t bytesAvailable = 0;

  // Output besides the size: a narrower entry (a ZIP that is a DOCX), the result code,
  // a skip request in bytes and a suffix for the RAW file's name.
  const FileTypeEntry* refinedEntry = nullptr;
  uint32_t resultCode = kProbeResultDefault;
  uint64_t skipBytes = 0;
  std::string nameSuffix;
  // True when the size is a cap or a guess (a limit cut the walk, the structure ran out
  // before its end record) rather than the file's measured length.
  bool sizeEstimated = false;

  // Scratch space of the entry's probes, kept across ResetOutputs so that what the confirm
  // probe found (the stream that identified a compound file) reaches the size probe.
  std::array<std::byte, kProbeWorkAreaBytes> workArea{};

  // Between the confirm probe and the size probe: no narrower entry, result code 100, no
  // skip, no suffix, not estimated.
  void ResetOutputs();
};

// Confirm probe: false rejects the candidate. Size probe: the file's size in bytes, 0 rejects.
using ConfirmProbe = bool (*)(ProbeContext& call);
using SizeProbe = uint64_t (*)(ProbeContext& call);

// What decides a found file's size.
enum class SizeRule : uint8_t {
  kMaximumOrNextHeader,  // no probe: the maximum size, or up to the next header found
  kProbe,                // the entry's size probe
  kSubType,              // never detected itself: another entry's probe names it
};

struct FileSignature {
  std::array<uint8_t, kSignatureMaxBytes> bytes{};
  uint8_t length = 0;  // valid bytes; 0 = no fixed signature

  constexpr std::span<const uint8_t> view() const { return {bytes.data(), length}; }
};

struct FileTypeEntry {
  uint16_t number = 0;
  std::string_view extension;    // with the leading dot, e.g. ".kdbx"
  std::string_view tag;          // short upper-case key, e.g. "KDBX"
  uint32_t extensionLength = 0;  // shown length of the extension; taken as the table has it
  bool listed = false;           // stands for its extension in the list of types
  FileSignature signature;
  bool hasConfirmProbe = false;  // the table's "confirm" column
  SizeRule sizeRule = SizeRule::kMaximumOrNextHeader;
  uint32_t maximumSize = 0;  // bytes carved when nothing measured the file; 0 = none
  // At most kDescriptionChars, shown as it stands: one of exactly 42 characters fills the
  // type column's field and has no terminator of its own. Empty = none.
  std::string_view description;

  // The probe functions. A null confirm probe accepts every candidate; an entry whose
  // sizeRule is kProbe and whose size probe is still null measures nothing (the caller
  // falls back to the maximum size).
  ConfirmProbe confirmProbe = nullptr;
  SizeProbe sizeProbe = nullptr;

  constexpr bool IsSentinel() const { return number == kFileTypeFirst || number == kFileTypeLast; }
};

// The whole table, entry n at index n.
std::span<const FileTypeEntry, kFileTypeCount> FileTypeCatalogue();

// Entry n, or null when n is beyond the table.
const FileTypeEntry* FileTypeByNumber(uint32_t number);

// The catalogue entry of a tag or of an extension (with or without its dot), compared
// without regard to case. Where several entries share the key the first listed one answers,
// or the first one when none is listed. The sentinels are never answered.
// (The content check by extension that the probes offer under a tag is a different thing:
// it covers tags the catalogue does not have.)
const FileTypeEntry* FileTypeEntryByTag(std::string_view tag);
const FileTypeEntry* FileTypeEntryByExtension(std::string_view extension);

// True when `bytes` starts with the entry's signature; never for an entry without one.
bool SignatureMatches(const FileTypeEntry& entry, ByteSpan bytes);

// The entries whose signature `bytes` starts with, in table order, through an index by the
// first byte. Writes at most out.size() entries and returns how many matched in all.
// Several entries carry the same signature (RIFF, "MZ", LDF and MDF); which one the bytes
// are is for the probes to tell.
size_t FileTypesWithSignature(ByteSpan bytes, std::span<const FileTypeEntry*> out);

// The start-of-scan checks on a table's numbering: entry 204 must be ".last" and entry 10
// ".lnk". Each failed check shows its message (title "COMPILE ERROR") and false is returned;
// the scan goes on regardless.
bool CheckFileTypeNumbering(std::span<const FileTypeEntry> table, UiPort* ui);

// True for the entries whose found count a new RAW scan does not clear (the two sentinels
// and TGA, PITy2012NG, two of the PITy2013NG entries, ZZZ and BLEND): their RAW file numbers
// run on from scan to scan.
bool FileTypeCountRunsOn(uint32_t number);

// "%.9u" of the RAW number followed by the entry's extension: 000000017.jpg.
std::string RawFileName(uint32_t rawNumber, const FileTypeEntry& entry);

// The per-scan state of the catalogue's entries, owned by whoever runs RAW scans and kept
// from one scan to the next. Counting happens on the scan thread; readers on other threads
// see a consistent value of each count.
class FileTypeCounters {
 public:
  // Start of a RAW scan: the numbering checks on `table`, then the scan word and the found
  // count of every entry whose count does not run on are cleared.
  bool BeginRawScan(UiPort* ui, std::span<const FileTypeEntry> table = FileTypeCatalogue());

  // A file of the entry was found: its count rises by one and the new count is returned
  // (the file's RAW number in a forward scan). 0 for a number beyond the table.
  uint32_t CountFound(uint32_t number);

  uint32_t Found(uint32_t number) const;
  void SetFound(uint32_t number, uint32_t count);  // restoring a saved scan

  uint32_t ScanWord(uint32_t number) const;
  void SetScanWord(uint32_t number, uint32_t value);

 private:
  std::array<std::atomic<uint32_t>, kFileTypeCount> found_{};
  std::array<std::atomic<uint32_t>, kFileTypeCount> scanWord_{};
};

}  // namespace torvane
