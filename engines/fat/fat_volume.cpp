#include "engines/fat/fat_volume.h"

#include <algorithm>

#include "platform/errors.h"

namespace velmira {
namespace {

bool IsPowerOfTwo(uint32_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

}  // namespace

uint64_t FatGeometry::ClusterSector(uint32_t cluster) const {
  if (cluster < 2) return isFat32 ? dataStart : RootSector();
  return dataStart + uint64_t{cluster - 2} * sectorsPerCluster;
}

uint32_t FatGeometry::EndOfChain() const {
  switch (entryBits) {
    case 12:
      return 0xFF8;
    case 32:
      return 0x0FFFFFF8;
    default:
      return 0xFFF8;
  }
}

bool ReadFatGeometry(ByteView boot, FatGeometry& g) {
  g = FatGeometry{};
  g.bytesPerSector = boot.U16At(11);
  g.sectorsPerCluster = boot.U8At(13);
  g.reservedSectors = boot.U16At(14);
  g.numberOfTables = boot.U8At(16);
  g.rootEntries = boot.U16At(17);
  g.totalSectors = boot.U32At(32) != 0 ? boot.U32At(32) : boot.U16At(19);
  g.isFat32 = boot.Matches(82, "FAT32   ");
  if (g.bytesPerSector < 512 || !IsPowerOfTwo(g.bytesPerSector) || !IsPowerOfTwo(g.sectorsPerCluster) ||
      g.sectorsPerCluster > 128 || g.numberOfTables == 0)
    return false;
  uint64_t dataStart = 0;
  if (g.isFat32) {
    g.sectorsPerTable = boot.U32At(36);
    g.rootCluster = boot.U32At(44) & 0x0FFFFFFF;
    dataStart = uint64_t{g.numberOfTables} * g.sectorsPerTable + g.reservedSectors;
    g.entryBits = 32;
  } else {
    g.sectorsPerTable = boot.U16At(22);
    // The root directory sits between the tables and the data area; its size
    // comes from the root entry count (32 sectors for the usual 512 entries).
    g.rootSectors = (g.rootEntries * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
    dataStart = g.reservedSectors + uint64_t{g.sectorsPerTable} * g.numberOfTables + g.rootSectors;
  }
  if (g.sectorsPerTable == 0 || dataStart > g.totalSectors || dataStart > UINT32_MAX) return false;
  g.dataStart = static_cast<uint32_t>(dataStart);
  g.clusterCount = (g.totalSectors - g.dataStart) / g.sectorsPerCluster;
  if (!g.isFat32) g.entryBits = g.clusterCount < 4085 ? 12 : 16;
  // A table too small for the clusters limits the clusters it can describe.
  const uint64_t tableEntries = uint64_t{g.sectorsPerTable} * g.bytesPerSector * 8 / g.entryBits;
  if (tableEntries < 2) return false;
  g.clusterCount = static_cast<uint32_t>(std::min<uint64_t>(g.clusterCount, tableEntries - 2));
  return true;
}

FatTable::FatTable(const SectorSource& source, const FatGeometry& geometry, uint64_t tableStart)
    : m_source(source),
      m_geometry(geometry),
      m_tableStart(tableStart),
      m_tableBytes(uint64_t{geometry.sectorsPerTable} * geometry.bytesPerSector),
      m_readableEnd(m_tableBytes) {}

// An unreadable table is remembered (m_readableEnd): each lookup past what
// was read then fails with the read error.
void FatTable::Load() {
  (void)LoadWindowAt(0);
}

int32_t FatTable::LoadWindowAt(uint64_t byteOffset) {
  const uint32_t bps = m_geometry.bytesPerSector;
  const uint64_t firstSector = byteOffset / bps;
  const uint64_t windowSectors = std::min<uint64_t>(kWindowBytes / bps, m_tableBytes / bps - firstSector);
  m_window.assign(windowSectors * bps, 0);
  m_windowStart = firstSector * bps;
  m_loaded = true;
  uint32_t got = 0;
  int32_t err = ReadSectors(static_cast<uint32_t>(windowSectors), m_source, m_window.data(),
                            m_tableStart + firstSector, bps, got);
  // Keep what was read; a lookup beyond it fails. Where the table cannot be
  // read (a damaged size, a medium cut short) it is not read again for every
  // lookup.
  m_window.resize(uint64_t{got} * bps);
  if (got < windowSectors) m_readableEnd = std::min(m_readableEnd, m_windowStart + m_window.size());
  if (got == 0) return err == kOk || err == kErrReadFault ? kErrReadFault : err;
  return kOk;
}

int32_t FatTable::Entry(uint32_t cluster, uint32_t& value) {
  value = 0;
  const uint32_t bits = m_geometry.entryBits;
  const uint64_t offset = bits == 12 ? uint64_t{cluster} + cluster / 2 : uint64_t{cluster} * (bits / 8);
  const uint32_t width = bits == 32 ? 4 : 2;
  if (offset + width > m_tableBytes) return kErrInvalidParameter;
  if (offset + width > m_readableEnd) return kErrReadFault;
  if (!m_loaded || offset < m_windowStart || offset + width > m_windowStart + m_window.size()) {
    // FAT12 entries may straddle a sector; start the window a sector early.
    const uint64_t at = offset >= m_geometry.bytesPerSector && bits == 12 ? offset - 1 : offset;
    if (int32_t err = LoadWindowAt(at); err != kOk) return err;
    if (offset < m_windowStart || offset + width > m_windowStart + m_window.size()) return kErrReadFault;
  }
  const ByteView view(m_window.data(), m_window.size());
  const size_t at = static_cast<size_t>(offset - m_windowStart);
  if (bits == 32) {
    value = view.U32At(at) & 0x0FFFFFFF;
  } else if (bits == 16) {
    value = view.U16At(at);
  } else {
    const uint16_t pair = view.U16At(at);
    value = (cluster & 1) ? (pair >> 4) : (pair & 0x0FFF);
  }
  return kOk;
}

bool FatTable::IsChainValue(uint32_t value) const {
  return value >= 2 && value < m_geometry.EndOfChain() - 1 && value <= m_geometry.clusterCount + 1;
}

uint32_t FatTable::NextCluster(uint32_t cluster) {
  const uint32_t lastCluster = m_geometry.clusterCount + 1;
  uint32_t v = 0;
  if (cluster < 2 || cluster > lastCluster || Entry(cluster, v) != kOk) return 0;
  if (v == 0) {
    // A deleted file's chain is gone: it goes on into the next cluster as long
    // as that one is free too.
    uint32_t following = 0;
    if (cluster + 1 > lastCluster || Entry(cluster + 1, following) != kOk) return 0;
    return following == 0 ? cluster + 1 : 0;
  }
  // End marks, bad-cluster marks and values outside the volume end the chain.
  return IsChainValue(v) ? v : 0;
}

}  // namespace velmira
