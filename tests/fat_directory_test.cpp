#include "engines/fat/fat_directory.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engines/fat/deep_fat_recovery.h"
#include "platform/time_util.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using Entry = std::array<uint8_t, 32>;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t Date(int y, int m, int d) {
  return static_cast<uint16_t>(((y - 1980) << 9) | (m << 5) | d);
}
constexpr uint16_t Time(int h, int m, int s) {
  return static_cast<uint16_t>((h << 11) | (m << 5) | (s / 2));
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v));
  Put16(p + 2, static_cast<uint16_t>(v >> 16));
}

// A live file "PHOTO   JPG" dated 2024-03-05 09:07:30.
Entry FileEntry(const char* name11 = "PHOTO   JPG", uint8_t attr = 0x20) {
  Entry e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = attr;
  Put16(&e[14], Time(9, 7, 30));
  Put16(&e[16], Date(2024, 3, 5));
  Put16(&e[18], Date(2024, 3, 6));
  Put16(&e[22], Time(10, 0, 0));
  Put16(&e[24], Date(2024, 3, 5));
  Put16(&e[26], 5);
  Put32(&e[28], 1234);
  return e;
}

Entry FolderEntry(const char* name11) {
  Entry e = FileEntry(name11, 0x10);
  Put32(&e[28], 0);
  return e;
}

// A long-name part carrying `checksum`.
Entry LongNamePart(uint8_t sequence, uint8_t checksum) {
  Entry e{};
  e[0] = sequence;
  for (int i : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) e[i] = 'x';
  e[11] = 0x0F;
  e[13] = checksum;
  return e;
}

Bytes Join(std::initializer_list<Entry> entries, size_t size = 512) {
  Bytes b(size, 0);
  size_t at = 0;
  for (const Entry& e : entries) {
    std::memcpy(b.data() + at, e.data(), e.size());
    at += e.size();
  }
  return b;
}

uint64_t Civil(int y, int mo, int d, int h, int mi, int s, int ms) {
  CivilTime c;
  c.year = y, c.month = mo, c.day = d, c.hour = h, c.minute = mi, c.second = s, c.millisecond = ms;
  uint64_t ft = 0;
  EXPECT_TRUE(FileTimeFromCivil(c, ft));
  return ft;
}

TEST(FatTimes, ConvertWordsAndHundredths) {
  EXPECT_EQ(FatDateTimeToFileTime(Date(2024, 3, 5), Time(9, 7, 30)), Civil(2024, 3, 5, 9, 7, 30, 0));
  // Hundredths count 10 ms units; 155 carries one second and leaves 550 ms.
  EXPECT_EQ(FatDateTimeToFileTime(Date(2024, 3, 5), Time(9, 7, 30), 155), Civil(2024, 3, 5, 9, 7, 31, 550));
  EXPECT_EQ(FatDateTimeToFileTime(Date(2024, 3, 5), Time(9, 7, 30), 100), Civil(2024, 3, 5, 9, 7, 31, 0));
  // Dates and times that do not exist do not convert.
  EXPECT_EQ(FatDateTimeToFileTime(0, 0), 0u);
  EXPECT_EQ(FatDateTimeToFileTime(Date(2023, 2, 29), 0), 0u);
  EXPECT_EQ(FatDateTimeToFileTime(Date(2024, 13, 1), 0), 0u);
  EXPECT_EQ(FatDateTimeToFileTime(Date(2024, 1, 1), static_cast<uint16_t>(24 << 11)), 0u);
  EXPECT_EQ(FatDateTimeToFileTime(Date(2024, 1, 1), static_cast<uint16_t>(30)), 0u) << "second 60";
  EXPECT_EQ(FatDateTimeToFileTime(Date(2024, 1, 1), Time(0, 0, 58), 199), Civil(2024, 1, 1, 0, 0, 59, 990));

  const FatEntryTimes t = ReadFatEntryTimes(FatEntryView(ByteView(FileEntry().data(), 32)));
  EXPECT_EQ(t.created, Civil(2024, 3, 5, 9, 7, 30, 0));
  EXPECT_EQ(t.accessed, Civil(2024, 3, 6, 0, 0, 0, 0));
  EXPECT_EQ(t.modified, Civil(2024, 3, 5, 10, 0, 0, 0));
}

TEST(FatEntry, ValidityRules) {
  struct Case {
    const char* what;
    std::function<void(Entry&)> change;
    bool valid;
  };
  const Case cases[] = {
      {"clean live file", [](Entry&) {}, true},
      {"live file dated 1989-12-31", [](Entry& e) { Put16(&e[24], Date(1989, 12, 31)); }, false},
      {"deleted file dated 1989-12-31", [](Entry& e) { e[0] = 0xE5, Put16(&e[24], Date(1989, 12, 31)); },
       true},
      {"live file dated 2050-01-01 00:00",
       [](Entry& e) { Put16(&e[24], Date(2050, 1, 1)), Put16(&e[22], 0); }, true},
      {"live file dated 2050-01-01 00:00:02",
       [](Entry& e) { Put16(&e[24], Date(2050, 1, 1)), Put16(&e[22], 1); }, false},
      {"live file without access date", [](Entry& e) { Put16(&e[18], 0); }, false},
      {"empty file with a cluster", [](Entry& e) { Put32(&e[28], 0); }, false},
      {"empty file with only a high cluster",
       [](Entry& e) { Put32(&e[28], 0), Put16(&e[26], 0), Put16(&e[20], 1); }, false},
      {"empty file without cluster", [](Entry& e) { Put32(&e[28], 0), Put16(&e[26], 0); }, true},
      {"volume label", [](Entry& e) { e[11] = 0x08, Put32(&e[28], 0), Put16(&e[26], 0); }, true},
      {"volume label with a size", [](Entry& e) { e[11] = 0x08, Put16(&e[26], 0); }, false},
      {"label bit on a folder", [](Entry& e) { e[11] = 0x18, Put32(&e[28], 0); }, false},
      {"read-only folder", [](Entry& e) { e[11] = 0x11, Put32(&e[28], 0); }, false},
      {"read-only file", [](Entry& e) { e[11] = 0x21; }, true},
      {"attribute 0x40", [](Entry& e) { e[11] = 0x60; }, false},
      {"hidden file without archive bit", [](Entry& e) { e[11] = 0x02; }, true},
      {"file without any attribute", [](Entry& e) { e[11] = 0x00; }, true},
      {"live folder with a size", [](Entry& e) { e[11] = 0x10; }, false},
      {"deleted folder with a size", [](Entry& e) { e[11] = 0x10, e[0] = 0xE5; }, true},
      {"lower-case name", [](Entry& e) { e[1] = 'h'; }, false},
      {"question mark in name", [](Entry& e) { e[2] = '?'; }, false},
      {"dot in name", [](Entry& e) { e[8] = '.'; }, false},
      {"control byte in name", [](Entry& e) { e[0] = 0x05; }, false},
      {"code-page letters in name", [](Entry& e) { e[1] = 0xC4, e[2] = 0x81; }, true},
  };
  for (const Case& c : cases) {
    Entry e = FileEntry();
    c.change(e);
    EXPECT_EQ(IsValidFatEntry(ByteView(e.data(), e.size()), 0), c.valid) << c.what;
  }

  // Long-name parts: 20 parts at most unless deleted; no low cluster.
  Entry part = LongNamePart(0x40 | 20, 0x11);
  EXPECT_TRUE(IsValidFatEntry(ByteView(part.data(), 32), 0));
  part[0] = 0x40 | 21;
  EXPECT_FALSE(IsValidFatEntry(ByteView(part.data(), 32), 0));
  part[0] = 0xE5;
  EXPECT_TRUE(IsValidFatEntry(ByteView(part.data(), 32), 0));
  Put16(&part[26], 3);
  EXPECT_FALSE(IsValidFatEntry(ByteView(part.data(), 32), 0));

  // An entry that does not fit in the buffer is no entry.
  const Entry file = FileEntry();
  EXPECT_FALSE(IsValidFatEntry(ByteView(file.data(), 31), 0));
  EXPECT_FALSE(IsValidFatEntry(ByteView(file.data(), 32), 1));
}

TEST(FatEntry, DotPairIsAcceptedAndStartsAFolder) {
  Entry dot = FolderEntry(".          ");
  Entry dotDot = FolderEntry("..         ");
  Bytes sector = Join({dot, dotDot, FileEntry()});
  EXPECT_TRUE(IsValidFatEntry(ByteView(sector.data(), sector.size()), 0));
  EXPECT_TRUE(IsDotDirectorySector(ByteView(sector.data(), sector.size())));
  EXPECT_FALSE(IsDotDirectorySector(ByteView(sector.data(), 63)));
  // The ".." entry on its own is noise to the walk (its name holds dots).
  EXPECT_FALSE(IsValidFatEntry(ByteView(sector.data(), sector.size()), 32));

  struct Case {
    const char* what;
    std::function<void(Entry&, Entry&)> change;
  };
  const Case broken[] = {
      {"creation times differ", [](Entry&, Entry& dd) { Put16(&dd[14], Time(9, 7, 32)); }},
      {"access dates differ", [](Entry& d, Entry&) { Put16(&d[18], Date(2024, 3, 7)); }},
      {".. is not a folder", [](Entry&, Entry& dd) { dd[11] = 0x20; }},
      {". has a size", [](Entry& d, Entry&) { Put32(&d[28], 512); }},
      {"second entry is not ..", [](Entry&, Entry& dd) { dd[1] = ' '; }},
  };
  for (const Case& c : broken) {
    Entry d = dot, dd = dotDot;
    c.change(d, dd);
    const Bytes s = Join({d, dd});
    EXPECT_FALSE(IsDotDirectorySector(ByteView(s.data(), s.size()))) << c.what;
  }
}

TEST(FatDirectorySector, Rules) {
  const Entry file = FileEntry();
  Entry shortOwner = FileEntry("LONGFI~1TXT");
  const uint8_t sum = ShortNameChecksum(FatEntryView(ByteView(shortOwner.data(), 32)));
  Entry label = FileEntry("MYCARD     ", 0x08);
  Put32(&label[28], 0), Put16(&label[26], 0), Put16(&label[14], 0), Put16(&label[16], 0);
  // All bytes 0x41 form a valid entry whose second half repeats the first.
  Entry filler{};
  filler.fill(0x41);
  filler[11] = 0x20, filler[27] = 0x20;
  Entry deletedLabel = label;
  deletedLabel[0] = 0xE5;
  Entry fillerControl = filler;
  fillerControl[27] = 0x21;
  Entry noCreation = file;
  Put16(&noCreation[16], 0);
  Entry deleted = file;
  deleted[0] = 0xE5;

  struct Case {
    const char* what;
    Bytes buffer;
    bool pass;
  };
  Bytes trailing = Join({file});
  trailing[300] = 1;
  const Case cases[] = {
      {"shorter than an entry", Bytes(31, 0xAB), true},
      {"all zero", Bytes(512, 0), false},
      {"one file then zeros", Join({file}), true},
      {"bytes after the end mark", trailing, false},
      {"repeated 16-byte pattern", Join({filler}), false},
      {"control for the pattern", Join({fillerControl}), true},
      {"long name owned by its short entry",
       Join({LongNamePart(0x42, sum), LongNamePart(1, sum), shortOwner}), true},
      {"long name with a foreign checksum", Join({LongNamePart(0x41, uint8_t(sum + 1)), shortOwner}), false},
      {"long name owned by a deleted entry", Join({LongNamePart(0x41, 0x77), deleted}), true},
      {"long name cut by the buffer end", Join({file, LongNamePart(0x42, sum)}, 64), true},
      {"long name followed by the end mark", Join({LongNamePart(0x41, sum)}), false},
      {"short entry without creation time", Join({noCreation}), false},
      {"live volume label without creation time", Join({label, file}), false},
      {"deleted volume label without creation time", Join({deletedLabel, file}), true},
      {"blank inside the base name", Join({FileEntry("A B     JPG")}), false},
      {"blank inside the extension", Join({FileEntry("PHOTO   J G")}), false},
      {"lead byte without trail byte",
       Join({FileEntry("\xB0"
                       "ABCDEF JPG")}),
       false},
      {"double-byte character",
       Join({FileEntry("\xB0\xA1"
                       "ABCDE JPG")}),
       true},
      {"deleted mark is not a lead byte", Join({deleted}), true},
  };
  for (const Case& c : cases) {
    const ByteView buffer(c.buffer.data(), c.buffer.size());
    EXPECT_EQ(IsDirectorySector(buffer), c.pass) << c.what;
    // The sweep's test, with its first look in front, answers the same.
    EXPECT_EQ(CDeepFatRecovery::IsDirectorySector(buffer), c.pass) << c.what;
  }
}

// A real volume: every folder's first sector is a dot sector, the root
// directory sectors are directory sectors, and file data is neither.
TEST(FatDirectorySector, RecognisesAVolumeMadeByTheTools) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::TempDir dir;
  const std::string image = dir.File("fat.img");
  ASSERT_TRUE(testing::MakeFatImage(image, 16, 16));
  testing::WriteRandomFile(dir.File("data.bin"), 40000, 7);
  for (const char* folder : {"::/DCIM", "::/DCIM/100CAM", "::/Notes with long name"})
    ASSERT_TRUE(testing::RunQuiet("mmd -i " + image + " '" + folder + "'"));
  ASSERT_TRUE(
      testing::RunQuiet("mcopy -i " + image + " " + dir.File("data.bin") + " ::/DCIM/100CAM/IMG_0001.JPG"));
  ASSERT_TRUE(testing::RunQuiet("mcopy -i " + image + " " + dir.File("data.bin") +
                                " '::/Notes with long name/a rather long file name.bin'"));

  const Bytes bytes = testing::ReadFileBytes(image);
  int dots = 0, directories = 0;
  for (size_t at = 0; at + 512 <= bytes.size(); at += 512) {
    const ByteView sector(bytes.data() + at, 512);
    dots += IsDotDirectorySector(sector);
    directories += IsDirectorySector(sector);
    EXPECT_EQ(CDeepFatRecovery::IsDotDirectorySector(sector), IsDotDirectorySector(sector)) << at;
    EXPECT_EQ(CDeepFatRecovery::IsDirectorySector(sector), IsDirectorySector(sector)) << at;
  }
  EXPECT_EQ(dots, 3);
  EXPECT_EQ(directories, 1) << "only the root's first sector holds entries besides the dot sectors";
}

TEST(FatDirectorySector, CorpusFat12FindsEveryFolder) {
  VELMIRA_REQUIRE_CORPUS(gz, "msuhanov__dfir_ntfs/test_data/fat12.raw.gz");
  testing::TempDir dir;
  const std::string image = dir.File("fat12.raw");
  ASSERT_TRUE(testing::RunQuiet("gzip -dc " + testing::ShellQuote(gz) + " > " + image));
  const Bytes bytes = testing::ReadFileBytes(image);
  ASSERT_EQ(bytes.size(), 4194304u);
  int dots = 0;
  for (size_t at = 0; at + 512 <= bytes.size(); at += 512)
    dots += IsDotDirectorySector(ByteView(bytes.data() + at, 512));
  // 512 folders listed in the full root, and one more whose entry found no
  // room there (its cluster was already written).
  EXPECT_EQ(dots, 513);
  const size_t rootStart = (1 + 2 * ByteView(bytes.data(), 512).U16At(22)) * 512;
  for (size_t i = 0; i < 32; ++i)
    EXPECT_TRUE(IsDirectorySector(ByteView(bytes.data() + rootStart + i * 512, 512))) << "root sector " << i;
}

}  // namespace
}  // namespace velmira
