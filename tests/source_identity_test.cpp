// Which source an earlier deep scan belongs to: records read back from a
// continued scan go to the engine that serves their source now, whatever
// number the source has this time; a stored scan is offered only for the
// very volume or image it was made of, and never costs another source its
// logs; a continued scan reads its own logs even when the folder holds
// another partition's too.
#include "results/source_identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engines/combined/deep_recovery.h"
#include "engines/engine_factory.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "results/scan_log_registry.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::ShellQuote;

struct CliRun {
  int status = 0;
  std::string out;
  std::string err;
  [[nodiscard]] std::string All() const { return out + err; }
};

// velmira-cli in `cwd`, with `drives` as VELMIRA_DRIVES and the scan logs
// under `dataHome`; no terminal, so an earlier scan is never continued
// without --continue.
CliRun Cli(const std::string& cwd, const std::string& dataHome, const std::string& drives,
           const std::string& args) {
  testing::TempDir errDir;
  CliRun r;
  r.out =
      testing::RunCapture("cd " + ShellQuote(cwd) + " && XDG_DATA_HOME=" + ShellQuote(dataHome) +
                              " VELMIRA_DRIVES=" + ShellQuote(drives) + " " + ShellQuote(VELMIRA_CLI_PATH) +
                              " " + args + " 2>" + ShellQuote(errDir.File("err")) + " </dev/null",
                          r.status);
  const auto err = ReadFileBytes(errDir.File("err"));
  r.err.assign(err.begin(), err.end());
  return r;
}

bool Mentions(const std::string& text, const std::string& word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

// The number `disks` gives the region of `image` that starts at `start`.
int RegionOf(const std::string& disks, const std::string& image, uint64_t start) {
  size_t at = 0;
  while (at < disks.size()) {
    const size_t end = std::min(disks.find('\n', at), disks.size());
    const std::string line = disks.substr(at, end - at);
    char name[256] = {};
    int number = 0;
    unsigned long long first = 0;
    if (std::sscanf(line.c_str(), "%d %255s %llu", &number, name, &first) == 3 && image == name &&
        first == start)
      return number;
    at = end + 1;
  }
  return 0;
}

// An earlier scan of the source is offered: to continue a stopped one, or to
// show a finished one's results again.
bool Offered(const CliRun& r) {
  return r.status == 1 && (Mentions(r.err, "can be continued") || Mentions(r.err, "was scanned on"));
}

// A card of two FAT16 volumes ("ONE" at 2048, "TWO" at 40960, 16 MiB each),
// with one deleted file on each whose name tells its volume.
struct TwoVolumeCard {
  std::string image;
  std::string one;  // the deleted files' bytes
  std::string two;
  bool made = false;

  TwoVolumeCard(const testing::TempDir& dir, const std::string& name) : image(dir.File(name)) {
    one = dir.File(name + ".one");
    two = dir.File(name + ".two");
    uint32_t seed = 0;
    for (const char c : name) seed = seed * 31 + static_cast<unsigned char>(c);
    testing::WriteRandomFile(one, 30000, seed);
    testing::WriteRandomFile(two, 50000, seed + 1);
    made = testing::MakePartitionedImage(image, 48ull << 20,
                                         "label: dos\nstart=2048, size=32768, type=6\n"
                                         "start=40960, size=32768, type=6\n") &&
           testing::FormatAt(image, 2048, 16, "fat16", "ONE") &&
           testing::FormatAt(image, 40960, 16, "fat16", "TWO") && Put(2048, one, "PARTONE.DOC") &&
           Put(40960, two, "PARTTWO.DOC");
  }
  bool Put(uint64_t start, const std::string& file, const std::string& as) const {
    const std::string volume = image + "@@" + std::to_string(start * 512);
    return testing::Mtools(volume, "mcopy", ShellQuote(file) + " ::/" + as) &&
           testing::Mtools(volume, "mdel", "::/" + as);
  }
};

#define REQUIRE_FAT_TOOLS()          \
  VELMIRA_REQUIRE_TOOL("sfdisk");    \
  VELMIRA_REQUIRE_TOOL("mkfs.vfat"); \
  VELMIRA_REQUIRE_TOOL("mcopy")

// Every regular file below `folder` (recursively) with these bytes.
size_t CopiesIn(const std::string& folder, const std::vector<uint8_t>& bytes) {
  size_t n = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file() && ReadFileBytes(it->path().string()) == bytes) ++n;
  return n;
}

// ---- Item: records find their source after it was renumbered ----------

// The card's second volume is region 3 while a blank drive comes first, and
// region 5 once that drive holds two volumes (its drive number stays 1);
// alone it is region 2 on drive 0. Each time the earlier deep scan is the
// one offered, and its files are recovered through the source as numbered
// now.
TEST(SourceIdentityCli, RenumberedRegionIsContinuedAndItsFilesRecovered) {
  REQUIRE_FAT_TOOLS();
  testing::TempDir dir;
  const TwoVolumeCard card(dir, "card.img");
  ASSERT_TRUE(card.made);
  testing::MakeBlankFile(dir.File("blank.img"), 4ull << 20);
  const TwoVolumeCard lead(dir, "lead.img");
  ASSERT_TRUE(lead.made);
  const std::string data = dir.File("data");
  const std::string folder2 = data + "/Orvanta/ScanLog/2";

  CliRun r = Cli(dir.path(), data, "blank.img:card.img", "disks");
  ASSERT_EQ(RegionOf(r.out, "card.img", 40960), 3) << r.out;
  r = Cli(dir.path(), data, "blank.img:card.img", "recover 3 --list --types doc");
  ASSERT_EQ(r.status, 0) << r.All();
  ASSERT_TRUE(Mentions(r.out, "arttwo.doc")) << r.out;

  r = Cli(dir.path(), data, "lead.img:card.img", "disks");
  ASSERT_EQ(RegionOf(r.out, "card.img", 40960), 5) << r.out;
  r = Cli(dir.path(), data, "lead.img:card.img", "recover 5 --to out5 --types doc --continue");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_FALSE(Mentions(r.out, "no longer open")) << r.out;
  EXPECT_EQ(CopiesIn(dir.File("out5"), ReadFileBytes(card.two)), 1u) << r.All();
  EXPECT_FALSE(fs::exists(folder2)) << "the earlier scan was continued, not repeated";

  // The card alone: another drive number, still the same volume.
  r = Cli(dir.path(), data, "card.img", "recover 2 --list --types doc");
  EXPECT_TRUE(Offered(r)) << r.All();
  r = Cli(dir.path(), data, "card.img", "recover 2 --to out2 --types doc --continue");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_EQ(CopiesIn(dir.File("out2"), ReadFileBytes(card.two)), 1u) << r.All();
  EXPECT_FALSE(fs::exists(folder2));
}

// ---- Item: a stored scan is offered for its own volume only -----------

// Another card of the same size and layout in the same slot, unmounted both
// times, is scanned afresh; the first card's logs and entry stay, and it is
// offered again once it is back.
TEST(SourceIdentityCli, AnotherCardInTheSameSlotIsNotTheSameScan) {
  REQUIRE_FAT_TOOLS();
  testing::TempDir dir;
  const TwoVolumeCard first(dir, "first.img");
  ASSERT_TRUE(first.made);
  testing::TempDir other;
  const TwoVolumeCard second(other, "second.img");
  ASSERT_TRUE(second.made);
  const std::string data = dir.File("data");
  const std::string slot = dir.File("slot.img");
  const std::string folder1 = data + "/Orvanta/ScanLog/1";

  fs::copy_file(first.image, slot);
  CliRun r = Cli(dir.path(), data, "slot.img", "recover 1 --list --types doc");
  ASSERT_EQ(r.status, 0) << r.All();
  ASSERT_TRUE(Mentions(r.out, "artone.doc")) << r.out;
  ASSERT_TRUE(fs::is_directory(folder1));

  fs::copy_file(second.image, slot, fs::copy_options::overwrite_existing);
  r = Cli(dir.path(), data, "slot.img", "recover 1 --list --types doc");
  EXPECT_EQ(r.status, 0) << "not offered as the earlier scan\n" << r.All();
  EXPECT_TRUE(Mentions(r.out, "artone.doc")) << r.out;
  EXPECT_TRUE(fs::is_directory(folder1) && !fs::is_empty(folder1)) << "the first card's logs stay";
  EXPECT_TRUE(fs::is_directory(data + "/Orvanta/ScanLog/2"));

  fs::copy_file(first.image, slot, fs::copy_options::overwrite_existing);
  r = Cli(dir.path(), data, "slot.img", "recover 1 --list --types doc");
  EXPECT_TRUE(Offered(r)) << r.All();
  r = Cli(dir.path(), data, "slot.img", "recover 1 --to out --types doc --continue");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_EQ(CopiesIn(dir.File("out"), ReadFileBytes(first.one)), 1u) << r.All();
  EXPECT_EQ(CopiesIn(dir.File("out"), ReadFileBytes(second.one)), 0u) << r.All();
}

// "card.img" in one folder is not "card.img" in another: the second is
// scanned afresh and the first keeps its logs, found again from its folder.
TEST(SourceIdentityCli, RelativeImagePathMatchesOnlyItsOwnImage) {
  REQUIRE_FAT_TOOLS();
  testing::TempDir dir;
  const std::string data = dir.File("data");
  const std::string folder1 = data + "/Orvanta/ScanLog/1";
  fs::create_directories(dir.File("a"));
  fs::create_directories(dir.File("b"));
  for (const char* sub : {"a", "b"}) {
    const std::string image = dir.File(std::string(sub) + "/card.img");
    ASSERT_TRUE(testing::MakeFatImage(image, 16, 16));
    const std::string file = dir.File(std::string(sub) + ".doc");
    testing::WriteRandomFile(file, 40000, sub[0]);
    ASSERT_TRUE(testing::Mtools(image, "mcopy", ShellQuote(file) + " ::/FROM" + sub + ".DOC"));
    ASSERT_TRUE(testing::Mtools(image, "mdel", "::/FROM" + std::string(sub) + ".DOC"));
  }

  CliRun r = Cli(dir.File("a"), data, "", "recover card.img --list --types doc");
  ASSERT_EQ(r.status, 0) << r.All();
  ASSERT_TRUE(Mentions(r.out, "roma.doc")) << r.out;
  ASSERT_TRUE(fs::is_directory(folder1));

  r = Cli(dir.File("b"), data, "", "recover card.img --list --types doc");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_TRUE(Mentions(r.out, "romb.doc")) << r.out;
  EXPECT_FALSE(Mentions(r.out, "roma.doc")) << r.out;
  EXPECT_TRUE(fs::is_directory(folder1) && !fs::is_empty(folder1)) << "the other image's logs stay";

  r = Cli(dir.File("a"), data, "", "recover card.img --list --types doc");
  EXPECT_TRUE(Offered(r)) << r.All();
  r = Cli(dir.path(), data, "", "recover a/card.img --to out --types doc --continue");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_EQ(CopiesIn(dir.File("out"), ReadFileBytes(dir.File("a.doc"))), 1u) << r.All();
  EXPECT_FALSE(fs::exists(data + "/Orvanta/ScanLog/3")) << "the path given another way is the same image";
}

// ---- Item: a continued scan reads its own logs ------------------------

// A fast scan of the first volume after a deep scan of the second writes
// its log into the deep scan's folder ("Fast_2048_..." sorts first there).
// Continuing the second volume's scan still lists its own files by name.
TEST(SourceIdentityCli, ContinuedScanReadsTheLogsOfItsOwnVolume) {
  REQUIRE_FAT_TOOLS();
  testing::TempDir dir;
  const TwoVolumeCard card(dir, "card.img");
  ASSERT_TRUE(card.made);
  const std::string data = dir.File("data");
  const std::string folder1 = data + "/Orvanta/ScanLog/1";

  CliRun r = Cli(dir.path(), data, "card.img", "recover 2 --list --types doc");
  ASSERT_EQ(r.status, 0) << r.All();
  ASSERT_TRUE(Mentions(r.out, "arttwo.doc")) << r.out;
  r = Cli(dir.path(), data, "card.img", "recover 1 --fast --list --types doc");
  ASSERT_EQ(r.status, 0) << r.All();
  ASSERT_TRUE(Mentions(r.out, "artone.doc")) << r.out;
  bool mixed = false;
  for (const auto& e : fs::directory_iterator(folder1))
    mixed |= e.path().filename().string().rfind("Fast_2048_", 0) == 0;
  ASSERT_TRUE(mixed) << "the folder holds both volumes' fast logs";

  r = Cli(dir.path(), data, "card.img", "recover 2 --list --types doc --continue");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_TRUE(Mentions(r.out, "arttwo.doc")) << r.out;
  EXPECT_FALSE(Mentions(r.out, "artone.doc")) << r.out;
  r = Cli(dir.path(), data, "card.img", "recover 2 --to out --types doc --continue");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_EQ(CopiesIn(dir.File("out"), ReadFileBytes(card.two)), 1u) << r.All();
  EXPECT_EQ(CopiesIn(dir.File("out"), ReadFileBytes(card.one)), 0u) << r.All();

  // A folder from before identity files and checkpoints: the logs are told
  // by the start sector in their names.
  ASSERT_TRUE(fs::remove(folder1 + "/source"));
  ASSERT_TRUE(fs::remove(folder1 + "/checkpoint"));
  r = Cli(dir.path(), data, "card.img", "recover 2 --list --types doc --continue");
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_TRUE(Mentions(r.out, "arttwo.doc")) << r.out;
  EXPECT_FALSE(Mentions(r.out, "artone.doc")) << r.out;
  EXPECT_TRUE(fs::exists(folder1 + "/source")) << "written again";
}

// ---- The engines and the registry directly ----------------------------

class SourceIdentityEngine : public ::testing::Test {
 protected:
  testing::ScopedDataHome m_home;
};

std::unique_ptr<IFileRecoveryParse> Deep(const std::string& image, uint16_t key, CDeepRecovery*& combined) {
  auto engine = CreateEngineForImage(image, key, true);
  combined = dynamic_cast<CDeepRecovery*>(engine.get());
  return engine;
}

// The desktop numbers images 1001, 1002, ... in the order they are loaded.
// Loaded the other way round next time, both earlier scans are continued
// and every file comes back from its own image.
TEST_F(SourceIdentityEngine, ImagesLoadedInTheOtherOrderContinueAndRecover) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::FatCard a(32, 34);
  testing::FatCard b(32, 34);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(a.Put("alpha.jpg", testing::JpegPicture(30000, 1)) && a.Delete("alpha.jpg"));
  ASSERT_TRUE(b.Put("bravo.jpg", testing::JpegPicture(34000, 2)) && b.Delete("bravo.jpg"));
  for (auto [card, key] : {std::pair{&a, uint16_t{1001}}, std::pair{&b, uint16_t{1002}}}) {
    CDeepRecovery* combined = nullptr;
    auto engine = Deep(card->image(), key, combined);
    ASSERT_NE(combined, nullptr);
    ASSERT_EQ(engine->Scan(""), kOk);
  }

  CDeepRecovery* deepB = nullptr;
  CDeepRecovery* deepA = nullptr;
  auto engineB = Deep(b.image(), 1001, deepB);
  auto engineA = Deep(a.image(), 1002, deepA);
  ASSERT_TRUE(deepA != nullptr && deepB != nullptr);
  ASSERT_TRUE(deepA->Continuing());
  ASSERT_TRUE(deepB->Continuing());
  ASSERT_EQ(engineB->Scan(""), kOk);
  ASSERT_EQ(engineA->Scan(""), kOk);
  EXPECT_TRUE(deepA->Stats().resumed && deepB->Stats().resumed);

  std::vector<FoundRecord> files;
  for (auto* engine : {engineA.get(), engineB.get()}) {
    std::vector<FoundRecord> part;
    ASSERT_EQ(engine->CollectMatches("*.jpg|", part), kOk);
    files.insert(files.end(), part.begin(), part.end());
    std::vector<FoundRecord> root;
    ASSERT_EQ(engine->ListChildren(nullptr, 0, root), kOk);
    for (const FoundRecord& r : root)
      EXPECT_EQ(r.sourceKey, engine == engineA.get() ? 1002 : 1001) << RecordName(r);
  }
  ASSERT_GE(files.size(), 2u);
  testing::TempDir out;
  RecoveryJob job(out.path(), {{1001, engineB.get()}, {1002, engineA.get()}}, files);
  ASSERT_EQ(job.Run().Code(), kOk);
  for (const RecoveryResult& r : job.Results()) EXPECT_EQ(r.status.Code(), kOk) << r.path << ": " << r.text;
  EXPECT_GE(CopiesIn(out.path(), a.Original("alpha.jpg")), 1u);
  EXPECT_GE(CopiesIn(out.path(), b.Original("bravo.jpg")), 1u);
}

// A folder's identity file comes from disk: damaged or hostile text
// matches nothing and costs nothing; an entry written before identity
// files existed still continues.
TEST_F(SourceIdentityEngine, DamagedIdentityFilesMatchNothingAndOldEntriesStillContinue) {
  testing::TempDir images;
  const std::string image = images.File("card.img");
  testing::WriteRandomFile(image, 64 * 512, 5);
  CScanLogRegistry registry(m_home.ScanLogFolder());
  const SourceIdentity current = ImageSourceIdentity(image);
  ASSERT_FALSE(current.imagePath.empty());
  ASSERT_EQ(registry.NewLogFolder(), kOk);
  const std::string folder = registry.CurrentLogFolder();
  fs::create_directories(folder);
  ASSERT_EQ(registry.RecordDeepScan(1001, kImageDiskNumber, 0, 64, {}, folder, current.imagePath), kOk);

  DeepScanEntry entry = MakeDeepScanEntry();
  EXPECT_TRUE(registry.FindEntryForImage(image, current, entry)) << "an entry without identity file";

  const std::vector<std::vector<uint8_t>> damaged = {
      {},
      {'k', 'i', 'n', 'd', '=', 'i', 'm', 'a', 'g', 'e'},
      std::vector<uint8_t>(300000, 'x'),
      {0, 1, 2, '=', '\n', '%', 'z', 'z'},
  };
  ASSERT_EQ(::mkfifo((folder + "source").c_str(), 0600), 0);
  EXPECT_FALSE(registry.FindEntryForImage(image, current, entry)) << "a FIFO is not read";
  fs::remove(folder + "source");
  for (const auto& bytes : damaged) {
    testing::WriteFileBytes(folder + "source", bytes);
    EXPECT_FALSE(registry.FindEntryForImage(image, current, entry)) << bytes.size();
    EXPECT_TRUE(fs::exists(folder + "source"));
    EXPECT_EQ(registry.Entries().size(), 1u);
  }

  // Written and read back, the identity matches itself only.
  SourceIdentity stored = current;
  stored.logs = {"Fast_0_20261281 5", "Pro_Fat_0_2026128 9 1"};
  ASSERT_EQ(WriteSourceIdentity(folder, stored), kOk);
  SourceIdentity read;
  ASSERT_TRUE(ReadSourceIdentity(folder, read));
  EXPECT_EQ(read.logs, stored.logs);
  EXPECT_TRUE(registry.FindEntryForImage(image, current, entry));
  testing::WriteRandomFile(image, 64 * 512, 6);  // other bytes, same size
  fs::last_write_time(image, fs::last_write_time(image) + std::chrono::seconds(3));
  EXPECT_FALSE(registry.FindEntryForImage(image, ImageSourceIdentity(image), entry));
  EXPECT_TRUE(fs::exists(folder + "source"));
}

}  // namespace
}  // namespace velmira
