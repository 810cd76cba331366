// Times the per-sector work of the carving sweep: the header dispatch
// (DetectType) and the boundary test (DetectType + IsFileSystemStructure)
// over sectors of random data, zero sectors and text, and compares the
// dispatch with trying every row in order.
//
//   build-bench/bench/signature_dispatch_bench [MiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engines/carving/carving_state.h"
#include "engines/carving/signature_table.h"

namespace {

using velmira::ByteView;
using velmira::CarvingState;

constexpr size_t kSector = 512;

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> b(n);
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (size_t i = 0; i < n; i += 8) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    std::memcpy(b.data() + i, &x, std::min<size_t>(8, n - i));
  }
  return b;
}

std::vector<uint8_t> TextBytes(size_t n) {
  static const char kText[] =
      "The quick brown fox jumps over the lazy dog. 0123456789 Lorem ipsum dolor sit amet,\n";
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(kText[i % (sizeof kText - 1)]);
  return b;
}

template <typename Fn>
void Time(const char* what, const std::vector<uint8_t>& data, Fn fn) {
  CarvingState state;
  size_t hits = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at + kSector <= data.size(); at += kSector)
    hits += fn(ByteView(data.data() + at, kSector), state);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double sectors = static_cast<double>(data.size() / kSector);
  const double mbPerSecond = static_cast<double>(data.size()) / seconds / 1e6;
  std::printf("  %-34s %8.1f ns/sector %9.0f MB/s  2 TB in %6.1f min  (hits %zu)\n", what,
              seconds * 1e9 / sectors, mbPerSecond, 2e12 / (mbPerSecond * 1e6) / 60, hits);
}

void Run(const char* name, const std::vector<uint8_t>& data) {
  std::printf("%s (%zu MiB)\n", name, data.size() >> 20);
  // Warm the caches and the dispatch index once.
  CarvingState warm;
  for (size_t at = 0; at + kSector <= data.size(); at += 64 * kSector)
    (void)velmira::DetectType(ByteView(data.data() + at, kSector), warm);
  Time("DetectType (dispatch)", data,
       [](ByteView s, CarvingState& st) { return velmira::DetectType(s, st) != velmira::kNoType; });
  Time("DetectType (row by row)", data,
       [](ByteView s, CarvingState& st) { return velmira::DetectTypeRowByRow(s, st) != velmira::kNoType; });
  Time("boundary test", data, [](ByteView s, CarvingState& st) {
    return velmira::DetectType(s, st) != velmira::kNoType || velmira::IsFileSystemStructure(s);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const size_t bytes = mib << 20;
  Run("random data (compressed photos, video)", RandomBytes(bytes, 1));
  Run("zero sectors (wiped or never written)", std::vector<uint8_t>(bytes, 0));
  Run("text", TextBytes(bytes));
  return 0;
}
