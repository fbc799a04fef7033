// Fuzz entry points for the file-type probes: the bytes are a candidate on a disk (its first
// sector and what follows), each probe of a family runs on them, and a size beyond what the
// disk holds is a fault like a crash.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "raw/probes/compound_file_probes.h"
#include "raw/probes/container_probes.h"
#include "raw/probes/header_field_probes.h"
#include "raw/probes/identify.h"
#include "raw/probes/iso_media_probes.h"
#include "raw/probes/zip_probes.h"

namespace torvane::fuzz {
namespace {

struct Probe {
  ConfirmProbe confirm;
  SizeProbe size;
};

void RunProbes(const uint8_t* data, size_t size, std::initializer_list<Probe> probes) {
  std::vector<std::byte> disk((size + 511) / 512 * 512 + (size == 0 ? 512 : 0));
  if (size != 0) std::memcpy(disk.data(), data, size);
  const SectorReader read = [&](uint64_t sector, uint32_t count, std::byte* out) {
    if (sector > disk.size() / 512 || count > disk.size() / 512 - sector) return false;
    std::memcpy(out, disk.data() + sector * 512, size_t{count} * 512);
    return true;
  };
  // Once as a whole volume, once with the volume ending in the middle of the bytes.
  for (const uint64_t available : {uint64_t{size}, uint64_t{size / 2 + 1}}) {
    ProbeContext ctx;
    ctx.firstSector = ByteSpan(disk.data(), 512);
    ctx.read = &read;
    ctx.bytesAvailable = available;
    for (const Probe& p : probes) {
      ctx.ResetOutputs();
      if (p.confirm != nullptr && !p.confirm(ctx)) continue;
      if (p.size(ctx) > std::max<uint64_t>(available, 512)) std::abort();
    }
    const probes::Identification id = probes::Identify(ctx);
    if (id.size && *id.size > std::max<uint64_t>(available, 512)) std::abort();
  }
}

}  // namespace

int FuzzHeaderFieldProbes(const uint8_t* data, size_t size) {
  using namespace probes;
  RunProbes(data, size,
            {{nullptr, SizeSwf},      {nullptr, SizeRiffWebp}, {nullptr, SizeRiffWav}, {nullptr, SizeRiffAvi},
             {nullptr, SizeRiffCdxa}, {nullptr, SizeRiffCdr},  {Confirm7z, Size7z},    {nullptr, SizeCab},
             {nullptr, SizeFormAiff}, {nullptr, SizeFormLwo},  {nullptr, SizeAu},      {ConfirmChm, SizeChm},
             {nullptr, SizeDbx},      {nullptr, SizePst},      {nullptr, SizeDcu},     {nullptr, SizeHlp},
             {nullptr, SizeAcp},      {nullptr, SizePfx},      {ConfirmTga, SizeTga},  {ConfirmPcx, SizePcx},
             {ConfirmMkv, SizeMkv}});
  return 0;
}

int FuzzIsoMediaProbes(const uint8_t* data, size_t size) {
  RunProbes(data, size, {{probes::ConfirmIsoMedia, probes::SizeIsoMedia}});
  return 0;
}

int FuzzZipProbes(const uint8_t* data, size_t size) {
  RunProbes(data, size, {{probes::ConfirmZip, probes::SizeZip}});
  return 0;
}

int FuzzCompoundFileProbes(const uint8_t* data, size_t size) {
  RunProbes(data, size, {{probes::ConfirmCompoundFile, probes::SizeCompoundFile}});
  return 0;
}

int FuzzContainerProbes(const uint8_t* data, size_t size) {
  using namespace probes;
  RunProbes(data, size,
            {{ConfirmMz, SizeExe},
             {ConfirmMz, SizeDll},
             {ConfirmRar, SizeRar},
             {ConfirmDds, SizeDds},
             {ConfirmAce, SizeAce},
             {ConfirmPdf, SizePdf},
             {ConfirmPng, SizePng},
             {ConfirmGif, SizeGif},
             {ConfirmBmp, SizeBmp},
             {ConfirmJ2k, SizeJ2k},
             {ConfirmRaf, SizeRaf},
             {ConfirmPsp, SizePsp}});
  return 0;
}

}  // namespace torvane::fuzz
