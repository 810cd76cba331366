// Scans that survive a crash: a deep scan killed at any moment (by its own
// test hook at chosen pieces, inside a checkpoint, or by an outside SIGKILL
// at a random moment) and continued lists exactly the files of one
// uninterrupted scan; SIGHUP stops a scan like Ctrl-C; a finished scan is
// offered again, not continued; two processes never share or delete each
// other's log folders; and `velmira-cli log` changes nothing it looks at.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "engines/combined/deep_recovery.h"
#include "engines/engine_factory.h"
#include "platform/errors.h"
#include "results/scan_checkpoint.h"
#include "results/scan_log_registry.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/temp_dir.h"

extern char** environ;

namespace velmira {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr int kExitUsage = 1;
constexpr int kExitFailed = 4;
constexpr int kExitCancelled = 5;

// One run of velmira-cli: how it ended and what it printed (both streams).
struct CliRun {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
};

// Starts velmira-cli with `args`, stdin from /dev/null, both output streams
// into `outFile`, with XDG_DATA_HOME=`dataHome` and the extra variables.
pid_t StartCli(const std::string& dataHome, const std::vector<std::string>& args, const std::string& outFile,
               const std::vector<std::string>& extraEnv = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("XDG_DATA_HOME=", 0) == 0 || entry.rfind("VELMIRA_TEST_", 0) == 0) continue;
    env.push_back(entry);
  }
  env.push_back("XDG_DATA_HOME=" + dataHome);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<std::string> argv = {VELMIRA_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argp, envp;
  for (auto& a : argv) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

CliRun WaitCli(pid_t pid, const std::string& outFile) {
  CliRun run;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  }
  std::ifstream in(outFile, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  run.out = text.str();
  return run;
}

CliRun Cli(const std::string& dataHome, const std::vector<std::string>& args,
           const std::vector<std::string>& extraEnv = {}) {
  const std::string outFile = dataHome + "/.cli-output";
  fs::create_directories(dataHome);
  return WaitCli(StartCli(dataHome, args, outFile, extraEnv), outFile);
}

// The listing's lines (header and files), sorted: the multiset a scan found.
std::vector<std::string> ListingLines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  bool inListing = false;
  while (std::getline(in, line)) {
    if (line.find("SIZE  MODIFIED") != std::string::npos) inListing = true;
    if (inListing) lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string Describe(const std::vector<std::string>& want, const std::vector<std::string>& got) {
  std::vector<std::string> missing, extra;
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
  std::string text = std::to_string(want.size()) + " lines wanted, " + std::to_string(got.size()) + " got";
  for (size_t i = 0; i < std::min<size_t>(missing.size(), 5); ++i) text += "\n  missing: " + missing[i];
  for (size_t i = 0; i < std::min<size_t>(extra.size(), 5); ++i) text += "\n  extra:   " + extra[i];
  return text;
}

// A 64 MiB FAT32 camera card that was used, then quick-formatted and used a
// little again: old camera folders (the folder sectors of two lie in free
// space now, for the deep FAT engine), photos whose folder is gone (for the
// carver), and a live and a deleted file of the new file system. The sweep
// of its free space takes about a thousand 64 KiB pieces.
class CrashCard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::ToolAvailable("mcopy") || !testing::ToolAvailable("mkfs.vfat")) return;
    s_card = new testing::FatCard(32, 64);
    testing::FatCard& card = *s_card;
    bool ok = card.ok();
    int seed = 1;
    for (int folder = 0; ok && folder < 3; ++folder) {
      const std::string path = "DCIM/10" + std::to_string(folder) + "CANON";
      ok = (folder > 0 || card.Mkdir("DCIM")) && card.Mkdir(path);
      for (int i = 0; ok && i < 6; ++i) {
        ok = card.Put(path + "/IMG_" + std::to_string(1000 + seed) + ".JPG",
                      testing::JpegPicture(20000 + 9000 * ((seed * 7) % 11), static_cast<uint32_t>(seed)));
        ++seed;
      }
    }
    for (int i = 0; ok && i < 5; ++i, ++seed)
      ok = card.Put("LOOSE" + std::to_string(i) + ".JPG",
                    testing::JpegPicture(30000 + 4000 * i, static_cast<uint32_t>(seed)));
    ok = ok && card.Reformat(32);
    ok = ok && card.Put("KEEP.JPG", testing::JpegPicture(25000, 99)) &&
         card.Put("GONE.JPG", testing::JpegPicture(27000, 98)) && card.Delete("GONE.JPG");
    s_ok = ok;
  }
  static void TearDownTestSuite() {
    delete s_card;
    s_card = nullptr;
    s_reference.clear();  // it belongs to this card
  }

  void SetUp() override {
    VELMIRA_REQUIRE_TOOL("mcopy");
    VELMIRA_REQUIRE_TOOL("mkfs.vfat");
    ASSERT_TRUE(s_ok);
  }

  // The listing of one uninterrupted deep scan (made once).
  const std::vector<std::string>& Reference() {
    if (s_reference.empty()) {
      TempDir home;
      const CliRun run = Cli(home.path(), {"recover", Image(), "--list"});
      EXPECT_EQ(run.exitCode, 0) << run.out;
      s_reference = ListingLines(run.out);
    }
    return s_reference;
  }

  static const std::string& Image() { return s_card->image(); }

  // The single log folder of a data home.
  static std::string OnlyLogFolder(const std::string& home) {
    std::vector<std::string> folders;
    for (const auto& e : fs::directory_iterator(home + "/Orvanta/ScanLog"))
      if (e.is_directory()) folders.push_back(e.path().string());
    return folders.size() == 1 ? folders[0] : std::string();
  }

  static testing::FatCard* s_card;
  static bool s_ok;
  static std::vector<std::string> s_reference;
};

testing::FatCard* CrashCard::s_card = nullptr;
bool CrashCard::s_ok = false;
std::vector<std::string> CrashCard::s_reference;

TEST_F(CrashCard, TheReferenceScanFindsNamedAndCarvedPhotos) {
  const std::vector<std::string>& reference = Reference();
  const auto has = [&](const std::string& text) {
    return std::any_of(reference.begin(), reference.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
  };
  std::string all;
  for (const std::string& line : reference) all += line + "\n";
  EXPECT_TRUE(has("/img_1018.jpg")) << all;    // an old folder, by the deep FAT engine
  EXPECT_TRUE(has("!one.jpg")) << all;         // deleted in the new file system
  EXPECT_TRUE(has("       2309.jpg")) << all;  // carved
  EXPECT_GT(reference.size(), 20u);
}

// Killed by its own hook after chosen pieces (between checkpoints, right at
// the start, near the end), inside a checkpoint after the logs were synced,
// and twice in a row: each continued scan lists exactly the reference.
TEST_F(CrashCard, ScanKilledAtChosenPointsContinuesToTheSameFiles) {
  const std::vector<std::string>& reference = Reference();
  struct KillPoint {
    std::vector<std::string> first;   // hooks of the killed run
    std::vector<std::string> second;  // hooks of a first continued run, also killed (empty: none)
  };
  const std::vector<KillPoint> points = {
      {{"VELMIRA_TEST_KILL_AFTER_PIECES=1"}, {}},
      {{"VELMIRA_TEST_KILL_AFTER_PIECES=137", "VELMIRA_TEST_CHECKPOINT_PIECES=50"}, {}},
      {{"VELMIRA_TEST_KILL_AFTER_PIECES=420", "VELMIRA_TEST_CHECKPOINT_PIECES=7"}, {}},
      {{"VELMIRA_TEST_KILL_AFTER_PIECES=900", "VELMIRA_TEST_CHECKPOINT_PIECES=100"}, {}},
      {{"VELMIRA_TEST_KILL_IN_CHECKPOINT=4", "VELMIRA_TEST_CHECKPOINT_PIECES=60"}, {}},
      {{"VELMIRA_TEST_KILL_AFTER_PIECES=250", "VELMIRA_TEST_CHECKPOINT_PIECES=30"},
       {"VELMIRA_TEST_KILL_AFTER_PIECES=333", "VELMIRA_TEST_CHECKPOINT_PIECES=45"}},
  };
  for (const KillPoint& point : points) {
    SCOPED_TRACE(point.first.front() + (point.second.empty() ? "" : " then " + point.second.front()));
    TempDir home;
    const CliRun killed = Cli(home.path(), {"recover", Image(), "--list"}, point.first);
    ASSERT_EQ(killed.signal, SIGKILL) << "exit " << killed.exitCode << "\n" << killed.out;
    const std::string folder = OnlyLogFolder(home.path());
    ASSERT_FALSE(folder.empty());
    if (!point.second.empty()) {
      const CliRun again = Cli(home.path(), {"recover", Image(), "--continue", "--list"}, point.second);
      ASSERT_EQ(again.signal, SIGKILL) << again.out;
    }
    const CliRun continued = Cli(home.path(), {"recover", Image(), "--continue", "--list"});
    ASSERT_EQ(continued.exitCode, 0) << continued.out;
    const std::vector<std::string> lines = ListingLines(continued.out);
    EXPECT_EQ(lines, reference) << Describe(reference, lines);
    // The killed run's folder was continued, not replaced.
    EXPECT_EQ(OnlyLogFolder(home.path()), folder);
  }
}

// The deep NTFS engine keeps the folders above the files it lists in memory
// until the sweep ends: a continued sweep of an NTFS volume without its boot
// sector still names them, and lists each file once.
TEST(CrashNtfs, KilledSweepOfALostNtfsVolumeContinuesToTheSameFiles) {
  testing::NtfsDisk disk(16);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  for (int i = 0; i < 12; ++i) {
    disk.Put("Camera/Trip" + std::to_string(i % 3) + "/photo" + std::to_string(i) + ".jpg",
             testing::JpegPicture(9000 + 1000 * i, static_cast<uint32_t>(i + 1)));
    disk.Put("Notes/letter" + std::to_string(i) + ".txt", std::vector<uint8_t>(700 + 37 * i, 'x'));
  }
  disk.Remove("Camera");
  disk.Remove("Notes");
  disk.Unmount();
  std::vector<uint8_t> bytes = testing::ReadFileBytes(disk.image());
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  testing::WriteFileBytes(disk.image(), bytes);

  TempDir referenceHome;
  const CliRun whole = Cli(referenceHome.path(), {"recover", disk.image(), "--list"});
  ASSERT_EQ(whole.exitCode, 0) << whole.out;
  const std::vector<std::string> reference = ListingLines(whole.out);
  ASSERT_NE(whole.out.find("Trip2/photo11.jpg"), std::string::npos) << whole.out;
  for (const char* kill : {"VELMIRA_TEST_KILL_AFTER_PIECES=20", "VELMIRA_TEST_KILL_AFTER_PIECES=90",
                           "VELMIRA_TEST_KILL_AFTER_PIECES=200"}) {
    SCOPED_TRACE(kill);
    TempDir home;
    const CliRun killed =
        Cli(home.path(), {"recover", disk.image(), "--list"}, {kill, "VELMIRA_TEST_CHECKPOINT_PIECES=15"});
    ASSERT_EQ(killed.signal, SIGKILL) << killed.out;
    const CliRun continued = Cli(home.path(), {"recover", disk.image(), "--continue", "--list"});
    ASSERT_EQ(continued.exitCode, 0) << continued.out;
    const std::vector<std::string> lines = ListingLines(continued.out);
    EXPECT_EQ(lines, reference) << Describe(reference, lines);
  }
}

// An outside SIGKILL at random moments (printed, so that a failure can be
// repeated), on the first run and on continued runs, until a run ends.
TEST_F(CrashCard, ScanKilledAtRandomMomentsContinuesToTheSameFiles) {
  const std::vector<std::string>& reference = Reference();
  TempDir timing;
  const auto started = std::chrono::steady_clock::now();
  (void)Cli(timing.path(), {"recover", Image(), "--list"}, {"VELMIRA_TEST_CHECKPOINT_PIECES=20"});
  const auto full =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  const unsigned seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  std::mt19937 random(seed);
  for (int round = 0; round < 3; ++round) {
    TempDir home;
    std::vector<std::string> moments;
    CliRun last;
    for (int attempt = 0; attempt < 6; ++attempt) {
      const std::string outFile = home.File("out" + std::to_string(attempt));
      const pid_t pid =
          StartCli(home.path(),
                   attempt == 0 ? std::vector<std::string>{"recover", Image(), "--list"}
                                : std::vector<std::string>{"recover", Image(), "--continue", "--list"},
                   outFile, {"VELMIRA_TEST_CHECKPOINT_PIECES=20"});
      ASSERT_GT(pid, 0);
      const auto delay = std::chrono::microseconds(random() % static_cast<uint64_t>(full.count() + 1));
      std::this_thread::sleep_for(delay);
      ::kill(pid, SIGKILL);
      last = WaitCli(pid, outFile);
      moments.push_back(std::to_string(delay.count()) + " us" +
                        (last.signal == SIGKILL ? "" : " (ended first)"));
      if (last.signal != SIGKILL) break;
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + ", kills at " + ::testing::PrintToString(moments));
    if (last.signal == SIGKILL) last = Cli(home.path(), {"recover", Image(), "--continue", "--list"});
    ASSERT_EQ(last.exitCode, 0) << last.out;
    const std::vector<std::string> lines = ListingLines(last.out);
    EXPECT_EQ(lines, reference) << Describe(reference, lines);
  }
}

// A closed terminal (SIGHUP) stops the scan as Ctrl-C does: the position
// is kept, the exit code says stopped, and the continued scan is whole.
TEST_F(CrashCard, HangUpStopsTheScanLikeCtrlC) {
  const std::vector<std::string>& reference = Reference();
  for (const char* signal : {"1", "2"}) {  // SIGHUP, and SIGINT for comparison
    SCOPED_TRACE(std::string("signal ") + signal);
    TempDir home;
    const CliRun stopped =
        Cli(home.path(), {"recover", Image(), "--list"},
            {"VELMIRA_TEST_KILL_AFTER_PIECES=300", std::string("VELMIRA_TEST_KILL_SIGNAL=") + signal});
    ASSERT_EQ(stopped.exitCode, kExitCancelled) << "signal " << stopped.signal << "\n" << stopped.out;
    EXPECT_NE(stopped.out.find("scan stopped"), std::string::npos) << stopped.out;
    const CliRun continued = Cli(home.path(), {"recover", Image(), "--continue", "--list"});
    ASSERT_EQ(continued.exitCode, 0) << continued.out;
    const std::vector<std::string> lines = ListingLines(continued.out);
    EXPECT_EQ(lines, reference) << Describe(reference, lines);
  }
}

// A finished scan is offered again with its date and file count instead of
// "continue"; --continue shows its results without sweeping again, and
// --restart scans afresh. A stopped scan is still offered to continue.
TEST_F(CrashCard, FinishedScanIsShownAgainNotContinued) {
  const std::vector<std::string>& reference = Reference();
  TempDir home;
  ASSERT_EQ(Cli(home.path(), {"recover", Image(), "--list"}).exitCode, 0);
  const std::string folder = OnlyLogFolder(home.path());
  ASSERT_FALSE(folder.empty());
  ScanCheckpoint checkpoint;
  ASSERT_TRUE(ReadScanCheckpoint(folder, checkpoint));
  EXPECT_TRUE(checkpoint.finished);
  const std::vector<uint8_t> before = testing::ReadFileBytes(folder + "/checkpoint");

  const CliRun asked = Cli(home.path(), {"recover", Image(), "--list"});
  EXPECT_EQ(asked.exitCode, kExitUsage) << asked.out;
  EXPECT_NE(asked.out.find("was scanned on"), std::string::npos) << asked.out;
  EXPECT_NE(asked.out.find(" files); give --continue or --restart (--continue shows those results again"),
            std::string::npos)
      << asked.out;
  EXPECT_EQ(asked.out.find("can be continued"), std::string::npos) << asked.out;

  const CliRun shown = Cli(home.path(), {"recover", Image(), "--continue", "--list"});
  ASSERT_EQ(shown.exitCode, 0) << shown.out;
  EXPECT_NE(shown.out.find("showing the results of the finished deep scan"), std::string::npos) << shown.out;
  EXPECT_EQ(ListingLines(shown.out), reference);
  // Not swept again: the finished scan's checkpoint is as it was.
  EXPECT_EQ(testing::ReadFileBytes(folder + "/checkpoint"), before);

  const CliRun afresh = Cli(home.path(), {"recover", Image(), "--restart", "--list"});
  ASSERT_EQ(afresh.exitCode, 0) << afresh.out;
  EXPECT_NE(afresh.out.find("afresh"), std::string::npos) << afresh.out;
  EXPECT_EQ(ListingLines(afresh.out), reference);

  TempDir stoppedHome;
  ASSERT_EQ(Cli(stoppedHome.path(), {"recover", Image(), "--list"},
                {"VELMIRA_TEST_KILL_AFTER_PIECES=100", "VELMIRA_TEST_KILL_SIGNAL=2"})
                .exitCode,
            kExitCancelled);
  const CliRun offered = Cli(stoppedHome.path(), {"recover", Image(), "--list"});
  EXPECT_EQ(offered.exitCode, kExitUsage);
  EXPECT_NE(offered.out.find("can be continued"), std::string::npos) << offered.out;
}

// A second process on the same source is told the source is being scanned;
// one on another source takes another folder number; a killed run's folder
// number is never handed out again.
TEST_F(CrashCard, SecondProcessOnTheSameSourceIsRefused) {
  TempDir home;
  const CliRun killed =
      Cli(home.path(), {"recover", Image(), "--list"}, {"VELMIRA_TEST_KILL_AFTER_PIECES=50"});
  ASSERT_EQ(killed.signal, SIGKILL);
  const std::string folder = OnlyLogFolder(home.path());
  ASSERT_FALSE(folder.empty());

  // Another source while the killed scan waits: a new number, nothing deleted.
  TempDir other;
  const std::string otherImage = other.File("other.img");
  ASSERT_TRUE(testing::MakeFatImage(otherImage, 32, 34));
  const CliRun second = Cli(home.path(), {"recover", otherImage, "--list"});
  ASSERT_EQ(second.exitCode, 0) << second.out;
  EXPECT_TRUE(fs::exists(folder + "/checkpoint"));
  size_t folders = 0;
  for (const auto& e : fs::directory_iterator(home.path() + "/Orvanta/ScanLog"))
    folders += e.is_directory() ? 1 : 0;
  EXPECT_EQ(folders, 2u);

  // The same source while "another process" (this test) holds its folder.
  {
    ScanFolderLock held;
    ASSERT_EQ(held.Acquire(folder), kOk);
    for (const char* option : {"--continue", "--restart"}) {
      const CliRun refused = Cli(home.path(), {"recover", Image(), option, "--list"});
      EXPECT_EQ(refused.exitCode, kExitFailed) << refused.out;
      EXPECT_NE(refused.out.find("is being scanned by another Velmira process"), std::string::npos)
          << refused.out;
      EXPECT_TRUE(fs::exists(folder + "/checkpoint")) << option;
    }
  }
  const CliRun continued = Cli(home.path(), {"recover", Image(), "--continue", "--list"});
  ASSERT_EQ(continued.exitCode, 0) << continued.out;
  EXPECT_EQ(ListingLines(continued.out), Reference());
}

// Two engines of one process stand for two processes: flock locks belong to
// each open of the lock file.
TEST_F(CrashCard, TwoEnginesNeverShareOrDeleteAFolder) {
  testing::ScopedDataHome home;
  auto first = CreateEngineForImage(Image(), 1001, true);
  auto* a = dynamic_cast<CDeepRecovery*>(first.get());
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->Scan(""), kOk);
  CScanLogRegistry& registry = CScanLogRegistry::Instance();
  ASSERT_EQ(registry.Entries().size(), 1u);
  const std::string folder = EntryLogFolder(registry.Entries()[0]);

  auto second = CreateEngineForImage(Image(), 1002, true);
  auto* b = dynamic_cast<CDeepRecovery*>(second.get());
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(b->SourceBusy());
  EXPECT_FALSE(b->Continuing());
  EXPECT_EQ(b->Scan(""), kErrBusy);
  EXPECT_EQ(registry.RemoveLogFolder(folder), kErrBusy);
  EXPECT_TRUE(fs::exists(folder + "checkpoint"));
  ASSERT_EQ(registry.Entries().size(), 1u);

  // A registry of "another process" takes numbers and records entries
  // without losing this one's.
  CScanLogRegistry other(home.ScanLogFolder());
  ASSERT_EQ(other.NewLogFolder(), kOk);
  EXPECT_NE(other.CurrentLogFolder(), folder);
  EXPECT_TRUE(fs::exists(folder + "checkpoint"));
  ASSERT_EQ(registry.NewLogFolder(), kOk);
  EXPECT_NE(registry.CurrentLogFolder(), other.CurrentLogFolder());
  ASSERT_EQ(
      other.RecordDeepScan(0, kImageDiskNumber, 0, 8, DeepScanSweep{}, other.CurrentLogFolder(), "/x.img"),
      kOk);
  ASSERT_EQ(registry.RecordDeepScan(0, kImageDiskNumber, 0, 8, DeepScanSweep{}, registry.CurrentLogFolder(),
                                    "/y.img"),
            kOk);
  CScanLogRegistry reread(home.ScanLogFolder());
  EXPECT_EQ(reread.Entries().size(), 3u);
  EXPECT_EQ(reread.Counter(), 3u);

  second.reset();
  first.reset();  // the lock ends with the engine
  EXPECT_FALSE(ScanFolderLock::IsLocked(folder));
}

// `velmira-cli log` only looks: every file of the folder keeps its bytes
// and time, and nothing is created, also when a relation text is damaged
// (which a writing open repairs) and a companion file is missing.
TEST_F(CrashCard, LogCommandChangesNothing) {
  TempDir home;
  ASSERT_EQ(Cli(home.path(), {"recover", Image(), "--list"}).exitCode, 0);
  const std::string folder = OnlyLogFolder(home.path());
  ASSERT_FALSE(folder.empty());
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("File_Type_", 0) == 0 && name.find("_Relation") != std::string::npos) {
      std::ofstream(e.path(), std::ios::app) << " | 77 - [999999]";
    }
    if (name.rfind("Pro_Fat_", 0) == 0 && name.find("_DirInfo") != std::string::npos) fs::remove(e.path());
  }
  struct Seen {
    std::vector<uint8_t> bytes;
    fs::file_time_type written;
  };
  const auto snapshot = [&] {
    std::map<std::string, Seen> files;
    for (const auto& e : fs::directory_iterator(folder))
      files[e.path().filename().string()] = {testing::ReadFileBytes(e.path().string()),
                                             fs::last_write_time(e.path())};
    return files;
  };
  const auto before = snapshot();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const CliRun looked = Cli(home.path(), {"log", folder});
  EXPECT_EQ(looked.exitCode, 0) << looked.out;
  EXPECT_NE(looked.out.find("records"), std::string::npos) << looked.out;
  const auto after = snapshot();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [name, seen] : before) {
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_EQ(after.at(name).bytes, seen.bytes) << name;
    EXPECT_EQ(after.at(name).written, seen.written) << name;
  }
}

}  // namespace
}  // namespace velmira
