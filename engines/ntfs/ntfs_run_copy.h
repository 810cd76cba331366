// Copying the clusters of one data run into an output, shared by the fast
// and the deep NTFS engines once each has checked that the run lies inside
// its volume or source.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

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
                       uint64_t wantedSectors, std::vector<uint8_t>& buffer, OutputSink& sink, uint64_t& remaining,
                       ProgressFn progress) {
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
    error = sink.Write(buffer.data(), static_cast<size_t>(n));
    if (error == kOk) remaining -= n;
    if (const int32_t stop = progress(error)) return {stop, true};
    if (error != kOk) return {error, false};
    if (!sink.ToFile() && sink.MemoryFull()) return {kOk, true};  // a preview in memory holds what fits
    if (got < count) return {kErrReadFault, false};
    done += count;
  }
  return {kOk, false};
}

}  // namespace velmira
