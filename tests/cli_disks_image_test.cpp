#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

struct CliRun {
  int status;
  std::string out;
  std::string err;
};

// Runs velmira-cli in `cwd` so that relative drive paths give fixed output.
CliRun Cli(const std::string& cwd, const std::string& args, const std::string& drives) {
  testing::TempDir dir;
  CliRun r;
  r.out =
      testing::RunCapture("cd " + ShellQuote(cwd) + " && VELMIRA_DRIVES=" + ShellQuote(drives) + " " +
                              ShellQuote(VELMIRA_CLI_PATH) + " " + args + " 2>" + ShellQuote(dir.File("err")),
                          r.status);
  const auto err = testing::ReadFileBytes(dir.File("err"));
  r.err.assign(err.begin(), err.end());
  return r;
}

TEST(CliDisks, ListsDrivesRegionsAndHowToNameThem) {
  VELMIRA_REQUIRE_TOOL("sfdisk");
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  testing::TempDir dir;
  ASSERT_TRUE(testing::MakePartitionedImage(dir.File("card.img"), 64ull << 20,
                                            "label: dos\nstart=2048, size=32768, type=6\n"));
  ASSERT_TRUE(testing::FormatAt(dir.File("card.img"), 2048, 16, "fat16", "HOLIDAY"));
  testing::MakeBlankFile(dir.File("blank.img"), 4ull << 20);

  const CliRun r = Cli(dir.path(), "disks", "card.img:blank.img:gone.img");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Drive 0: card.img, 64.00 MB, 131072 sectors of 512 bytes\n"
            "  No.  Source              Size      Used  Free  File system    Device     Mounted on  Label\n"
            "  1    disk:0:2048:32768   16.00 MB  -     -     FAT            card.img   -           HOLIDAY\n"
            "  2    disk:0:34816:96256  47.00 MB  -     -     (unallocated)  card.img   -\n"
            "\n"
            "Drive 1: blank.img, 4.00 MB, 8192 sectors of 512 bytes\n"
            "  No.  Source              Size      Used  Free  File system    Device     Mounted on  Label\n"
            "  3    disk:1              4.00 MB   -     -     (whole drive)  blank.img  -\n"
            "\n"
            "Drive 2: gone.img - cannot be opened: The system cannot find the file specified. (error 2)\n");
  EXPECT_EQ(Cli(dir.path(), "disks extra", "card.img").status, 1);
}

class CliImage : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::WriteRandomFile(m_dir.File("card.img"), 1000 * 512, 3);
    m_data = testing::ReadFileBytes(m_dir.File("card.img"));
  }
  CliRun Run(const std::string& args) { return Cli(m_dir.path(), args, "card.img"); }
  testing::TempDir m_dir;
  std::vector<uint8_t> m_data;
};

TEST_F(CliImage, CopiesDrivesAndStretchesWithAProgressLine) {
  CliRun r = Run("image disk:0 out.img");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("out.img")), m_data);
  EXPECT_NE(r.err.find("copying: 100% (1000 / 1000 sectors)"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("copied 1000 sectors"), std::string::npos) << r.out;

  r = Run("image --force disk:0:10:100 out.img");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("out.img")),
            std::vector<uint8_t>(m_data.begin() + 10 * 512, m_data.begin() + 110 * 512));

  // A path names its source directly.
  r = Run("image card.img path.img");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("path.img")), m_data);
}

TEST_F(CliImage, RefusalsAreOneClearLine) {
  testing::WriteFileBytes(m_dir.File("old.img"), {1, 2, 3});
  struct Case {
    std::string args;
    int status;
    const char* words;
  };
  const Case cases[] = {
      {"image disk:0 old.img", 1, "exists; add --force"},
      {"image disk:0 card.img", 1, "is the source itself"},
      {"image --force disk:0 card.img", 1, "is the source itself"},
      {"image disk:0 .", 1, "not a regular file"},
      {"image disk:0:990:11 x.img", 1, "run past the end"},
      {"image disk:3 x.img", 2, "no such drive"},
      {"image missing.img x.img", 2, "cannot open"},
      {"image disk:0", 1, "SOURCE and an OUT"},
      {"image --fast disk:0 x.img", 1, "unknown option"},
  };
  for (const auto& c : cases) {
    const CliRun r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << c.args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(m_dir.File("x.img")));
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("old.img")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("card.img")), m_data);
}

TEST_F(CliImage, SourcesAreOpenedReadOnly) {
  VELMIRA_REQUIRE_TOOL("strace");
  for (const std::string command : {"disks", "image disk:0 copy.img"}) {
    int status = 0;
    const std::string trace = testing::RunCapture(
        "cd " + ShellQuote(m_dir.path()) + " && VELMIRA_DRIVES=card.img strace -f -e trace=open,openat " +
            ShellQuote(VELMIRA_CLI_PATH) + " " + command + " 2>&1 >/dev/null",
        status);
    if (trace.find("PTRACE") != std::string::npos ||
        trace.find("Operation not permitted") != std::string::npos)
      GTEST_SKIP() << "strace cannot trace here";
    size_t opens = 0;
    for (size_t pos = trace.find("\"card.img\""); pos != std::string::npos;
         pos = trace.find("\"card.img\"", pos + 1)) {
      const std::string rest = trace.substr(pos, trace.find('\n', pos) - pos);
      ++opens;
      EXPECT_NE(rest.find("O_RDONLY"), std::string::npos) << rest;
      EXPECT_EQ(rest.find("O_RDWR"), std::string::npos) << rest;
      EXPECT_EQ(rest.find("O_WRONLY"), std::string::npos) << rest;
    }
    EXPECT_GT(opens, 0u) << command << trace;
  }
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("copy.img")), m_data);
}

}  // namespace
}  // namespace velmira
