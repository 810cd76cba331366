#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fixtures/cli_run.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

using testing::CliRun;

class CliRecover : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ToolAvailable("mcopy")) GTEST_SKIP() << "mtools is not installed";
    m_image = m_dir.File("card.img");
    ASSERT_TRUE(testing::MakeFatImage(m_image, 32, 40));
    const std::vector<uint8_t> jfif = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 1, 2, 3};
    testing::WriteFileBytes(m_dir.File("a.jpg"), jfif);
    testing::WriteFileBytes(m_dir.File("n.txt"), {'h', 'i'});
    ASSERT_TRUE(testing::Mtools(m_image, "mmd", "::/One ::/Two"));
    ASSERT_TRUE(testing::Mtools(m_image, "mcopy", ShellQuote(m_dir.File("a.jpg")) + " ::/One/Same.jpg"));
    ASSERT_TRUE(testing::Mtools(m_image, "mcopy", ShellQuote(m_dir.File("a.jpg")) + " ::/Two/Same.jpg"));
    ASSERT_TRUE(testing::Mtools(m_image, "mcopy", ShellQuote(m_dir.File("n.txt")) + " ::/Notes.txt"));
    ASSERT_TRUE(testing::Mtools(m_image, "mdel", "::/One/Same.jpg ::/Two/Same.jpg ::/Notes.txt"));
  }

  CliRun Cli(const std::string& args) { return testing::RunCli(args, {.dataHome = m_dir.File("data")}); }

  testing::TempDir m_dir;
  std::string m_image;
};

TEST_F(CliRecover, ListsWithoutWritingAndRecoversIntoCategoryFolders) {
  CliRun list = Cli("recover --fast " + ShellQuote(m_image) + " --list");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("One/Same.jpg"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("Two/Same.jpg"), std::string::npos);
  EXPECT_NE(list.out.find("Notes.txt"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(m_dir.File("out")));
  // A listing that cannot be written is no success.
  CliRun full = Cli("recover --fast " + ShellQuote(m_image) + " --list >/dev/full");
  EXPECT_EQ(full.status, 4) << full.err;
  EXPECT_NE(full.err.find("velmira-cli: cannot write the output"), std::string::npos) << full.err;

  CliRun json = Cli("recover --fast " + ShellQuote(m_image) + " --list --json --types JPG");
  EXPECT_NE(json.out.find("{\"path\":\"One/Same.jpg\",\"size\":14,"), std::string::npos) << json.out;
  EXPECT_EQ(json.out.find("Notes.txt"), std::string::npos) << "--types limits the listing";

  CliRun rec =
      Cli("recover --fast " + ShellQuote(m_image) + " --to " + ShellQuote(m_dir.File("out")) + " --json");
  EXPECT_EQ(rec.status, 0) << rec.out;
  for (const char* p : {"out/photo/Same.jpg", "out/photo/Same(1).jpg", "out/document/Notes.txt"})
    EXPECT_TRUE(std::filesystem::exists(m_dir.File(p))) << p << "\n" << rec.out;
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("out/document/Notes.txt")), (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_NE(rec.out.find("\"status\":\"Success\""), std::string::npos);

  // The scan's log folder can be looked into.
  const std::string logFolder = m_dir.File("data/Orvanta/ScanLog/0");
  CliRun log = Cli("log " + ShellQuote(logFolder));
  EXPECT_EQ(log.status, 0);
  EXPECT_NE(log.out.find("Fast_0_"), std::string::npos) << log.out;
  EXPECT_NE(log.out.find("folder"), std::string::npos);
  EXPECT_NE(log.out.find(": 5 records"), std::string::npos) << "three files and two folders per scan";
}

TEST_F(CliRecover, UsageErrors) {
  EXPECT_EQ(Cli("recover " + ShellQuote(m_image)).status, 1) << "--to or --list is needed";
  EXPECT_EQ(Cli("recover --to x").status, 1);
  EXPECT_EQ(Cli("recover " + ShellQuote(m_image) + " --bogus").status, 1);
  EXPECT_EQ(Cli("recover " + ShellQuote(m_dir.File("missing.img")) + " --list").status, 2);
  EXPECT_EQ(Cli("log " + ShellQuote(m_dir.File("nowhere"))).status, 2);
}

}  // namespace
}  // namespace velmira
