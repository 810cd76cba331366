// Fuzzes the whole fast NTFS scan: the input is the start of a volume (boot
// sector, $MFT, folders and data), padded to a small image and opened as the
// factory would. Opening, the $MFT sweep, the folder pass, listings, paths,
// previews, recovery and the allocation map must all end cleanly.
//
// Seeds: the first MiB of a small mkntfs image with deleted files, or of
//   corpus/ColinFinck__ntfs/testdata/testfs1 (its $MFT starts at 16 KiB):
//   mkdir seeds && head -c 1048576 testfs1 > seeds/testfs1
//   ./ntfs_scan_fuzz -max_len=1048576 seeds
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engines/ntfs/fast_ntfs_recovery.h"
#include "platform/file_handle.h"
#include "platform/folders.h"

namespace {

std::string g_dir;

void Setup() {
  if (!g_dir.empty()) return;
  char tmpl[] = "/tmp/velmira-ntfsscanfuzz-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", g_dir.c_str(), 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  using namespace velmira;
  std::vector<uint8_t> image(std::clamp<size_t>(size, 64 * 1024, 1 << 20), 0);
  std::memcpy(image.data(), data, std::min(size, image.size()));
  const std::string path = g_dir + "/image.bin";
  {
    FileHandle out;
    if (OpenForWriting(path, WriteMode::kCreateAlways, out) != 0) return 0;
    size_t done = 0;
    (void)WriteAt(out, image.data(), image.size(), 0, done);
  }
  {
    CFastNtfsRecovery engine;
    if (engine.OpenImage(path, 1001) == 0 && engine.Scan("") == 0) {
      std::vector<FoundRecord> all;
      (void)engine.CollectMatches("*.jpg|*.txt|*.doc|*.bin|*.mp3|", all);
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
      for (size_t i = 0; i < children.size() && i < 4; ++i)
        if (children[i].isFolder || children[i].size < (1u << 20))
          (void)engine.RecoverItem(children[i], g_dir + "/out/x",
                                   static_cast<int32_t>(std::count(g_dir.begin(), g_dir.end(), '/') + 1));
      (void)engine.LoadAllocationMap();
      uint64_t pos = 0, len = 0;
      for (int i = 0; i < 16 && engine.NextFreeExtent(pos, len) == 1 && len != 0; ++i) pos += len;
    }
  }
  (void)RemoveFolderTree(g_dir + "/Orvanta");
  (void)RemoveFolderTree(g_dir + "/out");
  return 0;
}
