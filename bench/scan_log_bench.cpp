// Times the scan log on a large synthetic scan: appending, flushing,
// reopening, counting, listing, folder paths and the search by extension.
//
//   build-bench/bench/scan_log_bench [records]     (default 1,000,000)
//
// The log is written below a temporary folder (XDG_DATA_HOME is pointed
// there) that is removed at the end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "results/scan_log.h"
#include "results/scan_log_registry.h"

using namespace velmira;

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr uint32_t kFilesPerFolder = 250;
constexpr DirectoryKey kRoot = MakeDirectoryKey(0, 2);

}  // namespace

int main(int argc, char** argv) {
  const uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  char tmpl[] = "/tmp/velmira-bench-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string home = tmpl;
  ::setenv("XDG_DATA_HOME", home.c_str(), 1);

  // Folders of 250 files at depth 1, folders of folders at depth 0.
  const uint32_t folders = static_cast<uint32_t>(records / (kFilesPerFolder + 1) + 1);
  auto start = Clock::now();
  {
    CScanLog log;
    if (log.OpenLog("Fast_2048_bench") != kOk) return 1;
    uint64_t written = 0;
    for (uint32_t f = 0; f < folders && written < records; ++f) {
      FoundRecord* folder = log.AppendRecord();
      folder->isFolder = 1;
      folder->contentOk = 1;
      folder->key = 1000 + f;
      SetRecordName(*folder, "DIR" + std::to_string(f));
      log.AddRelation(kRoot, folder->recordNumber, folder->key, folder->name);
      const uint32_t folderKey = folder->key;  // the slot is reused after later appends
      ++written;
      for (uint32_t i = 0; i < kFilesPerFolder && written < records; ++i, ++written) {
        FoundRecord* file = log.AppendRecord();
        file->contentOk = 1;
        file->size = 4096;
        SetRecordName(*file, "IMG_" + std::to_string(i) + (i % 4 == 0 ? ".jpg" : ".cr2"));
        log.AddRelation(MakeDirectoryKey(1, folderKey), file->recordNumber, 0, nullptr);
      }
    }
    std::printf("append %llu records        %8.3f s\n", static_cast<unsigned long long>(written),
                Since(start));
    start = Clock::now();
    if (log.CloseLog() != kOk) return 1;
    std::printf("flush and close               %8.3f s\n", Since(start));
  }

  CScanLog log;
  start = Clock::now();
  if (log.OpenLog("Fast_2048_bench") != kOk) return 1;
  std::printf("reopen                        %8.3f s\n", Since(start));

  uint32_t count = 0;
  start = Clock::now();
  (void)log.CountFilesBelow(kRoot, count);
  std::printf("first count (indexes)         %8.3f s  (%u files)\n", Since(start), count);
  start = Clock::now();
  for (int i = 0; i < 10; ++i) (void)log.CountFilesBelow(kRoot, count);
  std::printf("count of the root, each       %8.4f s\n", Since(start) / 10);

  std::vector<FoundRecord> list;
  start = Clock::now();
  (void)log.ReadChildRecords(kRoot, list);
  std::printf("list of the root (%zu)      %8.3f s\n", list.size(), Since(start));
  start = Clock::now();
  for (uint32_t f = 0; f < 100; ++f) {
    list.clear();
    (void)log.ReadChildRecords(MakeDirectoryKey(1, 1000 + (f * 37) % folders), list);
  }
  std::printf("list of a folder, each        %8.5f s\n", Since(start) / 100);

  FoundRecord last;
  (void)log.ReadRecord(log.LastRecordNumber(), last);
  start = Clock::now();
  for (int i = 0; i < 1000; ++i) {
    std::vector<FoundRecord> path;
    (void)log.BuildPath(last, path);
  }
  std::printf("folder path, each             %8.6f s\n", Since(start) / 1000);

  start = Clock::now();
  list.clear();
  (void)log.FindByExtension("*.jpg|*.jpeg|", list);
  std::printf("search *.jpg (%zu found)   %8.3f s\n", list.size(), Since(start));

  log.CloseLog();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return 0;
}
