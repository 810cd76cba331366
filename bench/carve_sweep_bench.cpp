// The carver's speed over a page-cached image next to the machine's own
// page-cache read speed of the same file, on one core (the sweep is one
// thread; the carver should keep at half the read speed or better):
//   build-bench/bench/carve_sweep_bench [MiB] [IMAGE...]     (default 1024; 0: the IMAGEs only)
// It writes a noise image and a zero image of that size under /tmp, reads
// each once to bring it into the page cache, then times a plain 64 KiB read
// loop and the carve sweep over the same bytes. Each IMAGE given (e.g. the
// mixed medium bench/carve_mixed_medium.sh leaves in WORKDIR/raw.img) is
// timed the same way; a small one is swept again until a second has passed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

constexpr double kMinSeconds = 1.0;

double ReadSpeed(const std::string& path, uint64_t bytes) {
  FileHandle in;
  if (OpenReadOnly(path, in) != kOk) std::exit(1);
  std::vector<uint8_t> buf(65536);
  uint64_t total = 0;
  const auto start = std::chrono::steady_clock::now();
  do {
    for (uint64_t off = 0; off < bytes; off += buf.size()) {
      size_t n = 0;
      // A failed read would time nothing: say so and stop.
      if (ReadAt(in, buf.data(), buf.size(), off, n) != kOk) {
        std::fprintf(stderr, "cannot read %s at %llu\n", path.c_str(), static_cast<unsigned long long>(off));
        std::exit(1);
      }
    }
    total += bytes;
  } while (Seconds(start) < kMinSeconds);
  return total / 1048576.0 / Seconds(start);
}

// Only the sweep is timed: opening the engine and its log is a one-off of
// every carve, and each pass gets a log folder of its own that is removed
// after it (a folder filling with the logs of earlier passes would time the
// search for a free log name instead).
double CarveSpeed(const std::string& path, const std::string& logs, uint64_t& found) {
  uint64_t total = 0;
  double swept = 0;
  do {
    {
      CFileTypeRecovery engine;
      engine.SetLogFolder(logs);
      if (engine.OpenImage(path, 1001) != kOk) std::exit(1);
      CarveSweepResult result;
      const auto start = std::chrono::steady_clock::now();
      if (const int32_t err = CarveSweep(engine, 0, engine.Source().sectorCount, nullptr, nullptr, result);
          err != kOk) {
        std::fprintf(stderr, "the carve sweep of %s failed with %d\n", path.c_str(), err);
        std::exit(1);
      }
      swept += Seconds(start);
      found = result.filesFound;
      total += engine.Source().sectorCount * engine.SectorSize();
    }
    std::error_code ec;
    std::filesystem::remove_all(logs, ec);
  } while (swept < kMinSeconds);
  return total / 1048576.0 / swept;
}

void Report(const std::string& what, const std::string& path, const std::string& logs, uint64_t bytes) {
  ReadSpeed(path, bytes);  // into the page cache; the first speed is not wanted
  const double read = ReadSpeed(path, bytes);
  uint64_t found = 0;
  const double carve = CarveSpeed(path, logs, found);
  std::printf("%-6s %6llu MiB: page-cache read %8.0f MB/s, carve sweep %8.0f MB/s (%.0f%%), %llu files\n",
              what.c_str(), static_cast<unsigned long long>(bytes >> 20), read, carve, 100.0 * carve / read,
              static_cast<unsigned long long>(found));
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  char tmpl[] = "/tmp/velmira-carve-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
  for (const bool noise : {true, false}) {
    if (mib == 0) break;  // the images given only
    const std::string path = dir + (noise ? "/noise.img" : "/zeros.img");
    Write(path, mib << 20, noise);
    Report(noise ? "noise" : "zeros", path, dir + "/logs/", mib << 20);
    std::remove(path.c_str());
  }
  for (int i = 2; i < argc; ++i) {
    FileHandle in;
    uint64_t bytes = 0;
    if (OpenReadOnly(argv[i], in) != kOk || HandleLength(in, bytes) != kOk) {
      std::fprintf(stderr, "cannot open %s\n", argv[i]);
      return 1;
    }
    std::printf("%s:\n", argv[i]);
    Report("image", argv[i], dir + "/logs/", bytes);
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
