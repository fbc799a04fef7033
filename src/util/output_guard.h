// The output guard: the one road by which Torvane creates files (recovered files, reports,
// join files, images, and later sessions, state files and backups). It refuses the files the
// source reads — compared by device and inode, never by name, after following links — and
// never truncates or replaces a file the user did not name for replacement:
//  - new files are created exclusively (O_CREAT|O_EXCL|O_NOFOLLOW), or written under a
//    temporary name in their folder and given their name only when complete, without
//    replacing anything there (PendingFile);
//  - a file named for replacement (image --force) is opened without following a final link
//    and without truncation, checked by identity, and only then truncated;
//  - folders below an output folder are created and opened relative to their parent's
//    descriptor without following links; a link in the way is an error, never followed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "util/file_id.h"
#include "util/unique_fd.h"

namespace torvane {

class OutputGuard {
 public:
  OutputGuard() = default;
  // The files no output may be: a source's descriptor, its extent files and the files of its
  // parent chain.
  explicit OutputGuard(std::vector<FileId> protectedFiles) : protected_(std::move(protectedFiles)) {}
  const std::vector<FileId>& ProtectedFiles() const { return protected_; }

  // Whether `path`, after following links, is a protected file (a missing path is not).
  bool IsProtected(const std::filesystem::path& path) const;
  // Whether the open file is a protected file.
  bool IsProtected(int fd) const;

  // The folder the user chose for output, created with its parents when missing (links in
  // the path the user typed are followed: that is the user's choice), opened as a folder.
  UniqueFd OpenOutputFolder(const std::filesystem::path& path, std::string& error) const;
  // The folder `name` inside the open folder `dirFd`, created when missing. A link, or
  // anything that is not a folder, in its place is an error; it is never followed. `name`
  // must be one component (no "/", not "." or "..").
  static UniqueFd OpenSubfolder(int dirFd, const std::string& name, std::string& error);

  // A file that must not exist yet, created exclusively (a link of that name counts as
  // existing and is not followed). The error says "already exists" when it does.
  UniqueFd CreateNew(const std::filesystem::path& path, std::string& error) const;
  // A file the user named for replacement: created when missing; an existing one is opened
  // without following a final link and without truncation, refused when it is a protected
  // file, and only then truncated to zero.
  UniqueFd OpenForReplace(const std::filesystem::path& path, std::string& error) const;

 private:
  std::vector<FileId> protected_;
};

// A file written under a temporary name (".torvane-partial-PID-N") in its destination folder
// and given its name when complete. Dropped without a successful Commit, the temporary file
// is removed, so a cancelled, failed or interrupted write leaves no partial file behind.
class PendingFile {
 public:
  enum class CommitResult { kDone, kExists, kFailed };

  PendingFile() = default;
  PendingFile(PendingFile&&) = default;
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() { Discard(); }

  // Creates the temporary file in the open folder `dirFd` (the folder is held open, so it
  // may be closed by the caller). False with the reason.
  bool Create(int dirFd, std::string& error);
  // Creates it in the folder of `path` (opened following links the user typed); Commit
  // then gives it `path`'s file name.
  bool CreateFor(const std::filesystem::path& path, std::string& error);
  bool Active() const { return dir_.Valid() && !temp_.empty(); }
  int Fd() const { return fd_.Get(); }
  // The name CreateFor was given (empty after Create).
  const std::string& TargetName() const { return target_; }

  // Closes the file (a failed close is a write error) and gives it `name` in its folder.
  // Without `replace`, nothing there is replaced: kExists when the name is taken (by a file,
  // a folder or a link), and Commit may be called again with another name. With `replace`,
  // an existing file of that name is replaced, unless it is one of `guard`'s files.
  CommitResult Commit(const std::string& name, std::string& error, bool replace = false,
                      const OutputGuard* guard = nullptr);
  // Removes the temporary file now.
  void Discard();

 private:
  UniqueFd dir_;
  UniqueFd fd_;
  std::string temp_;
  std::string target_;
};

}  // namespace torvane
