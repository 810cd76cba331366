// The carver's speed over a page-cached image next to the machine's own
// page-cache read speed of the same file, on one core (the sweep is one
// thread; the carver should keep at half the read speed or better):
//   build-bench/bench/carve_sweep_bench [MiB] [IMAGE...]     (default 1024; 0: the IMAGEs only)
// It writes a noise image and a zero image of that size under /tmp, reads
// each once to bring it into the page cache, then times a plain 64 KiB read
// loop and the carve sweep over the same bytes, the fastest of several
// passes of each. Each IMAGE given (e.g. the mixed medium
// bench/carve_mixed_medium.sh leaves in WORKDIR/raw.img) is timed the same way.
#include <algorithm>
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

// Passes are timed one by one, a read pass and a carve pass in turn, for at
// least this long and this many rounds; the fastest pass of each counts, so
// that other work on a shared machine weighs on both alike and as little as
// it can.
constexpr double kMinSeconds = 2.0;
constexpr int kMinRounds = 3;

double ReadPass(const std::string& path, uint64_t bytes) {
  FileHandle in;
  if (OpenReadOnly(path, in) != kOk) std::exit(1);
  std::vector<uint8_t> buf(65536);
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t off = 0; off < bytes; off += buf.size()) {
    size_t n = 0;
    // A failed read would time nothing: say so and stop.
    if (ReadAt(in, buf.data(), buf.size(), off, n) != kOk) {
      std::fprintf(stderr, "cannot read %s at %llu\n", path.c_str(), static_cast<unsigned long long>(off));
      std::exit(1);
    }
  }
  return Seconds(start);
}

// Only the sweep is timed: opening the engine and its log is a one-off of
// every carve, and each pass gets a log folder of its own that is removed
// after it (a folder filling with the logs of earlier passes would time the
// search for a free log name instead).
double CarvePass(const std::string& path, const std::string& logs, uint64_t& found) {
  double swept = 0;
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
    swept = Seconds(start);
    found = result.filesFound;
  }
  std::error_code ec;
  std::filesystem::remove_all(logs, ec);
  return swept;
}

void Report(const std::string& what, const std::string& path, const std::string& logs, uint64_t bytes) {
  (void)ReadPass(path, bytes);  // into the page cache
  double read = 1e30;
  double carve = 1e30;
  uint64_t found = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kMinRounds || Seconds(start) < kMinSeconds; ++round) {
    read = std::min(read, ReadPass(path, bytes));
    carve = std::min(carve, CarvePass(path, logs, found));
  }
  const double mb = bytes / 1048576.0;
  std::printf("%-6s %6llu MiB: page-cache read %8.0f MB/s, carve sweep %8.0f MB/s (%.0f%%), %llu files\n",
              what.c_str(), static_cast<unsigned long long>(bytes >> 20), mb / read, mb / carve,
              100.0 * read / carve, static_cast<unsigned long long>(found));
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
