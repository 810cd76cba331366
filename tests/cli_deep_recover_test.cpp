// velmira-cli recover with its default deep scan, end to end: a camera card
// formatted again, an NTFS volume whose boot sector is gone, and a second
// run over a source whose deep scan is on record.
#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/cli_run.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

using testing::CliRun;

CliRun Cli(const testing::TempDir& dir, const std::string& args) {
  return testing::RunCli(args, {.dataHome = dir.File("data"), .mergeErr = true});
}

// File name -> bytes of every file below `folder`.
std::map<std::string, std::vector<uint8_t>> FilesIn(const std::string& folder) {
  std::map<std::string, std::vector<uint8_t>> out;
  if (!std::filesystem::exists(folder)) return out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (e.is_regular_file()) out[e.path().filename().string()] = testing::ReadFileBytes(e.path().string());
  return out;
}

// A card with photos in a camera folder and at the root, formatted again:
// the camera folder comes back with its names (its folder sectors survive),
// the root photos by their content, and no photo twice.
TEST(CliDeepRecover, ReformattedCardGivesBackNamedAndCarvedPhotos) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Mkdir("DCIM"));
  ASSERT_TRUE(card.Mkdir("DCIM/100CANON"));
  std::vector<std::string> named, rooted;
  for (int i = 1; i <= 4; ++i) {
    const std::string name = "IMG_000" + std::to_string(i) + ".JPG";
    ASSERT_TRUE(card.Put("DCIM/100CANON/" + name, testing::JpegPicture(20000 + 7000 * i, i)));
    named.push_back(name);
  }
  for (int i = 1; i <= 3; ++i) {
    const std::string name = "ROOT" + std::to_string(i) + ".JPG";
    ASSERT_TRUE(card.Put(name, testing::JpegPicture(15000 + 5000 * i, 10 + i)));
    rooted.push_back(name);
  }
  ASSERT_TRUE(card.Reformat(32));
  const testing::TempDir& dir = card.dir();

  CliRun run = Cli(dir, "recover " + ShellQuote(card.image()) + " --to " + ShellQuote(dir.File("out")));
  ASSERT_EQ(run.status, 0) << run.out;
  const auto photos = FilesIn(dir.File("out/photo"));
  for (const std::string& name : named) {
    const auto it = std::find_if(photos.begin(), photos.end(), [&](const auto& p) {
      return strcasecmp(p.first.c_str(), name.c_str()) == 0;
    });
    ASSERT_NE(it, photos.end()) << name << " by its name\n" << run.out;
    EXPECT_EQ(it->second, card.Original("DCIM/100CANON/" + name)) << name;
  }
  // Compared as text: GCC 12 at -O3 takes the memcmp of two vectors' ordering
  // for an overread (-Wstringop-overread), falsely.
  auto text = [](const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); };
  std::multiset<std::string> contents;
  for (const auto& [name, bytes] : photos) contents.insert(text(bytes));
  for (const std::string& name : rooted)
    EXPECT_EQ(contents.count(text(card.Original(name))), 1u) << name << " by its content, once";
  for (const std::string& name : named)
    EXPECT_EQ(contents.count(text(card.Original("DCIM/100CANON/" + name))), 1u)
        << name << " is not carved again";
}

// An NTFS volume without its boot sector is no file system to the probe;
// the deep scan sweeps it whole and finds the deleted files by their file
// records, with their names.
TEST(CliDeepRecover, NtfsWithoutBootSectorGivesBackDeletedFilesByName) {
  testing::NtfsDisk disk(16);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  const testing::Bytes photo = testing::JpegPicture(60000, 3);
  disk.Put("Camera/holiday.jpg", photo);
  disk.Put("Notes/letter.txt", std::vector<uint8_t>(3000, 'x'));
  disk.Put("Kept.txt", {'k'});
  disk.Remove("Camera");
  disk.Remove("Notes");
  disk.Unmount();
  std::vector<uint8_t> bytes = testing::ReadFileBytes(disk.image());
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  testing::WriteFileBytes(disk.image(), bytes);
  const testing::TempDir& dir = disk.dir();

  CliRun probe = Cli(dir, "probe " + ShellQuote(disk.image()));
  EXPECT_NE(probe.out.find("other"), std::string::npos) << probe.out;
  CliRun run = Cli(dir, "recover " + ShellQuote(disk.image()) + " --to " + ShellQuote(dir.File("out")));
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(testing::ReadFileBytes(dir.File("out/photo/holiday.jpg")), photo) << run.out;
  EXPECT_EQ(testing::ReadFileBytes(dir.File("out/document/letter.txt")), std::vector<uint8_t>(3000, 'x'));
}

// A second deep scan of the same source: without a terminal to ask on, the
// command wants --continue or --restart; --continue goes on from the
// recorded position (here: the end), --restart throws the old logs away.
TEST(CliDeepRecover, EarlierDeepScanIsContinuedOrRestartedOnRequest) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::FatCard card(32, 34);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("a.jpg", testing::JpegPicture(9000, 1)));
  ASSERT_TRUE(card.Delete("a.jpg"));
  const testing::TempDir& dir = card.dir();
  const std::string list = "recover " + ShellQuote(card.image()) + " --list";

  auto photosListed = [](const std::string& out) {
    size_t n = 0;
    for (size_t at = out.find(".jpg\n"); at != std::string::npos; at = out.find(".jpg\n", at + 1)) ++n;
    return n;
  };
  CliRun first = Cli(dir, list);
  ASSERT_EQ(first.status, 0) << first.out;
  ASSERT_EQ(photosListed(first.out), 1u) << first.out;
  ASSERT_TRUE(std::filesystem::exists(dir.File("data/Orvanta/ScanLog/1")));
  CliRun asked = Cli(dir, list);
  EXPECT_EQ(asked.status, 1);
  EXPECT_NE(asked.out.find("--continue or --restart"), std::string::npos) << asked.out;
  EXPECT_EQ(asked.out.find("scanning"), std::string::npos) << "nothing is scanned without an answer";
  EXPECT_EQ(Cli(dir, list + " --continue --restart").status, 1);

  CliRun continued = Cli(dir, list + " --continue");
  EXPECT_EQ(continued.status, 0) << continued.out;
  EXPECT_EQ(photosListed(continued.out), 1u) << "the earlier logs are read again\n" << continued.out;
  EXPECT_FALSE(std::filesystem::exists(dir.File("data/Orvanta/ScanLog/2"))) << "the same log folder";

  CliRun restarted = Cli(dir, list + " --restart");
  EXPECT_EQ(restarted.status, 0) << restarted.out;
  EXPECT_EQ(photosListed(restarted.out), 1u) << restarted.out;
  EXPECT_FALSE(std::filesystem::exists(dir.File("data/Orvanta/ScanLog/1"))) << "the old folder is gone";
  EXPECT_TRUE(std::filesystem::exists(dir.File("data/Orvanta/ScanLog/2")));

  CliRun fast = Cli(dir, "recover --fast " + ShellQuote(card.image()) + " --list");
  EXPECT_EQ(fast.status, 0) << "a fast scan never asks";
}

}  // namespace
}  // namespace velmira
