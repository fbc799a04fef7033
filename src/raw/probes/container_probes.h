// Executables and the remaining containers, each measured from its own structures: PE
// executables and libraries, RAR (versions 4 and 5), DDS textures, ACE archives, PDF, PNG,
// GIF, BMP, JPEG 2000 codestreams, Fuji RAF and Paint Shop Pro images.
#pragma once

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

// "MZ" with a PE header (or a plain DOS program for the EXE entry). The end is the larger
// of the last section's raw end and the end of the security directory (signatures and
// installer overlays lie beyond the sections). The EXE probe refuses libraries, the DLL
// probe accepts only them.
bool ConfirmMz(ProbeContext& ctx);
uint64_t SizeExe(ProbeContext& ctx);
uint64_t SizeDll(ProbeContext& ctx);
// An icon library is a 16-bit "NE" executable; it is named, not measured.
bool ConfirmIcl(ProbeContext& ctx);
// RAR 4 blocks (with their 64-bit packed sizes) and RAR 5 headers (variable-length
// integers), walked to the end-of-archive block.
bool ConfirmRar(ProbeContext& ctx);
uint64_t SizeRar(ProbeContext& ctx);
// 128 (+20 with the DX10 header) + every face of every mipmap level of every depth slice.
bool ConfirmDds(ProbeContext& ctx);
uint64_t SizeDds(ProbeContext& ctx);
// ACE: the main header "**ACE**", then file headers and their packed data.
bool ConfirmAce(ProbeContext& ctx);
uint64_t SizeAce(ProbeContext& ctx);
// PDF: to the end of the last "%%EOF" line that is not followed by an incremental update.
bool ConfirmPdf(ProbeContext& ctx);
uint64_t SizePdf(ProbeContext& ctx);
// PNG chunks to IEND; GIF blocks to the trailer; BMP by its size field.
bool ConfirmPng(ProbeContext& ctx);
uint64_t SizePng(ProbeContext& ctx);
bool ConfirmGif(ProbeContext& ctx);
uint64_t SizeGif(ProbeContext& ctx);
bool ConfirmBmp(ProbeContext& ctx);
uint64_t SizeBmp(ProbeContext& ctx);
// A JPEG 2000 codestream: its main header's markers, its tile-parts by their lengths, up
// to the end-of-codestream marker.
bool ConfirmJ2k(ProbeContext& ctx);
uint64_t SizeJ2k(ProbeContext& ctx);
// Fuji RAF: the end of the furthest of its JPEG preview, CFA header and CFA data.
bool ConfirmRaf(ProbeContext& ctx);
uint64_t SizeRaf(ProbeContext& ctx);
// Paint Shop Pro images: the main blocks ("~BK\0", an identifier and their length) after the
// 36-byte header, to the first that is not one.
bool ConfirmPsp(ProbeContext& ctx);
uint64_t SizePsp(ProbeContext& ctx);

}  // namespace torvane::probes
