// The deep FAT scan's reading of folder buffers: which folder a buffer
// belongs to, the records it yields, and the ".." walks that give depths and
// parents.
#include <cstdio>
#include <set>

#include "engines/carving/signature_table.h"
#include "engines/fat/deep_fat_recovery.h"
#include "engines/fat/fat_directory.h"
#include "engines/fat/fat_names.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "results/extension_lists.h"

namespace velmira {
namespace {

constexpr size_t kMaxCachedLookups = 1u << 20;

uint64_t CacheKey(int32_t layout, uint32_t cluster) {
  return (uint64_t{static_cast<uint32_t>(layout)} << 32) | cluster;
}

FoundRecord RecordFromEntry(FatEntryView entry, bool isFolder, const std::string& name, uint16_t sourceKey,
                            uint64_t entrySector) {
  FoundRecord record = MakeFoundRecord();
  record.sourceKey = sourceKey;
  record.engineTag = kTagDeepFat;
  record.isFolder = isFolder ? 1 : 0;
  record.contentOk = 1;
  record.key = entry.FirstCluster();
  const FatEntryTimes times = ReadFatEntryTimes(entry);
  record.created = times.created;
  record.accessed = times.accessed;
  record.modified = times.modified;
  record.size = isFolder ? 0 : entry.Size();
  record.entrySector = entrySector;
  SetRecordName(record, name);
  return record;
}

}  // namespace

void CDeepFatRecovery::ApplyLayout(FoundRecord& record, LayoutIndex index) const {
  const FatLayout* layout = LayoutAt(index);
  if (layout == nullptr) return;
  record.clusterBytes = layout->sectorsPerCluster * m_bytesPerSector;
  record.dataStart = layout->dataStart;
  record.partitionStart = layout->base;
}

CDeepFatRecovery::FolderStart CDeepFatRecovery::ReadFolderStart(LayoutIndex index, uint32_t cluster) {
  FolderStart start;
  const FatLayout* layout = LayoutAt(index);
  if (layout == nullptr) return start;
  const uint64_t key = CacheKey(index, cluster);
  if (auto cached = m_folderStarts.find(key); cached != m_folderStarts.end()) return cached->second;
  const std::optional<uint64_t> sector = layout->SectorOf(cluster);
  uint32_t got = 0;
  if (sector && InSource(*sector) &&
      ReadSectors(1, m_source, m_sectorBuffer.data(), *sector, m_bytesPerSector, got) == kOk && got == 1) {
    const ByteView view(m_sectorBuffer.data(), m_sectorBuffer.size());
    start.read = true;
    start.volumeLabel = FatEntryAt(view, 0).IsVolumeLabel();
    start.dots = StartsWithDotNames(view);
    start.dot = FatEntryAt(view, 0).FirstCluster();
    start.dotDot = FatEntryAt(view, 1).FirstCluster();
  }
  if (m_folderStarts.size() >= kMaxCachedLookups) m_folderStarts.clear();
  m_folderStarts.emplace(key, start);
  return start;
}

uint32_t CDeepFatRecovery::FolderDepth(LayoutIndex layout, uint32_t parent) {
  if (parent == 0 || LayoutAt(layout) == nullptr) return 0;
  const uint64_t key = CacheKey(layout, parent);
  if (auto cached = m_depths.find(key); cached != m_depths.end()) return cached->second;
  uint32_t depth = 0;
  std::set<uint32_t> visited;
  uint32_t cluster = parent;
  // The visited set ends a loop; the bound ends a chain built to be endless.
  while (depth < kMaxFolderDepth) {
    visited.insert(cluster);
    const FolderStart start = ReadFolderStart(layout, cluster);
    if (!start.read || start.volumeLabel || cluster == m_rootCluster) break;
    ++depth;
    if (!start.dots || start.dotDot == 0 || visited.count(start.dotDot) != 0) break;
    cluster = start.dotDot;
  }
  if (m_depths.size() >= kMaxCachedLookups) m_depths.clear();
  m_depths.emplace(key, depth);
  return depth;
}

std::optional<uint32_t> CDeepFatRecovery::ParentOf(LayoutIndex layout, uint32_t cluster) {
  if (cluster == 0) return std::nullopt;
  const FolderStart start = ReadFolderStart(layout, cluster);
  if (!start.read) return std::nullopt;
  if (!start.volumeLabel && start.dots && start.dotDot != 0) return start.dotDot;
  return m_rootCluster;
}

uint32_t CDeepFatRecovery::SearchHighHalf(LayoutIndex index, uint32_t low, bool folder,
                                          const std::string& extension) {
  const FatLayout* layout = LayoutAt(index);
  if (layout == nullptr || (!folder && extension.empty())) return 0;
  for (uint32_t high = 0; high <= 256; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (cluster < 2) continue;
    const std::optional<uint64_t> sector = layout->SectorOf(cluster);
    // The search ends at the end of the source.
    if (!sector || !InSource(*sector)) break;
    uint32_t got = 0;
    if (ReadSectors(1, m_source, m_sectorBuffer.data(), *sector, m_bytesPerSector, got) != kOk || got == 0)
      break;
    const ByteView view(m_sectorBuffer.data(), m_sectorBuffer.size());
    const bool pass = folder ? StartsWithDotNames(view)
                             : CheckContent(view, extension, &m_source, m_bytesPerSector, *sector);
    if (pass) return high;
  }
  return 0;
}

bool CDeepFatRecovery::ContentMatches(LayoutIndex index, uint32_t cluster, const std::string& name,
                                      uint64_t size) {
  if (size == 0) return true;
  // Data that cannot be read back where the entry says is never "ok": a
  // first cluster outside the source, or a file running past its end (the
  // copy takes consecutive clusters).
  const FatLayout* layout = LayoutAt(index);
  if (layout == nullptr || cluster < 2) return false;
  const std::optional<uint64_t> sector = layout->SectorOf(cluster);
  if (!sector || !InSource(*sector)) return false;
  const uint64_t sectors = size / m_bytesPerSector + (size % m_bytesPerSector != 0 ? 1 : 0);
  const uint64_t end = std::min<uint64_t>(m_partitionStart + m_partitionLength, m_source.sectorCount);
  if (*sector >= end || sectors > end - *sector) return false;
  if (name.find('.') == std::string::npos) return true;
  uint32_t got = 0;
  if (ReadSectors(1, m_source, m_sectorBuffer.data(), *sector, m_bytesPerSector, got) != kOk || got == 0)
    return false;
  return CheckContent(ByteView(m_sectorBuffer.data(), m_sectorBuffer.size()), ExtensionOf(name), &m_source,
                      m_bytesPerSector, *sector);
}

void CDeepFatRecovery::StoreRecord(FoundRecord record, std::optional<DirectoryKey> parent, bool named) {
  if (!m_store) return;
  FoundRecord* slot = m_store->AppendRecord();
  const uint32_t number = slot->recordNumber;
  record.recordNumber = number;
  *slot = record;
  // The slot is reused by the next append: file from the local copy.
  if (parent) m_store->AddRelation(*parent, number, record.key, named ? record.name : nullptr);
}

uint32_t CDeepFatRecovery::CurrentFolderOf(LayoutIndex layout, ByteView buffer, uint32_t cluster,
                                           std::optional<uint32_t> continued) {
  const FatEntryView first = FatEntryAt(buffer, 0);
  if (first.IsVolumeLabel()) return m_rootCluster;
  if (StartsWithDotNames(buffer)) return first.FirstCluster();
  if (LayoutAt(layout) == nullptr) return cluster;
  if (ReadFolderStart(layout, cluster).dots) return cluster;
  // A subfolder listed here names this folder in its ".." entry.
  for (size_t off = 0; off + kFatEntryBytes <= buffer.size(); off += kFatEntryBytes) {
    const FatEntryView entry(buffer.Sub(off, kFatEntryBytes));
    if (entry.IsEndMark()) break;
    if (!entry.IsFolder() || entry.IsLongNamePart() || entry.StartsWithDot()) continue;
    if (!IsValidFatEntry(buffer, off)) continue;
    const uint32_t sub = entry.FirstCluster();
    if (sub < 2) continue;
    const FolderStart start = ReadFolderStart(layout, sub);
    // Its "." must name the subfolder itself, or the layout does not hold it.
    if (start.dots && start.dot == sub) return start.dotDot == 0 ? m_rootCluster : start.dotDot;
  }
  // No folder of its own: a cluster that directly follows a directory
  // cluster in the sweep is that folder's next cluster.
  return continued.value_or(cluster);
}

std::optional<CDeepFatRecovery::NameTail> CDeepFatRecovery::ParseDirectoryBuffer(
    LayoutIndex layout, ByteView buffer, uint64_t sector, uint32_t cluster, const BufferOrigin& origin) {
  auto entrySectorAt = [&](size_t off) {
    if (off < origin.headBytes) return origin.headEndSector;
    return origin.sector + (off - origin.headBytes) / m_bytesPerSector;
  };
  std::optional<uint32_t> continued;
  if (m_previous.valid && layout != kNoLayout && m_previous.layout == layout && origin.headBytes == 0 &&
      origin.sector == m_previous.endSector + 1)
    continued = m_previous.folder;
  uint32_t current = CurrentFolderOf(layout, buffer, cluster, continued);
  const uint64_t endSector =
      buffer.size() > origin.headBytes ? entrySectorAt(buffer.size() - 1) : origin.headEndSector;
  struct RememberOnExit {
    PreviousParse& previous;
    LayoutIndex layout;
    uint64_t endSector;
    const uint32_t& folder;
    ~RememberOnExit() { previous = {true, layout, endSector, folder}; }
  } remember{m_previous, layout, endSector, current};
  LongNameBuffer longName;
  size_t sequenceStart = SIZE_MAX;
  auto resetName = [&] {
    longName.Reset();
    sequenceStart = SIZE_MAX;
  };
  auto takeName = [&](FatEntryView entry, bool isFolder) {
    std::string name = longName.HasName() ? longName.Take() : ShortEntryName(entry.Bytes(), isFolder);
    resetName();
    return name;
  };

  size_t off = 0;
  for (; off + kFatEntryBytes <= buffer.size(); off += kFatEntryBytes) {
    const FatEntryView entry(buffer.Sub(off, kFatEntryBytes));
    if (entry.IsEndMark()) return std::nullopt;
    if (!IsValidFatEntry(buffer, off)) {
      resetName();
      continue;
    }
    if (entry.IsLongNamePart()) {
      if (!longName.HasName()) sequenceStart = off;
      if (!longName.AddPart(entry.Bytes())) {
        // More parts than any name has: the run is noise; start anew here.
        resetName();
        sequenceStart = off;
        (void)longName.AddPart(entry.Bytes());  // the first part of a new run always fits
      }
      continue;
    }
    const uint64_t entrySector = entrySectorAt(off);
    if (entry.IsFolder()) {
      if (entry.StartsWithDot()) {
        if (!entry.IsDotDotName()) current = entry.FirstCluster();
        resetName();
        continue;
      }
      const std::string name = takeName(entry, true);
      uint32_t key = entry.FirstCluster();
      if (entry.IsDeleted() && entry.ClusterHigh() == 0 && LayoutAt(layout) != nullptr)
        key = (SearchHighHalf(layout, entry.ClusterLow(), true, {}) << 16) | entry.ClusterLow();
      if (key == 0 || key == current) continue;  // not a folder of its own
      if (m_knownFolders.size() >= kMaxKnownFolders && m_knownFolders.count(key) == 0) continue;
      KnownFolder& known = m_knownFolders[key];
      known.record = RecordFromEntry(entry, true, name, m_sourceKey, entrySector);
      known.record.key = key;
      ApplyLayout(known.record, layout);
      known.parent = current;
      known.layout = layout;
      known.folderSector = sector;
      continue;
    }
    if (entry.IsVolumeLabel()) continue;  // not a file: the long name stays
    const std::string name = takeName(entry, false);
    FoundRecord record = RecordFromEntry(entry, false, name, m_sourceKey, entrySector);
    RecordFile(layout, record, current, sector, entry.IsDeleted() && entry.ClusterHigh() == 0);
  }
  if (!longName.HasName() || sequenceStart == SIZE_MAX || sequenceStart >= buffer.size()) return std::nullopt;
  NameTail tail;
  tail.checksum = FatEntryView(buffer.Sub(sequenceStart, kFatEntryBytes)).LongNameChecksum();
  tail.cluster = current;
  tail.layout = layout;
  tail.bytes.assign(buffer.data() + sequenceStart, buffer.data() + buffer.size());
  tail.sector = sector;
  tail.endSector = endSector;
  return tail;
}

void CDeepFatRecovery::RecordFile(LayoutIndex layout, FoundRecord record, uint32_t folder,
                                  uint64_t folderSector, bool searchHighHalf) {
  if (LayoutAt(layout) != nullptr) {
    WriteFile(layout, record, folder, searchHighHalf);
    return;
  }
  if (m_pendingOpen >= kMaxPendingFiles) return;
  PendingFile file;
  file.record = record;
  file.folder = folder;
  file.folderSector = folderSector;
  file.searchHighHalf = searchHighHalf;
  m_pending.push_back(file);
  ++m_pendingOpen;
  AddFoldersToStore(kNoLayout, folder, folderSector);
}

void CDeepFatRecovery::WriteFile(LayoutIndex layout, FoundRecord record, uint32_t folder,
                                 bool searchHighHalf) {
  ApplyLayout(record, layout);
  const std::string name = RecordName(record);
  if (searchHighHalf) {
    const uint32_t low = record.key & 0xFFFF;
    record.key = (SearchHighHalf(layout, low, false, ExtensionOf(name)) << 16) | low;
  }
  record.contentOk = ContentMatches(layout, record.key, name, record.size) ? 1 : 0;
  // Cluster 0 is the fixed root folder: filed where the root's other
  // children are.
  const uint32_t parent = folder == 0 ? m_rootCluster : folder;
  StoreRecord(record, MakeDirectoryKey(FolderDepth(layout, parent), parent), false);
  const FatLayout* placed = LayoutAt(layout);
  const std::optional<uint64_t> folderSector = placed ? placed->SectorOf(folder) : std::nullopt;
  const uint64_t entrySector = record.entrySector;  // no reference into the packed record
  AddFoldersToStore(layout, folder, folderSector.value_or(entrySector));
}

void CDeepFatRecovery::AddFoldersToStore(LayoutIndex layout, uint32_t cluster, uint64_t sector) {
  std::set<uint32_t> visited;
  for (uint32_t step = 0; step < kMaxFolderDepth; ++step) {
    if (cluster < 2 || cluster == m_rootCluster || !visited.insert(cluster).second) return;
    if (m_foldersToStore.size() >= kMaxKnownFolders && m_foldersToStore.count(cluster) == 0) return;
    m_foldersToStore.try_emplace(cluster, FolderToStore{layout, sector});
    if (auto known = m_knownFolders.find(cluster); known != m_knownFolders.end()) {
      if (known->second.layout != kNoLayout) layout = known->second.layout;
      sector = known->second.folderSector;
      cluster = known->second.parent;
      continue;
    }
    if (LayoutAt(layout) == nullptr) return;
    const std::optional<uint32_t> parent = ParentOf(layout, cluster);
    if (!parent || *parent == cluster) return;
    cluster = *parent;
    sector = LayoutAt(layout)->SectorOf(cluster).value_or(sector);
  }
}

void CDeepFatRecovery::PlacePendingFiles() {
  if (m_pendingOpen == 0) {
    m_pending.clear();
    m_pendingChecked = 0;
    m_layoutsChecked = m_layouts.size();
    return;
  }
  // Files already checked against the older layouts need only the new ones.
  for (size_t i = 0; i < m_layouts.size(); ++i) {
    const size_t from = i < m_layoutsChecked ? m_pendingChecked : 0;
    for (size_t f = from; f < m_pending.size(); ++f) {
      PendingFile& file = m_pending[f];
      if (file.done || m_layouts[i].SectorOf(file.folder) != file.folderSector) continue;
      file.done = true;
      --m_pendingOpen;
      WriteFile(static_cast<LayoutIndex>(i), file.record, file.folder, file.searchHighHalf);
    }
  }
  // Drop the placed ones once they outnumber those still waiting; every file
  // left has been checked against every layout.
  const size_t placed = m_pending.size() - m_pendingOpen;
  if (placed > 4096 && placed > m_pendingOpen)
    std::erase_if(m_pending, [](const PendingFile& file) { return file.done; });
  m_pendingChecked = m_pending.size();
  m_layoutsChecked = m_layouts.size();
}

void CDeepFatRecovery::StoreFolders() {
  for (const auto& [cluster, entry] : m_foldersToStore) {
    if (auto known = m_knownFolders.find(cluster); known != m_knownFolders.end()) {
      const KnownFolder& folder = known->second;
      const LayoutIndex layout =
          folder.layout != kNoLayout ? folder.layout : LayoutCovering(folder.parent, folder.folderSector);
      FoundRecord record = folder.record;
      record.contentOk = 1;
      if (layout == kNoLayout) {
        StoreRecord(record, std::nullopt, false);
        continue;
      }
      ApplyLayout(record, layout);
      const uint32_t parent = folder.parent == 0 ? m_rootCluster : folder.parent;
      StoreRecord(record, MakeDirectoryKey(FolderDepth(layout, parent), parent), true);
      continue;
    }
    // A folder whose own entry was never met.
    const LayoutIndex layout =
        entry.layout != kNoLayout ? entry.layout : LayoutCovering(cluster, entry.sector);
    if (layout == kNoLayout) continue;
    uint32_t parent = ParentOf(layout, cluster).value_or(m_rootCluster);
    if (parent == cluster) parent = m_rootCluster;
    FoundRecord record = MakeFoundRecord();
    record.sourceKey = m_sourceKey;
    record.engineTag = kTagDeepFat;
    record.isFolder = 1;
    record.contentOk = 1;
    record.key = cluster;
    record.entrySector = entry.sector;
    ApplyLayout(record, layout);
    char name[32];
    std::snprintf(name, sizeof name, "LostFolder%u", cluster);
    SetRecordName(record, name);
    StoreRecord(record, MakeDirectoryKey(FolderDepth(layout, parent), parent), true);
  }
}

}  // namespace velmira
