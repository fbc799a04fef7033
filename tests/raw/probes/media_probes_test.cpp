// The JPEG, TIFF/camera RAW and stream probes on real files made by tools/make_media_samples.sh
// (tests/data/probes-media.tar.xz), and on the same files damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "raw/catalogue/file_type_catalogue.h"
#include "raw/probes/probe_test_util.h"
#include "test_util.h"

namespace torvane {
namespace {

struct Sample {
  std::string file;
  uint16_t entry = 0;
  uint16_t answer = 0;
  std::string suffix;
  std::vector<uint8_t> bytes;
};

std::vector<Sample> Samples() {
  std::vector<Sample> samples;
  for (const auto& row : test::ReadTsv(test::DataPath("probes-media/MANIFEST.tsv"))) {
    Sample s{row[0], static_cast<uint16_t>(std::stoi(row[1])), static_cast<uint16_t>(std::stoi(row[2])), row[3], {}};
    s.bytes = test::ReadFile(test::DataPath("probes-media/" + s.file));
    samples.push_back(std::move(s));
  }
  return samples;
}

struct Result {
  bool confirmed = false;
  uint64_t size = 0;
  const FileTypeEntry* answer = nullptr;
  std::string suffix;
  bool estimated = false;
};

// The entry's probes as header detect calls them: confirm, reset, size.
Result Probe(uint16_t entry, std::vector<uint8_t> bytes, uint64_t available = UINT64_MAX) {
  test::ProbeDisk disk(std::move(bytes), available);
  const FileTypeEntry* e = FileTypeByNumber(entry);
  disk.ctx.entry = e;
  Result r;
  r.confirmed = e->confirmProbe == nullptr || e->confirmProbe(disk.ctx);
  disk.ctx.ResetOutputs();
  if (!r.confirmed) return r;
  r.size = e->sizeProbe(disk.ctx);
  r.answer = disk.ctx.refinedEntry != nullptr ? disk.ctx.refinedEntry : e;
  r.suffix = disk.ctx.nameSuffix;
  r.estimated = disk.ctx.sizeEstimated;
  EXPECT_LE(r.size, disk.ctx.bytesAvailable);
  return r;
}

TEST(MediaProbesTest, RealFilesAreMeasuredExactlyWithTheirSubTypeAndSuffix) {
  const auto samples = Samples();
  ASSERT_EQ(samples.size(), 19u);
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.file);
    ASSERT_FALSE(s.bytes.empty());
    // The entry is one that the file's first bytes name (M2TS, whose packets start with a
    // time stamp, is named by the fallback probe).
    if (s.entry != 171) {
      std::vector<const FileTypeEntry*> named(16);
      named.resize(std::min<size_t>(FileTypesWithSignature(AsBytes(s.bytes.data(), s.bytes.size()), named), 16));
      EXPECT_NE(std::find(named.begin(), named.end(), FileTypeByNumber(s.entry)), named.end());
    }
    const Result r = Probe(s.entry, s.bytes);
    EXPECT_TRUE(r.confirmed);
    EXPECT_EQ(r.size, s.bytes.size());
    EXPECT_FALSE(r.estimated);
    ASSERT_NE(r.answer, nullptr);
    EXPECT_EQ(r.answer->number, s.answer);
    EXPECT_EQ(r.suffix, s.suffix);
    // The volume going on after the file (garbage appended) does not change the measure.
    std::vector<uint8_t> more = s.bytes;
    std::mt19937 rng(7);
    for (int i = 0; i < 70000; ++i) more.push_back(static_cast<uint8_t>(rng()));
    EXPECT_EQ(Probe(s.entry, more).size, s.bytes.size());
  }
}

// Cut short by the end of the volume: never a size beyond it, nor a read past it (the
// sanitizer build checks the reads).
TEST(MediaProbesTest, TruncatedFilesNeverMeasureBeyondTheVolume) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.file);
    for (size_t keep : {size_t{512}, size_t{700}, s.bytes.size() / 2, s.bytes.size() - 1}) {
      if (keep >= s.bytes.size()) continue;
      std::vector<uint8_t> cut(s.bytes.begin(), s.bytes.begin() + static_cast<ptrdiff_t>(keep));
      const Result r = Probe(s.entry, cut);
      EXPECT_LE(r.size, keep);
      // A stream that ends early is measured up to its end; a JPEG without its end marker and a
      // TIFF whose strips lie beyond the volume are estimated.
      if (s.file.ends_with(".jpg") && r.size != 0) {
        EXPECT_TRUE(r.estimated);
      }
    }
  }
}

// Header fields overwritten with random bytes: every probe answers within the volume.
TEST(MediaProbesTest, CorruptedFieldsAreHandled) {
  std::mt19937 rng(11);
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.file);
    for (int round = 0; round < 200; ++round) {
      std::vector<uint8_t> bad = s.bytes;
      const size_t span = std::min<size_t>(bad.size(), round < 100 ? 64 : 1024);
      for (int k = 0; k < 1 + round % 4; ++k) bad[rng() % span] = static_cast<uint8_t>(rng());
      // Sometimes with a large volume behind it, so that huge claimed lengths have room.
      Probe(s.entry, bad, round % 2 ? bad.size() : uint64_t{1} << 40);
    }
  }
}

}  // namespace
}  // namespace torvane
