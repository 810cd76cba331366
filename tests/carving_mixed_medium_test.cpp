// The carver over a raw medium of mixed real files, as a card or disk leaves
// them when the file system is gone: the corpus samples of every carvable
// family laid at random sector offsets, some back to back, the slack of
// their last sector zero or noise, noise or zeros between them. Every intact
// file but a few named ones must come back byte for byte, and what the
// carver gives must be whole files, not pieces or runs into the next file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engines/carving/carve_sweep.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "results/extension_lists.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/sha256.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::Bytes;

// The share of the carver's files that must be whole planted files.
constexpr double kWholeFilesTarget = 0.95;

// Intact samples the carver cannot give back byte for byte, and why. Every
// other intact sample must come back.
const std::map<std::string, std::string>& KnownMisses() {
  static const std::map<std::string, std::string> kMisses = {
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.doc",
       "its last sector is marked free in the allocation table"},
      {"markokr__rarfile/test/files/rar5-hpsw.rar", "encrypted headers hide every size"},
      {"tinytag__tinytag/tinytag/tests/samples/id3v22-test.mp3", "cut off inside its last frame"},
      {"tinytag__tinytag/tinytag/tests/samples/vbri.mp3", "cut off inside its last frame"},
      {"python-pillow__Pillow/Tests/images/tiff_adobe_deflate.tif", "ends with 4 bytes nothing points at"},
  };
  return kMisses;
}

// The extensions of the formats the carver is meant to cut at their end.
const std::set<std::string>& CarvableExtensions() {
  static const std::set<std::string> kCarvable = {
      "jpg",  "jpeg", "png", "gif",  "bmp",  "tif",  "tiff",   "psd",  "ico", "webp", "heic",
      "avif", "cr2",  "cr3", "nef",  "arw",  "dng",  "orf",    "rw2",  "raf", "mp3",  "wav",
      "flac", "ogg",  "m4a", "mp4",  "mov",  "avi",  "mkv",    "webm", "flv", "3gp",  "pdf",
      "doc",  "xls",  "ppt", "docx", "xlsx", "pptx", "odt",    "ods",  "odp", "epub", "zip",
      "rar",  "7z",   "gz",  "exe",  "dll",  "db",   "sqlite", "jar",  "apk", "msg"};
  return kCarvable;
}

struct Planted {
  std::string path;  // below the corpus
  std::string ext;
  std::string sha;
  uint64_t sector = 0;
  uint64_t size = 0;
};

// Corpus samples of the carvable families, as the corpus listing names them.
std::vector<Planted> CorpusSamples(const std::string& listing) {
  std::vector<Planted> samples;
  std::ifstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Planted p;
    std::string size;
    std::string type, check;
    if (!std::getline(fields, p.path, '\t') || !std::getline(fields, size, '\t') ||
        !std::getline(fields, p.sha, '\t') || !std::getline(fields, type, '\t'))
      continue;
    std::getline(fields, check, '\t');
    // The smallest syntactically valid files of a format and the samples
    // whose own check fails are edge cases, not files people lose; they are
    // tested one by one elsewhere.
    if (p.path.rfind("mathiasbynens__small/", 0) == 0 || check.find("FAIL") != std::string::npos) continue;
    p.ext = ExtensionOf(p.path);
    p.size = std::strtoull(size.c_str(), nullptr, 10);
    if (p.size != 0 && p.size <= (8u << 20) && CarvableExtensions().count(p.ext) != 0) samples.push_back(p);
  }
  return samples;
}

TEST(CarvingMixedMedium, MixedFilesComeBackWholeAndNothingElse) {
  VELMIRA_REQUIRE_CORPUS(listing, "_truth/media_files.tsv");
  std::vector<Planted> planted = CorpusSamples(listing);
  ASSERT_GT(planted.size(), 50u) << "too few carvable samples in " << listing;

  // The medium: shuffled samples, a third back to back, else a gap of noise
  // (or zeros) of 1 to 40 sectors; slack of the last sector zero or noise.
  std::mt19937 rng(21);
  std::shuffle(planted.begin(), planted.end(), rng);
  constexpr uint32_t kSector = 512;
  Bytes medium = testing::RandomBytes(kSector * 7, 1);
  uint32_t seed = 2;
  for (Planted& p : planted) {
    const Bytes data = testing::ReadFileBytes(testing::CorpusPath(p.path));
    ASSERT_EQ(data.size(), p.size) << p.path;
    p.sector = medium.size() / kSector;
    medium.insert(medium.end(), data.begin(), data.end());
    const size_t slack = (kSector - data.size() % kSector) % kSector;
    const Bytes noise = testing::RandomBytes(slack, ++seed);
    if (rng() % 2 == 0)
      medium.insert(medium.end(), noise.begin(), noise.end());
    else
      medium.resize(medium.size() + slack, 0);
    const uint32_t r = rng() % 100;
    if (r < 33) continue;
    const size_t gap = kSector * (1 + rng() % 40);
    const Bytes between = testing::RandomBytes(gap, ++seed);
    if (r < 80)
      medium.insert(medium.end(), between.begin(), between.end());
    else
      medium.resize(medium.size() + gap, 0);
  }
  medium.resize(medium.size() + (1u << 20), 0);

  testing::ScopedDataHome home;
  testing::TempDir dir;
  const std::string image = dir.File("mixed.img");
  testing::WriteFileBytes(image, medium);
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, 1001), kOk);
  CarveSweepResult swept;
  ASSERT_EQ(CarveSweep(engine, 0, engine.Source().sectorCount, nullptr, nullptr, swept), kOk);

  // What the carver gives, by the sha256 of the bytes it would write.
  std::map<uint64_t, std::pair<std::string, uint64_t>> carvedAt;  // sector -> name, length
  std::set<std::string> carvedSums;
  uint64_t written = 0, whole = 0;
  std::set<std::string> plantedSums;
  for (const Planted& p : planted) plantedSums.insert(p.sha);
  ASSERT_EQ(engine.VisitMatches(std::string(kEveryFilePattern),
                                [&](const FoundRecord& r) {
                                  const uint64_t at = uint64_t{r.entrySector} * kSector;
                                  const uint64_t length = std::min<uint64_t>(
                                      uint64_t{r.size}, at < medium.size() ? medium.size() - at : 0);
                                  const std::string sha =
                                      testing::Sha256Hex(medium.data() + at, static_cast<size_t>(length));
                                  carvedAt[uint64_t{r.entrySector}] = {RecordName(r), uint64_t{r.size}};
                                  carvedSums.insert(sha);
                                  ++written;
                                  whole += plantedSums.count(sha);
                                  return 0;
                                }),
            kOk);

  struct Tally {
    uint32_t planted = 0;
    uint32_t back = 0;
  };
  std::map<std::string, Tally> byExt;
  uint32_t back = 0;
  std::string misses;
  for (const Planted& p : planted) {
    Tally& t = byExt[p.ext];
    ++t.planted;
    if (carvedSums.count(p.sha) != 0) {
      ++t.back;
      ++back;
      continue;
    }
    const auto at = carvedAt.find(p.sector);
    char line[512];
    std::snprintf(line, sizeof line, "  miss %-5s %9llu bytes at sector %-7llu carved there: %s  (%s)\n",
                  p.ext.c_str(), static_cast<unsigned long long>(p.size),
                  static_cast<unsigned long long>(p.sector),
                  at == carvedAt.end()
                      ? "nothing"
                      : (at->second.first + ", " + std::to_string(at->second.second) + " bytes").c_str(),
                  p.path.c_str());
    misses += line;
  }
  std::string table = "ext    planted  whole\n";
  for (const auto& [ext, t] : byExt) {
    char line[64];
    std::snprintf(line, sizeof line, "%-6s %7u %6u%s\n", ext.c_str(), t.planted, t.back,
                  t.back < t.planted ? "  <" : "");
    table += line;
  }
  const double byteForByte = static_cast<double>(back) / static_cast<double>(planted.size());
  const double wholeShare = written == 0 ? 0.0 : static_cast<double>(whole) / static_cast<double>(written);
  std::printf(
      "%s%s%u of %zu planted files byte for byte (%.1f%%); %llu of %llu carved files whole (%.1f%%)\n",
      table.c_str(), misses.c_str(), back, planted.size(), 100.0 * byteForByte,
      static_cast<unsigned long long>(whole), static_cast<unsigned long long>(written), 100.0 * wholeShare);
  for (const Planted& p : planted) {
    if (carvedSums.count(p.sha) != 0 || KnownMisses().count(p.path) != 0) continue;
    ADD_FAILURE() << p.path << " did not come back byte for byte";
  }
  EXPECT_GE(wholeShare, kWholeFilesTarget) << "carved files that are pieces or run on into other data";
}

// A medium of `count` tiny GIFs, one per sector: a flood of real files.
Bytes GifFlood(size_t count) {
  static const uint8_t kGif[] = {'G', 'I', 'F',  '8',  '9',  'a',  1,    0, 1, 0, 0x80, 0,    0, 0,
                                 0,   0,   0xFF, 0xFF, 0xFF, 0x21, 0xF9, 4, 1, 0, 0,    0,    0, 0x2C,
                                 0,   0,   0,    0,    1,    0,    1,    0, 0, 2, 1,    0x44, 0, 0x3B};
  Bytes medium(count * 512, 0);
  for (size_t i = 0; i < count; ++i) std::copy(std::begin(kGif), std::end(kGif), medium.begin() + i * 512);
  return medium;
}

// A medium of `count` tiny GIFs written to `path` a sector at a time.
void WriteGifFlood(const std::string& path, size_t count) {
  const Bytes one = GifFlood(1);
  std::ofstream out(path, std::ios::binary);
  for (size_t i = 0; i < count; ++i) out.write(reinterpret_cast<const char*>(one.data()), one.size());
  ASSERT_TRUE(out.good()) << path;
}

// The peak resident size of `command`, in KiB, as /usr/bin/time measures it
// (a child it forks: never a copy of this process); -1 when it failed.
long PeakKibOf(const std::string& command, const std::string& report) {
  const std::string timed = "/usr/bin/time -f %M -o " + testing::ShellQuote(report) + " " + command;
  if (std::system(timed.c_str()) != 0) return -1;
  std::ifstream in(report);
  long kib = -1;
  in >> kib;
  return kib;
}

TEST(CarvingManyFiles, CarveListingMemoryDoesNotGrowWithTheFiles) {
  if (!std::filesystem::exists("/usr/bin/time")) GTEST_SKIP() << "/usr/bin/time is not installed";
  testing::TempDir dir;
  const std::string env = "env XDG_DATA_HOME=" + testing::ShellQuote(dir.File("data")) + " ";
  long peak[2] = {0, 0};
  const size_t counts[2] = {5000, 105000};
  for (int i = 0; i < 2; ++i) {
    const std::string image = dir.File("flood" + std::to_string(i) + ".img");
    WriteGifFlood(image, counts[i]);
    const std::string command = env + testing::ShellQuote(VELMIRA_CLI_PATH) + " carve " +
                                testing::ShellQuote(image) + " --list >" +
                                testing::ShellQuote(dir.File("list")) + " 2>/dev/null";
    peak[i] = PeakKibOf(command, dir.File("peak"));
    ASSERT_GT(peak[i], 0) << command;
    std::ifstream list(dir.File("list"));
    size_t lines = 0;
    for (std::string line; std::getline(list, line);) ++lines;
    EXPECT_EQ(lines, counts[i] + 1) << "a header and one line per file";
  }
  // 100,000 more results may cost the scan log's small per-file index, not
  // a copy of every record (346 bytes each, and more in lists of them).
  const long grown = (peak[1] - peak[0]) * 1024;
  EXPECT_LT(grown / static_cast<long>(counts[1] - counts[0]), 64)
      << "peak " << peak[0] << " KiB for " << counts[0] << " files, " << peak[1] << " KiB for " << counts[1];
}

TEST(CarvingManyFiles, CarvedFilesComeInSectorOrderAndSpreadOverFolders) {
  testing::ScopedDataHome home;
  testing::TempDir dir;
  const std::string image = dir.File("flood.img");
  testing::WriteFileBytes(image, GifFlood(12));
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, 1001), kOk);
  CarveSweepResult swept;
  ASSERT_EQ(CarveSweep(engine, 0, engine.Source().sectorCount, nullptr, nullptr, swept), kOk);
  ASSERT_EQ(swept.filesFound, 12u);

  // Handed on one by one in the order of their sectors ("10.gif" after "9.gif"),
  // and a non-zero answer stops the walk there.
  std::vector<FoundRecord> seen;
  EXPECT_EQ(engine.VisitMatches("*.gif|",
                                [&](const FoundRecord& r) {
                                  seen.push_back(r);
                                  return seen.size() == 11 ? kCancelled : 0;
                                }),
            kCancelled);
  ASSERT_EQ(seen.size(), 11u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(uint64_t{seen[i].entrySector}, i);

  // Copied in two jobs that share one spread of 5 files a folder.
  FolderSpread spread;
  spread.limit = 5;
  for (const auto& part : {std::vector<FoundRecord>(seen.begin(), seen.begin() + 7),
                           std::vector<FoundRecord>(seen.begin() + 7, seen.end())}) {
    RecoveryJob job(dir.File("out"), {{1001, &engine}}, part);
    job.SetFolderSpread(&spread);
    ASSERT_EQ(job.Run().Code(), kOk);
    EXPECT_EQ(job.Failed(), 0u);
  }
  const std::pair<const char*, const char*> where[] = {{"out/photo/0.gif", "first"},
                                                       {"out/photo/4.gif", "fifth"},
                                                       {"out/photo.2/5.gif", "sixth"},
                                                       {"out/photo.2/9.gif", "tenth"},
                                                       {"out/photo.3/10.gif", "eleventh"}};
  for (const auto& [path, which] : where)
    EXPECT_TRUE(std::filesystem::exists(dir.File(path))) << which << ": " << path;
  EXPECT_FALSE(std::filesystem::exists(dir.File("out/photo/5.gif")));
  // Without a spread every file keeps to its category folder.
  EXPECT_EQ(RecoveryTargetPath(dir.File("x"), seen[10]), dir.File("x") + "/photo/10.gif");
}

}  // namespace
}  // namespace velmira
