// velmira-cli as a reference for its users: help for each command, the
// progress line's rate, the exit statuses, the --json outputs and the
// recovery report (JSON and DFXML) checked against the recovered files and
// the source they came from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/progress_line.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/cli_run.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/sha256.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

using testing::CliRun;

// Runs velmira-cli with its scan logs under `dir`, stdin closed and stderr
// caught apart (not a terminal).
CliRun Cli(const testing::TempDir& dir, const std::string& args) {
  return testing::RunCli(args, {.dataHome = dir.File("data")});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t CountLinesWith(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (const std::string& line : Lines(text))
    if (line.find(part) != std::string::npos) ++n;
  return n;
}

// ---- help ------------------------------------------------------------------

// Every command velmira-cli --help lists answers COMMAND --help (and -h)
// with its own synopsis, each option the synopsis names, and the exit codes.
TEST(CliReference, EveryCommandHasItsOwnHelp) {
  testing::TempDir dir;
  const CliRun all = Cli(dir, "--help");
  ASSERT_EQ(all.status, 0);
  std::vector<std::string> synopses;
  bool inCommands = false;
  for (const std::string& line : Lines(all.out)) {
    if (line == "Commands:")
      inCommands = true;
    else if (line.empty())
      inCommands = false;
    else if (inCommands && line.rfind("  ", 0) == 0 && line[2] != ' ')
      synopses.push_back(line.substr(2));
  }
  ASSERT_GE(synopses.size(), 6u) << all.out;
  for (const std::string& synopsis : synopses) {
    const std::string name = synopsis.substr(0, synopsis.find(' '));
    for (const char* flag : {"--help", "-h"}) {
      const CliRun help = Cli(dir, name + " " + flag);
      EXPECT_EQ(help.status, 0) << name << " " << flag << "\n" << help.err;
      EXPECT_EQ(help.out.rfind("Usage: velmira-cli", 0), 0u) << name;
      EXPECT_NE(help.out.find(synopsis + "\n"), std::string::npos) << name << " shows its synopsis\n"
                                                                   << help.out;
      for (const std::regex option("--[a-z-]+");
           const auto& m : std::vector<std::smatch>(
               std::sregex_iterator(synopsis.begin(), synopsis.end(), option), std::sregex_iterator()))
        EXPECT_NE(help.out.find("\n  " + m.str()), std::string::npos) << name << " lists " << m.str();
      for (int code = 0; code <= 6; ++code)
        EXPECT_NE(help.out.find("\n  " + std::to_string(code) + "  "), std::string::npos)
            << name << " exit " << code;
    }
  }
}

// ---- progress --------------------------------------------------------------

// Into a file the line comes at most every interval, the first at once; on a
// terminal it is rewritten in place; quiet writes nothing.
TEST(CliReference, ProgressLineRateFollowsTheMode) {
  struct Case {
    cli::ProgressLine::Mode mode;
    unsigned expectedLines;
    size_t expectedNewlines;
  };
  // 2400 reports, one every 0.125 s of a fake clock: 300 s.
  const Case cases[] = {
      {cli::ProgressLine::Mode::kLog, 31, 31},        // one per 10 s, and the last state at the end
      {cli::ProgressLine::Mode::kTerminal, 1200, 0},  // at most every 0.2 s, never a new line
      {cli::ProgressLine::Mode::kQuiet, 0, 0},
  };
  for (const Case& c : cases) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    double now = 1000;
    cli::ProgressLine line(out, c.mode, 10.0, [&] { return now; });
    for (int i = 0; i < 2400; ++i, now += 0.125) line.Show("deep scan: " + std::to_string(i / 24) + "%");
    line.End();
    EXPECT_EQ(line.LinesWritten(), c.expectedLines);
    std::fflush(out);
    std::rewind(out);
    std::string text;
    for (int ch; (ch = std::fgetc(out)) != EOF;) text += static_cast<char>(ch);
    std::fclose(out);
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), c.expectedNewlines);
    if (c.mode == cli::ProgressLine::Mode::kLog) {
      EXPECT_EQ(text.rfind("deep scan: 0%\n", 0), 0u) << "the first at once";
      EXPECT_EQ(text.substr(text.size() - 15), "deep scan: 99%\n") << "the last at the end";
    }
  }
  EXPECT_EQ(cli::RateText(0, 100, 5), "");
  EXPECT_EQ(cli::RateText(10u << 20, 40u << 20, 2), "5.0 MiB/s, 6 s left");
  EXPECT_EQ(cli::RateText(1u << 20, 1201u << 20, 1), "1.0 MiB/s, 20 min 0 s left");
}

// The commands themselves, with stderr a file: the image copy writes a line
// or two rather than one per percent, recover shows its stage and count, and
// --quiet shows nothing.
TEST(CliReference, ProgressIntoAFileIsRare) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("a.jpg", testing::JpegPicture(30000, 1)));
  ASSERT_TRUE(card.Delete("a.jpg"));
  const testing::TempDir& dir = card.dir();

  const CliRun image = Cli(dir, "image " + ShellQuote(card.image()) + " " + ShellQuote(dir.File("copy.img")));
  ASSERT_EQ(image.status, 0) << image.err;
  EXPECT_GE(CountLinesWith(image.err, "copying:"), 1u) << image.err;
  EXPECT_LE(CountLinesWith(image.err, "copying:"), 2u) << image.err;
  EXPECT_EQ(image.err.find('\r'), std::string::npos);

  const CliRun shown =
      Cli(dir, "recover --fast " + ShellQuote(card.image()) + " --to " + ShellQuote(dir.File("o1")));
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_TRUE(std::regex_search(shown.err, std::regex("fast scan: [0-9]+%.*, [0-9]+ files? found\n")))
      << shown.err;
  EXPECT_LE(CountLinesWith(shown.err, "scan: "), 2u) << shown.err;

  const CliRun quiet =
      Cli(dir, "recover --fast --quiet " + ShellQuote(card.image()) + " --to " + ShellQuote(dir.File("o2")));
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err.find("scan: "), std::string::npos) << quiet.err;
  EXPECT_EQ(quiet.err.find("recovering: "), std::string::npos) << quiet.err;
  const CliRun quietImage =
      Cli(dir, "image --quiet --force " + ShellQuote(card.image()) + " " + ShellQuote(dir.File("copy.img")));
  EXPECT_EQ(quietImage.status, 0) << quietImage.err;
  EXPECT_EQ(quietImage.err.find("copying:"), std::string::npos) << quietImage.err;
}

// ---- exit statuses and --json ----------------------------------------------

TEST(CliReference, ExitStatusesAndJsonPerCase) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::FatCard card(16, 20);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("Notes.txt", {'h', 'i'}));
  ASSERT_TRUE(card.Delete("Notes.txt"));
  const testing::TempDir& dir = card.dir();
  testing::WriteFileBytes(dir.File("small.img"), std::vector<uint8_t>(4096, 0));
  std::filesystem::create_directories(dir.File("blocked"));
  const std::string img = ShellQuote(card.image());
  struct Case {
    std::string args;
    int status;
    const char* says;  // on stderr
  };
  const Case cases[] = {
      {"probe " + img, 0, ""},
      {"frobnicate", 1, "unknown command"},
      {"recover " + img + " --bogus", 1, "unknown option"},
      {"probe " + img + " --bogus", 1, "unknown option"},
      {"log --bogus " + ShellQuote(dir.File("data")), 1, "unknown option"},
      {"recover " + img + " --list --report x.json", 1, "--report"},
      {"probe " + ShellQuote(dir.File("missing.img")), 2, "cannot open"},
      {"recover " + ShellQuote(dir.File("small.img")) + " --fast --list", 3, "too small"},
      {"probe " + ShellQuote(dir.File("small.img")), 3, "too small"},
      // The files are recovered, but their report cannot be written.
      {"recover --fast " + img + " --to " + ShellQuote(dir.File("out")) + " --report " +
           ShellQuote(dir.File("blocked/no/such/folder/r.json")),
       4, "cannot write the report"},
  };
  for (const Case& c : cases) {
    const CliRun run = Cli(dir, c.args);
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << "\n" << run.err;
  }
  EXPECT_TRUE(std::filesystem::exists(dir.File("out/document/Notes.txt")));

  const CliRun probe = Cli(dir, "probe " + img + " --json");
  EXPECT_EQ(probe.status, 0);
  EXPECT_TRUE(std::regex_match(
      probe.out, std::regex("\\{\"source\":\".*\",\"drive\":null,\"start\":0,\"bytes\":20971520,"
                            "\"size\":\".*\",\"sectorSize\":512,\"sectors\":40960,"
                            "\"fileSystem\":\"FAT\".*\\}\n")))
      << probe.out;
  const CliRun log = Cli(dir, "log " + ShellQuote(dir.File("data/Orvanta/ScanLog/0")) + " --json");
  EXPECT_EQ(log.status, 0) << log.err;
  EXPECT_TRUE(std::regex_search(
      log.out, std::regex("^\\{\"folder\":\".*\",\"logs\":\\[\n\\{\"name\":\"Fast_0_[^\"]*\","
                          "\"records\":1,\"keys\":\\[.*\\],\"folders\":\\[.*\\]\\}")))
      << log.out;
  EXPECT_EQ(log.out.substr(log.out.size() - 4), "\n]}\n");
}

// A report is a write like any other: never onto the medium being read.
TEST(CliReference, AReportOnTheSourceIsRefusedBeforeTheScan) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (a loop mount)";
  testing::TempDir dir;
  const std::string image = dir.File("ext.img");
  if (!testing::MakeExtImage(image, 16)) GTEST_SKIP() << "mke2fs is not installed";
  std::filesystem::create_directories(dir.File("mnt"));
  if (!testing::RunQuiet("mount -o loop " + ShellQuote(image) + " " + ShellQuote(dir.File("mnt"))))
    GTEST_SKIP() << "the ext4 image cannot be mounted here";
  for (const char* option : {"--report", "--dfxml"}) {
    const CliRun run =
        Cli(dir, "recover --fast " + ShellQuote(image) + " --to " + ShellQuote(dir.File("out")) + " " +
                     option + " " + ShellQuote(dir.File("mnt/report")));
    EXPECT_EQ(run.status, 1) << option << "\n" << run.err;
    EXPECT_NE(run.err.find(std::string("refusing ") + option), std::string::npos) << run.err;
  }
  EXPECT_TRUE(testing::RunQuiet("umount -l " + ShellQuote(dir.File("mnt"))));
  EXPECT_FALSE(std::filesystem::exists(dir.File("out/velmira-report.json"))) << "refused before the scan";
}

// ---- the recovery report ---------------------------------------------------

struct ReportedFile {
  std::string written;
  std::string sha256;
  std::string foundBy;
  std::string status;
  bool complete = false;
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // offset, length
};

// The file entries of velmira-report.json, one per line as it is written.
std::vector<ReportedFile> ReadReport(const std::string& path) {
  const std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
  const std::string text(bytes.begin(), bytes.end());
  std::vector<ReportedFile> files;
  const std::regex written("\"written\": \"([^\"]*)\""), sha("\"sha256\": \"([0-9a-f]{64})\""),
      foundBy("\"foundBy\": \"([a-z]+)\""), status("\"status\": \"([a-z ]+)\""),
      runs("\"byteRuns\": \\[([^\\]]*)\\]"), run("\\{\"offset\": ([0-9]+), \"length\": ([0-9]+)\\}");
  for (const std::string& line : Lines(text)) {
    if (line.rfind("    {", 0) != 0) continue;
    ReportedFile f;
    std::smatch m;
    if (std::regex_search(line, m, written)) f.written = m[1];
    if (std::regex_search(line, m, sha)) f.sha256 = m[1];
    if (std::regex_search(line, m, foundBy)) f.foundBy = m[1];
    if (std::regex_search(line, m, status)) f.status = m[1];
    f.complete = line.find("\"byteRunsComplete\": true") != std::string::npos;
    if (std::regex_search(line, m, runs)) {
      const std::string list = m[1];
      for (auto it = std::sregex_iterator(list.begin(), list.end(), run); it != std::sregex_iterator(); ++it)
        f.runs.emplace_back(std::stoull((*it)[1]), std::stoull((*it)[2]));
    }
    files.push_back(f);
  }
  return files;
}

// Each recovered file's digest is that of the file as it stands, and its
// byte runs read from the source give back exactly its bytes. Returns the
// number of files whose runs were checked.
size_t ExpectReportMatches(const std::vector<ReportedFile>& files, const std::string& source) {
  const std::vector<uint8_t> image = testing::ReadFileBytes(source);
  size_t checked = 0;
  for (const ReportedFile& f : files) {
    SCOPED_TRACE(f.written);
    EXPECT_EQ(f.status, "recovered");
    const std::vector<uint8_t> data = testing::ReadFileBytes(f.written);
    EXPECT_EQ(f.sha256, testing::Sha256Hex(data.data(), data.size()));
    if (!f.complete) continue;
    std::vector<uint8_t> fromRuns;
    for (const auto& [offset, length] : f.runs) {
      if (offset + length > image.size()) {
        ADD_FAILURE() << "run " << offset << "+" << length << " past the end of the source";
        break;
      }
      fromRuns.insert(fromRuns.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                      image.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
    EXPECT_EQ(fromRuns, data);
    ++checked;
  }
  return checked;
}

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// A FAT card whose deleted files are recovered by the fast scan, then by the
// deep scan after a quick format (carved photos): the report's digests and
// byte runs match the files, a file split in two pieces has two runs, and
// the DFXML is well-formed and says the same in DFXML's element names.
TEST(CliReference, ReportHashesAndByteRunsMatchTheRecoveredFiles) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::FatCard card(16, 20, "-s 1");  // FAT16: mtools fills the first free clusters first
  ASSERT_TRUE(card.ok());
  // The .bin file is written into the gap a.txt leaves and past c.jpg: two
  // pieces, which the fast scan finds again around the clusters c.jpg holds.
  ASSERT_TRUE(card.Put("a.txt", testing::CardContent(3000, 1)));
  ASSERT_TRUE(card.Put("c.jpg", testing::JpegPicture(20000, 2)));
  ASSERT_TRUE(card.Delete("a.txt"));
  ASSERT_TRUE(card.Put("R&D 'b'.bin", testing::CardContent(9000, 3)));
  ASSERT_TRUE(card.Put("d.jpg", testing::JpegPicture(40000, 4)));
  ASSERT_TRUE(card.Delete("R&D 'b'.bin"));
  ASSERT_TRUE(card.Delete("d.jpg"));
  const testing::TempDir& dir = card.dir();

  const CliRun fast =
      Cli(dir, "recover --fast " + ShellQuote(card.image()) + " --to " + ShellQuote(dir.File("fast")) +
                   " --dfxml " + ShellQuote(dir.File("fast.xml")));
  ASSERT_EQ(fast.status, 0) << fast.err;
  const std::vector<ReportedFile> fastFiles = ReadReport(dir.File("fast/velmira-report.json"));
  ASSERT_GE(fastFiles.size(), 2u) << ReadText(dir.File("fast/velmira-report.json"));
  EXPECT_EQ(ExpectReportMatches(fastFiles, card.image()), fastFiles.size());
  std::set<std::string> how;
  size_t pieces = 0;
  for (const ReportedFile& f : fastFiles) {
    how.insert(f.foundBy);
    pieces = std::max(pieces, f.runs.size());
  }
  EXPECT_EQ(how, std::set<std::string>{"fast"});
  EXPECT_EQ(pieces, 2u) << "the .bin file in two pieces";

  // The DFXML: well-formed, one fileobject per file, DFXML's names.
  if (testing::ToolAvailable("xmllint")) {
    int status = -1;
    const std::string lint =
        testing::RunCapture("xmllint --noout " + ShellQuote(dir.File("fast.xml")) + " 2>&1", status);
    EXPECT_EQ(status, 0) << lint;
    const std::string count = testing::RunCapture(
        "xmllint --xpath \"count(//*[local-name()='fileobject'])\" " + ShellQuote(dir.File("fast.xml")),
        status);
    EXPECT_EQ(count, std::to_string(fastFiles.size()) + "\n");
  }
  const std::string xml = ReadText(dir.File("fast.xml"));
  for (const char* element :
       {"<dfxml ", "<creator ", "<source>", "<fileobject>", "<filename>", "<filesize>", "<byte_runs>",
        "<byte_run ", " img_offset=\"", " len=\"", "<hashdigest type=\"sha256\">"})
    EXPECT_NE(xml.find(element), std::string::npos) << element;
  for (const ReportedFile& f : fastFiles)
    EXPECT_NE(xml.find(">" + f.sha256 + "</hashdigest>"), std::string::npos) << f.written;

  // Deleted files of a card formatted again come back carved: one run each.
  ASSERT_TRUE(card.Put("e.jpg", testing::JpegPicture(25000, 5)));
  ASSERT_TRUE(card.Reformat(16, "-s 1"));
  const CliRun deep =
      Cli(dir, "recover " + ShellQuote(card.image()) + " --to " + ShellQuote(dir.File("deep")) +
                   " --types jpg --report " + ShellQuote(dir.File("deep.json")));
  ASSERT_EQ(deep.status, 0) << deep.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("deep/velmira-report.json"))) << "--report puts it elsewhere";
  const std::vector<ReportedFile> deepFiles = ReadReport(dir.File("deep.json"));
  EXPECT_EQ(ExpectReportMatches(deepFiles, card.image()), deepFiles.size());
  size_t carved = 0;
  for (const ReportedFile& f : deepFiles)
    if (f.foundBy == "carved") {
      ++carved;
      EXPECT_EQ(f.runs.size(), 1u) << f.written;
    }
  EXPECT_GE(carved, 1u) << ReadText(dir.File("deep.json"));

  // A second recovery into the same folder keeps the first report.
  const CliRun again = Cli(
      dir, "recover --fast --quiet " + ShellQuote(card.image()) + " --to " + ShellQuote(dir.File("fast")));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(std::filesystem::exists(dir.File("fast/velmira-report(1).json"))) << again.err;
  EXPECT_EQ(ReadReport(dir.File("fast/velmira-report.json")).size(), fastFiles.size());
}

// NTFS: a fragmented file's runs, and a sparse file whose zeros lie nowhere
// on the source, marked as not complete.
TEST(CliReference, NtfsReportGivesClusterRunsAndMarksSparseFiles) {
  testing::NtfsDisk disk(16);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  disk.Put("photo.jpg", testing::JpegPicture(70000, 7));
  disk.PutSparse("holes.bin",
                 {{0, std::vector<uint8_t>(5000, 'a')}, {1 << 20, std::vector<uint8_t>(5000, 'b')}});
  disk.Remove("photo.jpg");
  disk.Remove("holes.bin");
  disk.Unmount();
  const testing::TempDir& dir = disk.dir();
  const CliRun run =
      Cli(dir, "recover --fast " + ShellQuote(disk.image()) + " --to " + ShellQuote(dir.File("out")));
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<ReportedFile> files = ReadReport(dir.File("out/velmira-report.json"));
  ASSERT_EQ(files.size(), 2u) << ReadText(dir.File("out/velmira-report.json"));
  EXPECT_EQ(ExpectReportMatches(files, disk.image()), 1u) << "photo.jpg";
  for (const ReportedFile& f : files) {
    const bool sparse = f.written.find("holes") != std::string::npos;
    EXPECT_EQ(f.complete, !sparse) << f.written;
    EXPECT_FALSE(f.runs.empty()) << f.written;
  }
}

}  // namespace
}  // namespace velmira
