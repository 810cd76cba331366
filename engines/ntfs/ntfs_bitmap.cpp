// The volume bitmap ($Bitmap, record 6) and the search for unallocated space.
#include <algorithm>
#include <new>

#include "engines/ntfs/ntfs_structures.h"
#include "platform/errors.h"

namespace velmira {
namespace {

constexpr uint64_t kBitmapRecord = 6;
// Bitmap runs are read in pieces of at most this many bytes.
constexpr uint64_t kReadPieceBytes = 1u << 20;

// Data size (u64 at 0x30) of the record's first $DATA, walking to the end
// marker or the window's end.
bool BitmapDataSize(ByteView record, uint64_t& size) {
  NtfsAttributeWalk walk(record, kNtfsWindowBytes);
  while (walk.Next()) {
    if (walk.type() == kNtfsAttrData) {
      size = walk.attribute().U64At(kNtfsAttDataSize);
      return true;
    }
  }
  return false;
}

// Bytes a bitmap of the partition's clusters can need, in whole clusters.
uint64_t BitmapByteLimit(const NtfsGeometry& g, uint64_t clusterBytes) {
  const uint64_t clusters = g.partitionLength / g.sectorsPerCluster + 1;
  const uint64_t bytes = clusters / 8 + 1;
  return (bytes / clusterBytes + 1) * clusterBytes;
}

// Index of the first bit at or after `bit` whose value is `set`, or `bits`.
uint64_t FindBit(const uint8_t* bytes, uint64_t bits, uint64_t bit, bool set) {
  const uint8_t skip = set ? 0x00 : 0xFF;  // bytes without the bit wanted
  while (bit < bits) {
    const uint64_t byte = bit / 8;
    const uint8_t value = bytes[byte];
    if (bit % 8 == 0 && value == skip) {
      bit += 8;
      continue;
    }
    if (((value >> (bit % 8)) & 1) == (set ? 1 : 0)) return bit;
    ++bit;
  }
  return bits;
}

}  // namespace

int32_t LoadVolumeBitmap(const SectorSource& source, const NtfsGeometry& g, const MftRunMap& mftRuns,
                         VolumeBitmap& bitmap) {
  const uint64_t sector = RecordToSector(g, mftRuns, kBitmapRecord);
  std::vector<DataRun> runs;
  int32_t rc = GetAttributeRuns(source, g, mftRuns, sector, kNtfsAttrData, runs);
  if (rc != kOk) return rc;

  std::vector<uint8_t> window;
  rc = ReadFileRecord(source, g, sector, window);
  if (rc != kOk) return rc;
  uint64_t dataSize = 0;
  if (!BitmapDataSize(ByteView(window.data(), window.size()), dataSize)) return kErrInvalidParameter;
  if (g.sectorsPerCluster == 0) return kErrInvalidParameter;

  const uint32_t bps = g.bytesPerSector == 0 ? 512u : g.bytesPerSector;
  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * bps;
  uint64_t runBytes = 0;
  for (const DataRun& run : runs) {
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(run.length, clusterBytes, &bytes) ||
        __builtin_add_overflow(runBytes, bytes, &runBytes)) {
      runBytes = UINT64_MAX;
      break;
    }
  }
  const uint64_t bufferBytes = std::min(runBytes, BitmapByteLimit(g, clusterBytes));

  VolumeBitmap loaded;
  try {
    loaded.bytes.assign(static_cast<size_t>(bufferBytes), 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  loaded.length = std::min(dataSize, bufferBytes);

  // Each run has its fixed place in the buffer; a part that cannot be read
  // stays 0 (free), which only makes a sweep look at more space.
  uint64_t place = 0;
  for (const AbsoluteRun& run : ToAbsoluteRuns(runs)) {
    if (place >= bufferBytes) break;
    const uint64_t room = bufferBytes - place;
    const uint64_t bytes = run.length > room / clusterBytes ? room : run.length * clusterBytes;
    uint64_t first = 0;
    if (run.valid && !run.sparse && ClusterToSector(g, static_cast<int64_t>(run.firstCluster), first)) {
      for (uint64_t done = 0; done < bytes;) {
        const uint64_t piece = std::min(bytes - done, std::max<uint64_t>(kReadPieceBytes, bps));
        const auto count = static_cast<uint32_t>(piece / bps);
        uint64_t at = 0;
        uint32_t got = 0;
        if (count == 0 || __builtin_add_overflow(first, done / bps, &at) ||
            ReadSectors(count, source, loaded.bytes.data() + place + done, at, bps, got) != kOk)
          break;
        done += uint64_t{count} * bps;
      }
    }
    place += bytes;
  }
  bitmap = std::move(loaded);
  return kOk;
}

void NextFreeExtent(const NtfsGeometry& g, const VolumeBitmap& bitmap, uint64_t& position, uint64_t& length) {
  length = 0;
  if (position > g.partitionLength) {
    position = g.partitionLength;
    return;
  }
  const uint64_t spc = g.sectorsPerCluster;
  if (spc == 0) return;
  const uint64_t bytes = std::min<uint64_t>(bitmap.length, bitmap.bytes.size());
  const uint64_t bits = bytes * 8;
  uint64_t cluster = position / spc;
  if (cluster / 8 < bytes) {
    const uint8_t* map = bitmap.bytes.data();
    if ((map[cluster / 8] >> (cluster % 8)) & 1) {
      // Over the allocated clusters; when the bitmap ends first the position stays.
      const uint64_t clear = FindBit(map, bits, cluster, false);
      if (clear < bits) {
        uint64_t moved = 0;
        if (__builtin_mul_overflow(clear - cluster, spc, &moved) ||
            __builtin_add_overflow(position, moved, &position))
          position = UINT64_MAX;
        cluster = clear;
      }
    }
    if (!((map[cluster / 8] >> (cluster % 8)) & 1)) {
      const uint64_t set = FindBit(map, bits, cluster, true);
      if (__builtin_mul_overflow(set - cluster, spc, &length)) length = UINT64_MAX;
    }
  }
  if (position >= g.partitionLength)
    length = 0;
  else
    length = std::min(length, g.partitionLength - position);
}

}  // namespace velmira
