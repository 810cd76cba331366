// What one scan leaves behind: the scanned sources with the engines the scan
// built, and the files collected from them. The results page and the
// recovery and preview windows share it, so an engine lives as long as
// anything still lists or reads its files. A device removed meanwhile does
// not free its sources: the session marks them gone, and what would read
// from them says so instead.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "jobs/recovery_job.h"
#include "jobs/scan_source.h"

namespace velmira {

class ScanSession {
 public:
  explicit ScanSession(std::vector<std::shared_ptr<ScanSource>> sources);

  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  // The scanned sources in scan order; the jobs take them as plain pointers,
  // valid while the session lives.
  [[nodiscard]] const std::vector<std::shared_ptr<ScanSource>>& sources() const { return m_sources; }
  [[nodiscard]] std::vector<ScanSource*> SourceList() const;
  // The sources that hold an engine and are not gone, in scan order.
  [[nodiscard]] std::vector<ScanSource*> LiveSources() const;

  // The files collected after the scan (filled by the collection job).
  [[nodiscard]] std::vector<FoundRecord>& collected() { return m_collected; }
  [[nodiscard]] const std::vector<FoundRecord>& collected() const { return m_collected; }

  // The source whose key a record carries, or null.
  [[nodiscard]] ScanSource* SourceOfKey(uint16_t key) const;
  // The engine that found a record; null when there is none or its source is gone.
  [[nodiscard]] IFileRecoveryParse* EngineOf(const FoundRecord& record) const;
  // What a recovery reads from: the live sources' engines.
  [[nodiscard]] std::vector<RecoverySource> RecoverySources() const;

  // The device of `source` was removed: its files stay listed but are not
  // read again. Nothing happens when the session does not hold it.
  void MarkGone(const ScanSource* source);
  [[nodiscard]] bool IsGone(const ScanSource* source) const { return m_gone.count(source) != 0; }
  // Whether the record's source is gone.
  [[nodiscard]] bool SourceGone(const FoundRecord& record) const;

 private:
  std::vector<std::shared_ptr<ScanSource>> m_sources;
  std::set<const ScanSource*> m_gone;
  std::vector<FoundRecord> m_collected;
};

}  // namespace velmira
