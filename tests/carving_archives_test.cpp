// Archives, executables, databases, mail stores and fonts are carved to
// their exact end, whatever follows them, and false headers give no file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "engines/carving/signature_table.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;
using testing::Bytes;
using testing::Carved;
using testing::CarveInNoise;
using testing::ImageBuilder;
using testing::SampleOfType;

// The file at sectors 0 and 65 of a noisy medium, with a zero or a noisy
// slack: the same type, the whole file, nothing more.
void ExpectCarvedWhole(const Bytes& file, uint32_t code, const std::string& what) {
  for (const uint64_t at : {0u, 65u}) {
    for (const bool noisySlack : {false, true}) {
      const Carved carved = CarveInNoise(file, at, noisySlack);
      ASSERT_NE(carved.row, nullptr) << what << " at " << at << (noisySlack ? " (noisy slack)" : "");
      EXPECT_EQ(carved.row->code, code) << what;
      EXPECT_EQ(carved.length, file.size()) << what << " at " << at << (noisySlack ? " (noisy slack)" : "");
    }
  }
}

// Two files laid back to back from sector 3 of a noisy medium: each is
// carved whole from its own first sector.
void ExpectBackToBack(const Bytes& first, const Bytes& second, const std::string& what) {
  const uint64_t secondAt = 3 + (first.size() + 511) / 512;
  const uint64_t sectors = secondAt + (second.size() + 511) / 512 + 4;
  ImageBuilder image;
  image.Put(0, testing::RandomBytes(sectors * 512, 11)).Put(3, first).Put(secondAt, second);
  const SectorSource source = image.Source();
  EXPECT_EQ(testing::CarveAt(source, 3).length, first.size()) << what << ": the first";
  EXPECT_EQ(testing::CarveAt(source, secondAt).length, second.size()) << what << ": the second";
}

Bytes CorpusFile(const std::string& path) {
  return testing::ReadFileBytes(path);
}

struct CorpusCase {
  const char* path;
  uint32_t code;
};

// Real files of other projects' test data.
const CorpusCase kCorpusFiles[] = {
    {"markokr__rarfile/test/files/rar15-comment.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar202-comment-nopsw.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar3-comment-plain.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar3-old.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar3-solid.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar3-subdirs.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar3-vols.part1.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar3-vols.part2.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar3-vols.part3.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar5-blake.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar5-crc.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar5-psw.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar5-solid-qo.rar", kTypeRar},
    {"markokr__rarfile/test/files/rar5-subdirs.rar", kTypeRar},
    {"mathiasbynens__small/rar4.rar", kTypeRar},
    {"mathiasbynens__small/rar5.rar", kTypeRar},
    {"mathiasbynens__small/rar14.rar", kTypeRar},
    {"miurahr__py7zr/tests/data/bzip2_2.7z", kType7z},
    {"miurahr__py7zr/tests/data/copy.7z", kType7z},
    {"miurahr__py7zr/tests/data/deflate.7z", kType7z},
    {"miurahr__py7zr/tests/data/empty.7z", kType7z},
    {"miurahr__py7zr/tests/data/encrypted_1.7z", kType7z},
    {"miurahr__py7zr/tests/data/longpath.7z", kType7z},
    {"miurahr__py7zr/tests/data/lzma2_1.7z", kType7z},
    {"miurahr__py7zr/tests/data/lzma2bcj.7z", kType7z},
    {"miurahr__py7zr/tests/data/lzma_1.7z", kType7z},
    {"log2timeline__dfvfs/test_data/syslog.gz", kTypeGzip},
    {"log2timeline__dfvfs/test_data/syslog.tgz", kTypeGzip},
    {"mathiasbynens__small/gzip.gz", kTypeGzip},
    {"mathiasbynens__small/gzip-name.gz", kTypeGzip},
    {"log2timeline__dfvfs/test_data/blob.db", kTypeSqlite},
    {"log2timeline__dfvfs/test_data/syslog.db", kTypeSqlite},
    {"exiftool__exiftool/t/images/EXE.exe", kTypeExe},
    {"Binject__debug/pe/testdata/gcc-386-mingw-exec", kTypeExe},
    {"Binject__debug/pe/testdata/gcc-386-mingw-no-symbols-exec", kTypeExe},
    {"Binject__debug/pe/testdata/gcc-amd64-mingw-exec", kTypeExe},
    {"mathiasbynens__small/newexecutable.exe", kTypeExe},
    {"mathiasbynens__small/linearexecutable.exe", kTypeExe},
    {"log2timeline__dfvfs/test_data/syslog.bz2", kTypeBzip2},
    {"mathiasbynens__small/bzip2.bz2", kTypeBzip2},
    {"log2timeline__dfvfs/test_data/syslog.xz", kTypeXz},
    {"log2timeline__dfvfs/test_data/tar/syslog.tar", kTypeTar},
    {"mathiasbynens__small/tar.tar", kTypeTar},
    // An archive with no members: its end record alone.
    {"mathiasbynens__small/zip.zip", kTypeZip},
};

TEST(CarvingArchives, CorpusFilesComeOutWhole) {
  VELMIRA_REQUIRE_CORPUS(root, "_truth/media_files.tsv");
  for (const CorpusCase& c : kCorpusFiles) {
    const std::string path = testing::CorpusPath(c.path);
    const Bytes file = CorpusFile(path);
    ASSERT_FALSE(file.empty()) << c.path;
    ExpectCarvedWhole(file, c.code, c.path);
  }
}

TEST(CarvingArchives, CorpusFilesBackToBack) {
  VELMIRA_REQUIRE_CORPUS(root, "_truth/media_files.tsv");
  const char* pairs[][2] = {
      {"markokr__rarfile/test/files/rar3-vols.part1.rar", "markokr__rarfile/test/files/rar3-vols.part2.rar"},
      {"mathiasbynens__small/rar4.rar", "mathiasbynens__small/rar4.rar"},
      {"markokr__rarfile/test/files/rar5-crc.rar", "mathiasbynens__small/rar5.rar"},
      {"miurahr__py7zr/tests/data/copy.7z", "miurahr__py7zr/tests/data/empty.7z"},
      {"log2timeline__dfvfs/test_data/syslog.gz", "log2timeline__dfvfs/test_data/syslog.tgz"},
      {"log2timeline__dfvfs/test_data/syslog.db", "log2timeline__dfvfs/test_data/syslog.db"},
      {"exiftool__exiftool/t/images/EXE.exe", "Binject__debug/pe/testdata/gcc-386-mingw-exec"},
      {"mathiasbynens__small/newexecutable.exe", "mathiasbynens__small/linearexecutable.exe"},
      {"mathiasbynens__small/rar14.rar", "mathiasbynens__small/rar14.rar"},
      {"log2timeline__dfvfs/test_data/syslog.bz2", "mathiasbynens__small/bzip2.bz2"},
      {"log2timeline__dfvfs/test_data/syslog.xz", "log2timeline__dfvfs/test_data/syslog.xz"},
      {"log2timeline__dfvfs/test_data/tar/syslog.tar", "mathiasbynens__small/tar.tar"},
  };
  for (const auto& pair : pairs)
    ExpectBackToBack(CorpusFile(testing::CorpusPath(pair[0])), CorpusFile(testing::CorpusPath(pair[1])),
                     std::string(pair[0]) + " + " + pair[1]);
}

// An archive whose headers are encrypted hides its sizes: it is carved to
// the next boundary, so the whole archive is in the file; a RAR 5 archive's
// cipher blocks end where a zero slack begins.
TEST(CarvingArchives, EncryptedRarHeadersReadToTheBoundary) {
  VELMIRA_REQUIRE_CORPUS(path, "markokr__rarfile/test/files/rar5-hpsw.rar");
  Bytes old = SampleOfType(kTypeRar);
  testing::PutLe16(old, 7 + 3, 0x0080);
  testing::PutLe16(old, 7, static_cast<uint16_t>(crc32(0, old.data() + 9, 11)));
  for (const Bytes& file : {CorpusFile(path), old}) {
    const Carved carved = CarveInNoise(file, 65);
    ASSERT_NE(carved.row, nullptr);
    EXPECT_EQ(carved.row->code, kTypeRar);
    EXPECT_GE(carved.length, file.size());
  }
  const Bytes rar5 = CorpusFile(path);
  for (const uint64_t at : {0u, 65u}) {
    const Carved carved = CarveInNoise(rar5, at, false);
    ASSERT_NE(carved.row, nullptr);
    EXPECT_EQ(carved.length, rar5.size()) << "at " << at;
  }
  // Its encryption header followed by zeros is no archive.
  Bytes bare(rar5.begin(), rar5.begin() + 46);
  EXPECT_EQ(CarveInNoise(bare, 65, false).row, nullptr);
}

// Every sample the fixtures build for these rows is a whole file of its
// format (the fuzz seeds start from them).
TEST(CarvingArchives, FixtureSamplesComeOutWhole) {
  for (const uint32_t code : {kTypeGzip, kType7z, kTypeRar, kTypeCab, kTypeExe, kTypeDll, kTypeSys,
                              kTypeSqlite, kTypePst, kTypeDbx, kTypeTtf, kTypeTar, kTypeBzip2, kTypeXz}) {
    const Bytes sample = SampleOfType(code);
    ExpectCarvedWhole(sample, code, FindRowByCode(code)->extension);
    ExpectBackToBack(sample, sample, FindRowByCode(code)->extension);
  }
}

// A header whose structure does not hold gives no file: the sweep goes on
// to the next sector.
TEST(CarvingArchives, BrokenStructuresGiveNoFile) {
  struct Case {
    const char* what;
    uint32_t code;
    void (*damage)(Bytes&);
  };
  const Case cases[] = {
      {"gzip stream", kTypeGzip, [](Bytes& b) { b[20] ^= 0x55; }},
      {"gzip CRC-32", kTypeGzip, [](Bytes& b) { b[b.size() - 6] ^= 1; }},
      {"gzip length", kTypeGzip, [](Bytes& b) { b[b.size() - 3] ^= 1; }},
      {"gzip cut short", kTypeGzip, [](Bytes& b) { b.resize(b.size() - 8); }},
      {"7z next header CRC", kType7z, [](Bytes& b) { b[b.size() - 1] ^= 1; }},
      {"7z next header kind", kType7z,
       [](Bytes& b) {
         b[b.size() - 2] = 0x42;
         testing::PutLe32(b, 28, static_cast<uint32_t>(0));
       }},
      {"7z offsets past any medium", kType7z,
       [](Bytes& b) {
         testing::PutLe64(b, 12, UINT64_MAX - 40);
         testing::PutLe32(b, 8, static_cast<uint32_t>(crc32(0, b.data() + 12, 20)));
       }},
      {"rar packed size past any medium", kTypeRar,
       [](Bytes& b) {
         // The file block (after the mark and the main header) claims 2^64 - 1
         // bytes with the high half of a large file.
         const size_t at = 7 + 13;
         testing::PutLe16(b, at + 3, 0x8100);
         testing::PutLe32(b, at + 7, UINT32_MAX);
         testing::PutLe32(b, at + 32, UINT32_MAX);
         testing::PutLe16(b, at, static_cast<uint16_t>(crc32(0, b.data() + at + 2, b[at + 5] - 2)));
       }},
      {"rar main header CRC", kTypeRar, [](Bytes& b) { b[7] ^= 1; }},
      {"rar main header type", kTypeRar, [](Bytes& b) { b[9] = 0x74; }},
      {"cab folder beyond the cabinet", kTypeCab, [](Bytes& b) { testing::PutLe32(b, 36, 5000); }},
      {"cab file in no folder", kTypeCab, [](Bytes& b) { testing::PutLe16(b, 44 + 8, 7); }},
      {"cab no files", kTypeCab, [](Bytes& b) { testing::PutLe16(b, 28, 0); }},
      {"pe optional header magic", kTypeExe, [](Bytes& b) { testing::PutLe16(b, 0x98, 0x999); }},
      {"pe no sections", kTypeExe, [](Bytes& b) { testing::PutLe16(b, 0x86, 0); }},
      {"pe file alignment", kTypeExe, [](Bytes& b) { testing::PutLe32(b, 0x98 + 36, 500); }},
      {"pe section beyond the data", kTypeExe,
       [](Bytes& b) { testing::PutLe32(b, 0x98 + 224 + 20, 0x7FFFFF00); }},
      {"sqlite count beyond the data", kTypeSqlite, [](Bytes& b) { testing::PutBe32(b, 28, 0x00FFFFFF); }},
      {"pst sentinel", kTypePst, [](Bytes& b) { b[460] = 0; }},
      {"pst allocation map off the grid", kTypePst, [](Bytes& b) { testing::PutLe32(b, 172, 0x4401); }},
      {"pst map beyond the end", kTypePst, [](Bytes& b) { testing::PutLe32(b, 168, 0x4400); }},
      {"dbx size inside the header", kTypeDbx, [](Bytes& b) { testing::PutLe32(b, 0x7C, 0x100); }},
      {"ttf head magic", kTypeTtf, [](Bytes& b) { b[44 + 12] ^= 1; }},
      {"ttf table inside the directory", kTypeTtf, [](Bytes& b) { testing::PutBe32(b, 36, 16); }},
      {"ttf unreadable tag", kTypeTtf, [](Bytes& b) { b[28] = 0x01; }},
      {"bzip2 combined CRC", kTypeBzip2, [](Bytes& b) { b[13] ^= 1; }},
      {"xz footer CRC", kTypeXz, [](Bytes& b) { b[20] ^= 1; }},
      {"xz index CRC", kTypeXz, [](Bytes& b) { b[16] ^= 1; }},
      {"xz footer flags", kTypeXz, [](Bytes& b) { b[29] = 4; }},
  };
  for (const Case& c : cases) {
    Bytes sample = SampleOfType(c.code);
    c.damage(sample);
    for (const bool noisySlack : {false, true}) {
      const Carved carved = CarveInNoise(sample, 65, noisySlack);
      EXPECT_EQ(carved.row, nullptr) << c.what << " gave a ." << carved.Extension() << " of "
                                     << carved.length;
    }
  }
}

// A medium that ends inside the file: archives whose directory lies at
// their end give nothing, and so does a RAR archive of which only the main
// header is whole.
TEST(CarvingArchives, FilesCutShortByTheEndOfTheMedium) {
  struct Case {
    uint32_t code;
    size_t keep;        // bytes of the sample on the medium
    uint64_t expected;  // carved length, 0 for none
  };
  const Case cases[] = {
      {kType7z, 200, 0},
      {kTypeGzip, 30, 0},
      {kTypeRar, 7 + 13 + 100, 0},  // the main header only: its file's data is cut
  };
  for (const Case& c : cases) {
    Bytes part = SampleOfType(c.code);
    part.resize(c.keep);
    ImageBuilder image;
    image.Put(0, part);  // the image ends with the sector that holds the cut
    const Carved carved = testing::CarveAt(image.Source(), 0);
    EXPECT_EQ(carved.length, c.expected) << FindRowByCode(c.code)->extension;
  }
}

// Header tests that turned real files away.
TEST(CarvingArchives, HeaderTestsAcceptRealVariants) {
  // gzip of the default level (no extra flags), and with a comment and a
  // header CRC after its name.
  Bytes plain = SampleOfType(kTypeGzip);
  plain[8] = 0;
  ExpectCarvedWhole(plain, kTypeGzip, "gzip of the default level");
  Bytes commented = SampleOfType(kTypeGzip);
  commented[3] |= 0x10 | 0x02;
  const std::string comment = "made for a test";
  commented.insert(commented.begin() + 16, comment.begin(), comment.end() + 1);
  const uint32_t headerCrc =
      static_cast<uint32_t>(crc32(0, commented.data(), static_cast<uInt>(16 + comment.size() + 1)));
  const uint8_t crc16[] = {static_cast<uint8_t>(headerCrc), static_cast<uint8_t>(headerCrc >> 8)};
  commented.insert(commented.begin() + 16 + static_cast<std::ptrdiff_t>(comment.size()) + 1, crc16,
                   crc16 + 2);
  ExpectCarvedWhole(commented, kTypeGzip, "gzip with a comment and a header CRC");
  // A font whose table count is a power of two has a zero range shift.
  const Bytes font = SampleOfType(kTypeTtf);
  ASSERT_EQ(font[11], 0);
  ExpectCarvedWhole(font, kTypeTtf, "font of two tables");
  // RAR 5 is recognised; its mark alone is no file.
  Bytes rar5 = testing::BytesOf("Rar!\x1A\x07\x01\x00"sv);
  rar5.resize(512, 0);
  CarvingState state;
  EXPECT_EQ(DetectType(ByteView(rar5.data(), rar5.size()), state), kTypeRar);
  EXPECT_EQ(CarveInNoise(rar5, 5, false).row, nullptr);
  // So is the mark and main header of a 1.4 archive.
  Bytes rar14 = testing::BytesOf("RE~^\x07\x00\x00"sv);
  rar14.resize(512, 0);
  EXPECT_EQ(DetectType(ByteView(rar14.data(), rar14.size()), state), kTypeRar);
  EXPECT_EQ(CarveInNoise(rar14, 5, false).row, nullptr);
  // A DOS stub that points at a 16-bit or linear header over noise, or at
  // one whose tables do not hold, gives no program.
  const std::string small = testing::CorpusPath("mathiasbynens__small/newexecutable.exe");
  if (small.empty()) return;
  for (const char* name : {"newexecutable.exe", "linearexecutable.exe"}) {
    const Bytes program = CorpusFile(testing::CorpusPath(std::string("mathiasbynens__small/") + name));
    Bytes overNoise(program.begin(), program.begin() + 0x84);
    overNoise = testing::Concat({overNoise, testing::RandomBytes(4000, 3)});
    EXPECT_EQ(CarveInNoise(overNoise, 65).row, nullptr) << name;
  }
  Bytes segmentInHeader = CorpusFile(small);
  testing::PutLe16(segmentInHeader, 128 + 64, 0x40);  // the first segment inside the header's tables
  EXPECT_EQ(CarveInNoise(segmentInHeader, 65).row, nullptr);
  Bytes cutShort = CorpusFile(testing::CorpusPath("mathiasbynens__small/linearexecutable.exe"));
  cutShort.resize(cutShort.size() - 600);
  ImageBuilder image;
  image.Put(0, cutShort);  // the medium ends inside the last page
  EXPECT_EQ(testing::CarveAt(image.Source(), 0).row, nullptr);
}

// Concatenated gzip members that follow each other inside a sector are one
// file; a member that starts a sector is a file of its own.
TEST(CarvingArchives, GzipMembers) {
  const Bytes one = SampleOfType(kTypeGzip);
  Bytes two = one;
  two.insert(two.end(), one.begin(), one.end());
  ExpectCarvedWhole(two, kTypeGzip, "two members");
  Bytes aligned = one;
  aligned.resize(512, 0);
  aligned.insert(aligned.end(), one.begin(), one.end());
  const Carved carved = CarveInNoise(aligned, 65);
  EXPECT_EQ(carved.length, one.size());
}

// Lengths some headers give only with care.
TEST(CarvingArchives, LengthsBeyondTheObvious) {
  // A signed program: the certificate table past the last section belongs
  // to it.
  Bytes signedExe = SampleOfType(kTypeExe);
  const size_t directory = 0x98 + 96 + 4 * 8;
  testing::PutLe32(signedExe, directory, 1024);
  testing::PutLe32(signedExe, directory + 4, 40);
  testing::PutLe32(signedExe, 1024, 40);
  testing::PutLe16(signedExe, 1028, 0x0200);
  testing::PutLe16(signedExe, 1030, 2);
  testing::PutBytes(signedExe, 1032, testing::Noise(32, 4));
  ExpectCarvedWhole(signedExe, kTypeExe, "signed program");
  // A certificate entry that points inside the sections is not trusted.
  Bytes odd = SampleOfType(kTypeExe);
  testing::PutLe32(odd, directory, 512);
  testing::PutLe32(odd, directory + 4, 4000);
  EXPECT_EQ(CarveInNoise(odd, 65).length, odd.size());
}

// Databases written before the header kept its page count current are
// walked page by page.
TEST(CarvingArchives, SqliteWithoutACurrentPageCount) {
  for (const char* rel :
       {"log2timeline__dfvfs/test_data/blob.db", "log2timeline__dfvfs/test_data/syslog.db"}) {
    const std::string path = testing::CorpusPath(rel);
    if (path.empty()) GTEST_SKIP() << "shared corpus not present";
    Bytes file = CorpusFile(path);
    file[95] ^= 0x40;  // "valid for" no longer matches the change counter
    ExpectCarvedWhole(file, kTypeSqlite, rel);
    file[31] ^= 0x01;  // nor does the stale count matter
    EXPECT_EQ(CarveInNoise(file, 65, false).length, file.size()) << rel;
  }
}

// Files made here with the real tools.
TEST(CarvingArchives, FilesMadeByTheTools) {
  testing::TempDir dir;
  testing::WriteRandomFile(dir.File("random.bin"), 70000, 3);
  {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of the notes\n";
    testing::WriteFileBytes(dir.File("notes.txt"), Bytes(text.begin(), text.end()));
  }
  struct Tool {
    const char* tool;
    const char* command;  // run in the folder
    const char* output;
    uint32_t code;
  };
  const Tool tools[] = {
      {"7z", "7z a -bd -y out.7z notes.txt random.bin", "out.7z", kType7z},
      {"7z", "7z a -bd -y -mhe=on -pSecret enc.7z notes.txt", "enc.7z", kType7z},
      {"gzip", "gzip -c -6 notes.txt > out.gz", "out.gz", kTypeGzip},
      {"gzip", "(gzip -c -1 notes.txt; gzip -c -9 random.bin) > multi.gz", "multi.gz", kTypeGzip},
      {"tar", "tar czf out.tgz notes.txt random.bin", "out.tgz", kTypeGzip},
      {"tar", "tar cf out.tar notes.txt random.bin", "out.tar", kTypeTar},
      {"bzip2", "bzip2 -c notes.txt > out.bz2", "out.bz2", kTypeBzip2},
      {"bzip2", "bzip2 -c -1 random.bin > random.bz2", "random.bz2", kTypeBzip2},
      {"xz", "xz -c notes.txt > out.xz", "out.xz", kTypeXz},
      {"xz", "xz -c -T2 --block-size=20000 random.bin > blocks.xz", "blocks.xz", kTypeXz},
      {"sqlite3",
       "sqlite3 out.db 'create table t(a, b); insert into t values(1, randomblob(30000));"
       " create index i on t(b);'",
       "out.db", kTypeSqlite},
      {"gcab", "gcab -c -z out.cab notes.txt random.bin", "out.cab", kTypeCab},
  };
  int made = 0;
  for (const Tool& t : tools) {
    if (!testing::ToolAvailable(t.tool)) continue;
    ASSERT_TRUE(testing::RunQuiet("cd " + testing::ShellQuote(dir.path()) + " && " + t.command)) << t.command;
    const Bytes file = testing::ReadFileBytes(dir.File(t.output));
    ASSERT_FALSE(file.empty()) << t.command;
    ExpectCarvedWhole(file, t.code, t.command);
    ExpectBackToBack(file, file, t.command);
    ++made;
  }
  if (made == 0) GTEST_SKIP() << "none of 7z, gzip, tar, bzip2, xz, sqlite3, gcab is installed";
}

TEST(CarvingArchives, FontsOfTheSystem) {
  const char* fonts[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                         "/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf",
                         "/usr/share/fonts/truetype/dejavu/DejaVuMathTeXGyre.ttf"};
  int found = 0;
  for (const char* path : fonts) {
    const Bytes file = testing::ReadFileBytes(path);
    if (file.empty()) continue;
    ExpectCarvedWhole(file, kTypeTtf, path);
    ++found;
  }
  if (found == 0) GTEST_SKIP() << "fonts-dejavu-core is not installed";
}

}  // namespace
}  // namespace velmira
