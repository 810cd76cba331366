#include <gtest/gtest.h>

#include "tests/fixtures/cli_run.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

using testing::CliRun;

CliRun Cli(const std::string& args, const std::string& env = "") {
  return testing::RunCli(args, {.env = env});
}

TEST(CliProbe, NamesTheFileSystemOfRealImages) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  testing::TempDir dir;
  ASSERT_TRUE(testing::MakeFatImage(dir.File("fat32.img"), 32, 40));
  CliRun r = Cli("probe " + ShellQuote(dir.File("fat32.img")));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("file system:  FAT\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sector size:  512\n"), std::string::npos);
  EXPECT_NE(r.out.find("sectors:      81920\n"), std::string::npos);

  if (testing::ToolAvailable("mkntfs")) {
    ASSERT_TRUE(testing::MakeNtfsImage(dir.File("ntfs.img"), 8));
    EXPECT_NE(Cli("probe " + ShellQuote(dir.File("ntfs.img"))).out.find("file system:  NTFS\n"),
              std::string::npos);
  }
  if (testing::ToolAvailable("mke2fs")) {
    ASSERT_TRUE(testing::MakeExtImage(dir.File("ext.img"), 8));
    EXPECT_NE(Cli("probe " + ShellQuote(dir.File("ext.img"))).out.find("file system:  ext\n"),
              std::string::npos);
  }
  testing::WriteRandomFile(dir.File("random.img"), 1 << 20);
  r = Cli("probe " + ShellQuote(dir.File("random.img")));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("file system:  other\n"), std::string::npos);

  // The same image reached as a drive, and a partition range of it.
  r = Cli("probe disk:0", "VELMIRA_DRIVES=" + ShellQuote(dir.File("fat32.img")));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("file system:  FAT\n"), std::string::npos);
  r = Cli("probe disk:0:2048:4096", "VELMIRA_DRIVES=" + ShellQuote(dir.File("fat32.img")));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("file system:  other\n"), std::string::npos);
  EXPECT_NE(r.out.find("sectors:      4096\n"), std::string::npos);
}

TEST(CliProbe, BadSourcesGiveOneLineAndADocumentedCode) {
  testing::TempDir dir;
  testing::WriteRandomFile(dir.File("small.img"), 10 * 1024);
  struct Case {
    std::string args;
    int status;
    const char* words;
  };
  const Case cases[] = {
      {"probe " + ShellQuote(dir.File("missing.img")), 2, "cannot find the file"},
      {"probe " + ShellQuote(dir.path()), 2, "is a folder"},
      {"probe " + ShellQuote(dir.File("small.img")), 3, "too small"},
      {"probe disk:99", 2, "cannot open disk 99"},
      {"probe disk:x", 1, "disk:N"},
      {"probe", 1, "exactly one SOURCE"},
      {"frobnicate", 1, "unknown command"},
  };
  for (const auto& c : cases) {
    CliRun r = Cli(c.args, "VELMIRA_DRIVES=" + ShellQuote(dir.File("small.img")));
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << c.args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(CliProbe, HelpAndVersion) {
  CliRun r = Cli("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Exit codes:"), std::string::npos);
  EXPECT_NE(r.out.find("VELMIRA_DRIVES"), std::string::npos);
  r = Cli("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("velmira-cli ", 0), 0u);
}

TEST(CliProbe, SourceIsOpenedReadOnly) {
  VELMIRA_REQUIRE_TOOL("strace");
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  testing::TempDir dir;
  ASSERT_TRUE(testing::MakeFatImage(dir.File("ro.img"), 16, 20));
  int status = 0;
  const std::string trace =
      testing::RunCapture("strace -f -e trace=open,openat " + ShellQuote(VELMIRA_CLI_PATH) + " probe " +
                              ShellQuote(dir.File("ro.img")) + " 2>&1 >/dev/null",
                          status);
  if (trace.find("PTRACE") != std::string::npos || trace.find("Operation not permitted") != std::string::npos)
    GTEST_SKIP() << "strace cannot trace here";
  size_t opens = 0;
  for (size_t pos = trace.find("ro.img"); pos != std::string::npos; pos = trace.find("ro.img", pos + 1)) {
    const size_t lineEnd = trace.find('\n', pos);
    const std::string rest = trace.substr(pos, lineEnd - pos);
    if (rest.find("O_") == std::string::npos) continue;
    ++opens;
    EXPECT_NE(rest.find("O_RDONLY"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("O_RDWR"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("O_WRONLY"), std::string::npos) << rest;
  }
  EXPECT_GT(opens, 0u) << trace;
}

}  // namespace
}  // namespace velmira
