#include "engines/exfat/fast_exfat_recovery.h"

#include <algorithm>

#include "engines/carving/signature_table.h"
#include "engines/folder_tree_recovery.h"
#include "engines/logged_results.h"
#include "engines/output_sink.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/time_util.h"
#include "results/scan_log_names.h"
#include "results/scan_log_registry.h"

namespace velmira {
namespace {

// The up-case table's checksum: the boot checksum's rotation over its bytes.
uint32_t UpcaseChecksum(const std::vector<uint8_t>& bytes, uint64_t length) {
  uint32_t sum = 0;
  for (uint64_t i = 0; i < length && i < bytes.size(); ++i)
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + bytes[static_cast<size_t>(i)];
  return sum;
}

}  // namespace

CFastExfatRecovery::CFastExfatRecovery() = default;

CFastExfatRecovery::~CFastExfatRecovery() = default;

int32_t CFastExfatRecovery::Open(const PartitionLocator& target) {
  return m_opened ? kOk : OpenThroughSource(target);
}

int32_t CFastExfatRecovery::OpenSource(SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                       uint16_t sourceKey, uint32_t bytesPerSector) {
  if (m_opened) return kOk;
  if (!IsSectorSize(bytesPerSector)) return kErrInvalidParameter;
  m_source = std::move(source);
  m_opened = true;
  m_startSector = startSector;
  m_sectorCount = SectorsOnSource(m_source, startSector, sectorCount);
  m_sourceKey = sourceKey;
  m_sourceSectorBytes = bytesPerSector;
  m_openError = m_volume.Open(&m_source, m_startSector, m_sectorCount, bytesPerSector);
  if (m_openError != kOk && m_volume.RegionFound()) {
    // A volume formatted with other sectors than the source reads in (an
    // image of a 4Kn card read in 512-byte sectors, or the reverse): from
    // here on the source, the records and the free extents count in the
    // volume's sectors. A volume that starts inside one of them cannot be.
    const uint32_t volumeBps = m_volume.Geometry().bytesPerSector;
    if (!RecountSectors(m_source, bytesPerSector, volumeBps, m_startSector, m_sectorCount))
      return m_openError;
    m_sourceSectorBytes = volumeBps;
    m_openError = m_volume.Open(&m_source, m_startSector, m_sectorCount, volumeBps);
  }
  if (m_openError != kOk) return m_openError;
  // The table is needed for every folder but the contiguous ones; without
  // it the walk still reads those.
  (void)m_volume.LoadFat();
  return kOk;
}

int32_t CFastExfatRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                                 FileProgressCallback fileCallback, void* userData,
                                                 int32_t scale) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = scale;
  return kOk;
}

int32_t CFastExfatRecovery::Report(int32_t percent) {
  if (m_scanCallback == nullptr) return 0;
  return m_scanCallback(m_userData, percent, m_scale, -1, 0, 0, m_store ? m_store->RecordCount() : 0, 0);
}

int32_t CFastExfatRecovery::Scan(const std::string& scanLogPath) {
  m_folders.clear();
  m_queue.clear();
  m_read.clear();
  m_takenFolders.clear();
  m_unreadSectors = 0;
  NewLog();
  if (!scanLogPath.empty()) {
    const int32_t err = m_store->OpenLog(scanLogPath);
    if (err == kOk && m_volume.Opened()) (void)LoadAllocationMap();
    return err;
  }
  if (!m_volume.Opened())
    return m_opened ? (m_openError != kOk ? m_openError : kErrInvalidData) : kErrInvalidHandle;

  if (const int32_t err =
          m_store->OpenNewLog(ScanLogName(ScanLogKind::kFast, static_cast<int64_t>(m_startSector)));
      err != kOk)
    return err;

  int32_t result = Report(1);
  const uint32_t root = m_volume.Geometry().rootCluster;
  Folder rootFolder;
  rootFolder.record = MakeFoundRecord();
  rootFolder.record.key = root;
  m_folders[root] = rootFolder;
  m_queue.push_back(root);
  uint64_t lastReport = TickCountMs();
  int32_t periodic = 0;
  for (size_t next = 0; result == 0 && next < m_queue.size(); ++next) {
    const uint32_t cluster = m_queue[next];
    if (m_read.insert(cluster).second) ReadFolder(cluster);
    if (m_store->WriteError() != kOk) break;
    if (TickCountMs() - lastReport >= 5000) {
      lastReport = TickCountMs();
      result = Report(std::min(1 + ++periodic, 79));
    }
  }
  m_takenPass = true;
  size_t queued = m_queue.size();  // the queue's entries up to here are read
  for (size_t i = 0; result == 0 && i < m_takenFolders.size(); ++i) {
    auto folder = m_folders.find(m_takenFolders[i]);
    if (folder != m_folders.end() && folder->second.deleted && m_read.insert(m_takenFolders[i]).second)
      ReadFolder(m_takenFolders[i]);
    // Their subfolders, as they are queued.
    for (; queued < m_queue.size(); ++queued)
      if (m_read.insert(m_queue[queued]).second) ReadFolder(m_queue[queued]);
  }
  m_takenPass = false;
  // Deleted folders that hold no file are listed as well: a deleted tree
  // comes back with its empty folders.
  for (auto& [cluster, folder] : m_folders)
    if (folder.deleted && !folder.stored && m_store->WriteError() == kOk) StoreFolders(cluster);
  // The bitmap may lie anywhere the root says; without one, nothing is
  // known about which deleted files were overwritten.
  if (!m_bitmapLoaded) (void)LoadAllocationMap();
  if (const int32_t err = FlushedWhole(*m_store); err != kOk) return err;
  if (result == 0) result = Report(100);
  return result;
}

FoundRecord CFastExfatRecovery::MakeRecord(const ExfatEntrySet& set, uint64_t entrySector) const {
  const ExfatGeometry& g = m_volume.Geometry();
  FoundRecord r = MakeFoundRecord();
  SetRecordName(r, set.name);
  r.sourceKey = m_sourceKey;
  r.engineTag = kTagFastExfat;
  r.isFolder = set.IsFolder() ? 1 : 0;
  r.contentOk = 1;
  r.key = set.firstCluster;
  r.clusterBytes = g.ClusterBytes();
  r.created = set.times.created;
  r.accessed = set.times.accessed;
  r.modified = set.times.modified;
  r.size = set.IsFolder() ? 0 : set.dataLength;
  r.dataStart = g.heapOffset;
  r.entrySector = entrySector;
  r.partitionStart = m_startSector;
  return r;
}

void CFastExfatRecovery::ReadRootSpecials(ByteView entries) {
  const ExfatGeometry& g = m_volume.Geometry();
  for (size_t off = 0; off + kExfatEntryBytes <= entries.size(); off += kExfatEntryBytes) {
    const uint8_t type = entries.U8At(off);
    if (type == 0) return;
    // The first bitmap, or the second when the volume says that one is active.
    if (type == kExfatBitmapEntry) {
      const bool second = (entries.U8At(off + 1) & 1) != 0;
      const bool wanted = g.numberOfFats == 2 && (g.volumeFlags & 1) ? second : !second;
      if (wanted && m_bitmapCluster == 0) {
        m_bitmapCluster = entries.U32At(off + 20);
        m_bitmapLength = entries.U64At(off + 24);
      }
    } else if (type == kExfatUpcaseEntry && !m_upcaseOk) {
      const uint32_t first = entries.U32At(off + 20);
      const uint64_t length = entries.U64At(off + 24);
      const uint32_t expected = entries.U32At(off + 4);
      if (length == 0 || length > 2 * 65536) continue;
      std::vector<uint8_t> table;
      std::vector<uint8_t> cluster;
      for (uint32_t c : m_volume.Clusters(first, length, true, false)) {
        if (m_volume.ReadCluster(c, cluster) != kOk) break;
        table.insert(table.end(), cluster.begin(), cluster.end());
      }
      m_upcaseOk = table.size() >= length && UpcaseChecksum(table, length) == expected;
    }
  }
}

void CFastExfatRecovery::ReadFolder(uint32_t folderCluster) {
  const ExfatGeometry& g = m_volume.Geometry();
  auto self = m_folders.find(folderCluster);
  if (self == m_folders.end()) return;
  const bool isRoot = folderCluster == g.rootCluster;
  const bool folderDeleted = self->second.deleted;
  const uint32_t depth = isRoot ? 0 : self->second.depth;
  // The root has no length of its own: its chain gives it.
  const uint64_t bytes = isRoot ? kMaxFolderBytes : std::min(self->second.dataLength, kMaxFolderBytes);
  // A deleted folder whose first cluster is in use again may hold another
  // item's data now: it is read after every live folder, and only when no
  // live folder took the cluster and it still starts with an entry set
  // (a folder deleted while the bitmap was not updated).
  const bool taken = folderDeleted && m_volume.InUse(folderCluster);
  if (taken && !m_takenPass) {
    m_takenFolders.push_back(folderCluster);
    m_read.erase(folderCluster);  // a live folder met later may still take the cluster
    return;
  }
  const std::vector<uint32_t> clusters =
      m_volume.Clusters(folderCluster, bytes, !isRoot && self->second.noFatChain, folderDeleted);

  const uint32_t clusterBytes = g.ClusterBytes();
  const uint32_t bps = g.bytesPerSector;
  // The folder's bytes, cluster after cluster, so that a set split across a
  // cluster boundary is read whole.
  std::vector<uint8_t> data;
  std::vector<uint64_t> clusterSectors;
  std::vector<uint8_t> buffer;
  for (uint32_t c : clusters) {
    if (m_volume.ReadCluster(c, buffer) != kOk) {
      m_unreadSectors += g.sectorsPerCluster;
      break;  // what follows cannot be placed
    }
    data.insert(data.end(), buffer.begin(), buffer.end());
    clusterSectors.push_back(m_volume.ClusterSector(c));
    // The end-of-folder mark ends the reading of a live folder.
    if (!folderDeleted) {
      bool ended = false;
      for (size_t off = 0; off < buffer.size(); off += kExfatEntryBytes)
        if (buffer[off] == 0) {
          ended = true;
          break;
        }
      if (ended) break;
    }
  }
  const ByteView view(data.data(), data.size());
  ExfatEntrySet firstSet;
  if (taken && !ParseExfatEntrySet(view, 0, firstSet)) return;
  if (isRoot) {
    ReadRootSpecials(view);
    (void)LoadAllocationMap();
  }

  for (size_t off = 0; off + kExfatEntryBytes <= data.size(); off += kExfatEntryBytes) {
    const uint8_t type = view.U8At(off);
    if (type == 0 && !folderDeleted) break;
    ExfatEntrySet set;
    if (!ParseExfatEntrySet(view, off, set, false)) continue;
    const size_t clusterIndex = off / clusterBytes;
    const uint64_t entrySector = clusterSectors[clusterIndex] + (off % clusterBytes) / bps;
    const bool deleted = set.deleted || folderDeleted;
    off += set.Bytes() - kExfatEntryBytes;  // the set's entries are read
    if (set.IsFolder()) {
      if (!g.ValidCluster(set.firstCluster) || set.dataLength == 0 || m_folders.size() >= kMaxFolders)
        continue;
      auto known = m_folders.find(set.firstCluster);
      // A folder met again keeps its first place; only a live entry takes a
      // cluster over from a deleted one, which it now owns.
      if (known != m_folders.end() && !(known->second.deleted && !deleted && !known->second.stored)) continue;
      if (known != m_folders.end() && m_read.count(set.firstCluster) != 0) continue;
      Folder folder;
      folder.record = MakeRecord(set, entrySector);
      folder.record.isDeleted = deleted ? 1 : 0;
      folder.parent = folderCluster;
      folder.depth = depth + 1;
      folder.deleted = deleted;
      folder.noFatChain = set.noFatChain;
      folder.dataLength = set.dataLength;
      m_folders[set.firstCluster] = folder;
      m_queue.push_back(set.firstCluster);
      continue;
    }
    if (!deleted) continue;  // live files are where the user left them
    FoundRecord file = MakeRecord(set, entrySector);
    // Clusters of a deleted file that are in use again hold another file's data.
    const bool taken = set.dataLength != 0 && m_volume.InUse(set.firstCluster);
    const bool reachable =
        set.dataLength == 0 || (g.ValidCluster(set.firstCluster) &&
                                m_volume.ClusterSector(set.firstCluster) < m_startSector + m_sectorCount);
    // A set changed without its checksum may not describe its data.
    file.contentOk = !taken && reachable && set.checksumOk && ContentMatches(file) ? 1 : 0;
    FoundRecord* slot = m_store->AppendRecord();
    if (slot == nullptr) return;
    file.recordNumber = slot->recordNumber;
    *slot = file;
    m_store->AddRelation(MakeDirectoryKey(depth, folderCluster), file.recordNumber, file.key, nullptr);
    StoreFolders(folderCluster);
  }
}

bool CFastExfatRecovery::ContentMatches(const FoundRecord& file) {
  // The first sector against the type the name gives.
  const std::string name = RecordName(file);
  const size_t dot = name.rfind('.');
  if (file.size == 0 || dot == std::string::npos) return true;
  const uint32_t bps = m_volume.Geometry().bytesPerSector;
  std::vector<uint8_t> sector(bps);
  const uint64_t at = m_volume.ClusterSector(file.key);
  uint32_t got = 0;
  if (ReadSectors(1, m_source, sector.data(), at, bps, got) != kOk || got != 1) return false;
  return CheckContent(ByteView(sector.data(), sector.size()), AsciiLower(name.substr(dot + 1)), &m_source,
                      bps, at);
}

void CFastExfatRecovery::StoreFolders(uint32_t cluster) {
  const uint32_t root = m_volume.Geometry().rootCluster;
  std::set<uint32_t> seen;
  while (cluster != root && seen.insert(cluster).second) {
    auto it = m_folders.find(cluster);
    if (it == m_folders.end() || it->second.stored) return;
    Folder& folder = it->second;
    folder.stored = true;
    FoundRecord* slot = m_store->AppendRecord();
    if (slot == nullptr) return;
    FoundRecord record = folder.record;
    record.recordNumber = slot->recordNumber;
    *slot = record;
    m_store->AddRelation(MakeDirectoryKey(folder.depth - 1, folder.parent), record.recordNumber, record.key,
                         record.name);
    cluster = folder.parent;
  }
}

int32_t CFastExfatRecovery::CopyData(const FoundRecord& record, OutputSink& sink, const ExfatReport& report) {
  if (!m_volume.Opened()) return kErrInvalidHandle;
  const uint32_t bps = m_volume.Geometry().bytesPerSector;
  // The stream's flags and valid length come from its set, read again.
  ExfatEntrySet set;
  bool noFatChain = false;
  uint64_t validLength = record.size;
  if (FindExfatSetAt(m_source, record.entrySector, bps, record.key, record.size, set)) {
    noFatChain = set.noFatChain;
    validLength = set.validDataLength;
  }
  if (!m_bitmapLoaded) (void)LoadAllocationMap();
  const std::vector<uint32_t> clusters = m_volume.Clusters(record.key, record.size, noFatChain, true);
  for (uint32_t c : clusters)
    if (m_volume.InUse(c)) {
      sink.SetDoubtful(kErrContentOverwritten);  // copied all the same, but not as a success
      break;
    }
  return CopyExfatClusters(m_source, bps, record, clusters, validLength, sink, report);
}

int32_t CFastExfatRecovery::WriteOneFile(const FoundRecord& record, const std::string& path) {
  return RecoverToFile(path, record, m_fileCallback, m_userData,
                       [&](OutputSink& sink, auto report) { return CopyData(record, sink, report); });
}

int32_t CFastExfatRecovery::RecoverItem(const FoundRecord& record, const std::string& destination,
                                        int32_t rootDepth) {
  if (!record.isFolder) return WriteOneFile(record, destination);
  return RecoverFolderTree(
      *this, record, destination, rootDepth,
      [this](const FoundRecord& file, const std::string& path) { return WriteOneFile(file, path); });
}

int32_t CFastExfatRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath,
                                              uint8_t* memory, uint32_t& byteCount,
                                              PreviewProgressCallback callback, void* userData) {
  return ExtractToPreview(record, outPath, memory, byteCount, callback, userData,
                          [&](OutputSink& sink, auto report) { return CopyData(record, sink, report); });
}

int32_t CFastExfatRecovery::LoadAllocationMap() {
  if (m_bitmapLoaded) return kOk;
  if (!m_volume.Opened()) return kErrInvalidData;
  if (m_bitmapCluster == 0) {
    // The scan has not read the root yet: its first cluster names the bitmap.
    std::vector<uint8_t> first;
    if (m_volume.ReadCluster(m_volume.Geometry().rootCluster, first) != kOk) return kErrReadFault;
    ReadRootSpecials(ByteView(first.data(), first.size()));
  }
  if (m_volume.LoadBitmap(m_bitmapCluster, m_bitmapLength) != kOk) return kErrInvalidData;
  m_bitmapLoaded = true;
  return kOk;
}

int32_t CFastExfatRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
  length = 0;
  if (!m_bitmapLoaded) return 1;
  const ExfatGeometry& g = m_volume.Geometry();
  const std::vector<uint8_t>& bits = m_volume.Bitmap();
  const uint64_t spc = g.sectorsPerCluster;
  const uint64_t heap = g.heapOffset;
  const uint64_t clusters = g.clusterCount;
  uint64_t index = position <= heap ? 0 : (position - heap) / spc;
  auto used = [&](uint64_t i) { return ((bits[i / 8] >> (i % 8)) & 1) != 0; };
  while (index < clusters && used(index)) {
    ++index;
    if (index % 8 == 0)
      while (index + 8 <= clusters && bits[index / 8] == 0xFF) index += 8;
  }
  if (index >= clusters) {
    position = m_sectorCount;
    return 1;
  }
  uint64_t end = index;
  while (end < clusters && !used(end)) {
    ++end;
    if (end % 8 == 0)
      while (end + 8 <= clusters && bits[end / 8] == 0x00) end += 8;
  }
  const uint64_t first = heap + index * spc;
  if (first >= m_sectorCount) {
    position = m_sectorCount;
    return 1;
  }
  position = first;
  length = std::min((end - index) * spc, m_sectorCount - first);
  return 1;
}

}  // namespace velmira
