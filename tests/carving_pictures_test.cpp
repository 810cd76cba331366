// Carving pictures and camera raw files to their exact ends: real samples in
// noise, files made with Debian's tools, pictures back to back, and false or
// broken headers that must give no file.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engines/carving/carve_sweep.h"
#include "engines/carving/file_type_recovery.h"
#include "engines/carving/signature_table.h"
#include "platform/errors.h"
#include "results/found_record.h"
#include "tests/fixtures/carving_expect.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;
using testing::Bytes;
using testing::CarveAt;
using testing::Carved;
using testing::CarveInNoise;
using testing::Concat;
using testing::ExpectWholeInNoise;
using testing::ImageBuilder;
using testing::PutBytes;
using testing::SampleOfType;

uint64_t SectorsOf(uint64_t bytes) {
  return (bytes + 511) / 512;
}

// Two files laid back to back (the second from the sector after the
// first's last) in noise: each is carved whole.
void ExpectBackToBack(const Bytes& a, const Bytes& b, std::string_view extension) {
  const uint64_t first = 3;
  const uint64_t second = first + SectorsOf(a.size());
  ImageBuilder image;
  image.Put(0, testing::RandomBytes((second + SectorsOf(b.size()) + 6) * 512, 77));
  image.Put(first, a).Put(second, b);
  const Carved one = CarveAt(image.Source(), first);
  const Carved two = CarveAt(image.Source(), second);
  EXPECT_EQ(one.Extension(), extension);
  EXPECT_EQ(one.length, a.size());
  EXPECT_EQ(two.Extension(), extension);
  EXPECT_EQ(two.length, b.size());
}

Bytes Corpus(const std::string& path) {
  return testing::ReadFileBytes(testing::CorpusPath(path));
}

struct Sample {
  const char* path;
  const char* extension;
};

// Samples from the corpus: Exif thumbnails and previews, a multi-picture
// file, interlaced PNG, animated GIF, bitmaps with OS/2, 40-byte and V5
// headers, run-length bitmaps, TIFF in both byte orders with strips,
// several pages, LZW and deflate.
constexpr Sample kCorpusPictures[] = {
    {"python-pillow__Pillow/Tests/images/hopper.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/app13.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/flower.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/flower2.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/exif-72dpi-int.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/exif_gps.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/pil_sample_cmyk.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/sugarshack.mpo", "jpg"},
    {"python-openxml__python-docx/features/steps/test_files/court-exif.jpg", "jpg"},
    {"python-openxml__python-docx/tests/test_files/exif-420-dpi.jpg", "jpg"},
    {"recurser__exif-orientation-examples/Landscape_6.jpg", "jpg"},
    {"mathiasbynens__small/jpeg.jpg", "jpg"},
    {"py-pdf__sample-files/007-imagemagick-images/smile.jpg", "jpg"},
    {"python-pillow__Pillow/Tests/images/hopper.png", "png"},
    {"python-pillow__Pillow/Tests/images/pil123rgba.png", "png"},
    {"mathiasbynens__small/png-transparent.png", "png"},
    {"python-openxml__python-docx/tests/test_files/monty-truth.png", "png"},
    {"python-pillow__Pillow/Tests/images/iss634.gif", "gif"},
    {"python-pillow__Pillow/Tests/images/dispose_bgnd.gif", "gif"},
    {"mathiasbynens__small/gif-transparent.gif", "gif"},
    {"mathiasbynens__small/gif.gif", "gif"},
    {"python-openxml__python-docx/tests/test_files/sonic.gif", "gif"},
    {"mathiasbynens__small/bmp.bmp", "bmp"},
    {"python-pillow__Pillow/Tests/images/hopper.bmp", "bmp"},
    {"python-pillow__Pillow/Tests/images/bmp/g/rgb24.bmp", "bmp"},
    {"python-pillow__Pillow/Tests/images/bmp/g/rgb32.bmp", "bmp"},
    {"python-pillow__Pillow/Tests/images/hopper_rle8.bmp", "bmp"},
    {"python-openxml__python-docx/features/steps/test_files/mountain.bmp", "bmp"},
    {"python-pillow__Pillow/Tests/images/hopper.tif", "tif"},
    {"python-pillow__Pillow/Tests/images/hopper_lzw.tif", "tif"},
    {"python-pillow__Pillow/Tests/images/hopper_g4_500.tif", "tif"},
    {"python-pillow__Pillow/Tests/images/multipage.tiff", "tif"},
    {"python-openxml__python-docx/tests/test_files/72-dpi.tiff", "tif"},
    {"python-openxml__python-docx/tests/test_files/300-dpi.TIF", "tif"},
    {"python-openxml__python-docx/tests/test_files/little-endian.tif", "tif"},
    {"py-pdf__sample-files/007-imagemagick-images/smile.tiff", "tif"},
    {"python-pillow__Pillow/Tests/images/hopper.ico", "ico"},
};

TEST(CarvePicturesCorpus, ExactInNoiseAtBothOffsets) {
  VELMIRA_REQUIRE_CORPUS(tsv, "_truth/media_files.tsv");
  for (const Sample& s : kCorpusPictures) {
    SCOPED_TRACE(s.path);
    const Bytes file = Corpus(s.path);
    ASSERT_FALSE(file.empty());
    ExpectWholeInNoise(file, s.extension);
  }
  // A TIFF without its last next-IFD pointer ends at its table when noise
  // follows (the noise is no pointer to a directory).
  const Bytes tiny = Corpus("mathiasbynens__small/tiff.tif");
  EXPECT_EQ(CarveInNoise(tiny, 65, true).length, tiny.size());
  // The multi-picture file runs to its second picture's end.
  EXPECT_EQ(Corpus("python-pillow__Pillow/Tests/images/sugarshack.mpo").size(), 120198u);
}

TEST(CarvePicturesCorpus, SameFormatBackToBack) {
  VELMIRA_REQUIRE_CORPUS(tsv, "_truth/media_files.tsv");
  const Sample pairs[][2] = {
      {{"python-pillow__Pillow/Tests/images/flower.jpg", "jpg"},
       {"python-pillow__Pillow/Tests/images/hopper.jpg", "jpg"}},
      {{"python-pillow__Pillow/Tests/images/sugarshack.mpo", "jpg"},
       {"python-pillow__Pillow/Tests/images/flower2.jpg", "jpg"}},
      {{"python-pillow__Pillow/Tests/images/hopper.png", "png"},
       {"mathiasbynens__small/png-transparent.png", "png"}},
      {{"python-pillow__Pillow/Tests/images/hopper.gif", "gif"}, {"mathiasbynens__small/gif.gif", "gif"}},
      {{"python-pillow__Pillow/Tests/images/hopper.bmp", "bmp"}, {"mathiasbynens__small/bmp.bmp", "bmp"}},
      {{"python-pillow__Pillow/Tests/images/hopper.tif", "tif"},
       {"python-pillow__Pillow/Tests/images/multipage.tiff", "tif"}},
  };
  for (const auto& pair : pairs) {
    SCOPED_TRACE(std::string(pair[0].path) + " then " + pair[1].path);
    ExpectBackToBack(Corpus(pair[0].path), Corpus(pair[1].path), pair[0].extension);
  }
}

// The whole sweep over a medium of every corpus picture (some back to back,
// others apart in noise, with noise or zeros after each in its sector)
// finds each picture once, whole, and nothing else: thumbnails and
// previews inside them are no files of their own.
TEST(CarvePicturesCorpus, SweepFindsEachPictureOnceAndWhole) {
  VELMIRA_REQUIRE_CORPUS(tsv, "_truth/media_files.tsv");
  testing::ScopedDataHome home;
  testing::TempDir dir;
  std::vector<std::pair<uint64_t, Bytes>> laid;
  uint64_t sector = 2;
  int k = 0;
  for (const Sample& s : kCorpusPictures) {
    Bytes file = Corpus(s.path);
    laid.emplace_back(sector, file);
    if (++k % 2 == 0) file.resize(SectorsOf(file.size()) * 512, 0);
    sector += SectorsOf(file.size()) + (k % 3 == 0 ? 0 : 1 + k % 5);
  }
  ImageBuilder image;
  image.Put(0, testing::RandomBytes((sector + 4) * 512, 21));
  for (size_t i = 0; i < laid.size(); ++i) {
    Bytes placed = laid[i].second;
    if (i % 2 == 1) placed.resize(SectorsOf(placed.size()) * 512, 0);
    image.Put(laid[i].first, placed);
  }
  const std::string path = dir.File("pictures.img");
  testing::WriteFileBytes(path, image.bytes());
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImage(path, 1001), kOk);
  CarveSweepResult swept;
  ASSERT_EQ(CarveSweep(engine, 0, engine.Source().sectorCount, nullptr, nullptr, swept), kOk);
  std::vector<FoundRecord> records;
  ASSERT_EQ(engine.ListChildren(nullptr, 0, records), kOk);
  std::map<uint64_t, uint64_t> found;
  for (const FoundRecord& r : records) found[uint64_t{r.entrySector}] = uint64_t{r.size};
  for (const auto& [at, file] : laid) {
    SCOPED_TRACE("picture at sector " + std::to_string(at));
    ASSERT_EQ(found.count(at), 1u);
    EXPECT_EQ(found[at], file.size());
    found.erase(at);
  }
  EXPECT_TRUE(found.empty()) << found.size() << " more files, the first at sector " << found.begin()->first;
}

// Every picture and raw kind from the fixtures' samples, named by its own
// row: TIFF strips, a CR2 raw IFD named only by the header, NEF (big-endian)
// and ARW with a SubIFD, DNG tiles, ORF and RW2 headers, RAF regions, PSD.
TEST(CarvePictures, SamplesOfEveryKind) {
  const uint32_t codes[] = {kTypeJpeg, kTypePng, kTypeGif, kTypeBmp, kTypeTiff, kTypeCr2, kTypeNef,
                            kTypeArw,  kTypeDng, kTypeOrf, kTypeRw2, kTypeRaf,  kTypePsd, kTypeIco};
  for (uint32_t code : codes) {
    const SignatureRow* row = FindRowByCode(code);
    ASSERT_NE(row, nullptr) << code;
    SCOPED_TRACE(row->extension);
    const Bytes sample = SampleOfType(code);
    ExpectWholeInNoise(sample, row->extension);
    ExpectBackToBack(sample, sample, row->extension);
  }
}

// A JPEG whose first segment is `first` (marker and body), then the
// fixture's tables, frame and scan.
Bytes JpegLedBy(std::string_view first) {
  Bytes b = testing::BytesOf("\xFF\xD8"sv);
  PutBytes(b, 2, first);
  const Bytes picture = testing::JpegPicture(3000, 8);
  b.insert(b.end(), picture.begin() + 20, picture.end());  // without SOI and APP0
  return b;
}

TEST(CarveJpegStructure, HeaderFormsAndWhatEndsThePicture) {
  const Bytes photoshop = JpegLedBy("\xFF\xED\x00\x12Photoshop 3.0\x00\x38\x42"sv);
  const Bytes adobe = JpegLedBy(
      "\xFF\xEE\x00\x0E"
      "Adobe\x00\x64\x00\x00\x00\x00\x01"sv);
  const Bytes comment = JpegLedBy("\xFF\xFE\x00\x07hello"sv);
  const Bytes tables = JpegLedBy(""sv);  // the quantisation table comes first
  Bytes frameFirst = testing::BytesOf("\xFF\xD8\xFF\xC2\x00\x0B\x08\x00\x10\x00\x10\x01\x01\x11\x00"sv);
  PutBytes(frameFirst, frameFirst.size(), "\xFF\xC4\x00\x14\x00\x01"sv);
  PutBytes(frameFirst, frameFirst.size(), Bytes(16, 0));
  PutBytes(frameFirst, frameFirst.size(), "\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00"sv);
  // Entropy data with stuffed bytes and restart markers, then a second
  // (progressive) scan with its own table before the end.
  PutBytes(frameFirst, frameFirst.size(), testing::Noise(900, 3));
  PutBytes(frameFirst, frameFirst.size(), "\x12\xFF\x00\x34\xFF\xD0\x56\xFF\xFF\xD1\x78"sv);
  PutBytes(frameFirst, frameFirst.size(), "\xFF\xC4\x00\x14\x10\x01"sv);
  PutBytes(frameFirst, frameFirst.size(), Bytes(16, 0));
  PutBytes(frameFirst, frameFirst.size(), "\xFF\xDA\x00\x08\x01\x01\x00\x01\x3F\x00"sv);
  PutBytes(frameFirst, frameFirst.size(), testing::Noise(1500, 4));
  PutBytes(frameFirst, frameFirst.size(), "\xFF\xD9"sv);
  // The Huffman table ahead of the frame.
  Bytes tableFirst = frameFirst;
  std::rotate(tableFirst.begin() + 2, tableFirst.begin() + 15, tableFirst.begin() + 37);
  for (const Bytes* jpeg :
       std::initializer_list<const Bytes*>{&photoshop, &adobe, &comment, &tables, &frameFirst, &tableFirst}) {
    ExpectWholeInNoise(*jpeg, "jpg");
  }

  // A thumbnail inside APP1 ends neither the picture nor is carved alone:
  // the carved file covers it.
  Bytes exif = testing::BytesOf(
      "\xFF\xD8\xFF\xE1\x00\x00"
      "Exif\x00\x00"sv);
  const Bytes thumbnail = testing::JpegPicture(1200, 5);
  PutBytes(exif, exif.size(), thumbnail);
  testing::PutBe16(exif, 4, static_cast<uint16_t>(exif.size() - 4));
  const Bytes main = testing::JpegPicture(5000, 6);
  exif.insert(exif.end(), main.begin() + 2, main.end());
  ExpectWholeInNoise(exif, "jpg");
  ExpectBackToBack(exif, main, "jpg");
}

TEST(CarveJpegStructure, FalseAndBrokenPicturesGiveNoFile) {
  const Bytes head = testing::JpegHead();
  struct Case {
    const char* what;
    Bytes bytes;
  };
  Bytes noScan(head.begin(), head.end() - 10);  // tables and frame, then zeros
  Bytes scanWithoutFrame = testing::JpegPicture(500, 2);
  scanWithoutFrame[20 + 69 + 1] = 0xFE;  // the frame becomes a comment
  Bytes soiInside = testing::JpegPicture(500, 2);
  soiInside[20 + 1] = 0xD8;
  Bytes badScanHeader = testing::JpegPicture(500, 2);
  badScanHeader[head.size() - 10 + 3] = 0x09;
  const Case cases[] = {
      {"bare header then zeros", Bytes(head.begin(), head.begin() + 20)},
      {"tables without a scan", noScan},
      {"scan without a frame", scanWithoutFrame},
      {"start-of-image inside", soiInside},
      {"scan header length", badScanHeader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool noisy : {true, false}) EXPECT_EQ(CarveInNoise(c.bytes, 65, noisy).row, nullptr);
  }

  // A medium with a JPEG header at the start of every sector gives no file.
  ImageBuilder image;
  image.Put(0, testing::RandomBytes(300 * 512, 5));
  const size_t prefixes[] = {20, 89, 124};  // APP0; then its tables; then the frame too
  for (uint64_t k = 0; k < 300; ++k) image.Put(k, Bytes(head.begin(), head.begin() + prefixes[k % 3]));
  const SectorSource source = image.Source();
  for (uint64_t k = 0; k < 300; ++k) EXPECT_EQ(CarveAt(source, k).row, nullptr) << k;

  // A picture whose end was lost keeps its scan up to the next file.
  const Bytes lost = Concat({head, testing::Noise(3000, 9)});
  ImageBuilder cut;
  cut.Put(4, lost).Put(4 + SectorsOf(lost.size()), SampleOfType(kTypePng)).Size(40);
  const Carved carved = CarveAt(cut.Source(), 4);
  EXPECT_EQ(carved.Extension(), "jpg");
  EXPECT_EQ(carved.length, SectorsOf(lost.size()) * 512);
}

// Pictures made by Debian's tools: progressive and restart-marked JPEGs
// (libjpeg-turbo-progs), tiled, BigTIFF and big-endian TIFF (libtiff-tools).
TEST(CarvePicturesMadeByTools, JpegAndTiffForms) {
  VELMIRA_REQUIRE_TOOL("cjpeg");
  VELMIRA_REQUIRE_TOOL("tiffcp");
  testing::TempDir dir;
  // A noisy 96 x 64 picture as a PPM.
  Bytes ppm = testing::BytesOf("P6\n96 64\n255\n"sv);
  PutBytes(ppm, ppm.size(), testing::RandomBytes(96 * 64 * 3, 4));
  testing::WriteFileBytes(dir.File("in.ppm"), ppm);
  const std::string in = testing::ShellQuote(dir.File("in.ppm"));
  const std::pair<const char*, std::string> jpegs[] = {
      {"progressive.jpg", "cjpeg -progressive " + in},
      {"restart.jpg", "cjpeg -restart 1 " + in},
      {"optimised.jpg", "cjpeg -optimize -quality 40 -grayscale " + in},
      {"arithmetic.jpg", "cjpeg -arithmetic " + in},
  };
  for (const auto& [name, command] : jpegs) {
    SCOPED_TRACE(name);
    if (!testing::RunQuiet(command + " > " + testing::ShellQuote(dir.File(name))))
      continue;  // an option this build lacks
    ExpectWholeInNoise(testing::ReadFileBytes(dir.File(name)), "jpg");
  }

  VELMIRA_REQUIRE_CORPUS(hopper, "python-pillow__Pillow/Tests/images/hopper.tif");
  const std::pair<const char*, const char*> tiffs[] = {
      {"tiled.tif", "-t -w 32 -l 32"}, {"big.tif", "-8"}, {"motorola.tif", "-B"}, {"lzw.tif", "-c lzw -r 16"},
      {"bigtiles.tif", "-8 -t -B"},
  };
  for (const auto& [name, options] : tiffs) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(testing::RunQuiet(std::string("tiffcp ") + options + " " + testing::ShellQuote(hopper) + " " +
                                  testing::ShellQuote(dir.File(name))));
    ExpectWholeInNoise(testing::ReadFileBytes(dir.File(name)), "tif");
  }
}

// Headers whose structure does not hold, and damage found by the walks.
TEST(CarvePictures, BrokenStructuresGiveNoFile) {
  struct Case {
    const char* what;
    uint32_t code;
    void (*damage)(Bytes&);
  };
  const Case cases[] = {
      {"png IHDR CRC", kTypePng, [](Bytes& b) { b[29] ^= 1; }},
      {"png without IDAT nor IEND", kTypePng, [](Bytes& b) { b.resize(33); }},
      {"gif block kind", kTypeGif, [](Bytes& b) { b[19] = 0x2D; }},
      {"gif LZW code size", kTypeGif, [](Bytes& b) { b[29] = 0x0D; }},
      {"bmp size field beyond its pixels", kTypeBmp, [](Bytes& b) { testing::PutLe32(b, 2, 1094 + 8000); }},
      {"bmp size field short of its pixels", kTypeBmp, [](Bytes& b) { testing::PutLe32(b, 2, 1000); }},
      {"bmp planes", kTypeBmp, [](Bytes& b) { testing::PutLe16(b, 26, 2); }},
      {"tiff first IFD of no known types", kTypeTiff,
       [](Bytes& b) {
         for (size_t e = 10; e < 10 + 8 * 12; e += 12) b[e + 2] = 0x77;
       }},
      {"tiff first IFD odd", kTypeTiff, [](Bytes& b) { b[4] = 9; }},
      {"tiff first IFD empty", kTypeTiff, [](Bytes& b) { b[8] = 0; }},
      {"raf preview not a JPEG", kTypeRaf, [](Bytes& b) { b[0x100] = 0; }},
      {"psd resources not 8BIM", kTypePsd, [](Bytes& b) { testing::PutBe32(b, 30, 4); }},
      {"psd compression", kTypePsd, [](Bytes& b) { b[39] = 7; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes sample = SampleOfType(c.code);
    c.damage(sample);
    for (bool noisy : {true, false}) EXPECT_EQ(CarveInNoise(sample, 65, noisy).row, nullptr);
  }
}

// Raw data led only by its offset (RW2) runs to the next file.
TEST(CarvePictures, RawDataWithoutALengthRunsToTheNextFile) {
  testing::TiffBuilder t("IIU\x00"sv);
  const uint32_t ifd = t.Ifd({{256, 3, 1, 64}, {257, 3, 1, 64}, {0x118, 4, 1, 0}});
  t.SetFirstIfd(ifd);
  t.Patch(ifd, 2, t.Blob(testing::Noise(3000, 12)));
  const Bytes rw2 = t.bytes();
  ImageBuilder image;
  image.Put(0, testing::RandomBytes(40 * 512, 3));
  image.Put(5, rw2).Put(5 + SectorsOf(rw2.size()), SampleOfType(kTypePng));
  const Carved carved = CarveAt(image.Source(), 5);
  EXPECT_EQ(carved.Extension(), "rw2");
  EXPECT_EQ(carved.length, SectorsOf(rw2.size()) * 512);
}

// A camera may write its Make text past the first sector: the header test
// sees a plain TIFF, and the length rule names the file once it reads it.
TEST(CarvePictures, RawFileNamedByAMakeTextPastItsFirstSector) {
  for (const auto& [make, extension] : {std::pair{"NIKON CORPORATION\0"sv, "nef"}, {"SONY\0"sv, "arw"}}) {
    testing::TiffBuilder t("MM\x00\x2A"sv);
    const uint32_t ifd0 = t.Ifd({{256, 3, 1, 8},
                                 {257, 3, 1, 8},
                                 {271, 2, static_cast<uint32_t>(make.size()), 0},
                                 {273, 4, 1, 0},
                                 {279, 4, 1, 700},
                                 {330, 4, 1, 0}});
    t.SetFirstIfd(ifd0);
    t.Patch(ifd0, 3, t.Blob(testing::Noise(700, 5)));  // the preview, ahead of the text
    t.Patch(ifd0, 2, t.Blob(testing::BytesOf(make)));
    const uint32_t raw = t.Ifd({{256, 3, 1, 16}, {257, 3, 1, 16}, {273, 4, 1, 0}, {279, 4, 1, 512}});
    t.Patch(raw, 2, t.Blob(testing::Noise(512, 6)));
    t.Patch(ifd0, 5, raw);
    SCOPED_TRACE(extension);
    ExpectWholeInNoise(t.bytes(), extension);
  }
}

// Damaged samples never crash a walk nor give more than the medium holds.
TEST(CarvePictures, DamagedSamplesStayInsideTheMedium) {
  const uint32_t codes[] = {kTypeJpeg, kTypePng, kTypeGif, kTypeBmp, kTypeTiff,
                            kTypeCr2,  kTypeNef, kTypeDng, kTypeRaf, kTypePsd};
  uint32_t seed = 1;
  for (uint32_t code : codes) {
    const Bytes sample = SampleOfType(code);
    for (int round = 0; round < 150; ++round) {
      Bytes damaged = sample;
      const Bytes noise = testing::RandomBytes(8, ++seed);
      for (size_t k = 0; k < 4; ++k)
        damaged[(noise[2 * k] * 131u + noise[2 * k + 1] + round) % damaged.size()] = noise[k + 4];
      const Carved carved = CarveInNoise(damaged, 3, round % 2 == 0);
      EXPECT_LE(carved.length, (3 + SectorsOf(damaged.size()) + 8) * 512) << code << " round " << round;
    }
  }
}

// Bitmap header forms and lengths: V4 and OS/2 1.x, and run-length PSD rows.
TEST(CarvePictures, BitmapHeadersAndPsdRows) {
  // V4: 108-byte header, 24-bit rows of 5 pixels padded to 16 bytes.
  Bytes v4 = testing::BytesOf("BM");
  testing::PutLe32(v4, 10, 14 + 108);
  testing::PutLe32(v4, 14, 108);
  testing::PutLe32(v4, 18, 5);
  testing::PutLe32(v4, 22, static_cast<uint32_t>(-7));  // top-down
  testing::PutLe16(v4, 26, 1);
  testing::PutLe16(v4, 28, 24);
  PutBytes(v4, 14 + 108, testing::Noise(16 * 7, 3));
  testing::PutLe32(v4, 2, static_cast<uint32_t>(v4.size()));
  // OS/2 1.x: 12-byte header, 8-bit palette of 256 triplets, 3 x 3 pixels.
  Bytes os2 = testing::BytesOf("BM");
  testing::PutLe32(os2, 10, 14 + 12 + 768);
  testing::PutLe32(os2, 14, 12);
  testing::PutLe16(os2, 18, 3);
  testing::PutLe16(os2, 20, 3);
  testing::PutLe16(os2, 22, 1);
  testing::PutLe16(os2, 24, 8);
  PutBytes(os2, 26, testing::Noise(768 + 12, 4));
  testing::PutLe32(os2, 2, static_cast<uint32_t>(os2.size()));
  // PSD with run-length rows: 3 channels x 2 rows of byte counts, then rows.
  Bytes rle = SampleOfType(kTypePsd);
  rle.resize(26 + 12);
  PutBytes(rle, rle.size(), "\x00\x01"sv);
  for (uint16_t row = 0; row < 6; ++row)
    testing::PutBe16(rle, rle.size(), static_cast<uint16_t>(3 + row % 2));
  PutBytes(rle, rle.size(), testing::Noise(3 * 3 + 3 * 4, 6));
  for (const Bytes* file : std::initializer_list<const Bytes*>{&v4, &os2}) {
    ExpectWholeInNoise(*file, "bmp");
    ExpectBackToBack(*file, *file, "bmp");
  }
  ExpectWholeInNoise(rle, "psd");
}

}  // namespace
}  // namespace velmira
