#include "storage/sector_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::TempDir;

// A device that hands out at most `piece` bytes per read and fails (or hits
// the end) once `failAfter` bytes have been delivered.
class FailingReader : public ByteReader {
 public:
  FailingReader(std::vector<uint8_t> data, size_t piece, size_t failAfter, int32_t failCode)
      : m_data(std::move(data)), m_piece(piece), m_failAfter(failAfter), m_failCode(failCode) {}
  int32_t ReadAt(void* buffer, size_t size, uint64_t offset, size_t& done) override {
    ++calls;
    done = 0;
    if (offset >= m_failAfter) return m_failCode;
    size_t n = std::min({size, m_piece, m_failAfter - static_cast<size_t>(offset),
                         m_data.size() - static_cast<size_t>(offset)});
    std::memcpy(buffer, m_data.data() + offset, n);
    done = n;
    return kOk;
  }
  int calls = 0;

 private:
  std::vector<uint8_t> m_data;
  size_t m_piece, m_failAfter;
  int32_t m_failCode;
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return v;
}

TEST(SectorSource, ImageSectorCountDropsPartialSector) {
  TempDir dir;
  testing::WriteFileBytes(dir.File("a.img"), std::vector<uint8_t>(1000, 0xAB));
  SectorSource src;
  ASSERT_EQ(OpenImageSource(src, dir.File("a.img")), kOk);
  EXPECT_EQ(src.sectorCount, 1u);

  std::vector<uint8_t> buf(1024, 0);
  uint32_t got = 99;
  EXPECT_EQ(ReadSectors(1, src, buf.data(), 0, 512, got), kOk);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(buf[511], 0xAB);
  got = 99;
  EXPECT_EQ(ReadSectors(2, src, buf.data(), 0, 512, got), kErrInvalidParameter);
  EXPECT_EQ(got, 99u) << "a refused request must leave sectorsRead untouched";
  EXPECT_EQ(CloseSource(src), kOk);
  EXPECT_EQ(src.sectorCount, 0u);
  EXPECT_FALSE(src.IsOpen());
}

TEST(SectorSource, BoundsAtTheLastSector) {
  TempDir dir;
  const auto data = Pattern(512 * 64);
  testing::WriteFileBytes(dir.File("b.img"), data);
  SectorSource src;
  ASSERT_EQ(OpenImageSource(src, dir.File("b.img")), kOk);
  ASSERT_EQ(src.sectorCount, 64u);

  std::vector<uint8_t> buf(512 * 4);
  uint32_t got = 0;
  ASSERT_EQ(ReadSectors(4, src, buf.data(), 60, 512, got), kOk);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + 60 * 512, buf.size()));

  got = 7;
  EXPECT_EQ(ReadSectors(4, src, buf.data(), 61, 512, got), kErrInvalidParameter);
  EXPECT_EQ(got, 7u);
  // A position so large that first + count wraps around must still be refused.
  EXPECT_EQ(ReadSectors(4, src, buf.data(), UINT64_MAX - 1, 512, got), kErrInvalidParameter);
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(ReadSectors(1, src, buf.data(), 0, 0, got), kErrInvalidParameter);

  // Zero sectors read nothing and succeed, even at the very end.
  EXPECT_EQ(ReadSectors(0, src, buf.data(), 64, 512, got), kOk);
  EXPECT_EQ(got, 0u);
}

TEST(SectorSource, ImageOfOddSizeReadsPastEndAsReadFault) {
  // Counted in 512-byte units, a 4096-byte sector read near the end runs
  // into end of file: the whole sectors before it are counted.
  TempDir dir;
  testing::WriteFileBytes(dir.File("c.img"), Pattern(4096 * 2 + 512));
  SectorSource src;
  ASSERT_EQ(OpenImageSource(src, dir.File("c.img")), kOk);
  std::vector<uint8_t> buf(4096 * 3);
  uint32_t got = 0;
  EXPECT_EQ(ReadSectors(3, src, buf.data(), 0, 4096, got), kErrReadFault);
  EXPECT_EQ(got, 2u);
}

TEST(SectorSource, ShortReadsAreContinuedAndPiecesAre64K) {
  const auto data = Pattern(512 * 300);
  SectorSource src;
  src.sectorCount = 300;
  auto reader = std::make_shared<FailingReader>(data, 1000, data.size(), kErrReadFault);
  src.reader = reader;
  std::vector<uint8_t> buf(512 * 300);
  uint32_t got = 0;
  ASSERT_EQ(ReadSectors(300, src, buf.data(), 0, 512, got), kOk);
  EXPECT_EQ(got, 300u);
  EXPECT_EQ(buf, data);
  EXPECT_EQ(reader->calls, static_cast<int>((data.size() + 999) / 1000));

  // Whole 64 KiB pieces when the device delivers everything asked.
  auto whole = std::make_shared<FailingReader>(data, SIZE_MAX, data.size(), kErrReadFault);
  src.reader = whole;
  ASSERT_EQ(ReadSectors(300, src, buf.data(), 0, 512, got), kOk);
  EXPECT_EQ(whole->calls, 3);  // 153,600 bytes = 65,536 + 65,536 + 22,528
}

TEST(SectorSource, FailuresCountTheWholeSectorsReadSoFar) {
  const auto data = Pattern(512 * 16);
  SectorSource src;
  src.sectorCount = 16;
  std::vector<uint8_t> buf(512 * 16);
  uint32_t got = 0;

  // Device error after 5.5 sectors.
  src.reader = std::make_shared<FailingReader>(data, 700, 512 * 5 + 256, kErrCrc);
  EXPECT_EQ(ReadSectors(16, src, buf.data(), 0, 512, got), kErrReadFault);
  EXPECT_EQ(got, 5u);

  // A read that returns 0 bytes (end of device) after 3 sectors.
  src.reader = std::make_shared<FailingReader>(Pattern(512 * 3), 512, 512 * 16, kOk);
  EXPECT_EQ(ReadSectors(16, src, buf.data(), 0, 512, got), kErrReadFault);
  EXPECT_EQ(got, 3u);
}

TEST(SectorSource, OpenFailuresAreWin32Codes) {
  TempDir dir;
  SectorSource src;
  EXPECT_EQ(OpenImageSource(src, dir.File("missing.img")), kErrFileNotFound);
  EXPECT_EQ(OpenImageSource(src, dir.path()), kErrBadFileType);
  EXPECT_FALSE(src.IsOpen());
  EXPECT_EQ(OpenDiskSource(src, 1 << 20), kErrFileNotFound);
}

TEST(SectorSource, DrivesComeFromTheEnvironmentList) {
  TempDir dir;
  testing::WriteFileBytes(dir.File("d0.img"), Pattern(512 * 8));
  testing::WriteFileBytes(dir.File("d1.img"), Pattern(512 * 32 + 100));
  const std::string drives = dir.File("d0.img") + ":" + dir.File("d1.img");
  ::setenv("VELMIRA_DRIVES", drives.c_str(), 1);
  SectorSource src;
  ASSERT_EQ(OpenDiskSource(src, 1), kOk);
  EXPECT_EQ(src.sectorCount, 32u);
  uint64_t length = 0;
  EXPECT_EQ(GetDiskLength(0, length), kOk);
  EXPECT_EQ(length, 512u * 8);
  EXPECT_FALSE(IsRemovableDisk(0)) << "an image file is neither removable media nor on a USB bus";
  EXPECT_EQ(OpenDiskSource(src, 2), kErrFileNotFound);
  ::unsetenv("VELMIRA_DRIVES");
}

// What an engine learns when it opens its target: the key its records carry,
// where the partition lies, and a length of 0 meaning "to the end of the drive".
TEST(SectorSource, TargetsOpenWithTheirKeyStartAndLength) {
  TempDir dir;
  testing::WriteFileBytes(dir.File("d0.img"), Pattern(512 * 40));
  ::setenv("VELMIRA_DRIVES", dir.File("d0.img").c_str(), 1);
  SectorSource src;
  OpenedTarget opened;
  ASSERT_EQ(OpenTargetSource(PartitionTarget(0, 8, 0, 3), src, opened), kOk);
  EXPECT_EQ(opened.startSector, 8u);
  EXPECT_EQ(opened.sectorCount, 32u) << "to the end of the drive";
  EXPECT_EQ(opened.bytesPerSector, 512u);
  EXPECT_EQ(opened.sourceKey, 3u);
  EXPECT_EQ(opened.sourceBytes, 512u * 40);
  SectorSource other;
  ASSERT_EQ(OpenTargetSource(PartitionTarget(0, 8, 16, 3), other, opened), kOk);
  EXPECT_EQ(opened.sectorCount, 16u);
  SectorSource image;
  ASSERT_EQ(OpenTargetSource(ImageTarget(dir.File("d0.img"), 1001), image, opened), kOk);
  EXPECT_EQ(opened.startSector, 0u);
  EXPECT_EQ(opened.sectorCount, 40u);
  EXPECT_EQ(opened.sourceKey, 1001u);
  SectorSource missing;
  EXPECT_EQ(OpenTargetSource(PartitionTarget(5, 0, 0, 1), missing, opened), kErrFileNotFound);
  ::unsetenv("VELMIRA_DRIVES");
}

TEST(SectorSource, ChunkedHelpersOnPositionedHandles) {
  TempDir dir;
  const auto data = Pattern(200000);
  testing::WriteFileBytes(dir.File("e.bin"), data);
  FileHandle in;
  ASSERT_EQ(OpenReadOnly(dir.File("e.bin"), in), kOk);
  ASSERT_EQ(SeekTo(in, 1000), kOk);
  std::vector<uint8_t> buf(200000);
  uint32_t units = 0;
  EXPECT_EQ(ReadUnits(100, in, buf.data(), 1000, units), kOk);
  EXPECT_EQ(units, 100u);
  EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + 1000, 100000));
  // Past the end: 30, with the whole units read counted.
  EXPECT_EQ(ReadUnits(100, in, buf.data(), 1000, units), kErrReadFault);
  EXPECT_EQ(units, 99u);
  uint32_t bytes = 5;
  EXPECT_EQ(ReadBytes(0, in, buf.data(), bytes), kOk);
  EXPECT_EQ(bytes, 0u);

  FileHandle out;
  ASSERT_EQ(OpenForWriting(dir.File("f.bin"), WriteMode::kCreateAlways, out), kOk);
  EXPECT_EQ(WriteUnits(out, data.data(), 512, units, 300), kOk);
  EXPECT_EQ(units, 300u);
  out.Close();
  EXPECT_EQ(testing::ReadFileBytes(dir.File("f.bin")),
            std::vector<uint8_t>(data.begin(), data.begin() + 512 * 300));
  uint64_t len = 0;
  EXPECT_EQ(GetFileLength(dir.File("f.bin"), len), kOk);
  EXPECT_EQ(len, 512u * 300);

  // Writing through a read-only handle fails with a code, not silently.
  EXPECT_NE(WriteUnits(in, data.data(), 512, units, 1), kOk);
  EXPECT_EQ(units, 0u);
}

TEST(SectorSource, VolumeQueriesNeedAMountedKey) {
  uint64_t bytes = 0;
  std::string name;
  EXPECT_EQ(GetVolumeFreeBytes(4242, bytes), kErrPathNotFound);
  EXPECT_EQ(GetVolumeFileSystem(4242, name), kErrPathNotFound);
  FlushVolume(4242);  // not mounted: nothing happens
  EXPECT_EQ(GetMountFreeBytes("/", bytes), kOk);
  EXPECT_GT(bytes, 0u);
  EXPECT_EQ(GetMountFileSystem("/", name), kOk);
  EXPECT_FALSE(name.empty());
}

}  // namespace
}  // namespace velmira
