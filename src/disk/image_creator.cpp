#include "disk/image_creator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "util/bytes.h"
#include "util/page_buffer.h"

namespace torvane {
namespace {

constexpr uint32_t kChunkSectors = 8192;  // 4 MiB per read
constexpr size_t kBufferCount = 4;
// Zero detection works on 64 KiB blocks: small enough to keep holes in sparse disks, large
// enough that the writes stay long.
constexpr size_t kZeroBlockBytes = 64 * 1024;

struct Chunk {
  PageBuffer buffer;
  uint64_t byteOffset = 0;
  size_t bytes = 0;
};

// Hands filled chunks from the reader to the writer and empty ones back.
class ChunkQueue {
 public:
  void Push(std::deque<Chunk*>& q, Chunk* c) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      q.push_back(c);
    }
    cv_.notify_all();
  }
  Chunk* Pop(std::deque<Chunk*>& q) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return !q.empty() || closed_; });
    if (q.empty()) return nullptr;
    Chunk* c = q.front();
    q.pop_front();
    return c;
  }
  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    cv_.notify_all();
  }
  std::deque<Chunk*> full, empty;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool closed_ = false;
};

bool WriteAll(int fd, const std::byte* data, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// Writes the non-zero blocks of a chunk, merged into as few calls as possible.
bool WriteChunk(int fd, const Chunk& c) {
  size_t runStart = 0, runBytes = 0;
  for (size_t at = 0; at < c.bytes; at += kZeroBlockBytes) {
    const size_t n = std::min(kZeroBlockBytes, c.bytes - at);
    if (IsAllZero({c.buffer.data() + at, n})) {
      if (runBytes != 0 && !WriteAll(fd, c.buffer.data() + runStart, runBytes, c.byteOffset + runStart)) return false;
      runBytes = 0;
      continue;
    }
    if (runBytes == 0) runStart = at;
    runBytes += n;
  }
  return runBytes == 0 || WriteAll(fd, c.buffer.data() + runStart, runBytes, c.byteOffset + runStart);
}

}  // namespace

OutputGuard SourceOutputGuard(const DiskSource& source) {
  std::vector<FileId> ids;
  if (source.disk)
    for (const auto& f : source.disk->FileIdentities())
      if (f.device != 0 || f.inode != 0) ids.push_back(f);
  return OutputGuard(std::move(ids));
}

ImageResult CreateImage(DiskSource& source, const ImageJob& job, const ImageProgressFn& progress,
                        const std::atomic<bool>* stop) {
  ImageResult result;
  if (!source.disk) {
    result.error = "no disk is open";
    return result;
  }
  uint64_t available = 0;
  if (source.volumeStart < source.diskSectors) {
    const uint64_t last = std::min(source.volumeLastSector, source.diskSectors - source.volumeStart - 1);
    available = job.firstSector > last ? 0 : last - job.firstSector + 1;
  }
  const uint64_t total = job.sectorCount == 0 ? available : std::min(job.sectorCount, available);
  if (total == 0 || (job.sectorCount != 0 && job.sectorCount > available)) {
    result.error = "the sectors to copy lie outside the disk";
    return result;
  }
  // Opened first and checked by what was opened, so that nothing can swap the name for a
  // file of the source between the check and the truncation.
  const OutputGuard guard = SourceOutputGuard(source);
  UniqueFd file;
  uint64_t done = 0;
  if (job.resume) {
    file = UniqueFd(::open(job.output.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.Get(), &st) != 0) {
      result.error = "cannot open " + job.output.string() + " to continue it: " + std::strerror(errno);
      return result;
    }
    if (!S_ISREG(st.st_mode) || guard.IsProtected(file.Get())) {
      result.error = job.output.string() + " is not an image file that can be continued";
      return result;
    }
    if (static_cast<uint64_t>(st.st_size) > total * 512) {
      result.error = job.output.string() + " is longer than what it images; it is not continued";
      return result;
    }
    done = static_cast<uint64_t>(st.st_size) / 512;
    // Cut to whole sectors: bytes of a partial sector would stay where the copy goes on with
    // zeros, which are left as holes rather than written.
    if (::ftruncate(file.Get(), static_cast<off_t>(done * 512)) != 0) {
      result.error = "cannot cut " + job.output.string() + " to whole sectors: " + std::strerror(errno);
      return result;
    }
    result.resumedAt = done;
    if (job.log) job.log("Continuing the image at sector " + std::to_string(done));
  } else {
    file = job.overwrite ? guard.OpenForReplace(job.output, result.error) : guard.CreateNew(job.output, result.error);
  }
  if (!file) return result;
  const int fd = file.Get();

  std::vector<Chunk> chunks(kBufferCount);
  ChunkQueue queue;
  for (auto& c : chunks) {
    if (!c.buffer.Resize(uint64_t{kChunkSectors} * 512)) {
      result.error = "out of memory for the image buffers";
      return result;
    }
    queue.empty.push_back(&c);
  }
  std::atomic<bool> writeFailed{false};
  int writeErrno = 0;
  std::thread writer([&] {
    while (Chunk* c = queue.Pop(queue.full)) {
      if (!writeFailed && !WriteChunk(fd, *c)) {
        writeErrno = errno;
        writeFailed = true;
      }
      queue.Push(queue.empty, c);
    }
  });

  const uint64_t failedBefore = source.failedSectors;
  while (done < total && !writeFailed) {
    if ((stop != nullptr && *stop) || source.stopRequested) {
      result.stopped = true;
      break;
    }
    Chunk* c = queue.Pop(queue.empty);
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, total - done));
    // The image's reads clear the device-wait flags first, as ReadSectorsForImage does.
    source.waitPromptShown = 0;
    source.stopRequested = 0;
    const ReadResult read = source.Read(c->buffer.data(), n, job.firstSector + done);
    if (!read.done) {
      // Refused (the device went away): the image cannot be completed.
      queue.Push(queue.empty, c);
      result.error = "the disk refused a read at sector " + std::to_string(job.firstSector + done);
      break;
    }
    if (job.log)
      for (const auto& range : read.failedRanges)
        job.log("Sectors " + std::to_string(job.firstSector + done + range.start) + "-" +
                std::to_string(job.firstSector + done + range.start + range.count - 1) +
                " could not be read; the image holds zeros there");
    if (done == 0 && job.firstSectorReplacement.size() == 512) {
      std::memcpy(c->buffer.data(), job.firstSectorReplacement.data(), 512);
      if (job.log) job.log("The backup boot sector stands in the image for the damaged primary");
    }
    c->byteOffset = done * 512;
    c->bytes = uint64_t{n} * 512;
    queue.Push(queue.full, c);
    done += n;
    if (progress) progress(done, total);
  }
  // Wait until the writer has taken everything queued, then stop it.
  for (size_t i = 0; i < kBufferCount; ++i) queue.Pop(queue.empty);
  queue.Close();
  writer.join();

  result.sectorsCopied = done;
  result.failedSectors = source.failedSectors - failedBefore;
  result.lastFailure = source.lastFailure;
  result.failureReason = source.lastFailureReason;
  if (writeFailed) {
    result.error = "cannot write " + job.output.string() + ": " + std::strerror(writeErrno);
  } else if (result.error.empty() && !result.stopped) {
    // Holes at the end still count: the image has the full size of what was copied.
    if (::ftruncate(fd, static_cast<off_t>(done * 512)) != 0 || ::fdatasync(fd) != 0)
      result.error = "cannot finish " + job.output.string() + ": " + std::strerror(errno);
    else
      result.ok = true;
  }
  if (!file.Close() && result.ok) {
    result.ok = false;
    result.error = "cannot finish " + job.output.string() + ": " + std::strerror(errno);
  }
  result.status = result.ok                                ? ImageStatus::kDone
                  : result.stopped && result.error.empty() ? ImageStatus::kAborted
                                                           : ImageStatus::kFailed;
  return result;
}

}  // namespace torvane
