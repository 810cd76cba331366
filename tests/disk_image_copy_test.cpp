#include "storage/disk_image_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/errors.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::TempDir;

class DrivesEnv {
 public:
  explicit DrivesEnv(const std::string& paths) { ::setenv("VELMIRA_DRIVES", paths.c_str(), 1); }
  ~DrivesEnv() { ::unsetenv("VELMIRA_DRIVES"); }
};

// Every report, and an answer to give at one of them.
struct Recorder {
  struct Call {
    int32_t percent;
    uint64_t done, total;
    int32_t secondsLeft;
  };
  std::vector<Call> calls;
  size_t answerAt = SIZE_MAX;  // 0-based call that answers `answer`
  int32_t answer = 0;

  static int32_t Report(void* self, int32_t percent, uint64_t done, uint64_t total, int32_t secondsLeft) {
    auto* r = static_cast<Recorder*>(self);
    r->calls.push_back({percent, done, total, secondsLeft});
    return r->calls.size() - 1 == r->answerAt ? r->answer : 0;
  }
};

// One second passes between two looks at the clock.
uint64_t g_fakeNow = 0;
uint64_t SteppingClock() {
  return g_fakeNow += 1000;
}

// A device that serves `data` in pieces of at most `piece` bytes and fails
// every read at or after `failAt`.
class FailingDevice : public ByteReader {
 public:
  FailingDevice(std::vector<uint8_t> data, size_t piece, size_t failAt)
      : m_data(std::move(data)), m_piece(piece), m_failAt(failAt) {}
  int32_t ReadAt(void* buffer, size_t size, uint64_t offset, size_t& done) override {
    done = 0;
    if (offset >= m_failAt) return kErrReadFault;
    const size_t n = std::min({size, m_piece, m_failAt - offset, m_data.size() - offset});
    std::memcpy(buffer, m_data.data() + offset, n);
    done = n;
    return kOk;
  }

 private:
  std::vector<uint8_t> m_data;
  size_t m_piece, m_failAt;
};

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t n) {
  return std::vector<uint8_t>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

class ImageCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    // 4096 whole sectors and a partial one that is not addressable.
    testing::WriteRandomFile(m_source, 4096 * 512 + 300, 7);
    m_data = testing::ReadFileBytes(m_source);
    g_fakeNow = 0;
  }
  TempDir m_dir;
  std::string m_source = m_dir.File("card.img");
  std::string m_out = m_dir.File("copy.img");
  std::vector<uint8_t> m_data;
};

TEST_F(ImageCopy, WholeDriveIsCopiedExactlyWithOneReportPerPiece) {
  DrivesEnv env(m_source);
  Recorder rec;
  ImageJob job;
  job.readBytes = 65536;
  job.progress = &Recorder::Report;
  job.clock = &SteppingClock;
  ASSERT_EQ(CopyToImage(job, 0, 0, 0, m_out, &rec), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out), Slice(m_data, 0, 4096 * 512));
  EXPECT_EQ(job.sectorsDone, 4096u);
  EXPECT_FALSE(job.drive.IsOpen());
  EXPECT_FALSE(job.image.IsValid());
  // The map beside the image says the copy is finished.
  std::string reason;
  RescueMap map;
  ASSERT_EQ(LoadImageMap(ImageMapPath(m_out), 4096 * 512, 512, map, reason), kOk) << reason;
  EXPECT_EQ(map.Blocks(), (std::vector<MapBlock>{{0, 4096 * 512, kMapFinished}}));
  EXPECT_EQ(map.currentStatus, kMapFinished);

  ASSERT_EQ(rec.calls.size(), 32u);
  for (size_t i = 0; i < rec.calls.size(); ++i) {
    const auto& c = rec.calls[i];
    EXPECT_EQ(c.done, (i + 1) * 128);
    EXPECT_EQ(c.total, 4096u);
    EXPECT_EQ(c.percent, static_cast<int32_t>((i + 1) * 100 / 32));
    // The estimate waits five seconds, then follows the speed so far: one
    // 64 KiB piece per second, so the pieces left are the seconds left.
    if (i < 4)
      EXPECT_EQ(c.secondsLeft, -1) << i;
    else
      EXPECT_EQ(c.secondsLeft, static_cast<int32_t>(31 - ((i - 4) / 5 * 5 + 4))) << i;
  }
}

TEST_F(ImageCopy, PartitionEndsWithOneShorterPiece) {
  DrivesEnv env(m_source);
  Recorder rec;
  ImageJob job;
  job.readBytes = 65536;
  job.progress = &Recorder::Report;
  ASSERT_EQ(CopyToImage(job, 0, 100, 1000, m_out, &rec), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out), Slice(m_data, 100 * 512, 1000 * 512));
  ASSERT_EQ(rec.calls.size(), 8u);
  EXPECT_EQ(rec.calls[6].done, 896u);
  EXPECT_EQ(rec.calls.back().done, 1000u);
  EXPECT_EQ(rec.calls.back().total, 1000u);
  EXPECT_EQ(rec.calls.back().percent, 100);

  // An older, longer file is replaced, not overwritten in part.
  testing::WriteFileBytes(m_out, std::vector<uint8_t>(3 << 20, 0xEE));
  job.progress = nullptr;
  ASSERT_EQ(CopyPathToImage(job, m_source, 4000, 96, m_out, nullptr), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out), Slice(m_data, 4000 * 512, 96 * 512));
}

TEST_F(ImageCopy, CancelAndOtherAnswersStopTheCopyAndKeepThePart) {
  DrivesEnv env(m_source);
  Recorder rec;
  rec.answerAt = 2;
  rec.answer = kCancelled;
  ImageJob job;
  job.readBytes = 65536;
  job.progress = &Recorder::Report;
  EXPECT_EQ(CopyToImage(job, 0, 0, 0, m_out, &rec), kCancelled);
  EXPECT_EQ(rec.calls.size(), 3u);
  EXPECT_EQ(job.sectorsDone, 384u);
  EXPECT_EQ(testing::ReadFileBytes(m_out), Slice(m_data, 0, 384 * 512));

  Recorder other;
  other.answerAt = 0;
  other.answer = 42;
  EXPECT_EQ(CopyToImage(job, 0, 0, 0, m_out, &other), 42);
  EXPECT_EQ(other.calls.size(), 1u);
}

// A read error no longer ends the copy: a drive that dies 100 bytes into
// sector 300 gives an image of its first 300 sectors and zeros after them,
// all of it counted as unreadable.
TEST_F(ImageCopy, ReadFaultsAreZeroFilledAndTheCopyGoesOn) {
  DrivesEnv env(m_source);
  Recorder rec;
  ImageJob job;
  job.progress = &Recorder::Report;
  ASSERT_EQ(OpenImageJob(job, m_out, 0, 0, 0, &rec), kOk);
  // The source is open for reading only.
  EXPECT_EQ(::fcntl(job.drive.handle.Get(), F_GETFL) & O_ACCMODE, O_RDONLY);
  // A device that fails 100 bytes into sector 300, handing out odd pieces.
  auto device = std::make_shared<FailingDevice>(m_data, 1000, 300 * 512 + 100);
  job.drive.reader = device;
  EXPECT_EQ(RunImageJob(job), kOk);
  EXPECT_EQ(job.sectorsDone, 4096u);
  EXPECT_EQ(job.badSectors, 4096u - 300);
  ASSERT_FALSE(rec.calls.empty());
  EXPECT_EQ(rec.calls.back().done, 4096u);
  EXPECT_EQ(rec.calls.back().percent, 100);
  EXPECT_EQ(CloseImageJob(job), kOk);
  std::vector<uint8_t> expected = Slice(m_data, 0, 300 * 512);
  expected.resize(4096 * 512, 0);
  EXPECT_EQ(testing::ReadFileBytes(m_out), expected);

  // Short pieces alone are read on until the piece is whole.
  job.progress = nullptr;
  ASSERT_EQ(OpenImageJob(job, m_out, 0, 0, 0, nullptr), kOk);
  job.drive.reader = std::make_shared<FailingDevice>(m_data, 1000, SIZE_MAX);
  EXPECT_EQ(RunImageJob(job), kOk);
  EXPECT_EQ(job.badSectors, 0u);
  EXPECT_EQ(CloseImageJob(job), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out), Slice(m_data, 0, 4096 * 512));
}

TEST_F(ImageCopy, WriteFaultIsReported) {
  DrivesEnv env(m_source);
  ImageJob job;
  ASSERT_EQ(OpenImageJob(job, m_out, 0, 0, 0, nullptr), kOk);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  job.image = FileHandle(full);
  EXPECT_EQ(RunImageJob(job), kErrDiskFull);
  EXPECT_EQ(job.sectorsDone, 0u);
  (void)CloseImageJob(job);
}

TEST_F(ImageCopy, TargetsThatWouldHarmTheSourceAreRefused) {
  DrivesEnv env(m_source);
  ImageJob job;
  EXPECT_EQ(CopyToImage(job, 0, 0, 0, m_source, nullptr), kErrAccessDenied);
  ASSERT_EQ(::link(m_source.c_str(), m_dir.File("link.img").c_str()), 0);
  EXPECT_EQ(CopyToImage(job, 0, 0, 0, m_dir.File("link.img"), nullptr), kErrAccessDenied);
  EXPECT_EQ(CopyToImage(job, 0, 0, 0, m_dir.path(), nullptr), kErrAccessDenied);
  EXPECT_EQ(testing::ReadFileBytes(m_source), m_data) << "the source is untouched";

  EXPECT_EQ(CheckImageTarget(m_source, m_source, 1), ImageTargetProblem::kIsSource);
  EXPECT_EQ(CheckImageTarget(m_source, m_dir.path(), 1), ImageTargetProblem::kNotAFile);
  EXPECT_EQ(CheckImageTarget(m_source, "/dev/null", 1), ImageTargetProblem::kNotAFile);
  EXPECT_EQ(CheckImageTarget(m_source, m_out, 1 << 20), ImageTargetProblem::kNone);
  EXPECT_EQ(CheckImageTarget(m_source, m_out, UINT64_MAX / 2), ImageTargetProblem::kNoSpace);

  // Stretches off the drive, and drives that do not exist, create nothing.
  EXPECT_EQ(CopyToImage(job, 0, 4000, 97, m_out, nullptr), kErrInvalidParameter);
  EXPECT_EQ(CopyToImage(job, 0, 5000, 0, m_out, nullptr), kErrInvalidParameter);
  EXPECT_EQ(CopyToImage(job, 1, 0, 0, m_out, nullptr), kErrFileNotFound);
  EXPECT_FALSE(std::filesystem::exists(m_out));
}

TEST(ImageTarget, FatLimitsFollowTheClusterCount) {
  const uint64_t gib = 1ull << 30;
  // FAT32 files end one byte short of 4 GiB: an image of exactly 4 GiB does not fit.
  EXPECT_EQ(CheckFatTarget(65525, 4 * gib), ImageTargetProblem::kTooLargeForFat32);
  EXPECT_EQ(CheckFatTarget(65525, 4 * gib - 1), ImageTargetProblem::kNone);
  EXPECT_EQ(CheckFatTarget(65524, 2 * gib + 1), ImageTargetProblem::kTooLargeForFat);
  EXPECT_EQ(CheckFatTarget(100, 2 * gib), ImageTargetProblem::kNone);
}

// Runs only where the test may mount (root): image targets on a mounted
// FAT16 and FAT32 file system.
TEST_F(ImageCopy, FatTargetsRefuseImagesTheyCannotHold) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  struct Mount {
    std::string dir;
    bool mounted = false;
    ~Mount() {
      if (mounted) testing::RunQuiet("umount " + testing::ShellQuote(dir));
    }
  } fat16{m_dir.File("fat16")}, fat32{m_dir.File("fat32")};
  ASSERT_TRUE(testing::MakeFatImage(m_dir.File("fat16.img"), 16, 16));
  ASSERT_TRUE(testing::MakeFatImage(m_dir.File("fat32.img"), 32, 40));
  for (Mount* m : {&fat16, &fat32}) {
    std::filesystem::create_directory(m->dir);
    if (!testing::RunQuiet("mount -o loop " + testing::ShellQuote(m->dir + ".img") + " " +
                           testing::ShellQuote(m->dir)))
      GTEST_SKIP() << "cannot mount here";
    m->mounted = true;
  }
  const uint64_t gib = 1ull << 30;
  const std::string on16 = fat16.dir + "/copy.img", on32 = fat32.dir + "/copy.img";
  // FAT32 files end one byte short of 4 GiB: an image of exactly 4 GiB does not fit.
  EXPECT_EQ(CheckImageTarget(m_source, on32, 4 * gib), ImageTargetProblem::kTooLargeForFat32);
  EXPECT_EQ(CheckImageTarget(m_source, on32, 4 * gib - 1), ImageTargetProblem::kNoSpace);
  EXPECT_EQ(CheckImageTarget(m_source, on32, 3 * gib), ImageTargetProblem::kNoSpace);
  EXPECT_EQ(CheckImageTarget(m_source, on32, 1 << 20), ImageTargetProblem::kNone);
  EXPECT_EQ(CheckImageTarget(m_source, on16, 2 * gib + 1), ImageTargetProblem::kTooLargeForFat);
  EXPECT_EQ(CheckImageTarget(m_source, on16, 2 * gib), ImageTargetProblem::kNoSpace);
  EXPECT_EQ(CheckImageTarget(m_source, on16, 1 << 20), ImageTargetProblem::kNone);
  // The target lying on the drive being copied comes first.
  EXPECT_EQ(CheckImageTarget(m_dir.File("fat32.img"), on32, 5 * gib), ImageTargetProblem::kOnSource);

  // velmira-cli gives the reason before anything is written.
  const std::string big = m_dir.File("big.img");
  testing::MakeBlankFile(big, 5 * gib);
  int status = 0;
  for (const auto& [target, words] :
       {std::pair<std::string, std::string>{on32, "FAT32 file system"}, {on16, "holds no file over 2 GB"}}) {
    const std::string err =
        testing::RunCapture(testing::ShellQuote(VELMIRA_CLI_PATH) + " image " + testing::ShellQuote(big) +
                                " " + testing::ShellQuote(target) + " 2>&1",
                            status);
    EXPECT_EQ(status, 4) << err;
    EXPECT_NE(err.find(words), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  const std::string err = testing::RunCapture(testing::ShellQuote(VELMIRA_CLI_PATH) + " image --drive " +
                                                  testing::ShellQuote(m_dir.File("fat32.img")) + " disk:0 " +
                                                  testing::ShellQuote(on32) + " 2>&1",
                                              status);
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("lies on the drive being copied"), std::string::npos) << err;
}

}  // namespace
}  // namespace velmira
