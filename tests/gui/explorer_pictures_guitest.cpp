// Pictures for miniatures and previews, the miniature worker and the hex view's rows, over
// the pictures of the carve fixture and over hostile bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "app/gui/hex_view_window.h"
#include "app/gui/miniature_loader.h"
#include "app/gui/picture_decoder.h"
#include "test_util.h"

namespace torvane::gui {
namespace {

// A picture of the carve fixture, by its name in the manifest.
QByteArray FixturePicture(const std::string& name) {
  for (const auto& row : test::ReadTsv(test::DataPath("carve/MANIFEST.tsv"))) {
    if (row[0] != name) continue;
    const auto disk = test::ReadFile(test::DataPath("carve/carve.img"));
    const size_t at = std::stoull(row[2]) * 512, size = std::stoull(row[3]);
    if (at + size > disk.size()) break;
    return QByteArray(reinterpret_cast<const char*>(disk.data() + at), static_cast<qsizetype>(size));
  }
  ADD_FAILURE() << name << " is not in the carve fixture";
  return {};
}

void PutBe32(QByteArray& b, int at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// A PNG whose header claims `w` x `h` pixels (a valid IHDR with its CRC) and no image data.
QByteArray HugePng(uint32_t w, uint32_t h) {
  QByteArray b("\x89PNG\r\n\x1a\n", 8);
  QByteArray ihdr("\0\0\0\x0dIHDR\0\0\0\0\0\0\0\0\x08\x06\0\0\0", 21);
  PutBe32(ihdr, 8, w);
  PutBe32(ihdr, 12, h);
  b += ihdr;
  QByteArray crc(4, '\0');
  PutBe32(crc, 0, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(ihdr.constData() + 4), 17)));
  // An empty IDAT and IEND, so that the header is read to its end.
  return b + crc + QByteArray("\0\0\0\0IDAT\x35\xaf\x06\x1e\0\0\0\0IEND\xae\x42\x60\x82", 24);
}

TEST(ExplorerPictures, FixturePicturesDecodeToTheRequestedEdge) {
  for (const char* name : {"photo1.jpg", "photo2.jpg", "image.png", "image.bmp"}) {
    const DecodedPicture p = DecodePicture(FixturePicture(name), 64);
    ASSERT_FALSE(p.image.isNull()) << name << ": " << p.reason.toStdString();
    EXPECT_LE(std::max(p.image.width(), p.image.height()), 64) << name;
    EXPECT_EQ(std::max(p.image.width(), p.image.height()), 64) << name;  // fixtures are larger
  }
  EXPECT_EQ(PictureClass("JPG"), 0);
  EXPECT_EQ(PictureClass("nef"), 5);
  EXPECT_EQ(PictureClass("tiff"), 6);
  EXPECT_EQ(PictureClass("wav"), -1);
}

TEST(ExplorerPictures, HostilePicturesAreRefusedBeforeDecoding) {
  // A header of 60,000 x 60,000 pixels is refused from its header, at once.
  const auto start = std::chrono::steady_clock::now();
  DecodedPicture png = DecodePicture(HugePng(60000, 60000), 64);
  EXPECT_TRUE(png.image.isNull());
  EXPECT_EQ(png.fullSize, QSize(60000, 60000));
  QByteArray jpeg = FixturePicture("photo1.jpg");
  const qsizetype sof = jpeg.indexOf("\xFF\xC0");
  ASSERT_GT(sof, 0);
  jpeg[sof + 5] = jpeg[sof + 7] = static_cast<char>(0xEA);  // height and width 0xEA60 = 60,000
  jpeg[sof + 6] = jpeg[sof + 8] = static_cast<char>(0x60);
  EXPECT_TRUE(DecodePicture(jpeg, 64).image.isNull());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // Truncated and empty pictures and other bytes give no image (the type icon is shown).
  EXPECT_TRUE(DecodePicture(FixturePicture("image.png").left(300), 64).image.isNull());
  EXPECT_TRUE(DecodePicture(QByteArray(), 64).image.isNull());
  EXPECT_TRUE(DecodePicture(FixturePicture("sound.wav"), 64).image.isNull());
}

TEST(ExplorerPictures, CameraFileShowsItsEmbeddedJpeg) {
  // A TIFF-like camera file: a header, filler, then the JPEG preview.
  QByteArray raw("II*\0\x08\0\0\0", 8);
  raw += QByteArray(1000, '\x11');
  raw += FixturePicture("photo2.jpg");
  raw += QByteArray(500, '\x22');
  EXPECT_TRUE(DecodePicture(raw, 48, 0).image.isNull());
  EXPECT_FALSE(DecodePicture(raw, 48, PictureClass("nef")).image.isNull());
}

// Entries of the carve fixture read straight from the image file.
bool ReadFixture(const FileEntry& e, const std::atomic<bool>&, std::vector<std::byte>& out) {
  const auto disk = test::ReadFile(test::DataPath("carve/carve.img"));
  const size_t at = e.dataStart * 512;
  if (at + e.size > disk.size()) return false;
  out.assign(reinterpret_cast<const std::byte*>(disk.data() + at),
             reinterpret_cast<const std::byte*>(disk.data() + at + e.size));
  return true;
}

TEST(ExplorerPictures, LoaderDeliversMiniaturesAndIconsAndDropsReplacedJobs) {
  std::mutex m;
  std::map<uint64_t, bool> results;
  std::vector<uint64_t> generations;
  MiniatureLoader loader(ReadFixture, [&](uint64_t generation, uint64_t key, const QImage& image) {
    std::lock_guard<std::mutex> lock(m);
    results[key] = !image.isNull();
    generations.push_back(generation);
  });
  std::vector<MiniatureJob> jobs;
  uint64_t key = 0;
  for (const auto& row : test::ReadTsv(test::DataPath("carve/MANIFEST.tsv"))) {
    if (row[0] != "photo1.jpg" && row[0] != "image.png" && row[0] != "paper.pdf") continue;
    MiniatureJob job;
    job.key = key++;
    job.entry.dataStart = std::stoull(row[2]);
    job.entry.size = std::stoull(row[3]);
    job.edge = 96;
    jobs.push_back(job);
  }
  loader.Queue(7, jobs);
  for (int i = 0; i < 2000 && loader.Finished() < 3; ++i) QTest::qWait(5);
  ASSERT_EQ(loader.Finished(), 3u);
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(results, (std::map<uint64_t, bool>{{0, true}, {1, true}, {2, false}}));  // pdf: the icon
  EXPECT_EQ(generations, (std::vector<uint64_t>{7, 7, 7}));
}

TEST(ExplorerPictures, LoaderStopsWhileAReadHangs) {
  std::atomic<bool> entered{false};
  std::atomic<int> calls{0};
  auto loader = std::make_unique<MiniatureLoader>(
      [&](const FileEntry&, const std::atomic<bool>& stop, std::vector<std::byte>&) {
        entered = true;
        while (!stop) std::this_thread::yield();  // a read that ends only when told to stop
        return false;
      },
      [&](uint64_t, uint64_t, const QImage&) { ++calls; });
  loader->Queue(1, std::vector<MiniatureJob>(5));
  for (int i = 0; i < 2000 && !entered; ++i) QTest::qWait(5);
  ASSERT_TRUE(entered.load());
  loader.reset();  // stops and joins
  EXPECT_EQ(calls.load(), 0);
}

TEST(ExplorerHexView, ReadsOnlyTheVisibleSectorsAndShowsUnreadableBytes) {
  // A 10,000-byte file of pattern bytes whose sector 1 cannot be read.
  const auto pattern = test::PatternBytes(10000);
  std::mutex m;
  std::vector<std::pair<uint64_t, uint64_t>> reads;
  explorer::HexRows rows(10000, 512, [&](uint64_t first, uint64_t last, ReaderSink& sink) {
    {
      std::lock_guard<std::mutex> lock(m);
      reads.emplace_back(first, last);
    }
    ReadOutcome outcome;
    if (first / 512 == 1) {
      outcome.error = "unreadable";
      return outcome;
    }
    sink.WriteChunk(std::span(pattern).subspan(first, last - first + 1));
    outcome.ok = true;
    return outcome;
  });
  app::LanguageTable language;
  HexViewWindow window(language);
  window.resize(700, 60 * window.fontMetrics().height());
  QSignalSpy spy(window.View(), &HexViewWidget::pageReady);
  window.ShowFile("pattern.bin", std::move(rows));
  ASSERT_TRUE(spy.wait(5000));
  HexViewWidget* view = window.View();
  // The first page may come for the window's size before its layout; the page of the laid
  // out window follows.
  for (int i = 0; i < 1000 && view->PageLines().size() <= static_cast<size_t>(view->VisibleRowCount()); ++i)
    QTest::qWait(5);
  ASSERT_GT(view->PageLines().size(), 40u);
  EXPECT_EQ(view->PageLines()[0].substr(0, 17), "0000000000  0B 30");
  // Rows 32 to 63 lie in sector 1: every byte "??".
  EXPECT_EQ(view->PageLines()[32].substr(0, 20), "0000000200  ?? ?? ??");
  {
    std::lock_guard<std::mutex> lock(m);
    for (const auto& [first, last] : reads) {
      EXPECT_EQ(first % 512, 0u);
      EXPECT_EQ(last - first + 1, 512u);
      EXPECT_LT(first / 512, 3u);  // only the sectors of the visible rows
    }
  }
  // The end of the file: the last, short row.
  spy.clear();
  view->ScrollToRow(UINT64_MAX);
  for (int i = 0; i < 1000 && view->PageFirstRow() + view->PageLines().size() != 625; ++i) QTest::qWait(5);
  ASSERT_EQ(view->PageFirstRow() + view->PageLines().size(), 625u);
  EXPECT_EQ(view->PageLines().back().substr(0, 10), "0000002700");
  std::filesystem::create_directories(TORVANE_GUI_SCREENSHOTS);
  window.grab().save(QString::fromStdString((std::filesystem::path(TORVANE_GUI_SCREENSHOTS) / "hexview.png").string()));
}

}  // namespace
}  // namespace torvane::gui
