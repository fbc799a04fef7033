#include "raw/probes/identify.h"

#include <algorithm>
#include <array>
#include <vector>

#include "raw/probes/iso_media_probes.h"
#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

enum class Outcome { kRejected, kUnmeasured, kMeasured };

// One entry through its probes. kUnmeasured: the entry takes the bytes but has no size
// probe (yet), so it answers only when no other entry measures them.
Outcome TryEntry(ProbeContext& ctx, const FileTypeEntry& entry, Identification& out) {
  ctx.entry = &entry;
  ctx.ResetOutputs();
  if (entry.confirmProbe != nullptr && !entry.confirmProbe(ctx)) return Outcome::kRejected;
  if (entry.sizeProbe == nullptr) return Outcome::kUnmeasured;
  const uint64_t size = entry.sizeProbe(ctx);
  if (size == 0) return Outcome::kRejected;
  const uint64_t available = AvailableBytes(ctx);
  out.entry = ctx.refinedEntry != nullptr ? ctx.refinedEntry : &entry;
  out.size = std::min(size, available);
  out.estimated = ctx.sizeEstimated || size > available;
  out.nameSuffix = ctx.nameSuffix;
  return Outcome::kMeasured;
}

// An entry nothing measured: its maximum size, cut to what is there, is a cap.
Identification Unmeasured(const ProbeContext& ctx, const FileTypeEntry& entry) {
  Identification out;
  out.entry = &entry;
  if (entry.maximumSize != 0) {
    out.size = std::min<uint64_t>(entry.maximumSize, AvailableBytes(ctx));
    out.estimated = true;
  }
  return out;
}

}  // namespace

Identification Identify(ProbeContext& ctx) {
  std::array<const FileTypeEntry*, 32> found{};
  const size_t count = std::min(FileTypesWithSignature(ctx.firstSector, found), found.size());
  std::stable_sort(found.begin(), found.begin() + count, [](const FileTypeEntry* a, const FileTypeEntry* b) {
    return a->signature.length > b->signature.length;
  });
  Identification out;
  const FileTypeEntry* unmeasured = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const Outcome o = TryEntry(ctx, *found[i], out);
    if (o == Outcome::kMeasured) return out;
    if (o == Outcome::kUnmeasured && unmeasured == nullptr) unmeasured = found[i];
  }
  // Files without a signature of their own (the ISO base-media family, transport streams,
  // ACE) are named by the fallback probe, then measured by their entry's probes.
  ctx.ResetOutputs();
  if (const FileTypeEntry* entry = IsoMediaFallback(ctx)) {
    const Outcome o = TryEntry(ctx, *entry, out);
    if (o == Outcome::kMeasured) return out;
    if (o == Outcome::kUnmeasured && unmeasured == nullptr) unmeasured = entry;
  }
  if (unmeasured != nullptr) {
    ctx.entry = unmeasured;
    ctx.ResetOutputs();
    return Unmeasured(ctx, *unmeasured);
  }
  ctx.entry = nullptr;
  ctx.ResetOutputs();
  return {};
}

Identification IdentifyAt(const SectorReader& read, uint64_t sector, uint32_t bytesPerSector, uint64_t bytesAvailable) {
  if (bytesPerSector < 512 || bytesPerSector > 65536 || !IsPowerOfTwo(bytesPerSector) || !read) return {};
  std::vector<std::byte> first(bytesPerSector);
  if (!read(sector, 1, first.data())) return {};
  ProbeContext ctx;
  ctx.firstSector = first;
  ctx.sector = sector;
  ctx.bytesPerSector = bytesPerSector;
  ctx.read = &read;
  ctx.bytesAvailable = bytesAvailable;
  return Identify(ctx);
}

}  // namespace torvane::probes
