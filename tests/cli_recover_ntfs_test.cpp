// velmira-cli recover on NTFS sources, end to end through the factory: an
// image file, and the same volume as a partition of a disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fixtures/cli_run.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

using testing::CliRun;

CliRun Cli(const testing::TempDir& dir, const std::string& args, const std::string& env = "") {
  return testing::RunCli(args, {.dataHome = dir.File("data"), .env = env});
}

TEST(CliRecoverNtfs, ListsAndRecoversDeletedFilesFromAnImageAndAPartition) {
  testing::NtfsDisk disk(16);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  const std::vector<uint8_t> jfif = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 1, 2, 3};
  std::vector<uint8_t> big(150000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::copy(jfif.begin(), jfif.end(), big.begin());
  disk.Put("Camera/One/Same.jpg", jfif);
  disk.Put("Camera/Two/Same.jpg", big);
  disk.Put("Notes.txt", {'h', 'i'});
  disk.Put("Kept.txt", {'k'});
  disk.Remove("Camera");
  disk.Remove("Notes.txt");
  disk.Unmount();
  const testing::TempDir& dir = disk.dir();

  CliRun list = Cli(dir, "recover " + ShellQuote(disk.image()) + " --list --json");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("{\"path\":\"Camera/One/Same.jpg\",\"size\":14,"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("{\"path\":\"Camera/Two/Same.jpg\",\"size\":150000,"), std::string::npos);
  EXPECT_NE(list.out.find("{\"path\":\"Notes.txt\",\"size\":2,"), std::string::npos);
  EXPECT_EQ(list.out.find("Kept.txt"), std::string::npos) << "live files are not listed";

  CliRun rec =
      Cli(dir, "recover " + ShellQuote(disk.image()) + " --fast --to " + ShellQuote(dir.File("out")));
  EXPECT_EQ(rec.status, 0) << rec.out;
  EXPECT_EQ(testing::ReadFileBytes(dir.File("out/photo/Same.jpg")).size() +
                testing::ReadFileBytes(dir.File("out/photo/Same(1).jpg")).size(),
            jfif.size() + big.size());
  const auto a = testing::ReadFileBytes(dir.File("out/photo/Same.jpg"));
  EXPECT_TRUE(a == jfif || a == big);
  EXPECT_EQ(testing::ReadFileBytes(dir.File("out/document/Notes.txt")), (std::vector<uint8_t>{'h', 'i'}));

  // The same volume as the partition at sector 2048 of a disk.
  const std::string diskImage = dir.File("disk.img");
  ASSERT_TRUE(testing::MakePartitionedImage(diskImage, (16ull << 20) + (2 << 20),
                                            "label: dos\nstart=2048, size=32768, type=7\n"));
  ASSERT_TRUE(testing::RunQuiet("dd if=" + ShellQuote(disk.image()) + " of=" + ShellQuote(diskImage) +
                                " bs=1M seek=1 conv=notrunc status=none"));
  CliRun part =
      Cli(dir, "recover --fast disk:0:2048:32768 --list", "VELMIRA_DRIVES=" + ShellQuote(diskImage));
  EXPECT_EQ(part.status, 0);
  EXPECT_NE(part.out.find("Camera/Two/Same.jpg"), std::string::npos) << part.out;
  EXPECT_NE(part.out.find("Notes.txt"), std::string::npos);
  // The deep scan of the image above made log folder 1; fast scans log into the current folder.
  CliRun log = Cli(dir, "log " + ShellQuote(dir.File("data/Orvanta/ScanLog/1")));
  EXPECT_NE(log.out.find("Fast_2048_"), std::string::npos) << log.out;
}

}  // namespace
}  // namespace velmira
