#include "raw/probes/probe_reader.h"

#include <gtest/gtest.h>

#include "raw/probes/probe_test_util.h"

namespace torvane::probes {
namespace {

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

TEST(ProbeReaderTest, ReadsAtAnyOffsetAndNeverPastTheLimit) {
  const auto bytes = Counting(3 * 1024 * 1024 + 100);
  test::ProbeDisk disk(bytes);
  ProbeReader r(disk.ctx);
  EXPECT_EQ(r.Limit(), bytes.size());
  for (uint64_t at : {uint64_t{0}, uint64_t{511}, uint64_t{513}, uint64_t{700000}, uint64_t{2 * 1024 * 1024 - 3}}) {
    const ByteSpan got = r.Read(at, 1000);
    ASSERT_EQ(got.size(), 1000u) << at;
    EXPECT_EQ(std::memcmp(got.data(), bytes.data() + at, got.size()), 0) << at;
  }
  // A largest piece at an unaligned offset; the tail cut at the limit; nothing beyond it.
  EXPECT_EQ(r.Read(1001, kMaxReadPiece).size(), kMaxReadPiece);
  EXPECT_EQ(r.Read(1001, kMaxReadPiece + 1).size(), kMaxReadPiece);
  const ByteSpan tail = r.Read(bytes.size() - 10, 4096);
  ASSERT_EQ(tail.size(), 10u);
  EXPECT_EQ(std::to_integer<uint8_t>(tail[9]), bytes.back());
  EXPECT_TRUE(r.Read(bytes.size(), 1).empty());
  EXPECT_TRUE(r.Read(UINT64_MAX - 1, 100).empty());
  std::byte four[4];
  EXPECT_FALSE(r.ReadExact(bytes.size() - 3, four));
  EXPECT_TRUE(r.ReadExact(bytes.size() - 4, four));

  // A walk over small records reads ahead, more the further it goes: a few reads for the
  // first 60 KB, pieces of 512 KiB soon after.
  ProbeReader walk(disk.ctx);
  uint64_t before = disk.reads;
  for (uint64_t at = 600; at < 60000; at += 300) ASSERT_EQ(walk.Read(at, 30).size(), 30u);
  EXPECT_LE(disk.reads - before, 4u);
  before = disk.reads;
  for (uint64_t at = 60000; at < bytes.size() - 30; at += 300) ASSERT_EQ(walk.Read(at, 30).size(), 30u);
  EXPECT_LE(disk.reads - before, 10u);
}

TEST(ProbeReaderTest, LimitsComeFromTheContextAndTheCaller) {
  const auto bytes = Counting(8192);
  test::ProbeDisk disk(bytes, 5000);
  EXPECT_EQ(ProbeReader(disk.ctx).Limit(), 5000u);
  EXPECT_EQ(ProbeReader(disk.ctx, 1234).Limit(), 1234u);
  EXPECT_EQ(ProbeReader(disk.ctx).Read(4990, 100).size(), 10u);
  // A volume that claims to run to the end of the 64-bit range: reads near it are refused,
  // nothing wraps around.
  uint32_t largest = 0;
  const SectorReader zeros = [&](uint64_t, uint32_t count, std::byte* out) {
    largest = std::max(largest, count);
    if (count > (kMaxReadPiece + 512) / 512) return false;  // more than the buffer holds
    std::memset(out, 0, size_t{count} * 512);
    return true;
  };
  const SectorReader* kept = disk.ctx.read;
  disk.ctx.read = &zeros;
  disk.ctx.bytesAvailable = UINT64_MAX;
  ProbeReader huge(disk.ctx);
  EXPECT_EQ(huge.Read(UINT64_MAX - 100, 50).size(), 50u);
  EXPECT_EQ(huge.Find("x", UINT64_MAX - 5000, UINT64_MAX), UINT64_MAX);
  EXPECT_LE(largest, (kMaxReadPiece + 512) / 512);
  disk.ctx.read = kept;
  disk.ctx.bytesAvailable = 0;  // unknown: only the first sector
  EXPECT_EQ(ProbeReader(disk.ctx).Limit(), 512u);
  disk.ctx.bytesAvailable = 8192;
  disk.ctx.read = nullptr;  // no reader: the first sector is all there is
  ProbeReader noDisk(disk.ctx);
  EXPECT_EQ(noDisk.Limit(), 512u);
  EXPECT_EQ(noDisk.Read(500, 100).size(), 12u);
}

TEST(ProbeReaderTest, ARefusedReadIsEmptyAndFindSearchesAcrossPieces) {
  auto bytes = Counting(2 * 1024 * 1024);
  const std::string mark = "%%EOF";
  std::memcpy(bytes.data() + kMaxReadPiece - 2, mark.data(), mark.size());  // across a seam
  std::memcpy(bytes.data() + 1500000, mark.data(), mark.size());
  test::ProbeDisk disk(bytes);
  ProbeReader r(disk.ctx);
  EXPECT_EQ(r.Find(mark, 0, UINT64_MAX), kMaxReadPiece - 2);
  EXPECT_EQ(r.Find(mark, kMaxReadPiece, UINT64_MAX), 1500000u);
  EXPECT_EQ(r.FindLast(mark, 0, UINT64_MAX), 1500000u);
  EXPECT_EQ(r.FindLast(mark, 0, 1500004), kMaxReadPiece - 2);
  EXPECT_EQ(r.Find(mark, 1500001, UINT64_MAX), UINT64_MAX);

  SectorReader refuse = [](uint64_t, uint32_t, std::byte*) { return false; };
  disk.ctx.read = &refuse;
  ProbeReader broken(disk.ctx);
  EXPECT_EQ(broken.Read(0, 100).size(), 100u);  // the first sector is held
  EXPECT_TRUE(broken.Read(600, 100).empty());
  EXPECT_EQ(broken.Find(mark, 0, UINT64_MAX), UINT64_MAX);
}

TEST(NameSuffixTest, DiskTextBecomesASafeNamePart) {
  EXPECT_EQ(SanitizeNameSuffix("Canon EOS 5D", 100), "Canon EOS 5D");
  EXPECT_EQ(SanitizeNameSuffix("../../etc/passwd", 100), "_._etc_passwd");
  EXPECT_EQ(SanitizeNameSuffix("..hidden", 100), "hidden");
  EXPECT_EQ(SanitizeNameSuffix(" . a\\b\x01\x7f"
                               "c:d?. ",
                               100),
            "a_b__c_d_");
  EXPECT_EQ(SanitizeNameSuffix("caf\xC3\xA9 \xFF\xC3", 100), "caf\xC3\xA9 __");
  EXPECT_EQ(SanitizeNameSuffix("\xC0\xAF\xED\xA0\x80", 100), "_____");  // overlong '/', a surrogate
  EXPECT_EQ(SanitizeNameSuffix("...", 100), "");
  // The cut never splits a character: "é" is two bytes.
  EXPECT_EQ(SanitizeNameSuffix("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(SanitizeNameSuffix("ab\xC3\xA9", 4), "ab\xC3\xA9");

  EXPECT_EQ(NameSuffixRoom(".jpg"), 255u - 9 - 4);
  const FileTypeEntry& mp3 = *FileTypeEntryByTag("MP3");
  const std::string longTitle(1000, 'x');
  const std::string suffix = NameSuffixFor(longTitle, mp3);
  EXPECT_EQ(RawFileName(1, mp3).size() + suffix.size(), 255u);
}

}  // namespace
}  // namespace torvane::probes
