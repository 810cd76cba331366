// The carver's speed over a page-cached image next to the machine's own
// page-cache read speed, on one core:
//   build-bench/bench/carve_sweep_bench [MiB]      (default 1024)
// It writes a noise image and a zero image of that size under /tmp, reads
// each once to bring it into the page cache, then times a plain 64 KiB read
// loop and the carve sweep over the same bytes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engines/carving/carve_sweep.h"
#include "platform/errors.h"
#include "platform/file_handle.h"

using namespace velmira;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Write(const std::string& path, uint64_t bytes, bool noise) {
  FileHandle out;
  if (OpenForWriting(path, WriteMode::kCreateAlways, out) != kOk) std::exit(1);
  std::mt19937_64 rng(42);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  for (uint64_t done = 0; done < bytes; done += 1 << 20) {
    for (auto& w : block) w = noise ? rng() : 0;
    size_t n = 0;
    (void)WriteHere(out, block.data(), 1 << 20, n);
  }
}

double ReadSpeed(const std::string& path, uint64_t bytes) {
  FileHandle in;
  if (OpenReadOnly(path, in) != kOk) std::exit(1);
  std::vector<uint8_t> buf(65536);
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t off = 0; off < bytes; off += buf.size()) {
    size_t n = 0;
    (void)ReadAt(in, buf.data(), buf.size(), off, n);
  }
  return bytes / 1048576.0 / Seconds(start);
}

double CarveSpeed(const std::string& path, uint64_t& found) {
  CFileTypeRecovery engine;
  if (engine.OpenImage(path, 1001) != kOk) std::exit(1);
  CarveSweepResult result;
  const auto start = std::chrono::steady_clock::now();
  (void)CarveSweep(engine, 0, engine.Source().sectorCount, nullptr, nullptr, result);
  const double s = Seconds(start);
  found = result.filesFound;
  return engine.Source().sectorCount * 512.0 / 1048576.0 / s;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  char tmpl[] = "/tmp/velmira-carve-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
  for (const bool noise : {true, false}) {
    const std::string path = dir + (noise ? "/noise.img" : "/zeros.img");
    Write(path, mib << 20, noise);
    (void)ReadSpeed(path, mib << 20);  // into the page cache
    const double read = ReadSpeed(path, mib << 20);
    uint64_t found = 0;
    const double carve = CarveSpeed(path, found);
    std::printf("%-6s %6llu MiB: page-cache read %8.0f MB/s, carve sweep %8.0f MB/s (%.0f%%), %llu false finds\n",
                noise ? "noise" : "zeros", static_cast<unsigned long long>(mib), read, carve, 100.0 * carve / read,
                static_cast<unsigned long long>(found));
    std::remove(path.c_str());
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
