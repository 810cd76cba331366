// A log of 100,000 records (1,000 folders of 99 files each) must answer
// counts, paths and folder lookups from memory and read each list in one
// request, without sweeping the main file per request.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "results/scan_log.h"
#include "tests/fixtures/data_home.h"

namespace velmira {
namespace {

constexpr uint32_t kFolders = 1000;
constexpr uint32_t kFilesPerFolder = 99;
constexpr DirectoryKey kRoot = MakeDirectoryKey(0, 2);

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void FillLog(CScanLog& log) {
  for (uint32_t f = 0; f < kFolders; ++f) {
    FoundRecord* folder = log.AppendRecord();
    folder->isFolder = 1;
    folder->contentOk = 1;
    folder->key = 100 + f;
    SetRecordName(*folder, "DIR" + std::to_string(f));
    log.AddRelation(kRoot, folder->recordNumber, folder->key, folder->name);
    for (uint32_t i = 0; i < kFilesPerFolder; ++i) {
      FoundRecord* file = log.AppendRecord();
      file->contentOk = 1;
      file->key = 5000 + f * kFilesPerFolder + i;
      SetRecordName(*file, "IMG_" + std::to_string(i) + (i % 3 == 0 ? ".JPG" : ".mov"));
      log.AddRelation(MakeDirectoryKey(1, 100 + f), file->recordNumber, file->key, nullptr);
    }
  }
}

TEST(ScanLogScale, HundredThousandRecordsAnswerFromMemory) {
  testing::ScopedDataHome home;
  {
    CScanLog log;
    ASSERT_EQ(log.OpenLog("Fast_0_1"), kOk);
    FillLog(log);
    ASSERT_EQ(log.RecordCount(), 100000u);
    ASSERT_EQ(log.CloseLog(), kOk);
  }

  CScanLog log;
  ASSERT_EQ(log.OpenLog("Fast_0_1"), kOk);
  ASSERT_EQ(log.TotalRecords(), 100000u);

  // The first count indexes the records that were there at the open: one
  // sweep of the main file in pieces of 200 records.
  uint32_t count = 0;
  ASSERT_EQ(log.CountFilesBelow(kRoot, count), kOk);
  EXPECT_EQ(count, kFolders * kFilesPerFolder);
  EXPECT_EQ(log.MainFileReads(), 500u);

  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(log.CountFilesBelow(kRoot, count), kOk);
    ASSERT_EQ(count, kFolders * kFilesPerFolder);
    ASSERT_EQ(log.CountFilesBelow(MakeDirectoryKey(1, 100 + static_cast<uint32_t>(i)), count), kOk);
    ASSERT_EQ(count, kFilesPerFolder);
  }
  const double counts = SecondsSince(start);
  EXPECT_EQ(log.MainFileReads(), 500u);  // counts never read the file again

  // A folder's children lie side by side: one read per list.
  std::vector<FoundRecord> list;
  for (uint32_t f = 0; f < kFolders; f += 10) {
    list.clear();
    ASSERT_EQ(log.ReadChildRecords(MakeDirectoryKey(1, 100 + f), list), kOk);
    ASSERT_EQ(list.size(), kFilesPerFolder);
  }
  EXPECT_EQ(log.MainFileReads(), 600u);

  // Named folders give their paths from memory; a folder lookup reads one record.
  FoundRecord last;
  ASSERT_EQ(log.ReadRecord(100000, last), kOk);
  for (uint32_t i = 0; i < 1000; ++i) {
    std::vector<FoundRecord> path;
    ASSERT_EQ(log.BuildPath(last, path), kOk);
    ASSERT_EQ(PathTextFrom(path), "DIR999/");
    FoundRecord folder;
    ASSERT_EQ(log.FindDirectoryRecord(100 + i, folder), kOk);
    ASSERT_EQ(RecordName(folder), "DIR" + std::to_string(i));
  }
  EXPECT_EQ(log.MainFileReads(), 1601u);

  start = std::chrono::steady_clock::now();
  list.clear();
  ASSERT_EQ(log.FindByExtension("*.jpg|", list), kOk);
  EXPECT_EQ(list.size(), kFolders * 33);
  const double search = SecondsSince(start);
  EXPECT_EQ(log.MainFileReads(), 2101u);

  // Loose bounds (sanitizer builds are slow); the read counts above are the
  // real check.
  EXPECT_LT(counts, 5.0);
  EXPECT_LT(search, 10.0);
  std::printf("40 counts %.3f s, search %.3f s\n", counts, search);
}

}  // namespace
}  // namespace velmira
