// Feeds arbitrary bytes to the NTFS decoders: once as one record window
// (fix-up, attribute walks, run lists, $FILE_NAME, resident data), once as a
// tiny volume whose $MFT starts at sector 0 (the $MFT's own runs, attribute
// lists, record lookups, the volume bitmap and its free stretches).
//
// Seeds: single records and slices of raw $MFT files, e.g.
//   mkdir seeds && cp corpus/msuhanov__dfir_ntfs/test_data/frs*.bin seeds/
//   ./ntfs_structures_fuzz -max_total_time=60 seeds
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engines/ntfs/ntfs_structures.h"
#include "platform/errors.h"

namespace {

using namespace velmira;

class BufferReader : public ByteReader {
 public:
  explicit BufferReader(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
  int32_t ReadAt(void* buffer, size_t size, uint64_t offset, size_t& done) override {
    done = 0;
    if (offset >= m_bytes.size()) return kErrReadFault;
    done = static_cast<size_t>(std::min<uint64_t>(size, m_bytes.size() - offset));
    std::memcpy(buffer, m_bytes.data() + offset, done);
    return kOk;
  }

 private:
  std::vector<uint8_t> m_bytes;
};

void DecodeWindow(const uint8_t* data, size_t size, uint32_t bytesPerSector) {
  NtfsGeometry g;
  SetNtfsRecordGeometry(g, bytesPerSector);
  g.sectorsPerCluster = 8;
  std::vector<uint8_t> window(data, data + std::min<size_t>(size, kNtfsWindowBytes));
  window.resize(kNtfsWindowBytes, 0);
  ApplyFixup(window, g.fixupCount, g.fixupStride);
  const ByteView record(window.data(), window.size());

  const uint32_t walks[] = {0u, kWalkStopAtTypeZero | kWalkStopAtFillOrAbove | kWalkLength16Signed,
                            kWalkStopAtFill};
  for (uint32_t flags : walks) {
    NtfsAttributeWalk walk(record, flags == 0 ? kNtfsWindowBytes : record.U32At(kNtfsRecBytesInUse), flags);
    while (walk.Next()) {
      std::vector<DataRun> runs;
      DecodeRunList(walk.attribute(), g, runs);
      const auto absolute = ToAbsoluteRuns(runs);
      for (const AbsoluteRun& run : absolute) {
        uint64_t sector = 0;
        (void)ClusterToSector(g, static_cast<int64_t>(run.firstCluster), sector);
      }
      (void)RecordToSector(g, runs, record.U32At(kNtfsRecNumber));
      NtfsFileName name;
      (void)ReadFileNameValue(walk.attribute(), name);
    }
  }
  std::vector<uint8_t> value;
  (void)ResidentDataOf(record, g, value);
  (void)ResidentDataOf(record, g, value, g.recordSize);
}

void DecodeVolume(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + std::min<size_t>(size, 1u << 20));
  bytes.resize((bytes.size() + 511) / 512 * 512);
  SectorSource source;
  source.sectorCount = bytes.size() / 512;
  source.reader = std::make_shared<BufferReader>(std::move(bytes));

  NtfsGeometry g;
  SetNtfsRecordGeometry(g, 512);
  g.sectorsPerCluster = 1;
  g.partitionLength = source.sectorCount;
  MftRunMap mft;
  (void)ReadMftRunMap(source, g, mft);
  for (uint64_t n = 0; n < 8; ++n) {
    std::vector<DataRun> runs;
    (void)GetAttributeRuns(source, g, mft, RecordToSector(g, mft, n), kNtfsAttrData, runs);
    std::vector<uint8_t> value;
    (void)ReadResidentData(source, g, RecordToSector(g, mft, n), value);
  }
  VolumeBitmap bitmap;
  if (LoadVolumeBitmap(source, g, mft, bitmap) == kOk) {
    uint64_t position = 0, length = 0;
    for (int i = 0; i < 64; ++i) {
      NextFreeExtent(g, bitmap, position, length);
      if (length == 0) break;
      position += length;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DecodeWindow(data, size, 512);
  DecodeWindow(data, size, 4096);
  DecodeVolume(data, size);
  return 0;
}
