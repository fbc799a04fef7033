#include "recovery/recovery_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "disk/image_creator.h"
#include "fs/ntfs/mft_record.h"
#include "fs/ntfs/ntfs_volume.h"
#include "util/bytes.h"
#include "util/sha256.h"
#include "util/text.h"

namespace torvane::recovery {
namespace {

constexpr size_t kMaxNameBytes = 255;  // the longest file name Linux file systems take
constexpr unsigned kMaxNumberedNames = 101;
constexpr uint32_t kNtfsReadOnly = 0x01;

std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    uint32_t c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    if (extra) c &= (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < s.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

// FILETIME (100 ns since 1601) to a Unix time.
timespec FromFiletime(uint64_t filetime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  timespec t{};
  if (filetime < kUnixEpoch) return t;
  t.tv_sec = static_cast<time_t>((filetime - kUnixEpoch) / 10000000);
  t.tv_nsec = static_cast<long>((filetime - kUnixEpoch) % 10000000 * 100);
  return t;
}

// DOS date and time (taken as UTC) to a Unix time.
timespec FromDos(uint32_t date, uint32_t time) {
  struct tm t {};
  t.tm_mday = std::max<int>(1, date & 0x1F);
  t.tm_mon = std::max<int>(1, (date >> 5) & 0x0F) - 1;
  t.tm_year = static_cast<int>((date >> 9) & 0x7F) + 80;
  t.tm_hour = (time >> 11) & 0x1F;
  t.tm_min = (time >> 5) & 0x3F;
  timespec out{};
  out.tv_sec = timegm(&t);
  return out;
}

// Creation, modification and access times of an NTFS item from its record's
// $STANDARD_INFORMATION; the entry's own time when the record cannot be read.
void NtfsTimes(ReaderContext& ctx, const FileEntry& e, timespec times[2]) {
  times[0] = times[1] = FromFiletime(e.time);
  if (ctx.ntfs == nullptr) return;
  std::vector<std::byte> record((ctx.ntfs->RecordBytes() + 511) / 512 * 512);
  if (record.empty() || ctx.source.ReadSectors(record.data(), static_cast<uint32_t>(record.size() / 512), e.recordSector) != 1)
    return;
  record.resize(ctx.ntfs->RecordBytes());
  if (!ntfs::ApplyFixups(record, 512)) return;
  auto si = ntfs::FindAttribute(record, ntfs::kAttrStandardInformation, false);
  if (!si) return;
  auto value = ntfs::ResidentValue(record, *si);
  if (value.size() < 0x20) return;
  times[1] = FromFiletime(LeU64(value, 0x08));  // modification
  times[0] = FromFiletime(LeU64(value, 0x18));  // access
}

}  // namespace

bool FileSink::WriteChunk(std::span<const std::byte> data) {
  if (run_.abortAll || run_.skipCurrent) return false;
  // Never more than the item's size.
  if (written_ >= size_) return true;
  data = data.subspan(0, std::min<uint64_t>(data.size(), size_ - written_));
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
  if (digest_) hash_.Update(data);
  written_ += data.size();
  run_.bytesWritten += data.size();
  if (run_.progress) run_.progress(shown_, written_, size_);
  return true;
}

bool FileSink::Restart() {
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return false;
  run_.bytesWritten -= written_;
  written_ = 0;
  hash_ = Sha256();
  return true;
}

std::u16string SanitizeName(std::u16string_view name) {
  std::u16string out(name.substr(0, 512));
  for (size_t i = 0; i < out.size(); ++i) {
    char16_t& c = out[i];
    if (c < 32 || std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos) c = u' ';
    // A lone surrogate has no UTF-8 form.
    const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && (i + 1 >= out.size() || out[i + 1] < 0xDC00 || out[i + 1] > 0xDFFF)) c = 0xFFFD;
    else if (high) ++i;
    else if (low) c = 0xFFFD;
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
    : reader_(reader), options_(std::move(options)), ui_(ui) {}

bool RecoveryRun::IsSourceFile(const std::filesystem::path& path) const {
  return torvane::IsSourceFile(reader_.source, path);
}

bool RecoveryRun::PrepareOutput(std::string& error) {
  std::error_code ec;
  if (IsSourceFile(options_.outputFolder)) {
    error = kSourceDriveText;
    return false;
  }
  std::filesystem::create_directories(options_.outputFolder, ec);
  if (!std::filesystem::is_directory(options_.outputFolder, ec)) {
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
  if (!folder) bytesTotal += static_cast<double>(uint64_t{e.size});
}

std::filesystem::path RecoveryRun::FolderFor(const RecoveryItem& item, std::string& error) {
  std::filesystem::path dir = options_.outputFolder;
  for (const auto& part : item.folders) dir /= ToUtf8(SanitizeName(part));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir, ec)) error = "cannot create the folder " + dir.string();
  return dir;
}

ItemReport RecoveryRun::Recover(const RecoveryItem& item) {
  ItemReport report;
  skipCurrent = false;
  const FileEntry e = item.entry;
  ++filesDone;
  auto finish = [&](ItemResult result, std::string reason) {
    report.result = result;
    report.reason = std::move(reason);
    (result == ItemResult::kOk ? ok : result == ItemResult::kSkipped ? skipped : failed)++;
    return report;
  };
  if (abortAll) return finish(ItemResult::kSkipped, "the run was aborted");
  std::string error;
  std::filesystem::path dir = FolderFor(item, error);
  if (!error.empty()) return finish(ItemResult::kFailed, error);
  if (e.IsFolder()) {
    // A folder is made with its contents' items; here only the folder itself.
    report.output = dir / ToUtf8(SanitizeName(item.name));
    std::error_code ec;
    std::filesystem::create_directories(report.output, ec);
    return finish(std::filesystem::is_directory(report.output, ec) ? ItemResult::kOk : ItemResult::kFailed,
                  ec ? ec.message() : "");
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
  const bool encrypted = (e.attributes & kAttributeEncrypted) != 0 && e.kind != kKindRaw;
  if (encrypted) name += u".efs";  // the raw export stream, for import where the key is

  int fd = -1;
  std::filesystem::path temp, finalPath;
  if (options_.joinMode) {
    if (joinFd_ < 0) {
      joinPath_ = options_.outputFolder / ToUtf8(SanitizeName(options_.joinName));
      joinFd_ = ::open(joinPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (joinFd_ < 0) return finish(ItemResult::kFailed, "cannot create " + joinPath_.string());
    }
    fd = joinFd_;
    finalPath = joinPath_;
  } else {
    finalPath = dir / ToUtf8(name);
    std::error_code ec;
    if (options_.blockDuplicates && std::filesystem::exists(finalPath, ec))
      return finish(ItemResult::kSkipped, "a file of that name exists");
    if (IsSourceFile(finalPath)) return finish(ItemResult::kFailed, "it would overwrite the disk being read");
    static std::atomic<uint64_t> counter{0};
    temp = dir / (".torvane-partial-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return finish(ItemResult::kFailed, "cannot create a file in " + dir.string() + ": " + std::strerror(errno));
  }
  report.output = finalPath;
  report.encrypted = encrypted;

  const uint64_t size = encrypted ? ~uint64_t{0} : uint64_t{e.size};
  FileSink sink(fd, size, *this, ui_, finalPath, options_.computeDigest);
  const ReadOutcome outcome = ReadItemContent(reader_, e, sink);
  report.incomplete = outcome.incomplete;
  const bool written = outcome.ok && sink.Error().empty();
  if (options_.joinMode) {
    report.sha256 = sink.Digest();
    return finish(written ? ItemResult::kOk : ItemResult::kFailed, written ? "" : sink.Error().empty() ? outcome.error : sink.Error());
  }
  if (!written) {
    ::close(fd);
    ::unlink(temp.c_str());
    const bool skippedByUser = skipCurrent && sink.Error().empty();
    return finish(skippedByUser ? ItemResult::kSkipped : ItemResult::kFailed,
                  !sink.Error().empty() ? sink.Error() : outcome.error.empty() ? "the read was stopped" : outcome.error);
  }
  // Times after the last write; RAW items have none.
  if (e.kind != kKindRaw) {
    timespec times[2];
    if (reader_.geometry.fsKind == FsKind::kNtfs) {
      NtfsTimes(reader_, e, times);
    } else if (reader_.geometry.fsKind == FsKind::kExfat) {
      const uint32_t stamp = static_cast<uint32_t>(uint64_t{e.time});
      times[0] = times[1] = FromDos(stamp >> 16, stamp & 0xFFFF);
    } else {
      times[0] = times[1] = FromDos(static_cast<uint32_t>(uint64_t{e.time}) & 0xFFFF, 0);
    }
    ::futimens(fd, times);
  }
  if ((e.attributes & kNtfsReadOnly) && reader_.geometry.fsKind == FsKind::kNtfs) ::fchmod(fd, 0444);
  report.sha256 = sink.Digest();
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    return finish(ItemResult::kFailed, std::string("write error: ") + std::strerror(errno));
  }
  // Move the finished file to its name without replacing anything there.
  std::u16string chosen = name;
  for (unsigned n = 0; n <= kMaxNumberedNames; ++n) {
    if (n > 0) {
      if (options_.blockDuplicates) break;
      chosen = NumberedName(name, n);
    }
    finalPath = dir / ToUtf8(chosen);
    if (::link(temp.c_str(), finalPath.c_str()) == 0) {
      ::unlink(temp.c_str());
      report.output = finalPath;
      return finish(ItemResult::kOk, "");
    }
    if (errno != EEXIST) {
      // No hard links on this file system: rename, after making sure nothing is replaced.
      std::error_code ec;
      if (!std::filesystem::exists(finalPath, ec) && ::rename(temp.c_str(), finalPath.c_str()) == 0) {
        report.output = finalPath;
        return finish(ItemResult::kOk, "");
      }
    }
  }
  ::unlink(temp.c_str());
  return finish(options_.blockDuplicates ? ItemResult::kSkipped : ItemResult::kFailed, "a file of that name exists");
}

void RecoveryRun::Begin() {
  abortAll = false;
  skipCurrent = false;
  if (options_.scanCommand) pausedScan_ = options_.scanCommand(true);
}

void RecoveryRun::Finish() {
  if (joinFd_ >= 0) ::close(joinFd_);
  joinFd_ = -1;
  if (pausedScan_ && options_.scanCommand) options_.scanCommand(false);
  pausedScan_ = false;
}

}  // namespace torvane::recovery
