// Opening, record processing, $MFT placement, the ancestor walk, the folder
// pass and the scan-log queries of the deep NTFS scan. Reading data back is
// in deep_ntfs_recovery_data.cpp.
#include "engines/ntfs/deep_ntfs_recovery.h"

#include <algorithm>

#include "engines/logged_results.h"
#include "engines/ntfs/ntfs_record_walk.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "results/scan_log_names.h"

namespace velmira {
namespace {

constexpr uint32_t kBootBytes = 4096;
constexpr uint32_t kRootRecord = 5;
constexpr uint32_t kLastSystemRecord = 11;
constexpr uint32_t kMaxFolderDepth = 1024;
// The largest cluster NTFS knows (2 MiB); a file suggesting more is damaged.
constexpr uint64_t kMaxEstimateBytes = 2 * 1024 * 1024;

// The walk of the deep engine: stops at type 0, exactly 0xFDFDFDFD and a
// length of 0, stepping by the signed 16-bit length.
constexpr uint32_t kDeepWalkFlags = kWalkStopAtTypeZero | kWalkStopAtFill | kWalkLength16Signed;

// The header check: bytes in use and the first attribute inside the record,
// the first attribute not past the bytes in use.
bool HeaderFits(ByteView record, uint32_t recordSize) {
  const uint32_t inUse = record.U32At(kNtfsRecBytesInUse);
  const uint32_t first = record.U16At(kNtfsRecFirstAttribute);
  return inUse <= recordSize && first <= recordSize && first <= inUse;
}

}  // namespace

uint32_t ClusterEstimateForVolume(uint64_t sectorCount, uint32_t bytesPerSector) {
  const uint64_t bps = bytesPerSector == 0 ? 512 : bytesPerSector;
  const auto mib = static_cast<uint64_t>(static_cast<unsigned __int128>(sectorCount) * bps / 1048576);
  const uint64_t u = std::max<uint64_t>(bps / 512, 1);
  if (mib <= 7 * u) return 8;
  if (mib <= 512 * u) return 1;
  if (mib <= 1024 * u) return 2;
  if (mib <= 2048 * u) return 4;
  return 8;
}

CDeepNtfsRecovery::CDeepNtfsRecovery() = default;

CDeepNtfsRecovery::~CDeepNtfsRecovery() = default;

DirectoryKey CDeepNtfsRecovery::RootKey() const {
  return MakeDirectoryKey(0, kRootRecord);
}

int32_t CDeepNtfsRecovery::Open(const PartitionLocator& target) {
  return m_opened ? kOk : OpenThroughSource(target);
}

int32_t CDeepNtfsRecovery::OpenSource(SectorSource source, uint64_t partitionStart, uint64_t sectorCount,
                                      uint16_t sourceKey, uint32_t bytesPerSector) {
  if (!IsSectorSize(bytesPerSector)) return kErrInvalidParameter;
  CloseSource(m_source);
  m_source = std::move(source);
  m_opened = true;
  m_sourceKey = sourceKey;
  m_geometry = NtfsGeometry{};
  SetNtfsRecordGeometry(m_geometry, bytesPerSector);
  m_geometry.partitionStart = partitionStart;
  m_geometry.partitionLength = sectorCount;
  m_clusterEstimate = ClusterEstimateForVolume(sectorCount, bytesPerSector);
  m_geometry.sectorsPerCluster = m_clusterEstimate;
  ReadBootMap();
  return kOk;
}

void CDeepNtfsRecovery::ReadBootMap() {
  const NtfsGeometry& g = m_geometry;
  const uint32_t sectors = std::max<uint32_t>(kBootBytes / g.bytesPerSector, 1);
  std::vector<uint8_t> boot(size_t{sectors} * g.bytesPerSector, 0);
  uint32_t got = 0;
  if (ReadSectors(sectors, m_source, boot.data(), g.partitionStart, g.bytesPerSector, got) != kOk) return;
  m_maps.clear();
  const ByteView view(boot.data(), boot.size());
  if (!IsNtfsBootSector(view.Sub(0, 512))) return;
  // The record size the volume was formatted with, when the boot sector
  // states one the reads can hold (the sector size may differ from the
  // volume's when an image is read in another size).
  SetNtfsRecordSize(m_geometry, NtfsRecordSizeFromBootSector(view));
  NtfsGeometry fromBoot;
  if (NtfsGeometryFromBootSector(view, g.partitionStart, g.partitionLength, fromBoot) != kOk) return;
  std::vector<DataRun> runs;
  if (ReadRecordRuns(fromBoot.mftSector, runs) == kOk && !runs.empty()) m_maps[fromBoot.mftSector] = runs;
}

int32_t CDeepNtfsRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                                FileProgressCallback fileCallback, void* userData,
                                                int32_t scale) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = scale;
  return kOk;
}

int32_t CDeepNtfsRecovery::Scan(const std::string&) {
  return kOk;
}
int32_t CDeepNtfsRecovery::LoadAllocationMap() {
  return kOk;
}
int32_t CDeepNtfsRecovery::NextFreeExtent(uint64_t&, uint64_t&) {
  return kOk;
}

int32_t CDeepNtfsRecovery::BeginDeepNtfsLog(const std::string& logName) {
  m_directories.clear();
  m_directorySet.clear();
  m_links.clear();
  NewLog();
  if (!logName.empty()) return m_store->OpenLog(logName);
  return m_store->OpenNewLog(
      ScanLogName(ScanLogKind::kDeepNtfs, static_cast<int64_t>(m_geometry.partitionStart)));
}

int32_t CDeepNtfsRecovery::ReadRecordRuns(uint64_t sector, std::vector<DataRun>& runs) {
  std::vector<uint8_t> window;
  int32_t err = ReadRecordWindow(m_source, m_geometry, sector, window);
  if (err != kOk) return err;
  const ByteView raw(window.data(), window.size());
  if (!HasFileSignature(raw)) return kNtfsNotFileRecord;
  std::span<uint8_t> bytes(window.data(), m_geometry.recordSize);
  ApplyFixup(bytes, m_geometry.fixupCount, m_geometry.fixupStride);
  const ByteView record(window.data(), m_geometry.recordSize);
  if (record.U16At(kNtfsRecFirstAttribute) >= m_geometry.recordSize) return kErrInvalidParameter;
  NtfsAttributeWalk walk(record, record.size());
  while (walk.Next()) {
    if (walk.type() == kNtfsAttrAttributeList) return kErrInvalidParameter;
    if (walk.type() != kNtfsAttrData) continue;
    if (walk.offset() + walk.length() > record.size()) return kErrInvalidParameter;
    DecodeRunList(record.Sub(walk.offset(), walk.length()), m_geometry, runs);
    return kOk;
  }
  return kNtfsAttributeNotFound;
}

int32_t CDeepNtfsRecovery::ProcessFoundRecord(std::span<const uint8_t> record, uint64_t sector) {
  return SweepFoundRecord(record, sector).Code();
}

Status CDeepNtfsRecovery::SweepFoundRecord(std::span<const uint8_t> record, uint64_t sector) {
  if (!m_opened || record.size() < m_geometry.recordSize)
    return Status::Skip(kErrInvalidParameter, "shorter than a file record");
  std::vector<uint8_t> bytes(record.begin(), record.begin() + m_geometry.recordSize);
  return ProcessRecord(bytes, 0, sector, Mode::kSweep, nullptr);
}

void CDeepNtfsRecovery::ImproveClusterEstimate(ByteView record) {
  const uint32_t bps = m_geometry.bytesPerSector;
  if (!HasFileSignature(record) || record.U16At(kNtfsRecFirstAttribute) >= record.size()) return;
  NtfsAttributeWalk walk(record, record.size(), kWalkStopAtFill | kWalkStopAtAttributeList);
  while (walk.Next()) {
    if (walk.type() != kNtfsAttrData) continue;
    ByteView attr;
    if (!NtfsCurrentAttribute(walk, record, record.size(), attr)) return;
    if (attr.U8At(kNtfsAttNonResident) == 0) return;
    std::vector<DataRun> runs;
    DecodeRunList(attr, m_geometry, runs);
    uint64_t clusters = 0;
    for (const DataRun& run : runs)
      if (__builtin_add_overflow(clusters, run.length, &clusters)) return;
    if (clusters == 0) return;
    const uint64_t estimate = attr.U64At(kNtfsAttAllocatedSize) / bps / clusters;
    // Only a cluster size NTFS can have is believed: a power of two of at
    // most 2 MiB. Anything else is damage, and the estimate is never 0.
    if (estimate != 0 && (estimate & (estimate - 1)) == 0 && estimate * bps <= kMaxEstimateBytes)
      m_clusterEstimate = static_cast<uint32_t>(estimate);
    return;
  }
}

CDeepNtfsRecovery::Placement CDeepNtfsRecovery::PlaceRecord(uint32_t number, uint64_t sector) const {
  using Wide = __int128;
  const Wide c = std::max<uint32_t>(m_clusterEstimate, 1);
  const Wide t = Wide{number} * m_geometry.sectorsPerRecord;
  Placement placement;
  for (const auto& [k, runs] : m_maps) {
    if (runs.empty()) continue;
    const Wide firstDelta = Wide{runs[0].delta} * c;
    Wide start = 0;
    Wide deltas = 0;
    for (const DataRun& run : runs) {
      deltas += run.delta;
      const Wide length = Wide{run.length} * c;
      if (t >= start && t < start + length) {
        const Wide mapped = Wide{k} - firstDelta + deltas * c + (t - start);
        const Wide volumeStart = Wide{k} - firstDelta;
        if (mapped == Wide{sector} && volumeStart >= 0) {
          placement.runs = runs;
          placement.partitionStart =
              firstDelta == 0 ? m_geometry.partitionStart : static_cast<uint64_t>(volumeStart);
          placement.mapped = true;
          return placement;
        }
        break;
      }
      start += length;
    }
  }
  // No known $MFT puts the record there: its $MFT is taken to be contiguous
  // around it, in the volume that starts where this engine's does.
  placement.partitionStart = m_geometry.partitionStart;
  const Wide distance = Wide{sector} - t - Wide{m_geometry.partitionStart};
  DataRun run;
  run.length = 0;
  run.delta = static_cast<int64_t>(distance >= 0 ? distance / c : -((-distance + c - 1) / c));
  placement.runs.push_back(run);
  return placement;
}

uint64_t CDeepNtfsRecovery::LocateRecord(const std::vector<DataRun>& runs, uint64_t partitionStart,
                                         uint32_t estimate, uint32_t number) const {
  using Wide = __int128;
  const Wide c = std::max<uint32_t>(estimate, 1);
  const Wide t = Wide{number} * m_geometry.sectorsPerRecord;
  Wide start = 0;
  Wide cluster = 0;
  for (const DataRun& run : runs) {
    cluster += run.delta;
    const Wide length = Wide{run.length} * c;
    if (t >= start && (run.length == 0 || t < start + length)) {
      const Wide sector = Wide{partitionStart} + cluster * c + (t - start);
      // A run without end is bounded by the source: a sector outside it is
      // no place of a record.
      if (sector < 0 || sector >= Wide{m_source.sectorCount}) return partitionStart;
      return static_cast<uint64_t>(sector);
    }
    if (run.length == 0) break;
    start += length;
  }
  return partitionStart;
}

Status CDeepNtfsRecovery::ProcessRecord(std::vector<uint8_t>& bytes, uint32_t readFor, uint64_t sector,
                                        Mode mode, const Placement* placement) {
  const NtfsGeometry& g = m_geometry;
  const bool directoryMode = mode == Mode::kDirectory;
  const ByteView raw(bytes.data(), bytes.size());
  const uint32_t own = raw.U32At(kNtfsRecNumber);
  const uint16_t flags = raw.U16At(kNtfsRecFlags);
  if (!HasFileSignature(raw)) {
    if (directoryMode) WriteLostFolder(readFor != 0 ? readFor : own);
    return Status::Skip(kNtfsNotFileRecord, "no file record");
  }
  if (directoryMode) {
    // A folder whose record now holds something else (a file, or a record
    // of another number) keeps its files in a lost folder.
    if ((flags & kNtfsFlagDirectory) == 0 || (readFor != 0 && own != readFor)) {
      WriteLostFolder(readFor != 0 ? readFor : own);
      return Logged();
    }
  } else if (flags & kNtfsFlagDirectory) {
    return Logged();
  }
  // A record whose sectors do not carry its update sequence number was torn.
  const bool torn = !FixupMatches(ByteView(bytes.data(), std::min<size_t>(bytes.size(), g.recordSize)),
                                  g.fixupCount, g.fixupStride);
  ApplyFixup(bytes, g.fixupCount, g.fixupStride);
  const ByteView record(bytes.data(), bytes.size());
  if (!HeaderFits(record, g.recordSize)) {
    if (directoryMode) WriteLostFolder(readFor != 0 ? readFor : own);
    return Status::Skip(kErrInvalidParameter, "a damaged file record header");
  }
  const size_t limit = record.U32At(kNtfsRecBytesInUse);

  FoundRecord found = MakeFoundRecord();
  bool built = false;
  bool unnamedData = false;
  ByteView list;
  uint32_t parent = 0;
  Placement located;
  NtfsAttributeWalk walk(record, limit, kDeepWalkFlags);
  NtfsStandardTimes standard;
  bool hasStandard = false;
  while (walk.Next()) {
    ByteView attr;
    if (!NtfsCurrentAttribute(walk, record, limit, attr)) break;
    if (walk.type() == kNtfsAttrStandardInformation) {
      hasStandard = hasStandard || ReadStandardTimes(attr, standard);
      continue;
    }
    if (walk.type() == kNtfsAttrAttributeList && list.size() == 0) {
      list = attr;
    } else if (walk.type() == kNtfsAttrFileName) {
      NtfsFileName name;
      if (!ReadFileNameValue(attr, name)) continue;
      if (own == 0 && !built && AsciiCompareNoCase(name.name, "$MFT") == 0) {
        // Record 0 of an $MFT: its runs place the records of that $MFT.
        if (!directoryMode) {
          std::vector<DataRun> runs;
          if (ReadRecordRuns(sector, runs) == kOk && !runs.empty()) m_maps[sector] = std::move(runs);
        }
        return Logged();
      }
      if (own <= kLastSystemRecord) continue;
      if (!built) {
        built = true;
        parent = name.parent;
        ImproveClusterEstimate(record);
        found.sourceKey = m_sourceKey;
        found.engineTag = kTagDeepNtfs;
        found.isFolder = directoryMode ? 1 : 0;
        found.contentOk = 1;
        found.key = own;
        found.clusterBytes = m_clusterEstimate * g.bytesPerSector;
        found.created = name.created;
        found.accessed = name.accessed;
        found.modified = name.modified;
        found.size = name.dataSize;
        found.entrySector = sector;
        located = placement != nullptr ? *placement : PlaceRecord(own, sector);
        found.partitionStart = located.partitionStart;
        SetRecordName(found, name.name);
      } else if (name.nameSpace == 1) {
        SetRecordName(found, name.name);
      }
    } else if (walk.type() == kNtfsAttrData && built && attr.U8At(kNtfsAttNameLength) == 0) {
      unnamedData = true;
      if (attr.U8At(kNtfsAttNonResident) == 0)
        found.size = attr.U32At(kNtfsAttValueLength);
      else if (attr.size() > kNtfsAttDataSize)
        found.size = attr.U64At(kNtfsAttDataSize);
    }
  }
  if (!built) {
    if (directoryMode && own > kLastSystemRecord) WriteLostFolder(own);
    return Logged();
  }
  // The times the system keeps up to date, where the record holds them.
  if (hasStandard) {
    if (standard.created != 0) found.created = standard.created;
    if (standard.modified != 0) found.modified = standard.modified;
    if (standard.accessed != 0) found.accessed = standard.accessed;
  }
  if (!directoryMode && !unnamedData && list.size() != 0) {
    // The data lives in an extension record: its size is taken from there.
    NtfsGeometry volume = g;
    volume.sectorsPerCluster = m_clusterEstimate;
    volume.partitionStart = located.partitionStart;
    const uint64_t size =
        DataSizeThroughListAt(m_source, volume, LocatorFor(located, m_clusterEstimate), record, list);
    if (size != UINT64_MAX) found.size = size;
  }
  if (!directoryMode) {
    if (torn) {
      // Listed only while its runs still lie inside the source, and never
      // as sound.
      if (!RunsPlausible(record, found)) return Logged();
      found.contentOk = 0;
    } else {
      found.contentOk = ContentLooksRight(record, found) ? 1 : 0;
    }
    // Encrypted data cannot be read back as the file was.
    if (DataFormOf(record).encrypted) found.contentOk = 0;
  }
  const uint32_t depth = CollectAncestors(parent, located);
  Store(found, depth, parent);
  return Logged();
}

Status CDeepNtfsRecovery::Logged() const {
  const int32_t err = m_store ? m_store->WriteError() : kOk;
  return Status::FromCode(err, "the scan log could not be written");
}

void CDeepNtfsRecovery::Store(FoundRecord& record, uint32_t depth, uint32_t parent) {
  if (!m_store) return;
  FoundRecord* slot = m_store->AppendRecord();
  record.recordNumber = slot->recordNumber;
  *slot = record;
  m_store->AddRelation(MakeDirectoryKey(depth, parent), record.recordNumber, record.key,
                       record.isFolder ? record.name : nullptr);
}

void CDeepNtfsRecovery::WriteLostFolder(uint32_t number) {
  FoundRecord folder = MakeFoundRecord();
  folder.sourceKey = m_sourceKey;
  folder.engineTag = kTagDeepNtfs;
  folder.isFolder = 1;
  folder.contentOk = 1;
  folder.key = number;
  folder.clusterBytes = m_clusterEstimate * m_geometry.bytesPerSector;
  SetRecordName(folder, "LostFolder" + std::to_string(number));
  Store(folder, 0, kRootRecord);
}

CDeepNtfsRecovery::ParentLink CDeepNtfsRecovery::LinkOf(uint32_t number, uint64_t sector) {
  auto known = m_links.find(sector);
  if (known != m_links.end()) return known->second;
  ParentLink link;
  std::vector<uint8_t> window;
  if (ReadFileRecord(m_source, m_geometry, sector, window) == kOk) {
    const ByteView record(window.data(), m_geometry.recordSize);
    const uint32_t inUse = record.U32At(kNtfsRecBytesInUse);
    const uint32_t first = record.U16At(kNtfsRecFirstAttribute);
    if ((record.U16At(kNtfsRecFlags) & kNtfsFlagDirectory) && record.U32At(kNtfsRecNumber) == number &&
        inUse < m_geometry.recordSize && first < m_geometry.recordSize && first <= inUse) {
      if (const std::optional<uint32_t> parent = NtfsParentOf(record, inUse, kDeepWalkFlags)) {
        link.follow = true;
        link.parent = *parent;
      }
    }
  }
  m_links.emplace(sector, link);
  return link;
}

uint32_t CDeepNtfsRecovery::CollectAncestors(uint32_t parent, const Placement& placement) {
  uint32_t depth = 0;
  std::unordered_set<uint32_t> visited;
  for (uint32_t p = parent; p != kRootRecord && depth < kMaxFolderDepth;) {
    visited.insert(p);
    if (m_directorySet.insert(p).second)
      m_directories.push_back(DirectoryRef{p, m_clusterEstimate, placement.partitionStart, placement.runs});
    ++depth;
    const ParentLink link =
        LinkOf(p, LocateRecord(placement.runs, placement.partitionStart, m_clusterEstimate, p));
    if (!link.follow || visited.count(link.parent) != 0) break;
    p = link.parent;
  }
  return depth;
}

int32_t CDeepNtfsRecovery::FinishDeepNtfs() {
  int32_t readError = kOk;
  std::vector<uint8_t> window;
  // Listing a folder can meet new ones above it; the list only grows.
  for (size_t i = 0; i < m_directories.size(); ++i) {
    const DirectoryRef ref = m_directories[i];
    const uint64_t sector = LocateRecord(ref.runs, ref.partitionStart, ref.clusterEstimate, ref.number);
    const int32_t err = ReadRecordWindow(m_source, m_geometry, sector, window);
    if (err != kOk) {
      // One unreadable folder must not orphan the files of all the others.
      WriteLostFolder(ref.number);
      if (readError == kOk) readError = err;
      continue;
    }
    std::vector<uint8_t> bytes(window.begin(), window.begin() + m_geometry.recordSize);
    Placement placement;
    placement.runs = ref.runs;
    placement.partitionStart = ref.partitionStart;
    const uint32_t saved = m_clusterEstimate;
    m_clusterEstimate = ref.clusterEstimate;
    // A record that is not a readable folder became a lost folder (a skip):
    // that is an outcome, not a failure of the pass. A log that fails ends it.
    const Status status = ProcessRecord(bytes, ref.number, sector, Mode::kDirectory, &placement);
    m_clusterEstimate = saved;
    if (status.IsFatal()) return status.Code();
  }
  // A log that could not be written whole outweighs an unreadable folder.
  if (m_store) {
    if (const int32_t err = FlushedWhole(*m_store); err != kOk) return err;
  }
  return readError;
}

}  // namespace velmira
