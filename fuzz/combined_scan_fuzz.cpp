// Fuzzes the whole deep scan over a 1 MiB image: the factory's probe, the
// fast pass, the sweep that feeds the deep FAT and NTFS engines and the
// carver, collecting without carved duplicates, listings, previews and
// recovery. The input's first byte decides after how many progress reports
// the first scan is stopped (0: never); a stopped scan is continued by a
// second engine, as a user would.
//
// Seeds: the first MiB of FAT, NTFS and ext images with deleted files, and
// carving samples, e.g.
//   mkdir seeds && head -c 1048576 card.img > seeds/card
//   ./combined_scan_fuzz -max_len=1048576 seeds
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engines/engine_factory.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/folders.h"

namespace {

std::string g_dir;
int g_reportsLeft = 0;

void Setup() {
  if (!g_dir.empty()) return;
  char tmpl[] = "/tmp/velmira-combinedfuzz-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", g_dir.c_str(), 1);
}

int32_t StopAfter(void*, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  if (g_reportsLeft <= 0) return 0;
  return --g_reportsLeft == 0 ? velmira::kCancelled : 0;
}

void Exercise(velmira::IFileRecoveryParse& engine) {
  using namespace velmira;
  std::vector<FoundRecord> all;
  (void)engine.CollectMatches("*.jpg|*.png|*.txt|*.doc|*.mp3|*.zip|*.avi|*.pdf|", all);
  std::vector<FoundRecord> root;
  (void)engine.ListChildren(nullptr, 0, root);
  uint32_t count = 0;
  (void)engine.CountFiles(nullptr, 0, count);
  uint8_t memory[4096];
  const auto depth = static_cast<int32_t>(std::count(g_dir.begin(), g_dir.end(), '/') + 1);
  for (size_t i = 0; i < all.size() && i < 8; ++i) {
    std::string out;
    uint32_t bytes = sizeof memory;
    (void)engine.ExtractForPreview(all[i], out, memory, bytes, nullptr, nullptr);
    std::string folder;
    (void)engine.GetFolderPath(all[i], folder, 4096);
    if (all[i].size < (1u << 20)) (void)engine.RecoverItem(all[i], g_dir + "/out/f", depth);
  }
  for (size_t i = 0; i < root.size() && i < 4; ++i) {
    std::vector<FoundRecord> children;
    if (root[i].isFolder) (void)engine.ListChildren(&root[i], 1, children);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  using namespace velmira;
  std::vector<uint8_t> image(1 << 20, 0);
  std::memcpy(image.data(), data, std::min(size, image.size()));
  const std::string path = g_dir + "/image.bin";
  {
    FileHandle out;
    if (OpenForWriting(path, WriteMode::kCreateAlways, out) != 0) return 0;
    size_t done = 0;
    (void)WriteAt(out, image.data(), image.size(), 0, done);
  }
  g_reportsLeft = size > 0 ? data[0] % 8 : 0;
  bool stopped = false;
  {
    auto engine = CreateEngineForImage(path, 1001, true);
    if (engine) {
      engine->SetProgressCallbacks(&StopAfter, nullptr, nullptr, 100);
      stopped = engine->Scan("") == kCancelled;
      Exercise(*engine);
    }
  }
  if (stopped) {
    g_reportsLeft = 0;
    auto engine = CreateEngineForImage(path, 1001, true);
    if (engine) {
      engine->SetProgressCallbacks(&StopAfter, nullptr, nullptr, 100);
      (void)engine->Scan("");
      Exercise(*engine);
    }
  }
  (void)RemoveFolderTree(g_dir + "/Orvanta");
  (void)RemoveFolderTree(g_dir + "/out");
  return 0;
}
