// torvane image DISK -o OUT: the whole virtual disk copied into a raw image file.
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/commands.h"
#include "app/cli/progress_bar.h"
#include "disk/image_creator.h"
#include "util/format.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane image DISK -o OUT [--force]\n\n"
    "Copies every sector of a virtual disk into the raw image file OUT, which any disk tool\n"
    "(and Torvane itself) can open. The source is only read. OUT must not exist unless\n"
    "--force is given (a symbolic link is then refused, not followed), and must never be\n"
    "one of the disk's own files.\n";

}  // namespace

int RunImage(const Args& args) {
  ParsedArgs p;
  if (const int early =
          ParseCommandLine(args, {kUsage, {"--force"}, {"-o", "--output"}, 1, 1, "image takes one disk", {}}, p);
      early >= 0)
    return early;
  std::string output = p.Option("-o");
  if (output.empty()) output = p.Option("--output");
  if (output.empty()) {
    PrintError("image needs an output file (-o OUT)");
    std::fputs(kUsage, stderr);
    return 2;
  }
  DiskSource source;
  std::string error;
  if (!source.OpenSource(p.positional[0], 0, error)) {
    PrintError(error);
    return 1;
  }
  ImageJob job;
  job.output = output;
  job.overwrite = p.Has("--force");
  ProgressBar bar("Imaging");
  ImageResult r = CreateImage(source, job, [&](uint64_t done, uint64_t total) { bar.Update(done * 512, total * 512); });
  bar.Finish();
  if (!r.error.empty()) {
    PrintError(r.error);
    return 1;
  }
  if (r.failedSectors != 0) {
    PrintError(GroupThousands(r.failedSectors) +
               " sectors could not be read and hold zeros in the image (last: sectors " +
               std::to_string(r.lastFailure.start) + "-" +
               std::to_string(r.lastFailure.start + r.lastFailure.count - 1) + ": " + r.failureReason + ")");
    return 1;
  }
  std::fprintf(stderr, "Wrote %s (%s sectors) to %s\n", HumanSize(r.sectorsCopied * 512).c_str(),
               GroupThousands(r.sectorsCopied).c_str(), output.c_str());
  return 0;
}

}  // namespace torvane::cli
