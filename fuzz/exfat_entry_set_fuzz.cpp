// Fuzzes the exFAT engines: the input is the start of a volume (boot region,
// table, bitmap, folders) padded to a small image. Its boot-region checksum
// is put right, so that the boot sector's fields, not the checksum, decide
// how far an input gets. The fast scan walks it, read in two sector sizes
// (a volume in other sectors than the source's is recounted); the deep scan
// is handed every sector that holds an entry set and works out a layout;
// every entry set parse, listing and preview read must end cleanly.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engines/exfat/deep_exfat_recovery.h"
#include "engines/exfat/exfat_format.h"
#include "engines/exfat/fast_exfat_recovery.h"
#include "tests/fixtures/memory_source.h"

namespace {

std::string g_dir;

void Setup() {
  if (!g_dir.empty()) return;
  char tmpl[] = "/tmp/velmira-exfatfuzz-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", g_dir.c_str(), 1);
}

template <typename Engine>
void Exercise(Engine& engine) {
  std::vector<velmira::FoundRecord> all;
  (void)engine.CollectMatches("*.jpg|*.txt|*.bin|", all);
  std::vector<velmira::FoundRecord> children;
  (void)engine.ListChildren(nullptr, 0, children);
  uint8_t memory[4096];
  for (size_t i = 0; i < all.size() && i < 8; ++i) {
    std::string out;
    uint32_t bytes = sizeof memory;
    (void)engine.ExtractForPreview(all[i], out, memory, bytes, nullptr, nullptr);
    std::string folder;
    (void)engine.GetFolderPath(all[i], folder, 4096);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  using namespace velmira;
  std::vector<uint8_t> image(std::max<size_t>(size, 256 * 1024), 0);
  std::memcpy(image.data(), data, std::min(size, image.size()));
  // Every entry set the bytes hold, at every entry position.
  const ByteView all(image.data(), std::min(size, image.size()));
  for (size_t off = 0; off + 32 <= all.size(); off += 32) {
    ExfatEntrySet set;
    (void)ParseExfatEntrySet(all, off, set, (off / 32) % 2 == 0);
  }
  // The checksum sector of the main region, as a formatter writes it.
  const uint32_t sum = ExfatBootChecksum(ByteView(image.data(), 512 * 11), 512);
  for (size_t off = 512 * 11; off < 512 * 12; off += 4) std::memcpy(image.data() + off, &sum, 4);
  // Read in 512-byte sectors and in 4096-byte ones: a volume in other
  // sectors than the source's is recounted in its own.
  for (const uint32_t unit : {512u, 4096u}) {
    CFastExfatRecovery engine;
    if (engine.OpenSource(testing::MakeMemorySource(image, unit), 0, 0, 1001, unit) == 0 &&
        engine.Scan("") == 0) {
      Exercise(engine);
      (void)engine.LoadAllocationMap();
      uint64_t position = 0;
      uint64_t length = 0;
      for (int i = 0; i < 64 && engine.NextFreeExtent(position, length) == 1 && length != 0; ++i)
        position += length;
    }
  }
  {
    CDeepExfatRecovery engine;
    if (engine.OpenSource(testing::MakeMemorySource(image), 0, 0, 1002) == 0 &&
        engine.BeginDeepExfatLog("") == 0) {
      for (size_t s = 0; s + 512 <= image.size(); s += 512) {
        const ByteView rest(image.data() + s, image.size() - s);
        if (CDeepExfatRecovery::HasEntrySet(ByteView(image.data() + s, 512))) engine.OnSector(rest, s / 512);
      }
      if (engine.FinishDeepExfat() == 0) Exercise(engine);
    }
  }
  return 0;
}
