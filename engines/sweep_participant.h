// One file system's part in the sweep of a deep scan: the engine that
// rebuilds the file system's lost folders and files from the sectors the
// sweep hands it. The file system's row (file_system_table.h) makes one for
// each deep scan. The combined deep engine opens its engine, hands it the
// callbacks and the log folder, offers it every swept sector in the rows'
// sweep order, replays its journal entries when a scan goes on, finishes
// it when the sweep ends, and routes to it the records of its file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engines/engine_skeleton.h"
#include "platform/byte_view.h"
#include "platform/status.h"
#include "results/found_record.h"
#include "results/scan_checkpoint.h"
#include "storage/sector_source.h"

namespace velmira {

// What the sweep hands a participant besides the sector: where it reads
// (tests may put a failing device there) and the journal that lets a
// continued scan hand the same sectors over again.
struct SweepContext {
  const SectorSource& source;
  SweepJournal& journal;
};

// A participant's answer to one offered sector.
struct SweptSector {
  // The sector is this file system's: neither a later participant nor the
  // carver sees it.
  bool taken = false;
  // Fatal when the participant's log has failed a write: whatever is found
  // after it could not be kept, and the sweep ends at this sector.
  Status status;
};

// A journal entry's sector, read once for whichever participant asks first,
// and where the sweep reads.
class JournalSector {
 public:
  JournalSector(const SectorSource& source, uint32_t bytesPerSector, uint64_t sector)
      : m_source(source), m_bytesPerSector(bytesPerSector), m_sector(sector) {}
  // The sector, or an empty view when it cannot be read (the entry is then
  // dropped, as the sweep would find nothing in it either).
  [[nodiscard]] ByteView Bytes();
  [[nodiscard]] const SectorSource& Source() const { return m_source; }
  [[nodiscard]] uint32_t BytesPerSector() const { return m_bytesPerSector; }

 private:
  const SectorSource& m_source;
  uint32_t m_bytesPerSector;
  uint64_t m_sector;
  bool m_read = false;
  std::vector<uint8_t> m_bytes;
};

class CSweepParticipant {
 public:
  virtual ~CSweepParticipant() = default;

  // The engine that lists, counts, recovers and previews what was found.
  [[nodiscard]] virtual CEngineSkeleton& Engine() = 0;
  // The start of its scan log's name ("Pro_Fat_"); a continued scan finds
  // the log again by it.
  [[nodiscard]] virtual const char* LogPrefix() const = 0;

  // Empties what an earlier sweep found and opens the log: `continuedLog`
  // when a scan goes on, else a new one. `bootLayoutHolds`: the fast
  // engine found the boot sector's layout on the medium, so that it may
  // guide this sweep. Returns 0 or the log's open error.
  [[nodiscard]] virtual int32_t BeginSweep(const std::string& continuedLog, bool bootLayoutHolds) = 0;
  // The sector at absolute sector `at`; `rest` starts with it and runs to
  // the end of the piece read (one sector at least). Journals what it takes.
  [[nodiscard]] virtual SweptSector OnSweptSector(ByteView sector, ByteView rest, uint64_t at,
                                                  SweepContext& context) = 0;
  // Sets `bit` in marks[k] for each sector k of `piece` (`sectors` sectors
  // of bytesPerSector) that OnSweptSector might take; it is offered only
  // those. A cheap test of the sector's own bytes that every sector it takes
  // passes, so that the sweep does not call it for each sector of a medium.
  // By default every sector is offered.
  virtual void MarkCandidates(const uint8_t* piece, uint32_t sectors, uint32_t bytesPerSector, uint8_t* marks,
                              uint8_t bit) const;

  // A journal entry of a continued scan: false when it is another
  // participant's; true when it was handed over again (or dropped because
  // its sector cannot be read). `status` turns Fatal when the log fails.
  [[nodiscard]] virtual bool Replay(const SweepJournal::Entry& entry, JournalSector& sector,
                                    Status& status) = 0;
  // Once after the sweep: what it keeps in memory is worked out and logged.
  // Returns 0 or an error that fails the scan.
  [[nodiscard]] virtual int32_t FinishSweep() = 0;

  // Whether the engine logs its records while it sweeps. One that writes
  // its log only when the sweep ends keeps nothing of it through a continued
  // scan: the journal rebuilds it whole.
  [[nodiscard]] virtual bool LogsWhileSweeping() const { return true; }
  // Records at the head of the log that the journal cannot rebuild (a scan
  // recorded before checkpoints existed); a continued scan keeps them.
  [[nodiscard]] uint64_t KeptRecords() const { return m_keptRecords; }
  void SetKeptRecords(uint64_t records) { m_keptRecords = records; }

  // Where the data of a record of this file system (of its fast or its deep
  // engine) starts, in the source's sectors; false when the record does not
  // tell. The carved files that start there with the same type repeat it.
  [[nodiscard]] virtual bool FirstDataSector(const FoundRecord& record, uint32_t bytesPerSector,
                                             uint64_t& sector) = 0;
  // Where a file's data starts when the sweep may find it again, as part of
  // a lost folder, after the fast scan listed it with its path: a deep
  // record that starts where a fast one starts, with the same size, is that
  // file. False for records it never finds twice.
  [[nodiscard]] virtual bool RefoundStart(const FoundRecord&, uint32_t, uint64_t&) { return false; }

 protected:
  // Sets `bit` for the sectors of `piece` that `mayTake(ByteView)` keeps.
  template <typename MayTake>
  static void MarkSectors(const uint8_t* piece, uint32_t sectors, uint32_t bytesPerSector, uint8_t* marks,
                          uint8_t bit, MayTake&& mayTake) {
    for (uint32_t k = 0; k < sectors; ++k)
      if (mayTake(ByteView(piece + size_t{k} * bytesPerSector, bytesPerSector))) marks[k] |= bit;
  }

 private:
  uint64_t m_keptRecords = 0;
};

// The first data sector of a record that carries its first cluster in `key`
// and the sector of cluster 2 in `dataStart`, as the FAT and exFAT engines
// write them (key 0: the file starts 32 sectors before `dataStart`, in a
// FAT12/16 root folder region).
[[nodiscard]] bool ClusterRecordFirstSector(const FoundRecord& record, uint32_t bytesPerSector,
                                            uint64_t& sector);

// A participant whose records carry their first cluster (FAT, exFAT): a
// record's data starts at ClusterRecordFirstSector, and the sweep finds the
// files of the deleted folders the fast scan listed again, as lost folders.
class CClusterSweepParticipant : public CSweepParticipant {
 public:
  [[nodiscard]] bool FirstDataSector(const FoundRecord& record, uint32_t bytesPerSector,
                                     uint64_t& sector) override {
    return ClusterRecordFirstSector(record, bytesPerSector, sector);
  }
  [[nodiscard]] bool RefoundStart(const FoundRecord& record, uint32_t bytesPerSector,
                                  uint64_t& sector) override {
    return record.isFolder == 0 && record.key >= 2 &&
           ClusterRecordFirstSector(record, bytesPerSector, sector);
  }
};

}  // namespace velmira
