// Fuzzes the deep FAT scan end to end: the input is a small medium, read
// sector by sector by the sweep (folder starts, directory sectors), filed
// into a scan log, listed, and read back into memory.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engines/fat/deep_fat_recovery.h"
#include "engines/fat/deep_fat_sweep.h"
#include "platform/errors.h"
#include "platform/folders.h"

namespace {

std::string g_dir;

class BytesReader : public velmira::ByteReader {
 public:
  explicit BytesReader(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
  int32_t ReadAt(void* buffer, size_t size, uint64_t offset, size_t& done) override {
    done = 0;
    if (offset >= m_bytes.size()) return 0;
    done = static_cast<size_t>(std::min<uint64_t>(size, m_bytes.size() - offset));
    std::memcpy(buffer, m_bytes.data() + offset, done);
    return 0;
  }

 private:
  std::vector<uint8_t> m_bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmira;
  if (g_dir.empty()) {
    char tmpl[] = "/tmp/velmira-deepfatfuzz-XXXXXX";
    g_dir = ::mkdtemp(tmpl);
    ::setenv("XDG_DATA_HOME", g_dir.c_str(), 1);
  }
  if (size > 256 * 512) return 0;
  // At least 64 sectors; the input's sectors from the start.
  std::vector<uint8_t> image(std::max<size_t>((size + 511) / 512, 64) * 512, 0);
  std::memcpy(image.data(), data, size);
  const uint64_t sectors = image.size() / 512;
  SectorSource source;
  source.sectorCount = sectors;
  source.reader = std::make_shared<BytesReader>(std::move(image));
  {
    CDeepFatRecovery engine;
    if (engine.OpenSource(std::move(source), 0, sectors, 1001) == kOk &&
        RunDeepFatSweep(engine, nullptr, nullptr) == kOk) {
      std::set<uint64_t> seen;
      size_t visited = 0;
      std::function<void(const FoundRecord*, uint32_t)> walk = [&](const FoundRecord* folder,
                                                                   uint32_t depth) {
        std::vector<FoundRecord> children;
        if (depth > 64 || engine.ListChildren(folder, depth, children) != kOk) return;
        for (const FoundRecord& child : children) {
          if (++visited > 2000) return;
          std::string path;
          (void)engine.GetFolderPath(child, path, 4096);
          if (child.isFolder) {
            if (seen.insert(MakeDirectoryKey(depth + 1, child.key)).second) walk(&child, depth + 1);
            continue;
          }
          uint8_t memory[2048];
          uint32_t bytes = sizeof memory;
          std::string out;
          FoundRecord asText = child;
          std::memcpy(asText.name, "x.bin", 6);  // into memory, never a file
          (void)engine.ExtractForPreview(asText, out, memory, bytes, nullptr, nullptr);
        }
      };
      walk(nullptr, 0);
      uint32_t count = 0;
      (void)engine.CountFiles(nullptr, 0, count);
      std::vector<FoundRecord> all;
      (void)engine.CollectMatches("*.jpg|*.txt|", all);
    }
  }
  (void)RemoveFolderTree(g_dir + "/Orvanta");
  return 0;
}
