#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engines/carving/file_cursor.h"
#include "engines/carving/length_rules.h"
#include "engines/carving/read_ahead.h"
#include "engines/carving/signature_table.h"
#include "platform/errors.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;
using testing::Bytes;
using testing::CarveAt;
using testing::Carved;
using testing::Concat;
using testing::ImageBuilder;
using testing::Noise;
using testing::PutBytes;
using testing::SampleOfType;

// Every carving case runs with the file at sector 0 and at sector 65 and must
// give the same answer.
constexpr uint64_t kAlignments[] = {0, 65};

std::string_view BytesView(const Bytes& b, size_t at, size_t n) {
  return std::string_view(reinterpret_cast<const char*>(b.data()) + at, n);
}

uint64_t SectorsOf(uint64_t bytes, uint32_t sectorSize = 512) {
  return (bytes + sectorSize - 1) / sectorSize;
}

// Carves a file placed at each alignment, followed by `after` (placed at the
// sector after the file's last one plus `gap` sectors) and expects `length`.
void ExpectCarved(const Bytes& file, std::string_view extension, uint64_t length, const Bytes& after = {},
                  uint64_t gap = 0, uint32_t sectorSize = 512) {
  for (uint64_t at : kAlignments) {
    SCOPED_TRACE("file at sector " + std::to_string(at));
    ImageBuilder image(sectorSize);
    const uint64_t next = at + SectorsOf(file.size(), sectorSize) + gap;
    image.Put(at, file);
    if (!after.empty()) image.Put(next, after);
    image.Size(next + SectorsOf(after.size(), sectorSize) + 4);
    const Carved carved = CarveAt(image.Source(), at, sectorSize);
    EXPECT_EQ(carved.Extension(), extension);
    EXPECT_EQ(carved.length, length);
  }
}

// A JPEG with an Exif thumbnail (which has its own end marker) in its APP1
// segment and `dataBytes` of scan data.
Bytes JpegWithThumbnail(size_t dataBytes, uint32_t seed = 3, size_t thumbnailBytes = 3000) {
  Bytes jpeg = testing::BytesOf(
      "\xFF\xD8\xFF\xE1\x00\x00"
      "Exif\x00\x00"sv);
  PutBytes(jpeg, jpeg.size(), testing::JpegPicture(thumbnailBytes, seed));
  PutBytes(jpeg, jpeg.size(), Noise(700, seed + 1));
  testing::PutBe16(jpeg, 4, static_cast<uint16_t>(jpeg.size() - 4));
  const Bytes picture = testing::JpegPicture(dataBytes, seed + 2);
  jpeg.insert(jpeg.end(), picture.begin() + 2, picture.end());
  return jpeg;
}

// A JPEG's start, up to its scan data, without an end marker.
Bytes JpegStart() {
  return testing::JpegHead();
}

const Bytes& PngStart() {
  static const Bytes png = SampleOfType(kTypePng);
  return png;
}

// End marks are found at the start, at the very end, after a false start
// ("FF FF D9"), and never past the bytes given or before `from`.
TEST(ReadAheadFindMark, FindsEveryPlaceAMarkCanStand) {
  using namespace std::string_view_literals;
  const std::vector<uint8_t> b = {0xFF, 0xD9, 0x00, 0xFF, 0xFF, 0xD9, 0x12, 0xFF, 0xD9};
  const ByteView v(b.data(), b.size());
  EXPECT_EQ(FindMark(v, "\xFF\xD9"sv, 0), 0u);
  EXPECT_EQ(FindMark(v, "\xFF\xD9"sv, 1), 4u);
  EXPECT_EQ(FindMark(v, "\xFF\xD9"sv, 5), 7u);
  EXPECT_EQ(FindMark(v, "\xFF\xD9"sv, 8), ReadAhead::kNotFound);
  EXPECT_EQ(FindMark(v, "\xFF\xD9\x12"sv, 0), 4u);
  EXPECT_EQ(FindMark(ByteView(b.data(), 8), "\xFF\xD9"sv, 5), ReadAhead::kNotFound)
      << "cut before its last byte";
  EXPECT_EQ(FindMark(v, ""sv, 0), ReadAhead::kNotFound);
  EXPECT_EQ(FindMark(v, "\xFF\xD9"sv, 20), ReadAhead::kNotFound);
}

TEST(CarveJpeg, EndsAtItsLastEndMarkerNotAtTheThumbnail) {
  // Thumbnail and picture end in the same 64 KiB piece.
  const Bytes small = JpegWithThumbnail(20000);
  ExpectCarved(small, "jpg", small.size(), PngStart(), 2);
  // The picture spans several pieces; nothing follows but the end of the medium.
  const Bytes large = JpegWithThumbnail(300000);
  ExpectCarved(large, "jpg", large.size());
  // A picture inside its own first sector.
  const Bytes tiny = SampleOfType(kTypeJpeg);
  ExpectCarved(tiny, "jpg", tiny.size());
}

TEST(CarveJpeg, ThumbnailEndingOnASectorBorderDoesNotCutThePicture) {
  // Shape the thumbnail so that its end marker closes a sector exactly.
  const size_t thumbnail = 2048 - 12 - testing::JpegHead().size() - 2;
  const Bytes jpeg = JpegWithThumbnail(5000, 9, thumbnail);
  ASSERT_EQ(BytesView(jpeg, 2046, 2), "\xFF\xD9"sv);
  ExpectCarved(jpeg, "jpg", jpeg.size(), PngStart(), 1);
}

TEST(CarveJpeg, EndMarkerEndsThePictureAndALostEndRunsToTheBoundary) {
  // The end marker is followed by other data in its sector: it still ends
  // the picture.
  Bytes jpeg = JpegWithThumbnail(10000);
  const size_t size = jpeg.size();
  PutBytes(jpeg, jpeg.size(), Noise(100, 4));
  ExpectCarved(jpeg, "jpg", size, PngStart(), 3);
  // Scan data whose end was lost runs into an NTFS file record and ends there.
  Bytes record(512, 0);
  PutBytes(record, 0, "FILE0"sv);
  ExpectCarved(Concat({JpegStart(), Noise(5000)}), "jpg", 11 * 512, record, 0);
  // A FAT directory sector is a boundary too, and so is a folder's first sector.
  Bytes dotSector(512, 0);
  PutBytes(dotSector, 0, ".          \x10"sv);
  PutBytes(dotSector, 32, "..         \x10"sv);
  ExpectCarved(Concat({JpegStart(), Noise(1000)}), "jpg", 3 * 512, dotSector, 0);
}

TEST(CarveJpeg, RunsToTheEndOfTheMediumAndStopsAtTheCap) {
  // No end marker and no boundary: the file takes the rest of the medium,
  // also when that is not a whole piece.
  const Bytes jpeg = Concat({JpegStart(), Noise(70000)});
  ImageBuilder image;
  image.Put(3, jpeg).Size(3 + 300);
  EXPECT_EQ(CarveAt(image.Source(), 3).length, 300u * 512);

  // Over a large empty medium the cap ends it: 128 MiB.
  auto reader = std::make_shared<testing::MemoryReader>(Bytes(jpeg.begin(), jpeg.begin() + 512), 200 * kMiB);
  const SectorSource big = testing::MakeMemorySource(reader);
  EXPECT_EQ(CarveAt(big, 0).length, 128 * kMiB);
}

TEST(CarveTrailer, GifAndPng) {
  // Image data that holds the trailer's bytes does not end the file: the
  // blocks are walked to the real trailer.
  Bytes gif = testing::BytesOf(
      "GIF89a\x10\x00\x10\x00\x80\x00\x00\x00\x00\x00\xFF\xFF\xFF"
      "\x2C\x00\x00\x00\x00\x10\x00\x10\x00\x00\x02"sv);
  for (int block = 0; block < 12; ++block) {
    gif.push_back(0xFF);
    Bytes data = Noise(255, 5 + block);
    data[100] = 0x00, data[101] = 0x3B;
    gif.insert(gif.end(), data.begin(), data.end());
  }
  PutBytes(gif, gif.size(), "\x00\x3B"sv);
  ExpectCarved(gif, "gif", gif.size(), PngStart(), 1);
  // A trailer that ends exactly on a sector border, noise after it.
  Bytes border(gif.begin(), gif.begin() + 30);
  while (border.size() + 256 < 1022) {
    border.push_back(0xFF);
    const Bytes data = Noise(255, 8);
    border.insert(border.end(), data.begin(), data.end());
  }
  border.push_back(static_cast<uint8_t>(1022 - border.size() - 1));
  PutBytes(border, border.size(), Noise(1022 - border.size(), 9));
  PutBytes(border, 1022, "\x00\x3B"sv);
  PutBytes(border, 1024, Noise(700, 9));
  ExpectCarved(border, "gif", 1024);

  // A PNG whose end chunk is cut by the border between two 64 KiB pieces.
  Bytes png = SampleOfType(kTypePng);
  png.resize(33);  // signature and IHDR
  const uint32_t idat = 512 + 65536 + 4 - 33 - 12 - 12;
  testing::PutBe32(png, 33, idat);
  PutBytes(png, 37, "IDAT"sv);
  PutBytes(png, 41, Noise(idat + 4, 11));
  PutBytes(png, png.size(), "\x00\x00\x00\x00IEND\xAE\x42\x60\x82"sv);
  ASSERT_EQ(png.size(), 512u + 65536 + 4);
  ExpectCarved(png, "png", png.size(), PngStart(), 5);
  // With 4,096-byte sectors.
  ExpectCarved(png, "png", png.size(), PngStart(), 1, 4096);
  // A PNG inside its first sector.
  ExpectCarved(SampleOfType(kTypePng), "png", SampleOfType(kTypePng).size());
}

TEST(CarveEndMarks, MpegStreams) {
  // A program stream: later pack headers start sectors but do not end it.
  Bytes ps = SampleOfType(kTypeMpeg);
  for (int k = 1; k < 6; ++k) {
    PutBytes(ps, size_t(k) * 512, SampleOfType(kTypeMpeg));
    PutBytes(ps, size_t(k) * 512 + 20, Noise(480, k));
  }
  PutBytes(ps, 6 * 512, Noise(100, 20));
  PutBytes(ps, ps.size(), "\x00\x00\x01\xB9"sv);
  ExpectCarved(ps, "mpeg", ps.size(), PngStart(), 2);
  // A video elementary stream ends after its sequence end code (B9 does not end it).
  Bytes es = testing::BytesOf("\x00\x00\x01\xB3\x14\x00\xF0\x13\xFF\xFF\xE0\x18\x00\x00\x01\xB8"sv);
  PutBytes(es, es.size(), Noise(1500, 21));
  PutBytes(es, es.size(), "\x00\x00\x01\xB9"sv);
  PutBytes(es, es.size(), Noise(1000, 22));
  PutBytes(es, es.size(), "\x00\x00\x01\xB7"sv);
  ExpectCarved(es, "mpeg", es.size(), PngStart(), 2);
}

TEST(CarveEndMarks, Mp4RealMediaMp3Ape) {
  const Bytes mp3 = SampleOfType(kTypeMp3);
  ExpectCarved(mp3, "mp3", mp3.size(), PngStart(), 4);

  const Bytes ape = SampleOfType(kTypeApe);
  ExpectCarved(ape, "ape", ape.size(), PngStart(), 2);
}

TEST(CarveEndMarks, MidiEndsAfterItsLastTrack) {
  Bytes mid = testing::BytesOf("MThd\x00\x00\x00\x06\x00\x01\x00\x02\x00\x60"sv);
  PutBytes(mid, mid.size(), "MTrk"sv);
  testing::PutBe32(mid, mid.size(), 1000);
  PutBytes(mid, mid.size(), Noise(1000, 40));
  PutBytes(mid, mid.size(), "MTrk"sv);
  testing::PutBe32(mid, mid.size(), 70000);
  PutBytes(mid, mid.size(), Noise(70000, 41));
  const size_t end = mid.size();
  PutBytes(mid, mid.size(), Noise(20000, 42));  // no boundary after it
  ExpectCarved(mid, "mid", end);
  // A one-track file inside its first sector.
  ExpectCarved(SampleOfType(kTypeMidi), "mid", 26);
}

TEST(CarveTransportStream, FollowsPacketsAndRemembersTheStream) {
  Bytes ts = testing::TransportStream(100);
  PutBytes(ts, ts.size(), Noise(3000, 50));
  ts[100 * 188] = 0x00;
  ExpectCarved(ts, "ts", 100 * 188, PngStart(), 1);

  ImageBuilder image;
  image.Put(10, testing::TransportStream(400)).Size(200);
  const SectorSource source = image.Source();
  CarvingState state;
  const Carved carved = CarveAt(source, 10, 512, state);
  EXPECT_EQ(carved.length, 400u * 188);
  ASSERT_EQ(state.streamRanges.size(), 1u);
  EXPECT_EQ(state.streamRanges[0].first, 10u);
  EXPECT_EQ(state.streamRanges[0].last, 10 + SectorsOf(400 * 188) - 1);
  EXPECT_TRUE(state.tsStrict);
  // Sector 10 + 47 starts a packet, but lies inside the carved stream.
  EXPECT_EQ(CarveAt(source, 10 + 47, 512, state).row, nullptr);

  // A stream the sweep has passed is forgotten, so that a medium of many
  // streams keeps the list short.
  image.Put(170, testing::TransportStream(100)).Size(300);
  const SectorSource further = image.Source();
  EXPECT_EQ(CarveAt(further, 170, 512, state).length, 100u * 188);
  ASSERT_EQ(state.streamRanges.size(), 1u);
  EXPECT_EQ(state.streamRanges[0].first, 170u);
}

TEST(CarveSizeFromHeader, RiffBmpSwfAsfIco) {
  ExpectCarved(SampleOfType(kTypeWav), "wav", 1000);
  ExpectCarved(SampleOfType(kTypeAvi), "avi", 2000);
  ExpectCarved(SampleOfType(kTypeBmp), "bmp", 1094);
  ExpectCarved(SampleOfType(kTypeSwf), "swf", 700);
  ExpectCarved(SampleOfType(kTypeAsf), "wmv", 3000);
  ExpectCarved(SampleOfType(kTypeIco), "ico", 62);

  // A size field the pixel data does not fill is no bitmap.
  Bytes huge = SampleOfType(kTypeBmp);
  testing::PutLe32(huge, 2, 0xFFFFFFFF);
  ExpectCarved(huge, "", 0);
  // A compressed movie: never longer than the sectors that deflate can
  // make its 700 bytes fill.
  Bytes compressed = SampleOfType(kTypeSwf);
  compressed[0] = 'C', compressed[3] = 9;
  ExpectCarved(compressed, "swf", 2 * 512);
  // Without a file size (broadcast) or with a wrong one, the objects tell.
  Bytes broadcast = SampleOfType(kTypeAsf);
  testing::PutLe32(broadcast, 30 + 88, 1);
  ExpectCarved(broadcast, "wmv", 3000);
  Bytes big = SampleOfType(kTypeAsf);
  testing::PutLe64(big, 30 + 40, uint64_t{1} << 40);
  ExpectCarved(big, "wmv", 3000);
}

TEST(CarveBoundary, VideosEndAtTheNextKnownStart) {
  // A compound document ends with its last sector in use.
  ExpectCarved(SampleOfType(kTypeDoc), "doc", 4 * 512, PngStart());
}

TEST(CarvingFlags, FollowTheSweep) {
  ImageBuilder image;
  image.Put(0, Bytes(512, 0x33)).Put(1, SampleOfType(kTypeMts)).Put(2, SampleOfType(kTypeGho)).Size(8);
  const SectorSource source = image.Source();
  CarvingState state;
  EXPECT_EQ(CarveAt(source, 0, 512, state).row, nullptr);
  EXPECT_TRUE(state.tsStrict);
  EXPECT_FALSE(state.previousWasMts);
  EXPECT_EQ(CarveAt(source, 1, 512, state).Extension(), "mts");
  EXPECT_FALSE(state.tsStrict);
  EXPECT_TRUE(state.previousWasMts);
  // Disk-image backups are known but never carved.
  EXPECT_EQ(CarveAt(source, 2, 512, state).row, nullptr);
  EXPECT_TRUE(state.tsStrict);
  EXPECT_FALSE(state.previousWasMts);
}

struct Reports {
  std::vector<int32_t> percents;
  std::vector<uint64_t> positions;
  int32_t answerFrom = 0;  // answer kCancelled from this report on (1-based); 0 never
};

int32_t Record(void* user, int32_t percent, int32_t, int32_t, uint64_t position, uint64_t total, uint64_t,
               int32_t) {
  auto* r = static_cast<Reports*>(user);
  EXPECT_EQ(total, 10000u);
  r->percents.push_back(percent);
  r->positions.push_back(position);
  return r->answerFrom != 0 && static_cast<int32_t>(r->percents.size()) >= r->answerFrom ? kCancelled : 0;
}

TEST(ReadAheadTest, ReportsProgressAndStopsOnCancel) {
  const Bytes mkv = Concat({SampleOfType(kTypeMkv), Noise(400 * 512, 70)});
  ImageBuilder image;
  image.Put(0, mkv).Size(2000);
  const SectorSource source = image.Source();
  for (int cancelAt : {0, 2}) {
    Reports reports;
    reports.answerFrom = cancelAt;
    CarvingState state;
    state.scanCallback = &Record;
    state.userData = &reports;
    state.BeginSector(&source, 512, 0, SweepFigures{5000, 10000, 30, 7});
    const ByteView first(image.bytes().data(), 512);
    const uint64_t length = BoundaryLength(first, state, 64 * kGiB);
    if (cancelAt == 0) {
      EXPECT_EQ(state.carveResult, 0);
      EXPECT_EQ(length, 2000u * 512);  // the whole medium
      ASSERT_EQ(reports.positions.size(), SectorsOf(1999, 128));
      EXPECT_EQ(reports.positions[0], 5000u + 128);
      EXPECT_EQ(reports.percents[0], 51 + 10);
      EXPECT_EQ(reports.positions.back(), 5000u + 1999);
    } else {
      EXPECT_EQ(state.carveResult, kCancelled);
      EXPECT_EQ(reports.positions.size(), 2u) << "the rule ends at the report that asked";
    }
  }
}

// The boundary rule on the first sector of `source`, whose bytes start
// with `bytes`.
uint64_t ReadAheadLength(const SectorSource& source, const Bytes& bytes) {
  CarvingState state;
  state.BeginSector(&source, 512, 0, SweepFigures{});
  return BoundaryLength(ByteView(bytes.data(), 512), state, 64 * kGiB);
}

TEST(ReadAheadTest, FailingDeviceEndsTheFileAtTheFault) {
  const Bytes mkv = Concat({SampleOfType(kTypeMkv), Noise(300 * 512, 71)});
  for (size_t piece : {size_t{SIZE_MAX}, size_t{700}}) {
    auto reader = std::make_shared<testing::MemoryReader>(mkv, 400 * 512);
    reader->failFrom = 150 * 512;
    reader->maxPiece = piece;
    const SectorSource source = testing::MakeMemorySource(reader);
    EXPECT_EQ(ReadAheadLength(source, mkv), 150u * 512) << "piece " << piece;
  }
  // A fault right after the first sector leaves the first sector.
  auto reader = std::make_shared<testing::MemoryReader>(mkv);
  reader->failFrom = 512;
  EXPECT_EQ(ReadAheadLength(testing::MakeMemorySource(reader), mkv), 512u);
  // No source at all: the rule keeps the first sector.
  CarvingState alone;
  Bytes first = SampleOfType(kTypeMkv);
  first.resize(512);
  alone.BeginSector(nullptr, 512, 0, {});
  EXPECT_EQ(BoundaryLength(ByteView(first.data(), 512), alone, 64 * kGiB), 512u);
}

// The cursor of structural rules: views across its window, the end of the
// source, the cap, a failing device and a cancel.
TEST(FileCursorTest, ViewsStayInsideTheDataAndStopOnCancel) {
  const Bytes data = testing::RandomBytes(300 * 1024 + 100, 9);
  ImageBuilder image;
  image.Put(3, data);
  const SectorSource source = image.Source();
  const uint64_t fileBytes = (image.bytes().size() / 512 - 3) * 512;
  CarvingState state;
  state.BeginSector(&source, 512, 3, SweepFigures{});
  const ByteView first(image.bytes().data() + 3 * 512, 512);
  FileCursor cursor(state, first, 1024 * 1024);
  for (uint64_t at :
       {uint64_t{0}, uint64_t{500}, uint64_t{65535}, uint64_t{200000}, uint64_t{131000}, uint64_t{7}}) {
    const ByteView v = cursor.View(at, FileCursor::kMaxView);
    ASSERT_EQ(v.size(), FileCursor::kMaxView) << at;
    EXPECT_EQ(std::memcmp(v.data(), data.data() + at, v.size()), 0) << at;
  }
  EXPECT_EQ(cursor.View(fileBytes - 10, 20).size(), 0u) << "past the source";
  EXPECT_EQ(cursor.ViewUpTo(fileBytes - 10, 20).size(), 10u);
  EXPECT_EQ(cursor.Find(BytesView(data, 250000, 16), 0), 250000u);
  EXPECT_EQ(cursor.Find("\x01\x02\x03\x04\x05\x06\x07\x08\x09"sv, 0), FileCursor::kNotFound);
  FileCursor capped(state, first, 4096);
  EXPECT_EQ(capped.View(4090, 8).size(), 0u) << "past the cap";

  auto reader = std::make_shared<testing::MemoryReader>(image.bytes());
  reader->failFrom = 100 * 512;
  const SectorSource failing = testing::MakeMemorySource(reader);
  CarvingState faulty;
  faulty.BeginSector(&failing, 512, 3, SweepFigures{});
  FileCursor broken(faulty, first, 1024 * 1024);
  EXPECT_EQ(broken.View(96 * 512, 512).size(), 512u);
  EXPECT_EQ(broken.View(97 * 512, 512).size(), 0u) << "the fault ends the data";

  Reports reports;
  reports.answerFrom = 1;
  CarvingState cancelled;
  cancelled.scanCallback = &Record;
  cancelled.userData = &reports;
  cancelled.BeginSector(&source, 512, 3, SweepFigures{0, 10000, -1, 0});
  FileCursor stopped(cancelled, first, 1024 * 1024);
  EXPECT_EQ(stopped.View(4096, 16).size(), 0u);
  EXPECT_TRUE(stopped.Stopped());
  EXPECT_EQ(stopped.View(0, 16).size(), 0u) << "nothing after a cancel";
}

// Real files from the corpus, each followed by the start of another file:
// the carved length must be the file's exact size as the truth table gives it.
std::map<std::string, uint64_t> TruthSizes() {
  std::map<std::string, uint64_t> sizes;
  const std::string tsv = testing::CorpusPath("_truth/media_files.tsv");
  std::ifstream in(tsv);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string path, size;
    std::getline(fields, path, '\t');
    std::getline(fields, size, '\t');
    sizes[path] = std::stoull(size);
  }
  return sizes;
}

TEST(CarveCorpus, ExactSizes) {
  VELMIRA_REQUIRE_CORPUS(tsv, "_truth/media_files.tsv");
  const std::map<std::string, uint64_t> truth = TruthSizes();
  const std::pair<const char*, const char*> samples[] = {
      {"py-pdf__sample-files/007-imagemagick-images/smile.jpg", "jpg"},
      {"python-openxml__python-docx/features/steps/test_files/court-exif.jpg", "jpg"},
      {"python-openxml__python-docx/tests/test_files/exif-420-dpi.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/exif-72dpi-int.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/exif_gps.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/flower.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/flower2.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/hopper.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/pil_sample_cmyk.jpg", "jpg"},
      {"python-pillow__Pillow/Tests/images/sugarshack.mpo", "jpg"},
      {"recurser__exif-orientation-examples/Landscape_1.jpg", "jpg"},
      {"recurser__exif-orientation-examples/Portrait_8.jpg", "jpg"},
      {"py-pdf__sample-files/007-imagemagick-images/smile.png", "png"},
      {"python-openxml__python-docx/tests/test_files/monty-truth.png", "png"},
      {"python-pillow__Pillow/Tests/images/hopper.png", "png"},
      {"python-pillow__Pillow/Tests/images/pil123rgba.png", "png"},
      {"mathiasbynens__small/png-transparent.png", "png"},
      {"python-openxml__python-docx/tests/test_files/sonic.gif", "gif"},
      {"python-pillow__Pillow/Tests/images/dispose_bgnd.gif", "gif"},
      {"python-pillow__Pillow/Tests/images/hopper.gif", "gif"},
      {"python-pillow__Pillow/Tests/images/iss634.gif", "gif"},
      {"mathiasbynens__small/gif.gif", "gif"},
      {"python-openxml__python-docx/features/steps/test_files/mountain.bmp", "bmp"},
      {"python-openxml__python-docx/tests/test_files/python.bmp", "bmp"},
      {"python-pillow__Pillow/Tests/images/bmp/g/pal8.bmp", "bmp"},
      {"python-pillow__Pillow/Tests/images/hopper_rle8.bmp", "bmp"},
      {"python-pillow__Pillow/Tests/images/hopper.tif", "tif"},
      {"tinytag__tinytag/tinytag/tests/samples/16bit_pcm.wav", "wav"},
      {"tinytag__tinytag/tinytag/tests/samples/adpcm.wav", "wav"},
      {"tinytag__tinytag/tinytag/tests/samples/riff_extra_zero.wav", "wav"},
      {"tinytag__tinytag/tinytag/tests/samples/wav_with_image.wav", "wav"},
      {"mathiasbynens__small/AudioVideoInterleave.avi", "avi"},
      {"python-pillow__Pillow/Tests/images/hopper.ico", "ico"},
      {"mathiasbynens__small/ico.ico", "ico"},
      {"sbraz__pymediainfo/tests/data/sample.mp4", "mp4"},
  };
  for (const auto& [path, extension] : samples) {
    SCOPED_TRACE(path);
    const Bytes file = testing::ReadFileBytes(testing::CorpusPath(path));
    ASSERT_EQ(file.size(), truth.at(path));
    ExpectCarved(file, extension, file.size(), PngStart(), 2);
  }
}

TEST(CheckContentCorpus, DocumentsMatchTheirExtensions) {
  VELMIRA_REQUIRE_CORPUS(doc, "decalage2__olefile/tests/images/test-ole-file.doc");
  const std::pair<const char*, const char*> samples[] = {
      {"decalage2__olefile/tests/images/test-ole-file.doc", "doc"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.doc", "doc"},
      {"decalage2__oletools/tests/test-data/encrypted/encrypted.xls", "xls"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.xls", "xls"},
      {"python-excel__xlrd/tests/samples/Formate.xls", "xls"},
      {"exiftool__exiftool/t/images/FlashPix.ppt", "ppt"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.ppt", "ppt"},
      {"decalage2__oletools/tests/test-data/encrypted/encrypted.docx", "ole"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.docx", "docx"},
      {"python-openxml__python-docx/features/steps/test_files/doc-default.docx", "docx"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.xlsx", "xlsx"},
      {"python-excel__xlrd/tests/samples/sample.xlsx", "xlsx"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.pptx", "pptx"},
      {"scanny__python-pptx/features/steps/test_files/minimal.pptx", "pptx"},
      {"py-pdf__sample-files/001-trivial/minimal-document.pdf", "pdf"},
      {"log2timeline__dfvfs/test_data/zip/syslog.zip", "zip"},
      {"markokr__rarfile/test/files/rar3-subdirs.rar", "rar"},
      {"miurahr__py7zr/tests/data/copy.7z", "7z"},
      {"mathiasbynens__small/gzip.gz", "gz"},
      {"log2timeline__dfvfs/test_data/syslog.db", "db"},
      {"Binject__debug/pe/testdata/gcc-386-mingw-exec", "exe"},
      {"exiftool__exiftool/t/images/EXE.exe", "exe"},
  };
  for (const auto& [path, extension] : samples) {
    SCOPED_TRACE(path);
    const Bytes file = testing::ReadFileBytes(testing::CorpusPath(path));
    for (uint64_t at : kAlignments) {
      ImageBuilder image;
      image.Put(at, file).Size(at + SectorsOf(file.size()) + 8);
      const SectorSource source = image.Source();
      const ByteView first(image.bytes().data() + at * 512, 512);
      EXPECT_TRUE(CheckContent(first, extension, &source, 512, at)) << extension;
      EXPECT_FALSE(CheckContent(first, "jpg", &source, 512, at));
    }
  }
}

}  // namespace
}  // namespace velmira
