// Carving audio files to their exact end: MPEG audio (MP3, MP2, ADTS AAC)
// by their frames and tags, FLAC by its metadata and frame CRCs, Ogg by its
// pages, MIDI, SMAF and Monkey's Audio by their chunk and part sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engines/carving/signature_table.h"
#include "tests/fixtures/audio_samples.h"
#include "tests/fixtures/carving_expect.h"
#include "tests/fixtures/carving_samples.h"
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

uint64_t SectorsOf(uint64_t bytes) {
  return (bytes + 511) / 512;
}

// Two files laid back to back (the second in the sector after the first
// one's last, zero slack between): each carves whole.
void ExpectBackToBack(const Bytes& first, const Bytes& second, std::string_view extension) {
  ImageBuilder image;
  const uint64_t next = 3 + SectorsOf(first.size());
  image.Put(0, testing::RandomBytes(3 * 512, 5)).Put(3, first).Put(next, second);
  image.Put(next + SectorsOf(second.size()), testing::RandomBytes(8 * 512, 6));
  const SectorSource source = image.Source();
  const Carved a = CarveAt(source, 3, 512);
  EXPECT_EQ(a.Extension(), extension);
  EXPECT_EQ(a.length, first.size());
  const Carved b = CarveAt(source, next, 512);
  EXPECT_EQ(b.Extension(), extension);
  EXPECT_EQ(b.length, second.size());
}

// ---- files built here ---------------------------------------------------------

constexpr uint32_t kMp3Frame128k = 0xFFFB9064;  // MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417 bytes
constexpr uint32_t kMp3Frame320k = 0xFFFBE064;  // 320 kbit/s: 1044 bytes, past the first sector
constexpr uint32_t kMpeg25Frame = 0xFFE39064;   // MPEG 2.5 layer III, 80 kbit/s, 11.025 kHz: 522 bytes
constexpr uint32_t kLayer1Frame = 0xFFFF9064;   // MPEG-1 layer I, 288 kbit/s, 44.1 kHz: 312 bytes

Bytes Lyrics3v2() {
  Bytes b = testing::BytesOf("LYRICSBEGININD0000211");
  PutBytes(b, b.size(), "LYR00010Some words"sv);
  const std::string size = std::to_string(b.size());
  PutBytes(b, b.size(), std::string(6 - size.size(), '0') + size + "LYRICS200");
  return b;
}

Bytes MidiWithAlienChunk() {
  Bytes b = testing::BytesOf("MThd\x00\x00\x00\x06\x00\x01\x00\x02\x00\x60"sv);
  for (const char* id : {"MTrk", "XFIH", "MTrk"}) {
    PutBytes(b, b.size(), std::string_view(id, 4));
    testing::PutBe32(b, b.size(), 700);
    PutBytes(b, b.size(), testing::Noise(700, static_cast<uint32_t>(b.size())));
  }
  return b;
}

struct BuiltCase {
  const char* what;
  Bytes file;
  const char* extension;
};

std::vector<BuiltCase> BuiltFiles() {
  using namespace testing;
  return {
      {"mp3 with ID3v2, APE, Lyrics3 and ID3v1 tags",
       Concat({Id3v2Tag(700), MpegAudioFrames(kMp3Frame128k, 417, 9), ApeTag(), Lyrics3v2(), Id3v1Tag()}),
       "mp3"},
      {"mp3 without a tag", MpegAudioFrames(kMp3Frame128k, 417, 12), "mp3"},
      {"mp3 without a tag, frames longer than a sector", MpegAudioFrames(kMp3Frame320k, 1044, 6), "mp3"},
      {"mp3 without a tag, MPEG 2.5", Concat({MpegAudioFrames(kMpeg25Frame, 522, 5), Id3v1Tag()}), "mp3"},
      {"layer I behind an ID3v2 tag and zero padding",
       Concat({Id3v2Tag(300), Bytes(900, 0), MpegAudioFrames(kLayer1Frame, 312, 7)}), "mp3"},
      {"ID3v2 tag alone", Id3v2Tag(2000), "mp3"},
      {"mp2", MpegAudioFrames(0xFFFDE400, 1152, 5), "mp2"},
      {"mp2 behind an ID3v2 tag", Concat({Id3v2Tag(100), MpegAudioFrames(0xFFFDE400, 1152, 2)}), "mp2"},
      {"aac behind an ID3v2 tag", Concat({Id3v2Tag(100), AdtsFrames(371, 6)}), "aac"},
      {"flac behind an ID3v2 tag longer than a sector", Concat({Id3v2Tag(800), FlacStream(3)}), "flac"},
      {"aac in ADTS frames", AdtsFrames(371, 20), "aac"},
      {"flac with its sample count", FlacStream(6), "flac"},
      {"flac without a sample count, ID3v1 tag behind", Concat({FlacStream(5, false), Id3v1Tag()}), "flac"},
      {"ogg", OggStream(6), "ogg"},
      {"ogg with two streams",
       Concat({OggPage(2, 0, 1, 0, Bytes(30, 1)), OggPage(2, 0, 2, 0, Bytes(40, 2)),
               OggPage(0, 900, 1, 1, RandomBytes(4000, 3)), OggPage(4, 1800, 2, 1, RandomBytes(2000, 4)),
               OggPage(4, 1900, 1, 2, RandomBytes(1000, 5))}),
       "ogg"},
      {"midi with a chunk of another type between its tracks", MidiWithAlienChunk(), "mid"},
      {"smaf", SmafFile(3000), "mmf"},
      {"ape with tags", Concat({ApeFile(5000), ApeTag(), Id3v1Tag()}), "ape"},
      {"ape before the descriptor, ended by its tag",
       Concat({BytesOf("MAC \x82\x0F\x00\x00"sv), Noise(3000, 8), ApeTag(), Id3v1Tag()}), "ape"},
  };
}

TEST(CarveAudioBuilt, FilesComeOutWhole) {
  for (const BuiltCase& c : BuiltFiles()) {
    SCOPED_TRACE(c.what);
    ExpectWholeInNoise(c.file, c.extension);
  }
}

TEST(CarveAudioBuilt, FilesBackToBackComeOutWhole) {
  for (const BuiltCase& c : BuiltFiles()) {
    SCOPED_TRACE(c.what);
    ExpectBackToBack(c.file, c.file, c.extension);
  }
  // Streams of one kind whose first frames open a new file (Xing table)
  // end where the next begins, even without a gap between them.
  Bytes opening = testing::MpegAudioFrames(kMp3Frame128k, 417, 8);
  PutBytes(opening, 4 + 32, "Info"sv);
  Bytes both = Concat({opening, opening});
  ImageBuilder image;
  image.Put(0, both).Size(SectorsOf(both.size()) + 4);
  EXPECT_EQ(CarveAt(image.Source(), 0).length, opening.size());
}

// Streams that stop holding partway keep what is whole (or are no file).
TEST(CarveAudioBuilt, DamagedStreamsKeepTheirWholePart) {
  Bytes flac = testing::FlacStream(6);
  const size_t frameBytes = 6 + 1 + 2304 + 2;
  const size_t firstFrame = 42;
  flac[firstFrame + 3 * frameBytes + 100] ^= 0x55;  // the fourth frame's data
  ExpectWholeInNoise(flac, "flac", firstFrame + 3 * frameBytes);

  Bytes ogg = testing::OggStream(6);
  const Bytes whole = testing::OggStream(4);
  ogg.resize(whole.size());  // cut before the last two pages
  ExpectWholeInNoise(ogg, "ogg", whole.size());

  // An MP3 cut inside its last frame, with the next file in the sector
  // after the cut: the cut frame runs to where the next file begins (slack
  // included), and the next file keeps its first sector.
  Bytes cut = testing::MpegAudioFrames(kMp3Frame128k, 417, 7);
  cut.resize(6 * 417 + 10);
  ImageBuilder image;
  image.Put(0, cut).Put(SectorsOf(cut.size()), testing::OggStream(3)).Size(20);
  EXPECT_EQ(CarveAt(image.Source(), 0).length, SectorsOf(cut.size()) * 512);
  EXPECT_EQ(CarveAt(image.Source(), SectorsOf(cut.size())).Extension(), "ogg");

  Bytes mid = MidiWithAlienChunk();
  testing::PutBe16(mid, 10, 3);  // a track more than the file holds
  ExpectWholeInNoise(mid, "mid");
}

TEST(CarveAudioBuilt, FalseHeadersGiveNoFile) {
  using namespace testing;
  Bytes id3Noise = Id3v2Tag(600);
  id3Noise[10] = 'x';  // the tag's frames no longer hold, and no audio follows
  Bytes flacBadFirstFrame = FlacStream(3);
  flacBadFirstFrame[42 + 4] ^= 1;  // header CRC-8
  Bytes flacBadBlock = FlacStream(3);
  flacBadBlock[4] = 0x05;  // the first block is not STREAMINFO
  Bytes oggBadCrc = OggStream(3);
  oggBadCrc[40] ^= 1;
  Bytes midiNoTrack = BytesOf("MThd\x00\x00\x00\x06\x00\x01\x00\x01\x00\x60MTrk\xFF\xFF\xFF\xF0"sv);
  Bytes smafNoContents = SmafFile(600);
  smafNoContents[8] = 'X';
  Bytes apeBadLevel = ApeFile(2000);
  testing::PutLe16(apeBadLevel, 52, 1234);
  const Bytes mixedRates =
      Concat({MpegAudioFrames(kMp3Frame128k, 417, 1), MpegAudioFrames(0xFFFB9464, 417, 3)});
  const std::pair<const char*, Bytes> cases[] = {
      {"one mp3 frame", MpegAudioFrames(kMp3Frame128k, 417, 1)},
      {"mp3 frames of two sample rates", mixedRates},
      {"one mp2 frame", MpegAudioFrames(0xFFFDE400, 1152, 1)},
      {"one ADTS frame", AdtsFrames(371, 1)},
      {"ID3v2 tag over noise", id3Noise},
      {"flac first frame header damaged", flacBadFirstFrame},
      {"flac without STREAMINFO first", flacBadBlock},
      {"ogg first page CRC", oggBadCrc},
      {"midi track longer than the medium", midiNoTrack},
      {"smaf without contents info", smafNoContents},
      {"ape compression level", apeBadLevel},
  };
  for (const auto& [what, file] : cases) {
    SCOPED_TRACE(what);
    for (const uint64_t at : {0, 65}) EXPECT_EQ(CarveInNoise(file, at).row, nullptr);
  }
}

// Damaged copies of every built file carve to a length inside the medium or
// to nothing, and never read out of bounds (the sanitizer build checks).
TEST(CarveAudioBuilt, DamagedCopiesStayInBounds) {
  for (const BuiltCase& c : BuiltFiles()) {
    SCOPED_TRACE(c.what);
    for (uint32_t seed = 1; seed <= 40; ++seed) {
      Bytes file = c.file;
      const Bytes noise = testing::RandomBytes(8, seed);
      for (size_t k = 0; k < 4; ++k) {
        const size_t at =
            (noise[k] * 131u + noise[k + 4] * 7u + seed * 977u) % std::min<size_t>(file.size(), 600);
        file[at] = noise[(k + 1) % 8];
      }
      const Carved carved = CarveInNoise(file, 0, seed % 2 == 0);
      EXPECT_LE(carved.length, (SectorsOf(file.size()) + 8) * 512);
    }
  }
}

// ---- the shared corpus ----------------------------------------------------------

TEST(CarveAudioCorpus, SamplesComeOutWhole) {
  VELMIRA_REQUIRE_CORPUS(cbr, "tinytag__tinytag/tinytag/tests/samples/cbr.mp3");
  const std::pair<const char*, const char*> samples[] = {
      {"tinytag__tinytag/tinytag/tests/samples/cbr.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/id3_frames.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/mpeg1_id3v1.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/mpeg25_id3v2.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/mpeg2_id3v2.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/multiple_images.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/silence-44-s-v1.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/vbr32stereo.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/vbr44.mp3", "mp3"},
      {"tinytag__tinytag/tinytag/tests/samples/vbr_xing_header.mp3", "mp3"},
      {"sbraz__pymediainfo/tests/data/sample_with_cover.mp3", "mp3"},
      {"sbraz__pymediainfo/tests/data/aac_he_v2.aac", "aac"},
  };
  for (const auto& [path, extension] : samples) {
    SCOPED_TRACE(path);
    ExpectWholeInNoise(testing::ReadFileBytes(testing::CorpusPath(path)), extension);
  }
  // A sample cut at a sector's end inside its last frame, and the next file
  // right behind it.
  const Bytes cut =
      testing::ReadFileBytes(testing::CorpusPath("tinytag__tinytag/tinytag/tests/samples/id3v22-test.mp3"));
  ASSERT_EQ(cut.size() % 512, 0u);
  for (const uint64_t at : {0u, 65u}) {
    ImageBuilder image;
    const uint64_t next = at + SectorsOf(cut.size());
    image.Put(0, testing::RandomBytes((next + 8) * 512, 3)).Put(at, cut).Put(next, testing::OggStream(3));
    const Carved carved = CarveAt(image.Source(), at, 512);
    EXPECT_EQ(carved.Extension(), "mp3");
    EXPECT_EQ(carved.length, cut.size()) << "at " << at;
  }
}

// ---- files made by Debian's encoders ------------------------------------------------

// A mono 16-bit WAV of a tone with some noise, `seconds` long.
Bytes ToneWav(double seconds, uint32_t seed) {
  const uint32_t rate = 44100;
  const auto samples = static_cast<uint32_t>(rate * seconds);
  Bytes b = testing::BytesOf("RIFF\x00\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00"sv);
  testing::PutLe32(b, 24, rate);
  testing::PutLe32(b, 28, rate * 2);
  testing::PutLe16(b, 32, 2);
  testing::PutLe16(b, 34, 16);
  PutBytes(b, 36, "data"sv);
  testing::PutLe32(b, 40, samples * 2);
  testing::PutLe32(b, 4, 36 + samples * 2);
  const Bytes noise = testing::RandomBytes(samples, seed);
  for (uint32_t i = 0; i < samples; ++i) {
    const auto v = static_cast<int16_t>(9000 * std::sin(i * 0.03 * (1 + seed % 3)) + (noise[i] - 128) * 8);
    testing::PutLe16(b, 44 + size_t{i} * 2, static_cast<uint16_t>(v));
  }
  return b;
}

struct EncoderCase {
  const char* tool;
  const char* command;  // IN and OUT stand for the file names
  const char* extension;
};

TEST(CarveAudioTools, EncodedFilesComeOutWhole) {
  const EncoderCase cases[] = {
      {"flac", "flac -s -f -o OUT IN", "flac"},
      {"flac", "flac -s -f --ogg -o OUT IN", "ogg"},
      {"oggenc", "oggenc -Q -o OUT IN", "ogg"},
      {"opusenc", "opusenc --quiet IN OUT", "opus"},
      {"lame", "lame --quiet -b 192 IN OUT", "mp3"},
      {"lame", "lame --quiet -V 4 --tt Title --ta Artist IN OUT", "mp3"},
      {"lame", "lame --quiet -t --resample 22.05 -b 64 IN OUT", "mp3"},
      {"twolame", "twolame --quiet IN OUT", "mp2"},
      {"ffmpeg", "ffmpeg -loglevel error -y -i IN -c:a aac -f adts OUT", "aac"},
  };
  testing::TempDir dir;
  const std::string inputs[] = {dir.File("short.wav"), dir.File("long.wav")};
  testing::WriteFileBytes(inputs[0], ToneWav(0.7, 1));
  testing::WriteFileBytes(inputs[1], ToneWav(2.3, 2));
  size_t ran = 0;
  for (const EncoderCase& c : cases) {
    SCOPED_TRACE(c.command);
    if (!testing::ToolAvailable(c.tool)) continue;
    Bytes made[2];
    for (int k = 0; k < 2; ++k) {
      const std::string out = dir.File("made" + std::to_string(k) + "." + c.extension);
      std::string command = c.command;
      command.replace(command.find("IN"), 2, testing::ShellQuote(inputs[k]));
      command.replace(command.find("OUT"), 3, testing::ShellQuote(out));
      ASSERT_TRUE(testing::RunQuiet(command));
      made[k] = testing::ReadFileBytes(out);
      ASSERT_FALSE(made[k].empty());
      ExpectWholeInNoise(made[k], c.extension);
    }
    ExpectBackToBack(made[0], made[1], c.extension);
    ++ran;
  }
  if (ran == 0) GTEST_SKIP() << "none of flac, oggenc, opusenc, lame, twolame, ffmpeg is installed";
}

}  // namespace
}  // namespace velmira
