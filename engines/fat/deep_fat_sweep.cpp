#include "engines/fat/deep_fat_sweep.h"

#include <algorithm>
#include <vector>

#include "platform/errors.h"
#include "storage/sector_source.h"

namespace velmira {

int32_t RunDeepFatSweep(CDeepFatRecovery& engine, ScanProgressCallback callback, void* userData,
                        DeepFatSweepStats* stats) {
  DeepFatSweepStats local;
  DeepFatSweepStats& counts = stats ? *stats : local;
  counts = {};
  if (int32_t err = engine.BeginDeepFatLog(""); err != kOk) return err;
  (void)engine.AddBootSectorLayout();  // an unreadable start leaves the "." sectors to tell the layout

  const uint32_t bytesPerSector = engine.BytesPerSector();
  const uint64_t start = engine.PartitionStart();
  const uint64_t total = engine.PartitionLength();
  const uint32_t pieceSectors = std::max<uint32_t>(1, static_cast<uint32_t>(kIoPieceBytes / bytesPerSector));
  std::vector<uint8_t> piece(size_t{pieceSectors} * bytesPerSector);
  int32_t result = kOk;
  uint64_t done = 0;
  while (done < total) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(pieceSectors, total - done));
    uint32_t got = 0;
    // Judged by `got` below.
    (void)ReadSectors(count, engine.Source(), piece.data(), start + done, bytesPerSector, got);
    if (got < count) ++counts.unreadPieces;
    for (uint32_t i = 0; i < got; ++i) {
      const ByteView sector(piece.data() + size_t{i} * bytesPerSector, bytesPerSector);
      const uint64_t at = start + done + i;
      if (CDeepFatRecovery::IsDotDirectorySector(sector)) {
        ++counts.dotSectors;
        engine.OnDotDirectorySector(sector, at);
      } else if (CDeepFatRecovery::IsDirectorySector(sector)) {
        ++counts.directorySectors;
        engine.OnDirectorySector(sector, at);
      }
    }
    done += count;
    counts.sectorsSwept = done;
    if (callback) {
      const int32_t answer = callback(userData, static_cast<int32_t>(done * 100 / total), 100, -1, done,
                                      total, engine.GetFoundCount(), 0);
      if (answer != 0) {
        result = answer;
        break;
      }
    }
  }
  // A log that could not be written whole fails the sweep, even a stopped one.
  if (const int32_t err = engine.FinishDeepFat(); err != kOk) return err;
  return result;
}

namespace {

class CDeepFatParticipant final : public CClusterSweepParticipant {
 public:
  CEngineSkeleton& Engine() override { return m_engine; }
  const char* LogPrefix() const override { return "Pro_Fat_"; }

  int32_t BeginSweep(const std::string& continuedLog, bool bootLayoutHolds) override {
    const int32_t opened = m_engine.BeginDeepFatLog(continuedLog);
    // An unreadable start, or a boot sector whose layout does not hold,
    // leaves the "." sectors to tell the layout.
    if (bootLayoutHolds) (void)m_engine.AddBootSectorLayout();  // unreadable: as said above
    return opened;
  }

  SweptSector OnSweptSector(ByteView sector, ByteView /*rest*/, uint64_t at, SweepContext& context) override {
    if (CDeepFatRecovery::IsDotDirectorySector(sector)) {
      context.journal.Add(SweepJournal::kFatDotSector, at);
      m_engine.OnDotDirectorySector(sector, at);
      return {true, Status::Ok()};
    }
    if (CDeepFatRecovery::IsDirectorySector(sector)) {
      context.journal.Add(SweepJournal::kFatDirectorySector, at);
      m_engine.OnDirectorySector(sector, at);
      return {true, Status::Ok()};
    }
    return {};
  }

  void MarkCandidates(const uint8_t* piece, uint32_t sectors, uint32_t bps, uint8_t* marks,
                      uint8_t bit) const override {
    MarkSectors(piece, sectors, bps, marks, bit, MayStartDirectorySector);
  }

  bool Replay(const SweepJournal::Entry& entry, JournalSector& sector, Status& /*status*/) override {
    if (entry.kind != SweepJournal::kFatDotSector && entry.kind != SweepJournal::kFatDirectorySector)
      return false;
    const ByteView bytes = sector.Bytes();
    if (bytes.size() == 0) return true;
    if (entry.kind == SweepJournal::kFatDotSector)
      m_engine.OnDotDirectorySector(bytes, entry.sector);
    else
      m_engine.OnDirectorySector(bytes, entry.sector);
    return true;
  }

  int32_t FinishSweep() override { return m_engine.FinishDeepFat(); }

 private:
  CDeepFatRecovery m_engine;
};

}  // namespace

std::unique_ptr<CSweepParticipant> NewDeepFatParticipant() {
  return std::make_unique<CDeepFatParticipant>();
}

}  // namespace velmira
