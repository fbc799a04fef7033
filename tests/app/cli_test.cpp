// The torvane command as a user runs it: outputs, exit codes and one-line errors.
#include <gtest/gtest.h>

#include "test_util.h"

namespace torvane {
namespace {

using test::DataPath;
using test::ReadFile;
using test::RunCli;
using test::TempDir;

std::string Quote(const std::filesystem::path& p) {
  return "'" + p.string() + "'";
}

TEST(CliImageTest, WritesTheRawDiskAndProtectsExistingFiles) {
  TempDir dir;
  const auto out = dir / "copy.img";
  std::string text;
  ASSERT_EQ(RunCli("image " + Quote(DataPath("vmdk/child.vmdk")) + " -o " + Quote(out), &text), 0) << text;
  EXPECT_EQ(ReadFile(out), ReadFile(DataPath("vmdk/child.raw")));
  // The image reads back through Torvane itself as a raw disk.
  ASSERT_EQ(RunCli("info --json " + Quote(out), &text), 0);
  EXPECT_NE(text.find("\"create_type\":\"raw\""), std::string::npos) << text;

  EXPECT_EQ(RunCli("image " + Quote(DataPath("vmdk/stream.vmdk")) + " -o " + Quote(out), &text), 1);
  EXPECT_NE(text.find("already exists"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(out), ReadFile(DataPath("vmdk/child.raw")));  // untouched
  ASSERT_EQ(RunCli("image " + Quote(DataPath("vmdk/stream.vmdk")) + " -o " + Quote(out) + " --force", &text), 0);
  EXPECT_EQ(ReadFile(out), ReadFile(DataPath("vmdk/base.raw")));
}

TEST(CliImageTest, RefusesToWriteOverAnyFileOfTheSourceChain) {
  TempDir dir;
  for (const char* f : {"sparse.vmdk", "child.vmdk"})
    std::filesystem::copy_file(DataPath(std::string("vmdk/") + f), dir / f);
  const auto before = ReadFile(dir / "sparse.vmdk");
  std::string text;
  // The parent, reached through a different spelling of its path.
  EXPECT_EQ(RunCli("image " + Quote(dir / "child.vmdk") + " -o " + Quote(dir.path() / "." / "sparse.vmdk") + " --force",
                   &text),
            1);
  EXPECT_NE(text.find("is a file of the disk being read"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(dir / "sparse.vmdk"), before);
}

TEST(CliImageTest, ForceNeverFollowsALinkItReplaces) {
  TempDir dir;
  test::WriteFile(dir / "precious.txt", std::string("keep"));
  std::filesystem::create_symlink(dir / "precious.txt", dir / "out.img");
  std::string text;
  EXPECT_EQ(RunCli("image " + Quote(DataPath("vmdk/child.vmdk")) + " -o " + Quote(dir / "out.img") + " --force", &text),
            1);
  EXPECT_NE(text.find("symbolic link"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(dir / "precious.txt").size(), 4u);
}

TEST(CliImageTest, UnreadableSectorsMakeTheImageFail) {
  TempDir dir;
  test::WriteFile(dir / "short.bin", test::StampedSectors(10));
  test::WriteFile(dir / "d.vmdk", std::string("# Disk DescriptorFile\nversion=1\n"
                                              "RW 20 FLAT \"short.bin\" 0\n"));
  std::string text;
  EXPECT_EQ(RunCli("image " + Quote(dir / "d.vmdk") + " -o " + Quote(dir / "out.img"), &text), 1);
  EXPECT_NE(text.find("10 sectors could not be read"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(dir / "out.img").size(), 20u * 512);
}

TEST(CliInfoTest, DescribesFormatExtentsAndParentChain) {
  std::string text;
  ASSERT_EQ(RunCli("info --json " + Quote(DataPath("vmdk/grandchild.vmdk")), &text), 0) << text;
  EXPECT_NE(text.find("\"create_type\":\"monolithicSparse\""), std::string::npos);
  EXPECT_NE(text.find("\"capacity_sectors\":81920"), std::string::npos);
  EXPECT_NE(text.find("\"cid_check\":\"ok\""), std::string::npos);
  EXPECT_NE(text.find("sparse.vmdk\",\"offset\":0}],\"cid_check\":\"none\",\"parent\":null"), std::string::npos)
      << text;
  ASSERT_EQ(RunCli("info " + Quote(DataPath("vmdk/split-flat.vmdk")), &text), 0);
  EXPECT_NE(text.find("twoGbMaxExtentFlat"), std::string::npos);
  EXPECT_NE(text.find("FLAT"), std::string::npos);
  EXPECT_NE(text.find("81 920 sectors"), std::string::npos);
}

TEST(CliTest, BadInputAndUsageErrors) {
  TempDir dir;
  auto sparse = ReadFile(DataPath("vmdk/sparse.vmdk"));
  sparse.resize(300);  // header cut short
  test::WriteFile(dir / "cut.vmdk", sparse);
  std::string text;
  EXPECT_EQ(RunCli("info " + Quote(dir / "cut.vmdk"), &text), 1);
  EXPECT_NE(text.find("torvane: sparse extent header"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_EQ(RunCli("info " + Quote(dir / "none.vmdk"), &text), 1);
  EXPECT_EQ(RunCli("image " + Quote(dir / "none.vmdk") + " -o " + Quote(dir / "x"), &text), 1);

  EXPECT_EQ(RunCli("frobnicate", &text), 2);
  EXPECT_EQ(RunCli("info", &text), 2);
  EXPECT_EQ(RunCli("image " + Quote(DataPath("vmdk/sparse.vmdk")), &text), 2);
  EXPECT_EQ(RunCli("info --bogus x", &text), 2);
  EXPECT_EQ(RunCli("image --help", &text), 0);
  EXPECT_NE(text.find("usage: torvane image"), std::string::npos);
}

}  // namespace
}  // namespace torvane

namespace torvane {
namespace {

TEST(CliRecoverTest, RecoversDeletedFilesWithAReportAndRefusesBadRequests) {
  test::TempDir dir;
  const auto out = dir / "out";
  const auto report = dir / "report.jsonl";
  std::string text;
  ASSERT_EQ(test::RunCli("recover " + Quote(test::SourcePath("samples/demo.vmdk")) + " -v 0 -o " + Quote(out) +
                             " Documents --deleted --report " + Quote(report),
                         &text),
            0)
      << text;
  EXPECT_TRUE(std::filesystem::exists(out / "Documents/Drafts/draft1.txt"));
  EXPECT_FALSE(std::filesystem::exists(out / "Documents/letter.rtf"));  // existing: not asked for
  const auto lines = test::ReadFile(report);
  const std::string json(lines.begin(), lines.end());
  EXPECT_NE(json.find("\"path\":\"Documents/Drafts/note.txt\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"result\":\"ok\""), std::string::npos);
  EXPECT_NE(json.find("\"sha256\":\"3c0154baca2cdeed5ae03b8959308a719c7f21f862354d69bed757e5756752ca\""),
            std::string::npos);

  // Again into the same folder: the files there block their copies.
  ASSERT_EQ(
      test::RunCli("recover " + Quote(test::SourcePath("samples/demo.vmdk")) + " -v 0 -o " + Quote(out) + " hello.txt",
                   &text),
      0);
  EXPECT_EQ(
      test::RunCli("recover " + Quote(test::SourcePath("samples/demo.vmdk")) + " -v 0 -o " + Quote(out) + " hello.txt",
                   &text),
      0);
  EXPECT_NE(text.find("1 skipped"), std::string::npos) << text;

  EXPECT_EQ(test::RunCli(
                "recover " + Quote(test::SourcePath("samples/demo.vmdk")) + " -v 0 -o " + Quote(out) + " No/Such/File",
                &text),
            1);
  EXPECT_NE(text.find("there is no file or folder No/Such/File"), std::string::npos);
  EXPECT_EQ(test::RunCli("recover " + Quote(test::SourcePath("samples/demo.vmdk")) + " -v 0 -o " + Quote(out), &text),
            2);
  EXPECT_EQ(test::RunCli(
                "recover " + Quote(test::SourcePath("samples/demo.vmdk")) + " -v 7 -o " + Quote(out) + " --all", &text),
            1);
  EXPECT_NE(text.find("there is no volume 7"), std::string::npos);
}

TEST(CliRecoverTest, TheReportNeverGoesOverTheDiskOrAnExistingFile) {
  test::TempDir dir;
  std::filesystem::copy_file(test::SourcePath("samples/demo.vmdk"), dir / "demo.vmdk");
  std::filesystem::create_symlink(dir / "demo.vmdk", dir / "link.jsonl");
  test::WriteFile(dir / "old.jsonl", std::string("earlier report\n"));
  const auto before = test::ReadFile(dir / "demo.vmdk");
  std::string text;
  for (const char* report : {"demo.vmdk", "link.jsonl", "old.jsonl"}) {
    EXPECT_EQ(test::RunCli("recover " + Quote(dir / "demo.vmdk") + " -v 0 -o " + Quote(dir / "out") +
                               " --all --report " + Quote(dir / report),
                           &text),
              1)
        << report;
    EXPECT_TRUE(test::ReadFile(dir / "demo.vmdk") == before) << report;
  }
  EXPECT_EQ(test::ReadFile(dir / "old.jsonl").size(), 15u);
  EXPECT_FALSE(std::filesystem::exists(dir / "out/hello.txt"));  // refused before any work

  // A run named with a UTF-8 join name; the report is named only when complete.
  ASSERT_EQ(test::RunCli("recover " + Quote(dir / "demo.vmdk") + " -v 0 -o " + Quote(dir / "out") +
                             " Notes --join \xC3\xA9.bin --report " + Quote(dir / "r.jsonl"),
                         &text),
            0)
      << text;
  EXPECT_GT(std::filesystem::file_size(dir / "out/\xC3\xA9.bin"), 38u);
  EXPECT_TRUE(std::filesystem::exists(dir / "r.jsonl"));
}

TEST(CliRecoverTest, AllLeavesMetadataOutAndIncompleteFilesFailTheRun) {
  test::TempDir dir;
  std::string text;
  for (const auto& disk : {test::SourcePath("samples/demo.vmdk"), DataPath("ntfs/ntfs.vmdk")}) {
    const auto out = dir / ("out-" + disk.stem().string());
    EXPECT_EQ(test::RunCli("recover " + Quote(disk) + " -v 0 -o " + Quote(out) + " --all", &text), 0) << disk << text;
    EXPECT_FALSE(std::filesystem::exists(out / "$MFT")) << disk;
    EXPECT_FALSE(std::filesystem::exists(out / "$Extend")) << disk;
  }
  // Asked for, the metadata files come too; those without a data stream are empty files.
  const auto system = dir / "system";
  EXPECT_EQ(test::RunCli("recover " + Quote(test::SourcePath("samples/demo.vmdk")) + " -v 0 -o " + Quote(system) +
                             " --all --system",
                         &text),
            0)
      << text;
  EXPECT_EQ(std::filesystem::file_size(system / "$Extend/$Quota"), 0u);
  EXPECT_EQ(std::filesystem::file_size(system / "$MFT"), 115712u);

  // A disk whose end is lost: the files there hold zeros, are reported as incomplete, and
  // the run fails.
  std::filesystem::copy_file(test::SourcePath("samples/demo.vmdk"), dir / "demo.vmdk");
  std::filesystem::resize_file(dir / "demo.vmdk", 5000000);
  EXPECT_EQ(test::RunCli("recover " + Quote(dir / "demo.vmdk") + " -v 0 -o " + Quote(dir / "cut") +
                             " Pictures/sunset.png --report " + Quote(dir / "r.jsonl"),
                         &text),
            1);
  const auto bytes = test::ReadFile(dir / "r.jsonl");
  const std::string json(bytes.begin(), bytes.end());
  EXPECT_NE(json.find("\"result\":\"incomplete\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"unreadable_sectors\":304"), std::string::npos) << json;
  // The file lies wholly past the disk's new end: all of it is the unreadable range.
  EXPECT_NE(json.find("\"unreadable_ranges\":[[0,154616]]"), std::string::npos) << json;
  EXPECT_EQ(std::filesystem::file_size(dir / "cut/Pictures/sunset.png"), 154616u);
}

}  // namespace
}  // namespace torvane

namespace torvane {
namespace {

TEST(CliScanTest, ScanFindsTheFilesOfAFormerVolumeAndRecoverBringsThemBack) {
  const auto disk = test::DataPath("reformatted/reformatted.vmdk");
  std::string text;
  ASSERT_EQ(test::RunCli("ls " + Quote(disk) + " -v 0 -r --json", &text), 0);
  EXPECT_EQ(text.find("annual-report-2023.txt"), std::string::npos);  // not in the new MFT
  ASSERT_EQ(test::RunCli("ls " + Quote(disk) + " -v 0 -r --json --scan", &text), 0);
  EXPECT_NE(text.find("\"path\":\"Documents/annual-report-2023.txt\""), std::string::npos) << text;
  ASSERT_EQ(test::RunCli("scan " + Quote(disk) + " -v 0", &text), 0);
  EXPECT_NE(text.find("found 50 more"), std::string::npos) << text;

  test::TempDir dir;
  const auto report = dir / "r.jsonl";
  ASSERT_EQ(test::RunCli("recover " + Quote(disk) + " -v 0 -o " + Quote(dir / "out") +
                             " Documents/annual-report-2023.txt --scan --report " + Quote(report),
                         &text),
            0)
      << text;
  const auto bytes = test::ReadFile(report);
  EXPECT_NE(
      std::string(bytes.begin(), bytes.end()).find("2c0d01b26718d76767612f630eee8517c2067fa46949a7fe5b98c45fd758bbae"),
      std::string::npos);
}

}  // namespace
}  // namespace torvane

// The listing, scan and volume commands: outputs a user reads on a terminal, stopped scans.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace torvane {
namespace {

// Runs the torvane command with `args` (no shell). With `terminal` its output goes to a
// pseudo-terminal; with `pendingSignal` that signal waits, blocked, when the command starts,
// and arrives as soon as the command lets it (as if sent at that moment). Returns the exit code.
int RunCliDirect(const std::vector<std::string>& args, std::string* out, bool terminal = false, int pendingSignal = 0) {
  test::TempDir dir;
  const std::string errPath = (dir / "err").string(), outPath = (dir / "out").string();
  int master = -1, slave = -1;
  if (terminal && openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -2;
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int o = terminal ? slave : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (pendingSignal != 0) {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, pendingSignal);
      sigprocmask(SIG_BLOCK, &set, nullptr);
      raise(pendingSignal);
    }
    std::vector<char*> argv{const_cast<char*>(TORVANE_CLI)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TORVANE_CLI, argv.data());
    _exit(127);
  }
  std::string text;
  if (terminal) {
    close(slave);
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(master);
    std::erase(text, '\r');
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!terminal) {
    const auto o = test::ReadFile(outPath);
    text.assign(o.begin(), o.end());
  }
  const auto e = test::ReadFile(errPath);
  if (out != nullptr) *out = text + std::string(e.begin(), e.end());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CliScanStopTest, AStoppedScanFailsButKeepsWhatWasFound) {
  const std::string disk = test::DataPath("reformatted/reformatted.vmdk").string();
  std::string text;
  for (int sig : {SIGTERM, SIGINT}) {
    EXPECT_EQ(RunCliDirect({"scan", disk, "-v", "0"}, &text, false, sig), 1) << text;
    EXPECT_NE(text.find("before it was stopped"), std::string::npos) << text;
    EXPECT_NE(text.find("torvane: the scan was stopped"), std::string::npos) << text;
  }
  // ls still lists the volume, and says the listing lacks what the scan did not reach.
  EXPECT_EQ(RunCliDirect({"ls", disk, "-v", "0", "--scan", "--json"}, &text, false, SIGTERM), 1) << text;
  EXPECT_NE(text.find("\"path\":\"readme.txt\""), std::string::npos) << text;
  EXPECT_NE(text.find("torvane: the scan was stopped"), std::string::npos) << text;
  // recover goes on with what the stopped scan found, and ends with 1.
  test::TempDir dir;
  EXPECT_EQ(RunCliDirect({"recover", disk, "-v", "0", "-o", (dir / "out").string(), "readme.txt", "--scan"}, &text,
                         false, SIGTERM),
            1)
      << text;
  EXPECT_NE(text.find("torvane: the scan was stopped"), std::string::npos) << text;
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "readme.txt")) << text;
  // A signal after the scan is not caught any more.
  EXPECT_EQ(RunCliDirect({"scan", disk, "-v", "0"}, &text), 0) << text;
  EXPECT_EQ(text.find("stopped"), std::string::npos) << text;
}

TEST(CliScanStopTest, CtrlCSavesTheSessionAndResumeFinishesIt) {
  const std::string disk = test::DataPath("reformatted/reformatted.vmdk").string();
  test::TempDir dir;
  const std::string session = (dir / "scan.tqs").string();
  std::string text;
  EXPECT_EQ(RunCliDirect({"scan", disk, "-v", "0", "--save", session}, &text, false, SIGINT), 1) << text;
  EXPECT_NE(text.find("Saved the session to " + session + "; 'torvane scan --resume'"), std::string::npos) << text;
  EXPECT_EQ(RunCliDirect({"session", session, "--json"}, &text), 0) << text;
  EXPECT_NE(text.find("\"finished\":false"), std::string::npos) << text;
  // Continued to its end, it holds what an uninterrupted scan finds, and says it is done.
  EXPECT_EQ(RunCliDirect({"scan", "--resume", session, "--disk", disk}, &text), 0) << text;
  EXPECT_NE(text.find("Saved the session to " + session + "."), std::string::npos) << text;
  EXPECT_EQ(RunCliDirect({"session", session, "--json"}, &text), 0) << text;
  EXPECT_NE(text.find("\"finished\":true"), std::string::npos) << text;
  EXPECT_NE(text.find("\"entries\":67"), std::string::npos) << text;
  // ls and recover work from the session without scanning again.
  EXPECT_EQ(RunCliDirect({"ls", disk, "--session", session, "--json"}, &text), 0) << text;
  EXPECT_NE(text.find("\"path\":\"readme.txt\""), std::string::npos) << text;
  EXPECT_EQ(RunCliDirect({"recover", disk, "--session", session, "-o", (dir / "out").string(), "readme.txt"}, &text), 0)
      << text;
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "readme.txt")) << text;
  // Another disk, or a file that is no session, is refused.
  const std::string odd = test::DataPath("reformatted-odd/reformatted-odd.vmdk").string();
  EXPECT_EQ(RunCliDirect({"ls", odd, "--session", session}, &text), 1) << text;
  EXPECT_NE(text.find("torvane: "), std::string::npos) << text;
  EXPECT_EQ(RunCliDirect({"scan", "--resume", disk}, &text), 1) << text;
  EXPECT_NE(text.find("invalid or not compatible"), std::string::npos) << text;
}

// A copy of the demo disk as a raw image in which the folder "Documents" is renamed to a
// name with ESC, a line feed, a slash and a carriage return (same length, so the records
// stay valid).
std::filesystem::path DemoWithOddFolderName(const test::TempDir& dir) {
  const auto raw = dir / "odd.img";
  std::string text;
  EXPECT_EQ(test::RunCli("image " + Quote(test::SourcePath("samples/demo.vmdk")) + " -o " + Quote(raw), &text), 0)
      << text;
  auto bytes = test::ReadFile(raw);
  const std::u16string from = u"Documents", to = u"Do\x1bs\n/e\rt";
  const std::string f(reinterpret_cast<const char*>(from.data()), from.size() * 2);
  const std::string t(reinterpret_cast<const char*>(to.data()), to.size() * 2);
  std::string all(bytes.begin(), bytes.end());
  size_t renamed = 0;
  for (size_t at = all.find(f); at != std::string::npos; at = all.find(f, at + f.size()), ++renamed)
    all.replace(at, f.size(), t);
  EXPECT_GT(renamed, 0u);
  test::WriteFile(raw, all);
  return raw;
}

TEST(CliLsTest, NamesAreEscapedOutsideJsonAndTheEscapedFormIsAccepted) {
  test::TempDir dir;
  const std::string raw = DemoWithOddFolderName(dir).string();
  std::string text;
  ASSERT_EQ(RunCliDirect({"ls", raw, "-v", "0"}, &text), 0) << text;
  EXPECT_NE(text.find("  Do\\033s\\n\\/e\\rt/\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find("Del State"), std::string::npos);  // no header into a file
  // JSON keeps the name exactly (as JSON escapes).
  ASSERT_EQ(RunCliDirect({"ls", raw, "-v", "0", "--json"}, &text), 0) << text;
  EXPECT_NE(text.find("\"name\":\"Do\\u001bs\\n/e\\rt\""), std::string::npos) << text;
  // The printed form names the folder; "\e" is taken for ESC as well.
  for (const char* path : {"Do\\033s\\n\\/e\\rt", "/Do\\es\\n\\/e\\rt/"}) {
    ASSERT_EQ(RunCliDirect({"ls", raw, "-v", "0", path}, &text), 0) << text;
    EXPECT_NE(text.find("Do\\033s\\n\\/e\\rt/Drafts/"), std::string::npos) << text;
  }
  EXPECT_EQ(RunCliDirect({"ls", raw, "-v", "0", "Do\\qs"}, &text), 2);
  EXPECT_NE(text.find("starts no escape"), std::string::npos) << text;
  // recover takes the same form: the folder with the slash in its name is one folder.
  const auto out = dir / "out";
  ASSERT_EQ(RunCliDirect({"recover", raw, "-v", "0", "-o", out.string(), "Do\\033s\\n\\/e\\rt"}, &text), 0) << text;
  EXPECT_TRUE(std::filesystem::is_directory(out / "Do s  e t" / "Drafts")) << text;  // names made safe for the disk
  EXPECT_EQ(RunCliDirect({"recover", raw, "-v", "0", "-o", out.string(), "Do\\qs"}, &text), 2);
}

TEST(CliLsTest, ATerminalGetsAHeaderNamingTheColumns) {
  std::string text;
  ASSERT_EQ(RunCliDirect({"ls", test::SourcePath("samples/demo.vmdk").string(), "-v", "0"}, &text, true), 0) << text;
  const size_t header = text.find("Del State           Size  Time (UTC)            Path\n");
  ASSERT_NE(header, std::string::npos) << text;
  EXPECT_LT(header, text.find("$MFT"));
}

TEST(CliVolumesTest, DiskFileNamesAreShownAsUtf8) {
  test::TempDir dir;
  const auto disk = dir / "\xC3\xA9t\xC3\xA9.img";  // "été.img", a raw disk without volumes
  test::WriteFile(disk, test::StampedSectors(64));
  std::string text;
  ASSERT_EQ(RunCliDirect({"volumes", disk.string()}, &text), 0) << text;
  EXPECT_NE(text.find("  0  \xC3\xA9t\xC3\xA9.img                Physical drive"), std::string::npos) << text;
  ASSERT_EQ(RunCliDirect({"volumes", disk.string(), "--json"}, &text), 0) << text;
  EXPECT_NE(text.find("\"name\":\"\xC3\xA9t\xC3\xA9.img\""), std::string::npos) << text;
}

}  // namespace
}  // namespace torvane
