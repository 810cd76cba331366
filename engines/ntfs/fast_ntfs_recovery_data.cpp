// Reading a found file's data back: the content check of the scan, recovery
// of files and folder trees, and extraction for preview.
#include <algorithm>
#include <cstring>
#include <deque>
#include <set>

#include "engines/carving/signature_table.h"
#include "engines/folder_tree_recovery.h"
#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/ntfs/ntfs_run_copy.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/text.h"

namespace velmira {
namespace {

// File data is read in pieces of at most this size.
constexpr uint32_t kPieceBytes = 64 * 1024;

// The runs of the first $DATA of a record in memory (named or not, as the
// run lookup takes it); false when the record has none that fits.
bool FirstDataRuns(ByteView record, const NtfsGeometry& g, std::vector<DataRun>& runs) {
  const size_t limit = std::min<size_t>(record.U32At(kNtfsRecBytesInUse), record.size());
  NtfsAttributeWalk walk(record, limit);
  while (walk.Next()) {
    if (walk.type() != kNtfsAttrData) continue;
    if (walk.offset() + walk.length() > limit) return false;
    DecodeRunList(record.Sub(walk.offset(), walk.length()), g, runs);
    return true;
  }
  return false;
}

}  // namespace

bool CFastNtfsRecovery::ContentLooksRight(ByteView record, uint64_t sector, const std::string& name,
                                          bool hasList) {
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  // Types the signature table does not know pass without a read of their
  // data, once it is known to lie inside the volume.
  const bool typed = !extension.empty() && FindRowByExtension(extension) != nullptr;
  if (!typed && hasList) return true;  // their runs would cost a read
  const NtfsGeometry& g = m_geometry;

  std::vector<uint8_t> data;
  const int32_t resident = ResidentDataOf(record, g, data, record.size());
  if (resident == kOk) {
    if (!typed) return true;
    if (data.empty()) return false;
    return CheckContent(ByteView(data.data(), data.size()), extension, nullptr, g.bytesPerSector, sector);
  }
  if (resident != kNtfsNoResidentData) return true;

  std::vector<DataRun> runs;
  if (hasList) {
    // The data's place cannot be read: nothing says the content is there.
    if (GetAttributeRuns(m_source, g, m_mftRuns, sector, kNtfsAttrData, runs) != kOk) return false;
  } else if (!FirstDataRuns(record, g, runs)) {
    return true;
  }
  if (runs.empty() || runs[0].sparse) return true;
  if (runs[0].delta < 0) return false;
  const uint64_t volumeClusters = g.partitionLength / g.sectorsPerCluster;
  uint64_t first = 0;
  // A first cluster past the end of the volume, or a sector that cannot be
  // read, is content that could not be checked: not ok.
  if (static_cast<uint64_t>(runs[0].delta) >= volumeClusters || !ClusterToSector(g, runs[0].delta, first) ||
      first == 0 || first >= m_source.sectorCount)
    return false;
  if (!typed) return true;
  if (const NtfsDataForm form = DataFormOf(record); form.compressed) {
    // The signature is in the decompressed data.
    std::vector<uint8_t> data;
    if (!FirstCompressedBytes(m_source, g.bytesPerSector, g.partitionStart, g.sectorsPerCluster,
                              volumeClusters, runs, form.unitClusters, kPieceBytes, data))
      return false;
    return CheckContent(ByteView(data.data(), data.size()), extension, nullptr, g.bytesPerSector, first);
  }
  std::vector<uint8_t> bytes(g.bytesPerSector);
  uint32_t got = 0;
  if (ReadSectors(1, m_source, bytes.data(), first, g.bytesPerSector, got) != kOk || got == 0) return false;
  return CheckContent(ByteView(bytes.data(), bytes.size()), extension, &m_source, g.bytesPerSector, first);
}

bool CFastNtfsRecovery::RunsPlausible(ByteView record, uint64_t sector, bool hasList) {
  const NtfsGeometry& g = m_geometry;
  std::vector<uint8_t> value;
  if (ResidentDataOf(record, g, value, record.size()) != kNtfsNoResidentData) return true;
  std::vector<DataRun> runs;
  if (hasList) {
    if (GetAttributeRuns(m_source, g, m_mftRuns, sector, kNtfsAttrData, runs) != kOk) return false;
  } else if (!FirstDataRuns(record, g, runs)) {
    return true;
  }
  return RunsLieInside(runs, g.partitionLength / g.sectorsPerCluster);
}

template <typename ReportFn>
int32_t CFastNtfsRecovery::CopyData(const FoundRecord& record, OutputSink& sink, uint64_t progressBase,
                                    ReportFn report) {
  const NtfsGeometry& g = m_geometry;
  const uint32_t bps = g.bytesPerSector;
  const uint32_t clusterBytes = record.clusterBytes;
  if (clusterBytes > kMaxClusterBytes) return kErrWriteFault;
  if (!m_opened || clusterBytes == 0 || clusterBytes % bps != 0) return kErrInvalidParameter;
  const uint64_t size = record.size;
  if (size == 0) return report(100, 0);

  // Resident data: the value in the record itself.
  std::vector<uint8_t> window;
  int32_t error = ReadFileRecord(m_source, g, record.entrySector, window);
  if (error != kOk) {
    if (error > 0) (void)report(100, error);  // the copy failed already: the answer cannot change that
    return error;
  }
  std::vector<uint8_t> value;
  const ByteView base(window.data(), std::min<size_t>(window.size(), g.recordSize));
  error = ResidentDataOf(base, g, value, base.size());
  if (error == kOk) {
    return WriteResidentValue(value, size, sink, report);
  }
  if (error != kNtfsNoResidentData) {
    (void)report(100, error);  // the copy failed already: the answer cannot change that
    return error;
  }

  // Through the runs, the extents of an attribute list included.
  std::vector<DataRun> runs;
  error = GetAttributeRuns(m_source, g, m_mftRuns, record.entrySector, kNtfsAttrData, runs);
  if (error != kOk) {
    if (error > 0) (void)report(100, error);  // the copy failed already: the answer cannot change that
    return error;
  }
  const uint64_t sectorsPerCluster = clusterBytes / bps;
  const uint64_t volumeClusters = g.partitionLength / sectorsPerCluster;
  std::vector<uint8_t> buffer(kPieceBytes);
  return CopyNonResidentData(m_source, bps, record.partitionStart, sectorsPerCluster, volumeClusters, runs,
                             DataFormOf(base), buffer, sink, size, progressBase, report);
}

int32_t CFastNtfsRecovery::WriteOneFile(const FoundRecord& record, const std::string& path) {
  return RecoverNtfsFile(
      m_source, m_geometry, record, path, m_fileCallback, m_userData,
      [&](OutputSink& sink, auto report) { return CopyData(record, sink, record.size, report); });
}

int32_t CFastNtfsRecovery::RecoverItem(const FoundRecord& record, const std::string& destination,
                                       int32_t rootDepth) {
  if (!record.isFolder) return WriteOneFile(record, destination);
  return RecoverFolderTree(
      *this, record, destination, rootDepth,
      [this](const FoundRecord& file, const std::string& path) { return WriteOneFile(file, path); });
}

int32_t CFastNtfsRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                                             uint32_t& byteCount, PreviewProgressCallback callback,
                                             void* userData) {
  OutputSink sink;
  const uint32_t capacity = byteCount;
  int32_t err = OpenPreviewSink(RecordName(record), sink, outPath, memory, capacity);
  if (err != kOk) {
    if (callback) (void)callback(userData, 100, err);  // the preview ends in error whatever the answer
    outPath.clear();
    byteCount = 0;
    return err;
  }
  const uint64_t size = record.size;
  const uint64_t base = sink.ToFile() ? size : std::min<uint64_t>(size, capacity);
  err = CopyData(record, sink, base, [&](int32_t percent, int32_t error) {
    return callback ? callback(userData, percent, error) : 0;
  });
  byteCount = sink.ToFile() ? 0 : sink.MemoryBytes();
  const bool failed = err != kOk;
  if (failed && sink.ToFile()) outPath.clear();
  const int32_t closed = sink.Close(failed);
  if (!failed && closed != kOk) {
    err = closed;  // the file went with its failed close
    outPath.clear();
  }
  return err;
}

}  // namespace velmira
