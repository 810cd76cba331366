// Reading a file found by the deep NTFS scan back: the content check, the
// recovery of files and folder trees, and extraction for preview. The record
// is always read where it was found; its runs count clusters of the size and
// from the volume start stored in the found record.
#include <algorithm>
#include <deque>
#include <set>

#include "engines/carving/signature_table.h"
#include "engines/folder_tree_recovery.h"
#include "engines/ntfs/deep_ntfs_recovery.h"
#include "engines/ntfs/ntfs_record_walk.h"
#include "engines/ntfs/ntfs_run_copy.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/text.h"

namespace velmira {
namespace {

constexpr uint32_t kPieceBytes = 64 * 1024;

}  // namespace

NtfsRecordLocator CDeepNtfsRecovery::LocatorFor(const FoundRecord& found, NtfsGeometry& geometry) {
  const uint32_t bps = m_geometry.bytesPerSector;
  const uint32_t estimate = std::max<uint32_t>(found.clusterBytes / bps, 1);
  geometry = m_geometry;
  geometry.sectorsPerCluster = estimate;
  geometry.partitionStart = found.partitionStart;
  const uint32_t saved = m_clusterEstimate;
  m_clusterEstimate = estimate;
  const Placement placement = PlaceRecord(found.key, found.entrySector);
  m_clusterEstimate = saved;
  return LocatorFor(placement, estimate);
}

NtfsRecordLocator CDeepNtfsRecovery::LocatorFor(const Placement& placement, uint32_t estimate) const {
  return [this, runs = placement.runs, start = placement.partitionStart, estimate](uint64_t number) {
    // LocateRecord keeps the sector inside the source.
    if (number > UINT32_MAX) return start;
    return LocateRecord(runs, start, estimate, static_cast<uint32_t>(number));
  };
}

int32_t CDeepNtfsRecovery::DataOf(const FoundRecord& found, std::vector<uint8_t>& value,
                                  std::vector<DataRun>& runs) {
  const NtfsGeometry& g = m_geometry;
  std::vector<uint8_t> window;
  int32_t err = ReadFileRecord(m_source, g, found.entrySector, window);
  if (err != kOk) return err;
  const ByteView record(window.data(), g.recordSize);
  if (record.U16At(kNtfsRecFirstAttribute) >= g.recordSize) return kErrInvalidParameter;
  NtfsAttributeWalk walk(record, g.recordSize, kWalkStopAtFill);
  bool listTried = false;
  while (walk.Next()) {
    if (walk.type() == kNtfsAttrAttributeList && !listTried) {
      // The data may live in extension records: they are found through the
      // $MFT this record belongs to.
      listTried = true;
      if ((walk.length() & 0xFFFF) == 0 || walk.offset() + (walk.length() & 0xFFFF) > g.recordSize) continue;
      NtfsGeometry located;
      const NtfsRecordLocator locate = LocatorFor(found, located);
      std::vector<DataRun> listed;
      if (ResolveAttributeListAt(m_source, located, locate, record,
                                 record.Sub(walk.offset(), walk.length() & 0xFFFF), kNtfsAttrData,
                                 listed) == kOk &&
          !listed.empty()) {
        runs.insert(runs.end(), listed.begin(), listed.end());
        return kNtfsNoResidentData;
      }
      continue;
    }
    if (walk.type() != kNtfsAttrData) continue;
    if (walk.offset() + walk.length() > g.recordSize) return kErrInvalidParameter;
    const ByteView attr = record.Sub(walk.offset(), walk.length());
    if (attr.U8At(kNtfsAttNonResident) == 0) return ResidentDataOf(record, g, value, g.recordSize);
    DecodeRunList(attr, g, runs);
    return kNtfsNoResidentData;
  }
  return kNtfsAttributeNotFound;
}

bool CDeepNtfsRecovery::ContentLooksRight(ByteView record, const FoundRecord& found) {
  const std::string name = RecordName(found);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return true;
  const std::string extension = name.substr(dot + 1);
  if (FindRowByExtension(extension) == nullptr) return true;
  const NtfsGeometry& g = m_geometry;
  std::vector<uint8_t> data;
  const int32_t resident = ResidentDataOf(record, g, data, record.size());
  if (resident == kOk) {
    if (data.empty()) return false;
    return CheckContent(ByteView(data.data(), data.size()), extension, nullptr, g.bytesPerSector,
                        found.entrySector);
  }
  if (resident != kNtfsNoResidentData) return true;
  std::vector<uint8_t> value;
  std::vector<DataRun> runs;
  if (DataOf(found, value, runs) != kNtfsNoResidentData) return true;
  if (runs.empty() || runs[0].sparse) return true;
  // A first cluster before the volume or past the source's end, or a sector
  // that cannot be read, is content that could not be checked: not ok.
  if (runs[0].delta <= 0) return false;
  const uint64_t clusterSectors = found.clusterBytes / g.bytesPerSector;
  uint64_t first = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(runs[0].delta), clusterSectors, &first) ||
      __builtin_add_overflow(first, uint64_t{found.partitionStart}, &first) || first == 0)
    return false;
  if (const NtfsDataForm form = DataFormOf(record); form.compressed && clusterSectors != 0) {
    // The signature is in the decompressed data.
    const uint64_t clusterLimit = found.partitionStart < m_source.sectorCount
                                      ? (m_source.sectorCount - found.partitionStart) / clusterSectors
                                      : 0;
    std::vector<uint8_t> data;
    if (!FirstCompressedBytes(m_source, g.bytesPerSector, found.partitionStart, clusterSectors, clusterLimit,
                              runs, form.unitClusters, kPieceBytes, data))
      return false;
    return CheckContent(ByteView(data.data(), data.size()), extension, nullptr, g.bytesPerSector, first);
  }
  std::vector<uint8_t> bytes(g.bytesPerSector);
  uint32_t got = 0;
  if (ReadSectors(1, m_source, bytes.data(), first, g.bytesPerSector, got) != kOk || got == 0) return false;
  return CheckContent(ByteView(bytes.data(), bytes.size()), extension, &m_source, g.bytesPerSector, first);
}

bool CDeepNtfsRecovery::RunsPlausible(ByteView record, const FoundRecord& found) {
  const NtfsGeometry& g = m_geometry;
  const uint64_t clusterSectors = found.clusterBytes / g.bytesPerSector;
  if (clusterSectors == 0 || found.partitionStart > m_source.sectorCount) return false;
  const uint64_t clusterLimit = (m_source.sectorCount - found.partitionStart) / clusterSectors;
  const size_t limit = std::min<size_t>(record.U32At(kNtfsRecBytesInUse), record.size());
  NtfsAttributeWalk walk(record, limit, kWalkStopAtFill);
  while (walk.Next()) {
    if (walk.type() != kNtfsAttrData) continue;
    ByteView attr;
    if (!NtfsCurrentAttribute(walk, record, limit, attr)) return false;
    if (attr.U8At(kNtfsAttNonResident) == 0) return true;
    std::vector<DataRun> runs;
    DecodeRunList(attr, g, runs);
    return RunsLieInside(runs, clusterLimit);
  }
  return true;
}

template <typename ReportFn>
int32_t CDeepNtfsRecovery::CopyData(const FoundRecord& record, OutputSink& sink, uint64_t progressBase,
                                    ReportFn report) {
  const uint32_t bps = m_geometry.bytesPerSector;
  const uint32_t clusterBytes = record.clusterBytes;
  if (clusterBytes > kMaxClusterBytes) return kErrWriteFault;
  if (!m_opened || clusterBytes == 0 || clusterBytes % bps != 0) return kErrInvalidParameter;
  const uint64_t size = record.size;
  if (size == 0) return report(100, 0);

  std::vector<uint8_t> value;
  std::vector<DataRun> runs;
  int32_t error = DataOf(record, value, runs);
  if (error == kOk) {
    return WriteResidentValue(value, size, sink, report);
  }
  if (error != kNtfsNoResidentData) {
    if (error > 0) (void)report(100, error);  // the copy failed already: the answer cannot change that
    return error;
  }
  const uint64_t partitionStart = record.partitionStart;
  const uint64_t sectorsPerCluster = clusterBytes / bps;
  std::vector<uint8_t> buffer(kPieceBytes);
  // The volume's end is not known: its clusters end with the source.
  const uint64_t clusterLimit =
      partitionStart < m_source.sectorCount ? (m_source.sectorCount - partitionStart) / sectorsPerCluster : 0;
  NtfsDataForm form;  // copied as stored when the record cannot be read again
  std::vector<uint8_t> window;
  if (ReadFileRecord(m_source, m_geometry, record.entrySector, window) == kOk)
    form = DataFormOf(ByteView(window.data(), m_geometry.recordSize));
  return CopyNonResidentData(m_source, bps, partitionStart, sectorsPerCluster, clusterLimit, runs, form,
                             buffer, sink, size, progressBase, report);
}

int32_t CDeepNtfsRecovery::WriteOneFile(const FoundRecord& record, const std::string& path) {
  return RecoverNtfsFile(
      m_source, m_geometry, record, path, m_fileCallback, m_userData,
      [&](OutputSink& sink, auto report) { return CopyData(record, sink, record.size, report); });
}

int32_t CDeepNtfsRecovery::RecoverItem(const FoundRecord& record, const std::string& destination,
                                       int32_t rootDepth) {
  if (!record.isFolder) return WriteOneFile(record, destination);
  return RecoverFolderTree(
      *this, record, destination, rootDepth,
      [this](const FoundRecord& file, const std::string& path) { return WriteOneFile(file, path); });
}

int32_t CDeepNtfsRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                                             uint32_t& byteCount, PreviewProgressCallback callback,
                                             void* userData) {
  const uint64_t size = record.size;
  const uint32_t capacity = byteCount;
  return ExtractToPreview(record, outPath, memory, byteCount, callback, userData,
                          [&](OutputSink& sink, auto report) {
                            const uint64_t base = sink.ToFile() ? size : std::min<uint64_t>(size, capacity);
                            return CopyData(record, sink, base, report);
                          });
}

}  // namespace velmira
