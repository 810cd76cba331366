#include "engines/exfat/deep_exfat_recovery.h"

#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engines/carving/signature_table.h"
#include "engines/folder_tree_recovery.h"
#include "engines/logged_results.h"
#include "engines/output_sink.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "results/extension_lists.h"
#include "results/scan_log_names.h"
#include "results/scan_log_registry.h"

namespace velmira {
namespace {

constexpr uint32_t kRootKey = 0;  // the deep scan's root; clusters start at 2

// The end-of-chain mark (and the media entries above bad clusters).
constexpr uint32_t kChainEnd = 0xFFFFFFF8u;
// How far past the partition start the allocation table is looked for.
constexpr uint64_t kMaxTableSearchBytes = 64ULL << 20;

// A boot region's layout counted in the sweep's sectors; none (no cluster
// size) when its heap or clusters do not fall on them.
ExfatLayout LayoutInSectors(const ExfatGeometry& g, uint32_t bps) {
  ExfatLayout layout;
  const uint64_t heapBytes = uint64_t{g.heapOffset} * g.bytesPerSector;
  const uint32_t clusterBytes = g.ClusterBytes();
  if (bps == 0 || heapBytes % bps != 0 || clusterBytes % bps != 0) return layout;
  layout.heapOffset = heapBytes / bps;
  layout.sectorsPerCluster = clusterBytes / bps;
  layout.rootCluster = g.rootCluster;
  return layout;
}

}  // namespace

CDeepExfatRecovery::CDeepExfatRecovery() = default;

CDeepExfatRecovery::~CDeepExfatRecovery() = default;

int32_t CDeepExfatRecovery::Open(const PartitionLocator& target) {
  return m_opened ? kOk : OpenThroughSource(target);
}

int32_t CDeepExfatRecovery::OpenSource(SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                       uint16_t sourceKey, uint32_t bytesPerSector) {
  if (m_opened) return kOk;
  if (!IsSectorSize(bytesPerSector)) return kErrInvalidParameter;
  m_source = std::move(source);
  m_startSector = startSector;
  m_sectorCount = SectorsOnSource(m_source, startSector, sectorCount);
  m_sourceKey = sourceKey;
  m_bytesPerSector = bytesPerSector;
  m_opened = true;
  return kOk;
}

int32_t CDeepExfatRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                                 FileProgressCallback fileCallback, void* userData,
                                                 int32_t scale) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = scale;
  return kOk;
}

int32_t CDeepExfatRecovery::Scan(const std::string& /*scanLogPath*/) {
  return kOk;
}

int32_t CDeepExfatRecovery::BeginDeepExfatLog(const std::string& logName) {
  m_sets.clear();
  m_setSectors.clear();
  m_rootSectors.clear();
  m_layout = {};
  m_layoutFromBoot = false;
  NewLog();
  if (!logName.empty()) return m_store->OpenLog(logName);
  return m_store->OpenNewLog(ScanLogName(ScanLogKind::kDeepExfat, static_cast<int64_t>(m_startSector)));
}

void CDeepExfatRecovery::OnSector(ByteView bytes, uint64_t sector) {
  const uint32_t bps = m_bytesPerSector;
  if (!m_opened || bytes.size() < bps) return;
  // Bitmap and up-case entries at the start of a sector: the root folder.
  if (bytes.U8At(0) == kExfatBitmapEntry || bytes.U8At(0) == kExfatUpcaseEntry ||
      bytes.U8At(0) == kExfatLabelEntry) {
    if (m_rootSectors.size() < 64) m_rootSectors.push_back(sector);
  }
  std::vector<uint8_t> window;
  for (uint32_t off = 0; off + kExfatEntryBytes <= bps; off += kExfatEntryBytes) {
    if (!LooksLikeExfatSetStart(bytes, off)) continue;
    ExfatEntrySet set;
    ByteView from = bytes;
    size_t at = off;
    const size_t need = off + size_t{bytes.U8At(off + 1) + 1u} * kExfatEntryBytes;
    if (need > bytes.size()) {
      // The set runs past what the caller has: read it from the source.
      if (window.empty()) {
        window.assign(size_t{bps} * 3, 0);
        uint32_t got = 0;
        (void)ReadSectors(3, m_source, window.data(), sector, bps, got);
      }
      from = ByteView(window.data(), window.size());
    }
    if (!ParseExfatEntrySet(from, at, set)) continue;
    uint32_t& seen = m_setSectors[sector];
    const uint32_t bit = off / kExfatEntryBytes < 32 ? 1u << (off / kExfatEntryBytes) : 0;
    if (bit != 0 && (seen & bit) != 0) continue;  // met before (a replayed sector)
    seen |= bit;
    if (m_sets.size() >= kMaxSets) return;
    m_sets.push_back(FoundSet{std::move(set), sector, off});
    off += (m_sets.back().set.secondaryCount) * kExfatEntryBytes;  // its entries are read
  }
}

uint64_t CDeepExfatRecovery::Explained(const ExfatLayout& layout) const {
  // Folders whose first cluster falls on a sector where sets were found.
  uint64_t explained = 0;
  for (const FoundSet& f : m_sets) {
    if (!f.set.IsFolder() || f.set.firstCluster < 2) continue;
    const unsigned __int128 at =
        static_cast<unsigned __int128>(m_startSector) + layout.heapOffset +
        static_cast<unsigned __int128>(f.set.firstCluster - 2) * layout.sectorsPerCluster;
    if (at > UINT64_MAX) continue;
    if (m_setSectors.count(static_cast<uint64_t>(at)) != 0) ++explained;
  }
  return explained;
}

ExfatLayout CDeepExfatRecovery::InferLayout(uint64_t& bestVotes) const {
  // Sectors where a run of sectors holding sets begins: where folders start.
  std::vector<uint64_t> starts;
  uint64_t previous = UINT64_MAX - 1;
  for (const auto& [sector, offsets] : m_setSectors) {
    if (sector != previous + 1 && (offsets & 1) != 0) starts.push_back(sector - m_startSector);
    previous = sector;
    if (starts.size() >= kMaxVoteStarts) break;
  }
  std::vector<uint32_t> clusters;
  std::set<uint32_t> distinct;
  for (const FoundSet& f : m_sets)
    if (f.set.IsFolder() && f.set.firstCluster >= 2 && distinct.insert(f.set.firstCluster).second) {
      clusters.push_back(f.set.firstCluster);
      if (clusters.size() >= kMaxVoteFolders) break;
    }
  std::unordered_map<uint64_t, uint64_t> votes;  // heap offset << 5 | cluster shift
  for (uint32_t shift = 0; shift + 9 <= 25; ++shift) {
    const uint64_t spc = uint64_t{1} << shift;
    if (spc * m_bytesPerSector > (uint64_t{1} << 25)) break;
    for (uint32_t c : clusters) {
      const unsigned __int128 offset = static_cast<unsigned __int128>(c - 2) * spc;
      for (uint64_t s : starts) {
        if (offset > s) continue;
        const uint64_t heap = s - static_cast<uint64_t>(offset);
        if (heap < 24) continue;  // the boot regions and the table come first
        if (heap < (uint64_t{1} << 58)) ++votes[heap << 5 | shift];
      }
    }
  }
  // The layouts with the most votes, in key order so that ties always end
  // the same way. A layout one cluster off also puts folders on run starts;
  // what tells them apart is judged next.
  uint64_t most = 0;
  for (const auto& [key, count] : votes) most = std::max(most, count);
  bestVotes = most;
  if (most < 2) {
    bestVotes = 0;
    return ExfatLayout{};
  }
  std::vector<uint64_t> candidates;
  for (const auto& [key, count] : votes)
    if (count == most) candidates.push_back(key);
  std::sort(candidates.begin(), candidates.end());
  if (candidates.size() > kMaxLayoutCandidates) candidates.resize(kMaxLayoutCandidates);
  ExfatLayout best;
  int64_t bestScore = INT64_MIN;
  for (uint64_t key : candidates) {
    ExfatLayout layout;
    layout.sectorsPerCluster = 1u << (key & 31);
    layout.heapOffset = key >> 5;
    const int64_t score = LayoutScore(layout);
    if (score > bestScore) {
      bestScore = score;
      best = layout;
    }
  }
  return best;
}

int64_t CDeepExfatRecovery::LayoutScore(const ExfatLayout& layout) const {
  // Folders take whole clusters: a cluster size that does not divide a
  // folder's length is wrong, and small folders take exactly one cluster.
  // A folder whose own set lies in its first cluster is placed wrong. A
  // file whose first sector holds what its name says counts for the layout.
  const uint64_t clusterBytes = uint64_t{layout.sectorsPerCluster} * m_bytesPerSector;
  uint64_t smallest = UINT64_MAX;
  int64_t score = 0;
  size_t folders = 0;
  size_t files = 0;
  std::vector<uint8_t> sector(m_bytesPerSector);
  auto sectorOf = [&](uint32_t cluster) {
    return m_startSector + layout.heapOffset + uint64_t{cluster - 2} * layout.sectorsPerCluster;
  };
  for (const FoundSet& f : m_sets) {
    if (f.set.firstCluster < 2 || f.set.dataLength == 0) continue;
    if (f.set.IsFolder() && folders < kMaxVoteFolders) {
      ++folders;
      if (f.set.dataLength % clusterBytes != 0) return INT64_MIN / 2;
      smallest = std::min(smallest, f.set.dataLength);
      const uint64_t first = sectorOf(f.set.firstCluster);
      if (f.sector >= first && f.sector < first + layout.sectorsPerCluster) score -= 3;
    } else if (!f.set.IsFolder() && files < kMaxVoteFolders) {
      const size_t dot = f.set.name.rfind('.');
      if (dot == std::string::npos) continue;
      ++files;
      const uint64_t at = sectorOf(f.set.firstCluster);
      uint32_t got = 0;
      if (at >= m_startSector + m_sectorCount ||
          ReadSectors(1, m_source, sector.data(), at, m_bytesPerSector, got) != kOk || got != 1)
        continue;
      if (CheckContent(ByteView(sector.data(), sector.size()), AsciiLower(f.set.name.substr(dot + 1)),
                       &m_source, m_bytesPerSector, at))
        score += 4;
    }
  }
  if (smallest == clusterBytes) score += 2;
  return score;
}

int32_t CDeepExfatRecovery::FinishDeepExfat() {
  if (!m_store) return kErrInvalidHandle;
  const uint32_t bps = m_bytesPerSector;
  // The boot region's layout, when one is there and explains what was found.
  ExfatLayout boot;
  {
    ExfatVolume volume;
    (void)volume.Open(&m_source, m_startSector, m_sectorCount, bps);  // found even in other sectors
    if (volume.RegionFound()) {
      boot = LayoutInSectors(volume.Geometry(), bps);
      // Clusters smaller than the sectors read (or a heap inside one)
      // cannot be placed in them: nothing is, rather than a guess.
      if (!boot.Valid()) return FlushedWhole(*m_store);
    }
  }
  uint64_t inferredVotes = 0;
  const ExfatLayout inferred = InferLayout(inferredVotes);
  const uint64_t bootExplained = boot.Valid() ? Explained(boot) : 0;
  const uint64_t inferredExplained = inferred.Valid() ? Explained(inferred) : 0;
  if (boot.Valid() && bootExplained >= inferredExplained) {
    m_layout = boot;
    m_layoutFromBoot = true;
  } else if (inferred.Valid()) {
    m_layout = inferred;
  }
  if (!m_layout.Valid()) return FlushedWhole(*m_store);  // nothing can be placed
  const ExfatLayout L = m_layout;
  const uint64_t clusterBytes = uint64_t{L.sectorsPerCluster} * bps;
  if (clusterBytes > kMaxClusterBytes) return FlushedWhole(*m_store);
  auto clusterOf = [&](uint64_t sector) -> uint32_t {
    const uint64_t heap = m_startSector + L.heapOffset;
    if (sector < heap) return 0;
    const uint64_t c = (sector - heap) / L.sectorsPerCluster + 2;
    return c > UINT32_MAX ? 0 : static_cast<uint32_t>(c);
  };
  // The root: the boot region's cluster, or where its bitmap entry was seen.
  uint32_t root = L.rootCluster;
  if (root == 0 && !m_rootSectors.empty()) root = clusterOf(m_rootSectors.front());

  // Folders, one per first cluster: a live set wins over a deleted one.
  std::map<uint32_t, size_t> folderOf;  // first cluster -> set index
  for (size_t i = 0; i < m_sets.size(); ++i) {
    const ExfatEntrySet& s = m_sets[i].set;
    if (!s.IsFolder() || s.firstCluster < 2 || s.firstCluster == root) continue;
    auto [it, added] = folderOf.emplace(s.firstCluster, i);
    if (!added && m_sets[it->second].set.deleted && !s.deleted) it->second = i;
  }
  // Clusters each folder owns (its length, taken as one run).
  // Folders are small: a hostile length claims at most 8192 clusters, and
  // all folders together at most kMaxOwnedClusters.
  std::map<uint32_t, uint32_t> owner;  // cluster -> folder's first cluster
  size_t budget = kMaxOwnedClusters;
  for (const auto& [first, index] : folderOf) {
    const uint64_t length = std::max<uint64_t>(m_sets[index].set.dataLength, 1);
    const uint64_t count = std::min<uint64_t>((length + clusterBytes - 1) / clusterBytes, 8192);
    for (uint64_t k = 0; k < count && budget > 0 && first + k <= UINT32_MAX; ++k, --budget)
      owner.emplace(static_cast<uint32_t>(first + k), first);
  }
  // The clusters that hold sets, to group sets no folder owns into runs.
  std::set<uint32_t> setClusters;
  for (const auto& [sector, offsets] : m_setSectors) setClusters.insert(clusterOf(sector));

  // The folder (first cluster; kRootKey for the root) a sector's sets
  // belong to; sets no folder owns go to the lost folder of their run.
  std::unordered_map<uint32_t, uint32_t> lostRun;  // cluster -> first cluster of its run
  auto parentOf = [&](uint64_t sector) -> uint32_t {
    const uint32_t c = clusterOf(sector);
    if (c < 2) return kRootKey;
    if (c == root) return kRootKey;
    if (auto it = owner.find(c); it != owner.end()) return it->second;
    if (auto it = lostRun.find(c); it != lostRun.end()) return it->second;
    uint32_t first = c;
    for (uint32_t k = 0; k < 8192 && first > 2 && setClusters.count(first - 1) != 0 &&
                         owner.count(first - 1) == 0 && first - 1 != root;
         ++k)
      --first;
    lostRun.emplace(c, first);
    return first;
  };
  std::unordered_map<uint32_t, uint32_t> parent;  // folder key -> parent key
  for (const auto& [first, index] : folderOf) {
    uint32_t p = parentOf(m_sets[index].sector);
    if (p == first) p = kRootKey;  // a folder inside itself: the root takes it
    parent[first] = p;
  }
  auto depthOf = [&](uint32_t key) {
    uint32_t depth = 0;
    std::set<uint32_t> seen;
    while (key != kRootKey && depth < kMaxDepth && seen.insert(key).second) {
      ++depth;
      auto it = parent.find(key);
      key = it == parent.end() ? kRootKey : it->second;  // a lost folder sits at the root
    }
    return depth;
  };

  // Files, each set once (a set met twice is one file).
  std::set<std::pair<uint64_t, uint32_t>> written;
  std::set<uint32_t> usedFolders;
  std::vector<uint8_t> first(bps);
  for (const FoundSet& f : m_sets) {
    if (f.set.IsFolder() || !written.insert({f.sector, f.offset}).second) continue;
    const uint32_t p = parentOf(f.sector);
    FoundRecord* slot = m_store->AppendRecord();
    if (slot == nullptr) break;
    FoundRecord r = MakeFoundRecord();
    SetRecordName(r, f.set.name);
    r.sourceKey = m_sourceKey;
    r.engineTag = kTagDeepExfat;
    r.isDeleted = f.set.deleted ? 1 : 0;
    r.key = f.set.firstCluster;
    r.clusterBytes = static_cast<uint32_t>(clusterBytes);
    r.created = f.set.times.created;
    r.accessed = f.set.times.accessed;
    r.modified = f.set.times.modified;
    r.size = f.set.dataLength;
    r.dataStart = L.heapOffset;
    r.entrySector = f.sector;
    r.partitionStart = m_startSector;
    r.contentOk = 1;
    if (r.size != 0) {
      // The first data sector must lie inside and fit the name's type.
      const unsigned __int128 at =
          static_cast<unsigned __int128>(m_startSector) + L.heapOffset +
          static_cast<unsigned __int128>(r.key >= 2 ? r.key - 2 : 0) * L.sectorsPerCluster;
      uint32_t got = 0;
      if (r.key < 2 || at >= m_startSector + m_sectorCount ||
          ReadSectors(1, m_source, first.data(), static_cast<uint64_t>(at), bps, got) != kOk || got != 1)
        r.contentOk = 0;
      else if (const std::string ext = ExtensionOf(f.set.name); !ext.empty())
        r.contentOk =
            CheckContent(ByteView(first.data(), first.size()), ext, &m_source, bps, static_cast<uint64_t>(at))
                ? 1
                : 0;
    }
    r.recordNumber = slot->recordNumber;
    *slot = r;
    m_store->AddRelation(MakeDirectoryKey(depthOf(p), p), r.recordNumber, r.key, nullptr);
    // The folders up to the root.
    std::set<uint32_t> seen;
    for (uint32_t k = p; k != kRootKey && seen.insert(k).second;) {
      usedFolders.insert(k);
      auto it = parent.find(k);
      k = it == parent.end() ? kRootKey : it->second;
    }
  }
  // Folders that hold no file are listed as well: a folder tree comes back
  // with its empty folders.
  for (const auto& [key, index] : folderOf) {
    std::set<uint32_t> seen;
    for (uint32_t k = key; k != kRootKey && seen.insert(k).second && usedFolders.insert(k).second;) {
      auto it = parent.find(k);
      k = it == parent.end() ? kRootKey : it->second;
    }
  }
  for (uint32_t key : usedFolders) {
    FoundRecord* slot = m_store->AppendRecord();
    if (slot == nullptr) break;
    FoundRecord r = MakeFoundRecord();
    auto folder = folderOf.find(key);
    if (folder != folderOf.end()) {
      const FoundSet& f = m_sets[folder->second];
      SetRecordName(r, f.set.name);
      r.isDeleted = f.set.deleted ? 1 : 0;
      r.created = f.set.times.created;
      r.accessed = f.set.times.accessed;
      r.modified = f.set.times.modified;
      r.entrySector = f.sector;
    } else {
      SetRecordName(r, "LostFolder" + std::to_string(key));
    }
    r.sourceKey = m_sourceKey;
    r.engineTag = kTagDeepExfat;
    r.isFolder = 1;
    r.contentOk = 1;
    r.key = key;
    r.clusterBytes = static_cast<uint32_t>(clusterBytes);
    r.dataStart = L.heapOffset;
    r.partitionStart = m_startSector;
    r.recordNumber = slot->recordNumber;
    *slot = r;
    auto up = parent.find(key);
    const uint32_t p = up == parent.end() ? kRootKey : up->second;
    m_store->AddRelation(MakeDirectoryKey(depthOf(p), p), r.recordNumber, key, r.name);
  }
  m_sets.clear();
  m_sets.shrink_to_fit();
  m_setSectors.clear();
  return FlushedWhole(*m_store);
}

int32_t CDeepExfatRecovery::CopyData(const FoundRecord& record, OutputSink& sink, const ExfatReport& report) {
  if (!m_opened) return kErrInvalidHandle;
  const uint32_t bps = m_bytesPerSector;
  uint64_t validLength = record.size;
  bool chained = false;
  ExfatEntrySet set;
  if (FindExfatSetAt(m_source, record.entrySector, bps, record.key, record.size, set)) {
    validLength = set.validDataLength;
    chained = !set.noFatChain;
  }
  // Along a chain the allocation table still holds whole, else consecutive
  // clusters from the first, inside the partition.
  std::vector<uint32_t> clusters;
  if (chained) clusters = SurvivingChain(record);
  const uint64_t clusterSectors = record.clusterBytes / bps;
  if (clusters.empty() && record.key >= 2 && clusterSectors != 0 && record.clusterBytes <= kMaxClusterBytes) {
    const uint64_t count = (record.size + record.clusterBytes - 1) / record.clusterBytes;
    for (uint64_t k = 0; k < count && k < ExfatVolume::kMaxListClusters && record.key + k <= UINT32_MAX;
         ++k) {
      if (!OnMedium(record, static_cast<uint32_t>(record.key + k))) break;
      clusters.push_back(static_cast<uint32_t>(record.key + k));
    }
  }
  return CopyExfatClusters(m_source, bps, record, clusters, validLength, sink, report);
}

bool CDeepExfatRecovery::OnMedium(const FoundRecord& record, uint32_t cluster) const {
  const uint64_t clusterSectors = record.clusterBytes / m_bytesPerSector;
  if (cluster < 2 || clusterSectors == 0) return false;
  const unsigned __int128 at = static_cast<unsigned __int128>(record.partitionStart) + record.dataStart +
                               static_cast<unsigned __int128>(cluster - 2) * clusterSectors;
  return at + clusterSectors <= m_startSector + m_sectorCount;
}

const CDeepExfatRecovery::ChainTable& CDeepExfatRecovery::TableFor(const FoundRecord& record) {
  const uint32_t bps = m_bytesPerSector;
  ChainTable& t = m_table;
  if (t.searched && t.partitionStart == record.partitionStart && t.dataStart == record.dataStart &&
      t.clusterBytes == record.clusterBytes)
    return t;
  t = ChainTable{};
  t.searched = true;
  t.partitionStart = record.partitionStart;
  t.dataStart = record.dataStart;
  t.clusterBytes = record.clusterBytes;
  using Wide = unsigned __int128;
  const Wide end = Wide{m_startSector} + m_sectorCount;
  const Wide heap = Wide{record.partitionStart} + record.dataStart;
  if (record.clusterBytes == 0 || record.clusterBytes % bps != 0 || heap >= end ||
      record.partitionStart < m_startSector)
    return t;
  const uint64_t startByte = record.partitionStart * uint64_t{bps};
  const uint64_t heapByte = static_cast<uint64_t>(heap) * bps;
  // The boot region's table, when its layout is the records' one.
  ExfatVolume volume;
  (void)volume.Open(&m_source, record.partitionStart, static_cast<uint64_t>(end - record.partitionStart),
                    bps);
  if (volume.RegionFound()) {
    const ExfatGeometry& g = volume.Geometry();
    const ExfatLayout layout = LayoutInSectors(g, bps);
    if (layout.Valid() && layout.heapOffset == record.dataStart &&
        uint64_t{layout.sectorsPerCluster} * bps == record.clusterBytes) {
      const uint32_t active = (g.volumeFlags & 1) && g.numberOfFats == 2 ? 1 : 0;
      t.byteOffset = startByte + (uint64_t{g.fatOffset} + uint64_t{active} * g.fatLength) * g.bytesPerSector;
      t.entries = uint64_t{g.clusterCount} + 2;
      t.found = true;
      return t;
    }
  }
  // Else the table's first entries, the media descriptor and an end mark
  // (F8 FF FF FF FF FF FF FF), at the start of a sector before the heap.
  const uint64_t limit = std::min<uint64_t>(heapByte, startByte + kMaxTableSearchBytes);
  std::vector<uint8_t> piece(kIoPieceBytes);
  for (uint64_t at = startByte + 512; at < limit && !t.found; at += piece.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), limit - at));
    if (!ReadExfatBytes(m_source, bps, at, n, piece.data())) continue;
    for (size_t off = 0; off + 8 <= n; off += 512) {
      if (piece[off] != 0xF8 ||
          !std::all_of(piece.begin() + static_cast<ptrdiff_t>(off) + 1,
                       piece.begin() + static_cast<ptrdiff_t>(off) + 8, [](uint8_t b) { return b == 0xFF; }))
        continue;
      t.byteOffset = at + off;
      const uint64_t clusters = static_cast<uint64_t>((end - heap) * bps / record.clusterBytes);
      t.entries = std::min<uint64_t>(clusters + 2, (heapByte - t.byteOffset) / 4);
      t.found = true;
      break;
    }
  }
  return t;
}

bool CDeepExfatRecovery::TableEntry(const ChainTable& table, uint32_t cluster, uint32_t& value) {
  if (cluster >= table.entries) return false;
  uint8_t bytes[4];
  const uint64_t at = table.byteOffset + uint64_t{cluster} * 4;
  const uint64_t sector = at / m_bytesPerSector;
  if (sector != m_tableSector) {
    m_tableSector = UINT64_MAX;
    m_tableBytes.resize(m_bytesPerSector);
    uint32_t got = 0;
    if (ReadSectors(1, m_source, m_tableBytes.data(), sector, m_bytesPerSector, got) != kOk || got != 1)
      return false;
    m_tableSector = sector;
  }
  std::copy_n(m_tableBytes.begin() + static_cast<ptrdiff_t>(at % m_bytesPerSector), 4, bytes);
  value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
  return true;
}

std::vector<uint32_t> CDeepExfatRecovery::SurvivingChain(const FoundRecord& record) {
  // A chain is taken only when it is whole: every cluster on the medium,
  // no loop, and an end mark right after as many clusters as the size
  // needs. A quick format's empty table, or entries a later file reused,
  // leave the consecutive clusters.
  std::vector<uint32_t> chain;
  if (record.clusterBytes == 0 || record.size == 0) return chain;
  const uint64_t count = (record.size + record.clusterBytes - 1) / record.clusterBytes;
  if (count > ExfatVolume::kMaxListClusters) return chain;
  const ChainTable& table = TableFor(record);
  if (!table.found) return chain;
  std::unordered_set<uint32_t> seen;
  uint32_t cluster = record.key;
  while (true) {
    if (!OnMedium(record, cluster) || !seen.insert(cluster).second) return {};
    chain.push_back(cluster);
    uint32_t next = 0;
    if (!TableEntry(table, cluster, next)) return {};
    if (chain.size() == count) return next >= kChainEnd ? chain : std::vector<uint32_t>{};
    cluster = next;
  }
}

int32_t CDeepExfatRecovery::WriteOneFile(const FoundRecord& record, const std::string& path) {
  return RecoverToFile(path, record, m_fileCallback, m_userData,
                       [&](OutputSink& sink, auto report) { return CopyData(record, sink, report); });
}

int32_t CDeepExfatRecovery::RecoverItem(const FoundRecord& record, const std::string& destination,
                                        int32_t rootDepth) {
  if (!record.isFolder) return WriteOneFile(record, destination);
  return RecoverFolderTree(
      *this, record, destination, rootDepth,
      [this](const FoundRecord& file, const std::string& path) { return WriteOneFile(file, path); });
}

int32_t CDeepExfatRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath,
                                              uint8_t* memory, uint32_t& byteCount,
                                              PreviewProgressCallback callback, void* userData) {
  return ExtractToPreview(record, outPath, memory, byteCount, callback, userData,
                          [&](OutputSink& sink, auto report) { return CopyData(record, sink, report); });
}

}  // namespace velmira
