// The record walks on structures the sample files do not show: archives past 4 GiB, damaged
// headers in the middle of a walk, the files named by the fallback probe, and headers that
// describe more than the volume holds.
#include <gtest/gtest.h>

#include <zlib.h>

#include "raw/probes/compound_file_probes.h"
#include "raw/probes/container_probes.h"
#include "raw/probes/header_field_probes.h"
#include "raw/probes/identify.h"
#include "raw/probes/iso_media_probes.h"
#include "raw/probes/probe_test_util.h"
#include "raw/probes/zip_probes.h"

namespace torvane::probes {
namespace {

using Bytes = std::vector<uint8_t>;

void Le(Bytes& b, size_t at, uint64_t v, int n) {
  if (b.size() < at + n) b.resize(at + n);
  for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Append(Bytes& b, std::string_view text) {
  b.insert(b.end(), text.begin(), text.end());
}

std::string TagOf(const Bytes& b, uint64_t available = UINT64_MAX) {
  test::ProbeDisk disk(b, available);
  const Identification id = Identify(disk.ctx);
  return id.entry != nullptr ? std::string(id.entry->tag) : "?";
}

TEST(ProbeWalksTest, RarFourFilesPastFourGiBAndRarFiveHeadersThatBreak) {
  // A RAR 4 file header with the large-file flag: the packed size's high half at 32.
  Bytes b;
  Append(b, std::string_view("Rar!\x1A\x07\x00", 7));
  Le(b, 7 + 2, 0x73, 1), Le(b, 7 + 5, 13, 2);
  const size_t file = 20;
  Le(b, file + 2, 0x74, 1), Le(b, file + 3, 0x8100, 2), Le(b, file + 5, 40, 2);
  Le(b, file + 7, 0x1000, 4), Le(b, file + 32, 1, 4);  // 4 GiB + 4 KiB packed
  b.resize(512);
  test::ProbeDisk disk(b, uint64_t{6} << 30);
  EXPECT_EQ(SizeRar(disk.ctx), file + 40 + (uint64_t{1} << 32) + 0x1000);
  EXPECT_TRUE(disk.ctx.sizeEstimated);  // no end block seen: the sparse disk holds zeros there

  // RAR 5: the walk stops at a header whose checksum fails and says the size is a guess.
  const auto header = [](Bytes fields) {
    Bytes sized = {static_cast<uint8_t>(fields.size())};
    sized.insert(sized.end(), fields.begin(), fields.end());
    Bytes out(4);
    Le(out, 0, crc32(0, sized.data(), static_cast<uInt>(sized.size())), 4);
    out.insert(out.end(), sized.begin(), sized.end());
    return out;
  };
  Bytes five;
  Append(five, std::string_view("Rar!\x1A\x07\x01\x00", 8));
  for (const Bytes& h : {header({1, 0, 0}), header({2, 2, 100, 0, 100, 0, 0, 0, 0, 1, 'a'})})
    five.insert(five.end(), h.begin(), h.end());
  five.resize(five.size() + 100, 0x33);
  const size_t walked = five.size();
  Bytes end = header({5, 0, 0});
  end[0] ^= 1;
  five.insert(five.end(), end.begin(), end.end());
  test::ProbeDisk broken(five);
  EXPECT_EQ(SizeRar(broken.ctx), walked);
  EXPECT_TRUE(broken.ctx.sizeEstimated);
  end[0] ^= 1;
  std::copy(end.begin(), end.end(), five.end() - static_cast<long>(end.size()));
  test::ProbeDisk whole(five);
  EXPECT_EQ(SizeRar(whole.ctx), five.size());
  EXPECT_FALSE(whole.ctx.sizeEstimated);
}

TEST(ProbeWalksTest, ADataDescriptorIsTheOneWhoseSizeMatches) {
  // A member of unknown length whose data holds a descriptor signature of its own.
  Bytes b;
  Le(b, 0, 0x04034B50, 4), Le(b, 6, 0x8, 2), Le(b, 26, 1, 2);
  b.resize(30);
  b.push_back('x');
  Bytes data;
  Append(data, "some data PK");
  Append(data, std::string_view("\x07\x08 a false descriptor PK\x03\x04 and a false header", 46));
  b.insert(b.end(), data.begin(), data.end());
  const size_t descriptor = b.size();
  Le(b, descriptor, 0x08074B50, 4), Le(b, descriptor + 8, data.size(), 4), Le(b, descriptor + 12, data.size(), 4);
  const size_t end = b.size();
  Le(b, end, 0x06054B50, 4), Le(b, end + 20, 0, 2);
  b.resize(end + 22);
  test::ProbeDisk disk(b);
  EXPECT_EQ(SizeZip(disk.ctx), b.size());
  EXPECT_FALSE(disk.ctx.sizeEstimated);
}

TEST(ProbeWalksTest, TheFallbackNamesStreamsAndAceArchives) {
  Bytes ts(1024, 0xFF);
  for (size_t at = 0; at < ts.size(); at += 188) ts[at] = 0x47;
  ts[1] = 0x1F;  // not the transport-stream entry's own signature
  test::ProbeDisk streams(ts);
  EXPECT_EQ(IsoMediaFallback(streams.ctx)->tag, "MTS");
  Bytes bdav = {0, 0, 0, 0, 0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11};
  bdav.resize(512);
  test::ProbeDisk m2ts(bdav);
  EXPECT_EQ(IsoMediaFallback(m2ts.ctx)->tag, "M2TS");

  // ACE: a main header, a file header with 300 packed bytes, then other data.
  Bytes ace(4 + 30);
  Le(ace, 2, 30, 2);
  std::memcpy(&ace[7], "**ACE**", 7);
  const size_t file = ace.size();
  Le(ace, file + 2, 20, 2), Le(ace, file + 4, 1, 1), Le(ace, file + 5, 1, 2), Le(ace, file + 7, 300, 4);
  ace.resize(file + 4 + 20 + 300, 0x41);
  const size_t size = ace.size();
  ace.resize(size + 700, 0x00);
  test::ProbeDisk archive(ace);
  EXPECT_EQ(TagOf(ace), "ACE");
  EXPECT_EQ(Identify(archive.ctx).size, size);
}

TEST(ProbeWalksTest, CompoundFileTablesThatLoopOrOutgrowTheVolume) {
  Bytes h(512);
  std::memcpy(h.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  Le(h, 24, 0x3E, 2), Le(h, 26, 3, 2), Le(h, 28, 0xFFFE, 2), Le(h, 30, 9, 2), Le(h, 32, 6, 2);
  Le(h, 44, 5000, 4);  // 5,000 table sectors describe 320 MB: more than this volume holds
  test::ProbeDisk small(h, 1 << 20);
  EXPECT_FALSE(ConfirmCompoundFile(small.ctx));
  // A DIFAT chain that points at itself ends instead of looping; the size stays in the volume.
  Le(h, 68, 0, 4), Le(h, 72, 0xFFFFFFFF, 4);
  for (size_t i = 0; i < 109; ++i) Le(h, 76 + 4 * i, 1, 4);
  Bytes file = h;
  file.resize(512 * 3, 0);  // sector 0: the DIFAT, pointing on to itself; sector 1: a table
  Le(file, 512 + 508, 0, 4);
  test::ProbeDisk looped(file, uint64_t{1} << 30);
  const uint64_t size = SizeCompoundFile(looped.ctx);
  EXPECT_LE(size, uint64_t{1} << 30);
}

TEST(ProbeWalksTest, HeaderFieldFamilyEdges) {
  // SWF: versions past 16 are real; a compressed movie ends where its zlib stream ends.
  Bytes movie(3000);
  for (size_t i = 0; i < movie.size(); ++i) movie[i] = static_cast<uint8_t>(i * 13 + i / 7);
  uLongf packedSize = compressBound(movie.size());
  Bytes packed(packedSize);
  compress(packed.data(), &packedSize, movie.data(), movie.size());
  packed.resize(packedSize);
  Bytes swf = {'C', 'W', 'S', 40};
  Le(swf, 4, 8 + movie.size(), 4);
  swf.insert(swf.end(), packed.begin(), packed.end());
  const size_t swfSize = swf.size();
  swf.resize(swfSize + 2000, 0x20);
  test::ProbeDisk flash(swf);
  EXPECT_EQ(Identify(flash.ctx).size, swfSize);
  swf[20] ^= 0xFF;  // damaged stream: the header's length is only a guess
  test::ProbeDisk damaged(swf);
  EXPECT_TRUE(Identify(damaged.ctx).estimated);

  // A RIFF "AVI " without its LIST is not an AVI; a SWF header claiming 16 bytes is refused.
  Bytes avi;
  Append(avi, "RIFF");
  Le(avi, 4, 100, 4);
  Append(avi, "AVI JUNK");
  avi.resize(512);
  EXPECT_EQ(TagOf(avi), "?");
  Bytes tiny = {'F', 'W', 'S', 6, 16, 0, 0, 0};
  tiny.resize(512);
  EXPECT_EQ(TagOf(tiny), "?");

  // PCX: 8-bit, 4x2 pixels in runs, then the 256-colour palette.
  Bytes pcx = {0x0A, 0x05, 0x01, 0x08};
  Le(pcx, 8, 3, 2), Le(pcx, 10, 1, 2), Le(pcx, 65, 1, 1), Le(pcx, 66, 4, 2);
  pcx.resize(128);
  for (uint8_t v : {0xC4, 0x11, 0x12, 0xC3, 0x13}) pcx.push_back(v);
  pcx.push_back(0x0C);
  pcx.resize(pcx.size() + 768, 0x7F);
  const size_t pcxSize = pcx.size();
  pcx.resize(pcxSize + 100, 0);
  test::ProbeDisk image(pcx);
  EXPECT_EQ(Identify(image.ctx).size, pcxSize);
}

}  // namespace
}  // namespace torvane::probes
