// What recover hands back: which files it takes by default, each file once,
// its path, its times and whether its content can be trusted.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using testing::ShellQuote;

struct CliRun {
  int status = 0;
  std::string out;
};

CliRun Cli(const testing::TempDir& dir, const std::string& args) {
  CliRun r;
  r.out = testing::RunCapture("XDG_DATA_HOME=" + ShellQuote(dir.File("data")) + " " + ShellQuote(VELMIRA_CLI_PATH) +
                                  " " + args + " 2>&1",
                              r.status);
  return r;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------------------
// Which files recover takes.

class RecoverSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ToolAvailable("mcopy")) GTEST_SKIP() << "mtools is not installed";
    ASSERT_TRUE(m_card.ok());
    ASSERT_TRUE(m_card.Mkdir("DATA"));
    ASSERT_TRUE(m_card.Put("DATA/frag_a.bin", testing::CardContent(3000, 1)));
    ASSERT_TRUE(m_card.Put("DATA/pic.jpg", testing::CardContent(3000, 2, true)));
    ASSERT_TRUE(m_card.Delete("DATA/frag_a.bin"));
    ASSERT_TRUE(m_card.Delete("DATA/pic.jpg"));
  }
  CliRun List(const std::string& extra) {
    return Cli(m_card.dir(), "recover --fast " + ShellQuote(m_card.image()) + " --list " + extra);
  }
  testing::FatCard m_card{16, 16};
};

TEST_F(RecoverSelection, EveryFileByDefaultAndCategoriesOrExtensionsByTypes) {
  const CliRun all = List("");
  EXPECT_EQ(all.status, 0) << all.out;
  EXPECT_TRUE(Has(all.out, "rag_a.bin")) << "a file of no category is recovered by default\n" << all.out;
  EXPECT_TRUE(Has(all.out, "ic.jpg")) << all.out;

  const CliRun others = List("--types others");
  EXPECT_TRUE(Has(others.out, "rag_a.bin")) << others.out;
  EXPECT_FALSE(Has(others.out, "ic.jpg")) << others.out;

  const CliRun photo = List("--types Photo");
  EXPECT_TRUE(Has(photo.out, "ic.jpg")) << photo.out;
  EXPECT_FALSE(Has(photo.out, "rag_a.bin")) << photo.out;

  const CliRun mixed = List("--types others,.JPG");
  EXPECT_TRUE(Has(mixed.out, "ic.jpg")) << mixed.out;
  EXPECT_TRUE(Has(mixed.out, "rag_a.bin")) << mixed.out;

  const CliRun bin = List("--types bin");
  EXPECT_TRUE(Has(bin.out, "rag_a.bin")) << bin.out;
  EXPECT_FALSE(Has(bin.out, "ic.jpg")) << bin.out;

  const CliRun rec = Cli(m_card.dir(), "recover --fast " + ShellQuote(m_card.image()) + " --to " +
                                           ShellQuote(m_card.dir().File("out")));
  EXPECT_EQ(rec.status, 0) << rec.out;
  EXPECT_EQ(testing::ReadFileBytes(m_card.dir().File("out/others/!rag_a.bin")), m_card.Original("DATA/frag_a.bin"));
}


// ---------------------------------------------------------------------------
// Each file once.

TEST(RecoverRepeats, FileFoundByFastAndDeepFatPassIsListedOnceWithItsPath) {
  if (!testing::ToolAvailable("mcopy")) GTEST_SKIP() << "mtools is not installed";
  testing::FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Mkdir("DIR1"));
  ASSERT_TRUE(card.Mkdir("DIR1/SUB"));
  ASSERT_TRUE(card.Put("DIR1/SUB/DEEP.JPG", testing::CardContent(5000, 3, true)));
  ASSERT_TRUE(card.DeleteTree("DIR1"));
  const CliRun list = Cli(card.dir(), "recover " + ShellQuote(card.image()) + " --list");
  EXPECT_EQ(list.status, 0) << list.out;
  size_t count = 0;
  for (size_t at = list.out.find("eep.jpg"); at != std::string::npos; at = list.out.find("eep.jpg", at + 1)) ++count;
  EXPECT_EQ(count, 1u) << list.out;
  EXPECT_TRUE(Has(list.out, "!ir1/!ub/!eep.jpg")) << "the copy with the real path is kept\n" << list.out;
}

}  // namespace
}  // namespace velmira
