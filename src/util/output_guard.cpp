#include "util/output_guard.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace torvane {
namespace {

FileId IdOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool Contains(const std::vector<FileId>& ids, const FileId& id) {
  for (const auto& f : ids)
    if (f == id) return true;
  return false;
}

bool IsOneComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string Reason() {
  return std::strerror(errno);
}

}  // namespace

bool OutputGuard::IsProtected(const std::filesystem::path& path) const {
  struct stat st {};
  return !protected_.empty() && ::stat(path.c_str(), &st) == 0 && Contains(protected_, IdOf(st));
}

bool OutputGuard::IsProtected(int fd) const {
  struct stat st {};
  return !protected_.empty() && ::fstat(fd, &st) == 0 && Contains(protected_, IdOf(st));
}

UniqueFd OutputGuard::OpenOutputFolder(const std::filesystem::path& path, std::string& error) const {
  if (IsProtected(path)) {
    error = path.string() + " is a file of the disk being read";
    return {};
  }
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) error = "cannot open the folder " + path.string() + ": " + (ec ? ec.message() : Reason());
  return fd;
}

UniqueFd OutputGuard::OpenSubfolder(int dirFd, const std::string& name, std::string& error) {
  if (!IsOneComponent(name)) {
    error = "\"" + name + "\" is not a folder name";
    return {};
  }
  if (::mkdirat(dirFd, name.c_str(), 0755) != 0 && errno != EEXIST) {
    error = "cannot create the folder " + name + ": " + Reason();
    return {};
  }
  UniqueFd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd) return fd;
  const int openErrno = errno;
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    error = name + " is a symbolic link; Torvane does not follow links in the output folder";
  else if (openErrno == ENOTDIR)
    error = name + " exists and is not a folder";
  else
    error = "cannot open the folder " + name + ": " + std::strerror(openErrno);
  return {};
}

UniqueFd OutputGuard::CreateNew(const std::filesystem::path& path, std::string& error) const {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) {
    if (errno == EEXIST)
      error = IsProtected(path) ? path.string() + " is a file of the disk being read; choose another place"
                                : path.string() + " already exists";
    else
      error = "cannot create " + path.string() + ": " + Reason();
  }
  return fd;
}

UniqueFd OutputGuard::OpenForReplace(const std::filesystem::path& path, std::string& error) const {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) {
    error = errno == ELOOP ? path.string() + " is a symbolic link; name the file itself"
                           : "cannot open " + path.string() + ": " + Reason();
    return {};
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    error = "cannot open " + path.string() + ": " + Reason();
    return {};
  }
  if (Contains(protected_, IdOf(st))) {
    error = path.string() + " is a file of the disk being read; choose another place";
    return {};
  }
  // Only a regular file has a length to cut; a device is written over in place.
  if (S_ISREG(st.st_mode) && ::ftruncate(fd.Get(), 0) != 0) {
    error = "cannot truncate " + path.string() + ": " + Reason();
    return {};
  }
  return fd;
}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    Discard();
    dir_ = std::move(other.dir_);
    fd_ = std::move(other.fd_);
    temp_ = std::exchange(other.temp_, {});
    target_ = std::exchange(other.target_, {});
  }
  return *this;
}

bool PendingFile::Create(int dirFd, std::string& error) {
  Discard();
  dir_ = UniqueFd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
  if (!dir_) {
    error = "cannot hold the output folder open: " + Reason();
    return false;
  }
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".torvane-partial-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd_ = UniqueFd(::openat(dir_.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd_) {
      temp_ = std::move(name);
      return true;
    }
    if (errno != EEXIST) break;
  }
  error = std::string("cannot create a file in the output folder: ") + Reason();
  dir_.Reset();
  return false;
}

bool PendingFile::CreateFor(const std::filesystem::path& path, std::string& error) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    error = "cannot open the folder " + folder.string() + ": " + Reason();
    return false;
  }
  if (!Create(dir.Get(), error)) return false;
  target_ = path.filename().string();
  return true;
}

PendingFile::CommitResult PendingFile::Commit(const std::string& name, std::string& error, bool replace,
                                              const OutputGuard* guard) {
  if (!Active()) {
    error = "no file to finish";
    return CommitResult::kFailed;
  }
  if (!IsOneComponent(name)) {
    error = "\"" + name + "\" is not a file name";
    return CommitResult::kFailed;
  }
  if (fd_ && !fd_.Close()) {
    error = std::string("write error: ") + Reason();
    return CommitResult::kFailed;
  }
  const int dir = dir_.Get();
  auto done = [&] {
    temp_.clear();
    dir_.Reset();
    return CommitResult::kDone;
  };
  if (replace) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      error = name + " is a folder";
      return CommitResult::kFailed;
    }
    // The name itself, and what a link of that name leads to, must not be the source.
    if (guard != nullptr &&
        ((::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && Contains(guard->ProtectedFiles(), IdOf(st))) ||
         (::fstatat(dir, name.c_str(), &st, 0) == 0 && Contains(guard->ProtectedFiles(), IdOf(st))))) {
      error = name + " is a file of the disk being read";
      return CommitResult::kFailed;
    }
    if (::renameat(dir, temp_.c_str(), dir, name.c_str()) == 0) return done();
    error = "cannot name the file " + name + ": " + Reason();
    return CommitResult::kFailed;
  }
  // A hard link never replaces; where the file system has none, a rename that refuses to
  // replace; where that is not known either, a rename after checking the name is free.
  if (::linkat(dir, temp_.c_str(), dir, name.c_str(), 0) == 0) {
    ::unlinkat(dir, temp_.c_str(), 0);
    return done();
  }
  if (errno == EEXIST) return CommitResult::kExists;
  if (::renameat2(dir, temp_.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) return done();
  if (errno == EEXIST) return CommitResult::kExists;
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return CommitResult::kExists;
    if (::renameat(dir, temp_.c_str(), dir, name.c_str()) == 0) return done();
  }
  error = "cannot name the file " + name + ": " + Reason();
  return CommitResult::kFailed;
}

void PendingFile::Discard() {
  fd_.Reset();
  if (dir_ && !temp_.empty()) ::unlinkat(dir_.Get(), temp_.c_str(), 0);
  temp_.clear();
  dir_.Reset();
}

}  // namespace torvane
