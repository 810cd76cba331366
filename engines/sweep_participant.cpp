#include "engines/sweep_participant.h"

#include "platform/errors.h"

namespace velmira {

ByteView JournalSector::Bytes() {
  if (!m_read) {
    m_read = true;
    m_bytes.assign(m_bytesPerSector, 0);
    uint32_t got = 0;
    if (ReadSectors(1, m_source, m_bytes.data(), m_sector, m_bytesPerSector, got) != kOk || got != 1)
      m_bytes.clear();
  }
  return ByteView(m_bytes.data(), m_bytes.size());
}

void CSweepParticipant::MarkCandidates(const uint8_t* piece, uint32_t sectors, uint32_t bytesPerSector,
                                       uint8_t* marks, uint8_t bit) const {
  MarkSectors(piece, sectors, bytesPerSector, marks, bit, [](ByteView) { return true; });
}

bool ClusterRecordFirstSector(const FoundRecord& record, uint32_t bytesPerSector, uint64_t& sector) {
  const uint32_t clusterBytes = record.clusterBytes;
  const uint32_t key = record.key;
  const uint64_t start = record.partitionStart;
  const uint64_t dataStart = record.dataStart;
  if (start > UINT64_MAX / 4 || dataStart > UINT64_MAX / 4) return false;
  if (key == 0) {
    if (dataStart < 32) return false;
    sector = start + dataStart - 32;
    return true;
  }
  if (key < 2 || clusterBytes == 0 || clusterBytes == kNoClusterBytes) return false;
  sector = start + dataStart + uint64_t{key - 2} * (clusterBytes / bytesPerSector);
  return true;
}

}  // namespace velmira
