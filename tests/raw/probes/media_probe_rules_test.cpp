// The rules of the JPEG, TIFF/EXIF and stream probes on hand-made bytes: the cuts, the
// rejections and the bounds that real sample files do not reach.
#include <gtest/gtest.h>

#include "raw/probes/exif.h"
#include "raw/probes/jpeg_probe.h"
#include "raw/probes/probe_test_util.h"
#include "raw/probes/stream_probes.h"
#include "raw/probes/tiff_probe.h"

namespace torvane::probes {
namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, size_t at, std::initializer_list<uint8_t> values) {
  if (b.size() < at + values.size()) b.resize(at + values.size());
  for (uint8_t v : values) b[at++] = v;
}
void PutText(Bytes& b, size_t at, std::string_view text) {
  if (b.size() < at + text.size()) b.resize(at + text.size());
  for (char c : text) b[at++] = static_cast<uint8_t>(c);
}
void PutLe16(Bytes& b, size_t at, uint16_t v) {
  Put(b, at, {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
}
void PutLe32(Bytes& b, size_t at, uint32_t v) {
  Put(b, at,
      {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
       static_cast<uint8_t>(v >> 24)});
}

// SOI, a quantization table, a frame header, a scan header and `scan` bytes of entropy data.
Bytes Jpeg(size_t scan, bool end = true) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43};
  b.resize(b.size() + 0x41, 0x10);
  Put(b, b.size(), {0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x10, 0x01, 0x01, 0x11, 0x00});
  Put(b, b.size(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
  b.resize(b.size() + scan, 0x55);
  if (end) Put(b, b.size(), {0xFF, 0xD9});
  return b;
}

struct Measure {
  uint64_t size;
  ProbeContext ctx;
};

Measure Probed(SizeProbe probe, Bytes bytes, uint64_t available = UINT64_MAX) {
  test::ProbeDisk disk(std::move(bytes), available);
  const uint64_t size = probe(disk.ctx);
  EXPECT_LE(size, disk.ctx.bytesAvailable);
  return {size, disk.ctx};
}

TEST(JpegProbeTest, CutsRejectionsAndDamage) {
  const Bytes good = Jpeg(1000);
  EXPECT_EQ(Probed(SizeJpeg, good).size, good.size());
  EXPECT_EQ(Probed(SizeJpeg, good).ctx.skipBytes, 2u);  // the quantization table

  Bytes lossless = good;
  lossless[3] = 0xC3;
  EXPECT_EQ(Probed(SizeJpeg, lossless).size, 0u);
  Bytes motion = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'A', 'V', 'I', '1'};
  motion.resize(20);
  motion.insert(motion.end(), good.begin() + 2, good.end());
  EXPECT_EQ(Probed(SizeJpeg, motion).size, 0u);

  // A zeroed segment length: the picture up to it, not skipped.
  Bytes zeroed = good;
  zeroed[2 + 0x45 + 2] = 0;
  zeroed[2 + 0x45 + 3] = 0;
  const Measure z = Probed(SizeJpeg, zeroed);
  EXPECT_EQ(z.size, 2u + 0x45);
  EXPECT_EQ(z.ctx.resultCode, kProbeResultNoSkip);

  // No end marker: cut at 36 MiB, estimated and not skipped; or at the volume's end.
  const Measure cut = Probed(SizeJpeg, Jpeg(kJpegCut + 4096, false));
  EXPECT_EQ(cut.size, kJpegCut);
  EXPECT_TRUE(cut.ctx.sizeEstimated);
  EXPECT_EQ(cut.ctx.resultCode, kProbeResultNoSkip);
  const Bytes open = Jpeg(5000, false);
  const Measure atEnd = Probed(SizeJpeg, open);
  EXPECT_EQ(atEnd.size, open.size());
  EXPECT_TRUE(atEnd.ctx.sizeEstimated);

  // Not a chain of segments, or 32 bytes or less.
  Bytes broken = good;
  broken[2 + 0x45] = 0x12;
  EXPECT_EQ(Probed(SizeJpeg, broken).size, 0u);
  EXPECT_EQ(Probed(SizeJpeg, {0xFF, 0xD8, 0xFF, 0xD9}).size, 0u);
}

// An EXIF block whose first directory holds Make and Model at `valueAt`, big- or
// little-endian.
Bytes ExifTiff(bool bigEndian, uint32_t valueAt, uint16_t count = 2, uint32_t modelCount = 11) {
  Bytes t;
  const auto u16 = [&](size_t at, uint16_t v) {
    bigEndian ? Put(t, at, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}) : PutLe16(t, at, v);
  };
  const auto u32 = [&](size_t at, uint32_t v) {
    if (!bigEndian) return PutLe32(t, at, v);
    Put(t, at,
        {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
         static_cast<uint8_t>(v)});
  };
  PutText(t, 0, bigEndian ? std::string_view("MM\0*", 4) : std::string_view("II*\0", 4));
  u32(4, 8);
  u16(8, count);
  u16(10, kTiffTagMake), u16(12, 2), u32(14, 6), u32(18, valueAt);
  u16(22, kTiffTagModel), u16(24, 2), u32(26, modelCount), u32(30, valueAt + 6);
  u32(34, 0);
  PutText(t, 38, "");
  if (valueAt < 0x10000) {
    PutText(t, valueAt, std::string_view("Canon\0", 6));
    PutText(t, valueAt + 6, std::string_view("Canon EOS\0\0", 11));
  }
  return t;
}

TEST(ExifTest, OffsetsAndCountsAreCheckedAgainstTheBytesHeld) {
  for (bool big : {false, true}) {
    ExifInfo info;
    const Bytes t = ExifTiff(big, 40);
    ASSERT_TRUE(ParseExifTiff(AsBytes(t.data(), t.size()), info));
    EXPECT_EQ(info.make, "Canon");
    EXPECT_EQ(info.model, "Canon EOS");
    EXPECT_EQ(CameraName(info), "Canon EOS");
    // Values beyond the bytes held, a model count running past them, an entry count that
    // does not fit: nothing is read outside, the damaged values are simply absent.
    const Bytes far = ExifTiff(big, 0xFFFFFFF0);
    ASSERT_TRUE(ParseExifTiff(AsBytes(far.data(), far.size()), info));
    EXPECT_EQ(info.make, "");
    const Bytes longModel = ExifTiff(big, 40, 2, 0x7FFFFFFF);
    ASSERT_TRUE(ParseExifTiff(AsBytes(longModel.data(), longModel.size()), info));
    EXPECT_EQ(info.make, "Canon");
    EXPECT_EQ(info.model, "Canon EOS");  // the first 255 bytes up to the NUL
    const Bytes many = ExifTiff(big, 40, 0xFFFF);
    EXPECT_FALSE(ParseExifTiff(AsBytes(many.data(), many.size()), info));
    for (size_t n = 0; n < t.size(); ++n) {
      const Bytes prefix(t.begin(), t.begin() + static_cast<ptrdiff_t>(n));
      ParseExifTiff(AsBytes(prefix.data(), prefix.size()), info);
    }
  }
  ExifInfo named;
  named.make = "NIKON CORPORATION";
  named.model = "D700";
  EXPECT_EQ(CameraName(named), "NIKON CORPORATION D700");
}

// A little-endian TIFF whose first directory has `entries` entries (Make "SONY" first), each
// directory entry otherwise a harmless short.
Bytes Tiff(uint16_t entries, std::string_view make = "SONY", std::string_view model = "DSLR-A100") {
  Bytes b;
  PutText(b, 0, std::string_view("II*\0", 4));
  PutLe32(b, 4, 8);
  PutLe16(b, 8, entries);
  const uint32_t values = 8 + 2 + entries * 12u + 4;
  for (uint16_t i = 0; i < entries; ++i) {
    const size_t at = 10 + i * 12u;
    const uint16_t tag = i == 0 ? kTiffTagMake : i == 1 ? kTiffTagModel : static_cast<uint16_t>(40000 + i);
    PutLe16(b, at, tag);
    PutLe16(b, at + 2, i < 2 ? 2 : 3);
    PutLe32(b, at + 4,
            i == 0   ? static_cast<uint32_t>(make.size() + 1)
            : i == 1 ? static_cast<uint32_t>(model.size() + 1)
                     : 1);
    PutLe32(b, at + 8, i == 0 ? values : i == 1 ? values + 32 : 0);
  }
  PutLe32(b, values - 4, 0);
  PutText(b, values, make);
  PutText(b, values + 32, model);
  b.resize(values + 64, 0);
  return b;
}

TEST(TiffProbeTest, ClassifiesMeasuresAndRejects) {
  const Bytes sony = Tiff(64);
  const Measure m = Probed(SizeTiff, sony);
  EXPECT_EQ(m.size, sony.size() - 64 + 32 + 10);  // up to the end of the model text
  ASSERT_NE(m.ctx.refinedEntry, nullptr);
  EXPECT_EQ(m.ctx.refinedEntry->tag, "ARW");
  EXPECT_EQ(Probed(SizeTiff, Tiff(65)).size, 0u);  // more than 64 entries in the first directory

  // The first 128 KiB cannot be read: 131,072, estimated.
  const Measure unreadable = Probed(SizeTiff, sony, 1 << 20);
  EXPECT_EQ(unreadable.size, kTiffUnreadableSize);
  EXPECT_TRUE(unreadable.ctx.sizeEstimated);

  // Strips beyond what the volume holds: capped there, estimated.
  Bytes strips = Tiff(4);
  PutLe16(strips, 10 + 2 * 12, kTiffTagStripOffsets), PutLe16(strips, 12 + 2 * 12, 4), PutLe32(strips, 14 + 2 * 12, 1),
      PutLe32(strips, 18 + 2 * 12, 0x1000);
  PutLe16(strips, 10 + 3 * 12, kTiffTagStripByteCounts), PutLe16(strips, 12 + 3 * 12, 4),
      PutLe32(strips, 14 + 3 * 12, 1), PutLe32(strips, 18 + 3 * 12, 0x7FFF0000);
  const Measure far = Probed(SizeTiff, strips);
  EXPECT_EQ(far.size, strips.size());
  EXPECT_TRUE(far.ctx.sizeEstimated);

  struct Case {
    const char* make;
    const char* model;
    bool dng;
    const char* tag;
  };
  const Case cases[] = {
      {"SONY", "DSC-F828", false, "SRF"},
      {"SONY", "DSC-R1", false, "SR2"},
      {"SONY", "ILCE-7", false, "ARW"},
      {"EASTMAN KODAK COMPANY", "KODAK DC25", false, "K25"},
      {"Kodak", "DC50", false, "KDC"},
      {"Kodak", "DCS Pro 14N", false, "DCR"},
      {"Leaf", "Aptus 75", false, "MOS"},
      {"Mamiya-OP Co.,Ltd.", "ZD", false, "MEF"},
      {"GoPro", "HERO7", true, "GPR"},
      {"PENTAX", "K-5", true, "DNG"},
      {"SEIKO EPSON CORP.", "R-D1", false, "ERF"},
      {"Hasselblad", "H3D", false, "3FR"},
      {"Panasonic", "DMC-G1", false, "RW2"},
      {"SAMSUNG", "NX10", false, "SRW"},
      {"Canon", "Canon EOS 5D", false, "CR2"},
      {"", "", false, "TIF"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FileTypeByNumber(ClassifyTiff(c.make, c.model, c.dng, false))->tag, c.tag) << c.make;
  EXPECT_EQ(FileTypeByNumber(ClassifyTiff("", "", false, true))->tag, "CRW");
}

// MPEG-1 layer III frames of 128 kbit/s at 44.1 kHz (417 bytes each).
Bytes Mp3Frames(size_t count) {
  Bytes b;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = b.size();
    b.resize(at + 417, 0x11);
    Put(b, at, {0xFF, 0xFB, 0x90, 0x64});
  }
  return b;
}

TEST(Mp3ProbeTest, FramesTagsAndTheirLimits) {
  EXPECT_EQ(MpegAudioFrameLength(0xFFFB9064), 417u);
  EXPECT_EQ(MpegAudioFrameLength(0xFFFB9264), 418u);                        // padding
  EXPECT_EQ(MpegAudioFrameLength(0xFFF39064), 72u * 80000 / 22050);         // MPEG-2: half
  EXPECT_EQ(MpegAudioFrameLength(0xFFFF9064), (12u * 288000 / 44100) * 4);  // layer I
  EXPECT_EQ(MpegAudioFrameLength(0xFFFBF064), 0u);                          // bitrate 15
  EXPECT_EQ(MpegAudioFrameLength(0xFFEB9064), 0u);                          // reserved version

  // Without an ID3 tag: the frames themselves.
  EXPECT_EQ(Probed(SizeMp3, Mp3Frames(16)).size, 16u * 417);
  EXPECT_EQ(Probed(SizeMp3, Mp3Frames(15)).size, 0u);
  Bytes tagged = Mp3Frames(20);
  PutText(tagged, tagged.size(), "TAG");
  tagged.resize(tagged.size() + 125, ' ');
  EXPECT_EQ(Probed(SizeMp3, tagged).size, tagged.size());

  // A v2.2 tag with a UTF-16 title and no frames after it: the tag alone, whole sectors, not
  // skipped. Its title is cleaned for a file name.
  Bytes id3 = {'I', 'D', '3', 2, 0, 0, 0, 0, 0, 30};
  Put(id3, 10, {'T', 'T', '2', 0, 0, 11, 1, 0xFF, 0xFE, '.', 0, '.', 0, '/', 0, 'x', 0});
  id3.resize(40 + 13000, 0);
  const Measure lone = Probed(SizeMp3, id3);
  EXPECT_EQ(lone.size, 512u);
  EXPECT_EQ(lone.ctx.resultCode, kProbeResultNoSkip);
  EXPECT_EQ(lone.ctx.nameSuffix, "_x");
  // Frame sizes that run past the tag or the bytes held are not read.
  Bytes hostile = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 30};
  Put(hostile, 10, {'T', 'I', 'T', '2', 0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 'a'});
  EXPECT_EQ(Id3ArtistTitle(AsBytes(hostile.data(), hostile.size())), "");
}

TEST(StreamProbeTest, TransportProgramAndMxfWalksStopWhereTheStreamBreaks) {
  // Transport packets: 188 bytes, or 192 with a time stamp first.
  for (const auto& [stride, sync] : {std::pair{188u, 0u}, std::pair{192u, 4u}}) {
    Bytes ts(stride * 10, 0x22);
    for (size_t i = 0; i < 10; ++i) ts[i * stride + sync] = 0x47;
    ts[9 * stride + sync] = 0x48;  // the stream breaks at the tenth packet
    EXPECT_EQ(Probed(SizeMpegTs, ts).size, 9u * stride) << stride;
  }
  Bytes short3(188 * 3, 0x47);
  EXPECT_EQ(Probed(SizeMpegTs, short3).size, 0u);

  // Program stream: MPEG-2 packs with a PES packet each, then the end code.
  Bytes ps;
  for (int i = 0; i < 3; ++i) {
    Put(ps, ps.size(), {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8});
    Put(ps, ps.size(), {0, 0, 1, 0xE0, 0, 10});
    ps.resize(ps.size() + 10, 0x33);
  }
  Put(ps, ps.size(), {0, 0, 1, 0xB9});
  const size_t psSize = ps.size();
  ps.resize(psSize + 100, 0x44);
  EXPECT_EQ(Probed(SizeMpegPs, ps).size, psSize);

  // MXF: a header partition pack, an item with a long-form length, the random index pack.
  const Bytes pack = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01};
  Bytes mxf = pack;
  Put(mxf, 13, {0x02, 0x04, 0x00, 0x05, 1, 2, 3, 4, 5});
  Put(mxf, mxf.size(), {0x06, 0x0E, 0x2B, 0x34, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x83, 0, 1, 0});
  mxf.resize(mxf.size() + 256, 0);
  mxf.insert(mxf.end(), pack.begin(), pack.end());
  Put(mxf, mxf.size(), {0x11, 0x01, 0x00, 0x02, 0xAB, 0xCD});
  const size_t mxfSize = mxf.size();
  mxf.resize(mxfSize + 64, 0x06);
  EXPECT_EQ(Probed(SizeMxf, mxf).size, mxfSize);
  // An item claiming more than the volume holds ends the stream before it, estimated.
  Bytes huge = mxf;
  Put(huge, 22 + 16, {0x88, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  const Measure h = Probed(SizeMxf, huge);
  EXPECT_EQ(h.size, 22u);
  EXPECT_TRUE(h.ctx.sizeEstimated);
}

}  // namespace
}  // namespace torvane::probes
