// Run lists: decoding, absolute clusters, and record numbers to sectors.
#include <algorithm>

#include "engines/ntfs/ntfs_structures.h"

namespace velmira {

void DecodeRunList(ByteView attribute, const NtfsGeometry&, std::vector<DataRun>& runs) {
  // The run list ends with the attribute (or the view, whichever is shorter),
  // however many runs it holds.
  const size_t end = std::min<size_t>(attribute.U32At(kNtfsAttLength), attribute.size());
  size_t pos = attribute.U16At(kNtfsAttRunListOffset);
  // Every run takes at least one byte: the loop ends within `end` steps.
  while (pos < end) {
    const uint8_t header = attribute.U8At(pos);
    if (header == 0) return;
    const size_t lengthBytes = header & 0x0F;
    const size_t offsetBytes = header >> 4;
    if (lengthBytes > 7 || offsetBytes > 7) return;
    // A run whose fields would reach past the attribute is not a run.
    if (pos + 1 + lengthBytes + offsetBytes > end) return;

    uint64_t runLength = 0;
    for (size_t i = 0; i < lengthBytes; ++i) runLength |= uint64_t{attribute.U8At(pos + 1 + i)} << (8 * i);
    runLength &= 0xFFFFFFFFu;

    uint64_t raw = 0;
    for (size_t i = 0; i < offsetBytes; ++i)
      raw |= uint64_t{attribute.U8At(pos + 1 + lengthBytes + i)} << (8 * i);
    int64_t delta = 0;
    if (offsetBytes > 0) {
      const unsigned bits = static_cast<unsigned>(8 * offsetBytes);
      if (raw & (uint64_t{1} << (bits - 1))) raw |= ~uint64_t{0} << bits;  // sign-extend
      delta = static_cast<int64_t>(raw);
    }
    runs.push_back(DataRun{runLength, delta, offsetBytes == 0});
    pos += 1 + lengthBytes + offsetBytes;
  }
}

std::vector<AbsoluteRun> ToAbsoluteRuns(std::span<const DataRun> runs) {
  std::vector<AbsoluteRun> out;
  out.reserve(runs.size());
  int64_t cluster = 0;
  bool valid = true;
  for (const DataRun& run : runs) {
    if (valid && __builtin_add_overflow(cluster, run.delta, &cluster)) valid = false;
    if (valid && cluster < 0) valid = false;
    out.push_back(AbsoluteRun{valid ? static_cast<uint64_t>(cluster) : 0, run.length, run.sparse, valid});
  }
  return out;
}

bool RunsLieInside(std::span<const DataRun> runs, uint64_t clusterLimit) {
  for (const AbsoluteRun& run : ToAbsoluteRuns(runs)) {
    if (run.sparse) continue;
    if (!run.valid || run.firstCluster > clusterLimit || run.length > clusterLimit - run.firstCluster)
      return false;
  }
  return true;
}

bool ClusterToSector(const NtfsGeometry& g, int64_t cluster, uint64_t& sector) {
  if (cluster < 0) return false;
  uint64_t offset = 0;
  return !__builtin_mul_overflow(static_cast<uint64_t>(cluster), uint64_t{g.sectorsPerCluster}, &offset) &&
         !__builtin_add_overflow(g.partitionStart, offset, &sector);
}

uint64_t RecordToSector(const NtfsGeometry& g, const MftRunMap& mftRuns, uint64_t recordNumber) {
  uint64_t offset = 0;
  if (__builtin_mul_overflow(recordNumber, uint64_t{g.sectorsPerRecord}, &offset)) return g.partitionStart;
  uint64_t start = 0;  // sectors of the $MFT before this run
  int64_t cluster = 0;
  for (const DataRun& run : mftRuns) {
    if (__builtin_add_overflow(cluster, run.delta, &cluster)) return g.partitionStart;
    uint64_t runSectors = 0;
    if (__builtin_mul_overflow(run.length, uint64_t{g.sectorsPerCluster}, &runSectors))
      return g.partitionStart;
    if (offset >= start && offset - start < runSectors) {
      uint64_t sector = 0;
      if (!ClusterToSector(g, cluster, sector) || __builtin_add_overflow(sector, offset - start, &sector))
        return g.partitionStart;
      return sector;
    }
    if (__builtin_add_overflow(start, runSectors, &start)) return g.partitionStart;
  }
  return g.partitionStart;
}

}  // namespace velmira
