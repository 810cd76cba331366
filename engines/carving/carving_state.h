// The state the signature tests and the length rules share while a sweep
// carves: where further sectors are read from, which sector is under test,
// the sweep figures used for progress while a rule reads ahead, the flags
// that make the transport-stream tests depend on the previous sector, and
// the stream ranges already carved. One object serves one sweep; the
// combined deep scan owns it and hands it to the carver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "results/progress_callbacks.h"
#include "storage/sector_source.h"

namespace velmira {

// Where the sweep stands, for the progress reports of a rule that reads ahead.
struct SweepFigures {
  uint64_t sectorsDone = 0;  // sectors of the sweep handled so far
  uint64_t totalSectors = 0;
  int32_t secondsLeft = -1;
  uint64_t filesFound = 0;
};

// First and last absolute sector of a carved transport stream.
struct StreamRange {
  uint64_t first = 0;
  uint64_t last = 0;
};

struct CarvingState {
  // Source of the sectors beyond the one handed to a test or rule. Without a
  // source (null or closed) every further read fails, which the tests and
  // rules treat as the end of the data.
  const SectorSource* source = nullptr;
  uint32_t sectorSize = 512;
  // Absolute number of the sector handed to the current test or length rule.
  uint64_t candidateSector = 0;
  // Absolute number of the sector under test; the boundary scan of a length
  // rule advances it over the sectors it reads ahead.
  uint64_t sectorUnderTest = 0;

  SweepFigures sweep;
  ScanProgressCallback scanCallback = nullptr;
  void* userData = nullptr;
  int32_t scale = 0;
  // 0, or the non-zero answer of a progress report that ended a length rule
  // (kCancelled when the user cancelled). The carver drops the file then.
  int32_t carveResult = 0;
  // Set by a length rule that finds what the file really is once it walked
  // it (a ZIP archive holding a text document, a compound document holding
  // a mail message): the type code whose first row names the carved file.
  // Unset, the detected row names it. Cleared for every sector.
  std::optional<uint32_t> namingCode;

  // Set by the carver after every header test run; while set, a transport
  // stream start must not continue the previous sector's packets nor lie in
  // a stream already carved.
  bool tsStrict = false;
  // Set while the last file carved was a camera transport stream.
  bool previousWasMts = false;
  std::vector<StreamRange> streamRanges;

  // Prepares the state for one sector handed to the carver (the flags and
  // stream ranges are kept; they belong to the whole sweep).
  // Inline: the sweep calls it for every sector.
  void BeginSector(const SectorSource* src, uint32_t bytesPerSector, uint64_t absoluteSector,
                   const SweepFigures& figures) {
    source = src;
    sectorSize = bytesPerSector;
    candidateSector = absoluteSector;
    sectorUnderTest = absoluteSector;
    sweep = figures;
    carveResult = 0;
    namingCode.reset();
  }
  // Forgets the flags and stream ranges; called when a combined scan starts.
  void ResetForSweep();

  // Reads `count` whole sectors at absolute sector `first`. Returns 0, or the
  // error; `sectorsRead` is the number of whole sectors delivered either way.
  // A request that runs past the end of the source is cut to what remains.
  [[nodiscard]] int32_t Read(uint64_t first, uint32_t count, uint8_t* buffer, uint32_t& sectorsRead) const;

  // The read-ahead buffer: one 64 KiB piece (at least one sector) plus room
  // for the tail of the previous piece, allocated on first use.
  [[nodiscard]] uint8_t* ReadAheadBuffer(size_t bytes);
  // A second buffer for the tests that read further sectors, so that a test
  // run by the boundary scan never overwrites the piece being scanned.
  [[nodiscard]] uint8_t* TestBuffer(size_t bytes);
  // The window of the file cursor of structural length rules.
  [[nodiscard]] uint8_t* CursorBuffer(size_t bytes);

  // Reports progress after `sectorsAhead` sectors were read ahead in the
  // current rule; a non-zero answer is stored in carveResult and returned.
  int32_t ReportReadAhead(uint64_t sectorsAhead);

 private:
  std::vector<uint8_t> m_readAhead;
  std::vector<uint8_t> m_testBuffer;
  std::vector<uint8_t> m_cursorBuffer;
};

}  // namespace velmira
