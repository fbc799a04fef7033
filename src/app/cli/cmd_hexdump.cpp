// torvane hexdump DISK -v N PATH [--offset N] [--length N]: the bytes of one file of a
// volume, deleted ones included, as the rows of the hex view.
#include <algorithm>
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/number_arg.h"
#include "app/cli/volume_arg.h"
#include "explorer/hex_rows.h"
#include "recovery/content_reader.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane hexdump DISK -v N PATH [--offset N] [--length N]\n\n"
    "Shows the bytes of the file PATH of volume N (see 'torvane volumes'), existing or\n"
    "deleted, 16 to a row: the offset, the bytes in hexadecimal and the same bytes as\n"
    "characters ('.' for control characters). Bytes that cannot be read are shown as \"??\".\n"
    "PATH is written as 'torvane ls' shows it.\n"
    "  --offset N  start at the row that holds byte N (default 0)\n"
    "  --length N  show the rows that hold N bytes from there (default: to the end)\n"
    "Numbers are decimal or 0x hexadecimal, with an optional k, M, G or T.\n";

}  // namespace

int RunHexdump(const Args& args) {
  ParsedArgs p;
  const int early = ParseCommandLine(args,
                                     {kUsage,
                                      {},
                                      {"-v", "--offset", "--length"},
                                      2,
                                      2,
                                      CliText("szTakesDiskAndPath", {"hexdump"}),
                                      {{"-v", CliText("szNeedsVolume", {"hexdump"})}}},
                                     p);
  if (early >= 0) return early;
  std::vector<std::string> wanted;
  std::string error;
  if (!ParsePathArgument(p.positional[1], wanted, error)) {
    PrintError(error);
    return 2;
  }
  uint64_t offset = 0, length = UINT64_MAX;
  for (auto [name, target] : {std::pair{"--offset", &offset}, std::pair{"--length", &length}}) {
    if (p.Option(name).empty()) continue;
    const auto v = ParseByteCount(p.Option(name));
    if (!v) {
      PrintError(Text("szBadNumber", {p.Option(name)}));
      return 2;
    }
    *target = *v;
  }
  Workspace ws;
  WalkSummary walk;
  if (!OpenAndWalk(ws, p, walk)) return 1;

  // The entry at PATH: an existing file before a deleted one of the same path.
  const DynList& list = ws.store.deletedEntries;
  const auto tree = ws.fileSystem->MakeTree();
  const uint64_t n = EntryCount(list);
  std::optional<FileEntry> file;
  bool folder = false;
  for (uint64_t i = 0; i < n; ++i) {
    const auto components = tree->PathComponents(i);
    if (components.size() != wanted.size() || components.empty()) continue;
    bool same = true;
    for (size_t k = 0; k < wanted.size() && same; ++k) same = ToUtf8(components[k]) == wanted[k];
    if (!same) continue;
    const FileEntry e = EntryAt(list, i);
    if (e.IsFolder()) {
      folder = true;
      continue;
    }
    if (!file || (file->state != kStateExisting && e.state == kStateExisting)) file = e;
  }
  if (!file) {
    PrintError(folder ? Text("szIsAFolder", {p.positional[1]})
                      : Text("szNoSuchFile", {p.positional[1], p.Option("-v")}));
    return 1;
  }

  recovery::ReaderContext reader = ws.Reader();
  explorer::HexRows rows = explorer::HexRows::ForItem(reader, *file);
  std::printf("%s\n", explorer::HexHeader(Language().Text("WINDOW_HEX_VIEW", "szOffset")).c_str());
  const uint64_t first = offset / explorer::kHexRowBytes, size = file->size;  // a copy: the entry is packed
  const uint64_t end = length == 0 ? first
                       : offset > size - std::min<uint64_t>(size, length)
                           ? rows.RowCount()
                           : (offset + length - 1) / explorer::kHexRowBytes + 1;
  uint64_t unreadable = 0;
  for (uint64_t r = first; r < std::min(end, rows.RowCount()); ++r) {
    const explorer::HexRow row = rows.Row(r);
    unreadable += static_cast<uint64_t>(std::count(row.readable.begin(), row.readable.begin() + row.count, false));
    std::printf("%s\n", explorer::FormatHexRow(row).c_str());
  }
  std::fflush(stdout);
  if (unreadable != 0) {
    PrintError(CliText("szUnreadableBytes", {std::to_string(unreadable)}));
    return 1;
  }
  return 0;
}

}  // namespace torvane::cli
