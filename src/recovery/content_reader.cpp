#include "recovery/content_reader.h"

#include <algorithm>

#include "fs/fat/fat_content.h"
#include "fs/file_system.h"
#include "fs/ntfs/ntfs_content.h"

namespace torvane::recovery {
namespace {

ReadOutcome ReadWindow(ReaderContext& ctx, const FileEntry& item, uint64_t first, uint64_t last, ReaderSink& sink) {
  ReadOutcome outcome;
  ContentWindow out(sink, first, last);
  bool ok = false;
  if (item.kind == kKindRaw) {
    // One extent of `size` bytes from the sector in dataStart.
    const uint64_t size = item.size;
    std::vector<std::byte> buffer(kTransferBytes);
    uint64_t sector = item.dataStart;
    ok = true;
    while (out.Position() < size && !out.Done()) {
      if (Cancelled(ctx)) {
        ok = false;
        break;
      }
      const uint64_t bytes = std::min<uint64_t>(buffer.size(), size - out.Position());
      const uint32_t sectors = static_cast<uint32_t>((bytes + 511) / 512);
      const ReadResult r = ctx.source.Read(buffer.data(), sectors, sector);
      if (!r) std::fill(buffer.begin(), buffer.end(), std::byte{0});
      NoteUnreadable(r, sectors, outcome, out.Position());
      if (!out.Feed({buffer.data(), bytes})) {
        ok = false;
        break;
      }
      sector += sectors;
    }
  } else if (ctx.fileSystem != nullptr) {
    ok = ctx.fileSystem->ReadItem(ctx, item, out, outcome);
  } else if (ctx.geometry.fsKind == FsKind::kNtfs) {
    ok = ntfs::ReadNtfsItem(ctx, item, out, outcome);
  } else {
    ok = fat::ReadFatItem(ctx, item, out, outcome);
  }
  outcome.delivered = out.delivered_;
  outcome.stopped = outcome.stopped || out.stopped_ || Cancelled(ctx);
  outcome.ok = ok && !outcome.stopped && outcome.error.empty();
  if (!ok && outcome.error.empty() && !outcome.stopped) outcome.error = "the file could not be read";
  return outcome;
}

}  // namespace

ReadOutcome ReadItemContent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink) {
  return ReadWindow(ctx, item, 0, ~uint64_t{0}, sink);
}

ReadOutcome ReadItemRange(ReaderContext& ctx, const FileEntry& item, uint64_t first, uint64_t last, ReaderSink& sink) {
  if (first > last) return {};
  return ReadWindow(ctx, item, first, last, sink);
}

ReadOutcome ReadExtent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink) {
  FileEntry raw = item;
  raw.kind = kKindRaw;
  return ReadWindow(ctx, raw, 0, ~uint64_t{0}, sink);
}

bool ReadItemToMemory(ReaderContext& ctx, const FileEntry& item, uint64_t limit, std::vector<std::byte>& out) {
  const uint64_t size = limit != 0 ? limit : uint64_t{item.size};
  if (size > kMaxMemoryRead || size > item.size) return false;
  out.clear();
  if (size == 0) return true;
  MemorySink sink(size);
  const ReadOutcome r = ReadItemRange(ctx, item, 0, size == 0 ? 0 : size - 1, sink);
  out = std::move(sink.Bytes());
  return r.delivered == size;
}

}  // namespace torvane::recovery
