// Opening, the $MFT sweep, record processing, the ancestor walk, progress and
// the scan-log queries of the fast NTFS scan. Reading data back (recovery,
// preview, the content check) is in fast_ntfs_recovery_data.cpp.
#include "engines/ntfs/fast_ntfs_recovery.h"

#include <algorithm>

#include "engines/boot_sector_read.h"
#include "engines/logged_results.h"
#include "engines/ntfs/ntfs_layout_check.h"
#include "engines/ntfs/ntfs_record_walk.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/time_util.h"
#include "results/scan_log_names.h"

namespace velmira {
namespace {

constexpr uint32_t kBootBytes = 4096;
constexpr uint32_t kRootRecord = 5;
constexpr uint32_t kLastSystemRecord = 11;
// The ancestor walk of one folder stops after this many folders: no real
// path is that deep, and a damaged chain must not make every file walk it.
constexpr uint32_t kMaxFolderDepth = 1024;
// Of a non-resident attribute list, this much is read to find a file's size.
constexpr uint64_t kListReadBytes = 64 * 1024;

}  // namespace

CFastNtfsRecovery::CFastNtfsRecovery() = default;

CFastNtfsRecovery::~CFastNtfsRecovery() = default;

DirectoryKey CFastNtfsRecovery::RootKey() const {
  return MakeDirectoryKey(0, kRootRecord);
}

int32_t CFastNtfsRecovery::Open(const PartitionLocator& target) {
  if (m_opened) return kOk;
  OpenedTarget opened;
  int32_t err = OpenTargetSource(target, m_source, opened);
  if (err != kOk) return err;
  m_opened = true;
  const uint64_t sourceBytes = opened.sourceBytes;
  // The first read uses the drive's sector size; the volume's own comes
  // from its boot sector.
  const uint32_t driveSectorSize = opened.bytesPerSector;
  uint64_t startByte = 0;
  if (__builtin_mul_overflow(opened.startSector, uint64_t{driveSectorSize}, &startByte))
    return kErrInvalidParameter;
  m_sourceKey = opened.sourceKey;

  // A boot sector that cannot be read is taken from its backup in the
  // volume's last sector.
  std::vector<uint8_t> boot;
  uint64_t bootFrom = 0;
  const bool found =
      ReadVolumeBootSector(m_source, opened.startSector, target.IsImage() ? 0 : opened.sectorCount,
                           driveSectorSize, kBootBytes, boot, bootFrom);
  if (!found) {
    // No boot sector anywhere: a first sector that cannot be read fails the
    // open as a read error, one that reads fails below as no volume.
    std::vector<uint8_t> first(driveSectorSize);
    if (ReadSectorsEach(m_source, opened.startSector, 1, driveSectorSize, first.data()) != 0)
      return kErrReadFault;
  }

  const ByteView view(boot.data(), boot.size());
  const uint32_t bps = view.U16At(0x0B) == 0 ? 512u : view.U16At(0x0B);
  if (bps % 512 != 0 || startByte % bps != 0) return kErrInvalidParameter;
  uint64_t lengthBytes = 0;
  if (target.IsImage()) {
    lengthBytes = sourceBytes;
  } else if (__builtin_mul_overflow(target.sectorCount, uint64_t{driveSectorSize}, &lengthBytes)) {
    return kErrInvalidParameter;
  }
  err = NtfsGeometryFromBootSector(view, startByte / bps, lengthBytes / bps, m_geometry);
  if (err != kOk) return err;
  m_bootSector = boot;
  // Every later read counts in the volume's sectors.
  m_source.sectorCount = sourceBytes / bps;
  // An $MFT that cannot be read leaves the run list empty: the scan then
  // finds nothing, which is not an error of the open.
  (void)ReadMftRunMap(m_source, m_geometry, m_mftRuns);  // see above
  return kOk;
}

bool CFastNtfsRecovery::LayoutHolds() const {
  if (m_bootSector.empty()) return false;
  return NtfsLayoutHolds(m_source, m_geometry, ByteView(m_bootSector.data(), m_bootSector.size()));
}

int32_t CFastNtfsRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                                FileProgressCallback fileCallback, void* userData,
                                                int32_t scale) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = scale;
  return kOk;
}

int32_t CFastNtfsRecovery::Report(uint64_t done, uint64_t total) {
  if (m_scanCallback == nullptr) return 0;
  const auto percent =
      static_cast<int32_t>(total == 0 ? 100 : static_cast<unsigned __int128>(done) * 100 / total);
  const uint64_t now = TickCountMs();
  if (m_scale == 100 && now - m_lastEstimate >= m_reportIntervalMs) {
    m_lastEstimate = now;
    const uint64_t seconds = std::max<uint64_t>((now - m_scanStart) / 1000, 1);
    const auto speed = static_cast<unsigned __int128>(done) * m_geometry.bytesPerSector / seconds;
    if (speed != 0 && total >= done) {
      const auto left = static_cast<unsigned __int128>(total - done) * m_geometry.bytesPerSector / speed;
      m_secondsLeft = static_cast<int32_t>(std::min<unsigned __int128>(left, INT32_MAX));
    }
  }
  return m_scanCallback(m_userData, percent, m_scale, m_secondsLeft, 0, 0, 0, 0);
}

int32_t CFastNtfsRecovery::Scan(const std::string& scanLogPath) {
  m_directories.clear();
  m_directorySet.clear();
  m_links.clear();
  m_chains.clear();
  NewLog();
  if (!scanLogPath.empty()) return m_store->OpenLog(scanLogPath);
  if (!m_opened || m_geometry.sectorsPerCluster == 0) return m_opened ? kErrInvalidData : kErrInvalidHandle;

  int32_t err =
      m_store->OpenNewLog(ScanLogName(ScanLogKind::kFast, static_cast<int64_t>(m_geometry.partitionStart)));
  if (err != kOk) return err;

  uint64_t total = 0;
  for (const DataRun& run : m_mftRuns) {
    uint64_t sectors = 0;
    if (__builtin_mul_overflow(run.length, uint64_t{m_geometry.sectorsPerCluster}, &sectors) ||
        __builtin_add_overflow(total, sectors, &total))
      total = UINT64_MAX;
  }
  // One chunk of 1,024 records, or the whole $MFT when it is smaller.
  const uint64_t mftBytes =
      total > UINT64_MAX / m_geometry.bytesPerSector ? UINT64_MAX : total * m_geometry.bytesPerSector;
  m_sweepBuffer.assign(static_cast<size_t>(std::min<uint64_t>(m_geometry.chunkSize, mftBytes)), 0);
  m_scanStart = TickCountMs();
  m_lastEstimate = m_scanStart;
  m_secondsLeft = -1;
  uint64_t done = 0;
  m_unreadSectors = 0;
  int32_t result = Sweep(total, done);
  // A log that failed a write during the folder pass ends it; FlushedWhole
  // gives its error.
  if (result == kOk) result = DirectoryPass().Code();
  // A log that could not be written whole fails the scan, even a stopped one.
  if (const int32_t err = FlushedWhole(*m_store); err != kOk) return err;
  if (result == kOk && m_scanCallback != nullptr)
    result = m_scanCallback(m_userData, 100, m_scale, 0, 0, 0, 0, 0);
  return result;
}

int32_t CFastNtfsRecovery::Sweep(uint64_t total, uint64_t& done) {
  const NtfsGeometry& g = m_geometry;
  const uint32_t bps = g.bytesPerSector;
  const auto chunkSectors = static_cast<uint32_t>(m_sweepBuffer.size() / bps);
  if (chunkSectors == 0) return kOk;
  const uint64_t volumeClusters = g.partitionLength / g.sectorsPerCluster;
  uint64_t position = 0;  // sectors of the $MFT before the current run
  for (const AbsoluteRun& run : ToAbsoluteRuns(m_mftRuns)) {
    uint64_t runSectors = 0;
    uint64_t first = 0;
    if (__builtin_mul_overflow(run.length, uint64_t{g.sectorsPerCluster}, &runSectors)) return kOk;
    // A run without clusters, or one that lies outside the volume, cannot
    // hold the volume's records: it is passed over, not read elsewhere.
    const bool readable = run.valid && !run.sparse && run.firstCluster <= volumeClusters &&
                          run.length <= volumeClusters - run.firstCluster &&
                          ClusterToSector(g, static_cast<int64_t>(run.firstCluster), first);
    if (!readable) {
      done += runSectors;
      position += runSectors;
      continue;
    }
    for (uint64_t offset = 0; offset < runSectors;) {
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, runSectors - offset));
      uint32_t got = 0;
      const int32_t err = ReadSectors(count, m_source, m_sweepBuffer.data(), first + offset, bps, got);
      const uint32_t records = count / g.sectorsPerRecord;
      // A chunk that cannot be read whole is read again record by record:
      // only the records that cannot be read are lost, and counted.
      std::vector<bool> unread;
      if (err != kOk) {
        unread.assign(records, false);
        for (uint32_t r = 0; r < records; ++r) {
          const uint64_t within = uint64_t{r} * g.sectorsPerRecord;
          uint32_t one = 0;
          if (ReadSectors(g.sectorsPerRecord, m_source, m_sweepBuffer.data() + within * bps,
                          first + offset + within, bps, one) != kOk) {
            unread[r] = true;
            m_unreadSectors += g.sectorsPerRecord;
          }
        }
      }
      for (uint32_t r = 0; r < records; ++r) {
        if (!unread.empty() && unread[r]) continue;
        const uint64_t within = uint64_t{r} * g.sectorsPerRecord;
        const std::span<uint8_t> bytes(m_sweepBuffer.data() + within * bps, g.recordSize);
        // Only records that are neither in use nor folders are processed.
        if (ByteView(bytes.data(), bytes.size()).U16At(kNtfsRecFlags) != 0) continue;
        const uint64_t sector = first + offset + within;
        const uint32_t number = SweepRecordNumber(ByteView(bytes.data(), bytes.size()),
                                                  (position + offset + within) / g.sectorsPerRecord, sector);
        // A record that is no file record is passed over; a log that failed
        // a write ends the sweep.
        const Status processed = ProcessRecord(bytes, number, sector, Mode::kSweep);
        if (processed.IsFatal()) return processed.Code();
      }
      offset += count;
      done += count;
      if (const int32_t err = m_store->WriteError(); err != kOk) return err;
      if (int32_t answer = Report(done, total)) return answer;
    }
    position += runSectors;
  }
  return kOk;
}

uint32_t CFastNtfsRecovery::SweepRecordNumber(ByteView record, uint64_t position, uint64_t sector) const {
  // The header names the record; a header whose number leads elsewhere (an
  // old format, or damage) gives way to the record's place in the $MFT.
  const uint32_t stated = record.U32At(kNtfsRecNumber);
  if (stated == position || RecordToSector(m_geometry, m_mftRuns, stated) == sector) return stated;
  return static_cast<uint32_t>(std::min<uint64_t>(position, UINT32_MAX));
}

int32_t CFastNtfsRecovery::ReadRecord(uint64_t sector, std::vector<uint8_t>& record) const {
  record.assign(m_geometry.recordSize, 0);
  uint32_t got = 0;
  return ReadSectors(m_geometry.sectorsPerRecord, m_source, record.data(), sector, m_geometry.bytesPerSector,
                     got);
}

Status CFastNtfsRecovery::DirectoryPass() {
  std::vector<uint8_t> record;
  // Processing a folder can meet new ones above it; the list only grows by
  // numbers not yet in it.
  for (size_t i = 0; i < m_directories.size(); ++i) {
    const uint32_t number = m_directories[i];
    // A folder whose record cannot be read becomes a lost folder: the bytes
    // left from an earlier read are never taken for it.
    if (ReadRecord(RecordToSector(m_geometry, m_mftRuns, number), record) != kOk) {
      WriteLostFolder(number);
      continue;
    }
    // A record that is no folder any more became a lost folder (a skip).
    const Status processed =
        ProcessRecord(record, number, RecordToSector(m_geometry, m_mftRuns, number), Mode::kDirectory);
    if (processed.IsFatal()) return processed;
  }
  if (const int32_t err = m_store->WriteError(); err != kOk)
    return Status::Fatal(err, "the scan log failed a write");
  return Status::Ok();
}

Status CFastNtfsRecovery::ProcessRecord(std::span<uint8_t> bytes, uint32_t number, uint64_t sector,
                                        Mode mode) {
  const bool fileRecord = HasFileSignature(ByteView(bytes.data(), bytes.size()));
  ListRecord(bytes, number, sector, mode);
  if (const int32_t err = m_store->WriteError(); err != kOk)
    return Status::Fatal(err, "the scan log failed a write");
  return fileRecord ? Status::Ok() : Status::Skip(kNtfsNotFileRecord, "no file record");
}

void CFastNtfsRecovery::ListRecord(std::span<uint8_t> bytes, uint32_t number, uint64_t sector, Mode mode) {
  const NtfsGeometry& g = m_geometry;
  const bool directoryMode = mode == Mode::kDirectory;
  if (!HasFileSignature(ByteView(bytes.data(), bytes.size()))) {
    if (directoryMode) WriteLostFolder(number);
    return;
  }
  const uint16_t flags = ByteView(bytes.data(), bytes.size()).U16At(kNtfsRecFlags);
  // A folder whose record now holds something else: its files are kept in
  // a lost folder named after the number.
  if (directoryMode && (flags & kNtfsFlagDirectory) == 0) {
    WriteLostFolder(number);
    return;
  }
  // A record whose sectors do not carry its update sequence number was torn:
  // its data is doubtful.
  const bool torn = !FixupMatches(ByteView(bytes.data(), bytes.size()), g.fixupCount, g.fixupStride);
  ApplyFixup(bytes, g.fixupCount, g.fixupStride);
  const ByteView record(bytes.data(), bytes.size());
  const size_t limit = NtfsRecordWalkLimit(record);

  FoundRecord found = MakeFoundRecord();
  bool built = false;
  bool unnamedData = false;
  uint32_t parent = 0;
  ByteView list;
  bool hasList = false;
  NtfsAttributeWalk walk(record, limit, kNtfsRecordWalkFlags);
  NtfsStandardTimes standard;
  bool hasStandard = false;
  while (walk.Next()) {
    ByteView attr;
    if (!NtfsCurrentAttribute(walk, record, limit, attr)) break;
    if (walk.type() == kNtfsAttrStandardInformation) {
      hasStandard = hasStandard || ReadStandardTimes(attr, standard);
      continue;
    }
    if (walk.type() == kNtfsAttrAttributeList && !hasList) {
      hasList = true;
      list = attr;
    } else if (walk.type() == kNtfsAttrFileName) {
      if (number <= kLastSystemRecord) continue;
      NtfsFileName name;
      if (!ReadFileNameValue(attr, name)) continue;
      if (!built) {
        built = true;
        parent = name.parent;
        found.sourceKey = m_sourceKey;
        found.engineTag = kTagFastNtfs;
        found.isFolder = directoryMode ? 1 : 0;
        found.contentOk = 1;
        found.key = number;
        found.clusterBytes = g.sectorsPerCluster * g.bytesPerSector;
        found.created = name.created;
        found.accessed = name.accessed;
        found.modified = name.modified;
        found.size = name.dataSize;
        found.entrySector = sector;
        found.partitionStart = g.partitionStart;
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
    // A folder without a usable name still holds files: keep them reachable.
    if (directoryMode && number > kLastSystemRecord) WriteLostFolder(number);
    return;
  }
  // The times the system keeps up to date, where the record holds them.
  if (hasStandard) {
    if (standard.created != 0) found.created = standard.created;
    if (standard.modified != 0) found.modified = standard.modified;
    if (standard.accessed != 0) found.accessed = standard.accessed;
  }
  if (!directoryMode) {
    // The name's size goes stale once data is written; when the $DATA lives
    // in another record, its size is taken from there.
    if (!unnamedData && hasList) {
      const uint64_t size = DataSizeThroughList(list, number);
      if (size != UINT64_MAX) found.size = size;
    }
    if (torn) {
      // Listed only while its runs still lie inside the volume, and never
      // as sound.
      if (!RunsPlausible(record, sector, hasList)) return;
      found.contentOk = 0;
    } else {
      found.contentOk = ContentLooksRight(record, sector, RecordName(found), hasList) ? 1 : 0;
    }
    // Encrypted data cannot be read back as the file was.
    if (DataFormOf(record).encrypted) found.contentOk = 0;
  }
  const uint32_t depth = CollectAncestors(parent);
  Store(found, depth, parent);
}

void CFastNtfsRecovery::Store(FoundRecord& record, uint32_t depth, uint32_t parent) {
  FoundRecord* slot = m_store->AppendRecord();
  record.recordNumber = slot->recordNumber;
  *slot = record;
  m_store->AddRelation(MakeDirectoryKey(depth, parent), record.recordNumber, record.key,
                       record.isFolder ? record.name : nullptr);
}

void CFastNtfsRecovery::WriteLostFolder(uint32_t number) {
  FoundRecord folder = MakeFoundRecord();
  folder.sourceKey = m_sourceKey;
  folder.engineTag = kTagFastNtfs;
  folder.isFolder = 1;
  folder.contentOk = 1;
  folder.key = number;
  folder.clusterBytes = kNoClusterBytes;
  SetRecordName(folder, "LostFolder" + std::to_string(number));
  Store(folder, 0, kRootRecord);
}

uint64_t CFastNtfsRecovery::DataSizeThroughList(ByteView listAttribute, uint32_t number) {
  // The list's entries: the resident value (at 0x18), or the first piece of
  // a non-resident one.
  std::vector<uint8_t> bytes;
  ByteView value;
  if (listAttribute.U8At(kNtfsAttNonResident) == 0) {
    constexpr size_t kValue = 0x18;
    const size_t end =
        std::min<size_t>(listAttribute.size(), kValue + size_t{listAttribute.U32At(kNtfsAttValueLength)});
    value = listAttribute.Sub(kValue, end > kValue ? end - kValue : 0);
  } else {
    std::vector<DataRun> runs;
    DecodeRunList(listAttribute, m_geometry, runs);
    const std::vector<AbsoluteRun> absolute = ToAbsoluteRuns(runs);
    uint64_t first = 0;
    if (absolute.empty() || !absolute[0].valid || absolute[0].sparse ||
        !ClusterToSector(m_geometry, static_cast<int64_t>(absolute[0].firstCluster), first))
      return UINT64_MAX;
    const uint64_t wanted =
        std::min<uint64_t>({listAttribute.U64At(kNtfsAttDataSize), kListReadBytes,
                            std::min(absolute[0].length, kListReadBytes) * m_geometry.sectorsPerCluster *
                                m_geometry.bytesPerSector});
    const auto sectors =
        static_cast<uint32_t>((wanted + m_geometry.bytesPerSector - 1) / m_geometry.bytesPerSector);
    bytes.assign(size_t{sectors} * m_geometry.bytesPerSector, 0);
    uint32_t got = 0;
    if (sectors == 0 ||
        ReadSectors(sectors, m_source, bytes.data(), first, m_geometry.bytesPerSector, got) != kOk)
      return UINT64_MAX;
    value = ByteView(bytes.data(), static_cast<size_t>(wanted));
  }
  for (size_t off = 0; off + 0x1A <= value.size();) {
    const uint32_t type = value.U32At(off);
    const uint16_t length = value.U16At(off + 4);
    if (type == 0 || type == kNtfsAttrEnd || length == 0) break;
    if (type == kNtfsAttrData && value.U8At(off + 6) == 0 && value.U64At(off + 8) == 0) {
      const uint64_t target = value.U64At(off + 0x10) & 0xFFFFFFFFFFFFull;
      if (target == number || target > UINT32_MAX) return UINT64_MAX;
      std::vector<uint8_t> other;
      if (ReadRecord(RecordToSector(m_geometry, m_mftRuns, target), other) != kOk ||
          !HasFileSignature(ByteView(other.data(), other.size())))
        return UINT64_MAX;
      ApplyFixup(other, m_geometry.fixupCount, m_geometry.fixupStride);
      const ByteView extension(other.data(), other.size());
      const size_t limit = NtfsRecordWalkLimit(extension);
      NtfsAttributeWalk walk(extension, limit, kNtfsRecordWalkFlags);
      while (walk.Next()) {
        ByteView attr;
        if (!NtfsCurrentAttribute(walk, extension, limit, attr)) break;
        if (walk.type() != kNtfsAttrData || attr.U8At(kNtfsAttNameLength) != 0) continue;
        if (attr.U8At(kNtfsAttNonResident) == 0) return attr.U32At(kNtfsAttValueLength);
        if (attr.U64At(kNtfsAttLowestVcn) == 0 && attr.size() > kNtfsAttDataSize)
          return attr.U64At(kNtfsAttDataSize);
      }
      return UINT64_MAX;
    }
    off += length;
  }
  return UINT64_MAX;
}

void CFastNtfsRecovery::NoteDirectory(uint32_t number) {
  if (m_directorySet.insert(number).second) m_directories.push_back(number);
}

CFastNtfsRecovery::ParentLink CFastNtfsRecovery::LinkOf(uint32_t number) {
  auto known = m_links.find(number);
  if (known != m_links.end()) return known->second;
  ParentLink link;
  std::vector<uint8_t> bytes;
  if (ReadRecord(RecordToSector(m_geometry, m_mftRuns, number), bytes) == kOk &&
      HasFileSignature(ByteView(bytes.data(), bytes.size()))) {
    ApplyFixup(bytes, m_geometry.fixupCount, m_geometry.fixupStride);
    const ByteView record(bytes.data(), bytes.size());
    if (record.U16At(kNtfsRecFlags) & kNtfsFlagDirectory) {
      if (const std::optional<uint32_t> parent =
              NtfsParentOf(record, NtfsRecordWalkLimit(record), kNtfsRecordWalkFlags)) {
        link.follow = true;
        link.parent = *parent;
      }
    }
  }
  m_links.emplace(number, link);
  return link;
}

uint32_t CFastNtfsRecovery::CollectAncestors(uint32_t parent) {
  // The depth is the number of folders from `parent` up to the root, the
  // first folder that cannot be followed included. The walk from a folder
  // depends on that folder alone, so its result is kept; a folder met on a
  // walk that ended without a cycle has its own depth known as well.
  if (parent == kRootRecord) return 0;
  auto known = m_chains.find(parent);
  if (known != m_chains.end()) return known->second.depth;

  std::vector<uint32_t> path;
  std::unordered_set<uint32_t> visited;
  uint32_t tail = 0;
  bool exact = true;
  for (uint32_t p = parent; p != kRootRecord;) {
    auto chain = m_chains.find(p);
    if (chain != m_chains.end() && chain->second.exact) {
      tail = chain->second.depth;
      break;
    }
    if (path.size() >= kMaxFolderDepth) {
      exact = false;
      break;
    }
    visited.insert(p);
    path.push_back(p);
    NoteDirectory(p);
    const ParentLink link = LinkOf(p);
    if (!link.follow) break;
    if (visited.count(link.parent) != 0) {
      exact = false;
      break;
    }
    p = link.parent;
  }
  const auto depth = static_cast<uint32_t>(path.size()) + tail;
  if (exact) {
    for (size_t i = 0; i < path.size(); ++i)
      m_chains[path[i]] = ChainLength{depth - static_cast<uint32_t>(i), true};
  } else {
    m_chains[parent] = ChainLength{depth, false};
  }
  return depth;
}

int32_t CFastNtfsRecovery::LoadAllocationMap() {
  // A volume bitmap that cannot be read is reported: nothing is known about
  // the free space then, and a sweep of it must read the whole volume.
  if (!m_opened || m_geometry.sectorsPerCluster == 0) return kErrInvalidData;
  return LoadVolumeBitmap(m_source, m_geometry, m_mftRuns, m_bitmap);
}

int32_t CFastNtfsRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
  velmira::NextFreeExtent(m_geometry, m_bitmap, position, length);
  return 1;
}

}  // namespace velmira
