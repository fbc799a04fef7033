// The probes on real sample files (tools/make_probe_samples.sh): the right entry and the
// exact size, also with other bytes after the file; and on damaged copies of them: never a
// size beyond what the disk holds, a cut file never passed off as whole.
#include <gtest/gtest.h>

#include <random>

#include "raw/probes/identify.h"
#include "raw/probes/probe_test_util.h"
#include "test_util.h"

namespace torvane::probes {
namespace {

struct Sample {
  std::string file;
  uint32_t entry = 0;
  std::string tag;
  uint64_t size = 0;
  std::vector<uint8_t> bytes;
};

std::vector<Sample> Samples() {
  std::vector<Sample> out;
  for (const auto& row : test::ReadTsv(test::SourcePath("tests/data/probes/MANIFEST.tsv"))) {
    Sample s{row[0], static_cast<uint32_t>(std::stoul(row[1])), row[2], std::stoull(row[3]), {}};
    s.bytes = test::ReadFile(test::SourcePath("tests/data/probes/" + s.file));
    out.push_back(std::move(s));
  }
  return out;
}

Identification IdentifyBytes(const std::vector<uint8_t>& bytes, uint64_t available = UINT64_MAX) {
  test::ProbeDisk disk(bytes, available);
  return Identify(disk.ctx);
}

TEST(ProbeSamplesTest, EachSampleIsNamedAndMeasuredExactly) {
  const auto samples = Samples();
  ASSERT_GE(samples.size(), 30u);
  std::mt19937 random(5);
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.file);
    ASSERT_EQ(s.bytes.size(), s.size);
    // Alone, followed by zeros, and followed by another file's text.
    std::vector<uint8_t> zeros = s.bytes, text = s.bytes;
    zeros.resize(s.bytes.size() + 5000);
    for (int i = 0; i < 5000; ++i) text.push_back(static_cast<uint8_t>(' ' + random() % 90));
    for (const std::vector<uint8_t>* bytes : {&s.bytes, static_cast<const std::vector<uint8_t>*>(&zeros),
                                              static_cast<const std::vector<uint8_t>*>(&text)}) {
      const Identification id = IdentifyBytes(*bytes);
      ASSERT_NE(id.entry, nullptr);
      EXPECT_EQ(id.entry->number, s.entry);
      EXPECT_EQ(id.entry->tag, s.tag);
      ASSERT_TRUE(id.size.has_value());
      EXPECT_EQ(*id.size, s.size);
      EXPECT_FALSE(id.estimated);
    }
  }
}

TEST(ProbeSamplesTest, DamagedSamplesStayWithinTheDisk) {
  std::mt19937 random(11);
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.file);
    // Cut short: the size never passes the cut, and a size reaching it is marked estimated.
    // (Two bytes short: a PDF cut just after its "%%EOF" is whole.)
    for (uint64_t length : {s.size - 2, s.size / 2, uint64_t{600}, uint64_t{513}, uint64_t{100}}) {
      if (length >= s.size) continue;
      const std::vector<uint8_t> cut(s.bytes.begin(), s.bytes.begin() + static_cast<long>(length));
      const Identification id = IdentifyBytes(cut);
      if (!id.size) continue;
      EXPECT_LE(*id.size, length) << length;
      if (id.entry != nullptr && id.entry->number == s.entry && *id.size == length) {
        EXPECT_TRUE(id.estimated) << length;
      }
    }
    // Header fields and data overwritten at random, the volume ending at or before the file's end.
    for (int round = 0; round < 60; ++round) {
      std::vector<uint8_t> bytes = s.bytes;
      const int flips = 1 + static_cast<int>(random() % 8);
      for (int i = 0; i < flips; ++i) {
        const size_t span = round % 2 == 0 ? std::min<size_t>(bytes.size(), 256) : bytes.size();
        bytes[random() % span] = static_cast<uint8_t>(round % 3 == 0 ? 0xFF : random());
      }
      const uint64_t available = round % 4 == 0 ? bytes.size() / 2 + 1 : bytes.size();
      const Identification id = IdentifyBytes(bytes, available);
      if (id.size) {
        EXPECT_LE(*id.size, available) << round;
      }
    }
  }
}

TEST(ProbeSamplesTest, ProbesSitOnlyInRowsThatSayTheyHaveThem) {
  for (const FileTypeEntry& e : FileTypeCatalogue()) {
    SCOPED_TRACE(e.number);
    EXPECT_TRUE(e.confirmProbe == nullptr || e.hasConfirmProbe);
    EXPECT_TRUE(e.sizeProbe == nullptr || e.sizeRule == SizeRule::kProbe);
  }
}

}  // namespace
}  // namespace torvane::probes
