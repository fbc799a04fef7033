// The one-step placement of an entry (its own folder only), which the explorer uses to place
// every entry of a large list, must agree with the folder its whole path names, on every
// file system: found folders, the root, "Lost files" and entries never shown.
#include <gtest/gtest.h>

#include "fs/volume_fixture.h"
#include "test_util.h"

namespace torvane {
namespace {

// Returns how many entries are under "Lost files".
size_t ExpectPlacementMatchesPaths(test::FixtureVolume& v, const char* disk) {
  const std::unique_ptr<ItemTree> tree = v.ws.fileSystem->MakeTree();
  EXPECT_TRUE(tree) << disk;
  if (!tree) return 0;
  const uint64_t count = EntryCount(v.ws.store.deletedEntries);
  size_t held = 0, lost = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t fast = ~uint64_t{0}, slow = ~uint64_t{0};
    const ItemTree::Placement quick = tree->PlaceOf(i, &fast);
    const ItemTree::Placement full = tree->ItemTree::PlaceOf(i, &slow);
    EXPECT_EQ(quick, full) << disk << " entry " << i << " " << test::EntryPath(*tree, i);
    if (quick == ItemTree::Placement::kHeld && full == quick) {
      EXPECT_EQ(fast, slow) << disk << " entry " << i;
      ++held;
    }
    lost += quick == ItemTree::Placement::kLost;
  }
  EXPECT_GT(held, 0u) << disk;
  return lost;
}

TEST(ItemTreeTest, OneStepPlacementAgreesWithTheWholePath) {
  size_t lost = 0;
  for (const char* disk : {"ntfs/ntfs.vmdk", "fat/fat12-floppy.vmdk", "fat/fat16-mbr.vmdk", "fat/fat32-gpt.vmdk",
                           "exfat/exfat-mbr.vmdk", "reformatted/reformatted.vmdk"}) {
    test::FixtureVolume v(test::DataPath(disk));
    ASSERT_TRUE(v.ok()) << disk << ": " << v.error;
    lost += ExpectPlacementMatchesPaths(v, disk);
    // Records found in free space bring folders whose parents are gone.
    if (v.ws.fileSystem->Kind() == FsKind::kNtfs) {
      v.Scan(false);
      lost += ExpectPlacementMatchesPaths(v, disk);
    }
  }
  EXPECT_GT(lost, 0u);
}

}  // namespace
}  // namespace torvane
