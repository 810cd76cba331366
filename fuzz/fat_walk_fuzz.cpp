// Fuzzes the fast FAT scan: the input is the start of a volume (boot sector,
// tables, root and data), padded to a small image. Every folder walk, name,
// chain and preview read must end cleanly.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engines/fat/fast_fat_recovery.h"
#include "platform/file_handle.h"
#include "platform/folders.h"

namespace {

std::string g_dir;

void Setup() {
  if (!g_dir.empty()) return;
  char tmpl[] = "/tmp/velmira-fatfuzz-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", g_dir.c_str(), 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  using namespace velmira;
  // At least a boot sector and a little more; keep images small.
  std::vector<uint8_t> image(std::max<size_t>(size, 64 * 1024), 0);
  std::memcpy(image.data(), data, std::min(size, image.size()));
  // Keep the FAT32 marker and boot signature as the fuzzer set them, but
  // make sure the factory's own test is not what stops most inputs.
  const std::string path = g_dir + "/image.bin";
  {
    FileHandle out;
    if (OpenForWriting(path, WriteMode::kCreateAlways, out) != 0) return 0;
    size_t done = 0;
    (void)WriteAt(out, image.data(), image.size(), 0, done);
  }
  {
    CFastFatRecovery engine;
    if (engine.OpenImage(path, 1001) == 0 && engine.Scan("") == 0) {
      std::vector<FoundRecord> all;
      (void)engine.CollectMatches("*.jpg|*.txt|*.doc|*.bin|", all);
      std::vector<FoundRecord> children;
      (void)engine.ListChildren(nullptr, 0, children);
      uint8_t memory[4096];
      for (size_t i = 0; i < all.size() && i < 8; ++i) {
        std::string out;
        uint32_t bytes = sizeof memory;
        (void)engine.ExtractForPreview(all[i], out, memory, bytes, nullptr, nullptr);
        std::string folder;
        (void)engine.GetFolderPath(all[i], folder, 4096);
      }
      (void)engine.LoadAllocationMap();
      uint64_t pos = 0, len = 0;
      for (int i = 0; i < 16 && engine.NextFreeExtent(pos, len) == 1 && len != 0; ++i) pos += len;
    }
  }
  (void)RemoveFolderTree(g_dir + "/Orvanta");
  return 0;
}
