#include "engines/ntfs/deep_ntfs_sweep.h"

#include <algorithm>
#include <vector>

#include "engines/logged_results.h"
#include "platform/errors.h"
#include "platform/status.h"

namespace velmira {
namespace {

constexpr uint32_t kPieceBytes = 64 * 1024;

}  // namespace

int32_t SweepDeepNtfs(CDeepNtfsRecovery& engine, ScanProgressCallback progress, void* userData) {
  const SectorSource& source = engine.Source();
  const NtfsGeometry& g = engine.Geometry();
  const uint32_t bps = g.bytesPerSector;
  const uint32_t recordSize = g.recordSize;  // the boot sector's, or the one the sector size implies
  const uint64_t total = g.partitionLength;
  const uint32_t pieceSectors = std::max<uint32_t>(kPieceBytes / bps, 1);
  std::vector<uint8_t> piece(size_t{pieceSectors} * bps);
  std::vector<uint8_t> window;
  int32_t result = kOk;
  for (uint64_t done = 0; done < total;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(pieceSectors, total - done));
    const uint64_t first = g.partitionStart + done;
    uint32_t got = 0;
    if (ReadSectors(count, source, piece.data(), first, bps, got) == kOk) {
      for (uint32_t s = 0; s < got; ++s) {
        const size_t offset = size_t{s} * bps;
        ByteView view(piece.data() + offset, size_t{got} * bps - offset);
        if (!IsNtfsRecordCandidate(view, recordSize)) continue;
        if (view.size() < recordSize) {
          // The record runs past the piece: take it from the source whole.
          if (ReadRecordWindow(source, g, first + s, window) != kOk) continue;
          view = ByteView(window.data(), window.size());
        }
        if (view.U16At(kNtfsRecFlags) & kNtfsFlagDirectory) continue;
        // A skipped record is no file; a log that fails ends the sweep.
        const Status listed =
            engine.SweepFoundRecord(std::span<const uint8_t>(view.data(), recordSize), first + s);
        if (listed.IsFatal()) {
          result = listed.Code();
          break;
        }
      }
    }
    if (result != kOk) break;
    done += count;
    if (progress != nullptr) {
      const auto percent = static_cast<int32_t>(static_cast<unsigned __int128>(done) * 100 / total);
      result = progress(userData, percent, 100, -1, done, total, engine.GetFoundCount(), 0);
      if (result != kOk) break;
    }
  }
  const int32_t finished = engine.FinishDeepNtfs();
  return result != kOk ? result : finished;
}

namespace {

class CDeepNtfsParticipant final : public CSweepParticipant {
 public:
  CEngineSkeleton& Engine() override { return m_engine; }
  const char* LogPrefix() const override { return "Pro_Ntfs_"; }

  int32_t BeginSweep(const std::string& continuedLog, bool /*bootLayoutHolds*/) override {
    return m_engine.BeginDeepNtfsLog(continuedLog);
  }

  SweptSector OnSweptSector(ByteView /*sector*/, ByteView rest, uint64_t at, SweepContext& context) override {
    // The boot sector's record size when it could be read, else the usual
    // one for the sector size.
    const uint32_t recordSize = m_engine.Geometry().recordSize;
    if (!IsNtfsRecordCandidate(rest, recordSize)) return {};
    ByteView record = rest;
    if (record.size() < recordSize) {
      // The record runs past the piece: read it from the source whole.
      if (ReadRecordWindow(context.source, m_engine.Geometry(), at, m_window) == kOk &&
          m_window.size() >= recordSize)
        record = ByteView(m_window.data(), m_window.size());
      else
        record = ByteView();
    }
    if (record.size() >= recordSize && (record.U16At(kNtfsRecFlags) & kNtfsFlagDirectory) == 0) {
      context.journal.Add(SweepJournal::kNtfsRecord, at);
      // A skipped record is no file; a log that fails ends the sweep here.
      const Status listed =
          m_engine.SweepFoundRecord(std::span<const uint8_t>(record.data(), recordSize), at);
      if (listed.IsFatal()) return {true, listed};
    }
    return {true, Status::Ok()};
  }

  void MarkCandidates(const uint8_t* piece, uint32_t sectors, uint32_t bps, uint8_t* marks,
                      uint8_t bit) const override {
    MarkSectors(piece, sectors, bps, marks, bit, [](ByteView sector) { return sector.Matches(0, "FILE"); });
  }

  bool Replay(const SweepJournal::Entry& entry, JournalSector& sector, Status& status) override {
    if (entry.kind != SweepJournal::kNtfsRecord) return false;
    const uint32_t recordSize = SweepRecordSize(sector.BytesPerSector());
    if (ReadRecordWindow(sector.Source(), m_engine.Geometry(), entry.sector, m_window) == kOk &&
        m_window.size() >= recordSize) {
      // A skipped record was skipped when it was swept; a log that fails
      // fails the replay.
      const Status listed =
          m_engine.SweepFoundRecord(std::span<const uint8_t>(m_window.data(), recordSize), entry.sector);
      if (listed.IsFatal()) status = listed;
    }
    return true;
  }

  int32_t FinishSweep() override {
    m_window = {};
    if (m_engine.FinishDeepNtfs() == kOk) return kOk;
    // An unreadable folder became a lost folder and does not fail the scan;
    // a log that could not be written whole does.
    CScanLog* log = m_engine.Store();
    return log != nullptr ? FlushedWhole(*log) : kOk;
  }

  // A named file's first run, read from its file record.
  bool FirstDataSector(const FoundRecord& record, uint32_t bytesPerSector, uint64_t& sector) override {
    m_runs.clear();
    if (m_engine.ReadRecordRuns(record.entrySector, m_runs) != kOk || m_runs.empty() ||
        m_runs.front().sparse || m_runs.front().delta < 0)
      return false;
    const uint64_t cluster = static_cast<uint64_t>(m_runs.front().delta);
    const uint64_t clusterSectors = uint64_t{record.clusterBytes} / bytesPerSector;
    if (clusterSectors == 0 || cluster > (UINT64_MAX / 2) / clusterSectors) return false;
    sector = cluster * clusterSectors + record.partitionStart;
    return true;
  }

 private:
  CDeepNtfsRecovery m_engine;
  std::vector<uint8_t> m_window;  // a file record read across a piece's end
  std::vector<DataRun> m_runs;
};

}  // namespace

std::unique_ptr<CSweepParticipant> NewDeepNtfsParticipant() {
  return std::make_unique<CDeepNtfsParticipant>();
}

}  // namespace velmira
