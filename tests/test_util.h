// Helpers shared by the tests: temporary folders, whole-file reads and writes, fixture paths
// and their tab-separated lists, byte patterns.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace torvane::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "torvane-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const fs::path& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}
inline void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  WriteFile(path, bytes.data(), bytes.size());
}
inline void WriteFile(const fs::path& path, const std::string& text) {
  WriteFile(path, text.data(), text.size());
}

// A copy of a value: packed record fields cannot be bound to the references the test
// macros take.
template <typename T>
T Val(T value) {
  return value;
}

// Unpacked fixture disks (tests/data/*.tar.xz).
inline fs::path DataPath(const std::string& name) {
  return fs::path(TORVANE_TEST_DATA) / name;
}
// Files committed in the source tree.
inline fs::path SourcePath(const std::string& name) {
  return fs::path(TORVANE_SOURCE_DIR) / name;
}

// The rows of a tab-separated fixture list (MANIFEST.tsv, files.tsv, ...), each split into its
// fields; `skipHeader` drops the first line. Every row has at least as many fields as the
// header, so a short row reads as empty fields. A missing file gives no rows.
inline std::vector<std::vector<std::string>> ReadTsv(const fs::path& path, bool skipHeader = true) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  size_t columns = 0;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, '\t');) fields.push_back(field);
    if (columns == 0) {
      columns = fields.size();
      if (skipHeader) continue;
    }
    if (fields.size() < columns) fields.resize(columns);
    rows.push_back(std::move(fields));
  }
  return rows;
}

// `n` bytes of a pattern that repeats only every 251 bytes, starting `offset` bytes into it:
// a byte delivered out of place or from another buffer is noticed.
inline std::vector<std::byte> PatternBytes(size_t n, size_t offset = 0) {
  std::vector<std::byte> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::byte>(((i + offset) * 37 + 11) % 251);
  return bytes;
}

// A raw disk of `sectors` sectors, each stamped with its own number so that a misplaced
// sector is recognised.
inline std::vector<uint8_t> StampedSectors(uint64_t sectors, uint64_t firstNumber = 0) {
  std::vector<uint8_t> bytes(sectors * 512);
  for (uint64_t s = 0; s < sectors; ++s) {
    for (size_t i = 0; i < 512; i += 8) {
      uint64_t v = (firstNumber + s) * 0x100 + i / 8;
      for (size_t b = 0; b < 8; ++b) bytes[s * 512 + i + b] = static_cast<uint8_t>(v >> (8 * b));
    }
  }
  return bytes;
}

// Runs the torvane command with arguments; returns its exit code, stdout in `out`.
inline int RunCli(const std::string& args, std::string* out = nullptr) {
  TempDir dir;
  std::string cmd =
      std::string(TORVANE_CLI) + " " + args + " >" + (dir / "out").string() + " 2>" + (dir / "err").string();
  int status = std::system(cmd.c_str());
  if (out != nullptr) {
    auto o = ReadFile(dir / "out");
    auto e = ReadFile(dir / "err");
    *out = std::string(o.begin(), o.end()) + std::string(e.begin(), e.end());
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace torvane::test
