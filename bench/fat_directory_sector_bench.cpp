// How fast the deep scan's sweep tests recognise directory sectors, next to
// the speed at which the same file is read from the page cache.
//   fat_directory_sector_bench FILE [PASSES]
// The file is read once to warm the cache, then PASSES times in 64 KiB
// pieces; each pass times the reads alone, then runs IsDotDirectorySector
// and, when it fails, IsDirectorySector on every 512-byte sector of the
// pieces just read (as the sweep dispatches them), timed apart.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engines/fat/deep_fat_recovery.h"
#include "platform/file_handle.h"

int main(int argc, char** argv) {
  using namespace velmira;
  using Clock = std::chrono::steady_clock;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [PASSES]\n", argv[0]);
    return 1;
  }
  const int passes = argc > 2 ? std::atoi(argv[2]) : 3;
  FileHandle file;
  if (OpenReadOnly(argv[1], file) != 0) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  constexpr size_t kPiece = 65536;
  constexpr size_t kBatch = 256;  // pieces read before they are tested: 16 MiB
  std::vector<uint8_t> batch(kPiece * kBatch);
  uint64_t size = 0;
  size_t done = 0;
  while (ReadAt(file, batch.data(), kPiece, size, done) == 0 && done > 0) size += done;  // warm the cache

  double bestRead = 1e30, bestTest = 1e30;
  uint64_t dots = 0, dirs = 0;
  for (int pass = 0; pass < passes; ++pass) {
    double readSeconds = 0, testSeconds = 0;
    dots = dirs = 0;
    for (uint64_t offset = 0; offset < size;) {
      auto t0 = Clock::now();
      size_t filled = 0;
      while (filled < batch.size() && offset < size) {
        if (ReadAt(file, batch.data() + filled, kPiece, offset, done) != 0 || done == 0) break;
        filled += done;
        offset += done;
      }
      auto t1 = Clock::now();
      for (size_t at = 0; at + 512 <= filled; at += 512) {
        const ByteView sector(batch.data() + at, 512);
        if (CDeepFatRecovery::IsDotDirectorySector(sector))
          ++dots;
        else if (CDeepFatRecovery::IsDirectorySector(sector))
          ++dirs;
      }
      auto t2 = Clock::now();
      readSeconds += std::chrono::duration<double>(t1 - t0).count();
      testSeconds += std::chrono::duration<double>(t2 - t1).count();
      if (filled == 0) break;
    }
    if (readSeconds < bestRead) bestRead = readSeconds;
    if (testSeconds < bestTest) bestTest = testSeconds;
  }
  const double mib = static_cast<double>(size) / 1048576.0;
  std::printf("%s: %.0f MiB, %llu folder starts, %llu directory sectors\n", argv[1], mib,
              static_cast<unsigned long long>(dots), static_cast<unsigned long long>(dirs));
  std::printf("  page-cache read   %8.0f MiB/s\n", mib / bestRead);
  std::printf("  sector tests      %8.0f MiB/s  (%.1fx the read)\n", mib / bestTest, bestRead / bestTest);
  return 0;
}
