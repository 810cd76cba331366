// Fuzzes record processing and run-list decoding of the fast NTFS scan: the
// input is a run of 1,024-byte file records placed from record 16 on in a
// small, otherwise valid volume (boot sector, $MFT, root folder). The scan
// processes them in sweep mode, follows their parent references into each
// other in directory mode, and every file found is read back through its
// resident value, its runs or its attribute list.
//
// Seeds: single records, e.g. corpus/msuhanov__dfir_ntfs/test_data/frs*.bin,
// or slices of the raw $MFT files there.
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

using namespace velmira;

constexpr uint32_t kCluster = 4096;
constexpr uint32_t kClusters = 64;  // a 256 KiB volume
constexpr uint32_t kMftCluster = 4;
constexpr uint32_t kMftClusters = 16;  // 64 records
constexpr uint32_t kFirstFuzzed = 16;

std::string g_dir;

void Setup() {
  if (!g_dir.empty()) return;
  char tmpl[] = "/tmp/velmira-ntfsrecfuzz-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", g_dir.c_str(), 1);
}

void Put(std::vector<uint8_t>& b, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A minimal in-use record with one attribute (already fixed up: the
// sector-end words are zero and so are the saved ones).
void Record(std::vector<uint8_t>& image, uint32_t number, uint16_t flags,
            const std::vector<uint8_t>& attribute) {
  const size_t at = size_t{kMftCluster} * kCluster + size_t{number} * 1024;
  std::memcpy(&image[at], "FILE", 4);
  Put(image, at + 0x04, 0x30, 2);
  Put(image, at + 0x06, 3, 2);
  Put(image, at + 0x14, 0x38, 2);
  Put(image, at + 0x16, flags, 2);
  Put(image, at + 0x1C, 1024, 4);
  Put(image, at + 0x2C, number, 4);
  std::copy(attribute.begin(), attribute.end(), image.begin() + static_cast<ptrdiff_t>(at + 0x38));
  const size_t end = 0x38 + attribute.size();
  Put(image, at + end, 0xFFFFFFFFu, 4);
  Put(image, at + 0x18, end + 8, 4);
}

std::vector<uint8_t> BaseImage() {
  std::vector<uint8_t> image(size_t{kClusters} * kCluster, 0);
  image[0] = 0xEB;
  image[1] = 0x52;
  image[2] = 0x90;
  std::memcpy(&image[3], "NTFS    ", 8);
  Put(image, 0x0B, 512, 2);
  Put(image, 0x0D, 8, 1);
  Put(image, 0x15, 0xF8, 1);
  Put(image, 0x28, kClusters * 8, 8);
  Put(image, 0x30, kMftCluster, 8);
  image[510] = 0x55;
  image[511] = 0xAA;
  // Record 0: the $MFT's $DATA, one run of 16 clusters at cluster 4.
  std::vector<uint8_t> data(0x48, 0);
  Put(data, 0x00, 0x80, 4);
  Put(data, 0x04, data.size(), 4);
  Put(data, 0x08, 1, 1);
  Put(data, 0x18, kMftClusters - 1, 8);
  Put(data, 0x20, 0x40, 2);
  Put(data, 0x30, kMftClusters * kCluster, 8);
  data[0x40] = 0x11;
  data[0x41] = kMftClusters;
  data[0x42] = kMftCluster;
  Record(image, 0, 1, data);
  // Record 5: the root folder.
  std::vector<uint8_t> name(0x60, 0);
  Put(name, 0x00, 0x30, 4);
  Put(name, 0x04, name.size(), 4);
  Put(name, 0x10, 0x44, 4);
  Put(name, 0x14, 0x18, 2);
  Put(name, 0x18, 5, 8);
  Put(name, 0x18 + 0x40, 1, 1);
  Put(name, 0x18 + 0x41, 3, 1);
  Put(name, 0x18 + 0x42, '.', 2);
  Record(image, 5, 3, name);
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  static const std::vector<uint8_t> base = BaseImage();
  std::vector<uint8_t> image = base;
  const size_t room = size_t{kMftClusters} * kCluster - size_t{kFirstFuzzed} * 1024;
  std::memcpy(&image[size_t{kMftCluster} * kCluster + size_t{kFirstFuzzed} * 1024], data,
              std::min(size, room));
  // The rest of the input fills the data clusters after the $MFT.
  if (size > room) {
    const size_t at = size_t{kMftCluster + kMftClusters} * kCluster;
    std::memcpy(&image[at], data + room, std::min(size - room, image.size() - at));
  }
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
      for (size_t i = 0; i < children.size() && i < 8; ++i) {
        std::vector<FoundRecord> inner;
        (void)engine.ListChildren(&children[i], 1, inner);
        uint32_t count = 0;
        (void)engine.CountFiles(&children[i], 1, count);
      }
      uint8_t memory[4096];
      for (size_t i = 0; i < all.size() && i < 8; ++i) {
        std::string out;
        uint32_t bytes = sizeof memory;
        (void)engine.ExtractForPreview(all[i], out, memory, bytes, nullptr, nullptr);
        std::string folder;
        (void)engine.GetFolderPath(all[i], folder, 4096);
        if (all[i].size < (1u << 20)) (void)engine.RecoverItem(all[i], g_dir + "/out.bin", 0);
      }
    }
  }
  (void)RemoveFolderTree(g_dir + "/Orvanta");
  ::unlink((g_dir + "/out.bin").c_str());
  return 0;
}
