#include "engines/carving/signature_table.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>

#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;
using testing::Bytes;
using testing::ImageBuilder;
using testing::SampleOfType;

constexpr uint64_t kAt = 65;  // where samples sit in the test images

// Detects the type of the sample's first sector with the sample stored at
// sector kAt of an image, so that tests reading further sectors find them.
uint32_t DetectSample(const Bytes& sample, bool rowByRow = false) {
  ImageBuilder image;
  image.Put(kAt, sample).Size(kAt + 64);
  const SectorSource source = image.Source();
  CarvingState state;
  state.BeginSector(&source, 512, kAt, {});
  const ByteView sector(image.bytes().data() + kAt * 512, 512);
  return rowByRow ? DetectTypeRowByRow(sector, state) : DetectType(sector, state);
}

bool CheckSample(const Bytes& sample, std::string_view extension) {
  ImageBuilder image;
  image.Put(kAt, sample).Size(kAt + 64);
  const SectorSource source = image.Source();
  return CheckContent(ByteView(image.bytes().data() + kAt * 512, 512), extension, &source, 512, kAt);
}

TEST(SignatureTable, RowsAreWellFormed) {
  std::set<std::string> extensions;
  for (const SignatureRow& row : SignatureTable()) {
    const std::string ext = row.extension;
    ASSERT_NE(row.format, nullptr) << ext;
    EXPECT_NE(row.format->test, nullptr) << ext;
    EXPECT_NE(row.code, kNoType) << ext;
    EXPECT_TRUE(extensions.insert(ext).second) << "duplicate extension " << ext;
    for (char c : ext) EXPECT_TRUE(std::islower(static_cast<unsigned char>(c)) || std::isdigit(c)) << ext;
    EXPECT_GE(row.format->leadCount, 1) << ext << ": every format keys the dispatch";
  }
}

// Every row is exercised by a sample of its code: its content check passes,
// and detection finds the code unless an earlier row claims the sample (the
// zip row takes every ZIP archive, the compound rows every compound
// document; their length rules name the files). Adding a row without a
// sample fails here.
TEST(SignatureTable, EveryRowRecognisesItsSample) {
  const std::map<uint32_t, uint32_t> claimedEarlier = {{kTypeMsg, kTypeCompound},
                                                       {kTypeFla, kTypeCompound},
                                                       {kTypeOoxmlWord, kTypeZip},
                                                       {kTypeOoxmlExcel, kTypeZip},
                                                       {kTypeOoxmlPowerPoint, kTypeZip},
                                                       {kTypeOdt, kTypeZip},
                                                       {kTypeOds, kTypeZip},
                                                       {kTypeOdp, kTypeZip},
                                                       {kTypeEpub, kTypeZip},
                                                       {kTypeJar, kTypeZip},
                                                       {kTypeApk, kTypeZip}};
  for (const SignatureRow& row : SignatureTable()) {
    const Bytes sample = SampleOfType(row.code);
    if (row.code == kTypeOoxmlOther) {
      // The OOXML test never answers 7, so "mso07" files always fail.
      EXPECT_TRUE(sample.empty());
      EXPECT_FALSE(CheckSample(SampleOfType(kTypeOoxmlWord), row.extension));
      continue;
    }
    ASSERT_FALSE(sample.empty()) << "no sample for " << row.extension;
    EXPECT_TRUE(CheckSample(sample, row.extension)) << row.extension;
    const auto earlier = claimedEarlier.find(row.code);
    const uint32_t expected = earlier != claimedEarlier.end() ? earlier->second : row.code;
    EXPECT_EQ(DetectSample(sample), expected) << row.extension;
    EXPECT_EQ(DetectSample(sample, true), expected) << row.extension;
  }
}

TEST(SignatureTable, DispatchAgreesWithTheRowByRowOrder) {
  std::set<HeaderTest> seen;
  for (const SignatureRow& row : SignatureTable()) {
    const Bytes sample = SampleOfType(row.code);
    if (sample.empty() || !seen.insert(row.format->test).second) continue;
    ImageBuilder image;
    image.Put(kAt, sample).Size(kAt + 64);
    const SectorSource source = image.Source();
    // Damage each of the first 48 bytes in turn: the answers still agree.
    for (size_t at = 0; at < 48; ++at) {
      Bytes sector(image.bytes().begin() + kAt * 512, image.bytes().begin() + (kAt + 1) * 512);
      sector[at] ^= static_cast<uint8_t>(0x5A + at);
      CarvingState state;
      state.BeginSector(&source, 512, kAt, {});
      const ByteView view(sector.data(), sector.size());
      const uint32_t found = DetectTypeRowByRow(view, state);
      EXPECT_EQ(DetectType(view, state), found) << row.extension << " byte " << at;
      // The sweep offers the carver only the sectors it marks.
      uint8_t mark = 0;
      MarkHeaderCandidates(sector.data(), 1, 512, &mark, 4);
      EXPECT_TRUE(found == kNoType || mark == 4) << row.extension << " byte " << at;
    }
  }
  // Sectors of noise, of zeros and cut short, most of which carry no lead byte.
  const Bytes noise = testing::RandomBytes(4000 * 512, 21);
  const SectorSource none;
  std::vector<uint8_t> marks(4000, 0);
  MarkHeaderCandidates(noise.data(), 4000, 512, marks.data(), 1);
  for (size_t at = 0; at < noise.size(); at += 512) {
    CarvingState state;
    state.BeginSector(&none, 512, at / 512, {});
    for (const size_t size : {size_t{512}, size_t{100}}) {
      const ByteView view(noise.data() + at, size);
      const uint32_t found = DetectTypeRowByRow(view, state);
      EXPECT_EQ(DetectType(view, state), found) << "sector " << at / 512;
      EXPECT_TRUE(size != 512 || found == kNoType || marks[at / 512] == 1) << "sector " << at / 512;
    }
  }
  const Bytes zeros(512, 0);
  CarvingState state;
  EXPECT_EQ(DetectType(ByteView(zeros.data(), zeros.size()), state), kNoType);
}

TEST(SignatureTable, FindsRowsByCodeAndExtension) {
  EXPECT_STREQ(FindRowByCode(kTypeJpeg)->extension, "jpg");
  EXPECT_STREQ(FindRowByCode(kTypeMpeg)->extension, "mpeg");
  EXPECT_STREQ(FindRowByCode(kTypeAsf)->extension, "wmv");
  EXPECT_EQ(FindRowByCode(kNoType), nullptr);
  EXPECT_EQ(FindRowByExtension("JPEG")->code, kTypeJpeg);
  EXPECT_EQ(FindRowByExtension(".Tif")->code, kTypeTiff);
  EXPECT_EQ(FindRowByExtension("abc"), nullptr);
  EXPECT_EQ(FindRowByExtension(""), nullptr);
}

TEST(SignatureTable, SectorsConsumedFollowTheCarveStep) {
  const std::set<uint32_t> nextSector = {46};
  for (const SignatureRow& row : SignatureTable()) {
    const bool one = nextSector.count(row.code) != 0;
    EXPECT_EQ(row.format->step == CarveStep::kNextSector, one) << row.extension;
  }
  EXPECT_EQ(SectorsConsumed(*FindRowByCode(kTypeJpeg), 10000, 512), 20u);
  EXPECT_EQ(SectorsConsumed(*FindRowByCode(kTypeJpeg), 42, 512), 1u);
  EXPECT_EQ(SectorsConsumed(*FindRowByCode(kTypeAvi), 10000000, 512), 19532u);
}

TEST(HeaderTests, EdgeCases) {
  // FF D8 FF DB (no JFIF or Exif marker) starts a JPEG when its segment
  // length leads to another marker, and none when it does not.
  Bytes raw = SampleOfType(kTypeJpeg);
  raw[3] = 0xDB;
  EXPECT_EQ(DetectSample(raw), kTypeJpeg);
  raw[5] = 0x11;
  EXPECT_EQ(DetectSample(raw), kNoType);
  // Exif pictures are JPEGs too.
  Bytes exif = SampleOfType(kTypeJpeg);
  testing::PutBytes(exif, 3,
                    "\xE1\x00\x10"
                    "Exif"sv);
  EXPECT_EQ(DetectSample(exif), kTypeJpeg);
  // A file named .abc (no row) always passes the content check.
  EXPECT_TRUE(CheckSample(Bytes(512, 0x11), "abc"));
  EXPECT_TRUE(CheckSample(Bytes(512, 0x11), ""));
  // A .xls whose compound document holds a Word document fails.
  EXPECT_FALSE(CheckSample(SampleOfType(kTypeDoc), "xls"));
  EXPECT_TRUE(CheckSample(SampleOfType(kTypeDoc), "DOC"));
  // A .jpg that is really a PNG fails.
  EXPECT_FALSE(CheckSample(SampleOfType(kTypePng), "jpg"));
  // A camera raw file is a TIFF; a plain TIFF sector may be a Nikon, Sony or
  // DNG raw whose Make text or DNG tag lies further on, but never a CR2 or ORF.
  EXPECT_TRUE(CheckSample(SampleOfType(kTypeNef), "tif"));
  EXPECT_TRUE(CheckSample(SampleOfType(kTypeCr2), "tiff"));
  EXPECT_TRUE(CheckSample(SampleOfType(kTypeTiff), "nef"));
  EXPECT_TRUE(CheckSample(SampleOfType(kTypeTiff), "dng"));
  EXPECT_FALSE(CheckSample(SampleOfType(kTypeTiff), "cr2"));
  EXPECT_FALSE(CheckSample(SampleOfType(kTypeNef), "arw"));
  EXPECT_FALSE(CheckSample(SampleOfType(kTypeOrf), "tif"));
  // A library is no program.
  EXPECT_FALSE(CheckSample(SampleOfType(kTypeDll), "exe"));
  EXPECT_TRUE(CheckSample(SampleOfType(kTypeDll), "dll"));
  // A QuickTime movie that opens with its movie atom: the atom's size comes
  // first, its type "moov" at offset 4. The bare text at offset 0 is no atom.
  Bytes movie(64, 0);
  testing::PutBytes(movie, 0, "\x00\x00\x0F\x17moov\x00\x00\x00\x6Cmvhd"sv);
  EXPECT_EQ(DetectSample(movie), kTypeMov);
  EXPECT_EQ(DetectSample(movie, true), kTypeMov);
  EXPECT_TRUE(CheckSample(movie, "mov"));
  Bytes text(64, 0);
  testing::PutBytes(text, 0, "moov and more text"sv);
  EXPECT_EQ(DetectSample(text), kNoType);
  EXPECT_FALSE(CheckSample(text, "mov"));
}

// Headers that are almost right, cut short, or hostile: each is rejected
// and none makes a test read outside its bytes.
TEST(HeaderTests, RejectDamagedHeaders) {
  struct Case {
    const char* what;
    uint32_t code;
    std::function<void(Bytes&)> damage;
  };
  const Case cases[] = {
      {"bmp reserved word set", kTypeBmp, [](Bytes& b) { b[6] = 1; }},
      {"bmp core header", kTypeBmp, [](Bytes& b) { testing::PutLe32(b, 14, 12); }},
      {"gif version letter upper case", kTypeGif, [](Bytes& b) { b[5] = 'A'; }},
      {"ico without images", kTypeIco, [](Bytes& b) { testing::PutLe16(b, 4, 0); }},
      {"ico image not where the directory ends", kTypeIco, [](Bytes& b) { testing::PutLe32(b, 18, 23); }},
      {"ico directory larger than the sector", kTypeIco, [](Bytes& b) { testing::PutLe16(b, 4, 0xFFFF); }},
      {"ico entry byte 3 set", kTypeIco, [](Bytes& b) { b[9] = 1; }},
      {"mp3 size byte not sync-safe", kTypeMp3, [](Bytes& b) { b[7] = 0x80; }},
      {"mp3 undefined flags", kTypeMp3, [](Bytes& b) { b[5] = 0x01; }},
      {"midi header length", kTypeMidi, [](Bytes& b) { b[7] = 7; }},
      {"swf compressed version 5", kTypeSwf, [](Bytes& b) { b[0] = 'C'; }},
      {"pe offset beyond 488", kTypeExe, [](Bytes& b) { testing::PutLe32(b, 60, 489); }},
      {"pe offset huge", kTypeExe, [](Bytes& b) { testing::PutLe32(b, 60, 0xFFFFFFF0); }},
      {"pe not executable", kTypeExe, [](Bytes& b) { testing::PutLe16(b, 0x80 + 22, 0x0100); }},
      {"gzip unknown extra flags", kTypeGzip, [](Bytes& b) { b[8] = 1; }},
      {"gzip reserved flag", kTypeGzip, [](Bytes& b) { b[3] = 0x28; }},
      {"ttf no tables", kTypeTtf, [](Bytes& b) { b[5] = 0; }},
      {"ttf directory beyond the sector", kTypeTtf, [](Bytes& b) { testing::PutBe16(b, 4, 0x4000); }},
      {"pst without SM", kTypePst, [](Bytes& b) { b[9] = 'X'; }},
      {"mpeg without system header", kTypeMpeg, [](Bytes& b) { b[17] = 0xBC; }},
      {"mp4 brand", kTypeMp4, [](Bytes& b) { b[8] = 0x01; }},
      {"ts sync gone in the second packet", kTypeTs, [](Bytes& b) { b[188] = 0x46; }},
      {"ts sync gone in packet 21", kTypeTs, [](Bytes& b) { b[21 * 188] = 0; }},
      {"ts null packet header", kTypeTs, [](Bytes& b) { b[1] = 0, b[2] = 0, b[3] = 0; }},
  };
  for (const Case& c : cases) {
    Bytes sample = SampleOfType(c.code);
    c.damage(sample);
    EXPECT_NE(DetectSample(sample), c.code) << c.what;
  }
  // Every sample cut short, down to nothing, is refused or recognised without
  // reading past the bytes given (the sanitizer build checks the reads).
  CarvingState state;
  for (const SignatureRow& row : SignatureTable()) {
    const Bytes sample = SampleOfType(row.code);
    for (size_t n = 0; n < std::min<size_t>(sample.size(), 64); ++n) {
      const Bytes cut(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(n));
      (void)row.format->test(ByteView(cut.data(), cut.size()), state);
      (void)DetectType(ByteView(cut.data(), cut.size()), state);
    }
  }
}

TEST(HeaderTests, CompoundDocumentsByClassAndStreamName) {
  // A workbook told by the name of its stream, not by its first stream word.
  Bytes workbook = SampleOfType(kTypeXls);
  testing::PutLe16(workbook, 512, 0);
  EXPECT_TRUE(CheckSample(workbook, "xls"));
  // Excel 5 workbooks name their stream "Book".
  Bytes book = SampleOfType(kTypeCompound);
  testing::PutBytes(book, 1024 + 128, Bytes(64, 0));
  for (size_t i = 0; i < 4; ++i) testing::PutLe16(book, 1024 + 128 + 2 * i, "Book"[i]);
  EXPECT_TRUE(CheckSample(book, "xls"));
  // Word's class id on the root entry.
  Bytes word = SampleOfType(kTypeCompound);
  testing::PutBytes(word, 1024 + 80, "\x06\x09\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46"sv);
  EXPECT_TRUE(CheckSample(word, "doc"));
  // A directory beyond the medium: only "ole" fits.
  Bytes lost = SampleOfType(kTypeCompound);
  testing::PutLe32(lost, 48, 0xFFFFFFF0);
  EXPECT_TRUE(CheckSample(lost, "ole"));
  EXPECT_FALSE(CheckSample(lost, "doc"));
  // Documents with 4,096-byte sectors keep their first stream 4,096 bytes in.
  Bytes v4(4096 * 3, 0);
  testing::PutBytes(v4, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv);
  testing::PutLe16(v4, 30, 12);
  testing::PutLe32(v4, 48, 1);
  testing::PutLe16(v4, 4096, 0x0809);
  EXPECT_TRUE(CheckSample(v4, "xls"));
}

TEST(HeaderTests, TransportStreamStrictness) {
  const Bytes stream = SampleOfType(kTypeTs);
  ImageBuilder image;
  image.Put(kAt, stream).Size(kAt + 40);
  const SectorSource source = image.Source();
  auto detect = [&](uint64_t sector, CarvingState& state) {
    state.BeginSector(&source, 512, sector, {});
    return DetectType(ByteView(image.bytes().data() + sector * 512, 512), state);
  };
  CarvingState state;
  EXPECT_EQ(detect(kAt, state), kTypeTs);
  state.tsStrict = true;
  EXPECT_EQ(detect(kAt, state), kTypeTs) << "the sector before holds no packets";
  // 47 sectors are 128 packets, so sector kAt + 47 starts a packet again; the
  // sector before it carries the stream's packets where they would continue.
  ImageBuilder longer;
  longer.Put(kAt, testing::TransportStream(200)).Size(kAt + 80);
  const SectorSource longSource = longer.Source();
  CarvingState strict;
  strict.BeginSector(&longSource, 512, kAt + 47, {});
  const ByteView inside(longer.bytes().data() + (kAt + 47) * 512, 512);
  EXPECT_EQ(DetectType(inside, strict), kTypeTs) << "alone it looks like a start";
  strict.tsStrict = true;
  EXPECT_EQ(DetectType(inside, strict), kNoType) << "it continues the sector before";
  state.streamRanges.push_back({kAt, kAt + 10});
  EXPECT_EQ(detect(kAt, state), kNoType) << "inside a stream already carved";
  // Without a source the probe read fails.
  CarvingState alone;
  EXPECT_EQ(DetectType(ByteView(stream.data(), 512), alone), kNoType);
}

TEST(FileSystemStructure, RecognisesMetadataSectors) {
  auto sector = [](std::string_view head, size_t at = 0) {
    Bytes b(512, 0x20);
    testing::PutBytes(b, at, head);
    return b;
  };
  auto is = [](const Bytes& b) { return IsFileSystemStructure(ByteView(b.data(), b.size())); };
  EXPECT_TRUE(is(sector("FILE0")));
  EXPECT_TRUE(is(sector("INDX(")));
  Bytes rstr = sector("RSTR");
  testing::PutBytes(rstr, 100, "N\0T\0F\0S\0"sv);
  EXPECT_TRUE(is(rstr));
  EXPECT_FALSE(is(sector("RSTR")));
  EXPECT_TRUE(is(sector("$\0S\0T\0A\0"sv)));
  for (std::string_view oem : {"MSDOS5.0"sv, "MSWIN4.1"sv, "NTFS    "sv, "EXFAT   "sv}) {
    Bytes boot = sector(oem, 3);
    boot[0] = 0xEB, boot[2] = 0x90;
    EXPECT_TRUE(is(boot)) << oem;
  }
  Bytes mkfs = sector("mkfs.fat", 3);
  mkfs[0] = 0xEB, mkfs[2] = 0x90;
  EXPECT_FALSE(is(mkfs));
  EXPECT_FALSE(is(Bytes(512, 0)));
  Bytes shortRecord = sector("FILE0");
  shortRecord.resize(31);
  EXPECT_FALSE(is(shortRecord));
}

}  // namespace
}  // namespace velmira
