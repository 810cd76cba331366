#include "engines/engine_skeleton.h"

#include <algorithm>
#include <utility>

#include "engines/logged_results.h"
#include "platform/errors.h"

namespace velmira {

CEngineSkeleton::~CEngineSkeleton() {
  if (m_store) m_store->CloseLog();
  CloseSource(m_source);
}

int32_t CEngineSkeleton::OpenSource(SectorSource, uint64_t, uint64_t, uint16_t, uint32_t) {
  return kErrInvalidFunction;
}

int32_t CEngineSkeleton::OpenThroughSource(const PartitionLocator& target) {
  SectorSource source;
  OpenedTarget opened;
  if (const int32_t err = OpenTargetSource(target, source, opened); err != kOk) return err;
  return OpenSource(std::move(source), opened.startSector, opened.sectorCount, opened.sourceKey,
                    opened.bytesPerSector);
}

uint64_t CEngineSkeleton::SectorsOnSource(const SectorSource& source, uint64_t startSector,
                                          uint64_t sectorCount) {
  const uint64_t available = source.sectorCount > startSector ? source.sectorCount - startSector : 0;
  return sectorCount == 0 ? available : std::min(sectorCount, available);
}

int32_t CEngineSkeleton::OpenImage(const std::string& imagePath, uint16_t imageValue) {
  // An empty path would name a partition target (drive 0) instead.
  if (imagePath.empty()) return kErrPathNotFound;
  return Open(ImageTarget(imagePath, imageValue));
}

int32_t CEngineSkeleton::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                       uint16_t sourceKey) {
  return Open(PartitionTarget(diskNumber, startSector, sectorCount, sourceKey));
}

int32_t CEngineSkeleton::ListChildren(const FoundRecord* folder, uint32_t depth,
                                      std::vector<FoundRecord>& children) {
  // A file's key may equal a folder's (or the root's): it must not list theirs.
  if (folder != nullptr && folder->isFolder == 0) {
    children.clear();
    return kOk;
  }
  return ListLoggedChildren(m_store.get(), RootKey(), folder, depth, children);
}

int32_t CEngineSkeleton::CountFiles(const FoundRecord* folder, uint32_t depth, uint32_t& count) {
  if (folder != nullptr && folder->isFolder == 0) {
    count = 0;
    return kOk;
  }
  return CountLoggedFiles(m_store.get(), RootKey(), folder, depth, count);
}

uint64_t CEngineSkeleton::GetFoundCount() {
  return m_store ? m_store->RecordCount() : 0;
}

int32_t CEngineSkeleton::GetFolderPath(const FoundRecord& record, std::string& path, uint32_t maxChars) {
  return LoggedFolderPath(m_store.get(), record, path, maxChars);
}

int32_t CEngineSkeleton::SetSearchCallback(SearchProgressCallback callback, void* userData) {
  m_searchCallback = callback;
  m_searchUserData = userData;
  if (m_store) m_store->SetSearchCallback(callback, userData);
  return kOk;
}

int32_t CEngineSkeleton::CollectMatches(const std::string& patterns, std::vector<FoundRecord>& matches) {
  return CollectLoggedMatches(m_store.get(), patterns, matches);
}

CScanLog& CEngineSkeleton::NewLog() {
  if (m_store) m_store->CloseLog();
  m_store = std::make_unique<CScanLog>(m_logFolder);
  m_store->SetSearchCallback(m_searchCallback, m_searchUserData);
  return *m_store;
}

}  // namespace velmira
