// Fuzzes the signature table over an in-memory image: the header tests (with
// the dispatch checked against the row-by-row order), the length rules with
// their read-ahead, the content check, and the file-system structure tests.
//
// Input: one byte of options (bit 0: 4,096-byte sectors), then the image.
//   build-fuzz/fuzz/signature_fuzz -max_total_time=60 corpus/
// Seeds: build-fuzz/fuzz/signature_seeds corpus/
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engines/carving/signature_table.h"
#include "engines/fat/fat_directory.h"
#include "tests/fixtures/memory_source.h"

using namespace velmira;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t sectorSize = (data[0] & 1) != 0 ? 4096 : 512;
  const std::vector<uint8_t> image(data + 1, data + size);
  const SectorSource source = testing::MakeMemorySource(image, sectorSize);

  // Every header test on the raw bytes, of any length, without a source.
  CarvingState loose;
  const ByteView all(image.data(), image.size());
  for (const SignatureRow& row : SignatureTable()) (void)row.format->test(all, loose);
  (void)IsFileSystemStructure(all);
  (void)IsDirectorySector(all);

  CarvingState state;
  state.tsStrict = (data[0] & 2) != 0;
  const uint64_t sectors = std::min<uint64_t>(source.sectorCount, 32);
  for (uint64_t s = 0; s < sectors; ++s) {
    const ByteView sector(image.data() + s * sectorSize, sectorSize);
    state.BeginSector(&source, sectorSize, s, SweepFigures{s, sectors, -1, 0});
    if (DetectType(sector, state) != DetectTypeRowByRow(sector, state)) std::abort();
    if (const SignatureRow* row = DetectCarvableType(sector, state)) {
      const uint64_t length = CarveLength(*row, sector, state);
      if (SectorsConsumed(*row, length, sectorSize) == 0) std::abort();
    }
    const std::string_view ext = SignatureTable()[(data[0] >> 2) % SignatureTable().size()].extension;
    (void)CheckContent(sector, ext, &source, sectorSize, s);
    (void)IsFileSystemStructure(sector);
    (void)IsDotDirectorySector(sector);
  }
  return 0;
}
