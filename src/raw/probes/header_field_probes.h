// Files whose size stands in a fixed field of their first sector (RIFF, SWF, 7z, CAB, AU,
// CHM, DBX, PST, DCU, HLP, ACP, PFX, TGA), and two that are measured by a short walk (PCX
// run-length data, the Matroska segment).
#pragma once

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

bool AcceptAll(ProbeContext& ctx);

uint64_t SizeSwf(ProbeContext& ctx);
// RIFF files by their form type: WEBP, WAVE, "AVI " + LIST, CDXA + "fmt ", CDR*. Each
// entry's probe accepts only its own form.
uint64_t SizeRiffWebp(ProbeContext& ctx);
uint64_t SizeRiffWav(ProbeContext& ctx);
uint64_t SizeRiffAvi(ProbeContext& ctx);
uint64_t SizeRiffCdxa(ProbeContext& ctx);
uint64_t SizeRiffCdr(ProbeContext& ctx);
// 7z: the start header's checksum must hold; 32 + next-header offset + next-header size.
bool Confirm7z(ProbeContext& ctx);
uint64_t Size7z(ProbeContext& ctx);
uint64_t SizeCab(ProbeContext& ctx);
// IFF "FORM" files: the big-endian length + 8, for AIFF/AIFC audio and LightWave objects.
uint64_t SizeFormAiff(ProbeContext& ctx);
uint64_t SizeFormLwo(ProbeContext& ctx);
uint64_t SizeAu(ProbeContext& ctx);
bool ConfirmChm(ProbeContext& ctx);
uint64_t SizeChm(ProbeContext& ctx);
uint64_t SizeDbx(ProbeContext& ctx);
// PST: the end-of-file field of the header, 32-bit in ANSI files and 64-bit in Unicode ones.
uint64_t SizePst(ProbeContext& ctx);
uint64_t SizeDcu(ProbeContext& ctx);
uint64_t SizeHlp(ProbeContext& ctx);
uint64_t SizeAcp(ProbeContext& ctx);
uint64_t SizePfx(ProbeContext& ctx);
bool ConfirmTga(ProbeContext& ctx);
uint64_t SizeTga(ProbeContext& ctx);
bool ConfirmPcx(ProbeContext& ctx);
uint64_t SizePcx(ProbeContext& ctx);
// Matroska: "matroska" or "webm" as the document type; the EBML header and the segment's
// coded size. A segment of unknown size (live recordings) is walked by its top-level
// elements and the result is estimated.
bool ConfirmMkv(ProbeContext& ctx);
uint64_t SizeMkv(ProbeContext& ctx);

}  // namespace torvane::probes
