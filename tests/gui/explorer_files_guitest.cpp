// The files the explorer writes besides recovered entries: the embedded JPEG miniature found
// in an EXIF block (or a TIFF-based camera file) and written without replacing anything, and
// the diagnostic activity file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/gui/explorer_files.h"
#include "test_util.h"

namespace torvane::gui {
namespace {

namespace fs = std::filesystem;

void Put16(std::vector<std::byte>& b, uint16_t v) {
  b.push_back(std::byte(v & 0xFF));
  b.push_back(std::byte(v >> 8));
}
void Put32(std::vector<std::byte>& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}
void PutText(std::vector<std::byte>& b, std::string_view text) {
  for (char c : text) b.push_back(std::byte(c));
}

const std::string kThumb = "\xFF\xD8\xFF\xE0thumbnail\xFF\xD9";

// A little-endian TIFF block: IFD0 with one entry, IFD1 naming the thumbnail that follows.
std::vector<std::byte> ExifTiff(uint32_t thumbOffset = 56) {
  std::vector<std::byte> t;
  PutText(t, "II*");
  t.push_back(std::byte{0});
  Put32(t, 8);
  Put16(t, 1);  // IFD0: orientation 1
  Put16(t, 274), Put16(t, 3), Put32(t, 1), Put32(t, 1);
  Put32(t, 26);
  Put16(t, 2);  // IFD1: where the thumbnail lies and its length
  Put16(t, 513), Put16(t, 4), Put32(t, 1), Put32(t, thumbOffset);
  Put16(t, 514), Put16(t, 4), Put32(t, 1), Put32(t, static_cast<uint32_t>(kThumb.size()));
  Put32(t, 0);
  PutText(t, kThumb);
  return t;
}

std::vector<std::byte> JpegWithExif(const std::vector<std::byte>& tiff) {
  std::vector<std::byte> j{std::byte{0xFF}, std::byte{0xD8}, std::byte{0xFF}, std::byte{0xE0},
                           std::byte{0},    std::byte{4},    std::byte{0},    std::byte{0}};  // an APP0 before it
  const size_t length = 2 + 6 + tiff.size();
  for (const size_t b : {size_t{0xFF}, size_t{0xE1}, length >> 8, length & 0xFF}) j.push_back(std::byte(b));
  PutText(j, std::string_view("Exif\0\0", 6));
  j.insert(j.end(), tiff.begin(), tiff.end());
  PutText(j, "\xFF\xDA");  // the scan starts: the walk ends
  return j;
}

std::string Text(ByteSpan b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

TEST(ExplorerFiles, MiniatureOfJpegAndTiffFoundOnlyWhenWhole) {
  EXPECT_EQ(Text(FindJpegMiniature(JpegWithExif(ExifTiff()))), kThumb);
  EXPECT_EQ(Text(FindJpegMiniature(ExifTiff())), kThumb);  // a TIFF-based camera file
  // A thumbnail named past the block, cut short, or not a JPEG: none.
  EXPECT_TRUE(FindJpegMiniature(JpegWithExif(ExifTiff(60))).empty());
  auto cut = JpegWithExif(ExifTiff());
  cut.resize(cut.size() - 16);
  EXPECT_TRUE(FindJpegMiniature(cut).empty());
  EXPECT_TRUE(FindJpegMiniature(JpegWithExif(ExifTiff(50))).empty());
  EXPECT_TRUE(FindJpegMiniature(std::vector<std::byte>(3, std::byte{0xFF})).empty());
}

TEST(ExplorerFiles, WrittenFilesNeverReplaceAndActivityFileHasItsHeader) {
  test::TempDir temp;
  const fs::path folder = temp.path() / "out";
  const std::string bytes = "abc";
  std::string error;
  const auto first = WriteNewFile({}, folder, u"a:b.jpg", std::as_bytes(std::span(bytes)), error);
  const auto second = WriteNewFile({}, folder, u"a:b.jpg", std::as_bytes(std::span(bytes)), error);
  ASSERT_TRUE(first && second) << error;
  EXPECT_EQ(first->filename(), "a b.jpg");
  EXPECT_NE(*first, *second);
  EXPECT_EQ(test::ReadFile(*second).size(), 3u);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 2);  // no temporary left

  const auto activity = WriteActivityFile({}, temp.path(), error);
  ASSERT_TRUE(activity) << error;
  EXPECT_TRUE(activity->filename().string().starts_with("torvane_"));
  EXPECT_EQ(activity->extension(), ".TXT");
  const auto text = test::ReadFile(*activity);
  EXPECT_EQ(std::string(text.begin(), text.end()), "\r\nSER_INDEX:\r\n\r\n");
}

}  // namespace
}  // namespace torvane::gui
