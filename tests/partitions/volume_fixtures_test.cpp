// Disks partitioned and formatted by real tools (sfdisk, sgdisk, mkfs.fat, mkntfs, mkfs.exfat,
// mkfs.ext2, mkswap), some damaged afterwards: every volume is found where the tools put it.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "app/drive_list.h"
#include "test_util.h"
#include "util/text.h"

namespace torvane {
namespace {

struct Expected {
  std::string disk, fs, label, note;
  uint64_t start = 0, sectors = 0;
  bool Note(const std::string& word) const { return (" " + note + " ").find(" " + word + " ") != std::string::npos; }
  // A size the file system's own boot sector gives, from the note (e.g. ntfs_total=N).
  uint64_t FsTotal() const {
    for (const char* key : {"ntfs_total=", "fat_total=", "exfat_total="}) {
      auto at = note.find(key);
      if (at != std::string::npos) return std::stoull(note.substr(at + std::strlen(key)));
    }
    return sectors;
  }
};

std::vector<Expected> Manifest() {
  std::vector<Expected> rows;
  for (const auto& f : test::ReadTsv(test::DataPath("volumes/MANIFEST.tsv"))) {
    Expected e{f[0], f[3], f[4], f[5]};
    e.start = std::stoull(f[1]);
    e.sectors = std::stoull(f[2]);
    rows.push_back(e);
  }
  return rows;
}

TEST(VolumeFixturesTest, EveryVolumeIsFoundWithItsStartSizeFileSystemAndLabel) {
  const auto manifest = Manifest();
  ASSERT_EQ(manifest.size(), 18u);
  std::map<std::string, DriveList> lists;
  for (const auto& e : manifest) {
    SCOPED_TRACE(e.disk + " @" + std::to_string(e.start));
    if (!lists.count(e.disk)) {
      DiskSource source;
      VolumeGeometry geometry;
      lists[e.disk].SetImage(test::DataPath("volumes/" + e.disk));
      lists[e.disk].EnumerationThread(source, geometry, 0);
      ASSERT_TRUE(lists[e.disk].openError.empty()) << lists[e.disk].openError;
    }
    const DriveList& list = lists[e.disk];
    const PartitionRecord* found = nullptr;
    for (const auto& r : list.rows)
      if (!r.wholeDisk && r.startSector == e.start) found = &r;
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(ToUtf8(GetText(found->fsName)), e.fs);
    // Swap areas are labelled with their kind's name.
    EXPECT_EQ(ToUtf8(GetText(found->label)), e.fs.find("Swap") != std::string::npos ? e.fs : e.label);
    // A lost volume has no table entry: its size is the file system's own.
    EXPECT_EQ(test::Val(found->sectors), e.Note("lost") ? e.FsTotal() : e.sectors);
    EXPECT_EQ(found->bootRestored != 0, e.Note("backup_boot"));
    EXPECT_EQ(list.volumeList.repairOffered, e.Note("lost"));
  }
  // Every disk ends with its whole-disk row, and lists nothing the tools did not make.
  for (const auto& [disk, list] : lists) {
    SCOPED_TRACE(disk);
    ASSERT_FALSE(list.rows.empty());
    EXPECT_EQ(test::Val(list.rows.back().wholeDisk), 1u);
    size_t expected = 0;
    for (const auto& e : manifest) expected += e.disk == disk;
    EXPECT_EQ(list.rows.size(), expected + 1);
  }
}

}  // namespace
}  // namespace torvane
