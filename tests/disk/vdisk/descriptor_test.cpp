#include "disk/vdisk/descriptor.h"

#include <gtest/gtest.h>

namespace torvane::vdisk {
namespace {

const char kSplitDescriptor[] =
    "# Disk DescriptorFile\n"
    "version=1\r\n"
    "CID=5a1b2c3d\n"
    "parentCID=ffffffff\n"
    "createType=\"twoGbMaxExtentSparse\"\n"
    "\n"
    "# Extent description\n"
    "RW 4192256 SPARSE \"my disk-s001.vmdk\"\n"
    "RDONLY 8192 SPARSE \"my disk-s002.vmdk\"\n"
    "NOACCESS 100 FLAT \"raw.bin\" 2048\n"
    "RW 64 ZERO\n"
    "\n"
    "ddb.adapterType = \"lsilogic\"\n";

TEST(DescriptorTest, ParsesKeysAndEveryExtentForm) {
  Descriptor d;
  std::string error;
  ASSERT_TRUE(ParseDescriptor(kSplitDescriptor, d, error)) << error;
  EXPECT_EQ(d.createType, "twoGbMaxExtentSparse");
  EXPECT_EQ(d.cid, 0x5a1b2c3du);
  EXPECT_FALSE(d.HasParent());
  ASSERT_EQ(d.extents.size(), 4u);
  EXPECT_EQ(d.extents[0].fileName, "my disk-s001.vmdk");  // quoted name with a space
  EXPECT_EQ(d.extents[0].sectors, 4192256u);
  EXPECT_EQ(d.extents[1].access, ExtentAccess::kReadOnly);
  EXPECT_EQ(d.extents[2].access, ExtentAccess::kNoAccess);
  EXPECT_EQ(d.extents[2].type, ExtentType::kFlat);
  EXPECT_EQ(d.extents[2].offset, 2048u);
  EXPECT_EQ(d.extents[3].type, ExtentType::kZero);
  EXPECT_TRUE(d.extents[3].fileName.empty());
  EXPECT_EQ(d.TotalSectors(), 4192256u + 8192 + 100 + 64);
  EXPECT_EQ(d.entries.back().first, "ddb.adapterType");
  EXPECT_EQ(d.entries.back().second, "lsilogic");
}

TEST(DescriptorTest, ReadsParentLinkAndStopsAtPadding) {
  std::string text =
      "version=1\nCID=00000002\nparentCID=0000abcd\ncreateType=\"monolithicSparse\"\n"
      "parentFileNameHint=\"C:\\VMs\\base.vmdk\"\nRW 2048 SPARSE \"child.vmdk\"\n";
  text.append(300, '\0');
  text += "garbage that must not be parsed";
  Descriptor d;
  std::string error;
  ASSERT_TRUE(ParseDescriptor(text, d, error)) << error;
  EXPECT_TRUE(d.HasParent());
  EXPECT_EQ(d.parentCid, 0xabcdu);
  EXPECT_EQ(d.parentFileNameHint, "C:\\VMs\\base.vmdk");
  EXPECT_EQ(d.extents.size(), 1u);
}

TEST(DescriptorTest, RejectsMalformedLinesWithTheirNumber) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"version=1\nRW 100 BOGUS \"a.vmdk\"\n", "line 2: unknown extent type"},
      {"RW abc SPARSE \"a.vmdk\"\n", "line 1: the extent size is not a number"},
      {"RW 0 FLAT \"a.vmdk\"\n", "out of range"},
      {"RW 99999999999999999 FLAT \"a.vmdk\"\n", "out of range"},
      {"RW 100 FLAT a.vmdk\n", "file name is missing"},
      {"RW 100 FLAT \"a.vmdk\n", "file name is missing"},
      {"RW 100 FLAT \"a.vmdk\" x12\n", "offset"},
      {"CID=xyz\nRW 100 FLAT \"a.vmdk\"\n", "CID is not a hexadecimal"},
      {"just some words\n", "expected \"key = value\""},
      {"version=1\ncreateType=\"monolithicFlat\"\n", "lists no extents"},
      {"RW 1099511627776 FLAT \"a\"\nRW 1 FLAT \"b\"\n", "more than 512 TiB"},
  };
  for (const auto& c : cases) {
    Descriptor d;
    std::string error;
    EXPECT_FALSE(ParseDescriptor(c.text, d, error)) << c.text;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(DescriptorTest, TellsDescriptorTextFromDiskData) {
  EXPECT_TRUE(LooksLikeDescriptor("# Disk DescriptorFile\nversion=1\n"));
  EXPECT_TRUE(LooksLikeDescriptor("version=1\ncreateType=\"vmfs\"\n"));
  EXPECT_FALSE(LooksLikeDescriptor(std::string("\xEB\x52\x90NTFS    ", 11)));
  EXPECT_FALSE(
      LooksLikeDescriptor(std::string("version=1\x01"
                                      "createType")));
  EXPECT_FALSE(LooksLikeDescriptor(""));
}

}  // namespace
}  // namespace torvane::vdisk
