// The deep FAT scan's reading back: a found file is taken from consecutive
// clusters starting at its first cluster; the allocation table is never read.
#include <algorithm>
#include <deque>
#include <set>

#include "engines/fat/deep_fat_recovery.h"
#include "engines/folder_tree_recovery.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/text.h"

namespace velmira {

template <typename ReportFn>
int32_t CDeepFatRecovery::CopyClusters(const FoundRecord& record, OutputSink& sink, ReportFn report) {
  const uint32_t clusterBytes = record.clusterBytes;
  if (clusterBytes > kMaxClusterBytes) return kErrWriteFault;
  if (!m_opened || clusterBytes == 0 || clusterBytes % m_bytesPerSector != 0) return kErrInvalidParameter;
  const uint64_t size = record.size;
  if (size == 0) return report(100, 0);

  // Records come back from a log on disk: no arithmetic on them may wrap.
  const uint64_t sectorsPerCluster = clusterBytes / m_bytesPerSector;
  const uint64_t partitionStart = record.partitionStart;
  const uint64_t dataStart = record.dataStart;
  const uint32_t key = record.key;
  if (key == 1 || partitionStart > UINT64_MAX / 2 || dataStart > UINT64_MAX / 4) return kErrInvalidParameter;
  uint64_t sector = 0;
  if (key == 0) {
    if (dataStart < kFixedRootSectors) return kErrInvalidParameter;
    sector = partitionStart + dataStart - kFixedRootSectors;
  } else {
    sector = partitionStart + dataStart + uint64_t{key - 2} * sectorsPerCluster;
  }

  std::vector<uint8_t> buffer(clusterBytes);
  uint64_t written = 0;
  int32_t error = 0;
  while (written < size) {
    const uint64_t remaining = size - written;
    // One cluster per read; the last one only as far as the file goes, so a
    // file that ends just before the end of the source can still be read.
    const uint64_t needed = (remaining + m_bytesPerSector - 1) / m_bytesPerSector;
    const uint32_t count = static_cast<uint32_t>(std::min(sectorsPerCluster, needed));
    uint32_t got = 0;
    (void)ReadSectors(count, m_source, buffer.data(), sector, m_bytesPerSector, got);  // judged by `got`
    if (got == 0) {
      error = kErrReadFault;
      break;
    }
    const uint64_t n = std::min<uint64_t>(uint64_t{got} * m_bytesPerSector, remaining);
    error = sink.WriteFrom(buffer.data(), static_cast<size_t>(n), sector * m_bytesPerSector);
    if (error == kOk) written += n;
    if (int32_t stop = report(static_cast<int32_t>(written * 100 / size), error)) return stop;
    if (error != kOk || written >= size) break;
    if (!sink.ToFile() && sink.MemoryFull()) break;  // a preview in memory holds what fits
    if (got < count) {
      error = kErrReadFault;
      break;
    }
    sector += sectorsPerCluster;
  }
  if (error > 0) (void)report(100, error);  // the copy failed already: the answer cannot change that
  return error;
}

int32_t CDeepFatRecovery::WriteOneFile(const FoundRecord& record, const std::string& path) {
  return RecoverToFile(path, record, m_fileCallback, m_userData,
                       [&](OutputSink& sink, auto report) { return CopyClusters(record, sink, report); });
}

int32_t CDeepFatRecovery::RecoverItem(const FoundRecord& record, const std::string& destination,
                                      int32_t rootDepth) {
  if (!record.isFolder) return WriteOneFile(record, destination);
  return RecoverFolderTree(
      *this, record, destination, rootDepth,
      [this](const FoundRecord& file, const std::string& path) { return WriteOneFile(file, path); });
}

int32_t CDeepFatRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                                            uint32_t& byteCount, PreviewProgressCallback callback,
                                            void* userData) {
  OutputSink sink;
  int32_t err = OpenPreviewSink(RecordName(record), sink, outPath, memory, byteCount);
  if (err != kOk) {
    if (callback) (void)callback(userData, 100, err);  // the preview ends in error whatever the answer
    outPath.clear();
    byteCount = 0;
    return err;
  }
  err = CopyClusters(record, sink, [&](int32_t percent, int32_t error) {
    return callback ? callback(userData, percent, error) : 0;
  });
  byteCount = sink.ToFile() ? 0 : sink.MemoryBytes();
  const bool failed = err != kOk;
  const int32_t closed = sink.Close(failed && sink.ToFile());
  if (!failed && closed != kOk) err = closed;  // the file went with its failed close
  if (err != kOk && !outPath.empty()) outPath.clear();
  return err;
}

}  // namespace velmira
