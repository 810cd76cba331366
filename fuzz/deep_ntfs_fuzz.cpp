// Fuzzes the deep NTFS scan's record processing: the input is cut into
// 1,024-byte file records that are handed to ProcessFoundRecord at their
// places in a small memory source holding the same bytes (so parents and
// data runs lead into fuzzed records too), then the folder pass runs and
// every file listed is read back for preview.
//
// Seeds: single records, e.g. corpus/msuhanov__dfir_ntfs/test_data/frs*.bin.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engines/ntfs/deep_ntfs_recovery.h"
#include "engines/ntfs/deep_ntfs_sweep.h"
#include "tests/fixtures/memory_source.h"

namespace {

using namespace velmira;

constexpr size_t kRecord = 1024;
constexpr size_t kMaxRecords = 16;
constexpr uint64_t kSourceBytes = 1 << 20;

std::string g_dir;

void Setup() {
  if (!g_dir.empty()) return;
  char tmpl[] = "/tmp/velmira-deepntfsfuzz-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", g_dir.c_str(), 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  if (size < 8) return 0;
  // The first byte picks the cluster estimate and the volume start.
  const uint32_t estimate = 1u << (data[0] & 7);
  const uint64_t start = data[1] & 0x3F;
  data += 2;
  size -= 2;
  const size_t records = std::min(kMaxRecords, (size + kRecord - 1) / kRecord);
  std::vector<uint8_t> image(kSourceBytes, 0);
  // The records lie one after another from sector 64 on.
  constexpr size_t kFirstSector = 64;
  std::copy(data, data + std::min(size, records * kRecord), image.begin() + kFirstSector * 512);

  CDeepNtfsRecovery engine;
  if (engine.OpenSource(testing::MakeMemorySource(image), start, kSourceBytes / 512 - start, 1001) != 0)
    return 0;
  engine.SetClusterEstimate(estimate);
  if (engine.BeginDeepNtfsLog("") != 0) return 0;
  for (size_t r = 0; r < records; ++r) {
    const uint64_t sector = kFirstSector + r * (kRecord / 512);
    const std::span<const uint8_t> bytes(image.data() + sector * 512, kRecord);
    (void)IsNtfsRecordCandidate(ByteView(bytes.data(), bytes.size()), kRecord);
    (void)engine.ProcessFoundRecord(bytes, sector);
    std::vector<DataRun> runs;
    (void)engine.ReadRecordRuns(sector, runs);
  }
  (void)engine.FinishDeepNtfs();

  std::function<void(const FoundRecord*, uint32_t, int)> walk = [&](const FoundRecord* folder, uint32_t depth,
                                                                    int guard) {
    std::vector<FoundRecord> children;
    if (guard > 8 || engine.ListChildren(folder, depth, children) != 0) return;
    for (const FoundRecord& child : children) {
      if (child.isFolder) {
        walk(&child, depth + 1, guard + 1);
        continue;
      }
      std::string path;
      std::vector<uint8_t> memory(4096);
      uint32_t bytes = static_cast<uint32_t>(memory.size());
      (void)engine.GetFolderPath(child, path, 4096);
      // Previews of pictures go to a file; keep the memory path busy too.
      FoundRecord copy = child;
      SetRecordName(copy, "fuzzed.bin");
      (void)engine.ExtractForPreview(copy, path, memory.data(), bytes, nullptr, nullptr);
    }
  };
  walk(nullptr, 0, 0);
  return 0;
}
