#include "jobs/recovery_job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/errors.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;

// An engine whose "recovery" writes the record's name into the target, or
// fails, throws or cancels as a test asks.
class FakeEngine : public IFileRecoveryParse {
 public:
  enum class Mode { kWrite, kFailWith, kThrow, kReportThenFail };
  Mode mode = Mode::kWrite;
  int32_t failCode = kErrReadFault;

  int32_t OpenImage(const std::string&, uint16_t) override { return 0; }
  int32_t OpenPartition(int32_t, uint64_t, uint64_t, uint16_t) override { return 0; }
  int32_t SetProgressCallbacks(ScanProgressCallback, FileProgressCallback file, void* user,
                               int32_t) override {
    m_file = file;
    m_user = user;
    return 0;
  }
  int32_t Scan(const std::string&) override { return 0; }
  int32_t ListChildren(const FoundRecord*, uint32_t, std::vector<FoundRecord>&) override { return 0; }
  int32_t CountFiles(const FoundRecord*, uint32_t, uint32_t&) override { return 0; }
  uint64_t GetFoundCount() override { return 0; }
  int32_t GetFolderPath(const FoundRecord&, std::string&, uint32_t) override { return 0; }
  int32_t RecoverItem(const FoundRecord& record, const std::string& path, int32_t depth) override {
    lastDepth = depth;
    if (mode == Mode::kThrow) throw std::runtime_error("engine fault");
    if (mode == Mode::kFailWith) {
      return m_file(m_user, 100, 100, failCode, path) != 0 ? kCancelled : failCode;
    }
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << RecordName(record);
    if (int32_t stop = m_file(m_user, 50, 100, 0, path)) return stop;
    if (int32_t stop = m_file(m_user, 100, 100, 0, path)) return stop;
    return mode == Mode::kReportThenFail ? failCode : kOk;
  }
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  int32_t CollectMatches(const std::string&, std::vector<FoundRecord>&) override { return 0; }
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord&, std::string&, uint8_t*, uint32_t&, PreviewProgressCallback,
                            void*) override {
    return 0;
  }
  int32_t lastDepth = -1;

 private:
  FileProgressCallback m_file = nullptr;
  void* m_user = nullptr;
};

FoundRecord File(uint16_t key, const std::string& name) {
  FoundRecord r = MakeFoundRecord();
  r.sourceKey = key;
  SetRecordName(r, name);
  return r;
}

TEST(RecoveryJob, CategoryFoldersRenamingAndSafeNames) {
  testing::TempDir dir;
  FakeEngine engine;
  RecoveryJob job(
      dir.path() + "/", {{1001, &engine}},
      {File(1001, "a.jpg"), File(1001, "a.jpg"), File(1001, "notes"), File(1001, "song.MP3"),
       File(1001, "../../escape.txt"), File(1001, ".."), File(1001, "setup.exe"), File(1001, "a.jpg")});
  ASSERT_EQ(job.Run().Code(), kOk);
  EXPECT_EQ(job.Processed(), 8u);
  EXPECT_EQ(job.Failed(), 0u);
  for (const char* p : {"photo/a.jpg", "photo/a(1).jpg", "photo/a(2).jpg", "others/notes", "audio/song.MP3",
                        "document/.._.._escape.txt", "others/setup.exe"})
    EXPECT_TRUE(fs::exists(dir.File(p))) << p;
  // ".." is not a name: it becomes "_", which has no extension and goes to others.
  EXPECT_TRUE(fs::exists(dir.File("others/_")));
  // Nothing landed outside the destination.
  for (const auto& e : fs::recursive_directory_iterator(dir.path()))
    EXPECT_EQ(e.path().string().rfind(dir.path(), 0), 0u);
  EXPECT_EQ(engine.lastDepth, SeparatorCount(dir.path()));
  EXPECT_EQ(job.Results()[0].text, "Success");
}

TEST(RecoveryJob, FailuresAreCountedAndExplained) {
  testing::TempDir dir;
  FakeEngine good, failing, throwing, lying;
  failing.mode = FakeEngine::Mode::kFailWith;
  throwing.mode = FakeEngine::Mode::kThrow;
  lying.mode = FakeEngine::Mode::kReportThenFail;
  lying.failCode = kErrWriteFault;
  RecoveryJob job(dir.path(), {{1, &good}, {2, &failing}, {3, &throwing}, {4, &lying}},
                  {File(1, "ok.jpg"), File(2, "bad.jpg"), File(3, "boom.jpg"), File(9, "orphan.jpg"),
                   File(4, "half.jpg")});
  ASSERT_EQ(job.Run().Code(), kOk);
  EXPECT_EQ(job.Processed(), 5u);
  EXPECT_EQ(job.Failed(), 4u);
  const auto& r = job.Results();
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[1].status.Code(), kErrReadFault);
  EXPECT_EQ(r[1].text, "The system cannot read from the specified device.");
  EXPECT_EQ(r[2].status.Code(), kErrGenFailure) << "a fault inside an engine is contained to its file";
  EXPECT_EQ(r[3].path, "orphan.jpg");
  EXPECT_NE(r[3].status.Code(), kOk) << "a file whose source has no engine fails";
  EXPECT_EQ(r[4].status.Code(), kErrWriteFault) << "a failure code wins over an earlier success report";
}

TEST(RecoveryJob, CancelStopsAtTheNextReport) {
  testing::TempDir dir;
  struct CancelOnFirst : RecoveryJob::Observer {
    RecoveryJob* job = nullptr;
    int progress = 0;
    void OnProgress(int32_t, const std::string&) override {
      if (++progress == 1) job->Cancel();
    }
    void OnFileFinished(const RecoveryResult&) override {}
  } observer;
  FakeEngine engine;
  RecoveryJob job(dir.path(), {{1, &engine}}, {File(1, "a.jpg"), File(1, "b.jpg")}, &observer);
  observer.job = &job;
  EXPECT_EQ(job.Run().Code(), kCancelled);
  EXPECT_FALSE(fs::exists(dir.File("photo/b.jpg")));
  EXPECT_EQ(job.Processed(), 0u);
}

}  // namespace
}  // namespace velmira
