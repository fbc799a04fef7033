// torvane identify FILE... [--json]: what carving would make of each file's bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "raw/probes/identify.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/unique_fd.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane identify FILE... [--json]\n\n"
    "Runs the file-type probes on each file as carving would on a disk: the catalogue entry,\n"
    "the sub-type (a ZIP that is a DOCX), and the size the probes measure from the file's\n"
    "first byte, or \"unknown\". A size marked estimated is a cap or a guess.\n\n"
    "  --json   one JSON object per line: path, entry (catalogue number), tag, extension,\n"
    "           size (null when unknown), estimated\n";

constexpr uint32_t kSectorBytes = 512;

// The file's bytes as sectors; the part of the last sector past the end reads as zeros.
bool OpenForProbing(const std::string& path, UniqueFd& fd, uint64_t& size, std::string& error) {
  // Non-blocking, so that a FIFO given by mistake cannot hang the open.
  fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    const off_t end = ::lseek(fd.Get(), 0, SEEK_END);
    if (end < 0) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    size = static_cast<uint64_t>(end);
  } else {
    error = CliText("szNotFileOrDevice", {path});
    return false;
  }
  if (size == 0) {
    error = CliText("szFileEmpty", {path});
    return false;
  }
  return true;
}

}  // namespace

int RunIdentify(const Args& args) {
  CommandLine command;
  command.usage = kUsage;
  command.flags = {"--json"};
  command.minPositional = 1;
  command.maxPositional = SIZE_MAX;
  command.positionalError = CliText("szIdentifyNeedsFile");
  ParsedArgs p;
  if (int rc = ParseCommandLine(args, command, p); rc >= 0) return rc;
  const bool json = p.Has("--json");
  int rc = 0;
  for (const std::string& path : p.positional) {
    UniqueFd fd;
    uint64_t size = 0;
    std::string error;
    if (!OpenForProbing(path, fd, size, error)) {
      PrintError(error);
      rc = 1;
      continue;
    }
    bool readFailed = false;
    const SectorReader read = [&](uint64_t sector, uint32_t count, std::byte* out) {
      const uint64_t want = uint64_t{count} * kSectorBytes;
      uint64_t done = 0;
      while (done < want) {
        const ssize_t n = ::pread(fd.Get(), out + done, want - done, static_cast<off_t>(sector * kSectorBytes + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          readFailed = true;
          return false;
        }
        if (n == 0) break;
        done += static_cast<uint64_t>(n);
      }
      std::memset(out + done, 0, want - done);
      return true;
    };
    const probes::Identification id = probes::IdentifyAt(read, 0, kSectorBytes, size);
    if (readFailed && id.entry == nullptr) {
      PrintError(CliText("szFileUnreadable", {path}));
      rc = 1;
      continue;
    }
    if (json) {
      JsonWriter j;
      j.BeginObject();
      j.Field("path", path);
      j.Key("entry");
      if (id.entry != nullptr)
        j.Number(id.entry->number);
      else
        j.Null();
      j.Field("tag", std::string(id.entry != nullptr ? id.entry->tag : ""));
      j.Field("extension", std::string(id.entry != nullptr ? id.entry->extension : ""));
      j.Key("size");
      if (id.size)
        j.Number(*id.size);
      else
        j.Null();
      j.Field("estimated", id.estimated);
      j.EndObject();
      std::printf("%s\n", j.Text().c_str());
    } else if (id.entry == nullptr) {
      std::printf("%s\n", CliText("szNotRecognised", {path}).c_str());
    } else {
      std::string measured = id.size ? CliText("szBytes", {GroupThousands(*id.size)}) : CliText("szUnknownSize");
      if (id.estimated) measured = CliText("szEstimated", {measured});
      std::string line = CliText("szIdentified", {path, std::to_string(id.entry->number), std::string(id.entry->tag),
                                                  std::string(id.entry->extension), measured});
      if (!id.nameSuffix.empty()) line += CliText("szNameSuffix", {id.nameSuffix});
      std::printf("%s\n", line.c_str());
    }
  }
  return rc;
}

}  // namespace torvane::cli
