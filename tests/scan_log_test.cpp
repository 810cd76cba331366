#include "results/scan_log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "results/relation_text.h"
#include "results/scan_log_names.h"
#include "results/scan_log_registry.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ReadFileBytes;
using testing::ScopedDataHome;
using testing::WriteFileBytes;

uint32_t AddFile(CScanLog& log, DirectoryKey parent, const std::string& name, uint32_t contentOk = 1) {
  FoundRecord* slot = log.AppendRecord();
  slot->engineTag = kTagFastFat;
  slot->contentOk = contentOk;
  slot->size = 1000;
  SetRecordName(*slot, name);
  const uint32_t n = slot->recordNumber;
  log.AddRelation(parent, n, 0, nullptr);
  return n;
}

uint32_t AddFolder(CScanLog& log, DirectoryKey parent, const std::string& name, uint32_t key,
                   bool named = true) {
  FoundRecord* slot = log.AppendRecord();
  slot->engineTag = kTagFastFat;
  slot->isFolder = 1;
  slot->contentOk = 1;
  slot->key = key;
  SetRecordName(*slot, name);
  const uint32_t n = slot->recordNumber;
  log.AddRelation(parent, n, key, named ? slot->name : nullptr);
  return n;
}

std::vector<std::string> Names(const std::vector<FoundRecord>& records) {
  std::vector<std::string> names;
  for (const FoundRecord& r : records) names.push_back(RecordName(r));
  return names;
}

std::string FileText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

uint64_t FileSize(const std::string& path) {
  return std::filesystem::file_size(path);
}

class ScanLogTest : public ::testing::Test {
 protected:
  ScopedDataHome m_home;
};

TEST_F(ScanLogTest, OpenCreatesThreeEmptyFilesInTheCurrentLogFolder) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_2048_2024359 7"), kOk);
  const std::string main = m_home.ScanLogFolder() + "/0/Fast_2048_2024359 7";
  EXPECT_EQ(log.MainPath(), main);
  EXPECT_EQ(FileSize(main), 0u);
  EXPECT_EQ(FileSize(main + "_Relation"), 0u);
  EXPECT_EQ(FileSize(main + "_DirInfo"), 0u);
  EXPECT_TRUE(log.Relations().empty());
  EXPECT_TRUE(log.Directories().empty());
  EXPECT_EQ(log.RecordCount(), 0u);
  EXPECT_EQ(log.FlushLog(), kOk);
  EXPECT_EQ(FileSize(main + "_Relation"), 0u);

  EXPECT_EQ(log.OpenLog("a/b"), kErrInvalidName);
  EXPECT_FALSE(log.IsOpen());
}

TEST_F(ScanLogTest, FilesHoldRecordsRelationTextAndDirectoriesByteForByte) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Pro_Fat_0_2026121210"), kOk);
  const DirectoryKey deep = MakeDirectoryKey(1, 6);
  ASSERT_EQ(deep, 4294967302u);
  EXPECT_EQ(AddFile(log, 2, "a.jpg"), 1u);
  EXPECT_EQ(AddFile(log, 2, "b.jpg"), 2u);
  EXPECT_EQ(AddFile(log, deep, "c.doc"), 3u);
  EXPECT_EQ(AddFile(log, deep, "d.doc"), 4u);
  EXPECT_EQ(AddFolder(log, 2, "Holiday", 6), 5u);
  EXPECT_EQ(log.RecordCount(), 5u);
  ASSERT_EQ(log.FlushLog(), kOk);

  EXPECT_EQ(FileText(log.MainPath() + "_Relation"), " | 2 - [1,2,5] | 4294967302 - [3,4]");

  const std::vector<uint8_t> main = ReadFileBytes(log.MainPath());
  ASSERT_EQ(main.size(), 5u * 346);
  FoundRecord third;
  std::memcpy(&third, main.data() + 2 * 346, sizeof third);
  EXPECT_EQ(RecordName(third), "c.doc");
  EXPECT_EQ(uint32_t{third.recordNumber}, 3u);
  EXPECT_EQ(main[2 * 346 + 18], 3);  // recordNumber at offset 18

  const std::vector<uint8_t> dirs = ReadFileBytes(log.MainPath() + "_DirInfo");
  ASSERT_EQ(dirs.size(), 268u);
  EXPECT_EQ(dirs[0], 6);  // key
  EXPECT_EQ(dirs[4], 5);  // recordNumber
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dirs.data() + 8)), "Holiday");
  EXPECT_EQ(dirs[8 + 7], 0);
}

TEST_F(ScanLogTest, TheTwoHundredAndFirstRecordWritesOneFullBuffer) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("File_Type_0_20261212 0"), kOk);
  for (int i = 0; i < 200; ++i) AddFile(log, 0, "f" + std::to_string(i) + ".jpg");
  EXPECT_EQ(FileSize(log.MainPath()), 0u);
  FoundRecord* slot = log.AppendRecord();
  EXPECT_EQ(FileSize(log.MainPath()), 69200u);
  EXPECT_EQ(uint32_t{slot->recordNumber}, 201u);
  EXPECT_EQ(log.LastRecordNumber(), 201u);
  // The slot is handed out cleared, whatever the buffer held before.
  EXPECT_EQ(RecordName(*slot), "");
  EXPECT_EQ(uint32_t{slot->isDeleted}, 0u);
  ASSERT_EQ(log.FlushLog(), kOk);
  EXPECT_EQ(FileSize(log.MainPath()), 201u * 346);
}

TEST_F(ScanLogTest, ListsSortFilesFirstAndHideOnlyBrokenPhotos) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_20261212 0"), kOk);
  const DirectoryKey root = MakeDirectoryKey(0, 2);
  AddFolder(log, root, "zeta", 10);
  AddFile(log, root, "broken.JPG", 0);  // photo whose content check failed: hidden
  AddFile(log, root, "report.doc", 0);  // document whose check failed: listed
  AddFile(log, root, "bad.jp", 0);      // "jp" lies inside the photo list: hidden
  AddFile(log, root, "Beta.png");
  AddFile(log, root, "alpha.txt");
  AddFile(log, root, "README", 0);  // no extension: listed
  AddFolder(log, root, "Alpha", 11);

  std::vector<FoundRecord> list;
  ASSERT_EQ(log.ReadChildRecords(root, list), kOk);  // before any flush: served from the buffer
  EXPECT_EQ(Names(list),
            (std::vector<std::string>{"alpha.txt", "Beta.png", "README", "report.doc", "Alpha", "zeta"}));
  ASSERT_EQ(log.FlushLog(), kOk);
  list.clear();
  ASSERT_EQ(log.ReadChildRecords(0, list), kOk);  // key 0: the smallest key
  EXPECT_EQ(list.size(), 6u);

  // A folder without children is empty and never enters the map.
  list.clear();
  ASSERT_EQ(log.ReadChildRecords(MakeDirectoryKey(1, 10), list), kOk);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(log.Relations().size(), 1u);
  ASSERT_EQ(log.FlushLog(), kOk);
  EXPECT_EQ(FileText(log.MainPath() + "_Relation"), " | 2 - [1,2,3,4,5,6,7,8]");

  uint32_t count = 99;
  ASSERT_EQ(log.CountFilesBelow(root, count), kOk);
  EXPECT_EQ(count, 6u);  // counting reads every file, broken photos too
}

TEST_F(ScanLogTest, FindByExtensionMatchesSubstringsAndReportsProgress) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_20261212 1"), kOk);
  AddFile(log, 0, "a.jp");  // "jp" occurs in "*.jpeg|"
  AddFile(log, 0, "b.JPEG");
  AddFile(log, 0, "c.jpeg", 0);  // broken photo
  AddFile(log, 0, "jpeg");       // no "." at all
  AddFile(log, 0, "d.");         // empty extension
  AddFile(log, 0, "e.doc", 0);
  AddFolder(log, 0, "f.jpeg", 7);

  std::vector<FoundRecord> found;
  ASSERT_EQ(log.FindByExtension("*.jpeg|*.doc|", found), kOk);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"a.jp", "b.JPEG", "e.doc"}));

  // Progress after each piece of 200 records; a non-zero answer stops the
  // sweep and comes back with what was found so far.
  for (int i = 0; i < 600; ++i) AddFile(log, 0, "x" + std::to_string(i) + ".png");
  struct Seen {
    std::vector<int32_t> percents;
    int32_t stopAfter;
  } seen{{}, 2};
  log.SetSearchCallback(
      [](void* user, int32_t percent, int32_t) -> int32_t {
        auto* s = static_cast<Seen*>(user);
        s->percents.push_back(percent);
        return static_cast<int32_t>(s->percents.size()) >= s->stopAfter ? kCancelled : 0;
      },
      &seen);
  found.clear();
  EXPECT_EQ(log.FindByExtension("*.png|", found), kCancelled);
  EXPECT_EQ(seen.percents, (std::vector<int32_t>{32, 65}));  // 400 of 607 records
  EXPECT_EQ(found.size(), 393u);                             // x0..x392 in the first 400 records

  seen = {{}, 100};
  found.clear();
  EXPECT_EQ(log.FindByExtension("*.png|", found), kOk);
  EXPECT_EQ(seen.percents.back(), 100);
  EXPECT_EQ(found.size(), 600u);
}

TEST_F(ScanLogTest, CountsPathsAndDirectoryLookupsFollowTheTree) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_20261212 2"), kOk);
  const DirectoryKey root = MakeDirectoryKey(0, 2);
  AddFile(log, root, "top.jpg");
  AddFolder(log, root, "DCIM", 10);
  AddFile(log, MakeDirectoryKey(1, 10), "one.jpg");
  const uint32_t sub = AddFolder(log, MakeDirectoryKey(1, 10), "100CANON", 11, /*named=*/false);
  AddFile(log, MakeDirectoryKey(2, 11), "two.jpg");
  const uint32_t deepest = AddFile(log, MakeDirectoryKey(2, 11), "three.jpg");
  // A folder that shares key 11 at another depth stays apart.
  AddFolder(log, root, "other", 11);
  AddFile(log, MakeDirectoryKey(1, 11), "four.jpg");
  ASSERT_EQ(log.FlushLog(), kOk);

  uint32_t count = 0;
  ASSERT_EQ(log.CountFilesBelow(root, count), kOk);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(log.CountFilesBelow(MakeDirectoryKey(1, 10), count), kOk);
  EXPECT_EQ(count, 3u);
  ASSERT_EQ(log.CountFilesBelow(MakeDirectoryKey(7, 7), count), kOk);
  EXPECT_EQ(count, 0u);

  FoundRecord folder;
  ASSERT_EQ(log.FindDirectoryRecord(11, folder), kOk);
  EXPECT_EQ(uint32_t{folder.recordNumber}, sub);  // the first folder with that key
  EXPECT_EQ(log.FindDirectoryRecord(99, folder), kErrInvalidParameter);

  // "100CANON" has no directory entry: its name comes from the main file.
  FoundRecord record;
  ASSERT_EQ(log.ReadRecord(deepest, record), kOk);
  std::vector<FoundRecord> path;
  ASSERT_EQ(log.BuildPath(record, path), kOk);
  EXPECT_EQ(Names(path), (std::vector<std::string>{"100CANON", "DCIM"}));
  EXPECT_EQ(PathTextFrom(path), "DCIM/100CANON/");

  // Records at the root have no path.
  path.clear();
  ASSERT_EQ(log.ReadRecord(1, record), kOk);
  ASSERT_EQ(log.BuildPath(record, path), kOk);
  EXPECT_TRUE(path.empty());
}

TEST_F(ScanLogTest, ReopenedLogKeepsItsTreeAndNumbersNewRecordsAfterTheOldOnes) {
  const DirectoryKey root = MakeDirectoryKey(0, 5);
  std::string mainPath;
  {
    CScanLog log;
    ASSERT_EQ(log.OpenLog("Pro_Ntfs_63_20261212 3"), kOk);
    AddFile(log, root, "a.txt");
    AddFolder(log, root, "docs", 40);
    AddFile(log, MakeDirectoryKey(1, 40), "b.txt");
    mainPath = log.MainPath();
    ASSERT_EQ(log.CloseLog(), kOk);
  }
  const std::string relation = FileText(mainPath + "_Relation");
  EXPECT_EQ(relation, " | 5 - [1,2] | 4294967336 - [3]");

  CScanLog log;
  ASSERT_EQ(log.OpenLog("Pro_Ntfs_63_20261212 3"), kOk);
  EXPECT_EQ(log.RecordCount(), 0u);
  EXPECT_EQ(log.TotalRecords(), 3u);
  ASSERT_EQ(log.Directories().size(), 1u);
  EXPECT_EQ(AddFile(log, MakeDirectoryKey(1, 40), "c.txt"), 4u);
  EXPECT_EQ(log.RecordCount(), 1u);

  uint32_t count = 0;
  ASSERT_EQ(log.CountFilesBelow(root, count), kOk);
  EXPECT_EQ(count, 3u);
  std::vector<FoundRecord> list;
  ASSERT_EQ(log.ReadChildRecords(MakeDirectoryKey(1, 40), list), kOk);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"b.txt", "c.txt"}));
  std::vector<FoundRecord> path;
  ASSERT_EQ(log.BuildPath(list[1], path), kOk);
  EXPECT_EQ(PathTextFrom(path), "docs/");
  ASSERT_EQ(log.CloseLog(), kOk);
  EXPECT_EQ(FileText(mainPath + "_Relation"), " | 5 - [1,2] | 4294967336 - [3,4]");
  EXPECT_EQ(FileSize(mainPath), 4u * 346);
  EXPECT_EQ(FileSize(mainPath + "_DirInfo"), 268u);
}

TEST_F(ScanLogTest, DamagedLogsOpenWithWhatCanBeRead) {
  struct Case {
    const char* relation;
    const char* expected;  // the relation text written back after the open
  };
  const Case cases[] = {
      {" | 2 - [1,2,3", " | 2 - [1,2]"},                   // cut inside a list
      {" | 2 - [1,2] | 4 - [3", " | 2 - [1,2] | 4 - []"},  // cut after "[" of the second
      {"garbage | 2 - [1] junk | 3 - [2]", " | 2 - [1] | 3 - [2]"},
      {" | 2 - [1,x,2,,-3,99999999999,4000]", " | 2 - [1,2]"},  // bad, negative, huge, absent numbers
      {" | 99999999999999999999999 - [1] | 2 - [2]", " | 2 - [2]"},
      {" | 2 - [1] | 2 - [3]", " | 2 - [3]"},  // a key met again replaces its list
      {" | 2 -[1] | 3 - [2]", " | 3 - [2]"},
      {"no bars at all", ""},
      {" | 2 - [1] |", " | 2 - [1]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relation);
    ScopedDataHome home;
    std::string main;
    {
      CScanLog log;
      ASSERT_EQ(log.OpenLog("Fast_0_1"), kOk);
      for (int i = 0; i < 3; ++i) AddFile(log, 1, "f" + std::to_string(i) + ".txt");
      main = log.MainPath();
    }
    std::vector<uint8_t> text(c.relation, c.relation + std::strlen(c.relation));
    WriteFileBytes(main + "_Relation", text);
    CScanLog log;
    ASSERT_EQ(log.OpenLog("Fast_0_1"), kOk);
    std::vector<FoundRecord> list;
    ASSERT_EQ(log.ReadChildRecords(0, list), kOk);
    uint32_t count = 0;
    ASSERT_EQ(log.CountFilesBelow(0, count), kOk);
    ASSERT_EQ(log.FlushLog(), kOk);
    EXPECT_EQ(FileText(main + "_Relation"), c.expected);
  }
}

TEST_F(ScanLogTest, CutMainAndDirectoryFilesAreRepairedOnTheNextFlush) {
  std::string main;
  {
    CScanLog log;
    ASSERT_EQ(log.OpenLog("Fast_0_2"), kOk);
    AddFolder(log, 2, "one", 10);
    AddFolder(log, 2, "two", 11);
    AddFile(log, MakeDirectoryKey(1, 11), "x.txt");
    main = log.MainPath();
  }
  // A crash left half a record at the end of the main file and half a
  // directory entry at the end of "_DirInfo".
  std::vector<uint8_t> bytes = ReadFileBytes(main);
  bytes.resize(bytes.size() + 100, 0xAB);
  WriteFileBytes(main, bytes);
  bytes = ReadFileBytes(main + "_DirInfo");
  bytes.resize(268 + 130);
  WriteFileBytes(main + "_DirInfo", bytes);

  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_2"), kOk);
  EXPECT_EQ(log.TotalRecords(), 3u);
  EXPECT_EQ(log.Directories().size(), 1u);
  EXPECT_EQ(AddFile(log, MakeDirectoryKey(1, 11), "y.txt"), 4u);
  ASSERT_EQ(log.FlushLog(), kOk);
  EXPECT_EQ(FileSize(main), 4u * 346);  // the half record was overwritten in place
  EXPECT_EQ(FileSize(main + "_DirInfo"), 268u);
  FoundRecord fourth;
  ASSERT_EQ(log.ReadRecord(4, fourth), kOk);
  EXPECT_EQ(RecordName(fourth), "y.txt");
  // "two" lost its directory entry: its name is found in the main file.
  std::vector<FoundRecord> path;
  ASSERT_EQ(log.BuildPath(fourth, path), kOk);
  EXPECT_EQ(PathTextFrom(path), "two/");
}

TEST_F(ScanLogTest, BuildPathEndsOnCyclesInDamagedRelations) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_3"), kOk);
  AddFile(log, 1, "root.txt");  // makes key 1 the root
  const uint32_t a = AddFolder(log, MakeDirectoryKey(1, 21), "a", 20);
  const uint32_t b = AddFolder(log, MakeDirectoryKey(1, 20), "b", 21);  // a in b, b in a
  FoundRecord record;
  ASSERT_EQ(log.ReadRecord(b, record), kOk);
  std::vector<FoundRecord> path;
  ASSERT_EQ(log.BuildPath(record, path), kOk);
  EXPECT_EQ(path.size(), 1u);
  EXPECT_EQ(uint32_t{path[0].recordNumber}, a);
  uint32_t count = 0;
  ASSERT_EQ(log.CountFilesBelow(MakeDirectoryKey(1, 21), count), kOk);
  EXPECT_EQ(count, 0u);
}

TEST_F(ScanLogTest, ALogThatIsNotOpenSwallowsWritesQuietly) {
  CScanLog log;
  FoundRecord* slot = log.AppendRecord();
  ASSERT_NE(slot, nullptr);
  SetRecordName(*slot, "lost.jpg");
  log.AddRelation(0, 1, 0, "x");
  EXPECT_EQ(log.RecordCount(), 0u);
  EXPECT_EQ(log.FlushLog(), kOk);
  std::vector<FoundRecord> list;
  EXPECT_EQ(log.ReadChildRecords(0, list), kOk);
  EXPECT_EQ(log.FindByExtension("*.jpg|", list), kOk);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(log.CloseLog(), kOk);
}

TEST_F(ScanLogTest, AFailedBatchWriteIsReportedAndLaterRecordsKeepTheirPlace) {
  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_4"), kOk);
  // Limit this process's file size to one batch: the second batch fails.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 69200;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int i = 0; i < 401; ++i) AddFile(log, 0, "f" + std::to_string(i) + ".txt");
  const int32_t flushResult = log.FlushLog();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_EQ(sigaction(SIGXFSZ, &previous, nullptr), 0);
  EXPECT_EQ(flushResult, kErrDiskFull);

  // Room again: the next records land at their own positions.
  EXPECT_EQ(AddFile(log, 0, "late.txt"), 402u);
  ASSERT_EQ(log.FlushLog(), kOk);
  FoundRecord late;
  ASSERT_EQ(log.ReadRecord(402, late), kOk);
  EXPECT_EQ(RecordName(late), "late.txt");
  std::vector<FoundRecord> list;
  ASSERT_EQ(log.ReadChildRecords(0, list), kOk);
  EXPECT_EQ(list.size(), 201u);  // the first batch and late.txt; the hole is skipped
}

TEST(SortFoundRecords, PutsFilesFirstAndOrdersNamesIgnoringCaseKeepingTies) {
  std::vector<FoundRecord> records;
  uint32_t seed = 7;
  for (uint32_t i = 0; i < 300; ++i) {
    seed = seed * 1103515245u + 12345u;
    FoundRecord r = MakeFoundRecord();
    r.isFolder = (seed >> 8) % 3 == 0 ? 1 : 0;
    r.recordNumber = i + 1;
    std::string name(1,
                     static_cast<char>((seed >> 16) % 2 ? 'A' + (seed >> 20) % 6 : 'a' + (seed >> 20) % 6));
    name += std::to_string((seed >> 24) % 4);
    SetRecordName(r, name);
    records.push_back(r);
  }
  std::vector<FoundRecord> want = records;
  std::stable_sort(want.begin(), want.end(), [](const FoundRecord& a, const FoundRecord& b) {
    if ((a.isFolder != 0) != (b.isFolder != 0)) return a.isFolder == 0;
    return strcasecmp(a.name, b.name) < 0;
  });
  SortFoundRecords(records);
  ASSERT_EQ(records.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(uint32_t{records[i].recordNumber}, uint32_t{want[i].recordNumber}) << i;
}

TEST(ScanLogNames, NamesCarryPrefixStartAndUnpaddedLocalTime) {
  CivilTime t;
  t.year = 2024;
  t.month = 3;
  t.day = 5;
  t.hour = 9;
  t.minute = 7;
  EXPECT_EQ(ScanLogName(ScanLogKind::kFast, 2048, t), "Fast_2048_2024359 7");
  t.year = 2026;
  t.month = 12;
  t.day = 7;
  t.hour = 10;
  t.minute = 5;
  EXPECT_EQ(ScanLogName(ScanLogKind::kDeepFat, -1, t), "Pro_Fat_-1_202612710 5");
  t.minute = 45;
  EXPECT_EQ(ScanLogName(ScanLogKind::kDeepNtfs, 63, t), "Pro_Ntfs_63_20261271045");
  EXPECT_EQ(ScanLogName(ScanLogKind::kCarving, 0, t), "File_Type_0_20261271045");
  EXPECT_EQ(ScanLogName(ScanLogKind::kCarving, 0).rfind("File_Type_0_", 0), 0u);
}

TEST(ScanLogNames, FirstLogWithPrefixSkipsCompanionsAndHiddenNames) {
  testing::TempDir dir;
  for (const char* name : {".Fast_0_1", "Fast_9_2_Relation", "Fast_9_2_DirInfo", "Fast_9_2", "Fast_1_3",
                           "Pro_Fat_0_1", "File_Type_0_1"})
    WriteFileBytes(dir.File(name), {1});
  std::filesystem::create_directory(dir.File("Fast_0_0"));
  EXPECT_EQ(FirstLogNameWithPrefix(dir.path(), "Fast_"), "Fast_1_3");
  EXPECT_EQ(FirstLogNameWithPrefix(dir.path(), "Pro_Fat_"), "Pro_Fat_0_1");
  EXPECT_EQ(FirstLogNameWithPrefix(dir.path(), "Pro_Ntfs_"), "");
  EXPECT_EQ(FirstLogNameWithPrefix(dir.File("missing"), "Fast_"), "");
}

TEST(RelationText, RoundTripsKeysAndNumbersInPiecesOfAnySize) {
  std::string text;
  AppendRelationText(text, 2, {1, 2, 5});
  AppendRelationText(text, 4294967302u, {3, 4});
  AppendRelationText(text, 18446744073709551615u, {2147483647u});
  ASSERT_EQ(text, " | 2 - [1,2,5] | 4294967302 - [3,4] | 18446744073709551615 - [2147483647]");
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, text.size()}) {
    std::vector<std::pair<uint64_t, std::vector<uint32_t>>> got;
    RelationTextParser parser([&](uint64_t key, std::vector<uint32_t>&& list) {
      got.emplace_back(key, std::move(list));
      return true;
    });
    for (size_t at = 0; at < text.size(); at += piece)
      parser.Feed(text.data() + at, std::min(piece, text.size() - at));
    parser.Finish();
    EXPECT_TRUE(parser.Clean());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].first, 4294967302u);
    EXPECT_EQ(got[1].second, (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(got[2].first, 18446744073709551615u);
  }
}

}  // namespace
}  // namespace velmira
