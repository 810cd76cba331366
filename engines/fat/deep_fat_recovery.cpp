#include "engines/fat/deep_fat_recovery.h"

#include <algorithm>

#include "engines/boot_sector.h"
#include "engines/fat/fat_directory.h"
#include "engines/fat/fat_volume.h"
#include "engines/logged_results.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "results/scan_log_names.h"

namespace velmira {
namespace {

constexpr uint32_t kBootBytes = 4096;

// The checksum a tail must carry for a sector to continue it, by the
// sector's first entry: a long-name part's own checksum, or the name
// checksum of a live short entry. Sectors that begin with a deleted short
// entry have none.
std::optional<uint8_t> FirstEntryChecksum(ByteView data) {
  const FatEntryView first = FatEntryAt(data, 0);
  if (first.IsLongNamePart()) return first.LongNameChecksum();
  if (first.IsDeleted()) return std::nullopt;
  return ShortNameChecksum(first);
}

}  // namespace

CDeepFatRecovery::CDeepFatRecovery() = default;

CDeepFatRecovery::~CDeepFatRecovery() = default;

int32_t CDeepFatRecovery::Open(const PartitionLocator& target) {
  return m_opened ? kOk : OpenThroughSource(target);
}

int32_t CDeepFatRecovery::OpenSource(SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t sourceKey, uint32_t bytesPerSector) {
  if (m_opened) return kOk;
  if (!IsSectorSize(bytesPerSector)) return kErrInvalidParameter;
  m_source = std::move(source);
  m_partitionStart = startSector;
  m_partitionLength = SectorsOnSource(m_source, startSector, sectorCount);
  m_sourceKey = sourceKey;
  m_bytesPerSector = bytesPerSector;
  m_sectorBuffer.assign(bytesPerSector, 0);
  m_opened = true;
  m_lastLayout = {};
  m_fragmentLayout = {};
  return kOk;
}

int32_t CDeepFatRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                               FileProgressCallback fileCallback, void* userData,
                                               int32_t scale) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = scale;
  return kOk;
}

int32_t CDeepFatRecovery::Scan(const std::string&) {
  return kOk;
}
int32_t CDeepFatRecovery::NextFreeExtent(uint64_t&, uint64_t&) {
  return 0;
}
int32_t CDeepFatRecovery::LoadAllocationMap() {
  return kOk;
}

// ---------------------------------------------------------------------------
// The sweep's operations.

void CDeepFatRecovery::ResetSweepState() {
  m_layouts.clear();
  m_bootLayout = false;
  m_observations.clear();
  m_pending.clear();
  m_pendingOpen = 0;
  m_pendingChecked = 0;
  m_layoutsChecked = 0;
  m_knownFolders.clear();
  m_foldersToStore.clear();
  m_tails.clear();
  m_fragments.clear();
  for (auto& bucket : m_fragmentIndex) bucket.clear();
  m_lastLayout = {};
  m_fragmentLayout = {};
  m_run = {};
  m_previous = {};
  m_rootCluster = 2;
  m_folderStarts.clear();
  m_depths.clear();
}

int32_t CDeepFatRecovery::BeginDeepFatLog(const std::string& logName) {
  ResetSweepState();
  NewLog();
  if (!logName.empty()) return m_store->OpenLog(logName);
  return m_store->OpenNewLog(ScanLogName(ScanLogKind::kDeepFat, static_cast<int64_t>(m_partitionStart)));
}

bool CDeepFatRecovery::InSource(uint64_t sector) const {
  return sector >= m_partitionStart && sector - m_partitionStart < m_partitionLength;
}

int32_t CDeepFatRecovery::AddBootSectorLayout() {
  if (!m_opened) return kErrInvalidHandle;
  const uint32_t count = std::max<uint32_t>(1, kBootBytes / m_bytesPerSector);
  std::vector<uint8_t> boot(size_t{count} * m_bytesPerSector);
  uint32_t got = 0;
  if (int32_t err = ReadSectors(count, m_source, boot.data(), m_partitionStart, m_bytesPerSector, got);
      err != kOk)
    return err;
  const ByteView view(boot.data(), boot.size());
  FatGeometry geometry;
  if (!IsFatBootSector(view) || !ReadFatGeometry(view, geometry)) return kOk;
  // The boot sector counts in its own sectors; reads count in the source's.
  if (geometry.bytesPerSector % m_bytesPerSector != 0) return kOk;
  const uint32_t ratio = geometry.bytesPerSector / m_bytesPerSector;
  FatLayout layout;
  layout.sectorsPerCluster = geometry.sectorsPerCluster * ratio;
  layout.dataStart = uint64_t{geometry.dataStart} * ratio;
  layout.base = m_partitionStart;
  // A data area that would start past the end of the source is no layout.
  if (layout.dataStart >= m_partitionLength) return kOk;
  if (AddLayout(layout) == kNoLayout) return kOk;
  m_bootLayout = true;
  m_rootCluster = geometry.isFat32 ? geometry.rootCluster : 0;
  return kOk;
}

const FatLayout* CDeepFatRecovery::LayoutAt(LayoutIndex index) const {
  if (index < 0 || static_cast<size_t>(index) >= m_layouts.size()) return nullptr;
  return &m_layouts[static_cast<size_t>(index)];
}

uint32_t CDeepFatRecovery::SectorsPerClusterOf(LayoutIndex index) const {
  const FatLayout* layout = LayoutAt(index);
  return layout ? layout->sectorsPerCluster : 0;
}

CDeepFatRecovery::LayoutIndex CDeepFatRecovery::AddLayout(const FatLayout& layout) {
  if (m_layouts.size() >= kMaxLayouts || layout.sectorsPerCluster == 0) return kNoLayout;
  if (layout.DataSector() < m_partitionStart || !InSource(layout.DataSector())) return kNoLayout;
  m_layouts.push_back(layout);
  return static_cast<LayoutIndex>(m_layouts.size() - 1);
}

CDeepFatRecovery::LayoutIndex CDeepFatRecovery::LayoutPlacingCluster(uint32_t cluster,
                                                                     uint64_t sector) const {
  for (size_t i = 0; i < m_layouts.size(); ++i)
    if (m_layouts[i].SectorOf(cluster) == sector) return static_cast<LayoutIndex>(i);
  return kNoLayout;
}

CDeepFatRecovery::LayoutIndex CDeepFatRecovery::LayoutCovering(uint32_t cluster, uint64_t sector) const {
  for (size_t i = 0; i < m_layouts.size(); ++i)
    if (m_layouts[i].Covers(cluster, sector)) return static_cast<LayoutIndex>(i);
  return kNoLayout;
}

CDeepFatRecovery::LayoutIndex CDeepFatRecovery::LayoutNearestBelow(uint64_t sector) const {
  LayoutIndex best = kNoLayout;
  // With several layouts, the boot sector's describes the live volume; what
  // is left over belongs to an older one.
  const size_t first = (m_bootLayout && m_layouts.size() > 1) ? 1 : 0;
  for (size_t i = first; i < m_layouts.size(); ++i) {
    const uint64_t data = m_layouts[i].DataSector();
    if (data > sector) continue;
    if (best == kNoLayout || data > m_layouts[static_cast<size_t>(best)].DataSector())
      best = static_cast<LayoutIndex>(i);
  }
  if (best == kNoLayout && !m_layouts.empty()) best = 0;
  return best;
}

void CDeepFatRecovery::InferLayout(uint32_t cluster, uint64_t sector) {
  if (cluster < 2) return;
  for (const auto& [seenCluster, seenSector] : m_observations) {
    if (seenCluster == cluster) continue;
    const std::optional<FatLayout> layout =
        LayoutFromObservations(seenCluster, seenSector, cluster, sector, m_partitionStart);
    if (layout && AddLayout(*layout) != kNoLayout) break;
  }
  m_observations.emplace_back(cluster, sector);
  if (m_observations.size() > kMaxObservations) m_observations.pop_front();
}

void CDeepFatRecovery::OnDotDirectorySector(ByteView data, uint64_t sector) {
  if (!m_opened) return;
  const uint32_t cluster = FatEntryAt(data, 0).FirstCluster();
  LayoutIndex layout = LayoutPlacingCluster(cluster, sector);
  if (layout == kNoLayout) {
    InferLayout(cluster, sector);
    layout = LayoutPlacingCluster(cluster, sector);
  }
  if (layout != kNoLayout) {
    PlacePendingFiles();
    // The rest of this cluster's sectors belong to the same folder.
    m_lastLayout = {layout, cluster, sector};
    m_run = {};
  } else {
    m_lastLayout = {};
    m_run = {true, cluster, sector, sector};
  }
  ParseAndJoin(layout, data, sector, cluster, BufferOrigin{0, 0, sector});
}

void CDeepFatRecovery::OnDirectorySector(ByteView data, uint64_t sector) {
  if (!m_opened) return;
  const bool continuesRun =
      m_run.active && sector == m_run.last + 1 && sector - m_run.start < kMaxUnplacedRun;
  if (continuesRun)
    m_run.last = sector;
  else
    m_run.active = false;

  // 1. The continuation of an unfinished long name.
  if (TryContinueTail(data, sector)) return;

  // A folder whose layout is not known yet goes on in the sectors right after it.
  if (continuesRun) {
    ParseAndJoin(kNoLayout, data, m_run.start, m_run.cluster, BufferOrigin{0, 0, sector});
    return;
  }

  // 2. The following sectors of the cluster placed last.
  if (const uint32_t spc = SectorsPerClusterOf(m_lastLayout.layout);
      spc != 0 && sector > m_lastLayout.sector && sector - m_lastLayout.sector < spc) {
    ParseAndJoin(m_lastLayout.layout, data, sector, m_lastLayout.cluster, BufferOrigin{0, 0, sector});
    return;
  }

  // 3. The first sector of a cluster (or of a fixed root folder) under some layout.
  for (size_t i = 0; i < m_layouts.size(); ++i) {
    const LayoutIndex index = static_cast<LayoutIndex>(i);
    if (const std::optional<uint32_t> cluster = m_layouts[i].ClusterStartingAt(sector)) {
      m_lastLayout = {index, *cluster, sector};
      ParseAndJoin(index, data, sector, *cluster, BufferOrigin{0, 0, sector});
      return;
    }
    if (m_layouts[i].Covers(0, sector)) {
      ParseAndJoin(index, data, sector, 0, BufferOrigin{0, 0, sector});
      return;
    }
  }

  // 4. Kept until the end of the sweep.
  if (m_fragments.size() >= kMaxFragments || m_fragments.count(sector) != 0) return;
  Fragment& fragment = m_fragments[sector];
  fragment.bytes.assign(data.data(), data.data() + data.size());
  if (const std::optional<uint8_t> checksum = FirstEntryChecksum(data))
    m_fragmentIndex[*checksum].insert(sector);
}

// ---------------------------------------------------------------------------
// Name tails and fragments.

bool CDeepFatRecovery::TailMayContinueAt(const NameTail& tail, uint64_t sector) const {
  const uint64_t end = tail.endSector;
  const FatLayout* layout = LayoutAt(tail.layout);
  if (layout == nullptr) return sector > end && sector - end <= kMaxUnplacedRun;
  const std::optional<uint32_t> endCluster = layout->ClusterHolding(end);
  // Inside a fixed root folder only the next sector continues it.
  if (!endCluster) return sector == end + 1 && sector < layout->DataSector();
  // The next sector of the same cluster.
  if (sector == end + 1 && layout->ClusterHolding(sector) == endCluster) return true;
  // Or, when the tail ends its cluster, the first sector of another cluster
  // of the same folder: one allocated after the folder's first cluster.
  if (!layout->ClusterStartingAt(end + 1)) return false;
  const std::optional<uint32_t> cluster = layout->ClusterStartingAt(sector);
  return cluster && *cluster != *endCluster && *cluster > tail.cluster;
}

bool CDeepFatRecovery::TryContinueTail(ByteView data, uint64_t sector) {
  const FatEntryView first = FatEntryAt(data, 0);
  for (auto it = m_tails.begin(); it != m_tails.end(); ++it) {
    const NameTail& tail = *it;
    bool qualifies = false;
    if (first.IsLongNamePart()) {
      qualifies = first.LongNameChecksum() == tail.checksum;
    } else if (first.IsDeleted()) {
      const uint32_t spc = SectorsPerClusterOf(tail.layout);
      qualifies = spc != 0 && sector > tail.endSector && sector - tail.endSector < spc;
    } else {
      qualifies = ShortNameChecksum(first) == tail.checksum;
    }
    if (!qualifies || !TailMayContinueAt(tail, sector)) continue;
    NameTail taken = std::move(*it);
    m_tails.erase(it);
    std::vector<uint8_t> joined = std::move(taken.bytes);
    const size_t head = joined.size();
    joined.insert(joined.end(), data.data(), data.data() + data.size());
    ParseAndJoin(taken.layout, ByteView(joined.data(), joined.size()), taken.sector, taken.cluster,
                 BufferOrigin{head, taken.endSector, sector});
    return true;
  }
  return false;
}

void CDeepFatRecovery::KeepTail(NameTail tail) {
  m_tails.push_back(std::move(tail));
  if (m_tails.size() > kMaxNameTails) m_tails.pop_front();
}

void CDeepFatRecovery::ParseAndJoin(LayoutIndex layout, ByteView buffer, uint64_t sector, uint32_t cluster,
                                    const BufferOrigin& origin) {
  std::optional<NameTail> tail = ParseDirectoryBuffer(layout, buffer, sector, cluster, origin);
  // Each round uses up one fragment, so this ends; the bound keeps it short.
  for (int round = 0; tail && round < 64; ++round) {
    // A fragment that carries the name on: the tail's checksum first, at a
    // position the tail's layout allows.
    std::optional<uint64_t> found;
    size_t examined = 0;
    for (uint64_t candidate : m_fragmentIndex[tail->checksum]) {
      if (++examined > 4096) break;
      const auto it = m_fragments.find(candidate);
      if (it != m_fragments.end() && !it->second.used && TailMayContinueAt(*tail, candidate)) {
        found = candidate;
        break;
      }
    }
    if (!found) break;
    Fragment& fragment = m_fragments[*found];
    fragment.used = true;
    m_fragmentIndex[tail->checksum].erase(*found);
    NameTail previous = std::move(*tail);
    std::vector<uint8_t> joined = std::move(previous.bytes);
    const size_t head = joined.size();
    joined.insert(joined.end(), fragment.bytes.begin(), fragment.bytes.end());
    tail = ParseDirectoryBuffer(previous.layout, ByteView(joined.data(), joined.size()), previous.sector,
                                previous.cluster, BufferOrigin{head, previous.endSector, *found});
  }
  if (tail) KeepTail(std::move(*tail));
}

// ---------------------------------------------------------------------------
// After the sweep.

void CDeepFatRecovery::ProcessFragments() {
  m_fragmentLayout = {};
  m_previous = {};
  for (auto it = m_fragments.begin(); it != m_fragments.end(); ++it) {
    Fragment& fragment = it->second;
    if (fragment.used) continue;
    fragment.used = true;
    const uint64_t sector = it->first;
    const ByteView data(fragment.bytes.data(), fragment.bytes.size());
    if (const std::optional<uint8_t> checksum = FirstEntryChecksum(data))
      m_fragmentIndex[*checksum].erase(sector);
    if (TryContinueTail(data, sector)) continue;

    bool placed = false;
    for (size_t i = 0; i < m_layouts.size() && !placed; ++i) {
      const LayoutIndex index = static_cast<LayoutIndex>(i);
      if (const std::optional<uint32_t> cluster = m_layouts[i].ClusterStartingAt(sector)) {
        m_fragmentLayout = {index, *cluster, sector};
        ParseAndJoin(index, data, sector, *cluster, BufferOrigin{0, 0, sector});
        placed = true;
      } else if (m_layouts[i].Covers(0, sector)) {
        ParseAndJoin(index, data, sector, 0, BufferOrigin{0, 0, sector});
        placed = true;
      }
    }
    if (placed) continue;
    // The following sectors of the cluster placed last.
    if (const uint32_t spc = SectorsPerClusterOf(m_fragmentLayout.layout);
        spc != 0 && sector > m_fragmentLayout.sector && sector - m_fragmentLayout.sector < spc) {
      ParseAndJoin(m_fragmentLayout.layout, data, sector, m_fragmentLayout.cluster,
                   BufferOrigin{0, 0, sector});
      continue;
    }
    const LayoutIndex nearest = LayoutNearestBelow(sector);
    const FatLayout* layout = LayoutAt(nearest);
    if (layout == nullptr) continue;  // no layout at all: dropped
    uint32_t cluster = m_rootCluster;
    if (const std::optional<uint32_t> holding = layout->ClusterHolding(sector))
      cluster = *holding;
    else if (layout->Covers(0, sector))
      cluster = 0;
    ParseAndJoin(nearest, data, sector, cluster, BufferOrigin{0, 0, sector});
  }
  m_fragments.clear();
  for (auto& bucket : m_fragmentIndex) bucket.clear();
}

int32_t CDeepFatRecovery::FinishDeepFat() {
  if (!m_opened) return kOk;
  ProcessFragments();
  // Files go before the folders: placing a file adds the folders above it.
  PlacePendingFiles();
  for (PendingFile& file : m_pending) {
    if (file.done) continue;
    const LayoutIndex layout = LayoutNearestBelow(file.folderSector);
    if (layout == kNoLayout) continue;  // without any layout nothing can be read back
    WriteFile(layout, file.record, file.folder, file.searchHighHalf);
    file.done = true;
  }
  m_pending.clear();
  m_pendingOpen = 0;
  m_pendingChecked = 0;
  m_layoutsChecked = 0;
  StoreFolders();
  m_knownFolders.clear();
  m_foldersToStore.clear();
  m_tails.clear();
  m_run = {};
  m_lastLayout = {};
  return m_store ? FlushedWhole(*m_store) : kOk;
}

size_t CDeepFatRecovery::PendingFileCount() const {
  return m_pendingOpen;
}

}  // namespace velmira
