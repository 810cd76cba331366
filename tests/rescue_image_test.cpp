// Imaging a failing medium: read errors do not stop the copy, damaged areas
// are skipped and come back at the end, the map beside the image records it
// all, and an interrupted copy goes on from its map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "platform/errors.h"
#include "storage/disk_image_copy.h"
#include "storage/rescue_map.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;
using testing::TempDir;

constexpr uint64_t kSector = 512;

// A drive with bad sectors: a read that reaches one delivers the bytes before
// it, the next read there fails (as a disk's short read and EIO do). Sectors
// in `flaky` fail only the first time they are read.
class PatchyDevice : public ByteReader {
 public:
  PatchyDevice(std::vector<uint8_t> data, std::set<uint64_t> bad, std::set<uint64_t> flaky = {})
      : m_data(std::move(data)), m_bad(std::move(bad)), m_flaky(std::move(flaky)) {}

  int32_t ReadAt(void* buffer, size_t size, uint64_t offset, size_t& done) override {
    done = 0;
    if (offset + size > goneFrom) return kErrNotReady;
    if (size <= kSector) ++sectorReads;
    if (offset >= m_data.size()) return kOk;
    size = std::min<uint64_t>(size, m_data.size() - offset);
    const uint64_t first = offset / kSector, last = (offset + size - 1) / kSector;
    for (uint64_t s = first; s <= last; ++s) {
      const bool flaky = m_flaky.erase(s) != 0;
      if (m_bad.count(s) != 0 || flaky) {
        if (s == first) {
          log.push_back({offset, false});
          return kErrReadFault;
        }
        size = s * kSector - offset;
        break;
      }
    }
    std::memcpy(buffer, m_data.data() + offset, size);
    done = size;
    delivered += size;
    log.push_back({offset, true});
    return kOk;
  }

  std::vector<std::pair<uint64_t, bool>> log;  // (offset, read) of every read

  uint64_t goneFrom = UINT64_MAX;  // reads that reach this far find no drive
  int sectorReads = 0;             // reads of one sector or less
  uint64_t delivered = 0;          // bytes handed out

 private:
  std::vector<uint8_t> m_data;
  std::set<uint64_t> m_bad;
  std::set<uint64_t> m_flaky;
};

std::set<uint64_t> Span(uint64_t first, uint64_t count) {
  std::set<uint64_t> out;
  for (uint64_t s = first; s < first + count; ++s) out.insert(s);
  return out;
}

// The map's lines other than comments (its times change from run to run).
std::string MapBody(const std::string& path) {
  const auto bytes = testing::ReadFileBytes(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string body;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') body += line + "\n";
  return body;
}

// Every report, and a cancel at one of them.
struct Watcher {
  const ImageJob* job = nullptr;
  size_t cancelAt = SIZE_MAX;
  std::vector<std::pair<uint64_t, uint64_t>> seen;  // (sectors settled, bad sectors)

  static int32_t Report(void* self, int32_t, uint64_t done, uint64_t, int32_t) {
    auto* w = static_cast<Watcher*>(self);
    w->seen.emplace_back(done, w->job->badSectors);
    return w->seen.size() - 1 == w->cancelAt ? kCancelled : 0;
  }
};

class RescueImage : public ::testing::Test {
 protected:
  void SetUp() override { MakeSource(4096); }
  void MakeSource(uint64_t sectors) {
    testing::WriteRandomFile(m_source, sectors * kSector, 21);
    m_data = testing::ReadFileBytes(m_source);
  }
  // The source with zeros where the sectors are bad.
  std::vector<uint8_t> Expected(const std::set<uint64_t>& bad) const {
    std::vector<uint8_t> out = m_data;
    for (uint64_t s : bad) std::fill_n(out.begin() + static_cast<long>(s * kSector), kSector, 0);
    return out;
  }
  // Opens a copy of the whole source into m_out with `device` in place of the file.
  int32_t Run(ImageJob& job, const std::shared_ptr<PatchyDevice>& device, Watcher* watcher = nullptr,
              bool resume = false) {
    job.resume = resume;
    job.progress = watcher != nullptr ? &Watcher::Report : nullptr;
    if (watcher != nullptr) watcher->job = &job;
    int32_t err = OpenImageJobOnPath(job, m_out, m_source, 0, 0, watcher);
    if (err == kOk) {
      job.drive.reader = device;
      err = RunImageJob(job);
    }
    const int32_t closeErr = CloseImageJob(job);
    return err != kOk ? err : closeErr;
  }

  TempDir m_dir;
  std::string m_source = m_dir.File("card.img");
  std::string m_out = m_dir.File("copy.img");
  std::vector<uint8_t> m_data;
};

// Single bad sectors, a bad area, and a bad sector in the last piece: each
// becomes zeros, everything else is copied, and the map says exactly where.
TEST_F(RescueImage, BadSectorsBecomeZerosAndTheMapListsThem) {
  std::set<uint64_t> bad = {5, 700, 2047};
  bad.merge(Span(3000, 300));
  bad.insert(4095);
  auto device = std::make_shared<PatchyDevice>(m_data, bad);
  ImageJob job;
  ASSERT_EQ(Run(job, device), kOk);
  EXPECT_EQ(job.badSectors, 304u);
  EXPECT_EQ(job.sectorsDone, 4096u);
  EXPECT_TRUE(testing::ReadFileBytes(m_out) == Expected(bad));

  EXPECT_EQ(MapBody(ImageMapPath(m_out)),
            "0x00200000     +               1\n"
            "0x00000000  0x00000A00  +\n"
            "0x00000A00  0x00000200  -\n"
            "0x00000C00  0x00056C00  +\n"
            "0x00057800  0x00000200  -\n"
            "0x00057A00  0x000A8400  +\n"
            "0x000FFE00  0x00000200  -\n"
            "0x00100000  0x00077000  +\n"
            "0x00177000  0x00025800  -\n"
            "0x0019C800  0x00063600  +\n"
            "0x001FFE00  0x00000200  -\n");

  // ddrescuelog reads the map and finds the same bad sectors.
  if (!testing::ToolAvailable("ddrescuelog"))
    GTEST_SKIP() << "ddrescuelog (package gddrescue) is not installed";
  int status = 0;
  const std::string listed =
      testing::RunCapture("ddrescuelog -b512 --list-blocks=- " + ShellQuote(ImageMapPath(m_out)), status);
  ASSERT_EQ(status, 0) << listed;
  std::set<uint64_t> fromTool;
  std::istringstream in(listed);
  for (uint64_t s; in >> s;) fromTool.insert(s);
  EXPECT_EQ(fromTool, bad);
}

// A read that fails once and then works costs nothing; a damaged area is
// skipped and read sector by sector only after every good sector is copied.
TEST_F(RescueImage, FlakyReadsAreRetriedAndDamagedAreasWaitForTheEnd) {
  auto flaky = std::make_shared<PatchyDevice>(m_data, std::set<uint64_t>{}, std::set<uint64_t>{100, 3000});
  ImageJob job;
  ASSERT_EQ(Run(job, flaky), kOk);
  EXPECT_EQ(job.badSectors, 0u);
  EXPECT_EQ(flaky->sectorReads, 0) << "the second try of the large read got them";
  EXPECT_TRUE(testing::ReadFileBytes(m_out) == m_data);

  MakeSource(32768);  // 16 MiB with a damaged MiB in the middle
  const std::set<uint64_t> bad = Span(8192, 2048);
  auto device = std::make_shared<PatchyDevice>(m_data, bad);
  Watcher watcher;
  ASSERT_EQ(Run(job, device, &watcher, false), kOk);
  EXPECT_EQ(job.badSectors, 2048u);
  EXPECT_TRUE(testing::ReadFileBytes(m_out) == Expected(bad));
  // The first sector found bad comes after all good ones are copied.
  const auto firstBad =
      std::find_if(watcher.seen.begin(), watcher.seen.end(), [](const auto& s) { return s.second != 0; });
  ASSERT_NE(firstBad, watcher.seen.end());
  EXPECT_EQ(firstBad->first - firstBad->second, 32768u - 2048u);
  // The copy got past the damaged area after a few failed reads: it skipped
  // further each time rather than trying each 64 KiB of it in turn.
  int failedBeforePast = 0;
  for (const auto& [offset, ok] : device->log) {
    if (ok && offset >= (8192 + 2048) * kSector) break;
    failedBeforePast += ok ? 0 : 1;
  }
  // (Each of its 16 pieces in turn, each tried twice, would be 32.)
  EXPECT_LE(failedBeforePast, 14);
}

// A copy cancelled at any point goes on from its map to the same image and
// map as a copy that ran through, and does not read again what it has.
TEST_F(RescueImage, ContinuedCopiesEqualUninterruptedOnes) {
  MakeSource(8192);
  std::set<uint64_t> bad = {3, 1500, 8191};
  bad.merge(Span(4000, 600));
  ImageJob job;
  Watcher all;
  ASSERT_EQ(Run(job, std::make_shared<PatchyDevice>(m_data, bad), &all), kOk);
  const std::vector<uint8_t> whole = testing::ReadFileBytes(m_out);
  const std::string wholeMap = MapBody(ImageMapPath(m_out));
  ASSERT_TRUE(whole == Expected(bad));
  const size_t reports = all.seen.size();
  ASSERT_GE(reports, 8u);

  // In the first pass, in the skipped areas, while trimming and scraping.
  for (size_t cancelAt : {size_t{0}, size_t{2}, reports / 3, reports / 2, reports - 2}) {
    std::filesystem::remove(m_out);
    std::filesystem::remove(ImageMapPath(m_out));
    Watcher watcher;
    watcher.cancelAt = cancelAt;
    ASSERT_EQ(Run(job, std::make_shared<PatchyDevice>(m_data, bad), &watcher), kCancelled) << cancelAt;
    // Sectors copied (not found bad) before the cancel.
    const uint64_t copiedBefore = watcher.seen.back().first - watcher.seen.back().second;
    EXPECT_TRUE(HasUnfinishedImageMap(m_out));

    auto device = std::make_shared<PatchyDevice>(m_data, bad);
    ASSERT_EQ(Run(job, device, nullptr, true), kOk) << cancelAt;
    EXPECT_TRUE(testing::ReadFileBytes(m_out) == whole) << "cancelled at report " << cancelAt;
    EXPECT_EQ(MapBody(ImageMapPath(m_out)), wholeMap) << cancelAt;
    EXPECT_EQ(job.badSectors, bad.size());
    EXPECT_EQ(device->delivered, (8192 - bad.size() - copiedBefore) * kSector)
        << "what was copied before is not read again";
    EXPECT_FALSE(HasUnfinishedImageMap(m_out));
  }

  // A drive that goes away stops the copy rather than filling the image with
  // zeros; once it is back, the copy goes on.
  std::filesystem::remove(m_out);
  auto leaving = std::make_shared<PatchyDevice>(m_data, bad);
  leaving->goneFrom = 6000 * kSector;
  EXPECT_EQ(Run(job, leaving), kErrNotReady);
  EXPECT_TRUE(HasUnfinishedImageMap(m_out));
  EXPECT_LT(job.badSectors, bad.size());
  ASSERT_EQ(Run(job, std::make_shared<PatchyDevice>(m_data, bad), nullptr, true), kOk);
  EXPECT_TRUE(testing::ReadFileBytes(m_out) == whole);

  // Continuing needs the map, and one of this copy's size.
  std::filesystem::remove(ImageMapPath(m_out));
  EXPECT_EQ(Run(job, std::make_shared<PatchyDevice>(m_data, bad), nullptr, true), kErrFileNotFound);
  testing::WriteFileBytes(ImageMapPath(m_out),
                          {'0', ' ', '?', '\n', '0', ' ', '5', '1', '2', ' ', '?', '\n'});
  EXPECT_EQ(Run(job, std::make_shared<PatchyDevice>(m_data, bad), nullptr, true), kErrInvalidData);
  {
    std::ofstream out(ImageMapPath(m_out));
    out << "0 ? 1\n0 100 +\n100 4194204 ?\n";  // the right size, but not in whole sectors
  }
  EXPECT_EQ(Run(job, std::make_shared<PatchyDevice>(m_data, bad), nullptr, true), kErrInvalidData);
}

TEST(RescueMapText, RoundTripsAndRefusesBrokenMaps) {
  RescueMap map;
  map.Reset(10 * kSector);
  map.Mark(2 * kSector, 3 * kSector, kMapFinished);
  map.Mark(3 * kSector, kSector, kMapBad);
  map.Mark(0, 2 * kSector, kMapFinished);              // merges with the block after
  map.Mark(9 * kSector, 5 * kSector, kMapNonTrimmed);  // clipped to the end
  EXPECT_EQ(map.Blocks(),
            (std::vector<MapBlock>{
                {0, 1536, '+'}, {1536, 512, '-'}, {2048, 512, '+'}, {2560, 2048, '?'}, {4608, 512, '*'}}));
  RescueMap back;
  std::string error;
  ASSERT_TRUE(back.Parse(map.Format({"a comment"}), error)) << error;
  EXPECT_EQ(back.Blocks(), map.Blocks());
  EXPECT_EQ(back.Size(), 5120u);

  // A map written by hand: decimal and octal numbers, comments after values,
  // no pass on the status line.
  ASSERT_TRUE(back.Parse("# x\n  1024 /  # trimming done\n0 512 +\n512 01000 -\n", error)) << error;
  EXPECT_EQ(back.Blocks(), (std::vector<MapBlock>{{0, 512, '+'}, {512, 512, '-'}}));
  EXPECT_EQ(back.currentStatus, '/');
  EXPECT_EQ(back.currentPass, 1);

  for (const char* broken : {"", "# only comments\n", "0x0 ? 1\n0 512 +\n1024 512 +\n", "0 ? 1\n512 512 +\n",
                             "0 ? 1\n0 512 +\n256 512 +\n", "0 ? 1\n0 0 +\n", "0 ? 1\n0 512 x\n",
                             "0 ? 1\n0 0xFFFFFFFFFFFFFFFF +\n1 1 +\n", "0 ? 1\n0 99999999999999999999999 +\n",
                             "0 ? 1\n0 -5 +\n", "zz ? 1\n", "0 ? 0\n", "0 ?? 1\n", "0 ? 1\n0 512\n"}) {
    RescueMap m;
    EXPECT_FALSE(m.Parse(broken, error)) << broken;
  }
}

// velmira-cli image on a drive whose reads fail (a preloaded shim fails pread
// with EIO on chosen sectors): exit 6 and the count when sectors stay
// unreadable, 0 when all were read, and an unfinished copy is continued only
// when asked to.
TEST_F(RescueImage, CommandLineExitCodesAndContinue) {
  MakeSource(8192);
  const std::string list = m_dir.File("bad.txt");
  {
    std::ofstream out(list);
    out << "# first count\n10 1\n5000 40\n8191 1\n";
  }
  std::set<uint64_t> bad = {10, 8191};
  bad.merge(Span(5000, 40));
  struct CliResult {
    int status;
    std::string out, err;
  };
  auto cli = [&](const std::string& args, bool failing) {
    CliResult r;
    const std::string env =
        failing ? "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + ShellQuote(VELMIRA_BAD_SECTOR_SHIM) +
                      " VELMIRA_SHIM_FILE=card.img VELMIRA_SHIM_SECTORS=bad.txt "
                : std::string();
    r.out =
        testing::RunCapture("cd " + ShellQuote(m_dir.path()) + " && " + env + ShellQuote(VELMIRA_CLI_PATH) +
                                " image " + args + " 2>" + ShellQuote(m_dir.File("err")),
                            r.status);
    const auto err = testing::ReadFileBytes(m_dir.File("err"));
    r.err.assign(err.begin(), err.end());
    return r;
  };

  CliResult r = cli("card.img copy.img", true);
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.out.find("42 sectors could not be read; they hold zeros in the image. The map copy.img.map"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("42 unreadable"), std::string::npos) << r.err;
  EXPECT_TRUE(testing::ReadFileBytes(m_out) == Expected(bad));

  r = cli("card.img good.img", false);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("map: good.img.map"), std::string::npos) << r.out;

  // An unfinished copy is neither overwritten nor continued unasked.
  std::filesystem::remove(m_out);
  ImageJob job;
  Watcher watcher;
  watcher.cancelAt = 3;
  ASSERT_EQ(Run(job, std::make_shared<PatchyDevice>(m_data, bad), &watcher), kCancelled);
  r = cli("card.img copy.img", true);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("holds an unfinished copy (see its map 'copy.img.map'); add --continue"),
            std::string::npos)
      << r.err;
  r = cli("--continue card.img copy.img", true);
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_TRUE(testing::ReadFileBytes(m_out) == Expected(bad));
  r = cli("--continue card.img missing.img", false);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("there is no map 'missing.img.map'"), std::string::npos) << r.err;
  r = cli("--continue --force card.img copy.img", false);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(testing::ReadFileBytes(m_source), m_data) << "the source is untouched";
}

}  // namespace
}  // namespace velmira
