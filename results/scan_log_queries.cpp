// Reading a scan log back: folder lists, file counts, the search by
// extension, folder paths and folder lookups.
#include <algorithm>
#include <cstring>
#include <deque>
#include <numeric>
#include <string_view>
#include <unordered_set>

#include "platform/errors.h"
#include "platform/text.h"
#include "results/extension_lists.h"
#include "results/scan_log.h"

namespace velmira {
namespace {

std::string_view NameView(const FoundRecord& record) {
  return std::string_view(record.name, strnlen(record.name, kFoundNameBytes));
}

}  // namespace

bool IsHiddenBrokenPhoto(const FoundRecord& record) {
  if (record.contentOk != 0 || record.isFolder != 0) return false;
  const std::string ext = ExtensionOf(NameView(record));
  return !ext.empty() && ListContains(kPhotoExtensions, ext);
}

void SortFoundRecords(std::vector<FoundRecord>& records) {
  if (records.size() < 2) return;
  struct SortKey {
    bool folder;
    std::string_view name;
  };
  std::vector<SortKey> keys;
  keys.reserve(records.size());
  for (const FoundRecord& r : records) keys.push_back({r.isFolder != 0, NameView(r)});
  std::vector<uint32_t> order(records.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    if (keys[a].folder != keys[b].folder) return !keys[a].folder;
    return AsciiCompareNoCase(keys[a].name, keys[b].name) < 0;
  });
  // Apply the order in place, cycle by cycle (the records are large).
  std::vector<bool> placed(records.size(), false);
  for (size_t start = 0; start < records.size(); ++start) {
    if (placed[start] || order[start] == start) continue;
    const FoundRecord held = records[start];
    size_t at = start;
    while (true) {
      placed[at] = true;
      const size_t from = order[at];
      if (from == start) {
        records[at] = held;
        break;
      }
      records[at] = records[from];
      at = from;
    }
  }
}

std::string PathTextFrom(const std::vector<FoundRecord>& ancestors) {
  std::string text;
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
    text += RecordName(*it);
    text += '/';
  }
  return text;
}

int32_t CScanLog::ReadMain(void* buffer, size_t size, uint64_t offset, size_t& got) {
  ++m_mainReads;
  auto* bytes = static_cast<uint8_t*>(buffer);
  got = 0;
  while (got < size) {
    size_t done = 0;
    const int32_t err = ReadAt(m_mainRead, bytes + got, size - got, offset + got, done);
    if (err != kOk) return err;
    if (done == 0) break;  // end of file
    got += done;
  }
  return kOk;
}

const FoundRecord* CScanLog::BufferedRecord(uint32_t recordNumber) const {
  if (recordNumber <= m_flushed || recordNumber > LastRecordNumber()) return nullptr;
  return reinterpret_cast<const FoundRecord*>(m_buffer.get() +
                                              size_t{recordNumber - m_flushed - 1} * kScanLogRecordBytes);
}

int32_t CScanLog::ReadRecord(uint32_t recordNumber, FoundRecord& out) {
  if (recordNumber == 0 || recordNumber > LastRecordNumber()) return kErrInvalidParameter;
  if (const FoundRecord* buffered = BufferedRecord(recordNumber)) {
    std::memcpy(&out, buffered, sizeof out);
    return kOk;
  }
  size_t got = 0;
  const int32_t err = ReadMain(&out, sizeof out, uint64_t{recordNumber - 1} * kScanLogRecordBytes, got);
  if (err != kOk) return err;
  return got == sizeof out ? kOk : kErrHandleEof;
}

template <typename Sink>
int32_t CScanLog::ReadRecords(const std::vector<uint32_t>& numbers, Sink&& sink) {
  std::vector<uint8_t> piece;
  const uint32_t last = LastRecordNumber();
  size_t i = 0;
  while (i < numbers.size()) {
    const uint32_t first = numbers[i];
    if (first == 0 || first > last) {  // not a record of this log
      ++i;
      continue;
    }
    if (const FoundRecord* buffered = BufferedRecord(first)) {
      FoundRecord record;
      std::memcpy(&record, buffered, sizeof record);
      sink(record);
      ++i;
      continue;
    }
    // Children of one folder are mostly consecutive: read each ascending
    // run of up to 200 records in one request.
    size_t run = 1;
    while (i + run < numbers.size() && run < kScanLogBufferRecords && numbers[i + run] == first + run &&
           numbers[i + run] <= m_flushed)
      ++run;
    if (piece.empty()) piece.resize(kScanLogBufferBytes);
    size_t got = 0;
    const int32_t err =
        ReadMain(piece.data(), run * kScanLogRecordBytes, uint64_t{first - 1} * kScanLogRecordBytes, got);
    if (err != kOk) return err;
    // Records beyond the end of the file (a batch whose write failed) are
    // skipped.
    for (size_t k = 0; k < got / kScanLogRecordBytes; ++k) {
      FoundRecord record;
      std::memcpy(&record, piece.data() + k * kScanLogRecordBytes, sizeof record);
      if (record.recordNumber != 0) sink(record);
    }
    i += run;
  }
  return kOk;
}

const CScanLog::Children* CScanLog::ListFor(DirectoryKey key, DirectoryKey* resolved) const {
  if (m_relations.empty()) return nullptr;
  auto it = key == 0 ? m_relations.begin() : m_relations.find(key);
  if (it == m_relations.end()) return nullptr;
  if (resolved != nullptr) *resolved = it->first;
  return &it->second;
}

int32_t CScanLog::ReadChildRecords(DirectoryKey key, std::vector<FoundRecord>& out) {
  if (!m_open) return kOk;
  const Children* children = ListFor(key, nullptr);
  if (children == nullptr) return kOk;
  out.reserve(out.size() + children->records.size());
  const int32_t err = ReadRecords(children->records, [&](const FoundRecord& record) {
    if (!IsHiddenBrokenPhoto(record)) out.push_back(record);
  });
  if (err != kOk) return err;
  SortFoundRecords(out);
  return kOk;
}

int32_t CScanLog::EnsureIndexed() {
  if (m_existingIndexed) return kOk;
  std::vector<uint8_t> piece(kScanLogBufferBytes);
  for (uint32_t first = 1; first <= m_existing;) {
    const uint32_t count = std::min<uint32_t>(m_existing - first + 1, kScanLogBufferRecords);
    size_t got = 0;
    const int32_t err = ReadMain(piece.data(), size_t{count} * kScanLogRecordBytes,
                                 uint64_t{first - 1} * kScanLogRecordBytes, got);
    if (err != kOk) return err;
    const uint32_t whole = static_cast<uint32_t>(got / kScanLogRecordBytes);
    for (uint32_t k = 0; k < whole; ++k) {
      FoundRecord record;
      std::memcpy(&record, piece.data() + size_t{k} * kScanLogRecordBytes, sizeof record);
      const uint32_t n = first + k;
      const bool folder = record.isFolder != 0;
      m_isFolder[n - 1] = folder ? 1 : 0;
      m_keys[n - 1] = record.key;
      if (folder) {
        // Records found before the open precede every appended one.
        std::vector<uint32_t>& numbers = m_foldersByKey[uint32_t{record.key}];
        numbers.insert(std::lower_bound(numbers.begin(), numbers.end(), n), n);
      }
    }
    if (whole < count) break;  // the file shrank under us
    first += count;
  }
  m_existingIndexed = true;
  return kOk;
}

CScanLog::Meta CScanLog::MetaOf(uint32_t recordNumber) {
  Meta meta;
  if (recordNumber == 0 || recordNumber > LastRecordNumber()) return meta;
  if (const FoundRecord* buffered = BufferedRecord(recordNumber)) {
    meta.known = true;
    meta.isFolder = buffered->isFolder != 0;
    meta.key = buffered->key;
    return meta;
  }
  const uint8_t folder = m_isFolder[recordNumber - 1];
  if (folder == 2) return meta;
  meta.known = true;
  meta.isFolder = folder == 1;
  meta.key = m_keys[recordNumber - 1];
  return meta;
}

int32_t CScanLog::CountFilesBelow(DirectoryKey key, uint32_t& count) {
  count = 0;
  if (!m_open) return kOk;
  DirectoryKey start = 0;
  if (ListFor(key, &start) == nullptr) return kOk;
  if (const int32_t err = EnsureIndexed(); err != kOk) return err;

  // Breadth first. A folder filed under (d, k) leads to (d + 1, its key);
  // each key is visited once, so damaged relations cannot loop.
  std::deque<DirectoryKey> queue{start};
  std::unordered_set<DirectoryKey> visited{start};
  uint64_t files = 0;
  while (!queue.empty()) {
    const DirectoryKey current = queue.front();
    queue.pop_front();
    auto it = m_relations.find(current);
    if (it == m_relations.end()) continue;
    const uint32_t depth = DirectoryDepth(current);
    for (uint32_t n : it->second.records) {
      const Meta meta = MetaOf(n);
      if (!meta.known) continue;
      if (!meta.isFolder) {
        ++files;
        continue;
      }
      if (depth == UINT32_MAX) continue;
      const DirectoryKey child = MakeDirectoryKey(depth + 1, meta.key);
      if (m_relations.count(child) != 0 && visited.insert(child).second) queue.push_back(child);
    }
  }
  count = static_cast<uint32_t>(std::min<uint64_t>(files, UINT32_MAX));
  return kOk;
}

int32_t CScanLog::FindByExtension(const std::string& filter, std::vector<FoundRecord>& out) {
  const int32_t result = VisitByExtension(filter, [&](const FoundRecord& record) {
    out.push_back(record);
    return 0;
  });
  SortFoundRecords(out);
  return result;
}

int32_t CScanLog::VisitByExtension(const std::string& filter,
                                   const std::function<int32_t(const FoundRecord&)>& visit) {
  if (!m_open) return kOk;
  const std::string_view pattern(filter.data(), Utf8BoundaryAtOrBefore(filter, 4096));
  const bool everyFile = PatternTakesEveryFile(pattern);
  const bool noExtension = PatternTakesNoExtension(pattern);
  // The sweep reads the file: a log that could not be written whole would
  // give a fraction of the files as if it were all.
  if (const int32_t err = FlushLog(); err != kOk) return err;
  if (m_writeError != kOk) return m_writeError;

  const uint64_t totalBytes = uint64_t{m_flushed} * kScanLogRecordBytes;
  std::vector<uint8_t> piece(kScanLogBufferBytes);
  int32_t result = kOk;
  uint64_t offset = 0;
  while (offset < totalBytes) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(totalBytes - offset, kScanLogBufferBytes));
    size_t got = 0;
    if ((result = ReadMain(piece.data(), want, offset, got)) != kOk) break;
    for (size_t k = 0; k < got / kScanLogRecordBytes; ++k) {
      FoundRecord record;
      std::memcpy(&record, piece.data() + k * kScanLogRecordBytes, sizeof record);
      if (record.isFolder != 0 || IsHiddenBrokenPhoto(record)) continue;
      // The stored form of a long name keeps its extension.
      const std::string ext = ExtensionOf(NameView(record));
      const bool wanted = everyFile || (ext.empty() ? noExtension : ListContains(pattern, ext));
      if (wanted) {
        if (const int32_t answer = visit(record); answer != 0) return answer;
      }
    }
    if (got < want) break;  // the file is shorter than the records written to it
    offset += got;
    if (m_searchCallback != nullptr) {
      const auto percent = static_cast<int32_t>(offset * 100 / totalBytes);
      if (const int32_t answer = m_searchCallback(m_searchUserData, percent, 0); answer != 0) {
        result = answer;
        break;
      }
    }
  }
  return result;
}

bool CScanLog::FindParentKey(uint32_t recordNumber, DirectoryKey& parent) const {
  if (recordNumber < m_parentIdOf.size() && m_parentIdOf[recordNumber] != 0) {
    parent = m_keyById[m_parentIdOf[recordNumber] - 1];
    return true;
  }
  if (!m_unindexedRelations) return false;
  for (const auto& [key, children] : m_relations) {
    if (std::find(children.records.begin(), children.records.end(), recordNumber) != children.records.end()) {
      parent = key;
      return true;
    }
  }
  return false;
}

void CScanLog::FolderNumbersWithKey(uint32_t key, std::vector<uint32_t>& numbers) {
  numbers.clear();
  if (EnsureIndexed() == kOk) {
    if (auto it = m_foldersByKey.find(key); it != m_foldersByKey.end()) numbers = it->second;
  }
  for (uint32_t n = m_flushed + 1; n <= LastRecordNumber(); ++n) {
    const FoundRecord* r = BufferedRecord(n);
    if (r->isFolder != 0 && r->key == key) numbers.push_back(n);
  }
}

int32_t CScanLog::FindDirectoryRecord(uint32_t key, FoundRecord& out) {
  if (!m_open) return kErrInvalidParameter;
  if (const int32_t err = EnsureIndexed(); err != kOk) return err;
  std::vector<uint32_t> numbers;
  FolderNumbersWithKey(key, numbers);
  if (numbers.empty()) return kErrInvalidParameter;
  return ReadRecord(numbers.front(), out) == kOk ? kOk : kErrInvalidParameter;
}

bool CScanLog::ParentFolderOf(DirectoryKey parent, uint32_t& number, const DirInfoRecord*& named) {
  const uint32_t id = DirectoryId(parent);
  const uint32_t depth = DirectoryDepth(parent);
  number = 0;
  named = nullptr;
  // Folders that share a key (a deleted folder whose first cluster now
  // belongs to another) are told apart by their depth: the parent of a
  // directory at depth d is itself filed at depth d - 1.
  auto placed = [&](uint32_t n) {
    DirectoryKey above = 0;
    return depth > 0 && FindParentKey(n, above) && DirectoryDepth(above) == depth - 1;
  };
  const auto dirs = m_dirInfoByKey.find(id);
  if (dirs != m_dirInfoByKey.end()) {
    for (uint32_t index : dirs->second) {
      if (placed(m_dirInfo[index].recordNumber)) {
        named = &m_dirInfo[index];
        number = named->recordNumber;
        return true;
      }
    }
  }
  std::vector<uint32_t> folders;
  FolderNumbersWithKey(id, folders);
  for (uint32_t n : folders) {
    if (placed(n)) {
      number = n;
      return true;
    }
  }
  // Nothing fits the depth: the first named directory, else the first
  // folder record with the key.
  if (dirs != m_dirInfoByKey.end() && !dirs->second.empty()) {
    named = &m_dirInfo[dirs->second.front()];
    number = named->recordNumber;
    return true;
  }
  if (folders.empty()) return false;
  number = folders.front();
  return true;
}

int32_t CScanLog::BuildPath(const FoundRecord& record, std::vector<FoundRecord>& out) {
  if (!m_open || m_relations.empty()) return kOk;
  const DirectoryKey rootKey = m_relations.begin()->first;
  uint32_t current = record.recordNumber;
  std::unordered_set<uint32_t> seen{current};
  // Each step moves to a folder not met before and filed in the map, so
  // the walk ends.
  while (true) {
    DirectoryKey parent = 0;
    if (!FindParentKey(current, parent) || parent == rootKey) break;
    uint32_t nextNumber = 0;
    const DirInfoRecord* named = nullptr;
    if (!ParentFolderOf(parent, nextNumber, named) || nextNumber == current) break;
    FoundRecord next = MakeFoundRecord();
    if (named != nullptr) {
      next.isFolder = 1;
      next.key = named->key;
      std::memcpy(next.name, named->name, sizeof next.name);
    } else if (ReadRecord(nextNumber, next) != kOk) {
      break;
    }
    // The folder's position, not its stored number, which may be damaged.
    next.recordNumber = nextNumber;
    if (!seen.insert(nextNumber).second) break;
    out.push_back(next);
    current = nextNumber;
  }
  return kOk;
}

}  // namespace velmira
