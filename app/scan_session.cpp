#include "app/scan_session.h"

#include <algorithm>

namespace velmira {

ScanSession::ScanSession(std::vector<std::shared_ptr<ScanSource>> sources) : m_sources(std::move(sources)) {}

std::vector<ScanSource*> ScanSession::SourceList() const {
  std::vector<ScanSource*> list;
  list.reserve(m_sources.size());
  for (const auto& source : m_sources) list.push_back(source.get());
  return list;
}

std::vector<ScanSource*> ScanSession::LiveSources() const {
  std::vector<ScanSource*> list;
  for (const auto& source : m_sources)
    if (source->engine && !IsGone(source.get())) list.push_back(source.get());
  return list;
}

ScanSource* ScanSession::SourceOfKey(uint16_t key) const {
  for (const auto& source : m_sources)
    if (source->SourceKey() == key) return source.get();
  return nullptr;
}

IFileRecoveryParse* ScanSession::EngineOf(const FoundRecord& record) const {
  // Only sources with an engine count: a source scanned without one may
  // share its key with one that has.
  for (const auto& source : m_sources)
    if (source->engine && source->SourceKey() == record.sourceKey)
      return IsGone(source.get()) ? nullptr : source->engine.get();
  return nullptr;
}

std::vector<RecoverySource> ScanSession::RecoverySources() const {
  std::vector<RecoverySource> list;
  for (ScanSource* source : LiveSources()) list.push_back({source->SourceKey(), source->engine.get()});
  return list;
}

void ScanSession::MarkGone(const ScanSource* source) {
  if (std::any_of(m_sources.begin(), m_sources.end(),
                  [source](const std::shared_ptr<ScanSource>& s) { return s.get() == source; }))
    m_gone.insert(source);
}

bool ScanSession::SourceGone(const FoundRecord& record) const {
  for (const auto& source : m_sources)
    if (source->engine && source->SourceKey() == record.sourceKey) return IsGone(source.get());
  return false;
}

}  // namespace velmira
