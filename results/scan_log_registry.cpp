#include "results/scan_log_registry.h"

#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "platform/time_util.h"
#include "storage/volume_keys.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

static_assert(std::endian::native == std::endian::little, "the registry file is stored as in memory");

// A damaged "config" must not make the load allocate without bound; real
// registries hold one entry per deep-scanned source.
constexpr uint64_t kMaxEntries = 65536;

std::string WithTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  return folder;
}

std::string WithoutTrailingSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

int32_t WriteAll(const FileHandle& handle, const void* data, size_t size, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t written = 0;
  while (written < size) {
    size_t done = 0;
    const int32_t err = WriteAt(handle, bytes + written, size - written, offset + written, done);
    if (err != kOk) return err;
    if (done == 0) return kErrWriteFault;
    written += done;
  }
  return kOk;
}

bool FitsPathField(const std::string& path) {
  return Utf8ToUtf16(path).size() < kDeepScanPathUnits;
}

void SetPathField(uint8_t* field, const std::string& path) {
  WriteUtf16LeField(field, kDeepScanPathUnits, Utf8ToUtf16(path));
}

}  // namespace

DeepScanEntry MakeDeepScanEntry() {
  DeepScanEntry entry;
  std::memset(&entry, 0, sizeof entry);
  return entry;
}

std::string EntryImagePath(const DeepScanEntry& entry) {
  return Utf16LeBytesToUtf8(entry.imagePath, kDeepScanPathUnits);
}

std::string EntryLogFolder(const DeepScanEntry& entry) {
  return Utf16LeBytesToUtf8(entry.logFolder, kDeepScanPathUnits);
}

uint64_t VolumeTotalBytes(uint16_t key) {
  const auto binding = FindVolumeKey(key);
  if (!binding || binding->mountPoint.empty()) return 0;
  std::error_code ec;
  const fs::space_info space = fs::space(binding->mountPoint, ec);
  return ec ? 0 : space.capacity;
}

uint64_t FileWriteTime(const std::string& path) {
  std::error_code ec;
  const fs::file_time_type written = fs::last_write_time(path, ec);
  if (ec) return 0;
  const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::file_clock::to_sys(written).time_since_epoch())
                             .count();
  const int64_t units = since1970 / 100;
  if (units < -static_cast<int64_t>(kFileTimeUnixEpoch)) return 0;
  return static_cast<uint64_t>(units + static_cast<int64_t>(kFileTimeUnixEpoch));
}

CScanLogRegistry& CScanLogRegistry::Instance() {
  static std::mutex lock;
  static std::unique_ptr<CScanLogRegistry> instance;
  std::lock_guard<std::mutex> guard(lock);
  std::string folder = CompanyDataFolder() + "/ScanLog";
  if (!instance) {
    instance = std::make_unique<CScanLogRegistry>(std::move(folder));
  } else if (instance->m_scanLogFolder != folder) {
    // Reloaded in place, so references taken earlier stay valid.
    instance->m_scanLogFolder = std::move(folder);
    instance->Load();
  }
  return *instance;
}

CScanLogRegistry::CScanLogRegistry(std::string scanLogFolder)
    : m_scanLogFolder(WithoutTrailingSlash(std::move(scanLogFolder))) {
  Load();
}

void CScanLogRegistry::Load() {
  m_entries.clear();
  m_counter = 0;
  m_continuing = false;
  m_continuedFolder.clear();

  const std::string config = m_scanLogFolder + "/config";
  const std::string temporary = m_scanLogFolder + "/config.tmp";
  std::error_code ec;
  // A save that was interrupted after "config" went away left its
  // replacement complete in "config.tmp".
  if (!fs::exists(config, ec) && fs::exists(temporary, ec)) fs::rename(temporary, config, ec);

  FileHandle in;
  if (OpenReadOnly(config, in) != kOk) return;
  uint64_t length = 0;
  if (HandleLength(in, length) != kOk || length < sizeof m_counter) return;
  size_t done = 0;
  uint64_t counter = 0;
  if (ReadAt(in, &counter, sizeof counter, 0, done) != kOk || done != sizeof counter) return;
  m_counter = counter;

  const uint64_t count = std::min<uint64_t>((length - sizeof counter) / sizeof(DeepScanEntry), kMaxEntries);
  for (uint64_t i = 0; i < count; ++i) {
    DeepScanEntry entry = MakeDeepScanEntry();
    if (ReadAt(in, &entry, sizeof entry, sizeof counter + i * sizeof entry, done) != kOk ||
        done != sizeof entry)
      break;
    m_entries.push_back(entry);
  }
}

std::string CScanLogRegistry::CurrentLogFolder() const {
  if (m_continuing && !m_continuedFolder.empty()) return m_continuedFolder;
  return m_scanLogFolder + "/" + std::to_string(m_counter) + "/";
}

int32_t CScanLogRegistry::NewLogFolder() {
  ++m_counter;
  m_continuing = false;
  m_continuedFolder.clear();
  return RemoveLogFolder(CurrentLogFolder());
}

void CScanLogRegistry::TakeBackLogFolder() {
  if (m_counter > 0) --m_counter;
}

bool CScanLogRegistry::IsInsideScanLogFolder(const std::string& folder) const {
  if (folder.empty() || folder[0] != '/') return false;
  const fs::path base = fs::path(m_scanLogFolder).lexically_normal();
  const fs::path relative = fs::path(folder).lexically_normal().lexically_relative(base);
  if (relative.empty()) return false;
  const std::string first = relative.begin()->string();
  return first != "." && first != ".." && !first.empty();
}

int CScanLogRegistry::FindByKey(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount) const {
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const DeepScanEntry& e = m_entries[i];
    if (e.diskNumber == static_cast<uint32_t>(diskNumber) && e.startSector == startSector &&
        e.sectorCount == sectorCount && e.imagePath[0] == 0 && e.imagePath[1] == 0)
      return static_cast<int>(i);
  }
  return -1;
}

int CScanLogRegistry::FindByImage(const std::string& imagePath) const {
  if (imagePath.empty()) return -1;
  for (size_t i = 0; i < m_entries.size(); ++i)
    if (EntryImagePath(m_entries[i]) == imagePath) return static_cast<int>(i);
  return -1;
}

bool CScanLogRegistry::Accept(int index, bool reusable, DeepScanEntry& entry) {
  m_continuing = false;
  m_continuedFolder.clear();
  if (index < 0) return false;
  const std::string folder = WithTrailingSlash(EntryLogFolder(m_entries[static_cast<size_t>(index)]));
  if (!reusable) {
    // The medium changed since: its old results no longer describe it.
    RemoveLogFolder(folder);
    return false;
  }
  std::error_code ec;
  if (!IsInsideScanLogFolder(folder) || !fs::is_directory(folder, ec)) {
    // Nothing left to continue (or a folder this registry does not own).
    m_entries.erase(m_entries.begin() + index);
    (void)SaveRegistry();
    return false;
  }
  entry = m_entries[static_cast<size_t>(index)];
  m_continuing = true;
  m_continuedFolder = folder;
  return true;
}

bool CScanLogRegistry::FindEntryForPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                             uint16_t driveLetter, DeepScanEntry& entry) {
  const int index = FindByKey(diskNumber, startSector, sectorCount);
  const bool reusable =
      index >= 0 && m_entries[static_cast<size_t>(index)].volumeBytes == VolumeTotalBytes(driveLetter);
  return Accept(index, reusable, entry);
}

bool CScanLogRegistry::FindEntryForImage(const std::string& imagePath, DeepScanEntry& entry) {
  const int index = FindByImage(imagePath);
  const bool reusable =
      index >= 0 && m_entries[static_cast<size_t>(index)].imageWriteTime == FileWriteTime(imagePath);
  return Accept(index, reusable, entry);
}

int32_t CScanLogRegistry::RecordDeepScan(uint16_t driveLetter, int32_t diskNumber, uint64_t startSector,
                                         uint64_t sectorCount, const DeepScanSweep& sweep,
                                         const std::string& logFolder, const std::string& imagePath) {
  const std::string folder = WithTrailingSlash(logFolder);
  // A cut path would name another file or folder.
  if (!FitsPathField(folder) || !FitsPathField(imagePath)) return kErrFilenameTooLong;

  const int index =
      imagePath.empty() ? FindByKey(diskNumber, startSector, sectorCount) : FindByImage(imagePath);
  DeepScanEntry* entry = nullptr;
  if (index >= 0) {
    entry = &m_entries[static_cast<size_t>(index)];
  } else {
    m_entries.push_back(MakeDeepScanEntry());
    entry = &m_entries.back();
    entry->diskNumber = static_cast<uint32_t>(diskNumber);
    entry->startSector = startSector;
    entry->sectorCount = sectorCount;
    entry->volumeBytes = VolumeTotalBytes(driveLetter);
    if (!imagePath.empty()) {
      SetPathField(entry->imagePath, imagePath);
      entry->imageWriteTime = FileWriteTime(imagePath);
    }
  }
  entry->extentStart = sweep.extentStart;
  entry->extentLength = sweep.extentLength;
  entry->extentDone = sweep.extentDone;
  entry->sectorsSwept = sweep.sectorsSwept;
  entry->filesFound = sweep.filesFound;
  // The sweep values belong to the logs of this folder.
  SetPathField(entry->logFolder, folder);
  return SaveRegistry();
}

int32_t CScanLogRegistry::RemoveLogFolder(const std::string& folder) {
  const std::string wanted = WithTrailingSlash(folder);
  int32_t saved = kOk;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (AsciiEqualNoCase(WithTrailingSlash(EntryLogFolder(m_entries[i])), wanted)) {
      m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
      saved = SaveRegistry();
      break;
    }
  }
  // The path may come from a damaged registry file: never delete anything
  // outside the ScanLog folder.
  if (!IsInsideScanLogFolder(wanted)) return kErrAccessDenied;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(WithoutTrailingSlash(wanted), ec))) return saved;
  const int32_t removed = RemoveFolderTree(WithoutTrailingSlash(wanted));
  return removed != kOk ? removed : saved;
}

int32_t CScanLogRegistry::SaveRegistry() {
  int32_t err = CreateFolderWithParents(m_scanLogFolder);
  if (err != kOk) return err;
  const std::string config = m_scanLogFolder + "/config";
  const std::string temporary = m_scanLogFolder + "/config.tmp";
  {
    FileHandle out;
    if ((err = OpenForWriting(temporary, WriteMode::kCreateAlways, out)) != kOk) return err;
    if ((err = WriteAll(out, &m_counter, sizeof m_counter, 0)) != kOk) return err;
    if (!m_entries.empty() && (err = WriteAll(out, m_entries.data(), m_entries.size() * sizeof(DeepScanEntry),
                                              sizeof m_counter)) != kOk)
      return err;
    if ((err = FlushHandle(out)) != kOk) return err;
    if ((err = out.Close()) != kOk) return err;
  }
  // rename replaces "config" in one step; "config" is never missing.
  std::error_code ec;
  fs::rename(temporary, config, ec);
  return ec ? ErrorFromErrno(ec.value(), IoDirection::kWrite) : kOk;
}

}  // namespace velmira
