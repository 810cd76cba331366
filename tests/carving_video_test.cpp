// Carving of video and RIFF containers: real files (from the corpus, or
// made with ffmpeg, cwebp and heif-enc) must come back byte for byte at any
// sector offset, back to back, in noise and in a medium of zeros, and a
// header whose structure does not follow gives no file.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
using testing::CarveInNoise;
using testing::ImageBuilder;
using testing::PutBytes;
using testing::RandomBytes;
using testing::SampleOfType;

struct Sample {
  std::string name;
  std::string extension;  // what the carver must name it
  Bytes bytes;
};

// A file laid at sectors 0 and 65 of a noisy medium, its last sector's
// slack zero or noise, comes back whole under its extension.
void ExpectWholeInNoise(const Sample& s) {
  ASSERT_FALSE(s.bytes.empty()) << s.name;
  for (uint64_t at : {uint64_t{0}, uint64_t{65}}) {
    for (bool noisySlack : {false, true}) {
      SCOPED_TRACE(s.name + " at sector " + std::to_string(at) +
                   (noisySlack ? ", noisy slack" : ", zero slack"));
      const Carved carved = CarveInNoise(s.bytes, at, noisySlack);
      EXPECT_EQ(carved.Extension(), s.extension);
      EXPECT_EQ(carved.length, s.bytes.size());
    }
  }
}

// Two files of one format laid back to back (the second at the sector after
// the first one's last) between noise: each comes back whole.
void ExpectBackToBack(const Sample& first, const Sample& second) {
  SCOPED_TRACE(first.name + " then " + second.name);
  const uint64_t firstSectors = (first.bytes.size() + 511) / 512;
  const uint64_t secondAt = 3 + firstSectors;
  const uint64_t total = secondAt + (second.bytes.size() + 511) / 512 + 4;
  ImageBuilder image;
  image.Put(0, RandomBytes(total * 512, 77)).Put(3, first.bytes).Put(secondAt, second.bytes);
  const SectorSource source = image.Source();
  const Carved one = CarveAt(source, 3);
  EXPECT_EQ(one.Extension(), first.extension);
  EXPECT_EQ(one.length, first.bytes.size());
  const Carved two = CarveAt(source, secondAt);
  EXPECT_EQ(two.Extension(), second.extension);
  EXPECT_EQ(two.length, second.bytes.size());
}

std::vector<Sample> CorpusSamples() {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"abema__go-mp4/testdata/sample.mp4", "mp4"},
      {"abema__go-mp4/testdata/sample_fragmented.mp4", "mp4"},
      {"abema__go-mp4/testdata/sample_qt.mp4", "mov"},
      {"mathiasbynens__small/Mpeg4.mp4", "mp4"},
      {"mathiasbynens__small/mp4-with-audio.mp4", "mp4"},
      {"exiftool__exiftool/t/images/QuickTime.mov", "mov"},
      {"tinytag__tinytag/tinytag/tests/samples/mpeg4_with_image.m4a", "m4a"},
      {"tinytag__tinytag/tinytag/tests/samples/test.m4a", "m4a"},
      {"exiftool__exiftool/t/images/Matroska.mkv", "mkv"},
      {"sbraz__pymediainfo/tests/data/sample.mkv", "mkv"},
      {"mathiasbynens__small/webm.webm", "webm"},
      {"exiftool__exiftool/t/images/Pentax.avi", "avi"},  // its RIFF size claims 117 MB
      {"exiftool__exiftool/t/images/RIFF.avi", "avi"},
      {"mathiasbynens__small/AudioVideoInterleave.avi", "avi"},
      {"mathiasbynens__small/wav.wav", "wav"},
      {"tinytag__tinytag/tinytag/tests/samples/riff_extra_zero.wav", "wav"},
      {"tinytag__tinytag/tinytag/tests/samples/wav_with_image.wav", "wav"},
      {"tinytag__tinytag/tinytag/tests/samples/adpcm.wav", "wav"},
      {"mathiasbynens__small/webp.webp", "webp"},
      {"mathiasbynens__small/FlashVideo.flv", "flv"},
      {"sbraz__pymediainfo/tests/data/issue55.flv", "flv"},
  };
  std::vector<Sample> samples;
  for (const auto& [rel, ext] : files) {
    const std::string path = testing::CorpusPath(rel);
    if (path.empty()) continue;
    samples.push_back({rel, ext, testing::ReadFileBytes(path)});
  }
  return samples;
}

TEST(CarveVideoCorpus, RealFilesComeBackWholeInNoise) {
  const std::vector<Sample> samples = CorpusSamples();
  if (samples.empty()) GTEST_SKIP() << "shared corpus not present";
  for (const Sample& s : samples) ExpectWholeInNoise(s);
}

TEST(CarveVideoCorpus, FilesOfOneFormatBackToBack) {
  const std::vector<Sample> samples = CorpusSamples();
  if (samples.empty()) GTEST_SKIP() << "shared corpus not present";
  std::map<std::string, std::vector<const Sample*>> byExtension;
  for (const Sample& s : samples) byExtension[s.extension].push_back(&s);
  for (const auto& [ext, files] : byExtension) {
    ExpectBackToBack(*files.front(), *files.back());
    ExpectBackToBack(*files.front(), *files.front());
  }
}

// Files made at test time by the Debian tools, once for the whole suite.
class MadeFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<testing::TempDir>();
    s_made.clear();
    s_skipped.clear();
    const std::string v = " -f lavfi -i testsrc=size=64x48:rate=25:duration=1";
    const std::string a = " -f lavfi -i sine=duration=1:sample_rate=48000";
    const std::string ff = "ffmpeg -nostdin -v error -y";
    struct Recipe {
      std::string tool, file, extension, command;
    };
    const std::vector<Recipe> recipes = {
        {"ffmpeg", "a.mp4", "mp4", ff + v + a + " -c:v mpeg4 -c:a aac -shortest"},
        {"ffmpeg", "frag.mp4", "mp4", ff + v + " -c:v mpeg4 -g 5 -movflags frag_keyframe+empty_moov"},
        {"ffmpeg", "a.mov", "mov", ff + v + a + " -c:v mpeg4 -c:a pcm_s16le -shortest"},
        {"ffmpeg", "a.3gp", "3gp", ff + v + a + " -c:v h263 -s 128x96 -c:a aac -ar 8000 -ac 1 -shortest"},
        {"ffmpeg", "a.m4a", "m4a", ff + a + " -c:a aac"},
        {"ffmpeg", "a.mkv", "mkv", ff + v + a + " -c:v mpeg4 -c:a mp2 -shortest"},
        {"ffmpeg", "live.mkv", "mkv", ff + v + " -c:v mpeg4 -live 1 -f matroska"},
        {"ffmpeg", "a.webm", "webm", ff + v + a + " -c:v libvpx -c:a libopus -shortest"},
        {"ffmpeg", "a.avi", "avi", ff + v + a + " -c:v mjpeg -c:a pcm_s16le -shortest"},
        {"ffmpeg", "a.wav", "wav", ff + a},
        {"ffmpeg", "rf64.wav", "wav", ff + a + " -rf64 always"},
        {"ffmpeg", "a.flv", "flv", ff + v + a + " -c:v flv -c:a mp3 -ar 22050 -shortest"},
        {"ffmpeg", "a.wmv", "wmv", ff + v + a + " -c:v wmv2 -c:a wmav2 -shortest"},
        {"ffmpeg", "a.rm", "rmvb", ff + v + a + " -c:v rv10 -c:a ac3 -shortest"},
        {"ffmpeg", "a.swf", "swf", ff + v + " -c:v flv -f swf"},
        {"ffmpeg", "a.mxf", "mxf", ff + v + " -c:v mpeg2video -s 720x576 -f mxf"},
        {"ffmpeg", "a.mpg", "mpeg", ff + v + a + " -c:v mpeg1video -c:a mp2 -shortest -f mpeg"},
        {"ffmpeg", "a.vob", "mpeg", ff + v + a + " -c:v mpeg2video -c:a mp2 -shortest -f vob"},
        {"ffmpeg", "a.ts", "ts", ff + v + " -c:v mpeg2video -f mpegts"},
        {"ffmpeg", "a.png", "", ff + v + " -frames:v 1"},
        {"cwebp", "a.webp", "webp", "cwebp -quiet " + s_dir->File("a.png") + " -o"},
        {"heif-enc", "a.heic", "heic", "heif-enc -q 50 " + s_dir->File("a.png") + " -o"},
        {"heif-enc", "a.avif", "avif", "heif-enc -A " + s_dir->File("a.png") + " -o"},
        // About 30 KB, for the medium of zeros.
        {"ffmpeg", "zeros.mp4", "",
         ff + " -f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mpeg4 -q:v 8"},
    };
    for (const Recipe& r : recipes) {
      if (!testing::ToolAvailable(r.tool)) {
        s_skipped.push_back(r.file + " (" + r.tool + " is not installed)");
        continue;
      }
      const std::string out = s_dir->File(r.file);
      if (!testing::RunQuiet(r.command + " " + testing::ShellQuote(out))) {
        s_skipped.push_back(r.file + " (" + r.tool + " failed)");
        continue;
      }
      s_made.push_back({r.file, r.extension, testing::ReadFileBytes(out)});
    }
  }
  static void TearDownTestSuite() { s_dir.reset(); }

  // The made samples that carry an extension (not the helpers).
  static std::vector<const Sample*> Carvable() {
    std::vector<const Sample*> out;
    for (const Sample& s : s_made)
      if (!s.extension.empty()) out.push_back(&s);
    return out;
  }
  static const Sample* Find(const std::string& file) {
    for (const Sample& s : s_made)
      if (s.name == file) return &s;
    return nullptr;
  }
  void SetUp() override {
    for (const std::string& why : s_skipped) std::cout << "[ made ] not made: " << why << "\n";
    if (Carvable().empty()) GTEST_SKIP() << "ffmpeg, cwebp and heif-enc are not installed";
  }

  static std::unique_ptr<testing::TempDir> s_dir;
  static std::vector<Sample> s_made;
  static std::vector<std::string> s_skipped;
};

std::unique_ptr<testing::TempDir> MadeFiles::s_dir;
std::vector<Sample> MadeFiles::s_made;
std::vector<std::string> MadeFiles::s_skipped;

TEST_F(MadeFiles, ComeBackWholeInNoiseAndBackToBack) {
  for (const Sample* s : Carvable()) {
    ExpectWholeInNoise(*s);
    ExpectBackToBack(*s, *s);
  }
}

// All the made files in one run, each starting at the sector after the
// one before ends: none runs into the next (a program stream without an
// end code included).
TEST_F(MadeFiles, MixedFormatsBackToBack) {
  ImageBuilder image;
  std::vector<std::pair<uint64_t, const Sample*>> placed;
  uint64_t at = 1;
  for (const Sample* s : Carvable()) {
    image.Put(at, s->bytes);
    placed.emplace_back(at, s);
    at += (s->bytes.size() + 511) / 512;
  }
  image.Size(at + 8);
  const SectorSource source = image.Source();
  for (const auto& [sector, s] : placed) {
    const Carved carved = CarveAt(source, sector);
    EXPECT_EQ(carved.Extension(), s->extension) << s->name;
    EXPECT_EQ(carved.length, s->bytes.size()) << s->name;
  }
  // A program stream without an end code, a picture, and then a pack that
  // could continue the stream: the picture ends the stream.
  if (const Sample* mpg = Find("a.mpg")) {
    const uint64_t after = 1 + (mpg->bytes.size() + 511) / 512;
    Bytes pack = testing::BytesOf("\x00\x00\x01\xBA\x2F\xFF\xFF\xFF\xFF\x80\x00\x01"sv);
    PutBytes(pack, pack.size(), "\x00\x00\x01\xBE\x00\x04\xFF\xFF\xFF\xFF"sv);
    ImageBuilder run;
    run.Put(1, mpg->bytes).Put(after, SampleOfType(kTypePng)).Put(after + 1, pack).Size(after + 8);
    EXPECT_EQ(CarveAt(run.Source(), 1).length, mpg->bytes.size());
  }
}

// Real files with bytes changed anywhere: the walks stay inside the medium.
TEST_F(MadeFiles, DamagedFilesStayInsideTheMedium) {
  for (const Sample* s : Carvable()) {
    const Bytes noise = RandomBytes(1024, static_cast<uint32_t>(s->bytes.size()));
    for (uint32_t k = 0; k < 40; ++k) {
      Bytes b = s->bytes;
      for (uint32_t j = 0; j < 8; ++j) {
        const size_t at = (size_t{noise[(k * 16 + 2 * j) % noise.size()]} << 8 |
                           noise[(k * 16 + 2 * j + 1) % noise.size()]) *
                          7919 % b.size();
        b[at] = noise[(k * 16 + j * 3) % noise.size()];
      }
      const Carved carved = CarveInNoise(b, 1, k % 2 == 0);
      EXPECT_LE(carved.length, ((b.size() + 511) / 512 + 8) * 512) << s->name << " case " << k;
    }
  }
}

// A QuickTime movie without its file-type box starts with a padding atom
// ("wide") and keeps its media data ahead of its movie.
TEST_F(MadeFiles, QuickTimeWithoutFileTypeBox) {
  const Sample* mov = Find("a.mov");
  if (mov == nullptr) GTEST_SKIP() << "a.mov was not made";
  const uint32_t fileType = mov->bytes[3];
  ASSERT_TRUE(std::string_view(reinterpret_cast<const char*>(mov->bytes.data()) + fileType + 4, 4) == "wide");
  const Sample bare{"a.mov without ftyp", "mov", Bytes(mov->bytes.begin() + fileType, mov->bytes.end())};
  ExpectWholeInNoise(bare);
  ExpectBackToBack(bare, bare);
}

// The medium of the report: a small file in a large image of zeros (the
// walk must stop at the first box, chunk or element that is not one).
TEST_F(MadeFiles, SmallFilesInALargeImageOfZeros) {
  std::vector<Sample> files;
  if (const Sample* mp4 = Find("zeros.mp4")) files.push_back({"zeros.mp4", "mp4", mp4->bytes});
  for (const char* rel :
       {"exiftool__exiftool/t/images/Pentax.avi", "sbraz__pymediainfo/tests/data/sample.mkv"}) {
    const std::string path = testing::CorpusPath(rel);
    if (!path.empty()) files.push_back({rel, "", testing::ReadFileBytes(path)});
  }
  for (const Sample& s : files) {
    SCOPED_TRACE(s.name);
    Bytes medium(1024 * 1024, 0);
    PutBytes(medium, 2048 * 512, s.bytes);
    auto reader = std::make_shared<testing::MemoryReader>(medium, uint64_t{1} << 30);
    const SectorSource source = testing::MakeMemorySource(reader);
    EXPECT_EQ(CarveAt(source, 2048).length, s.bytes.size());
  }
}

// Headers that no structure follows, or whose structure misses what the
// format needs, give no file.
TEST(CarveVideoStructure, FalseHeadersGiveNoFile) {
  struct Case {
    const char* name;
    uint32_t code;
    void (*spoil)(Bytes&);
  };
  const Case cases[] = {
      {"ftyp without a movie", kTypeMp4, [](Bytes& b) { b.resize(0x18); }},
      {"heic without its meta box", kTypeHeic, [](Bytes& b) { b.resize(0x18); }},
      {"movie data cut off by the medium", kTypeMp4,
       [](Bytes& b) { b.resize(0x18), PutBytes(b, 0x18, "\x7F\x00\x00\x00mdat"sv); }},
      {"moov atom whose child is no atom", kTypeMov,
       [](Bytes& b) { b = testing::BytesOf("\x00\x00\x00\x40moov\x00\x00\x00\x50mvhd"sv); }},
      {"AVI without its movie list", kTypeAvi, [](Bytes& b) { b.resize(88); }},
      {"WAV without data", kTypeWav, [](Bytes& b) { b.resize(36); }},
      {"WebP whose first chunk is no picture", kTypeWebp,
       [](Bytes& b) { PutBytes(b, 16, "\xFF\xFF\xFF\xFF"sv); }},
      {"EBML header without a segment", kTypeMkv, [](Bytes& b) { b.resize(40); }},
      {"segment without info, tracks or clusters", kTypeWebm,
       [](Bytes& b) { b.resize(36), PutBytes(b, 36, "\x18\x53\x80\x67\x83\xEC\x81\x00"sv); }},
      {"FLV header alone", kTypeFlv, [](Bytes& b) { b.resize(13); }},
      {"FLV tag with a wrong back pointer", kTypeFlv, [](Bytes& b) { testing::PutBe32(b, 24, 12); }},
      {"ASF header without data", kTypeAsf, [](Bytes& b) { b.resize(200); }},
      {"RealMedia without data", kTypeRm, [](Bytes& b) { b.resize(68); }},
      {"MXF partition pack alone", kTypeMxf, [](Bytes& b) { b.resize(108); }},
      {"SWF whose tags miss its length", kTypeSwf, [](Bytes& b) { testing::PutLe32(b, 4, 600); }},
      {"program stream without packets", kTypeMpeg, [](Bytes& b) { b.resize(38); }},
      {"camera stream table alone", kTypeMts, [](Bytes& b) { b.resize(192); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b = SampleOfType(c.code);
    ASSERT_FALSE(b.empty());
    EXPECT_NE(CarveInNoise(b, 65, false).row, nullptr) << "the sample itself is a file";
    c.spoil(b);
    for (bool noisySlack : {false, true}) EXPECT_EQ(CarveInNoise(b, 65, noisySlack).row, nullptr);
  }
}

// Sizes in the header are taken only when the walk agrees; extensions and
// open-ended parts are measured by the walk.
TEST(CarveVideoStructure, WalksDecideTheEnd) {
  // An AVI over 1 GiB goes on in AVIX lists; a RIFF file of another form
  // after it is a file of its own.
  const Bytes avi = SampleOfType(kTypeAvi);
  Bytes avix = testing::BytesOf(
      "RIFF\x00\x00\x00\x00"
      "AVIXLIST\x00\x00\x00\x00movi"sv);
  PutBytes(avix, 24, testing::Noise(1000, 3));
  testing::PutLe32(avix, 4, static_cast<uint32_t>(avix.size() - 8));
  testing::PutLe32(avix, 16, static_cast<uint32_t>(avix.size() - 20));
  Bytes both = avi;
  PutBytes(both, both.size(), avix);
  EXPECT_EQ(CarveInNoise(both, 65).length, both.size());
  Bytes withWav = avi;
  PutBytes(withWav, withWav.size(), SampleOfType(kTypeWav));
  EXPECT_EQ(CarveInNoise(withWav, 65).length, avi.size());

  // A RIFF size smaller than the chunks: the declared end is kept; larger:
  // the end of the last chunk.
  Bytes wav = SampleOfType(kTypeWav);
  testing::PutLe32(wav, 4, 500);
  EXPECT_EQ(CarveInNoise(wav, 65, false).length, 508u);
  testing::PutLe32(wav, 4, 90000000);
  EXPECT_EQ(CarveInNoise(wav, 65, false).length, 1000u);

  // Media data "to the end of the file" after the movie: up to where the
  // next file starts.
  Bytes open = SampleOfType(kTypeMov);
  const size_t mdat = 20 + 16;  // after the file-type box and the movie
  ASSERT_EQ(open[mdat + 4], 'm');
  testing::PutBe32(open, mdat, 0);
  PutBytes(open, open.size(), testing::Noise(3000, 4));
  ImageBuilder image;
  image.Put(0, RandomBytes(512, 5)).Put(1, open).Put(1 + 8, SampleOfType(kTypePng)).Size(20);
  EXPECT_EQ(CarveAt(image.Source(), 1).length, 8u * 512);

  // An LZMA-compressed movie gives its compressed length; a deflated one
  // is never longer than the sectors deflate can make its length fill.
  Bytes lzma = testing::BytesOf("ZWS\x0D"sv);
  testing::PutLe32(lzma, 4, 5000);
  testing::PutLe32(lzma, 8, 1200);
  PutBytes(lzma, 12, testing::Noise(5 + 1200, 6));
  EXPECT_EQ(CarveInNoise(lzma, 65).length, lzma.size());
  Bytes deflated = testing::BytesOf("CWS\x0A"sv);
  testing::PutLe32(deflated, 4, 5000);
  PutBytes(deflated, 8, testing::Noise(3000, 7));
  const Carved bounded = CarveInNoise(deflated, 65, true);
  EXPECT_EQ(bounded.Extension(), "swf");
  EXPECT_LE(bounded.length, (8 + 5000 + 5 + 6 + 511) / 512 * 512);
  EXPECT_GE(bounded.length, deflated.size());

  // A camera stream runs while its 192-byte packets keep their sync byte.
  Bytes mts = SampleOfType(kTypeMts);
  for (size_t k = 3; k < 40; ++k) {
    PutBytes(mts, k * 192, testing::Noise(192, static_cast<uint32_t>(k)));
    mts[k * 192 + 4] = 0x47;
  }
  for (bool noisySlack : {false, true}) EXPECT_EQ(CarveInNoise(mts, 65, noisySlack).length, mts.size());

  // A Matroska segment of unknown size, its cluster too: measured by the
  // cluster's blocks.
  Bytes live = SampleOfType(kTypeMkv);
  live.resize(40 + 5 + 12);  // the EBML header and the segment
  live[44] = 0xFF;
  PutBytes(live, live.size(), "\x1F\x43\xB6\x75\xFF\xE7\x81\x00\xA3\x84\x81\x00\x00\x80"sv);
  EXPECT_EQ(CarveInNoise(live, 65, false).length, live.size());
}

// Damaged headers and sizes: every walk ends inside the medium.
TEST(CarveVideoStructure, DamagedFilesStayInsideTheMedium) {
  const uint32_t codes[] = {kTypeMp4, kTypeMov, kTypeHeic, kTypeMkv,  kTypeWebm,
                            kTypeAvi, kTypeWav, kTypeWebp, kTypeFlv,  kTypeSwf,
                            kTypeAsf, kTypeRm,  kTypeMxf,  kTypeMpeg, kTypeMts};
  for (uint32_t code : codes) {
    const Bytes sample = SampleOfType(code);
    const Bytes noise = RandomBytes(4096, code);
    for (uint32_t k = 0; k < 200; ++k) {
      Bytes b = sample;
      const size_t span = std::min<size_t>(b.size(), 256);
      for (uint32_t j = 0; j < 1 + k % 4; ++j)
        b[noise[(k * 8 + j) % noise.size()] % span] = noise[(k * 8 + j + 1) % noise.size()];
      if (k % 5 == 0) b.resize(b.size() / 2);
      const Carved carved = CarveInNoise(b, 3, k % 2 == 0);
      EXPECT_LE(carved.length, ((b.size() + 511) / 512 + 8) * 512) << code << " case " << k;
    }
  }
}

}  // namespace
}  // namespace velmira
