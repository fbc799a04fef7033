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

struct Corpus {
  const char* name;
  int (*target)(const uint8_t*, size_t);
};

class FuzzReplayTest : public ::testing::TestWithParam<Corpus> {};

TEST_P(FuzzReplayTest, EveryInputRunsCleanly) {
  Replay(GetParam().name, GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(
    Corpora, FuzzReplayTest,
    ::testing::Values(Corpus{"descriptor", fuzz::FuzzDescriptor}, Corpus{"sparse_extent", fuzz::FuzzSparseExtent},
                      Corpus{"cowd_extent", fuzz::FuzzCowdExtent}, Corpus{"sesparse_extent", fuzz::FuzzSeSparseExtent},
                      Corpus{"recognize_volume", fuzz::FuzzRecognizeVolume}, Corpus{"carve", fuzz::FuzzCarve},
                      Corpus{"partition_tables", fuzz::FuzzPartitionTables},
                      Corpus{"record_to_entry", fuzz::FuzzRecordToEntry}, Corpus{"runlist", fuzz::FuzzRunlist},
                      Corpus{"lznt1", fuzz::FuzzLznt1},
                      Corpus{"open_volume", fuzz::FuzzOpenVolume},
                      Corpus{"jpeg_probe", fuzz::FuzzJpegProbe},
                      Corpus{"tiff_probe", fuzz::FuzzTiffProbe},
                      Corpus{"stream_probes", fuzz::FuzzStreamProbes},
                      Corpus{"content_check", fuzz::FuzzContentCheck},
                      Corpus{"search_state", fuzz::FuzzSearchState},
                      Corpus{"partition_backup", fuzz::FuzzPartitionBackup},
                      Corpus{"header_field_probes", fuzz::FuzzHeaderFieldProbes},
                      Corpus{"iso_media_probes", fuzz::FuzzIsoMediaProbes},
                      Corpus{"zip_probes", fuzz::FuzzZipProbes},
                      Corpus{"compound_file_probes", fuzz::FuzzCompoundFileProbes},
                      Corpus{"container_probes", fuzz::FuzzContainerProbes},
                      Corpus{"quicklz", fuzz::FuzzQuickLz},
                      Corpus{"session_file", fuzz::FuzzSessionFile},
                      Corpus{"exfat_entry_sets", fuzz::FuzzExfatEntrySets},
                      Corpus{"fat_directory", fuzz::FuzzFatDirectory}),
    [](const ::testing::TestParamInfo<Corpus>& corpus) { return std::string(corpus.param.name); });

}  // namespace
}  // namespace torvane
