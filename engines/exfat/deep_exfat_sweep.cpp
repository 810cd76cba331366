#include "engines/exfat/deep_exfat_sweep.h"

#include <vector>

#include "engines/exfat/deep_exfat_recovery.h"
#include "platform/errors.h"

namespace velmira {
namespace {

class CDeepExfatParticipant final : public CClusterSweepParticipant {
 public:
  CEngineSkeleton& Engine() override { return m_engine; }
  const char* LogPrefix() const override { return "Pro_Exfat_"; }

  int32_t BeginSweep(const std::string& continuedLog, bool /*bootLayoutHolds*/) override {
    return m_engine.BeginDeepExfatLog(continuedLog);
  }

  SweptSector OnSweptSector(ByteView sector, ByteView rest, uint64_t at, SweepContext& context) override {
    if (!CDeepExfatRecovery::HasEntrySet(sector)) return {};
    // The journal has room for no further kind: a replay tells the sector
    // by the same test.
    context.journal.Add(SweepJournal::kFatDirectorySector, at);
    m_engine.OnSector(rest, at);
    return {true, Status::Ok()};
  }

  void MarkCandidates(const uint8_t* piece, uint32_t sectors, uint32_t bps, uint8_t* marks,
                      uint8_t bit) const override {
    MarkSectors(piece, sectors, bps, marks, bit, MayHoldExfatEntrySet);
  }

  bool Replay(const SweepJournal::Entry& entry, JournalSector& sector, Status& /*status*/) override {
    if (entry.kind != SweepJournal::kFatDirectorySector) return false;
    const ByteView bytes = sector.Bytes();
    if (bytes.size() == 0) return true;
    if (!CDeepExfatRecovery::HasEntrySet(bytes)) return false;
    const uint32_t bps = sector.BytesPerSector();
    std::vector<uint8_t> set(size_t{bps} * 3, 0);
    uint32_t got = 0;
    (void)ReadSectors(3, sector.Source(), set.data(), entry.sector, bps, got);  // a set may run on
    m_engine.OnSector(ByteView(set.data(), set.size()), entry.sector);
    return true;
  }

  int32_t FinishSweep() override { return m_engine.FinishDeepExfat(); }
  // The sets are worked out and logged when the sweep ends.
  bool LogsWhileSweeping() const override { return false; }

 private:
  CDeepExfatRecovery m_engine;
};

}  // namespace

std::unique_ptr<CSweepParticipant> NewDeepExfatParticipant() {
  return std::make_unique<CDeepExfatParticipant>();
}

}  // namespace velmira
