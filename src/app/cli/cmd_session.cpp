// torvane session FILE [--json]: what a scan session holds — the disk and volume it belongs
// to, where its scan stood, and how many entries it keeps — read from its header alone.
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "session/session_file.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane session FILE [--json]\n\n"
    "Describes a scan session saved by 'torvane scan --save': the disk and volume it belongs\n"
    "to, where the scan stood, whether it had finished, and how many entries it holds.\n";

// The phase as the JSON output names it (data, never translated).
const char* PhaseName(uint32_t phase) {
  return phase == 2 ? "free space" : phase == 3 ? "whole volume (reverse)" : "not started";
}

// The phase as the text output names it.
std::string PhaseText(uint32_t phase) {
  return CliText(phase == 2 ? "szPhaseFreeSpace" : phase == 3 ? "szPhaseWholeVolume" : "szPhaseNotStarted");
}

std::string Label(std::string_view key) {
  return PadText(CliText(key), 10);
}

}  // namespace

int RunSession(const Args& args) {
  ParsedArgs p;
  const int early =
      ParseCommandLine(args, {kUsage, {"--json"}, {}, 1, 1, CliText("szTakesOneFile", {"session"}), {}}, p);
  if (early >= 0) return early;
  session::SessionState s;
  std::string error;
  if (!session::ReadSessionHeader(p.positional[0], s, error)) {
    PrintError(error);
    return 1;
  }
  const auto& w = s.resume;
  const uint64_t position = uint64_t{w[1]} | uint64_t{w[2]} << 32;
  const uint64_t processed = uint64_t{w[3]} | uint64_t{w[4]} << 32;
  const uint64_t entries = s.blockSizes[1] / kFileEntrySize;
  const uint64_t lost = s.blockSizes[2] / kFileEntrySize;
  const uint64_t raw = s.blockSizes[3] / kFileEntrySize;
  const bool finished = s.scanComplete != 0;
  if (p.Has("--json")) {
    JsonWriter j;
    j.BeginObject()
        .Field("disk", ToUtf8(s.imagePath))
        .Field("volume_start", s.volume.startSector)
        .Field("volume_sectors", s.volume.sectors)
        .Field("volume_serial", s.volume.serial)
        .Field("file_system", static_cast<uint32_t>(s.volume.kind))
        .Field("phase", PhaseName(w[0]))
        .Field("position", position)
        .Field("processed_clusters", processed)
        .Field("percent", w[10])
        .Field("finished", finished)
        .Field("paused", s.paused != 0)
        .Field("entries", entries)
        .Field("lost_files", lost)
        .Field("raw_files", raw)
        .Field("found_partitions", s.foundPartitions.size())
        .EndObject();
    std::printf("%s\n", j.Text().c_str());
    return 0;
  }
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", s.volume.serial);
  std::printf("%s %s\n", Label("szInfoDisk").c_str(), ToUtf8(s.imagePath).c_str());
  std::printf(
      "%s %s\n", Label("szSessionVolume").c_str(),
      CliText("szSessionVolumeValue", {GroupThousands(s.volume.sectors), GroupThousands(s.volume.startSector), serial})
          .c_str());
  std::printf("%s %s\n", Label("szSessionScan").c_str(),
              CliText(finished ? "szSessionScanDone" : "szSessionScanNotDone",
                      {PhaseText(w[0]), std::to_string(w[10]), GroupThousands(processed)})
                  .c_str());
  std::printf(
      "%s %s\n", Label("szSessionEntries").c_str(),
      CliText("szSessionEntriesValue", {GroupThousands(entries), GroupThousands(lost), GroupThousands(raw)}).c_str());
  return 0;
}

}  // namespace torvane::cli
