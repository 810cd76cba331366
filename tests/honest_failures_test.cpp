// Failures that used to pass for success: scan-log writes that were lost,
// content called ok that could not be read, looping FAT chains, unreadable
// sectors nobody heard of, codes without words, sources that are no disks,
// and names that could rewrite the terminal.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engines/combined/deep_recovery.h"
#include "engines/engine_factory.h"
#include "engines/fat/fast_fat_recovery.h"
#include "jobs/scan_job.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/text.h"
#include "results/scan_log.h"
#include "results/scan_log_registry.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::CardContent;
using testing::FatCard;
using testing::ShellQuote;

struct CliRun {
  int status = -1;
  std::string out;  // stdout and stderr together
};

// Runs velmira-cli with its scan logs under `dataHome`, within a time limit
// (a hang shows as status 124). `prefix` goes before the command (ulimit).
CliRun Cli(const std::string& dataHome, const std::string& args, const std::string& prefix = "") {
  CliRun r;
  r.out = testing::RunCapture("(" + prefix + " XDG_DATA_HOME=" + ShellQuote(dataHome) + " timeout 60 " +
                                  ShellQuote(VELMIRA_CLI_PATH) + " " + args + ") 2>&1 </dev/null",
                              r.status);
  return r;
}

// Offset of the 32-byte short entry of a deleted file whose 8.3 name, after
// its first character, is `rest` (e.g. "ONE    TXT" for GONE.TXT).
size_t DeletedEntryAt(const std::vector<uint8_t>& image, const std::string& rest) {
  for (size_t at = 0; at + 32 <= image.size(); at += 32)
    if (image[at] == 0xE5 && std::memcmp(&image[at + 1], rest.data(), rest.size()) == 0) return at;
  return std::string::npos;
}

struct Fat16Layout {
  size_t tableStart = 0;  // bytes
  size_t dataStart = 0;   // bytes: cluster 2
  size_t clusterBytes = 0;
};

Fat16Layout LayoutOf(const std::vector<uint8_t>& image) {
  Fat16Layout l;
  const size_t bps = image[11] | (image[12] << 8);
  const size_t spc = image[13];
  const size_t reserved = image[14] | (image[15] << 8);
  const size_t tables = image[16];
  const size_t rootEntries = image[17] | (image[18] << 8);
  const size_t perTable = image[22] | (image[23] << 8);
  l.tableStart = reserved * bps;
  l.clusterBytes = spc * bps;
  l.dataStart = (reserved + tables * perTable) * bps + rootEntries * 32;
  return l;
}

uint16_t EntryCluster(const std::vector<uint8_t>& image, size_t entry) {
  return static_cast<uint16_t>(image[entry + 26] | (image[entry + 27] << 8));
}

void SetFat16(std::vector<uint8_t>& image, const Fat16Layout& l, uint32_t cluster, uint16_t value) {
  image[l.tableStart + 2 * cluster] = static_cast<uint8_t>(value);
  image[l.tableStart + 2 * cluster + 1] = static_cast<uint8_t>(value >> 8);
}

std::vector<FoundRecord> FastScan(const std::string& image, const std::string& patterns,
                                  std::unique_ptr<IFileRecoveryParse>& engine) {
  engine = CreateEngineForImage(image, 1001, false);
  std::vector<FoundRecord> found;
  if (!engine) return found;
  EXPECT_EQ(engine->Scan(""), kOk);
  EXPECT_EQ(engine->CollectMatches(patterns, found), kOk);
  return found;
}

// The record of a deleted file: its first character is gone, the rest is
// compared ignoring case.
const FoundRecord* Named(const std::vector<FoundRecord>& list, const std::string& name) {
  for (const FoundRecord& r : list)
    if (AsciiLower(RecordName(r).substr(1)) == AsciiLower(name.substr(1))) return &r;
  return nullptr;
}

// Files this process writes may grow to `bytes` only (a write beyond fails
// as on a full disk) until Restore or the end of the scope.
class LimitFileSize {
 public:
  explicit LimitFileSize(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    m_ok = sigaction(SIGXFSZ, &ignore, &m_signal) == 0 && getrlimit(RLIMIT_FSIZE, &m_old) == 0;
    rlimit small = m_old;
    small.rlim_cur = bytes;
    m_ok = m_ok && setrlimit(RLIMIT_FSIZE, &small) == 0;
    EXPECT_TRUE(m_ok);
  }
  ~LimitFileSize() { Restore(); }
  void Restore() {
    if (!m_ok) return;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &m_old), 0);
    EXPECT_EQ(sigaction(SIGXFSZ, &m_signal, nullptr), 0);
    m_ok = false;
  }

 private:
  bool m_ok = false;
  rlimit m_old{};
  struct sigaction m_signal {};
};

// ---- scan-log writes ---------------------------------------------------------

// A card with enough deleted files that their records fill several batches
// of the scan log.
class LogWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ToolAvailable("mcopy")) GTEST_SKIP() << "mtools is not installed";
    m_image = m_dir.File("card.img");
    ASSERT_TRUE(testing::MakeFatImage(m_image, 16, 16));
    std::filesystem::create_directories(m_dir.File("files"));
    for (int i = 0; i < 600; ++i)
      testing::WriteFileBytes(m_dir.File("files/f" + std::to_string(i) + ".txt"), {'x'});
    ASSERT_TRUE(testing::Mtools(m_image, "mmd", "::/D"));
    ASSERT_TRUE(testing::Mtools(m_image, "mcopy", ShellQuote(m_dir.File("files")) + "/* ::/D/"));
    ASSERT_TRUE(testing::Mtools(m_image, "mdel", "'::/D/*.txt'"));
  }

  void ExpectFolderNamedInFailure(const CliRun& run, const std::string& scanLogs) {
    EXPECT_NE(run.status, 0) << run.out;
    EXPECT_NE(run.status, 124) << "the run hung";
    EXPECT_NE(run.out.find("cannot write the scan log in " + scanLogs), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("There is not enough space on the disk."), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(".txt"), std::string::npos) << "no fraction of the files is listed:\n" << run.out;
  }

  testing::TempDir m_dir;
  std::string m_image;
};

// Files may grow to 64 KiB only, less than one batch of records: every
// scan-log write fails as on a full disk. Both scans stop, name the folder
// and the reason, and list nothing.
TEST_F(LogWrites, AFailedLogWriteStopsTheScanWithTheFolderAndTheReason) {
  const std::string home = m_dir.File("home");
  const std::string limit = "trap '' XFSZ; ulimit -f 64;";
  for (const char* mode : {"--fast", "--restart"}) {
    SCOPED_TRACE(mode);
    const CliRun run = Cli(home, "recover " + ShellQuote(m_image) + " --list --types txt " + mode, limit);
    ExpectFolderNamedInFailure(run, home + "/Orvanta/ScanLog/");
  }
  // With room again the same card lists all of its files.
  const CliRun whole = Cli(home, "recover " + ShellQuote(m_image) + " --list --fast --types txt --quiet");
  EXPECT_EQ(whole.status, 0) << whole.out;
  EXPECT_EQ(std::count(whole.out.begin(), whole.out.end(), '\n'), 601) << whole.out;
}

// The same on a file system that is really full (a 64 KiB tmpfs).
TEST_F(LogWrites, AFullFileSystemUnderTheScanLogsFailsTheScan) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string home = m_dir.File("full");
  std::filesystem::create_directories(home);
  if (::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "tmpfs cannot be mounted here";
  const CliRun run = Cli(home, "recover " + ShellQuote(m_image) + " --list --fast --types txt");
  ::umount(home.c_str());
  ExpectFolderNamedInFailure(run, home + "/Orvanta/ScanLog/");
}

// The scan job the desktop program runs stops at the failed write and keeps
// what its message box says: the folder and the reason.
TEST_F(LogWrites, TheScanJobStopsAndKeepsTheFolderForTheMessage) {
  testing::ScopedDataHome home;
  ScanSource source;
  source.imagePath = m_image;
  source.imageValue = 1001;
  ScanSource second;
  second.imagePath = m_image;
  second.imageValue = 1002;
  JobControl control;
  ScanJob job({&source, &second}, false, control);
  LimitFileSize limit(1000);
  (void)job.Run();  // the scan results below tell what happened
  limit.Restore();
  ASSERT_EQ(job.ScanResults().size(), 1u) << "the second source is not scanned";
  EXPECT_EQ(job.ScanResults()[0].Code(), kErrDiskFull);
  EXPECT_EQ(job.WriteFailure().error, kErrDiskFull);
  EXPECT_EQ(job.WriteFailure().folder.rfind(home.ScanLogFolder() + "/", 0), 0u) << job.WriteFailure().folder;
  EXPECT_EQ(job.FailureText(job.ScanResults()[0]), "cannot write the scan log in " +
                                                       job.WriteFailure().folder +
                                                       ": There is not enough space on the disk.");
}

// A log keeps its first write failure, and the process-wide note says where
// it went, whatever later flushes do.
TEST(ScanLogWriteFailures, AreKeptWithTheirFolder) {
  testing::ScopedDataHome home;
  ClearScanLogWriteFailures();
  const uint64_t before = ScanLogWriteFailureCount();
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_1"), kOk);
  LimitFileSize limit(1000);
  for (int i = 0; i < 201; ++i) {
    FoundRecord* slot = log.AppendRecord();
    SetRecordName(*slot, "f.txt");
    log.AddRelation(0, slot->recordNumber, 0, nullptr);
  }
  limit.Restore();
  EXPECT_EQ(log.WriteError(), kErrDiskFull) << "the batch written during AppendRecord failed";
  EXPECT_EQ(log.FlushLog(), kErrDiskFull);
  EXPECT_EQ(log.FlushLog(), kOk);
  EXPECT_EQ(log.WriteError(), kErrDiskFull) << "a log that lost records stays incomplete";
  std::vector<FoundRecord> files;
  EXPECT_EQ(log.FindByExtension("*.txt|", files), kErrDiskFull) << "no fraction passes for the whole";

  EXPECT_GT(ScanLogWriteFailureCount(), before);
  const ScanLogWriteFailure failure = FirstScanLogWriteFailure();
  EXPECT_EQ(failure.error, kErrDiskFull);
  EXPECT_EQ(failure.folder, CScanLogRegistry::Instance().CurrentLogFolder());
  EXPECT_EQ(ScanLogWriteFailureText(failure),
            "cannot write the scan log in " + failure.folder + ": There is not enough space on the disk.");
  ClearScanLogWriteFailures();
}

// ---- content checks and chains -----------------------------------------------

// Deleted files whose data cannot be read where their entries say: one
// whose first cluster lies past the end of the volume, one past the end of
// a cut-short image, and one whose first cluster now starts a chain that
// loops. None is "ok"; the looping one is copied once round, then fails.
TEST(ContentChecks, DataThatCannotBeReadIsNeverOk) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("KEEP.TXT", CardContent(3000, 1)));
  ASSERT_TRUE(card.Put("FAR.TXT", CardContent(3000, 2)));
  ASSERT_TRUE(card.Put("LOOP.TXT", CardContent(9000, 3)));
  ASSERT_TRUE(card.Put("WHOLE.TXT", CardContent(3000, 4)));
  ASSERT_TRUE(card.Put("FILLER.BIN", CardContent(6u << 20, 5)));
  ASSERT_TRUE(card.Put("CUT.TXT", CardContent(3000, 6)));
  for (const char* gone : {"FAR.TXT", "LOOP.TXT", "WHOLE.TXT", "CUT.TXT"}) ASSERT_TRUE(card.Delete(gone));

  std::vector<uint8_t> bytes = testing::ReadFileBytes(card.image());
  const Fat16Layout layout = LayoutOf(bytes);
  const size_t far = DeletedEntryAt(bytes, "AR     TXT");
  const size_t loop = DeletedEntryAt(bytes, "OOP    TXT");
  const size_t cut = DeletedEntryAt(bytes, "UT     TXT");
  ASSERT_NE(far, std::string::npos);
  ASSERT_NE(loop, std::string::npos);
  ASSERT_NE(cut, std::string::npos);
  bytes[far + 26] = 0xF0;  // cluster 0xFFF0: past the end of a 16 MiB volume
  bytes[far + 27] = 0xFF;
  // The loop file's first two clusters went to a live chain that comes back
  // to its start.
  const uint16_t first = EntryCluster(bytes, loop);
  SetFat16(bytes, layout, first, static_cast<uint16_t>(first + 1));
  SetFat16(bytes, layout, first + 1u, first);
  // The image ends before the last file's data.
  const size_t cutAt = layout.dataStart + (EntryCluster(bytes, cut) - 2u) * layout.clusterBytes;
  ASSERT_LT(cutAt, bytes.size());
  bytes.resize(cutAt);
  testing::WriteFileBytes(card.image(), bytes);

  std::unique_ptr<IFileRecoveryParse> engine;
  const std::vector<FoundRecord> found = FastScan(card.image(), "*.txt|", engine);
  ASSERT_TRUE(engine);
  for (const char* name : {"FAR.TXT", "LOOP.TXT", "CUT.TXT", "WHOLE.TXT"}) {
    const FoundRecord* r = Named(found, name);
    ASSERT_NE(r, nullptr) << name;
    EXPECT_EQ(r->contentOk != 0, std::string(name) == "WHOLE.TXT") << name;
  }

  const std::string out = card.dir().File("LOOP.TXT");
  EXPECT_EQ(engine->RecoverItem(*Named(found, "LOOP.TXT"), out, 0), kErrFileCorrupt);
  std::error_code ec;
  if (std::filesystem::exists(out, ec)) {
    EXPECT_LE(std::filesystem::file_size(out), 2 * layout.clusterBytes) << "never copied round the loop";
  }
  EXPECT_EQ(ErrorText(kErrFileCorrupt).find("Unknown"), std::string::npos);
}

// A folder whose chain comes back to its own second cluster (full of
// entries, so nothing ends the read there) is read once round: the files of
// its first two clusters are listed once each, nothing more.
TEST(ContentChecks, AFolderChainThatLoopsIsReadOnce) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Mkdir("D"));
  constexpr size_t kFiles = 130;
  std::string local;
  for (size_t i = 0; i < kFiles; ++i) {
    const std::string name = "F" + std::to_string(100 + i) + ".TXT";
    testing::WriteFileBytes(card.dir().File(name), {'x'});
    local += " " + ShellQuote(card.dir().File(name));
  }
  ASSERT_TRUE(testing::Mtools(card.image(), "mcopy", local + " ::/D/"));
  ASSERT_TRUE(testing::Mtools(card.image(), "mdel", "'::/D/F*.TXT'"));
  std::vector<uint8_t> bytes = testing::ReadFileBytes(card.image());
  const Fat16Layout layout = LayoutOf(bytes);
  const size_t perCluster = layout.clusterBytes / 32;
  ASSERT_GT(kFiles + 2, 2 * perCluster) << "the folder needs three clusters";
  size_t entry = std::string::npos;
  for (size_t at = layout.dataStart - 512 * 32; at < layout.dataStart; at += 32)
    if (std::memcmp(&bytes[at], "D          ", 11) == 0 && (bytes[at + 11] & 0x10) != 0) entry = at;
  ASSERT_NE(entry, std::string::npos);
  const uint16_t first = EntryCluster(bytes, entry);
  const uint16_t second = static_cast<uint16_t>(bytes[layout.tableStart + 2 * first] |
                                                (bytes[layout.tableStart + 2 * first + 1] << 8));
  ASSERT_GE(second, 2);
  ASSERT_LT(second, 0xFFF0);
  SetFat16(bytes, layout, second, second);  // the chain comes round for ever
  testing::WriteFileBytes(card.image(), bytes);

  std::unique_ptr<IFileRecoveryParse> engine;
  const std::vector<FoundRecord> found = FastScan(card.image(), "*.txt|", engine);
  std::set<std::string> names;
  for (const FoundRecord& r : found) names.insert(RecordName(r));
  EXPECT_EQ(names.size(), found.size()) << "no file is listed twice";
  EXPECT_EQ(found.size(), 2 * perCluster - 2) << "\".\" and \"..\" take two entries of the first cluster";
}

// ---- unreadable sectors ------------------------------------------------------

// Two bad sectors early in a 64 KiB piece: the photo 14 sectors after them,
// in the same piece, is still found, and exactly the two sectors count as
// unread.
TEST(UnreadSectors, OnlyTheBadSectorsOfAPieceAreLostAndTheyAreCounted) {
  testing::ScopedDataHome home;
  testing::TempDir dir;
  const std::string image = dir.File("raw.img");
  const testing::Bytes png = testing::SampleOfType(kTypePng);
  ASSERT_FALSE(png.empty());
  constexpr uint64_t kBad = 128 + 3;  // inside the second piece
  std::vector<uint8_t> bytes(4u << 20, 0);
  std::copy(png.begin(), png.end(), bytes.begin() + static_cast<std::ptrdiff_t>((kBad + 2 + 14) * 512));
  testing::WriteFileBytes(image, bytes);

  auto engine = CreateEngineForImage(image, 1001, true);
  auto* combined = dynamic_cast<CDeepRecovery*>(engine.get());
  ASSERT_NE(combined, nullptr);
  auto reader = std::make_shared<testing::MemoryReader>(bytes);
  reader->FailRange(kBad * 512, (kBad + 2) * 512, kErrCrc);
  combined->SetSweepReader(reader);
  ASSERT_EQ(engine->Scan(""), kOk);
  std::vector<FoundRecord> found;
  ASSERT_EQ(engine->CollectMatches("*.png|", found), kOk);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(uint64_t{found[0].entrySector}, kBad + 2 + 14);
  EXPECT_EQ(combined->Stats().unreadSectors, 2u);
  EXPECT_EQ(UnreadSectorsOf(*engine), 2u);
}

// A folder whose clusters lie past the end of a cut-short image: the scan
// finishes, and recover says how many sectors it could not read and exits
// with its own status.
TEST(UnreadSectors, RecoverSaysHowManyAndExitsWithItsOwnStatus) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("FILLER.BIN", CardContent(8u << 20, 1)));
  ASSERT_TRUE(card.Mkdir("LATE"));
  ASSERT_TRUE(card.Put("LATE/GONE.TXT", CardContent(100, 2)));
  ASSERT_TRUE(card.Delete("LATE/GONE.TXT"));
  ASSERT_TRUE(card.Put("EARLY.TXT", CardContent(100, 3)));
  ASSERT_TRUE(card.Delete("EARLY.TXT"));
  std::vector<uint8_t> bytes = testing::ReadFileBytes(card.image());
  bytes.resize(8u << 20);  // LATE's cluster is gone
  testing::WriteFileBytes(card.image(), bytes);

  const CliRun run = Cli(card.dir().File("home"), "recover --fast " + ShellQuote(card.image()) + " --list");
  EXPECT_EQ(run.status, 6) << run.out;
  EXPECT_NE(run.out.find("arly.txt"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" could not be read"), std::string::npos) << run.out;
  const CliRun help = Cli(card.dir().File("home"), "--help");
  EXPECT_NE(help.out.find("some sectors of the source could not be read"), std::string::npos) << help.out;
}

// ---- words for every code ----------------------------------------------------

TEST(ErrorWords, EveryCodeAUserCanSeeHasWords) {
  const int32_t codes[] = {
      kOk, kErrInvalidFunction, kErrFileNotFound, kErrPathNotFound, kErrTooManyOpenFiles, kErrAccessDenied,
      kErrInvalidHandle, kErrNotEnoughMemory, kErrInvalidData, kErrWriteProtect, kErrNotReady, kErrCrc,
      kErrSeek, kErrWriteFault, kErrReadFault, kErrGenFailure, kErrSharingViolation, kErrHandleEof,
      kErrNotSupported, kErrFileExists, kErrInvalidParameter, kErrDiskFull, kErrInsufficientBuffer,
      kErrInvalidName, kErrDirNotEmpty, kErrBusy, kErrAlreadyExists, kErrFilenameTooLong, kErrBadFileType,
      kErrMoreData, kErrNoMoreItems, kErrIoDevice, kErrFileCorrupt, kCancelled,
      // The NTFS record decoder's own codes, which a failed copy returns.
      -1, -100, -101};
  for (int32_t code : codes) EXPECT_EQ(ErrorText(code).find("Unknown error"), std::string::npos) << code;
  // Every errno the mapping knows lands on a code with words.
  for (int e = 0; e < 134; ++e)
    EXPECT_EQ(ErrorText(ErrorFromErrno(e)).find("Unknown error"), std::string::npos) << "errno " << e;
}

// ---- odd sources -------------------------------------------------------------

// A FIFO (which would block in open), /dev/zero (which would pass for an
// empty medium) and a folder are refused at once, by name, as no disk and
// no image file.
TEST(OddSources, WhatIsNoFileNorBlockDeviceIsRefusedByName) {
  testing::TempDir dir;
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir.File("folder");
  std::filesystem::create_directories(folder);
  struct Case {
    std::string path, kind;
  };
  std::vector<Case> cases = {{fifo, "a FIFO"}, {folder, "a folder"}};
  if (::access("/dev/zero", R_OK) == 0) cases.push_back({"/dev/zero", "a character device"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    for (const char* command : {"recover --list", "recover --fast --list", "probe", "carve --list"}) {
      SCOPED_TRACE(command);
      const std::string args = std::string(command).substr(0, std::string(command).find(' '));
      const std::string rest =
          std::string(command).size() > args.size() ? std::string(command).substr(args.size()) : "";
      const CliRun run = Cli(dir.File("home"), args + " " + ShellQuote(c.path) + rest);
      EXPECT_EQ(run.status, 2) << run.out;
      EXPECT_NE(run.out.find(c.path), std::string::npos) << run.out;
    }
    const CliRun run = Cli(dir.File("home"), "recover " + ShellQuote(c.path) + " --list");
    EXPECT_NE(run.out.find(c.kind), std::string::npos) << run.out;
    FileHandle handle;
    EXPECT_EQ(OpenReadOnly(c.path, handle), kErrBadFileType);
    EXPECT_FALSE(handle.IsValid());
  }
}

// ---- names on the terminal ---------------------------------------------------

// A deleted file whose long name holds an escape sequence, a tab and a
// newline is listed with those shown as C escapes; other characters stay.
TEST(TerminalNames, ControlCharactersInNamesAreShownEscaped) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("xxxxxxname_long.txt", CardContent(100, 1)));
  ASSERT_TRUE(card.Delete("xxxxxxname_long.txt"));
  std::vector<uint8_t> bytes = testing::ReadFileBytes(card.image());
  // The long-name entry of the first 13 characters (UTF-16LE: characters 1
  // to 5 at offsets 1, 3, 5, 7, 9, the sixth at 14).
  size_t lfn = std::string::npos;
  for (size_t at = 0; at + 32 <= bytes.size(); at += 32)
    if (bytes[at + 11] == 0x0F && bytes[at + 1] == 'x' && bytes[at + 9] == 'x' && bytes[at + 14] == 'x')
      lfn = at;
  ASSERT_NE(lfn, std::string::npos);
  bytes[lfn + 1] = 0x1B;  // ESC [ : the start of a terminal command
  bytes[lfn + 3] = '[';
  bytes[lfn + 5] = '\t';
  bytes[lfn + 7] = '\n';
  bytes[lfn + 9] = 0xFC;   // u with diaeresis: printable, kept
  bytes[lfn + 14] = 0x9B;  // CSI, a C1 control
  testing::WriteFileBytes(card.image(), bytes);

  const CliRun run = Cli(card.dir().File("home"), "recover --fast " + ShellQuote(card.image()) + " --list");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "no raw escape reaches the terminal";
  EXPECT_EQ(run.out.find('\t'), std::string::npos);
  EXPECT_EQ(run.out.find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(run.out.find("\\x1b[\\t\\n\xc3\xbc\\xc2\\x9bname_long.txt"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace velmira
