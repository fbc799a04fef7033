// Streams: MP3 audio, MPEG program and transport streams and MXF. Each size probe walks the
// stream frame by frame, packet by packet or item by item from the candidate on, reading
// further through the disk, and answers the length of the continuous stream (header detect
// skips it). A stream that breaks at its start is rejected.
#pragma once

#include <cstdint>
#include <string>

#include "raw/catalogue/file_type_catalogue.h"
#include "util/bytes.h"

namespace torvane::probes {

// The fewest MPEG audio frames an MP3 must have.
inline constexpr uint32_t kMp3MinFrames = 16;
// How far after an ID3v2 tag the first frame is looked for.
inline constexpr uint32_t kMp3SyncSearch = 12288;

// The length of the MPEG audio frame whose header is `header` (big-endian, as it stands);
// 0 when it is not a valid frame header (sync bits, version, layer, bitrate and sample-rate
// indexes).
uint32_t MpegAudioFrameLength(uint32_t header);

// The artist and title of an ID3v2 tag (TPE1, TIT2; TP1, TT2 in version 2 tags) as
// "artist - title", or the one that is there, in UTF-8; empty when neither is. `tag` holds
// the tag from its "ID3" header on (as much of it as was read).
std::string Id3ArtistTitle(ByteSpan tag);

// MP3 (entries 59 to 61): an ID3v2 tag (versions 2 to 4) or a valid frame header at the
// start.
bool ConfirmMp3(ProbeContext& ctx);
// The tag (its artist and title become the name suffix), the frames that follow it (at least
// kMp3MinFrames, all of one version, layer and sample rate) and a trailing ID3v1 tag
// ("TAG", with "TAG+" before it). A tag without frames within kMp3SyncSearch after it is
// measured alone, rounded up to whole sectors, and not skipped.
uint64_t SizeMp3(ProbeContext& ctx);

// MPEG program stream (entries 41, 151): pack headers (MPEG-1 and MPEG-2), system headers
// and PES packets, up to and with the end code; at least two packs.
bool ConfirmMpegPs(ProbeContext& ctx);
uint64_t SizeMpegPs(ProbeContext& ctx);

// MPEG transport stream (entries 40, 149, 171): 188-byte packets with the sync byte 0x47, or
// 192-byte packets (a 4-byte time stamp before each, as in M2TS/AVCHD files); at least four.
bool ConfirmMpegTs(ProbeContext& ctx);
uint64_t SizeMpegTs(ProbeContext& ctx);

// MXF (entry 150): starts with a partition pack; the key-length-value items are walked up to
// the random index pack or the first bytes that are no item.
bool ConfirmMxf(ProbeContext& ctx);
uint64_t SizeMxf(ProbeContext& ctx);

}  // namespace torvane::probes
