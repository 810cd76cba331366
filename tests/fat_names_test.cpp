// Names as FAT volumes hold them: long names of up to 255 characters, names
// longer than a record's name field, short names in DOS code pages, files
// without the archive bit and files without an extension.
#include "engines/fat/fat_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "engines/engine_factory.h"
#include "engines/fat/fat_directory.h"
#include "jobs/name_settings.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "results/extension_lists.h"
#include "results/scan_log.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/engine_listing.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::CardContent;
using testing::FatCard;

using testing::ListAll;

std::vector<std::string> CollectedNames(IFileRecoveryParse& engine, std::string_view pattern) {
  std::vector<FoundRecord> files;
  EXPECT_EQ(engine.CollectMatches(std::string(pattern), files), kOk);
  std::vector<std::string> names;
  for (const FoundRecord& r : files) names.push_back(RecordName(r));
  std::sort(names.begin(), names.end());
  return names;
}

bool Holds(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Replaces the first occurrence of `from` in the image by `to` (same length).
bool PatchImage(const std::string& image, const std::string& from, const std::string& to) {
  Bytes bytes = testing::ReadFileBytes(image);
  const Bytes wanted(from.begin(), from.end());
  const auto at = std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end());
  if (at == bytes.end() || from.size() != to.size()) return false;
  std::copy(to.begin(), to.end(), at);
  testing::WriteFileBytes(image, bytes);
  return true;
}

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

class FatNames : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    VELMIRA_REQUIRE_TOOL("mkfs.vfat");
    VELMIRA_REQUIRE_TOOL("mcopy");
  }
  std::unique_ptr<IFileRecoveryParse> Scanned(const FatCard& card) {
    auto engine = CreateEngineForImage(card.image(), 1201, GetParam());
    EXPECT_NE(engine, nullptr);
    if (engine) {
      EXPECT_EQ(engine->Scan(""), kOk);
    }
    return engine;
  }
  bool Deep() const { return GetParam(); }
  testing::ScopedDataHome m_home;
};

// Names of 19 and 20 parts (235 to 255 characters), in a folder whose own
// name has 20 parts: none is refused, none ends the folder, none is cut.
TEST_P(FatNames, LongNamesOfNineteenAndTwentyPartsAreKept) {
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  const std::string folder = Repeat("d", 250);
  const std::string n235 = Repeat("a", 231) + ".jpg";
  const std::string n247 = Repeat("b", 243) + ".jpg";
  const std::string n255 = Repeat("c", 251) + ".jpg";
  ASSERT_TRUE(card.Mkdir(folder));
  for (const std::string& name : {n235, n255, std::string("after file.jpg"), n247})
    ASSERT_TRUE(card.Put(folder + "/" + name, CardContent(3000, static_cast<uint32_t>(name.size()), true)));
  for (const std::string& name : {n235, n255, std::string("after file.jpg"), n247})
    ASSERT_TRUE(card.Delete(folder + "/" + name));
  ASSERT_TRUE(card.Put(Repeat("e", 251) + ".jpg", CardContent(100, 9, true)));
  ASSERT_TRUE(card.Delete(Repeat("e", 251) + ".jpg"));

  auto engine = Scanned(card);
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  for (const std::string& name : {n235, n247, n255, std::string("after file.jpg")})
    EXPECT_EQ(found.count(folder + "/" + name), 1u) << name.size() << " characters";
  EXPECT_EQ(found.count(Repeat("e", 251) + ".jpg"), 1u);
  const auto jpgs = CollectedNames(*engine, "*.jpg|");
  EXPECT_TRUE(Holds(jpgs, n255));
  EXPECT_TRUE(Holds(jpgs, "after file.jpg"));
}

// Turns every "x" of the long-name parts in the first MiB of the image into
// "ж": mtools cuts names that take more than 255 bytes, a volume written by
// Windows holds them whole.
void CyrillicLongNames(const std::string& image) {
  Bytes bytes = testing::ReadFileBytes(image);
  static const size_t kCharOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t at = 0; at + 32 <= std::min<size_t>(bytes.size(), 1u << 20); at += 32) {
    if (bytes[at + 11] != 0x0F || bytes[at + 12] != 0 || bytes[at + 26] != 0 || bytes[at + 27] != 0) continue;
    for (const size_t off : kCharOffsets) {
      if (bytes[at + off] != 'x' || bytes[at + off + 1] != 0) continue;
      bytes[at + off] = 0x36;
      bytes[at + off + 1] = 0x04;
    }
  }
  testing::WriteFileBytes(image, bytes);
}

// 251 Cyrillic characters take 502 bytes: more than the record's field. The
// full name is listed, collected by its type and used for the recovered file
// (cut to what Linux file systems take, keeping ".jpg").
TEST_P(FatNames, NamesLongerThanTheRecordFieldKeepNameAndType) {
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put(Repeat("x", 251) + ".jpg", CardContent(5000, 1, true)));
  ASSERT_TRUE(card.Put(Repeat("x", 250) + "y.jpg", CardContent(6000, 2, true)));
  ASSERT_TRUE(card.Delete(Repeat("x", 251) + ".jpg"));
  ASSERT_TRUE(card.Delete(Repeat("x", 250) + "y.jpg"));
  CyrillicLongNames(card.image());
  const std::string name = Repeat("\xD0\xB6", 251) + ".jpg";  // "ж" x 251
  const std::string other = Repeat("\xD0\xB6", 250) + "y.jpg";
  const Bytes& content = card.Original(Repeat("x", 251) + ".jpg");

  auto engine = Scanned(card);
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  EXPECT_EQ(found.count(name), 1u);
  EXPECT_EQ(found.count(other), 1u);
  const auto jpgs = CollectedNames(*engine, "*.jpg|");
  EXPECT_TRUE(Holds(jpgs, name));
  EXPECT_TRUE(Holds(jpgs, other));

  std::vector<FoundRecord> files;
  ASSERT_EQ(engine->CollectMatches("*.jpg|", files), kOk);
  files.erase(
      std::remove_if(files.begin(), files.end(), [&](const FoundRecord& r) { return RecordName(r) != name; }),
      files.end());
  ASSERT_EQ(files.size(), 1u);
  testing::TempDir out;
  RecoveryJob job(out.path(), {{1201, engine.get()}}, files, nullptr);
  ASSERT_EQ(job.Run().Code(), kOk);
  ASSERT_EQ(job.Results().size(), 1u);
  EXPECT_EQ(job.Results()[0].status.Code(), kOk) << job.Results()[0].text;
  const std::string recovered = job.Results()[0].path;
  const std::string base = fs::path(recovered).filename().string();
  EXPECT_EQ(fs::path(recovered).parent_path().filename(), "photo");
  EXPECT_LE(base.size(), 255u);
  EXPECT_EQ(base.substr(base.size() - 4), ".jpg");
  EXPECT_EQ(base.substr(0, 100), name.substr(0, 100));
  EXPECT_EQ(testing::ReadFileBytes(recovered), content);
}

// An 8.3 name written by DOS or Windows holds code-page bytes: "CAFÉ.JPG" has
// 0x90 for "É" in code pages 437 and 850.
TEST_P(FatNames, ShortNamesAreReadInTheDosCodePage) {
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("CAFX.JPG", CardContent(3000, 3, true)));
  ASSERT_TRUE(card.Delete("CAFX.JPG"));
  ASSERT_TRUE(PatchImage(card.image(),
                         std::string("\xE5"
                                     "AFX    JPG",
                                     11),
                         std::string("\xE5"
                                     "AF\x90    JPG",
                                     11)));

  auto engine = Scanned(card);
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  EXPECT_EQ(found.count("!af\xC3\xA9.jpg"), 1u);  // "!afé.jpg"
  for (const auto& [path, record] : found) EXPECT_EQ(path.find("\xC2\x90"), std::string::npos) << path;
}

// Read-only, hidden, system files and files with no attribute bit at all
// are files like the others.
TEST_P(FatNames, FilesWithoutTheArchiveBitAreListed) {
  VELMIRA_REQUIRE_TOOL("mattrib");
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  const std::map<std::string, std::string> attributes = {{"plain file.jpg", "-a"},
                                                         {"read only.jpg", "-a +r"},
                                                         {"hidden file.jpg", "+h"},
                                                         {"system file.jpg", "-a +s"}};
  uint32_t seed = 10;
  for (const auto& [name, change] : attributes) {
    ASSERT_TRUE(card.Put(name, CardContent(4000, ++seed, true)));
    ASSERT_TRUE(testing::Mtools(card.image(), "mattrib", change + " " + testing::ShellQuote("::/" + name)));
  }
  ASSERT_TRUE(card.Put("after file.jpg", CardContent(4000, 99, true)));
  for (const auto& [name, change] : attributes) ASSERT_TRUE(card.Delete(name));
  ASSERT_TRUE(card.Delete("after file.jpg"));

  auto engine = Scanned(card);
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  for (const auto& [name, change] : attributes)
    EXPECT_EQ(found.count(name), 1u) << name << " (" << change << ")";
  EXPECT_EQ(found.count("after file.jpg"), 1u);
}

// "Makefile" has no extension: listed, collected with the
// files without extension or with every file, and recovered into others/.
TEST_P(FatNames, FilesWithoutExtensionAreCollectedAndRecovered) {
  FatCard card(16, 16);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("Makefile", CardContent(2000, 21)));
  ASSERT_TRUE(card.Put("my photo.jpg", CardContent(2000, 22, true)));
  ASSERT_TRUE(card.Delete("Makefile"));
  ASSERT_TRUE(card.Delete("my photo.jpg"));

  auto engine = Scanned(card);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(ListAll(*engine).count("Makefile"), 1u);
  EXPECT_FALSE(Holds(CollectedNames(*engine, "*.jpg|"), "Makefile"));
  EXPECT_TRUE(Holds(CollectedNames(*engine, kNoExtensionPattern), "Makefile"));
  EXPECT_FALSE(Holds(CollectedNames(*engine, kNoExtensionPattern), "my photo.jpg"));
  const auto every = CollectedNames(*engine, kEveryFilePattern);
  EXPECT_TRUE(Holds(every, "Makefile"));
  EXPECT_TRUE(Holds(every, "my photo.jpg"));

  std::vector<FoundRecord> files;
  ASSERT_EQ(engine->CollectMatches(std::string(kNoExtensionPattern), files), kOk);
  ASSERT_EQ(files.size(), 1u);
  testing::TempDir out;
  RecoveryJob job(out.path(), {{1201, engine.get()}}, files, nullptr);
  ASSERT_EQ(job.Run().Code(), kOk);
  ASSERT_EQ(job.Results().size(), 1u);
  EXPECT_EQ(job.Results()[0].path, out.path() + "/others/Makefile");
  EXPECT_EQ(testing::ReadFileBytes(out.path() + "/others/Makefile"), card.Original("Makefile"));
}

INSTANTIATE_TEST_SUITE_P(FastAndDeep, FatNames, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Deep" : "Fast";
                         });

// ---- builders: what the tools cannot make ----------------------------------

Bytes Entry(const char (&name)[12], uint8_t attributes, uint32_t size = 100) {
  Bytes e(32, 0);
  std::memcpy(e.data(), name, 11);
  e[11] = attributes;
  const uint16_t date = ((2021 - 1980) << 9) | (6 << 5) | 15;
  const uint16_t time = (10 << 11) | (20 << 5);
  for (size_t at : {14u, 22u}) {
    e[at] = static_cast<uint8_t>(time);
    e[at + 1] = static_cast<uint8_t>(time >> 8);
  }
  for (size_t at : {16u, 18u, 24u}) {
    e[at] = static_cast<uint8_t>(date);
    e[at + 1] = static_cast<uint8_t>(date >> 8);
  }
  e[26] = 5;
  for (int i = 0; i < 4; ++i) e[28 + i] = static_cast<uint8_t>(size >> (8 * i));
  return e;
}

TEST(FatNameRules, EntriesWithoutArchiveBitAreValidButNotLabelsOrBadCombinations) {
  for (uint8_t attributes : {0x00, 0x01, 0x02, 0x04, 0x07, 0x20, 0x21}) {
    const Bytes e = Entry("PLAIN   JPG", attributes);
    EXPECT_TRUE(IsValidFatEntry(ByteView(e.data(), e.size()), 0)) << int{attributes};
  }
  for (uint8_t attributes : {0x18, 0x28, 0x11, 0x40, 0x80}) {
    const Bytes e = Entry("PLAIN   JPG", attributes);
    EXPECT_FALSE(IsValidFatEntry(ByteView(e.data(), e.size()), 0)) << int{attributes};
  }
}

TEST(FatNameRules, LongNamePartsUpToTwentyAreValid) {
  Bytes part(32, 0);
  part[11] = kFatLongNamePart;
  for (uint8_t sequence : {19, 20}) {
    part[0] = static_cast<uint8_t>(kFatLastLongNamePart | sequence);
    EXPECT_TRUE(IsValidFatEntry(ByteView(part.data(), part.size()), 0)) << int{sequence};
  }
  LongNameBuffer buffer;
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(buffer.AddPart(ByteView(part.data(), part.size()))) << i;
  EXPECT_FALSE(buffer.AddPart(ByteView(part.data(), part.size())));
}

TEST(FatNameRules, CodePagesAndTheirSetting) {
  const Bytes cafe = Entry("CAF\x90    JPG", 0x20);
  const Bytes sign = Entry("PRICE\x9B  TXT", 0x20);
  const Bytes sigma = Entry(
      "\x05"
      "BC     TXT",
      0x20);
  const ByteView cafeView(cafe.data(), cafe.size());
  EXPECT_EQ(ShortNameCodePage(), 437);
  EXPECT_EQ(ShortEntryName(cafeView, false), "caf\xC3\xA9.jpg");
  EXPECT_EQ(ShortEntryName(ByteView(sign.data(), sign.size()), false), "price\xC2\xA2.txt");  // ¢
  EXPECT_EQ(ShortEntryName(ByteView(sigma.data(), sigma.size()), false),
            "\xCF\x83"
            "bc.txt");  // σ

  testing::TempDir dir;
  const std::string ini = dir.File("config.ini");
  auto write = [&](const std::string& text) { std::ofstream(ini) << text; };
  std::string problem;
  write("[Settings]\nShortNameCodePage=850\n");
  ApplyNameSettings(ini, problem);
  EXPECT_TRUE(problem.empty()) << problem;
  EXPECT_EQ(ShortNameCodePage(), 850);
  EXPECT_EQ(ShortEntryName(ByteView(sign.data(), sign.size()), false), "price\xC3\xB8.txt");  // ø
  EXPECT_EQ(ShortEntryName(cafeView, false), "caf\xC3\xA9.jpg");
  write("[Settings]\nShortNameCodePage=1252\n");
  ApplyNameSettings(ini, problem);
  EXPECT_EQ(ShortNameCodePage(), 1252);
  EXPECT_EQ(ShortEntryName(ByteView(sign.data(), sign.size()), false), "price\xE2\x80\xBA.txt");  // ›
  write("[Settings]\nShortNameCodePage=932\n");
  ApplyNameSettings(ini, problem);
  EXPECT_FALSE(problem.empty());
  EXPECT_EQ(ShortNameCodePage(), 437);
  write("[Other]\nx=1\n");
  ApplyNameSettings(ini, problem);
  EXPECT_TRUE(problem.empty());
  EXPECT_EQ(ShortNameCodePage(), 437);
}

// ---- the record field and the "_Names" file ---------------------------------

TEST(LongRecordNames, StoredFormKeepsStartAndExtensionAndTellsNamesApart) {
  const std::string a = Repeat("\xD0\xB6", 200) + "a.jpeg";
  const std::string b = Repeat("\xD0\xB6", 200) + "b.jpeg";
  const std::string sa = LongNameStoredForm(a);
  const std::string sb = LongNameStoredForm(b);
  EXPECT_LT(sa.size(), kFoundNameBytes);
  EXPECT_EQ(sa.substr(sa.size() - 5), ".jpeg");
  EXPECT_EQ(sa.substr(0, 100), a.substr(0, 100));
  EXPECT_NE(sa, sb);
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(sa)), sa);  // cut on a character boundary
  EXPECT_EQ(LongNameStoredForm("short.jpg"), "short.jpg");

  FoundRecord r = MakeFoundRecord();
  SetRecordName(r, a);
  EXPECT_EQ(RecordName(r), a);
  EXPECT_EQ(ExtensionOf(NameFieldText(r.name, sizeof r.name)), "jpeg");
}

TEST(LongRecordNames, ScanLogKeepsThemInItsNamesFile) {
  testing::TempDir dir;
  const std::string path = dir.File("Fast_0_test");
  const std::string name = Repeat("\xD1\x8F", 180) + ".mp3";  // "я" x 180
  {
    CScanLog log;
    ASSERT_EQ(log.OpenLog(path), kOk);
    FoundRecord* plain = log.AppendRecord();
    SetRecordName(*plain, "plain.mp3");
    FoundRecord* longOne = log.AppendRecord();
    SetRecordName(*longOne, name);
    log.AddRelation(MakeDirectoryKey(0, 2), 1, 0, nullptr);
    log.AddRelation(MakeDirectoryKey(0, 2), 2, 0, nullptr);
    ASSERT_EQ(log.CloseLog(), kOk);
  }
  const Bytes names = testing::ReadFileBytes(path + "_Names");
  ASSERT_EQ(names.size(), 6 + name.size());
  EXPECT_EQ(names[0], 2);
  EXPECT_EQ(names[4] | (names[5] << 8), static_cast<int>(name.size()));
  EXPECT_EQ(std::string(names.begin() + 6, names.end()), name);

  // A log written by another process: the record holds a stored form this
  // process never made, and only the "_Names" file knows the full name.
  const std::string other = Repeat("\xD1\x8E", 170) + ".wav";  // "ю" x 170
  Bytes main = testing::ReadFileBytes(path);
  ASSERT_EQ(main.size(), 2 * kScanLogRecordBytes);
  FoundRecord record;
  std::memcpy(&record, main.data() + kScanLogRecordBytes, sizeof record);
  CopyToNameField(record.name, sizeof record.name, LongNameStoredForm(other));
  std::memcpy(main.data() + kScanLogRecordBytes, &record, sizeof record);
  testing::WriteFileBytes(path, main);
  Bytes entry = {2, 0, 0, 0, static_cast<uint8_t>(other.size()), static_cast<uint8_t>(other.size() >> 8)};
  entry.insert(entry.end(), other.begin(), other.end());
  Bytes damaged = entry;
  damaged[0] = 7;  // not a record of the log
  Bytes cut = {2, 0, 0, 0, 0xFF, 0x03, 'x'};
  Bytes side = damaged;
  side.insert(side.end(), entry.begin(), entry.end());
  side.insert(side.end(), cut.begin(), cut.end());
  testing::WriteFileBytes(path + "_Names", side);

  CScanLog reader;
  ASSERT_EQ(reader.OpenLogReadOnly(path), kOk);
  std::vector<FoundRecord> found;
  ASSERT_EQ(reader.FindByExtension("*.wav|", found), kOk);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(RecordName(found[0]), other);

  // Logs without the file read as before.
  fs::remove(path + "_Names");
  CScanLog old;
  ASSERT_EQ(old.OpenLogReadOnly(path), kOk);
  found.clear();
  ASSERT_EQ(old.FindByExtension("*.mp3|", found), kOk);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(RecordName(found[0]), "plain.mp3");
}

TEST(LongRecordNames, RecoveredNamesFitTheFileSystem) {
  const std::string name = Repeat("\xD0\xB6", 200) + ".jpg";
  const std::string fitted = FitNameBytes(name, kMaxRecoveredNameBytes);
  EXPECT_LE(fitted.size(), kMaxRecoveredNameBytes);
  EXPECT_EQ(fitted.substr(fitted.size() - 4), ".jpg");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(fitted)), fitted);
  EXPECT_EQ(FitNameBytes("a.jpg", kMaxRecoveredNameBytes), "a.jpg");
  EXPECT_EQ(RecoveryCategoryOf("Makefile"), FileCategory::kOthers);
  EXPECT_EQ(RecoveryCategoryOf("photo.JPG"), FileCategory::kPhoto);
}

}  // namespace
}  // namespace velmira
