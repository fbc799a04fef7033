#include "app/cli/volume_arg.h"

#include <signal.h>

#include <atomic>
#include <charconv>
#include <ctime>
#include <utility>

#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/found_volumes.h"
#include "app/cli/progress_bar.h"
#include "fs/raw_file_system.h"
#include "raw/carve/carve_scan.h"
#include "util/file_time.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {

bool OpenVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error) {
  if (IsFoundVolumeRow(row)) return OpenFoundVolumeRow(ws, disk, row, error);
  size_t index = 0;
  auto [end, ec] = std::from_chars(row.data(), row.data() + row.size(), index);
  if (row.empty() || ec != std::errc() || end != row.data() + row.size()) {
    error = CliText("szBadVolumeRow");
    return false;
  }
  if (OpenDriveListRow(ws.driveList, ws.source, ws.geometry, disk, index, error)) return true;
  if (ws.driveList.openError.empty() && index >= ws.driveList.rows.size())
    error = CliText("szNoSuchVolume", {row, disk});
  return false;
}

bool OpenAndWalk(Workspace& ws, const std::string& disk, const std::string& row, WalkSummary& summary,
                 std::string& error, bool rawMode) {
  if (!OpenVolumeRow(ws, disk, row, error)) return false;
  // The whole-disk row is read in RAW mode: its file system is not the volumes' on it.
  // (A found volume, FILE.tqsp:N, is never the whole disk.)
  size_t index = 0;
  const auto [end, ec] = std::from_chars(row.data(), row.data() + row.size(), index);
  if (ec == std::errc() && end == row.data() + row.size() && index < ws.driveList.rows.size() &&
      ws.driveList.rows[index].wholeDisk)
    rawMode = true;
  ProgressBar bar(CliText("szProgressReadingFileSystem"));
  const auto progress = [&](uint32_t permille) { bar.Update(permille, 1000); };
  bool ok;
  if (rawMode) {
    ws.fileSystem = OpenRawFileSystem(ws.source, ws.geometry, ws.store);
    ok = ws.fileSystem->Walk(progress, summary, error);
  } else {
    ok = WalkVolume(ws.source, ws.geometry, ws.store, ws.fileSystem, summary, progress, error);
  }
  bar.Finish();
  // The engine's reason says what the volume is ("not a volume Torvane can read").
  if (!ok && ws.fileSystem == nullptr) error = CliText("szVolumeIs", {row, error});
  return ok;
}

bool OpenAndWalk(Workspace& ws, const ParsedArgs& p, WalkSummary& summary) {
  std::string error;
  if (OpenAndWalk(ws, p.positional.at(0), p.Option("-v"), summary, error, p.Has("--raw-mode"))) return true;
  PrintError(error);
  return false;
}

namespace {

// Set by Ctrl-C or SIGTERM while a scan runs; the scan polls it.
std::atomic<bool> stopScan{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void OnStopSignal(int) {
  stopScan = true;
}

// Catches SIGINT and SIGTERM for its lifetime (once each: the next one ends the program as
// usual) and makes sure they are not blocked.
class StopSignals {
 public:
  StopSignals() {
    stopScan = false;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &set, &previousMask_);
  }
  ~StopSignals() {
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction previousInt_ {
  }, previousTerm_{};
  sigset_t previousMask_{};
};

}  // namespace

VolumeScanResult ScanVolume(Workspace& ws, bool reverse, bool headerDetect) {
  VolumeScanOptions options;
  options.reverse = reverse;
  return ScanVolume(ws, std::move(options), headerDetect);
}

VolumeScanResult ScanVolume(Workspace& ws, VolumeScanOptions scanOptions, bool headerDetect) {
  ProgressBar bar(CliText(scanOptions.reverse ? "szProgressScanningVolume" : "szProgressScanningFreeSpace"));
  carve::CarveScanOptions options;
  options.scan = std::move(scanOptions);
  options.scan.stop = &stopScan;
  options.scan.progress = [&](uint32_t percent) { bar.Update(percent, 100); };
  options.headerDetect = headerDetect;
  VolumeScanResult result;
  {
    StopSignals signals;
    result = carve::ScanWithCarving(ws.source, ws.geometry, ws.store, *ws.fileSystem, options).scan;
  }
  bar.Finish();
  return result;
}

StopSignalScope::StopSignalScope() : signals_(new StopSignals) {}
StopSignalScope::~StopSignalScope() {
  delete static_cast<StopSignals*>(signals_);
}
const std::atomic<bool>* StopFlag() {
  return &stopScan;
}

bool ReportScanOutcome(const VolumeScanResult& scan) {
  switch (scan.outcome) {
    case ScanOutcome::kFinished:
      return true;
    case ScanOutcome::kStopped:
      PrintError(CliText("szScanStopped"));
      return false;
    case ScanOutcome::kInterrupted:
      PrintError(CliText("szScanInterrupted"));
      return false;
  }
  return false;
}

std::string EntryJson(const std::string& path, const std::string& name, const FileEntry& e) {
  JsonWriter j;
  j.BeginObject();
  j.Field("path", path);
  j.Field("name", name);
  j.Field("size", uint64_t{e.size});
  j.Field("state", static_cast<uint32_t>(e.state));
  j.Field("kind", static_cast<uint32_t>(e.kind));
  j.Field("folder", e.IsFolder());
  j.Field("deleted", e.state != kStateExisting);
  j.Field("record", uint64_t{e.recordNumber});
  j.Field("time", FiletimeToIso(e.time));
  j.EndObject();
  return j.Text();
}

std::string SlashPath(const std::vector<std::u16string_view>& components) {
  std::string path;
  for (auto c : components) path += (path.empty() ? "" : "/") + ToUtf8(c);
  return path;
}

std::string EscapeName(std::string_view name) {
  static constexpr char kNamed[] = "abtnvfr";  // 0x07 to 0x0D
  std::string out;
  out.reserve(name.size());
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\' || c == '/') {
      out += '\\';
      out += ch;
    } else if (c >= 0x07 && c <= 0x0D) {
      out += '\\';
      out += kNamed[c - 0x07];
    } else if (c < 0x20 || c == 0x7F) {
      const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
                            static_cast<char>('0' + (c & 7))};
      out.append(octal, sizeof octal);
    } else {
      out += ch;
    }
  }
  return out;
}

std::string EscapedPath(const std::vector<std::u16string_view>& components) {
  std::string path;
  for (size_t i = 0; i < components.size(); ++i) path += (i ? "/" : "") + EscapeName(ToUtf8(components[i]));
  return path;
}

bool ParsePathArgument(std::string_view text, std::vector<std::string>& components, std::string& error) {
  static constexpr std::string_view kNamed = "abtnvfr";
  components.clear();
  std::string part;
  auto endPart = [&] {
    if (!part.empty()) components.push_back(std::move(part));
    part.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '/') {
      endPart();
      continue;
    }
    if (c != '\\') {
      part += c;
      continue;
    }
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (next == '\\' || next == '/') {
      part += next;
      ++i;
    } else if (next == 'e') {  // as shells write ESC
      part += '\x1B';
      ++i;
    } else if (next != '\0' && kNamed.find(next) != std::string_view::npos) {
      part += static_cast<char>(0x07 + kNamed.find(next));
      ++i;
    } else if (i + 3 < text.size() && next >= '0' && next <= '3' && text[i + 2] >= '0' && text[i + 2] <= '7' &&
               text[i + 3] >= '0' && text[i + 3] <= '7') {
      part += static_cast<char>((next - '0') << 6 | (text[i + 2] - '0') << 3 | (text[i + 3] - '0'));
      i += 3;
    } else {
      error = CliText("szBadEscape", {text});
      return false;
    }
  }
  endPart();
  return true;
}

}  // namespace torvane::cli
