// Times the explorer model on one volume: the walk, then opening the model on the largest
// folder and forming its first 100 rows (the folder index made on the way), the same again
// with the index made, a name sort of that folder, a name search over every entry (its
// folder source made on the way), and the peak resident memory.
// Usage: model_bench DISK [ROW]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/drive_list.h"
#include "app/workspace.h"
#include "explorer/results_model.h"
#include "explorer/search.h"
#include "scan/volume_scan.h"

using namespace torvane;
using Clock = std::chrono::steady_clock;

static double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: model_bench DISK [ROW]\n");
    return 2;
  }
  Workspace ws;
  std::string error;
  const size_t row = argc > 2 ? std::stoul(argv[2]) : 0;
  auto t = Clock::now();
  if (!OpenDriveListRow(ws.driveList, ws.source, ws.geometry, argv[1], row, error)) {
    std::fprintf(stderr, "model_bench: %s\n", error.c_str());
    return 1;
  }
  WalkSummary walk;
  if (!WalkVolume(ws.source, ws.geometry, ws.store, ws.fileSystem, walk, {}, error)) {
    std::fprintf(stderr, "model_bench: %s\n", error.c_str());
    return 1;
  }
  std::printf("walk: %.1f ms, %llu entries\n", Ms(t), static_cast<unsigned long long>(walk.entries));

  // The largest folder: found from the root's listing down, by row count (untimed).
  explorer::ResultsModel probe(ws.store, *ws.fileSystem, ws.geometry.volumeSectors * 512);
  explorer::FolderRef largest = explorer::kRootFolderRef;
  size_t largestRows = 0;
  std::vector<explorer::FolderRef> pending{explorer::kRootFolderRef};
  while (!pending.empty()) {
    const explorer::FolderRef f = pending.back();
    pending.pop_back();
    const explorer::FolderListing l = probe.Folders().List(f, {});
    if (l.rows.size() > largestRows) largestRows = l.rows.size(), largest = f;
    for (size_t r = l.firstSortable; r < l.rows.size(); ++r)
      if (l.rows[r].IsFolderRow() && explorer::IsRealFolderRef(l.rows[r].opens)) pending.push_back(l.rows[r].opens);
  }
  std::printf("largest folder: %zu rows\n", largestRows);

  auto firstRows = [&](explorer::ResultsModel& m) {
    size_t chars = 0;
    for (size_t r = 0; r < 100 && r < m.RowCount(); ++r)
      for (int c = 0; c < explorer::kColumnCount; ++c) chars += m.Cell(r, static_cast<explorer::Column>(c)).size();
    return chars;
  };
  for (int round = 0; round < 2; ++round) {
    t = Clock::now();
    explorer::ResultsModel model(ws.store, *ws.fileSystem, ws.geometry.volumeSectors * 512);
    model.Open(largest);
    const size_t chars = firstRows(model);
    std::printf("open model + list largest folder + first 100 rows (%s): %.1f ms (%zu chars)\n",
                round == 0 ? "new model, folder index made" : "again", Ms(t), chars);
  }
  explorer::ResultsModel model(ws.store, *ws.fileSystem, ws.geometry.volumeSectors * 512);
  model.Open(largest);
  t = Clock::now();
  model.Refresh();
  std::printf("list the largest folder again (index up to date): %.1f ms\n", Ms(t));
  t = Clock::now();
  model.SortBy(explorer::kColumnName);
  std::printf("sort it by name: %.1f ms\n", Ms(t));
  t = Clock::now();
  {
    const std::unique_ptr<ItemTree> tree = ws.fileSystem->MakeTree();
    const explorer::TreeFolderSource source(ws.store.deletedEntries, *tree, &ws.store.entryListLock);
    explorer::SearchCriteria criteria;
    criteria.masks = {u"*12345*"};
    const std::atomic<bool> stop{false};
    const explorer::SearchResult found = explorer::RunSearch(source, criteria, nullptr, stop);
    std::printf("name search over all %llu entries: %.1f ms, %zu matches\n",
                static_cast<unsigned long long>(found.entriesSeen), Ms(t), found.matches.size());
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak RSS: %ld KiB\n", usage.ru_maxrss);
  return 0;
}
