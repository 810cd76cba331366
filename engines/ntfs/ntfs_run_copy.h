// Copying the data runs of an attribute into an output, shared by the fast
// and the deep NTFS engines: each says where its clusters lie and where they
// end (the volume's end, or the source's), and the checks that every run
// lies inside are made here, the same for both.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engines/ntfs/lznt1.h"
#include "engines/ntfs/ntfs_structures.h"
#include "engines/output_sink.h"
#include "platform/errors.h"
#include "storage/sector_source.h"

namespace velmira {

// The share of `base` bytes that `done` bytes are, 0 to 100 (100 for 0).
[[nodiscard]] inline int32_t CopyPercent(uint64_t done, uint64_t base) {
  if (base == 0) return 100;
  return static_cast<int32_t>(std::min<uint64_t>(static_cast<unsigned __int128>(done) * 100 / base, 100));
}

// How copying a run ended: `code` is 0 or the error that stopped it; with
// `leave` the caller returns `code` at once (a stop asked for by the
// progress report, or a preview in memory that is full).
struct RunCopy {
  int32_t code = kOk;
  bool leave = false;
};

// Writes `wantedSectors` sectors from absolute sector `first` (zeros for a
// sparse run) to `sink`, at most `remaining` bytes, in pieces of the
// buffer's size. After each piece `progress(error)` is asked; a non-zero
// answer ends the copy.
template <typename ProgressFn>
RunCopy CopyRunSectors(const SectorSource& source, uint32_t bytesPerSector, bool sparse, uint64_t first,
                       uint64_t wantedSectors, std::vector<uint8_t>& buffer, OutputSink& sink,
                       uint64_t& remaining, ProgressFn progress) {
  const uint32_t bps = bytesPerSector;
  for (uint64_t done = 0; done < wantedSectors && remaining > 0;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(buffer.size() / bps, wantedSectors - done));
    uint32_t got = count;
    int32_t error = kOk;
    if (sparse) {
      std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size_t{count} * bps), 0);
    } else {
      got = 0;
      error = ReadSectors(count, source, buffer.data(), first + done, bps, got);
      if (error == kOk && got == 0) error = kErrReadFault;
      if (error != kOk) return {error, false};
    }
    const uint64_t n = std::min<uint64_t>(uint64_t{got} * bps, remaining);
    // Zeros of a sparse run come from nowhere on the source.
    error = sparse ? sink.Write(buffer.data(), static_cast<size_t>(n))
                   : sink.WriteFrom(buffer.data(), static_cast<size_t>(n), (first + done) * bps);
    if (error == kOk) remaining -= n;
    if (const int32_t stop = progress(error)) return {stop, true};
    if (error != kOk) return {error, false};
    if (!sink.ToFile() && sink.MemoryFull()) return {kOk, true};  // a preview in memory holds what fits
    if (got < count) return {kErrReadFault, false};
    done += count;
  }
  return {kOk, false};
}

// Writes the data of an attribute that is not compressed to `sink`, at most
// `remaining` bytes, run by run: zeros for a sparse run, the run's clusters
// for the others. Clusters are counted from `partitionStart` in
// `clusterSectors` sectors, and every cluster a read touches must lie below
// `clusterLimit` (the end of the volume, or of the source when the volume's
// is not known): a run reaching past it, an invalid run or one whose bytes or
// sectors overflow stops the copy with 87 before anything of it is read.
// After each piece `progress(error)` is asked; a non-zero answer ends the
// copy. Runs that end before the data leave `remaining` above 0 for the
// caller to report.
template <typename ProgressFn>
RunCopy CopyDataRuns(const SectorSource& source, uint32_t bps, uint64_t partitionStart,
                     uint64_t clusterSectors, uint64_t clusterLimit, std::span<const DataRun> runs,
                     std::vector<uint8_t>& buffer, OutputSink& sink, uint64_t& remaining,
                     ProgressFn progress) {
  uint64_t clusterBytes = 0;
  if (bps == 0 || clusterSectors == 0 || __builtin_mul_overflow(clusterSectors, uint64_t{bps}, &clusterBytes))
    return {kErrInvalidParameter, false};
  for (const AbsoluteRun& run : ToAbsoluteRuns(runs)) {
    if (remaining == 0) break;
    uint64_t runBytes = 0;
    if (!run.valid || __builtin_mul_overflow(run.length, clusterBytes, &runBytes))
      return {kErrInvalidParameter, false};
    const uint64_t wantedSectors =
        std::min(runBytes, remaining) / bps + (std::min(runBytes, remaining) % bps != 0);
    uint64_t first = 0;
    if (!run.sparse) {
      // Whole clusters: the part of a cluster past the limit is not the
      // volume's, even where the source goes on.
      const uint64_t clusters = wantedSectors / clusterSectors + (wantedSectors % clusterSectors != 0);
      if (run.firstCluster > clusterLimit || clusters > clusterLimit - run.firstCluster ||
          __builtin_mul_overflow(run.firstCluster, clusterSectors, &first) ||
          __builtin_add_overflow(first, partitionStart, &first))
        return {kErrInvalidParameter, false};
    }
    const RunCopy copied =
        CopyRunSectors(source, bps, run.sparse, first, wantedSectors, buffer, sink, remaining, progress);
    if (copied.leave || copied.code != kOk) return copied;
  }
  return {kOk, false};
}

// A compression unit larger than this is taken for damage.
inline constexpr uint64_t kMaxCompressionUnitBytes = 4u << 20;

// Writes the data of a compressed attribute to `sink`, at most `remaining`
// bytes, unit by unit: a unit of `unitClusters` clusters that are all
// sparse is zeros, one whose clusters all hold data is stored as is, and
// one with data clusters followed by sparse ones holds LZNT1 data that is
// decompressed. Clusters are counted from `partitionStart` in
// `clusterSectors` sectors; every cluster read must lie below
// `clusterLimit`. After each unit `progress(error)` is asked; a non-zero
// answer ends the copy. Runs that end before the data leave `remaining`
// above 0 for the caller to report.
template <typename ProgressFn>
RunCopy CopyCompressedRuns(const SectorSource& source, uint32_t bps, uint64_t partitionStart,
                           uint64_t clusterSectors, uint64_t clusterLimit, std::span<const DataRun> runs,
                           uint32_t unitClusters, OutputSink& sink, uint64_t& remaining,
                           ProgressFn progress) {
  const uint64_t clusterBytes = clusterSectors * bps;
  if (unitClusters == 0 || clusterBytes == 0 || clusterBytes > kMaxCompressionUnitBytes / unitClusters)
    return {kErrInvalidParameter, false};
  const std::vector<AbsoluteRun> absolute = ToAbsoluteRuns(runs);
  std::vector<uint8_t> stored;
  std::vector<uint8_t> unit(static_cast<size_t>(clusterBytes * unitClusters));
  size_t index = 0;     // the run the next cluster comes from
  uint64_t within = 0;  // clusters of that run already taken
  while (remaining > 0) {
    stored.clear();
    uint64_t have = 0;
    uint64_t dataClusters = 0;
    while (have < unitClusters && index < absolute.size()) {
      const AbsoluteRun& run = absolute[index];
      const uint64_t take = std::min<uint64_t>(run.length - within, unitClusters - have);
      if (take > 0 && !run.sparse) {
        const uint64_t first = run.firstCluster + within;
        uint64_t sector = 0;
        if (!run.valid || first > clusterLimit || take > clusterLimit - first ||
            __builtin_mul_overflow(first, clusterSectors, &sector) ||
            __builtin_add_overflow(sector, partitionStart, &sector))
          return {kErrInvalidParameter, false};
        const size_t at = stored.size();
        stored.resize(at + static_cast<size_t>(take * clusterBytes));
        const auto count = static_cast<uint32_t>(take * clusterSectors);
        uint32_t got = 0;
        int32_t error = ReadSectors(count, source, stored.data() + at, sector, bps, got);
        if (error == kOk && got < count) error = kErrReadFault;
        if (error != kOk) return {error, false};
        dataClusters += take;
      }
      have += take;
      within += take;
      if (within >= run.length) {
        ++index;
        within = 0;
      }
    }
    if (have == 0) break;  // the runs end before the data
    const size_t unitBytes = static_cast<size_t>(have * clusterBytes);
    int32_t error = kOk;
    if (dataClusters == 0) {
      std::fill(unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(unitBytes), 0);
    } else if (dataClusters == have) {
      std::copy(stored.begin(), stored.end(), unit.begin());
    } else if (!Lznt1Decompress(stored, std::span<uint8_t>(unit.data(), unitBytes))) {
      error = kErrInvalidData;
    }
    if (error != kOk) return {error, false};
    const uint64_t n = std::min<uint64_t>(unitBytes, remaining);
    error = sink.Write(unit.data(), static_cast<size_t>(n));
    if (error == kOk) remaining -= n;
    if (const int32_t stop = progress(error)) return {stop, true};
    if (error != kOk) return {error, false};
    if (!sink.ToFile() && sink.MemoryFull()) return {kOk, true};
  }
  return {kOk, false};
}

// The first `bytes` bytes of a compressed attribute's data, decompressed,
// for the content check; false when they cannot be read or decoded.
inline bool FirstCompressedBytes(const SectorSource& source, uint32_t bps, uint64_t partitionStart,
                                 uint64_t clusterSectors, uint64_t clusterLimit,
                                 std::span<const DataRun> runs, uint32_t unitClusters, uint32_t bytes,
                                 std::vector<uint8_t>& out) {
  out.assign(bytes, 0);
  OutputSink sink;
  sink.UseMemory(out.data(), bytes);
  uint64_t remaining = bytes;
  const RunCopy copied = CopyCompressedRuns(source, bps, partitionStart, clusterSectors, clusterLimit, runs,
                                            unitClusters, sink, remaining, [](int32_t) { return 0; });
  out.resize(sink.MemoryBytes());
  return copied.code == kOk && !out.empty();
}

// Writes a resident value, at most the file's `size` (a value shorter than
// the size leaves the file short: 38), and asks `report(100, error)`; a
// non-zero answer is returned in place of the result.
template <typename ReportFn>
int32_t WriteResidentValue(std::span<const uint8_t> value, uint64_t size, OutputSink& sink, ReportFn report) {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(value.size(), size & 0xFFFFFFFFu));
  int32_t error = sink.Write(value.data(), n);
  if (error == kOk && n < (size & 0xFFFFFFFFu)) error = kErrHandleEof;
  if (int32_t stop = report(100, error)) return stop;
  return error;
}

// The file's non-resident data: decompressed when `form` says it is
// compressed, else copied run by run; `report(percent, error)` follows the
// bytes of `progressBase`. Runs that end before the `size` bytes do leave
// the file short (38); a failed copy is reported at 100 % before it is
// returned.
template <typename ReportFn>
int32_t CopyNonResidentData(const SectorSource& source, uint32_t bps, uint64_t partitionStart,
                            uint64_t sectorsPerCluster, uint64_t clusterLimit, std::vector<DataRun>& runs,
                            const NtfsDataForm& form, std::vector<uint8_t>& buffer, OutputSink& sink,
                            uint64_t size, uint64_t progressBase, ReportFn report) {
  int32_t error = kOk;
  uint64_t remaining = size;
  if (form.compressed) {
    const RunCopy copied = CopyCompressedRuns(
        source, bps, partitionStart, sectorsPerCluster, clusterLimit, runs, form.unitClusters, sink,
        remaining, [&](int32_t e) { return report(CopyPercent(size - remaining, progressBase), e); });
    if (copied.leave) return copied.code;
    error = copied.code;
    runs.clear();
  }
  if (error == kOk) {
    const RunCopy copied = CopyDataRuns(
        source, bps, partitionStart, sectorsPerCluster, clusterLimit, runs, buffer, sink, remaining,
        [&](int32_t e) { return report(CopyPercent(size - remaining, progressBase), e); });
    if (copied.leave) return copied.code;
    error = copied.code;
  }
  if (error == kOk && remaining > 0) error = kErrHandleEof;
  if (error > 0) (void)report(100, error);  // the copy failed already: the answer cannot change that
  return error;
}

// Recovers one file to `path` through `copy` (as RecoverToFile takes it);
// encrypted data is copied as stored, so that the file is there but not
// readable, and says so (kErrEncryptedContent).
template <typename CopyFn>
int32_t RecoverNtfsFile(const SectorSource& source, const NtfsGeometry& geometry, const FoundRecord& record,
                        const std::string& path, FileProgressCallback callback, void* userData, CopyFn copy) {
  const int32_t err = RecoverToFile(path, record, callback, userData, copy);
  std::vector<uint8_t> window;
  if (err == kOk && ReadFileRecord(source, geometry, record.entrySector, window) == kOk &&
      DataFormOf(ByteView(window.data(), std::min<size_t>(window.size(), geometry.recordSize))).encrypted)
    return kErrEncryptedContent;
  return err;
}

}  // namespace velmira
