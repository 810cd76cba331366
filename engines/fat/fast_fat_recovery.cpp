#include "engines/fat/fast_fat_recovery.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engines/boot_sector_read.h"
#include "engines/carving/signature_table.h"
#include "engines/fat/fat_directory.h"
#include "engines/fat/fat_layout_check.h"
#include "engines/fat/fat_names.h"
#include "engines/folder_tree_recovery.h"
#include "engines/logged_results.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "platform/time_util.h"
#include "results/extension_lists.h"
#include "results/scan_log_names.h"

namespace velmira {
namespace {

constexpr uint32_t kBootBytes = 4096;
constexpr uint32_t kDepthProbeBytes = 4096;
// Sentinel: an error code that ends a file early because its chain ended.
constexpr int32_t kChainEnded = kErrHandleEof;

void SetTimes(FoundRecord& record, FatEntryView entry) {
  const FatEntryTimes times = ReadFatEntryTimes(entry);
  record.created = times.created;
  record.accessed = times.accessed;
  record.modified = times.modified;
}

// A folder's first cluster: "." (a folder) and "..".
bool StartsWithDotPair(ByteView buf) {
  return StartsWithDotNames(buf) && FatEntryAt(buf, 0).IsFolder();
}

}  // namespace

CFastFatRecovery::CFastFatRecovery() = default;

CFastFatRecovery::~CFastFatRecovery() = default;

int32_t CFastFatRecovery::Open(const PartitionLocator& target) {
  if (m_opened) return kOk;
  OpenedTarget opened;
  int32_t err = OpenTargetSource(target, m_source, opened);
  if (err != kOk) return err;
  m_opened = true;
  const uint64_t length = opened.sourceBytes;
  m_bytesPerSector = opened.bytesPerSector;
  m_startSector = opened.startSector;
  if (!target.IsImage()) m_sectorCount = opened.sectorCount;
  m_sourceKey = opened.sourceKey;
  if (m_startSector > UINT64_MAX / m_bytesPerSector) return kErrInvalidParameter;

  // A boot sector that cannot be read is taken from its FAT32 backup.
  uint64_t bootFrom = 0;
  const bool found = ReadVolumeBootSector(m_source, m_startSector, target.IsImage() ? 0 : m_sectorCount,
                                          m_bytesPerSector, kBootBytes, m_bootSector, bootFrom);
  if (!found) {
    // No boot sector anywhere: a first sector that cannot be read fails the
    // open as a read error, one that reads fails below as no volume.
    std::vector<uint8_t> first(m_bytesPerSector);
    if (ReadSectorsEach(m_source, m_startSector, 1, m_bytesPerSector, first.data()) != 0)
      return kErrReadFault;
  }
  if (!ReadFatGeometry(ByteView(m_bootSector.data(), m_bootSector.size()), m_geometry))
    return kErrInvalidData;
  m_bytesPerSector = m_geometry.bytesPerSector;
  // An image's length in the volume's own sectors.
  if (target.IsImage()) m_sectorCount = length / m_bytesPerSector;
  // Reads use the volume's own sectors, whatever unit the source counts in.
  m_table = std::make_unique<FatTable>(m_source, m_geometry, m_startSector + m_geometry.reservedSectors);
  m_table->Load();
  return kOk;
}

bool CFastFatRecovery::LayoutHolds() const {
  if (!m_table || m_bootSector.empty()) return false;
  return FatLayoutHolds(m_source, m_startSector, m_sectorCount,
                        ByteView(m_bootSector.data(), m_bootSector.size()), m_geometry);
}

int32_t CFastFatRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                               FileProgressCallback fileCallback, void* userData,
                                               int32_t scale) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = scale;
  return kOk;
}

int32_t CFastFatRecovery::Report(int32_t percent, int32_t secondsLeft) {
  if (m_scanCallback == nullptr) return 0;
  return m_scanCallback(m_userData, percent, m_scale, secondsLeft, 0, 0, 0, 0);
}

int32_t CFastFatRecovery::Scan(const std::string& scanLogPath) {
  m_unreadSectors = 0;
  m_folderRecords.clear();
  m_foldersToStore.clear();
  m_foldersToStoreSet.clear();
  m_foldersRead.clear();
  m_pendingFolders.clear();
  m_depthCache.clear();
  NewLog();
  if (!scanLogPath.empty()) return m_store->OpenLog(scanLogPath);
  if (!m_table) return m_opened ? kErrInvalidData : kErrInvalidHandle;

  int32_t err = m_store->OpenNewLog(ScanLogName(ScanLogKind::kFast, static_cast<int64_t>(m_startSector)));
  if (err != kOk) return err;

  m_pendingFolders.push_back(m_geometry.rootCluster);
  const int32_t firstAnswer = Report(1, -1);
  int32_t result = 0;
  uint64_t lastReport = TickCountMs();
  int32_t periodic = 0;
  while (!m_pendingFolders.empty()) {
    const uint32_t cluster = m_pendingFolders.front();
    m_pendingFolders.pop_front();
    // An unreadable folder costs its own files, not the scan; a log that
    // failed a write ends it (FlushedWhole below gives its error).
    if (m_foldersRead.insert(cluster).second && ReadFolder(cluster).IsFatal()) break;
    if (TickCountMs() - lastReport >= m_reportIntervalMs) {
      lastReport = TickCountMs();
      ++periodic;
      int32_t answer = 0;
      if (m_scale == 100)
        answer = Report(std::min(1 + periodic, 79), std::max(100 - periodic, 1));
      else if (m_scale == 9)
        answer = Report(std::min(20 + periodic, 79), -1);
      if (answer != 0) {
        result = answer;
        break;
      }
    }
  }
  if (result == 0 && firstAnswer != 0) result = firstAnswer;
  if (result == 0 && m_store->WriteError() == kOk) result = Report(80, 10);
  if (result == 0) StoreFolders();
  // A log that could not be written whole fails the scan, even a stopped one.
  if (const int32_t err = FlushedWhole(*m_store); err != kOk) return err;
  if (result == 0) result = Report(100, 0);
  return result;
}

Status CFastFatRecovery::ReadFolder(uint32_t folderCluster) {
  const int32_t read = ReadFolderClusters(folderCluster);
  // What is found after a failed write of the log could not be kept.
  if (const int32_t err = m_store->WriteError(); err != kOk)
    return Status::Fatal(err, "the scan log failed a write");
  // Its sectors are counted in m_unreadSectors, which the scan reports.
  if (read != kOk) return Status::Skip(read, "the folder could not be read");
  return Status::Ok();
}

int32_t CFastFatRecovery::ReadFolderClusters(uint32_t folderCluster) {
  const uint32_t bps = m_bytesPerSector;
  const bool fixedRoot = !m_geometry.isFat32 && folderCluster < 2;
  const uint32_t bufferBytes = fixedRoot ? m_geometry.rootSectors * bps : m_geometry.ClusterBytes();
  if (bufferBytes == 0) return kOk;
  std::vector<uint8_t> buffer(bufferBytes);

  auto known = m_folderRecords.find(folderCluster);
  const bool isKnown = known != m_folderRecords.end();
  const uint32_t parentDeleted = isKnown ? known->second.isDeleted : 0;
  uint32_t currentKey = folderCluster;
  LongNameBuffer longName;
  uint32_t cluster = folderCluster;
  std::unordered_set<uint32_t> visited;  // a looping chain is read once round

  for (uint64_t step = 0; visited.insert(cluster).second; ++step) {
    const uint64_t firstSector = m_startSector + m_geometry.ClusterSector(cluster);
    uint32_t got = 0;
    const int32_t err = ReadSectors(bufferBytes / bps, m_source, buffer.data(), firstSector, bps, got);
    if (err != kOk) {
      // The folder's files are lost with it; the front end says how much
      // could not be read.
      m_unreadSectors += bufferBytes / bps - got;
      return err;
    }
    const ByteView view(buffer.data(), buffer.size());
    if (step == 0 && isKnown && folderCluster != m_geometry.rootCluster && !StartsWithDotPair(view))
      return kOk;  // the cluster now holds something else

    for (size_t off = 0; off + kFatEntryBytes <= buffer.size(); off += kFatEntryBytes) {
      const FatEntryView e(view.Sub(off, kFatEntryBytes));
      if (e.IsEndMark()) return kOk;
      if (!IsValidFatEntry(view, off)) {
        longName.Reset();
        continue;
      }
      if (e.IsLongNamePart()) {
        if (!longName.AddPart(e.Bytes())) {
          // More parts than any name has: the run is noise; start anew here.
          longName.Reset();
          (void)longName.AddPart(e.Bytes());  // the first part of a new run always fits
        }
        continue;
      }
      const uint64_t entrySector = firstSector + off / bps;
      if (e.IsFolder()) {
        if (e.StartsWithDot()) {
          if (!e.IsDotDotName()) currentKey = e.FirstCluster();
          longName.Reset();
          continue;
        }
        FoundRecord folder = MakeFoundRecord();
        SetRecordName(folder, longName.HasName() ? longName.Take() : ShortEntryName(e.Bytes(), true));
        longName.Reset();
        folder.sourceKey = m_sourceKey;
        folder.engineTag = kTagFastFat;
        folder.isFolder = 1;
        folder.isDeleted = (e.IsDeleted() || parentDeleted) ? 1 : 0;
        folder.contentOk = 1;
        folder.clusterBytes = m_geometry.ClusterBytes();
        SetTimes(folder, e);
        folder.dataStart = m_geometry.dataStart;
        folder.entrySector = entrySector;
        folder.partitionStart = m_startSector;
        folder.recordNumber = currentKey;  // the parent, until the record is stored
        uint32_t key = m_geometry.isFat32 ? e.FirstCluster() : e.ClusterLow();
        if (m_geometry.isFat32 && e.IsDeleted() && e.ClusterHigh() == 0)
          key = (SearchHighHalf(e.ClusterLow(), true, {}) << 16) | e.ClusterLow();
        folder.key = key;
        // A folder met again (an entry that names the folder itself, its
        // parent or another folder already found: a loop or a cross-link)
        // keeps the place it was first found at, nearer the root; only a
        // live folder takes a cluster over from a deleted entry, whose
        // cluster it now owns.
        const auto known = m_folderRecords.find(key);
        if (key != 0 && key != currentKey && known == m_folderRecords.end()) {
          m_pendingFolders.push_back(key);
          m_folderRecords[key] = folder;
        } else if (known != m_folderRecords.end() && known->second.isDeleted != 0 && folder.isDeleted == 0) {
          known->second = folder;
        }
        continue;
      }
      if (e.IsVolumeLabel()) continue;  // not a file: keep the long name
      const std::string name = longName.HasName() ? longName.Take() : ShortEntryName(e.Bytes(), false);
      longName.Reset();
      if (!e.IsDeleted() && !parentDeleted) continue;

      FoundRecord file = MakeFoundRecord();
      SetRecordName(file, name);
      file.sourceKey = m_sourceKey;
      file.engineTag = kTagFastFat;
      file.contentOk = 1;
      SetTimes(file, e);
      uint32_t key = m_geometry.isFat32 ? e.FirstCluster() : e.ClusterLow();
      if (m_geometry.isFat32 && e.IsDeleted() && e.ClusterHigh() == 0) {
        const std::string ext = ExtensionOf(name);
        if (!ext.empty()) key = (SearchHighHalf(e.ClusterLow(), false, ext) << 16) | e.ClusterLow();
      }
      file.key = key;
      file.size = e.Size();
      file.dataStart = m_geometry.dataStart;
      file.entrySector = entrySector;
      file.partitionStart = m_startSector;
      file.clusterBytes = m_geometry.ClusterBytes();
      file.contentOk = ContentMatches(key, name, file.size) && !FirstClusterTaken(key, file.size) ? 1 : 0;

      FoundRecord* slot = m_store->AppendRecord();
      file.recordNumber = slot->recordNumber;
      *slot = file;
      m_store->AddRelation(MakeDirectoryKey(FolderDepth(currentKey), currentKey), file.recordNumber, key,
                           nullptr);
      AddFoldersToStore(currentKey);
    }
    if (fixedRoot) return kOk;
    const uint32_t next = m_table->NextCluster(cluster);
    if (next == 0) return kOk;
    cluster = next;
  }
  return kOk;
}

void CFastFatRecovery::AddFoldersToStore(uint32_t cluster) {
  std::set<uint32_t> seen;
  while (seen.insert(cluster).second) {
    if (m_foldersToStoreSet.insert(cluster).second) m_foldersToStore.push_back(cluster);
    auto it = m_folderRecords.find(cluster);
    if (it == m_folderRecords.end()) return;
    const uint32_t parent = it->second.recordNumber;
    if (parent == cluster || parent <= m_geometry.rootCluster) return;
    cluster = parent;
  }
}

void CFastFatRecovery::StoreFolders() {
  for (uint32_t cluster : m_foldersToStore) {
    auto it = m_folderRecords.find(cluster);
    if (it == m_folderRecords.end()) continue;
    FoundRecord folder = it->second;
    const uint32_t parent = folder.recordNumber;
    folder.contentOk = 1;
    FoundRecord* slot = m_store->AppendRecord();
    folder.recordNumber = slot->recordNumber;
    *slot = folder;
    m_store->AddRelation(MakeDirectoryKey(FolderDepth(parent), parent), folder.recordNumber, folder.key,
                         folder.name);
  }
}

uint32_t CFastFatRecovery::FolderDepth(uint32_t start) {
  auto cached = m_depthCache.find(start);
  if (cached != m_depthCache.end()) return cached->second;
  uint32_t depth = 0;
  std::set<uint32_t> visited;
  std::vector<uint8_t> buffer(std::max(kDepthProbeBytes, m_bytesPerSector));
  uint32_t cluster = start;
  for (;;) {
    visited.insert(cluster);
    uint32_t got = 0;
    if (ReadSectors(static_cast<uint32_t>(buffer.size() / m_bytesPerSector), m_source, buffer.data(),
                    m_startSector + m_geometry.ClusterSector(cluster), m_bytesPerSector, got) != kOk)
      break;
    const ByteView view(buffer.data(), buffer.size());
    const FatEntryView dot = FatEntryAt(view, 0);
    const FatEntryView dotDot = FatEntryAt(view, 1);
    if (dot.IsVolumeLabel() || cluster == m_geometry.rootCluster || !dot.StartsWithDot() ||
        !dotDot.IsDotDotName())
      break;
    ++depth;
    const uint32_t parent = dotDot.FirstCluster();
    if (cluster == 0 || visited.count(parent) != 0) break;
    cluster = parent;
  }
  m_depthCache[start] = depth;
  return depth;
}

uint32_t CFastFatRecovery::SearchHighHalf(uint32_t low, bool folder, const std::string& extension) {
  std::vector<uint8_t> sector(m_bytesPerSector);
  for (uint32_t high = 0; high <= 256; ++high) {
    const uint32_t cluster = (high << 16) | low;
    const uint64_t at = m_startSector + m_geometry.ClusterSector(cluster);
    if (at >= m_startSector + m_sectorCount) break;
    uint32_t got = 0;
    if (ReadSectors(1, m_source, sector.data(), at, m_bytesPerSector, got) != kOk || got == 0) break;
    const ByteView view(sector.data(), sector.size());
    const bool pass =
        folder ? StartsWithDotNames(view) : CheckContent(view, extension, &m_source, m_bytesPerSector, at);
    if (pass) return high;
  }
  return 0;
}

bool CFastFatRecovery::DataReachable(uint32_t cluster, uint64_t size) {
  if (size == 0) return true;
  if (cluster < 2 || cluster > m_geometry.clusterCount + 1) return false;
  const uint64_t clusterBytes = m_geometry.ClusterBytes();
  if (clusterBytes == 0) return false;
  // The end of the data: the volume's, or the source's when it is cut short.
  const uint64_t end = std::min<uint64_t>(m_startSector + m_sectorCount, m_source.sectorCount);
  const uint64_t sectorsPerCluster = m_geometry.sectorsPerCluster;
  auto inside = [&](uint32_t c) {
    return m_startSector + m_geometry.ClusterSector(c) + sectorsPerCluster <= end;
  };
  const uint64_t needed = size / clusterBytes + (size % clusterBytes != 0 ? 1 : 0);
  uint32_t value = 0;
  if (!m_table || m_table->Entry(cluster, value) != kOk) return inside(cluster);
  if (value == 0) {
    // A deleted file's clusters follow its first one upwards: at least the
    // file's own length must lie before the end.
    const uint64_t first = m_startSector + m_geometry.ClusterSector(cluster);
    return first <= end && needed <= (end - first) / sectorsPerCluster;
  }
  // The first cluster sits in a chain: the file is read along it, so the
  // chain must reach the file's size without ending early or coming round.
  std::unordered_set<uint32_t> visited;
  bool freeRun = false;
  uint32_t c = cluster;
  for (uint64_t taken = 1;; ++taken) {
    if (!visited.insert(c).second || !inside(c)) return false;
    if (taken >= needed) return true;
    c = NextFileCluster(c, freeRun);
    if (c == 0) return false;
    if (freeRun) return true;  // the rest lies in free clusters, upwards
  }
}

bool CFastFatRecovery::FirstClusterTaken(uint32_t cluster, uint64_t size) {
  // A deleted file's clusters are free in the live table; one in a chain
  // belongs to a file written since, and so does what the chain holds.
  uint32_t value = 0;
  return size != 0 && m_table && cluster >= 2 && m_table->Entry(cluster, value) == kOk && value != 0;
}

bool CFastFatRecovery::ContentMatches(uint32_t cluster, const std::string& name, uint64_t size) {
  // Data that cannot be read where the entry says is never "ok".
  if (!DataReachable(cluster, size)) return false;
  const std::string ext = ExtensionOf(name);
  if (name.find('.') == std::string::npos || size == 0) return true;
  std::vector<uint8_t> sector(m_bytesPerSector);
  uint32_t got = 0;
  const uint64_t at = m_startSector + m_geometry.ClusterSector(cluster);
  if (ReadSectors(1, m_source, sector.data(), at, m_bytesPerSector, got) != kOk || got == 0) return false;
  return CheckContent(ByteView(sector.data(), sector.size()), ext, &m_source, m_bytesPerSector, at);
}

uint64_t CFastFatRecovery::AbsoluteClusterSector(const FoundRecord& record, uint32_t cluster) const {
  const uint64_t sectorsPerCluster = record.clusterBytes / m_bytesPerSector;
  if (cluster < 2) {
    const uint64_t rootSectors = m_geometry.isFat32 ? 32 : m_geometry.rootSectors;
    return record.partitionStart + (record.dataStart >= rootSectors ? record.dataStart - rootSectors : 0);
  }
  return record.partitionStart + record.dataStart + uint64_t{cluster - 2} * sectorsPerCluster;
}

uint32_t CFastFatRecovery::NextFileCluster(uint32_t cluster, bool& freeRun) {
  uint32_t value = 0;
  if (!m_table || cluster < 2 || m_table->Entry(cluster, value) != kOk) return 0;
  if (value == 0 || freeRun) {
    // The chain of a deleted file is gone: its data went on in the next free
    // cluster, skipping those live files hold, as when it was first written.
    freeRun = true;
    for (uint32_t next = cluster + 1; next <= m_geometry.clusterCount + 1; ++next) {
      uint32_t v = 0;
      if (m_table->Entry(next, v) != kOk) return 0;
      if (v == 0) return next;
    }
    return 0;
  }
  return m_table->IsChainValue(value) ? value : 0;
}

template <typename ReportFn>
int32_t CFastFatRecovery::CopyClusters(const FoundRecord& record, OutputSink& sink, ReportFn report) {
  const uint32_t clusterBytes = record.clusterBytes;
  if (clusterBytes > kMaxClusterBytes) return kErrWriteFault;
  if (clusterBytes == 0 || clusterBytes % m_bytesPerSector != 0) return kErrInvalidParameter;
  const uint64_t size = record.size;
  if (size == 0) return report(100, 0);

  std::vector<uint8_t> buffer(clusterBytes);
  uint32_t cluster = record.key;
  bool freeRun = false;
  // Listed files are deleted ones: copied all the same, but not as a success.
  if (FirstClusterTaken(cluster, size)) sink.SetDoubtful(kErrContentOverwritten);
  uint64_t written = 0;
  int32_t error = 0;
  // A chain that comes back to a cluster it passed (a loop, or a chain of
  // another file that runs into this one) would copy the same data round and
  // round: the copy ends there and the file is reported damaged.
  // (Free clusters are taken upwards and are in no chain: only the chain
  // part is remembered.)
  std::unordered_set<uint32_t> visited;
  for (;;) {
    if (!freeRun && !visited.insert(cluster).second) {
      error = kErrFileCorrupt;
      break;
    }
    uint32_t got = 0;
    // Judged by `got` below.
    (void)ReadSectors(clusterBytes / m_bytesPerSector, m_source, buffer.data(),
                      AbsoluteClusterSector(record, cluster), m_bytesPerSector, got);
    if (got == 0) {
      error = kErrReadFault;
      break;
    }
    const uint64_t n = std::min<uint64_t>(uint64_t{got} * m_bytesPerSector, size - written);
    error = sink.WriteFrom(buffer.data(), static_cast<size_t>(n),
                           AbsoluteClusterSector(record, cluster) * m_bytesPerSector);
    if (error == kOk) written += n;
    if (int32_t stop = report(static_cast<int32_t>(written * 100 / size), error)) return stop;
    if (error != kOk || written >= size) break;
    if (!sink.ToFile() && sink.MemoryFull()) break;  // a preview in memory holds what fits
    if (got * m_bytesPerSector < clusterBytes) {
      error = kErrReadFault;
      break;
    }
    cluster = NextFileCluster(cluster, freeRun);
    if (cluster == 0) {
      error = kChainEnded;
      break;
    }
  }
  if (error > 0) (void)report(100, error);  // the copy failed already: the answer cannot change that
  return error;
}

int32_t CFastFatRecovery::WriteOneFile(const FoundRecord& record, const std::string& path) {
  return RecoverToFile(path, record, m_fileCallback, m_userData,
                       [&](OutputSink& sink, auto report) { return CopyClusters(record, sink, report); });
}

int32_t CFastFatRecovery::RecoverItem(const FoundRecord& record, const std::string& destination,
                                      int32_t rootDepth) {
  if (!record.isFolder) return WriteOneFile(record, destination);
  return RecoverFolderTree(
      *this, record, destination, rootDepth,
      [this](const FoundRecord& file, const std::string& path) { return WriteOneFile(file, path); });
}

int32_t CFastFatRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                                            uint32_t& byteCount, PreviewProgressCallback callback,
                                            void* userData) {
  return ExtractToPreview(record, outPath, memory, byteCount, callback, userData,
                          [&](OutputSink& sink, auto report) { return CopyClusters(record, sink, report); });
}

int32_t CFastFatRecovery::LoadAllocationMap() {
  m_allocationMap.clear();
  // Without a map nothing is known about the free space: say so, so that a
  // sweep of the free space reads the whole volume instead of nothing.
  if (!m_table || m_geometry.sectorsPerCluster == 0) return kErrInvalidData;
  const uint32_t total = m_geometry.totalSectors;
  if (total <= m_geometry.dataStart) return kErrInvalidData;
  const uint64_t span = total - m_geometry.dataStart;
  // The count comes from the total-sector field, but no more clusters than
  // the table can describe are looked up: a damaged total must not make the
  // map (and its loop) run to billions of clusters.
  const uint64_t clusters =
      std::min<uint64_t>(span / m_geometry.sectorsPerCluster + (span % m_geometry.sectorsPerCluster ? 1 : 0),
                         uint64_t{m_geometry.clusterCount} + 2);
  m_allocationMap.assign((clusters + 7) / 8, 0);
  const uint64_t bits = m_allocationMap.size() * 8;
  for (uint64_t i = 2; i < clusters; ++i) {
    uint32_t value = 0;
    if (m_table->Entry(static_cast<uint32_t>(i), value) != kOk) break;  // the rest of the table is unreadable
    if (value == 0) continue;
    m_allocationMap[(i - 2) / 8] |= static_cast<uint8_t>(1u << ((i - 2) % 8));
    if (m_table->IsChainValue(value)) {
      if (value - 2 >= bits) break;
      m_allocationMap[(value - 2) / 8] |= static_cast<uint8_t>(1u << ((value - 2) % 8));
    }
  }
  return kOk;
}

int32_t CFastFatRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
  length = 0;
  if (m_allocationMap.empty()) return 1;
  if (position > m_sectorCount) {
    position = m_sectorCount;
    return 1;
  }
  const uint64_t spc = m_geometry.sectorsPerCluster;
  const uint64_t dataStart = m_geometry.dataStart;
  const uint64_t bits = m_allocationMap.size() * 8;
  uint64_t index = position <= dataStart ? 0 : (position - dataStart) / spc;
  auto isSet = [&](uint64_t i) { return (m_allocationMap[i / 8] >> (i % 8)) & 1; };
  // First clear bit: finish this byte, then skip whole bytes of 0xFF.
  while (index < bits && isSet(index)) {
    ++index;
    if (index % 8 == 0)
      while (index < bits && m_allocationMap[index / 8] == 0xFF) index += 8;
  }
  if (index >= bits) {
    position = m_sectorCount;
    return 1;
  }
  uint64_t end = index;
  while (end < bits && !isSet(end)) {
    ++end;
    if (end % 8 == 0)
      while (end < bits && m_allocationMap[end / 8] == 0x00) end += 8;
  }
  const uint64_t first = dataStart + index * spc;
  uint64_t run = (end - index) * spc;
  if (first >= m_sectorCount) {
    position = m_sectorCount;
    return 1;
  }
  if (first + run > m_sectorCount) run = m_sectorCount - first;
  position = first;
  length = run;
  return 1;
}

}  // namespace velmira
