#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/fixtures/cli_run.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

using testing::CliRun;

// Runs velmira-cli in `cwd` so that relative drive paths give fixed output.
CliRun Cli(const std::string& cwd, const std::string& args, const std::string& drives) {
  return testing::RunCli(
      args, {.dataHome = cwd + "/data", .cwd = cwd, .env = "VELMIRA_DRIVES=" + ShellQuote(drives)});
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
            "  No.  Device     Start  Length      Size  File system    Label    Mounted on  Removable\n"
            "    1  card.img    2048   32768  16.00 MB  FAT            HOLIDAY  -           no\n"
            "    2  card.img   34816   96256  47.00 MB  (unallocated)  -        -           no\n"
            "\n"
            "Drive 1: blank.img, 4.00 MB, 8192 sectors of 512 bytes\n"
            "  No.  Device     Start  Length      Size  File system    Label    Mounted on  Removable\n"
            "    3  blank.img      0    8192   4.00 MB  (whole drive)  -        -           no\n"
            "\n"
            "Drive 2: gone.img - cannot be opened: The system cannot find the file specified. (error 2)\n");
  EXPECT_EQ(Cli(dir.path(), "disks extra", "card.img").status, 1);

  // The same as JSON, and --drive in place of VELMIRA_DRIVES, in every spelling.
  const CliRun json = Cli(dir.path(), "disks --json --drive card.img --drive=gone.img", "blank.img");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out,
            "{\"drives\":[\n"
            "{\"drive\":0,\"path\":\"card.img\",\"bytes\":67108864,\"size\":\"64.00 MB\",\"sectorSize\":512,"
            "\"sectors\":131072,\"removable\":false,\"regions\":["
            "{\"number\":1,\"kind\":\"volume\",\"device\":\"card.img\",\"start\":2048,\"length\":32768,"
            "\"bytes\":16777216,\"size\":\"16.00 MB\",\"fileSystem\":\"FAT\",\"label\":\"HOLIDAY\","
            "\"mountPoint\":null,\"removable\":false,\"partition\":1,\"usedBytes\":null,\"freeBytes\":null},"
            "{\"number\":2,\"kind\":\"unallocated\",\"device\":\"card.img\",\"start\":34816,\"length\":96256,"
            "\"bytes\":49283072,\"size\":\"47.00 MB\",\"fileSystem\":\"\",\"label\":\"\",\"mountPoint\":null,"
            "\"removable\":false,\"partition\":null,\"usedBytes\":null,\"freeBytes\":null}]},\n"
            "{\"drive\":1,\"path\":\"gone.img\",\"error\":2,"
            "\"message\":\"The system cannot find the file specified.\",\"removable\":false,\"regions\":[]}\n"
            "]}\n");
  EXPECT_EQ(Cli(dir.path(), "--drive blank.img disks", "card.img").out.find("Drive 0: blank.img"), 0u);
  for (const std::string bad : {"disks --drive", "disks --drive=", "disks --drive a:b"}) {
    const CliRun r2 = Cli(dir.path(), bad, "card.img");
    EXPECT_EQ(r2.status, 1) << bad;
    EXPECT_NE(r2.err.find("--drive needs a PATH"), std::string::npos) << r2.err;
  }
  int status = 0;
  const std::string help = testing::RunCapture(ShellQuote(VELMIRA_CLI_PATH) + " --help", status);
  EXPECT_NE(help.find("--drive PATH"), std::string::npos);
  EXPECT_NE(help.find("disks [--json]"), std::string::npos);
}

// A card with two FAT volumes and free space after them, reached through
// --drive: every command takes a region's number from `disks` as SOURCE.
TEST(CliRegions, NumbersFromTheDiskListNameSources) {
  VELMIRA_REQUIRE_TOOL("sfdisk");
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::TempDir dir;
  const std::string card = dir.File("card.img");
  ASSERT_TRUE(testing::MakePartitionedImage(card, 48ull << 20,
                                            "label: dos\n"
                                            "start=2048, size=32768, type=6\n"
                                            "start=40960, size=32768, type=6\n"));
  ASSERT_TRUE(testing::FormatAt(card, 2048, 16, "fat16", "ONE"));
  ASSERT_TRUE(testing::FormatAt(card, 40960, 16, "fat16", "TWO"));
  testing::WriteRandomFile(dir.File("report.doc"), 70000, 9);
  const std::string second = card + "@@" + std::to_string(40960 * 512);
  ASSERT_TRUE(testing::Mtools(second, "mcopy", ShellQuote(dir.File("report.doc")) + " ::/REPORT.DOC"));
  ASSERT_TRUE(testing::Mtools(second, "mdel", "::/REPORT.DOC"));
  const auto whole = testing::ReadFileBytes(card);
  auto sectors = [&](size_t start, size_t count) {
    return std::vector<uint8_t>(whole.begin() + static_cast<long>(start * 512),
                                whole.begin() + static_cast<long>((start + count) * 512));
  };
  auto run = [&](const std::string& args) { return Cli(dir.path(), "--drive card.img " + args, ""); };

  CliRun r = run("disks");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("    2  card.img  40960   32768  16.00 MB  FAT            TWO"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("    3  card.img  73728   24576  12.00 MB  (unallocated)"), std::string::npos)
      << r.out;

  r = run("probe 2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("source:       region 2\ndrive:        disk 0\nstart sector: 40960\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("sectors:      32768\nfile system:  FAT\n"), std::string::npos) << r.out;

  // A volume and the unallocated space after it are copied exactly.
  r = run("image 2 two.img");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("copying: 100% (32768 / 32768 sectors)"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("copied 32768 sectors (16.00 MB) of region 2 to two.img"), std::string::npos) << r.out;
  EXPECT_EQ(testing::ReadFileBytes(dir.File("two.img")), sectors(40960, 32768));
  r = run("image 3 free.img");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::ReadFileBytes(dir.File("free.img")), sectors(73728, 24576));

  // recover scans region 2 and its records carry key 2, which finds the engine.
  r = run("recover 2 --to out --types doc");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::ReadFileBytes(dir.File("out/document/!eport.doc")),
            testing::ReadFileBytes(dir.File("report.doc")));
  EXPECT_NE(r.err.find("1 of 1 files recovered"), std::string::npos) << r.err;

  for (const std::string args : {"probe 9", "image 9 x.img", "recover 9 --list", "probe 0"}) {
    r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("there is no region"), std::string::npos) << args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.img")));
  // A file of that name is taken as a path.
  testing::WriteRandomFile(dir.File("2"), 64 * 1024, 4);
  r = run("probe 2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("source:       2\n"), std::string::npos) << r.out;
  EXPECT_EQ(testing::ReadFileBytes(card), whole) << "the source is untouched";
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
  // A sparse drive of 15 TiB needs more room than the test's folder has.
  std::error_code ec;
  std::ofstream(m_dir.File("huge.img")).close();
  std::filesystem::resize_file(m_dir.File("huge.img"), 15ull << 40, ec);
  if (!ec) {
    const CliRun r = Cli(m_dir.path(), "image --drive huge.img disk:0 x.img", "");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("not enough free space for the image (15.00 TB)"), std::string::npos) << r.err;
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
