// Where recovered files may go and how they are written there: never onto
// the medium being scanned, never over another file, never left half-written
// under a real name, and a folder that cannot take them is found before the
// scan.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engines/output_sink.h"
#include "jobs/recovery_destination.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using testing::ShellQuote;

struct CliRun {
  int status = -1;
  std::string err;  // standard output and error
};

// velmira-cli with its scan logs in `data`.
CliRun Cli(const std::string& data, const std::string& args) {
  CliRun r;
  r.err = testing::RunCapture(
      "XDG_DATA_HOME=" + ShellQuote(data) + " " + ShellQuote(VELMIRA_CLI_PATH) + " " + args + " 2>&1",
      r.status);
  return r;
}

// The names in a folder (recursively), relative to it, sorted.
std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(folder, ec))
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

// Something mounted (or a loop device set up) for one test, undone at the end.
class Undo {
 public:
  explicit Undo(std::string command) : m_command(std::move(command)) {}
  ~Undo() {
    if (!m_command.empty()) (void)testing::RunQuiet(m_command);
  }
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;

 private:
  std::string m_command;
};

#define VELMIRA_REQUIRE_ROOT()                                                    \
  do {                                                                            \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (loop devices and mounts)"; \
  } while (0)

// ---- destinations on the scanned medium ------------------------------------------

// An ext4 image mounted through a loop device, with a folder inside the mount.
class MountedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    VELMIRA_REQUIRE_ROOT();
    VELMIRA_REQUIRE_TOOL("losetup");
    m_image = m_dir.File("disk.img");
    if (!testing::MakeExtImage(m_image, 16)) GTEST_SKIP() << "mke2fs is not installed";
    int status = -1;
    m_loop = testing::RunCapture("losetup -f --show " + ShellQuote(m_image) + " 2>/dev/null", status);
    while (!m_loop.empty() && m_loop.back() == '\n') m_loop.pop_back();
    if (status != 0 || m_loop.empty()) GTEST_SKIP() << "no loop device could be set up";
    m_detach = std::make_unique<Undo>("losetup -d " + ShellQuote(m_loop));
    fs::create_directories(m_dir.File("mnt"));
    if (!testing::RunQuiet("mount " + ShellQuote(m_loop) + " " + ShellQuote(m_dir.File("mnt"))))
      GTEST_SKIP() << "the ext4 image cannot be mounted here";
    m_unmount = std::make_unique<Undo>("umount -l " + ShellQuote(m_dir.File("mnt")));
    fs::create_directories(m_dir.File("mnt/out"));
  }
  void TearDown() override {
    m_unmount.reset();
    m_detach.reset();
  }

  testing::TempDir m_dir;
  std::string m_image;
  std::string m_loop;
  std::unique_ptr<Undo> m_detach;
  std::unique_ptr<Undo> m_unmount;
};

TEST_F(MountedImage, AFolderInsideTheMountedImageIsRefusedBeforeTheScan) {
  std::string reason;
  EXPECT_TRUE(DestinationOnScannedArea(m_dir.File("mnt/out"), ScannedAreaOf(m_image, 0, 0), reason));
  EXPECT_NE(reason.find(m_loop), std::string::npos) << reason;
  EXPECT_TRUE(DestinationOnScannedArea(m_dir.File("mnt/out/not/yet"), ScannedAreaOf(m_loop, 0, 0), reason));
  // Beside the image file, on the file system that holds it, is fine.
  EXPECT_FALSE(DestinationOnScannedArea(m_dir.File("beside"), ScannedAreaOf(m_image, 0, 0), reason))
      << reason;
  // A bind mount shows the same file system under another path.
  fs::create_directories(m_dir.File("bound"));
  ASSERT_TRUE(testing::RunQuiet("mount --bind " + ShellQuote(m_dir.File("mnt/out")) + " " +
                                ShellQuote(m_dir.File("bound"))));
  Undo unbind("umount -l " + ShellQuote(m_dir.File("bound")));
  EXPECT_TRUE(DestinationOnScannedArea(m_dir.File("bound"), ScannedAreaOf(m_image, 0, 0), reason));

  // The command line refuses both forms of the source, says why, and writes
  // nothing: no scan log, no category folder.
  for (const std::string& source : {m_image, m_loop}) {
    const CliRun run = Cli(m_dir.File("data"), "recover --fast " + ShellQuote(source) + " --to " +
                                                   ShellQuote(m_dir.File("mnt/out")));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("source being scanned"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(m_dir.File("data/Orvanta/ScanLog"))) << "refused before the scan";
    EXPECT_TRUE(fs::is_empty(m_dir.File("mnt/out")));
  }
  const CliRun carve =
      Cli(m_dir.File("data"), "carve " + ShellQuote(m_image) + " --to " + ShellQuote(m_dir.File("mnt/out")));
  EXPECT_EQ(carve.status, 1) << carve.err;
  EXPECT_TRUE(fs::is_empty(m_dir.File("mnt/out")));
  // The same image into a folder beside it gets past the check.
  const CliRun beside = Cli(m_dir.File("data"), "recover --fast " + ShellQuote(m_image) + " --to " +
                                                    ShellQuote(m_dir.File("beside")));
  EXPECT_EQ(beside.err.find("source being scanned"), std::string::npos) << beside.err;
  EXPECT_TRUE(fs::is_directory(m_dir.File("beside")));
}

TEST(DestinationOnScannedArea, AnImageMountedThroughFuseIsSeenThroughItsMountSource) {
  VELMIRA_REQUIRE_ROOT();
  VELMIRA_REQUIRE_TOOL("ntfs-3g");
  testing::TempDir dir;
  const std::string image = dir.File("ntfs.img");
  if (!testing::MakeNtfsImage(image, 16)) GTEST_SKIP() << "mkntfs is not installed";
  fs::create_directories(dir.File("mnt"));
  // ntfs-3g reads the image file itself: the mount's device number is
  // anonymous and its source is the file.
  if (!testing::RunQuiet("ntfs-3g " + ShellQuote(image) + " " + ShellQuote(dir.File("mnt"))))
    GTEST_SKIP() << "FUSE mounts are not available here";
  Undo unmount("umount -l " + ShellQuote(dir.File("mnt")));
  std::string reason;
  EXPECT_TRUE(DestinationOnScannedArea(dir.File("mnt/out"), ScannedAreaOf(image, 0, 0), reason));
  EXPECT_NE(reason.find(image), std::string::npos) << reason;
  EXPECT_FALSE(DestinationOnScannedArea(dir.File("beside"), ScannedAreaOf(image, 0, 0), reason)) << reason;
}

// A disk image with two partitions of 16 MiB and ext4 on the first.
class PartitionedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    VELMIRA_REQUIRE_ROOT();
    VELMIRA_REQUIRE_TOOL("losetup");
    m_image = m_dir.File("disk.img");
    if (!testing::MakePartitionedImage(
            m_image, 40ull << 20,
            "label: dos\nstart=2048, size=32768, type=83\nstart=36864, size=32768, "
            "type=83\n") ||
        !testing::FormatAt(m_image, 2048, 16, "ext4"))
      GTEST_SKIP() << "sfdisk or mke2fs is not installed";
    fs::create_directories(m_dir.File("mnt"));
  }

  // Sets up a loop device with `options` over the image; empty when none.
  std::string Loop(const std::string& options) {
    int status = -1;
    std::string loop = testing::RunCapture(
        "losetup -f --show " + options + " " + ShellQuote(m_image) + " 2>/dev/null", status);
    while (!loop.empty() && loop.back() == '\n') loop.pop_back();
    if (status != 0) loop.clear();
    if (!loop.empty()) m_undo.push_back(std::make_unique<Undo>("losetup -d " + ShellQuote(loop)));
    return loop;
  }
  bool Mount(const std::string& device) {
    if (!testing::RunQuiet("mount " + ShellQuote(device) + " " + ShellQuote(m_dir.File("mnt")))) return false;
    m_undo.push_back(std::make_unique<Undo>("umount -l " + ShellQuote(m_dir.File("mnt"))));
    return true;
  }
  void TearDown() override {
    while (!m_undo.empty()) m_undo.pop_back();
  }

  testing::TempDir m_dir;
  std::string m_image;
  std::vector<std::unique_ptr<Undo>> m_undo;
};

TEST_F(PartitionedImage, ALoopDeviceOverOnePartitionConflictsWithItsSectorsOnly) {
  const std::string loop =
      Loop("-o " + std::to_string(2048 * 512) + " --sizelimit " + std::to_string(32768 * 512));
  if (loop.empty()) GTEST_SKIP() << "no loop device could be set up";
  if (!Mount(loop)) GTEST_SKIP() << "the partition cannot be mounted here";
  const std::string folder = m_dir.File("mnt/out");
  std::string reason;
  EXPECT_TRUE(DestinationOnScannedArea(folder, ScannedAreaOf(m_image, 0, 0), reason)) << "the whole image";
  EXPECT_TRUE(DestinationOnScannedArea(folder, ScannedAreaOf(m_image, 30000, 4096), reason))
      << "its last sectors";
  EXPECT_FALSE(DestinationOnScannedArea(folder, ScannedAreaOf(m_image, 36864, 32768), reason)) << reason;
  EXPECT_FALSE(DestinationOnScannedArea(folder, ScannedAreaOf(m_image, 0, 2048), reason)) << reason;
  // The desktop program's check of a scanned partition row of a drive.
  PartitionRecord part;
  part.diskNumber = 0;
  part.startSector = 2048;
  part.sectorCount = 32768;
  ASSERT_EQ(setenv("VELMIRA_DRIVES", m_image.c_str(), 1), 0);
  EXPECT_TRUE(DestinationOnPartition(m_dir.File("mnt"), part));
  part.startSector = 36864;
  EXPECT_FALSE(DestinationOnPartition(m_dir.File("mnt"), part));
  unsetenv("VELMIRA_DRIVES");
}

TEST_F(PartitionedImage, APartitionOfTheScannedDiskConflictsWhereTheyOverlap) {
  const std::string loop = Loop("-P");
  if (loop.empty()) GTEST_SKIP() << "no loop device could be set up";
  if (!fs::exists(loop + "p1") || !Mount(loop + "p1"))
    GTEST_SKIP() << "the loop device's partitions are not shown here";
  const std::string folder = m_dir.File("mnt");
  std::string reason;
  EXPECT_TRUE(DestinationOnScannedArea(folder, ScannedAreaOf(loop, 0, 0), reason)) << "the whole disk";
  EXPECT_TRUE(DestinationOnScannedArea(folder, ScannedAreaOf(loop, 30000, 4096), reason))
      << "its last sectors";
  EXPECT_FALSE(DestinationOnScannedArea(folder, ScannedAreaOf(loop, 36864, 32768), reason))
      << "the other one";
  EXPECT_FALSE(DestinationOnScannedArea(folder, ScannedAreaOf(loop + "p2", 0, 0), reason)) << reason;
  EXPECT_TRUE(DestinationOnScannedArea(folder, ScannedAreaOf(loop + "p1", 0, 0), reason));
  EXPECT_TRUE(DestinationOnScannedArea(folder, ScannedAreaOf(m_image, 2048, 32768), reason));
  EXPECT_FALSE(DestinationOnScannedArea(folder, ScannedAreaOf(m_image, 36864, 0), reason)) << reason;
}

// ---- destinations that cannot be written --------------------------------------

TEST(DestinationWritable, FoundBeforeTheScanWithTheReason) {
  testing::TempDir dir;
  EXPECT_EQ(CheckDestinationWritable(dir.File("new/deeper")), kOk) << "created with its parents";
  EXPECT_TRUE(fs::is_directory(dir.File("new/deeper")));
  EXPECT_TRUE(fs::is_empty(dir.File("new/deeper"))) << "the probe file is removed";
  testing::WriteFileBytes(dir.File("plain"), {1});
  EXPECT_NE(CheckDestinationWritable(dir.File("plain/out")), kOk) << "below a file";

  // A FAT card, so that a scan would find something to recover.
  testing::FatCard card(16, 20);
  if (!card.ok()) GTEST_SKIP() << "mkfs.vfat or mtools is not installed";
  ASSERT_TRUE(card.Put("a.txt", testing::CardContent(3000, 1)));
  if (::geteuid() == 0) {
    // Read-only and full file systems.
    fs::create_directories(dir.File("ro"));
    fs::create_directories(dir.File("full"));
    ASSERT_TRUE(testing::RunQuiet("mount -t tmpfs -o ro,size=1m tmpfs " + ShellQuote(dir.File("ro"))));
    Undo unmountRo("umount -l " + ShellQuote(dir.File("ro")));
    ASSERT_TRUE(testing::RunQuiet("mount -t tmpfs -o size=64k tmpfs " + ShellQuote(dir.File("full"))));
    Undo unmountFull("umount -l " + ShellQuote(dir.File("full")));
    (void)testing::RunQuiet("cat /dev/zero > " + ShellQuote(dir.File("full/filler")));
    EXPECT_EQ(CheckDestinationWritable(dir.File("ro")), kErrWriteProtect);
    EXPECT_EQ(CheckDestinationWritable(dir.File("full")), kErrDiskFull);
    const CliRun ro = Cli(dir.File("data"), "recover --fast " + ShellQuote(card.image()) + " --to " +
                                                ShellQuote(dir.File("ro/out")));
    EXPECT_EQ(ro.status, 1) << ro.err;
    EXPECT_NE(ro.err.find(dir.File("ro/out")), std::string::npos) << ro.err;
    EXPECT_NE(ro.err.find("write protected"), std::string::npos) << ro.err;
    const CliRun full = Cli(dir.File("data"), "recover --fast " + ShellQuote(card.image()) + " --to " +
                                                  ShellQuote(dir.File("full")));
    EXPECT_EQ(full.status, 1) << full.err;
    EXPECT_NE(full.err.find("not enough space"), std::string::npos) << full.err;
  } else {
    fs::create_directories(dir.File("locked"));
    fs::permissions(dir.File("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(CheckDestinationWritable(dir.File("locked/out")), kErrAccessDenied);
    const CliRun run = Cli(dir.File("data"), "recover --fast " + ShellQuote(card.image()) + " --to " +
                                                 ShellQuote(dir.File("locked/out")));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("Access is denied"), std::string::npos) << run.err;
    fs::permissions(dir.File("locked"), fs::perms::owner_all);
  }
  EXPECT_FALSE(fs::exists(dir.File("data/Orvanta/ScanLog"))) << "refused before the scan";
}

// ---- how recovered files are written -------------------------------------------

// An engine whose recovery copies `size` bytes through the shared output
// frame in 10 pieces, after optionally taking the target name with a file of
// its own (another program racing for the name), failing after a number of
// pieces, or being cancelled by its observer.
class StreamEngine : public IFileRecoveryParse {
 public:
  size_t size = 10000;
  int failAfterPieces = -1;  // then a read error of the source
  bool takeName = false;

  int32_t OpenImage(const std::string&, uint16_t) override { return 0; }
  int32_t OpenPartition(int32_t, uint64_t, uint64_t, uint16_t) override { return 0; }
  int32_t SetProgressCallbacks(ScanProgressCallback, FileProgressCallback file, void* user,
                               int32_t) override {
    m_file = file;
    m_user = user;
    return 0;
  }
  int32_t Scan(const std::string&) override { return 0; }
  int32_t ListChildren(const FoundRecord*, uint32_t, std::vector<FoundRecord>&) override { return 0; }
  int32_t CountFiles(const FoundRecord*, uint32_t, uint32_t&) override { return 0; }
  uint64_t GetFoundCount() override { return 0; }
  int32_t GetFolderPath(const FoundRecord&, std::string&, uint32_t) override { return 0; }
  int32_t RecoverItem(const FoundRecord& record, const std::string& path, int32_t) override {
    if (takeName) {
      fs::create_directories(fs::path(path).parent_path());
      testing::WriteFileBytes(path, {'t', 'h', 'e', 'i', 'r', 's'});
    }
    return RecoverToFile(path, record, m_file, m_user, [&](OutputSink& sink, auto report) -> int32_t {
      const std::vector<uint8_t> piece(size / 10, 'x');
      for (int i = 0; i < 10; ++i) {
        if (i == failAfterPieces) {
          (void)report(i * 10, kErrReadFault);
          return kErrReadFault;
        }
        int32_t err = sink.Write(piece.data(), piece.size());
        if (int32_t stop = report((i + 1) * 10, err)) return stop;
        if (err != kOk) return err;
      }
      return kOk;
    });
  }
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  int32_t CollectMatches(const std::string&, std::vector<FoundRecord>&) override { return 0; }
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord&, std::string&, uint8_t*, uint32_t&, PreviewProgressCallback,
                            void*) override {
    return 0;
  }

 private:
  FileProgressCallback m_file = nullptr;
  void* m_user = nullptr;
};

FoundRecord Named(const std::string& name) {
  FoundRecord r = MakeFoundRecord();
  r.sourceKey = 1;
  SetRecordName(r, name);
  return r;
}

// Cancels its job once a file is half written; remembers every path shown.
struct Watcher : RecoveryJob::Observer {
  RecoveryJob* job = nullptr;
  bool cancelAtHalf = false;
  std::vector<std::string> shown;
  void OnProgress(int32_t percent, const std::string& path) override {
    if (shown.empty() || shown.back() != path) shown.push_back(path);
    if (cancelAtHalf && percent >= 50) job->Cancel();
  }
  void OnFileFinished(const RecoveryResult&) override {}
};

TEST(RecoveredFiles, ANameTakenMeanwhileIsNeverWrittenOver) {
  testing::TempDir dir;
  StreamEngine engine;
  engine.takeName = true;
  Watcher watcher;
  RecoveryJob job(dir.path(), {{1, &engine}}, {Named("a.jpg")}, &watcher);
  ASSERT_EQ(job.Run().Code(), kOk);
  EXPECT_EQ(testing::ReadFileBytes(dir.File("photo/a.jpg")),
            (std::vector<uint8_t>{'t', 'h', 'e', 'i', 'r', 's'}));
  EXPECT_EQ(testing::ReadFileBytes(dir.File("photo/a(1).jpg")).size(), engine.size);
  ASSERT_EQ(job.Results().size(), 1u);
  EXPECT_EQ(job.Results()[0].status.Code(), kOk);
  EXPECT_EQ(job.Results()[0].path, dir.File("photo/a(1).jpg")) << "the row names the file really written";
  EXPECT_EQ(watcher.shown.back(), dir.File("photo/a(1).jpg"));
  EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{"photo/a(1).jpg", "photo/a.jpg"}))
      << "no temporary left";

  EXPECT_EQ(NumberedPath("/x.y/a.b.jpg", 2), "/x.y/a.b(2).jpg");
  EXPECT_EQ(NumberedPath("/x.y/notes", 1), "/x.y/notes(1)");
  EXPECT_EQ(NumberedPath("/x/.hidden", 1), "/x/(1).hidden");
}

TEST(RecoveredFiles, AFailedOrStoppedCopyLeavesNoFileUnderItsName) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "--keep-partial" : "default");
    testing::TempDir dir;
    StreamEngine failing;
    failing.failAfterPieces = 4;
    StreamEngine whole;
    StreamEngine stopped;
    Watcher watcher;
    RecoveryJob job(dir.path(), {{1, &failing}}, {Named("broken.jpg")}, &watcher);
    job.SetKeepPartial(keep);
    ASSERT_EQ(job.Run().Code(), kOk);
    ASSERT_EQ(job.Results().size(), 1u);
    EXPECT_EQ(job.Results()[0].status.Code(), kErrReadFault);
    EXPECT_EQ(job.Failed(), 1u);

    RecoveryJob cancelled(dir.path(), {{1, &stopped}}, {Named("clip.avi"), Named("next.avi")}, &watcher);
    cancelled.SetKeepPartial(keep);
    watcher.job = &cancelled;
    watcher.cancelAtHalf = true;
    ASSERT_EQ(cancelled.Run().Code(), kCancelled);
    ASSERT_EQ(cancelled.Results().size(), 1u) << "the stopped file has its row";
    EXPECT_EQ(cancelled.Results()[0].status.Code(), kCancelled);

    if (keep) {
      EXPECT_EQ(job.Results()[0].path, dir.File("photo/broken.jpg.partial"));
      EXPECT_EQ(cancelled.Results()[0].path, dir.File("video/clip.avi.partial"));
      EXPECT_EQ(NamesIn(dir.path()),
                (std::vector<std::string>{"photo/broken.jpg.partial", "video/clip.avi.partial"}));
      EXPECT_EQ(testing::ReadFileBytes(dir.File("photo/broken.jpg.partial")).size(), 4000u);
    } else {
      EXPECT_EQ(job.Results()[0].path, dir.File("photo/broken.jpg"));
      EXPECT_TRUE(NamesIn(dir.path()).empty()) << NamesIn(dir.path()).front();
    }
  }
}

// A preview file whose close fails (here its descriptor is taken away, as a
// network disk fails a close that flushes) is not shown as if whole.
TEST(RecoveredFiles, APreviewWhoseCloseFailsIsNotShown) {
  testing::ScopedDataHome home;
  std::string outPath;
  uint32_t byteCount = 0;
  const int32_t err = ExtractToPreview(
      Named("a.jpg"), outPath, nullptr, byteCount, nullptr, nullptr, [](OutputSink& sink, auto) -> int32_t {
        const std::vector<uint8_t> bytes(100, 'x');
        if (const int32_t written = sink.Write(bytes.data(), bytes.size()); written != kOk) return written;
        std::vector<int> open;
        for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
          std::error_code ec;
          if (fs::read_symlink(fd.path(), ec) == fs::path(sink.Path()))
            open.push_back(std::stoi(fd.path().filename().string()));
        }
        EXPECT_EQ(open.size(), 1u);
        for (const int fd : open) ::close(fd);
        return kOk;
      });
  EXPECT_NE(err, kOk);
  EXPECT_TRUE(outPath.empty());
  EXPECT_FALSE(fs::exists(home.ScanLogFolder() + "/tmp.jpg"));
}

TEST(RecoveredFiles, ADiskThatFillsUpLeavesNoTruncatedFile) {
  VELMIRA_REQUIRE_ROOT();
  testing::FatCard card(16, 20);
  if (!card.ok()) GTEST_SKIP() << "mkfs.vfat or mtools is not installed";
  ASSERT_TRUE(card.Put("small.txt", testing::CardContent(2000, 1)));
  ASSERT_TRUE(card.Put("big.jpg", testing::CardContent(600000, 2, true)));
  ASSERT_TRUE(card.Delete("small.txt"));
  ASSERT_TRUE(card.Delete("big.jpg"));
  testing::TempDir dir;
  fs::create_directories(dir.File("out"));
  ASSERT_TRUE(testing::RunQuiet("mount -t tmpfs -o size=256k tmpfs " + ShellQuote(dir.File("out"))));
  Undo unmount("umount -l " + ShellQuote(dir.File("out")));

  // A deleted entry's first letter is gone: the names are "?mall.txt" and "?ig.jpg".
  const auto ending = [](const std::vector<std::string>& names, const std::string& end) {
    return std::count_if(names.begin(), names.end(), [&](const std::string& n) { return n.ends_with(end); });
  };
  // The report goes beside the small disk, whose files alone are counted here.
  const std::string report = " --report " + ShellQuote(dir.File("report.json"));
  const CliRun run = Cli(dir.File("data"), "recover --fast " + ShellQuote(card.image()) + " --to " +
                                               ShellQuote(dir.File("out")) + report);
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_NE(run.err.find("1 of 2 files recovered"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("not enough space"), std::string::npos) << run.err;
  std::vector<std::string> names = NamesIn(dir.File("out"));
  EXPECT_EQ(names.size(), 1u) << run.err;
  EXPECT_EQ(ending(names, "mall.txt"), 1) << run.err;
  EXPECT_EQ(ending(names, "ig.jpg"), 0) << "never under its name";

  // Kept: the copy that filled the disk stands as .partial (then nothing
  // else fits).
  const CliRun kept = Cli(dir.File("data"), "recover --fast " + ShellQuote(card.image()) + " --to " +
                                                ShellQuote(dir.File("out")) + " --keep-partial" + report);
  EXPECT_EQ(kept.status, 4) << kept.err;
  names = NamesIn(dir.File("out"));
  EXPECT_EQ(ending(names, "ig.jpg"), 0) << kept.err;
  ASSERT_EQ(ending(names, "ig.jpg.partial"), 1) << kept.err;
  for (const std::string& n : names) {
    EXPECT_EQ(n.find(".velmira-"), std::string::npos) << n;
    if (n.ends_with("ig.jpg.partial")) {
      EXPECT_LT(fs::file_size(dir.File("out/" + n)), 600000u);
    }
  }
}

}  // namespace
}  // namespace velmira
