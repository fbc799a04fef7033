#include "app/gui/explorer_files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "raw/probes/exif.h"
#include "recovery/recovery_writer.h"
#include "util/text.h"

namespace torvane::gui {
namespace {

bool IsJpegStart(ByteSpan b) {
  return b.size() >= 3 && b[0] == std::byte{0xFF} && b[1] == std::byte{0xD8} && b[2] == std::byte{0xFF};
}

ByteSpan Thumbnail(ByteSpan tiff, const probes::ExifInfo& info) {
  if (info.thumbnailLength == 0) return {};
  const ByteSpan thumb = tiff.subspan(info.thumbnailOffset, info.thumbnailLength);
  return IsJpegStart(thumb) ? thumb : ByteSpan{};
}

bool WriteAll(int fd, ByteSpan bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

ByteSpan FindJpegMiniature(ByteSpan file) {
  probes::ExifInfo info;
  if (file.size() >= 4 && ((file[0] == std::byte{'I'} && file[1] == std::byte{'I'}) ||
                           (file[0] == std::byte{'M'} && file[1] == std::byte{'M'})))
    return probes::ParseExifTiff(file, info) ? Thumbnail(file, info) : ByteSpan{};
  if (!IsJpegStart(file)) return {};
  // The marker segments up to the start of the scan; the first EXIF block names the miniature.
  size_t at = 2;
  while (at + 4 <= file.size() && file[at] == std::byte{0xFF}) {
    const auto marker = static_cast<uint8_t>(file[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      at += 2;
      continue;
    }
    const size_t length = (size_t{static_cast<uint8_t>(file[at + 2])} << 8) | static_cast<uint8_t>(file[at + 3]);
    if (length < 2) break;
    const ByteSpan payload = file.subspan(at + 4, std::min(length - 2, file.size() - (at + 4)));
    if (marker == 0xE1 && probes::ParseExifApp1(payload, info)) {
      const ByteSpan thumb = Thumbnail(payload.subspan(6), info);
      if (!thumb.empty()) return thumb;
    }
    at += 2 + length;
  }
  return {};
}

std::optional<std::filesystem::path> WriteNewFile(const OutputGuard& guard, const std::filesystem::path& folder,
                                                  std::u16string name, ByteSpan bytes, std::string& error) {
  const UniqueFd dir = guard.OpenOutputFolder(folder, error);
  if (!dir.Valid()) return std::nullopt;
  PendingFile file;
  if (!file.Create(dir.Get(), error)) return std::nullopt;
  if (!WriteAll(file.Fd(), bytes)) {
    error = "cannot write into " + folder.string();
    return std::nullopt;
  }
  name = recovery::SanitizeName(name);
  for (unsigned n = 0; n <= 101; ++n) {
    const std::string chosen = ToUtf8(n == 0 ? name : recovery::NumberedName(name, n));
    switch (file.Commit(chosen, error)) {
      case PendingFile::CommitResult::kDone:
        return folder / chosen;
      case PendingFile::CommitResult::kFailed:
        return std::nullopt;
      case PendingFile::CommitResult::kExists:
        break;
    }
  }
  error = "a file of that name exists in " + folder.string();
  return std::nullopt;
}

std::optional<std::filesystem::path> WriteActivityFile(const OutputGuard& guard, const std::filesystem::path& folder,
                                                       std::string& error) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const auto ticks =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  char name[64];
  std::snprintf(name, sizeof name, "torvane_%i-%02i-%02i_%08X.TXT", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, static_cast<unsigned>(ticks));
  static constexpr char kHeader[] = "\r\nSER_INDEX:\r\n\r\n";
  const std::string text(kHeader);
  return WriteNewFile(guard, folder, FromUtf8(name), std::as_bytes(std::span(text)), error);
}

}  // namespace torvane::gui
