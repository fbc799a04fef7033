// Recovery end to end on the NTFS volume written by ntfs-3g, and the writer's naming,
// conflict and full-disk rules.
#include "recovery/recovery_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "fs/ntfs/ntfs_tree.h"
#include "fs/volume_fixture.h"
#include "test_util.h"
#include "util/sha256.h"
#include "util/text.h"

namespace torvane::recovery {
namespace {

std::string FileSha(const std::filesystem::path& p) {
  const auto bytes = test::ReadFile(p);
  Sha256 h;
  h.Update({reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()});
  return h.HexDigest();
}

// The NTFS volume of a disk, its MFT walked, ready to recover from.
struct Opened : test::FixtureVolume {
  std::unique_ptr<ReaderContext> reader;
  explicit Opened(const std::filesystem::path& disk) : FixtureVolume(disk) {
    EXPECT_TRUE(ok()) << error;
    reader = std::make_unique<ReaderContext>(Reader());
  }
  // Every entry as a recovery item, by its path.
  std::map<std::string, RecoveryItem> Items() {
    std::map<std::string, RecoveryItem> items;
    const ntfs::NtfsTree tree(ws.store.deletedEntries);
    for (uint64_t i = 0; i < EntryCount(ws.store.deletedEntries); ++i) {
      RecoveryItem item;
      item.entry = EntryAt(ws.store.deletedEntries, i);
      const auto parts = tree.PathComponents(i);
      item.name = std::u16string(parts.back());
      item.folders.assign(parts.begin(), parts.end() - 1);
      items[test::EntryPath(tree, i)] = item;
    }
    return items;
  }
};

TEST(RecoveryTest, EveryIntactFileOfTheFixtureComesBackByteIdentical) {
  Opened v(test::DataPath("ntfs/ntfs.vmdk"));
  auto items = v.Items();
  test::TempDir out;
  RecoveryOptions options;
  options.outputFolder = out.path();
  options.computeDigest = true;
  RecoveryRun run(*v.reader, options, nullptr);
  std::string error;
  ASSERT_TRUE(run.PrepareOutput(error)) << error;

  size_t checked = 0;
  std::set<std::string> flagsSeen;
  for (const auto& row : test::ReadTsv(test::DataPath("ntfs/files.tsv"))) {
    const std::string &path = row[0], &sha = row[2], &deleted = row[3], &flags = row[4], &intact = row[6];
    if (path.find(':') != std::string::npos || flags.find("helper") != std::string::npos) continue;
    if (deleted == "yes" && intact != "yes") continue;  // its record or clusters were reused
    std::string listed = path;
    if (listed.rfind("Old Stuff/", 0) == 0)
      listed = "Lost files/" + listed.substr(10);  // its folder's record was reused
    auto it = items.find(listed);
    ASSERT_NE(it, items.end()) << path;
    const ItemReport r = run.Recover(it->second);
    ASSERT_EQ(r.result, ItemResult::kOk) << path << ": " << r.reason;
    EXPECT_FALSE(r.incomplete) << path;
    EXPECT_EQ(r.sha256, sha) << path << " (" << flags << ")";
    EXPECT_EQ(FileSha(r.output), sha) << path;
    EXPECT_EQ(r.output, out.path() / listed) << path;
    std::stringstream fl(flags);
    for (std::string f; std::getline(fl, f, ',');) flagsSeen.insert(f);
    ++checked;
  }
  EXPECT_GT(checked, 100u);
  for (const char* kind : {"resident", "fragmented", "attrlist", "compressed", "sparse"})
    EXPECT_TRUE(flagsSeen.count(kind)) << kind;
  // No temporary file is left behind.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out.path()))
    EXPECT_EQ(entry.path().filename().string().rfind(".torvane-partial", 0), std::string::npos) << entry.path();
}

TEST(RecoveryTest, ConflictsBlockOrNumberAndTimesAreSet) {
  Opened v(test::SourcePath("samples/demo.vmdk"));
  auto items = v.Items();
  test::TempDir out;
  RecoveryOptions options;
  options.outputFolder = out.path();
  RecoveryRun blocking(*v.reader, options, nullptr);
  const RecoveryItem& hello = items.at("hello.txt");
  EXPECT_EQ(blocking.Recover(hello).result, ItemResult::kOk);
  EXPECT_EQ(blocking.Recover(hello).result, ItemResult::kSkipped);  // the first one blocks it
  options.blockDuplicates = false;
  RecoveryRun numbering(*v.reader, options, nullptr);
  const ItemReport second = numbering.Recover(hello);
  ASSERT_EQ(second.result, ItemResult::kOk);
  EXPECT_EQ(second.output.filename(), "hello[001].txt");
  // The modification time is the file's, not the time of the recovery.
  struct stat st {};
  ASSERT_EQ(::stat((out.path() / "hello.txt").c_str(), &st), 0);
  EXPECT_LT(st.st_mtime, ::time(nullptr) - 60 * 60 * 24 * 0 + 1);
  EXPECT_GT(st.st_mtime, 1600000000);

  // A folder and a file below it land under the output folder at their paths.
  const ItemReport folder = blocking.Recover(items.at("Documents/Drafts"));
  EXPECT_EQ(folder.result, ItemResult::kOk);
  EXPECT_TRUE(std::filesystem::is_directory(out.path() / "Documents/Drafts"));
  const ItemReport note = blocking.Recover(items.at("Documents/Drafts/note.txt"));
  EXPECT_EQ(note.output, out.path() / "Documents/Drafts/note.txt");

  // A running scan is paused for the run and resumed after it.
  std::vector<bool> commands;
  RecoveryOptions withScan = options;
  withScan.scanCommand = [&](bool pause) {
    commands.push_back(pause);
    return true;
  };
  RecoveryRun paused(*v.reader, withScan, nullptr);
  paused.Begin();
  paused.Recover(items.at("Notes/phone.txt"));
  paused.Finish();
  EXPECT_EQ(commands, (std::vector<bool>{true, false}));

  // Join mode: everything in one file.
  test::TempDir joined;
  RecoveryOptions join;
  join.outputFolder = joined.path();
  join.joinMode = true;
  join.joinName = u"all.bin";
  RecoveryRun run(*v.reader, join, nullptr);
  run.Recover(items.at("Notes/phone.txt"));
  run.Recover(items.at("Notes/wifi.txt"));
  EXPECT_FALSE(std::filesystem::exists(joined.path() / "all.bin"));  // named when finished
  EXPECT_TRUE(run.Finish());
  EXPECT_EQ(std::filesystem::file_size(joined.path() / "all.bin"), 38u);
}

// Files in a folder, without the temporary files of unfinished writes.
std::vector<std::string> FilesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (!entry.is_directory()) names.push_back(entry.path().lexically_relative(dir).string());
  return names;
}

TEST(RecoveryWriterTest, ARunStoppedOrDroppedLeavesNoPartialFileAndResumesTheScan) {
  Opened v(test::SourcePath("samples/demo.vmdk"));
  auto items = v.Items();
  test::TempDir out;
  std::vector<bool> commands;
  RecoveryOptions options;
  options.outputFolder = out.path();
  options.joinMode = true;
  options.joinName = u"all.bin";
  options.scanCommand = [&](bool pause) {
    commands.push_back(pause);
    return true;
  };
  {
    RecoveryRun run(*v.reader, options, nullptr);
    run.Begin();
    EXPECT_EQ(run.Recover(items.at("Notes/phone.txt")).result, ItemResult::kOk);
    // Dropped without Finish (an error path of the caller).
  }
  EXPECT_EQ(commands, (std::vector<bool>{true, false}));
  EXPECT_EQ(FilesIn(out.path()), std::vector<std::string>{});

  // Stopped in the middle of a file (Ctrl-C, SIGTERM): the file is removed.
  options.joinMode = false;
  RecoveryRun run(*v.reader, options, nullptr);
  v.reader->cancel = &run.abortAll;
  run.progress = [&](const std::filesystem::path&, uint64_t written, uint64_t) {
    if (written > 0) run.abortAll = true;
  };
  const ItemReport r = run.Recover(items.at("Archive/data-export.zip"));
  EXPECT_NE(r.result, ItemResult::kOk);
  EXPECT_EQ(FilesIn(out.path()), std::vector<std::string>{});
  v.reader->cancel = nullptr;
}

TEST(RecoveryWriterTest, LinksInTheOutputFolderAreNeverFollowed) {
  Opened v(test::SourcePath("samples/demo.vmdk"));
  auto items = v.Items();
  test::TempDir out, outside;
  std::filesystem::create_symlink(outside.path(), out / "Documents");
  RecoveryOptions options;
  options.outputFolder = out.path();
  RecoveryRun run(*v.reader, options, nullptr);
  for (const char* path : {"Documents/Drafts", "Documents/Drafts/note.txt", "Documents/letter.rtf"}) {
    const ItemReport r = run.Recover(items.at(path));
    EXPECT_EQ(r.result, ItemResult::kFailed) << path;
    EXPECT_NE(r.reason.find("symbolic link"), std::string::npos) << r.reason;
  }
  EXPECT_EQ(run.failed, 3u);
  EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
  EXPECT_EQ(run.Recover(items.at("hello.txt")).result, ItemResult::kOk);
}

TEST(RecoveryWriterTest, ImpossibleSizesAndUnreadableDataMakeIncompleteFilesWithHoles) {
  Opened v(test::SourcePath("samples/demo.vmdk"));
  auto items = v.Items();
  test::TempDir out;
  RecoveryOptions options;
  options.outputFolder = out.path();
  RecoveryRun run(*v.reader, options, nullptr);
  const uint64_t volumeBytes = v.ws.geometry.volumeSectors * 512;
  ASSERT_GT(volumeBytes, 1u << 20);

  // A damaged record claims twice the volume: the file is cut to the volume's size, and the
  // zeros past its data cost no space.
  RecoveryItem huge = items.at("hello.txt");
  huge.entry.size = volumeBytes * 2;
  const ItemReport cut = run.Recover(huge);
  EXPECT_EQ(cut.result, ItemResult::kIncomplete) << cut.reason;
  EXPECT_EQ(cut.clippedBytes, volumeBytes);
  struct stat st {};
  ASSERT_EQ(::stat(cut.output.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), volumeBytes);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t{1} << 20);

  // A RAW item whose sectors lie beyond the disk: written (as a hole), reported incomplete.
  RecoveryItem raw;
  raw.entry.kind = kKindRaw;
  raw.entry.size = 100000;
  raw.entry.dataStart = uint64_t{1} << 40;
  raw.rawNumber = 7;
  raw.rawExtension = ".jpg";
  const ItemReport unread = run.Recover(raw);
  EXPECT_EQ(unread.result, ItemResult::kIncomplete);
  EXPECT_NE(unread.reason.find("could not be read"), std::string::npos) << unread.reason;
  EXPECT_EQ(std::filesystem::file_size(out / "000000007.jpg"), 100000u);
  // A size beyond what the record's runs hold (but inside the volume): the runs' data, then
  // a hole, and the file is incomplete.
  RecoveryItem longer = items.at("Documents/Reports/2024/budget.csv");
  const uint64_t recorded = longer.entry.size;
  longer.entry.size = recorded + (1u << 20);
  const ItemReport beyond = run.Recover(longer);
  EXPECT_EQ(beyond.result, ItemResult::kIncomplete) << beyond.reason;
  EXPECT_NE(beyond.reason.find("beyond the data its record describes"), std::string::npos) << beyond.reason;
  EXPECT_EQ(std::filesystem::file_size(beyond.output), recorded + (1u << 20));
  EXPECT_EQ(run.incomplete, 3u);
  EXPECT_EQ(run.ok, 0u);
}

TEST(RecoveryWriterTest, NamesNeverLeaveTheirFolder) {
  EXPECT_EQ(SanitizeName(u".."), u"_");
  EXPECT_EQ(SanitizeName(u"."), u"_");
  EXPECT_EQ(SanitizeName(u""), u"_");
  EXPECT_EQ(SanitizeName(u"a/b\\c:d*e?f\"g<h>i|j"), u"a b c d e f g h i j");
  EXPECT_EQ(SanitizeName(u"tab\there\n"), u"tab here ");
  EXPECT_EQ(SanitizeName(std::u16string(u"x") + char16_t(0xD800) + u"y"),
            std::u16string(u"x") + char16_t(0xFFFD) + u"y");
  const std::u16string longName = std::u16string(300, u'n') + u".docx";
  const std::u16string cut = SanitizeName(longName);
  EXPECT_LE(ToUtf8(cut).size(), 255u);
  EXPECT_EQ(cut.substr(cut.size() - 5), u".docx");
  const std::u16string wide = std::u16string(200, u'日') + u".txt";  // 3 bytes each in UTF-8
  EXPECT_LE(ToUtf8(SanitizeName(wide)).size(), 255u);

  EXPECT_EQ(NumberedName(u"report.pdf", 1), u"report[001].pdf");
  EXPECT_EQ(NumberedName(u"archive.tar.gz", 101), u"archive.tar[101].gz");
  EXPECT_EQ(NumberedName(u"README", 7), u"README[007]");
  EXPECT_EQ(NumberedName(u".profile", 2), u".profile[002]");
  EXPECT_EQ(NumberedName(u"trailing.", 3), u"trailing.[003]");
}

TEST(RecoveryWriterTest, FullDiskSkipsTheFileOrAbortsTheRun) {
  DiskSource source;
  VolumeGeometry geometry;
  ReaderContext reader{source, geometry, nullptr};
  RecoveryOptions options;
  for (bool answer : {true, false}) {
    RecordingUiPort ui(answer);
    RecoveryRun run(reader, options, &ui);
    const int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    FileSink sink(fd, 100, run, &ui, "x");
    const std::vector<std::byte> data(10, std::byte{0x5A});  // zeros would become a hole
    EXPECT_FALSE(sink.WriteChunk(data));
    ::close(fd);
    EXPECT_EQ(ui.Count(), 1u);
    EXPECT_EQ(sink.Written(), 0u);
    EXPECT_TRUE(run.skipCurrent);
    EXPECT_EQ(run.abortAll.load(), !answer);  // No stops the whole run
  }
}

}  // namespace
}  // namespace torvane::recovery
