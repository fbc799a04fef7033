// Walks a region file as header detect would: at each sector the probes identify what starts
// there; a measured file is stepped over (rounded up to whole sectors), anything else moves on
// by one sector. Prints the region's size, the time spent and the throughput in GB (10^9
// bytes) of region per second, and what was found. The region is mapped and read from the
// page cache; the probes read it through a sector reader as they read a disk.
//
// Probe time is the walking thread's CPU time (on a shared machine the wall time mostly
// measures the other processes); the wall time is printed beside it.
//
//   probe_bench REGION [ROUNDS]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "raw/probes/identify.h"

using namespace torvane;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: probe_bench REGION [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const int fd = open(argv[1], O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 512) {
    std::fprintf(stderr, "probe_bench: cannot read %s\n", argv[1]);
    return 1;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size) / 512 * 512;
  const auto* region = static_cast<const std::byte*>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
  if (region == MAP_FAILED) {
    std::fprintf(stderr, "probe_bench: cannot map %s\n", argv[1]);
    return 1;
  }
  const SectorReader read = [&](uint64_t sector, uint32_t count, std::byte* out) {
    if (sector > size / 512 || count > size / 512 - sector) return false;
    std::memcpy(out, region + sector * 512, size_t{count} * 512);
    return true;
  };

  const auto cpuNow = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
  };
  std::vector<double> seconds, wall;
  std::map<std::string, uint64_t> found;
  for (int round = 0; round < rounds; ++round) {
    found.clear();
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpuNow();
    for (uint64_t pos = 0; pos < size;) {
      ProbeContext ctx;
      ctx.firstSector = ByteSpan(region + pos, 512);
      ctx.sector = pos / 512;
      ctx.read = &read;
      ctx.bytesAvailable = size - pos;
      const probes::Identification id = probes::Identify(ctx);
      uint64_t step = 512;
      if (id.entry != nullptr && id.size.has_value() && *id.size != 0) {
        ++found[std::string(id.entry->tag)];
        if (!id.estimated) step = (*id.size + 511) / 512 * 512;
      }
      pos += step;
    }
    seconds.push_back(cpuNow() - cpuStart);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  std::sort(wall.begin(), wall.end());
  const double median = seconds[seconds.size() / 2];
  uint64_t files = 0;
  for (const auto& [tag, n] : found) files += n;
  std::printf("region: %.3f GB, rounds: %d, median probe time: %.3f s CPU (%.3f s wall)\n", size / 1e9, rounds, median,
              wall[wall.size() / 2]);
  std::printf("throughput: %.2f GB/s of region per second of probe time\n", size / 1e9 / median);
  std::printf("files identified per round: %llu\n", static_cast<unsigned long long>(files));
  for (const auto& [tag, n] : found) std::printf("  %-10s %llu\n", tag.c_str(), static_cast<unsigned long long>(n));
  munmap(const_cast<std::byte*>(region), size);
  close(fd);
  return 0;
}
