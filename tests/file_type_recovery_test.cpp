#include "engines/carving/file_type_recovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "engines/carving/carve_sweep.h"
#include "engines/output_sink.h"
#include "platform/errors.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::Bytes;

// A JFIF picture of exactly `size` bytes: header and tables, a scan of
// noise without FF, end mark.
Bytes Jpeg(size_t size, uint32_t seed = 3) {
  return testing::JpegPicture(size - testing::JpegHead().size() - 2, seed);
}

struct Carve {
  std::vector<FoundRecord> records;
  CarveSweepResult swept;
  int32_t result = 0;
};

class Carver : public ::testing::Test {
 protected:
  // Writes the image, opens a carver on it and sweeps all of it.
  Carve Run(const Bytes& image, ScanProgressCallback callback = nullptr, void* user = nullptr) {
    m_path = m_dir.File("raw" + std::to_string(++m_images) + ".img");
    testing::WriteFileBytes(m_path, image);
    m_engine = std::make_unique<CFileTypeRecovery>();
    EXPECT_EQ(m_engine->OpenImage(m_path, 1001), kOk);
    Carve c;
    c.result = CarveSweep(*m_engine, 0, m_engine->Source().sectorCount, callback, user, c.swept);
    EXPECT_EQ(m_engine->ListChildren(nullptr, 0, c.records), kOk);
    return c;
  }
  Bytes Recover(const FoundRecord& record) {
    const std::string out = m_dir.File("out.bin");
    std::filesystem::remove(out);  // a taken name is never written over
    EXPECT_EQ(m_engine->RecoverItem(record, out, 0), kOk);
    return testing::ReadFileBytes(out);
  }

  testing::ScopedDataHome m_home;
  testing::TempDir m_dir;
  std::string m_path;
  int m_images = 0;
  std::unique_ptr<CFileTypeRecovery> m_engine;
};

TEST_F(Carver, NamesRecordsAfterTheirFirstSectorAndSkipsWhatTheyHold) {
  const Bytes jpeg = Jpeg(10000);
  testing::ImageBuilder image;
  image.Put(2048, jpeg).Put(2048 + 20, Jpeg(3000, 9)).Size(4096);
  Carve c = Run(image.bytes());
  ASSERT_EQ(c.result, kOk);
  ASSERT_EQ(c.records.size(), 2u);
  const FoundRecord& r = c.records[0];
  EXPECT_EQ(RecordName(r), "2048.jpg");
  EXPECT_EQ(uint64_t{r.entrySector}, 2048u);
  EXPECT_EQ(uint32_t{r.engineTag}, uint32_t{kTagCarving});
  EXPECT_EQ(uint32_t{r.clusterBytes}, kNoClusterBytes);
  EXPECT_EQ(uint64_t{r.size}, 10000u);
  // 10,000 bytes take 20 sectors: the picture right after them is found.
  EXPECT_EQ(RecordName(c.records[1]), "2068.jpg");
  EXPECT_EQ(Recover(r), jpeg);
  EXPECT_EQ(m_engine->GetFoundCount(), 2u);
  std::string folder = "x";
  EXPECT_EQ(m_engine->GetFolderPath(r, folder, 260), kOk);
  EXPECT_TRUE(folder.empty());
}

TEST_F(Carver, PicturesInsideAnAviAreNotCarvedAgain) {
  Bytes avi = testing::SampleOfType(kTypeAvi);
  ASSERT_FALSE(avi.empty());
  const Bytes inner = Jpeg(2000);
  // The picture sits in the AVI's second sector, in its movie list.
  avi.resize(512);
  avi.insert(avi.end(), inner.begin(), inner.end());
  testing::PutLe32(avi, 4, static_cast<uint32_t>(avi.size() - 8));
  testing::PutLe32(avi, 92, static_cast<uint32_t>(avi.size() - 96));
  testing::ImageBuilder image;
  image.Put(100, avi).Size(400);
  Carve c = Run(image.bytes());
  std::vector<std::string> names;
  for (const auto& r : c.records) names.push_back(RecordName(r));
  EXPECT_EQ(names, (std::vector<std::string>{"100.avi"}));
}

TEST_F(Carver, RecoveryReadsWholeSectorsAndWritesTheSize) {
  const Bytes gif = testing::SampleOfType(kTypeGif);
  ASSERT_FALSE(gif.empty());
  testing::ImageBuilder image;
  image.Put(10, gif).Size(64);
  Carve c = Run(image.bytes());
  ASSERT_EQ(c.records.size(), 1u);
  FoundRecord r = c.records[0];
  // A record of 1,000 bytes reads two sectors and writes 1,000 bytes.
  r.size = 1000;
  const Bytes out = Recover(r);
  ASSERT_EQ(out.size(), 1000u);
  EXPECT_EQ(out, Bytes(image.bytes().begin() + 10 * 512, image.bytes().begin() + 10 * 512 + 1000));
  // Past the end of the source: a read fault, with what was read kept when
  // partial files are.
  r.entrySector = 63;
  {
    const KeepPartialScope keep(true);
    EXPECT_EQ(m_engine->RecoverItem(r, m_dir.File("cut.bin"), 0), kErrReadFault);
  }
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("cut.bin.partial")).size(), 512u);
  EXPECT_FALSE(std::filesystem::exists(m_dir.File("cut.bin")));
  // Preview: a picture goes to the ScanLog folder's tmp.jpg.
  std::string path;
  uint32_t bytes = 0;
  ASSERT_EQ(m_engine->ExtractForPreview(c.records[0], path, nullptr, bytes, nullptr, nullptr), kOk);
  EXPECT_EQ(path, m_home.path() + "/Orvanta/ScanLog/tmp.jpg");
  EXPECT_EQ(testing::ReadFileBytes(path), Bytes(gif.begin(), gif.begin() + uint64_t{c.records[0].size}));
}

TEST_F(Carver, CancelDuringReadAheadLeavesNoRecord) {
  Bytes mpeg = testing::SampleOfType(kTypeMpeg);
  ASSERT_FALSE(mpeg.empty());
  testing::ImageBuilder image;
  image.Put(0, mpeg).Size(2048);  // no end code: the rule reads ahead
  struct Counter {
    int calls = 0;
  } counter;
  Carve c = Run(
      image.bytes(),
      [](void* user, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
        return ++static_cast<Counter*>(user)->calls == 1 ? kCancelled : 0;
      },
      &counter);
  EXPECT_EQ(c.result, kCancelled);
  EXPECT_TRUE(c.records.empty());
  EXPECT_EQ(m_engine->GetFoundCount(), 0u);
}

TEST_F(Carver, CorpusSamplesAtTwoAlignmentsComeBackByteForByte) {
  VELMIRA_REQUIRE_CORPUS(root, "python-pillow__Pillow/Tests/images");
  const std::pair<const char*, const char*> samples[] = {
      {"python-pillow__Pillow/Tests/images/flower.jpg", "jpg"},
      {"recurser__exif-orientation-examples/Landscape_1.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/hopper.png", "png"},
      {"python-pillow__Pillow/Tests/images/hopper.gif", "gif"},
      {"python-openxml__python-docx/tests/test_files/python.bmp", "bmp"},
      {"tinytag__tinytag/tinytag/tests/samples/16bit_pcm.wav", "wav"},
  };
  for (uint64_t shift : {0u, 65u}) {
    testing::ImageBuilder image;
    uint64_t sector = 8 + shift;
    std::map<uint64_t, Bytes> planted;
    for (const auto& [path, ext] : samples) {
      const Bytes file = testing::ReadFileBytes(testing::CorpusPath(path));
      ASSERT_FALSE(file.empty()) << path;
      image.Put(sector, testing::Noise(512, static_cast<uint32_t>(sector)));
      image.Put(sector + 1, file);
      planted[sector + 1] = file;
      sector += 2 + (file.size() + 511) / 512;
    }
    image.Size(sector + 8);
    Carve c = Run(image.bytes());
    ASSERT_EQ(c.records.size(), planted.size()) << "shift " << shift;
    for (const FoundRecord& r : c.records) {
      const uint64_t at = r.entrySector;
      ASSERT_TRUE(planted.count(at)) << RecordName(r);
      EXPECT_EQ(Recover(r), planted[at]) << RecordName(r) << " shift " << shift;
    }
  }
}

}  // namespace
}  // namespace velmira
