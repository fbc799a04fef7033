// Replays the fuzz corpora (seeds and every input a fuzzer once found interesting or
// crashing), so that a fixed parser fault stays fixed.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/fuzz_targets.h"
#include "test_util.h"

namespace torvane {
namespace {

void Replay(const std::string& corpus, int (*target)(const uint8_t*, size_t)) {
  const auto dir = test::SourcePath("fuzz/corpus/" + corpus);
  size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().string());
    const auto bytes = test::ReadFile(entry.path());
    target(bytes.data(), bytes.size());
    ++inputs;
  }
  EXPECT_GT(inputs, 0u) << "empty corpus " << dir;
}

TEST(FuzzReplayTest, DescriptorCorpus) {
  Replay("descriptor", fuzz::FuzzDescriptor);
}
TEST(FuzzReplayTest, SparseExtentCorpus) {
  Replay("sparse_extent", fuzz::FuzzSparseExtent);
}
TEST(FuzzReplayTest, CowdExtentCorpus) {
  Replay("cowd_extent", fuzz::FuzzCowdExtent);
}
TEST(FuzzReplayTest, SeSparseExtentCorpus) {
  Replay("sesparse_extent", fuzz::FuzzSeSparseExtent);
}
TEST(FuzzReplayTest, RecognizeVolumeCorpus) {
  Replay("recognize_volume", fuzz::FuzzRecognizeVolume);
}
TEST(FuzzReplayTest, PartitionTablesCorpus) {
  Replay("partition_tables", fuzz::FuzzPartitionTables);
}
TEST(FuzzReplayTest, RecordToEntryCorpus) {
  Replay("record_to_entry", fuzz::FuzzRecordToEntry);
}
TEST(FuzzReplayTest, RunlistCorpus) {
  Replay("runlist", fuzz::FuzzRunlist);
}
TEST(FuzzReplayTest, Lznt1Corpus) {
  Replay("lznt1", fuzz::FuzzLznt1);
}
TEST(FuzzReplayTest, OpenVolumeCorpus) {
  Replay("open_volume", fuzz::FuzzOpenVolume);
}

}  // namespace
}  // namespace torvane
