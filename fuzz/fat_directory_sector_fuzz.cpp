// Fuzzes the tests that recognise FAT directory sectors and the deep FAT
// scan's parser of folder buffers. The input is taken as sectors: the tests
// run on each of them and on the whole input; then the engine, over a small
// image whose folder starts come from the input too, parses every sector as
// a folder start or a continuation under a layout taken from the first bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engines/fat/deep_fat_recovery.h"
#include "engines/fat/fat_directory.h"
#include "platform/errors.h"

namespace {

class BytesReader : public velmira::ByteReader {
 public:
  explicit BytesReader(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
  int32_t ReadAt(void* buffer, size_t size, uint64_t offset, size_t& done) override {
    done = 0;
    if (offset >= m_bytes.size()) return 0;
    done = static_cast<size_t>(std::min<uint64_t>(size, m_bytes.size() - offset));
    std::memcpy(buffer, m_bytes.data() + offset, done);
    return 0;
  }

 private:
  std::vector<uint8_t> m_bytes;
};

// A "." / ".." sector naming `cluster` (and a parent) with matching times.
std::vector<uint8_t> DotSector(uint32_t cluster, uint32_t parent) {
  std::vector<uint8_t> s(512, 0);
  auto entry = [&](size_t off, const char* name, uint32_t c) {
    std::memcpy(s.data() + off, name, 11);
    s[off + 11] = 0x10;
    s[off + 16] = 0x21;  // 1980-01-01
    s[off + 20] = static_cast<uint8_t>(c >> 16);
    s[off + 21] = static_cast<uint8_t>(c >> 24);
    s[off + 26] = static_cast<uint8_t>(c);
    s[off + 27] = static_cast<uint8_t>(c >> 8);
  };
  entry(0, ".          ", cluster);
  entry(32, "..         ", parent);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmira;
  if (size > 16 * 512) return 0;
  const ByteView whole(data, size);
  (void)IsDirectorySector(whole);
  (void)IsDotDirectorySector(whole);

  // Layout: 1 << (first byte % 8) sectors per cluster, cluster 2 at sector 64.
  const uint32_t spc = 1u << ((size > 0 ? data[0] : 0) % 8);
  constexpr uint64_t kDataSector = 64;
  constexpr uint64_t kSectors = 640;
  std::vector<uint8_t> image(kSectors * 512, 0);
  // The input also lies where clusters 2, 3, ... start, so that folder-start
  // and ".." lookups read fuzzed bytes.
  for (uint64_t c = 2, at = kDataSector; at + 1 <= kSectors && c < 40; ++c, at += spc) {
    const size_t from = static_cast<size_t>((c - 2) * 512) % std::max<size_t>(size, 1);
    const size_t n = std::min<size_t>(512, size - std::min(size, from));
    if (n > 0) std::memcpy(image.data() + at * 512, data + from, n);
  }
  const std::vector<uint8_t> a = DotSector(4, 0), b = DotSector(5, 4);
  const uint64_t sa = kDataSector + uint64_t{4 - 2} * spc, sb = sa + spc;
  if ((sb + 1) * 512 > image.size()) return 0;
  std::memcpy(image.data() + sa * 512, a.data(), 512);
  std::memcpy(image.data() + sb * 512, b.data(), 512);

  SectorSource source;
  source.sectorCount = kSectors;
  source.reader = std::make_shared<BytesReader>(std::move(image));
  CDeepFatRecovery engine;  // no scan log: the parse runs, nothing is stored
  if (engine.OpenSource(std::move(source), 0, kSectors, 1001) != kOk) return 0;
  engine.OnDotDirectorySector(ByteView(a.data(), a.size()), sa);
  engine.OnDotDirectorySector(ByteView(b.data(), b.size()), sb);
  for (size_t off = 0; off < size; off += 512) {
    std::vector<uint8_t> sector(512, 0);
    std::memcpy(sector.data(), data + off, std::min<size_t>(512, size - off));
    const ByteView view(sector.data(), sector.size());
    const uint64_t at = kDataSector + data[off] % 200 + (size > off + 1 ? data[off + 1] % 200 : 0);
    if (IsDotDirectorySector(view))
      engine.OnDotDirectorySector(view, at);
    else
      engine.OnDirectorySector(view, at);  // also sectors the tests would refuse
  }
  engine.FinishDeepFat();
  return 0;
}
