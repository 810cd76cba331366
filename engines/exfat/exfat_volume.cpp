#include "engines/exfat/exfat_volume.h"

#include <algorithm>
#include <unordered_set>

#include "engines/boot_sector_read.h"
#include "platform/errors.h"

namespace velmira {

int32_t ExfatVolume::Open(const SectorSource* source, uint64_t start, uint64_t sectorCount, uint32_t bps) {
  m_source = source;
  m_start = start;
  m_sectorCount = sectorCount;
  m_opened = false;
  m_found = false;
  m_fromBackup = false;
  m_fat.clear();
  m_bitmap.clear();
  if (source == nullptr || bps < 512 || start > UINT64_MAX / bps) return kErrInvalidParameter;
  const uint64_t startByte = start * bps;
  std::vector<uint8_t> first(512);
  const bool firstRead = ReadExfatBytes(*source, bps, startByte, first.size(), first.data());
  // The boot sector tells the volume's own sector size, in which its region
  // is laid out. Without it the backup is looked for with each size, the
  // source's first.
  ExfatGeometry g;
  uint32_t stated = 0;
  if (firstRead && ReadExfatGeometry(ByteView(first.data(), first.size()), g)) stated = g.bytesPerSector;
  std::vector<uint32_t> sizes;
  for (const uint32_t size : {stated, bps, 512u, 1024u, 2048u, 4096u})
    if (size >= 512 && size <= 4096 && std::find(sizes.begin(), sizes.end(), size) == sizes.end())
      sizes.push_back(size);
  int32_t lastError = firstRead ? kErrInvalidData : kErrReadFault;
  for (uint32_t pass = 0; pass < 2; ++pass) {
    for (const uint32_t volumeBps : sizes) {
      if (pass == 0 && volumeBps != stated) continue;  // the main region is where its boot sector says
      std::vector<uint8_t> region(size_t{volumeBps} * kExfatBootRegionSectors);
      const uint64_t at = startByte + uint64_t{pass} * region.size();
      if (!ReadExfatBytes(*source, bps, at, region.size(), region.data())) {
        lastError = kErrReadFault;
        continue;
      }
      const ByteView view(region.data(), region.size());
      if (!ExfatBootRegionValid(view, volumeBps) || !ReadExfatGeometry(view.Sub(0, volumeBps), g) ||
          g.bytesPerSector != volumeBps)
        continue;
      m_geometry = g;
      m_fromBackup = pass == 1;
      m_found = true;
      // Reads count in the volume's sectors: a source that counts in others
      // is recounted first.
      if (volumeBps != bps) return kErrInvalidParameter;
      m_opened = true;
      // A volume longer than the source is read as far as the source goes.
      if (m_sectorCount > g.volumeSectors) m_sectorCount = g.volumeSectors;
      return kOk;
    }
  }
  return lastError;
}

int32_t ExfatVolume::LoadFat() {
  m_fat.clear();
  if (!m_opened) return kErrInvalidHandle;
  const ExfatGeometry& g = m_geometry;
  // The second table when the volume says it is the active one.
  const uint64_t tableSector =
      m_start + g.fatOffset + ((g.volumeFlags & 1) && g.numberOfFats == 2 ? g.fatLength : 0);
  const uint64_t entries = uint64_t{g.clusterCount} + 2;
  const uint64_t bytes = entries * 4;
  const uint32_t bps = g.bytesPerSector;
  const uint64_t sectors = (bytes + bps - 1) / bps;
  // The table lies on the medium: a boot sector that says otherwise cannot
  // make it larger than the medium is.
  if (tableSector - m_start + sectors > m_sectorCount) return kErrInvalidData;
  std::vector<uint8_t> raw(static_cast<size_t>(sectors * bps));
  const uint32_t perRead = static_cast<uint32_t>(kIoPieceBytes * 16 / bps);
  for (uint64_t done = 0; done < sectors;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(perRead, sectors - done));
    uint32_t got = 0;
    const int32_t err = ReadSectors(n, *m_source, raw.data() + done * bps, tableSector + done, bps, got);
    if (err != kOk || got != n) return err != kOk ? err : kErrReadFault;
    done += n;
  }
  m_fat.resize(static_cast<size_t>(entries));
  const ByteView view(raw.data(), raw.size());
  for (size_t i = 0; i < m_fat.size(); ++i) m_fat[i] = view.U32At(i * 4);
  return kOk;
}

int32_t ExfatVolume::LoadBitmap(uint32_t firstCluster, uint64_t length) {
  m_bitmap.clear();
  const ExfatGeometry& g = m_geometry;
  const uint64_t needed = (uint64_t{g.clusterCount} + 7) / 8;
  if (!m_opened || !g.ValidCluster(firstCluster) || length < needed) return kErrInvalidData;
  const uint32_t bps = g.bytesPerSector;
  const uint64_t sectors = (needed + bps - 1) / bps;
  if (g.ClusterSector(firstCluster) + sectors > m_sectorCount) return kErrInvalidData;
  std::vector<uint8_t> raw(static_cast<size_t>(sectors * bps));
  const uint32_t perRead = static_cast<uint32_t>(kIoPieceBytes * 16 / bps);
  for (uint64_t done = 0; done < sectors;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(perRead, sectors - done));
    uint32_t got = 0;
    const int32_t err =
        ReadSectors(n, *m_source, raw.data() + done * bps, ClusterSector(firstCluster) + done, bps, got);
    if (err != kOk || got != n) return err != kOk ? err : kErrReadFault;
    done += n;
  }
  raw.resize(static_cast<size_t>(needed));
  m_bitmap = std::move(raw);
  return kOk;
}

bool ExfatVolume::FatEntry(uint32_t cluster, uint32_t& value) const {
  if (cluster >= m_fat.size()) return false;
  value = m_fat[cluster];
  return true;
}

bool ExfatVolume::InUse(uint32_t cluster) const {
  if (!m_geometry.ValidCluster(cluster)) return false;
  const uint32_t i = cluster - 2;
  return i / 8 < m_bitmap.size() && ((m_bitmap[i / 8] >> (i % 8)) & 1) != 0;
}

std::vector<uint32_t> ExfatVolume::Clusters(uint32_t first, uint64_t bytes, bool noFatChain,
                                            bool deleted) const {
  std::vector<uint32_t> list;
  const ExfatGeometry& g = m_geometry;
  const uint64_t clusterBytes = g.ClusterBytes();
  if (!m_opened || clusterBytes == 0 || bytes == 0 || !g.ValidCluster(first)) return list;
  const uint64_t wanted =
      std::min<uint64_t>({(bytes + clusterBytes - 1) / clusterBytes, g.clusterCount, kMaxListClusters});
  list.reserve(static_cast<size_t>(std::min<uint64_t>(wanted, 65536)));
  // Only clusters that lie on the medium: a cluster count the boot sector
  // overstates never makes a list longer than the medium.
  auto onMedium = [&](uint32_t c) {
    return g.ValidCluster(c) && g.ClusterSector(c) + g.sectorsPerCluster <= m_sectorCount;
  };
  if (noFatChain) {
    for (uint64_t i = 0; i < wanted && first + i <= UINT32_MAX && onMedium(static_cast<uint32_t>(first + i));
         ++i)
      list.push_back(static_cast<uint32_t>(first + i));
    return list;
  }
  std::unordered_set<uint32_t> seen;
  uint32_t cluster = first;
  bool freeRun = false;
  while (list.size() < wanted) {
    if (!onMedium(cluster) || !seen.insert(cluster).second) break;
    list.push_back(cluster);
    if (list.size() >= wanted) break;
    uint32_t next = 0;
    const bool haveEntry = FatEntry(cluster, next);
    if (!freeRun && haveEntry && g.ValidCluster(next)) {
      cluster = next;
      continue;
    }
    // A live chain that ends (or a table that cannot be read) ends the list.
    if (!deleted || (haveEntry && next != 0 && !freeRun)) break;
    // The chain of a deleted item is gone: its data went on in the next
    // free cluster, skipping those live files hold.
    freeRun = true;
    uint32_t c = cluster + 1;
    while (g.ValidCluster(c) && InUse(c)) ++c;
    cluster = c;
  }
  return list;
}

int32_t ExfatVolume::ReadCluster(uint32_t cluster, std::vector<uint8_t>& buffer) const {
  const uint32_t bps = m_geometry.bytesPerSector;
  buffer.resize(m_geometry.ClusterBytes());
  if (!m_geometry.ValidCluster(cluster)) return kErrInvalidParameter;
  uint32_t got = 0;
  const int32_t err =
      ReadSectors(m_geometry.sectorsPerCluster, *m_source, buffer.data(), ClusterSector(cluster), bps, got);
  if (err != kOk) return err;
  return got == m_geometry.sectorsPerCluster ? kOk : kErrReadFault;
}

bool ReadExfatBytes(const SectorSource& source, uint32_t sectorBytes, uint64_t offset, size_t size,
                    uint8_t* out) {
  if (size == 0) return true;
  std::fill(out, out + size, uint8_t{0});
  if (sectorBytes == 0 || offset > UINT64_MAX - size) return false;
  const uint64_t first = offset / sectorBytes;
  const uint64_t last = (offset + size - 1) / sectorBytes;
  if (last - first >= kMaxReadBytes / sectorBytes) return false;
  const auto count = static_cast<uint32_t>(last - first + 1);
  std::vector<uint8_t> sectors(size_t{count} * sectorBytes);
  const uint32_t unread = ReadSectorsEach(source, first, count, sectorBytes, sectors.data());
  std::copy_n(sectors.begin() + static_cast<ptrdiff_t>(offset - first * sectorBytes), size, out);
  return unread == 0;
}

bool RecountSectors(SectorSource& source, uint32_t fromBytes, uint32_t toBytes, uint64_t& start,
                    uint64_t& count) {
  using Wide = unsigned __int128;
  if (fromBytes == 0 || toBytes == 0) return false;
  const Wide startByte = Wide{start} * fromBytes;
  if (startByte % toBytes != 0) return false;
  start = static_cast<uint64_t>(startByte / toBytes);
  count = static_cast<uint64_t>(Wide{count} * fromBytes / toBytes);
  source.sectorCount = static_cast<uint64_t>(Wide{source.sectorCount} * fromBytes / toBytes);
  return true;
}

bool FindExfatSetAt(const SectorSource& source, uint64_t entrySector, uint32_t bps, uint32_t firstCluster,
                    uint64_t dataLength, ExfatEntrySet& set) {
  if (bps < 512) return false;
  std::vector<uint8_t> bytes(size_t{bps} * 3);
  (void)ReadSectorsEach(source, entrySector, 3, bps, bytes.data());  // unreadable sectors read as zeros
  const ByteView view(bytes.data(), bytes.size());
  for (size_t off = 0; off < bps; off += kExfatEntryBytes) {
    ExfatEntrySet candidate;
    if (ParseExfatEntrySet(view, off, candidate, false) && candidate.firstCluster == firstCluster &&
        candidate.dataLength == dataLength) {
      set = std::move(candidate);
      return true;
    }
  }
  return false;
}

int32_t CopyExfatClusters(const SectorSource& source, uint32_t bps, const FoundRecord& record,
                          const std::vector<uint32_t>& clusters, uint64_t validLength, OutputSink& sink,
                          const ExfatReport& report) {
  const uint32_t clusterBytes = record.clusterBytes;
  if (clusterBytes > kMaxClusterBytes) return kErrWriteFault;
  if (bps == 0 || clusterBytes == 0 || clusterBytes % bps != 0) return kErrInvalidParameter;
  const uint64_t size = record.size;
  if (size == 0) return report(100, 0);
  std::vector<uint8_t> buffer(clusterBytes);
  uint64_t written = 0;
  int32_t error = kOk;
  for (size_t i = 0; written < size; ++i) {
    if (i >= clusters.size()) {
      error = kErrFileCorrupt;  // the clusters end before the file does
      break;
    }
    const uint64_t sector =
        record.partitionStart + record.dataStart + uint64_t{clusters[i] - 2} * (clusterBytes / bps);
    const uint64_t n = std::min<uint64_t>(clusterBytes, size - written);
    // Past the valid data length the file holds zeros, whatever the cluster does.
    const uint64_t real = written >= validLength ? 0 : std::min<uint64_t>(n, validLength - written);
    if (real > 0) {
      uint32_t got = 0;
      const uint32_t sectors = static_cast<uint32_t>((real + bps - 1) / bps);
      (void)ReadSectors(sectors, source, buffer.data(), sector, bps, got);
      if (got != sectors) {
        error = kErrReadFault;
        break;
      }
      error = sink.WriteFrom(buffer.data(), static_cast<size_t>(real), sector * bps);
    }
    if (error == kOk && n > real) {
      std::fill(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(n - real), uint8_t{0});
      error = sink.Write(buffer.data(), static_cast<size_t>(n - real));
    }
    if (error == kOk) written += n;
    if (const int32_t stop = report(static_cast<int32_t>(written * 100 / size), error)) return stop;
    if (error != kOk) break;
    if (!sink.ToFile() && sink.MemoryFull()) break;  // a preview in memory holds what fits
  }
  if (error > 0) (void)report(100, error);
  return error;
}

}  // namespace velmira
