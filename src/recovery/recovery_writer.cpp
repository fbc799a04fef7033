#include "recovery/recovery_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "disk/image_creator.h"
#include "fs/ntfs/mft_record.h"
#include "fs/ntfs/ntfs_volume.h"
#include "util/bytes.h"
#include "util/file_time.h"
#include "util/output_guard.h"
#include "util/sha256.h"
#include "util/text.h"

namespace torvane::recovery {
namespace {

constexpr size_t kMaxNameBytes = 255;  // the longest file name Linux file systems take
constexpr unsigned kMaxNumberedNames = 101;
constexpr uint32_t kNtfsReadOnly = 0x01;

// Creation, modification and access times of an NTFS item from its record's
// $STANDARD_INFORMATION; the entry's own time when the record cannot be read.
void NtfsTimes(ReaderContext& ctx, const FileEntry& e, timespec times[2]) {
  times[0] = times[1] = FiletimeToTimespec(e.time);
  if (ctx.ntfs == nullptr) return;
  std::vector<std::byte> record;
  if (ntfs::ReadRecordAt(ctx.source, e.recordSector, ctx.ntfs->RecordBytes(), record) != ntfs::RecordRead::kOk) return;
  auto si = ntfs::FindAttribute(record, ntfs::kAttrStandardInformation, false);
  if (!si) return;
  auto value = ntfs::ResidentValue(record, *si);
  if (value.size() < 0x20) return;
  times[1] = FiletimeToTimespec(LeU64(value, 0x08));  // modification
  times[0] = FiletimeToTimespec(LeU64(value, 0x18));  // access
}

}  // namespace

bool FileSink::Accept(uint64_t count) {
  written_ += count;
  run_.bytesWritten += count;
  if (run_.progress) run_.progress(shown_, written_, size_);
  return true;
}

bool FileSink::Skip(uint64_t count) {
  if (::lseek(fd_, static_cast<off_t>(count), SEEK_CUR) < 0) {
    error_ = std::string("write error: ") + std::strerror(errno);
    return false;
  }
  holeAtEnd_ = true;
  return true;
}

bool FileSink::WriteChunk(std::span<const std::byte> data) {
  if (run_.abortAll || run_.skipCurrent) return false;
  // Never more than the item's size.
  if (written_ >= size_) return true;
  data = data.subspan(0, std::min<uint64_t>(data.size(), size_ - written_));
  if (data.empty()) return true;
  if (digest_) hash_.Update(data);
  if (IsAllZero(data)) return Skip(data.size()) && Accept(data.size());
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (errno == ENOSPC || errno == EDQUOT) {
        const bool skip = ui_ != nullptr && ui_->AskYesNo("Torvane", kDiskFullText);
        error_ = "the destination disk is full";
        if (!skip) run_.abortAll = true;
        run_.skipCurrent = true;
      } else {
        error_ = std::string("write error: ") + std::strerror(errno);
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  holeAtEnd_ = false;
  return Accept(data.size());
}

bool FileSink::WriteZeros(uint64_t count) {
  if (run_.abortAll || run_.skipCurrent) return false;
  count = std::min(count, size_ - std::min(size_, written_));
  if (count == 0) return true;
  if (digest_) {
    static const std::vector<std::byte> zeros(1 << 16);
    for (uint64_t left = count; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
      hash_.Update({zeros.data(), n});
      left -= n;
    }
  }
  return Skip(count) && Accept(count);
}

bool FileSink::Finish() {
  if (!holeAtEnd_) return true;
  const off_t end = ::lseek(fd_, 0, SEEK_CUR);
  if (end < 0 || ::ftruncate(fd_, end) != 0) {
    error_ = std::string("write error: ") + std::strerror(errno);
    return false;
  }
  holeAtEnd_ = false;
  return true;
}

std::u16string SanitizeName(std::u16string_view name) {
  std::u16string out(name.substr(0, 512));
  for (size_t i = 0; i < out.size(); ++i) {
    char16_t& c = out[i];
    if (c < 32 || std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos) c = u' ';
    // A lone surrogate has no UTF-8 form.
    const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && (i + 1 >= out.size() || out[i + 1] < 0xDC00 || out[i + 1] > 0xDFFF))
      c = 0xFFFD;
    else if (high)
      ++i;
    else if (low)
      c = 0xFFFD;
  }
  if (out.empty() || out == u"." || out == u"..") return u"_";
  // Cut to the platform's limit, keeping the extension.
  if (ToUtf8(out).size() > kMaxNameBytes) {
    const size_t dot = out.rfind(u'.');
    std::u16string ext = dot != std::u16string::npos && dot > 0 && out.size() - dot <= 16 ? out.substr(dot) : u"";
    std::u16string base = out.substr(0, out.size() - ext.size());
    while (!base.empty() && ToUtf8(base + ext).size() > kMaxNameBytes) {
      base.pop_back();
      if (!base.empty() && base.back() >= 0xD800 && base.back() <= 0xDBFF) base.pop_back();
    }
    out = base + ext;
  }
  return out;
}

std::u16string NumberedName(std::u16string_view name, unsigned counter) {
  char number[16];
  std::snprintf(number, sizeof number, "[%.3u]", counter);
  const std::u16string n = FromLatin1(number);
  // The extension starts at the last dot, but a dot at the name's start is no extension.
  const size_t dot = name.size() > 1 ? name.find_last_of(u'.', name.size() - 2) : std::u16string_view::npos;
  if (dot == std::u16string_view::npos || dot == 0) return std::u16string(name) + n;
  return std::u16string(name.substr(0, dot)) + n + std::u16string(name.substr(dot));
}

RecoveryRun::RecoveryRun(ReaderContext& reader, RecoveryOptions options, UiPort* ui)
    : reader_(reader), options_(std::move(options)), ui_(ui), guard_(SourceOutputGuard(reader.source)) {}

bool RecoveryRun::PrepareOutput(std::string& error) {
  if (guard_.IsProtected(options_.outputFolder)) {
    error = kSourceDriveText;
    return false;
  }
  std::string why;
  outputDir_ = guard_.OpenOutputFolder(options_.outputFolder, why);
  currentDir_.Reset();
  currentFolders_.clear();
  if (!outputDir_) {
    error = kPathErrorText;
    return false;
  }
  return true;
}

void RecoveryRun::Count(const RecoveryItem& item) {
  const FileEntry& e = item.entry;
  const bool folder = e.IsFolder();
  const int base = folder ? kFoldersTotal : kFilesTotal;
  ++statistics[base];
  if (e.state <= kStateRecoverable) ++statistics[base + 1];
  if (e.kind == kKindRaw || e.state == kStateFoundInFreeSpace) ++statistics[base + 2];
  if (e.kind == kKindPartlyOverwritten) ++statistics[base + 3];
  if (!folder) bytesTotal += static_cast<double>(std::min(uint64_t{e.size}, VolumeBytes()));
}

uint64_t RecoveryRun::VolumeBytes() const {
  const uint64_t sectors = reader_.geometry.volumeSectors != 0           ? reader_.geometry.volumeSectors
                           : reader_.source.volumeLastSector != kNoBound ? reader_.source.volumeLastSector + 1
                           : reader_.source.diskSectors != kNoBound      ? reader_.source.diskSectors
                                                                         : 0;
  if (sectors == 0 || sectors > ~uint64_t{0} / 512) return ~uint64_t{0};
  return sectors * 512;
}

int RecoveryRun::FolderFor(const std::vector<std::u16string>& folders, std::filesystem::path& shown,
                           std::string& error) {
  std::vector<std::string> names;
  shown = options_.outputFolder;
  for (const auto& part : folders) {
    names.push_back(ToUtf8(SanitizeName(part)));
    shown /= names.back();
  }
  if (!outputDir_ && !PrepareOutput(error)) return -1;
  if (names.empty()) return outputDir_.Get();
  if (currentDir_ && names == currentFolders_) return currentDir_.Get();
  currentDir_.Reset();
  currentFolders_.clear();
  UniqueFd dir;
  std::filesystem::path at = options_.outputFolder;
  for (const auto& name : names) {
    at /= name;
    std::string why;
    UniqueFd next = OutputGuard::OpenSubfolder(dir ? dir.Get() : outputDir_.Get(), name, why);
    if (!next) {
      error = at.string() + ": " + why;
      return -1;
    }
    dir = std::move(next);
  }
  currentDir_ = std::move(dir);
  currentFolders_ = std::move(names);
  return currentDir_.Get();
}

ItemReport RecoveryRun::Recover(const RecoveryItem& item) {
  ItemReport report;
  skipCurrent = false;
  FileEntry e = item.entry;
  ++filesDone;
  auto finish = [&](ItemResult result, std::string reason) {
    report.result = result;
    report.reason = std::move(reason);
    (result == ItemResult::kOk           ? ok
     : result == ItemResult::kIncomplete ? incomplete
     : result == ItemResult::kSkipped    ? skipped
                                         : failed)++;
    return report;
  };
  if (abortAll) return finish(ItemResult::kSkipped, "the run was aborted");
  std::string error;
  std::filesystem::path shownDir;
  const int dir = FolderFor(item.folders, shownDir, error);
  if (dir < 0) return finish(ItemResult::kFailed, error);
  if (e.IsFolder()) {
    // A folder is made with its contents' items; here only the folder itself.
    const std::string folderName = ToUtf8(SanitizeName(item.name));
    report.output = shownDir / folderName;
    std::string why;
    UniqueFd made = OutputGuard::OpenSubfolder(dir, folderName, why);
    return finish(made ? ItemResult::kOk : ItemResult::kFailed, made ? "" : report.output.string() + ": " + why);
  }

  std::u16string name;
  if (e.kind == kKindRaw && item.name.empty()) {
    char raw[32];
    std::snprintf(raw, sizeof raw, "%09u", item.rawNumber);
    name = FromLatin1(std::string(raw) + item.rawExtension);
  } else {
    name = SanitizeName(item.name);
    // The deleted-entry mark of FAT directories is no part of the name.
    if ((reader_.geometry.fsKind != FsKind::kNtfs) && !name.empty() && name[0] == u'?') name[0] = u'_';
  }
  const bool encrypted =
      (e.attributes & kAttributeEncrypted) != 0 && e.kind != kKindRaw && reader_.geometry.fsKind == FsKind::kNtfs;
  if (encrypted) name += u".efs";  // the raw export stream, for import where the key is

  // A damaged record may claim any size; no file of the volume holds more than the volume.
  const uint64_t cap = VolumeBytes();
  if (e.size > cap) {
    report.clippedBytes = e.size - cap;
    e.size = cap;
  }

  PendingFile file;
  std::filesystem::path finalPath;
  std::string nameUtf8 = ToUtf8(name);
  if (options_.joinMode) {
    if (!joinFile_.Active()) {
      joinName_ = ToUtf8(SanitizeName(options_.joinName));
      struct stat st {};
      if (::fstatat(outputDir_.Get(), joinName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return finish(ItemResult::kFailed, (options_.outputFolder / joinName_).string() + " already exists");
      if (!joinFile_.Create(outputDir_.Get(), error)) return finish(ItemResult::kFailed, error);
    }
    finalPath = options_.outputFolder / joinName_;
  } else {
    finalPath = shownDir / nameUtf8;
    struct stat st {};
    if (options_.blockDuplicates && ::fstatat(dir, nameUtf8.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      return finish(ItemResult::kSkipped, "a file of that name exists");
    if (!file.Create(dir, error)) return finish(ItemResult::kFailed, error + " (" + shownDir.string() + ")");
  }
  const int fd = options_.joinMode ? joinFile_.Fd() : file.Fd();
  report.output = finalPath;
  report.encrypted = encrypted;

  const uint64_t size = encrypted ? ~uint64_t{0} : uint64_t{e.size};
  FileSink sink(fd, size, *this, ui_, finalPath, options_.computeDigest);
  ReadOutcome outcome;
  if (e.size == 0 && !encrypted) {
    // Nothing to read: an empty file is complete even when the record has no data stream.
    outcome.ok = true;
  } else {
    outcome = ReadItemContent(reader_, e, sink);
  }
  report.unreadableSectors = outcome.unreadableSectors;
  // Ranges of the last piece may run past the file's end; the file ends there.
  for (auto range : outcome.unreadableRanges)
    if (range.offset < size)
      report.unreadableRanges.push_back({range.offset, std::min(range.length, size - range.offset)});
  report.incomplete = outcome.incomplete || report.clippedBytes != 0;
  const bool written = outcome.ok && sink.Finish() && sink.Error().empty();
  report.sha256 = sink.Digest();
  const std::string failure = !sink.Error().empty()    ? sink.Error()
                              : !outcome.error.empty() ? outcome.error
                                                       : "the read was stopped";
  std::string incompleteWhy;
  if (report.incomplete) {
    if (report.unreadableSectors != 0)
      incompleteWhy = std::to_string(report.unreadableSectors) + " sectors could not be read; they hold zeros";
    if (outcome.missingBytes != 0)
      incompleteWhy += std::string(incompleteWhy.empty() ? "" : "; ") + std::to_string(outcome.missingBytes) +
                       " bytes are beyond the data its record describes; they hold zeros";
    if (outcome.incomplete && incompleteWhy.empty()) incompleteWhy = "parts could not be read; they hold zeros";
    if (report.clippedBytes != 0)
      incompleteWhy += std::string(incompleteWhy.empty() ? "" : "; ") + "its recorded size is " +
                       std::to_string(report.clippedBytes) + " bytes larger than the volume; it was cut";
  }
  auto done = [&] {
    return report.incomplete ? finish(ItemResult::kIncomplete, incompleteWhy) : finish(ItemResult::kOk, "");
  };
  if (options_.joinMode) return written ? done() : finish(ItemResult::kFailed, failure);
  if (!written) {
    const bool skippedByUser = skipCurrent && sink.Error().empty();
    return finish(skippedByUser ? ItemResult::kSkipped : ItemResult::kFailed, failure);
  }
  // Times after the last write; RAW items have none.
  if (e.kind != kKindRaw) {
    timespec times[2];
    if (reader_.geometry.fsKind == FsKind::kNtfs) {
      NtfsTimes(reader_, e, times);
    } else if (reader_.geometry.fsKind == FsKind::kExfat) {
      // Modification time in `time`, access time in `recordSector` (FILETIMEs, UTC).
      times[1] = FiletimeToTimespec(e.time);
      times[0] = e.recordSector != 0 ? FiletimeToTimespec(e.recordSector) : times[1];
    } else {
      // FAT entries keep their write time as a FILETIME and their access date at 0x40.
      times[1] = FiletimeToTimespec(e.time);
      times[0] = e.parentHigh != 0 ? DosTimeToTimespec(e.parentHigh, 0) : times[1];
    }
    ::futimens(fd, times);
  }
  if ((e.attributes & kNtfsReadOnly) && reader_.geometry.fsKind == FsKind::kNtfs) ::fchmod(fd, 0444);
  // The finished file gets its name without replacing anything there.
  for (unsigned n = 0; n <= kMaxNumberedNames; ++n) {
    if (n > 0 && options_.blockDuplicates) break;
    const std::string chosen = n == 0 ? nameUtf8 : ToUtf8(NumberedName(name, n));
    switch (file.Commit(chosen, error)) {
      case PendingFile::CommitResult::kDone:
        report.output = shownDir / chosen;
        return done();
      case PendingFile::CommitResult::kFailed:
        return finish(ItemResult::kFailed, error);
      case PendingFile::CommitResult::kExists:
        break;
    }
  }
  return finish(options_.blockDuplicates ? ItemResult::kSkipped : ItemResult::kFailed, "a file of that name exists");
}

void RecoveryRun::Begin() {
  abortAll = false;
  skipCurrent = false;
  if (options_.scanCommand) scanPause_.Pause(options_.scanCommand);
}

bool RecoveryRun::Finish(std::string* error) {
  bool named = true;
  if (joinFile_.Active()) {
    std::string why;
    if (abortAll) {
      joinFile_.Discard();
    } else {
      const PendingFile::CommitResult r = joinFile_.Commit(joinName_, why);
      if (r != PendingFile::CommitResult::kDone) {
        named = false;
        if (error != nullptr)
          *error = r == PendingFile::CommitResult::kExists
                       ? (options_.outputFolder / joinName_).string() + " already exists"
                       : why;
        joinFile_.Discard();
      }
    }
  }
  scanPause_.Resume();
  return named;
}

}  // namespace torvane::recovery
