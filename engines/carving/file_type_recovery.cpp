#include "engines/carving/file_type_recovery.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "engines/logged_results.h"
#include "platform/errors.h"
#include "results/scan_log_names.h"

namespace velmira {

CFileTypeRecovery::CFileTypeRecovery() = default;

CFileTypeRecovery::~CFileTypeRecovery() = default;

int32_t CFileTypeRecovery::OpenLogFor(uint64_t startSector) {
  NewLog();
  return m_store->OpenNewLog(ScanLogName(ScanLogKind::kCarving, static_cast<int64_t>(startSector)));
}

int32_t CFileTypeRecovery::Open(const PartitionLocator& target) {
  if (target.IsImage()) {
    m_sourceKey = target.imageValue;
    m_startSector = 0;
    m_sectorCount = 0;
    const int32_t logErr = OpenLogFor(0);
    const int32_t err = OpenImageSource(m_source, target.imagePath);
    if (err == kOk) {
      m_sectorSize = SourceSectorSize(m_source);  // sectorCount counts in these
      m_sectorCount = m_source.sectorCount;
    }
    return err != kOk ? err : logErr;
  }
  m_sourceKey = target.sourceKey;
  m_startSector = target.startSector;
  m_sectorCount = target.sectorCount;
  const int32_t logErr = OpenLogFor(target.startSector);
  const int32_t err = OpenDiskSource(m_source, target.diskNumber);
  if (err == kOk) m_sectorSize = SourceSectorSize(m_source);  // the drive's: start and length count in it
  return err != kOk ? err : logErr;
}

int32_t CFileTypeRecovery::ReopenForPartition(uint32_t sectorSize, int32_t diskNumber,
                                              const std::string& logName, uint16_t sourceKey) {
  m_sectorSize = sectorSize;
  m_sourceKey = sourceKey;
  NewLog();
  const int32_t logErr = m_store->OpenLog(logName);
  const int32_t err = OpenDiskSource(m_source, diskNumber);
  return err != kOk ? err : logErr;
}

int32_t CFileTypeRecovery::ReopenForImage(uint32_t sectorSize, const std::string& logName, uint16_t sourceKey,
                                          const std::string& imagePath) {
  m_sectorSize = sectorSize;
  m_sourceKey = sourceKey;
  NewLog();
  const int32_t logErr = m_store->OpenLog(logName);
  const int32_t err = OpenImageSource(m_source, imagePath);
  return err != kOk ? err : logErr;
}

int32_t CFileTypeRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                                FileProgressCallback fileCallback, void* userData,
                                                int32_t scale) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = scale;
  m_state.scanCallback = scanCallback;
  m_state.userData = userData;
  m_state.scale = scale;
  return kOk;
}

int32_t CFileTypeRecovery::CarveAtSector(uint32_t sectorSize, ByteView sector, uint64_t absoluteSector,
                                         const SweepFigures& figures, const SectorSource& source,
                                         uint64_t& consumed, uint64_t& found) {
  consumed = 1;
  m_sectorSize = sectorSize;
  m_state.BeginSector(&source, sectorSize, absoluteSector, figures);
  const SignatureRow* row = DetectCarvableType(sector, m_state);
  if (row == nullptr) return kErrInvalidParameter;
  uint64_t length = CarveLength(*row, sector, m_state);
  if (m_state.carveResult != 0) return m_state.carveResult;
  // The header was there but the structure behind it was not: no file.
  if (length == kNotAFile) return kErrInvalidParameter;
  // A file never runs past the end of the source it was carved from.
  if (sectorSize != 0 && absoluteSector < source.sectorCount) {
    const uint64_t room = (source.sectorCount - absoluteSector) * sectorSize;
    length = std::min(length, room);
  }

  FoundRecord record = MakeFoundRecord();
  record.sourceKey = m_sourceKey;
  record.engineTag = kTagCarving;
  record.contentOk = 1;
  record.clusterBytes = kNoClusterBytes;
  record.size = length;
  record.entrySector = absoluteSector;
  char name[64];
  std::snprintf(name, sizeof name, "%" PRIu64 ".%s", absoluteSector, NamingRow(*row, m_state).extension);
  SetRecordName(record, name);
  if (m_store) {
    FoundRecord* slot = m_store->AppendRecord();
    record.recordNumber = slot->recordNumber;
    *slot = record;
    m_store->AddRelation(0, record.recordNumber, 0, nullptr);
    // A log that cannot be written stops the sweep: what it finds would be lost.
    if (const int32_t err = m_store->WriteError(); err != kOk) return err;
  }
  consumed = std::max<uint64_t>(SectorsConsumed(*row, length, sectorSize), 1);
  ++found;
  return kOk;
}

int32_t CFileTypeRecovery::VisitMatches(const std::string& patterns,
                                        const std::function<int32_t(const FoundRecord&)>& visit) {
  if (!m_store) return kOk;
  if (const int32_t err = FlushedWhole(*m_store); err != kOk) return err;
  return m_store->VisitByExtension(patterns, visit);
}

template <typename ReportFn>
int32_t CFileTypeRecovery::CopyCarved(const FoundRecord& record, OutputSink& sink, ReportFn report) {
  const uint64_t size = record.size;
  if (size == 0) return kOk;
  const uint32_t bps = m_sectorSize == 0 ? 512 : m_sectorSize;
  const uint32_t pieceSectors = std::max<uint32_t>(static_cast<uint32_t>(kIoPieceBytes / bps), 1);
  std::vector<uint8_t> buffer(uint64_t{pieceSectors} * bps);
  const uint64_t totalSectors = (size + bps - 1) / bps;
  uint64_t sector = record.entrySector;
  uint64_t written = 0;
  int32_t error = kOk;
  for (uint64_t done = 0; done < totalSectors && written < size;) {
    // Never ask past the end of the source: what lies before it is kept.
    const uint64_t left = sector < m_source.sectorCount ? m_source.sectorCount - sector : 0;
    const auto want = static_cast<uint32_t>(std::min<uint64_t>({pieceSectors, totalSectors - done, left}));
    uint32_t got = 0;
    // Judged by `got` below.
    if (want != 0) (void)ReadSectors(want, m_source, buffer.data(), sector, bps, got);
    if (got == 0) {
      error = kErrReadFault;
      break;
    }
    const uint64_t n = std::min<uint64_t>(uint64_t{got} * bps, size - written);
    error = sink.WriteFrom(buffer.data(), static_cast<size_t>(n), sector * bps);
    if (error != kOk) break;
    written += n;
    done += got;
    sector += got;
    if (int32_t stop = report(static_cast<int32_t>(written * 100 / size), 0)) return stop;
    if (!sink.ToFile() && sink.MemoryFull()) break;  // a preview in memory holds what fits
    if (got < want) {
      error = kErrReadFault;
      break;
    }
  }
  if (error == kOk && written < size) error = kErrReadFault;  // the source ended first
  if (error > 0) (void)report(100, error);  // the copy failed already: the answer cannot change that
  return error;
}

int32_t CFileTypeRecovery::RecoverItem(const FoundRecord& record, const std::string& destination, int32_t) {
  return RecoverToFile(destination, record, m_fileCallback, m_userData, [&](OutputSink& sink, auto report) {
    if (uint64_t{record.size} == 0) return report(100, 0);
    return CopyCarved(record, sink, report);
  });
}

int32_t CFileTypeRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                                             uint32_t& byteCount, PreviewProgressCallback callback,
                                             void* userData) {
  return ExtractToPreview(record, outPath, memory, byteCount, callback, userData,
                          [&](OutputSink& sink, auto report) { return CopyCarved(record, sink, report); });
}

}  // namespace velmira
