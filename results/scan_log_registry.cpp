#include "results/scan_log_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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
#include "results/scan_checkpoint.h"
#include "results/source_identity.h"
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

CScanLogRegistry::FileLock::FileLock(CScanLogRegistry& registry, bool reload) : m_registry(registry) {
  if (m_registry.m_lockDepth++ > 0) return;
  // Read again once the lock is held: another process may have changed the
  // file since. A nested holder works on what the outermost one read.
  struct ReloadAtEnd {
    CScanLogRegistry& registry;
    bool reload;
    ~ReloadAtEnd() {
      if (reload) registry.ReloadEntries();
    }
  } reloadAtEnd{m_registry, reload};
  // Without a lock file (a folder that cannot be created) the change goes
  // ahead unlocked, and its save reports the failure.
  if (CreateFolderWithParents(m_registry.m_scanLogFolder) != kOk &&
      !fs::is_directory(m_registry.m_scanLogFolder))
    return;
  const std::string path = m_registry.m_scanLogFolder + "/config.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return;
    }
  }
  m_registry.m_lockFd = fd;
}

CScanLogRegistry::FileLock::~FileLock() {
  if (--m_registry.m_lockDepth > 0) return;
  if (m_registry.m_lockFd >= 0) ::close(m_registry.m_lockFd);
  m_registry.m_lockFd = -1;
}

void CScanLogRegistry::Load() {
  m_entries.clear();
  m_counter = 0;
  m_continuing = false;
  m_continuedFolder.clear();
  ReloadEntries();
}

void CScanLogRegistry::Reload() {
  FileLock lock(*this);
}

void CScanLogRegistry::ReloadEntries() {
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

  std::vector<DeepScanEntry> entries;
  const uint64_t count = std::min<uint64_t>((length - sizeof counter) / sizeof(DeepScanEntry), kMaxEntries);
  for (uint64_t i = 0; i < count; ++i) {
    DeepScanEntry entry = MakeDeepScanEntry();
    if (ReadAt(in, &entry, sizeof entry, sizeof counter + i * sizeof entry, done) != kOk ||
        done != sizeof entry)
      break;
    entries.push_back(entry);
  }
  m_counter = counter;
  m_entries = std::move(entries);
}

std::string CScanLogRegistry::CurrentLogFolder() const {
  if (m_continuing && !m_continuedFolder.empty()) return m_continuedFolder;
  return m_scanLogFolder + "/" + std::to_string(m_counter) + "/";
}

int32_t CScanLogRegistry::NewLogFolder() {
  FileLock lock(*this);
  ++m_counter;
  m_continuing = false;
  m_continuedFolder.clear();
  // A folder of that number that a scan holds (an older program that took
  // numbers back) is passed over.
  for (int skipped = 0; skipped < 1000 && ScanFolderLock::IsLocked(CurrentLogFolder()); ++skipped)
    ++m_counter;
  const int32_t removed = RemoveLogFolder(CurrentLogFolder());
  const int32_t saved = SaveRegistry();
  return removed != kOk ? removed : saved;
}

void CScanLogRegistry::TakeBackLogFolder() {
  const uint64_t mine = m_counter;
  FileLock lock(*this);
  if (m_counter != mine || mine == 0) return;  // a later number is taken: this one stays used
  --m_counter;
  (void)SaveRegistry();  // unsaved, the number only stays used: a later scan takes the next one
}

bool CScanLogRegistry::IsInsideScanLogFolder(const std::string& folder) const {
  if (folder.empty() || folder[0] != '/') return false;
  const fs::path base = fs::path(m_scanLogFolder).lexically_normal();
  const fs::path relative = fs::path(folder).lexically_normal().lexically_relative(base);
  if (relative.empty()) return false;
  const std::string first = relative.begin()->string();
  return first != "." && first != ".." && !first.empty();
}

int CScanLogRegistry::FindByFolder(const std::string& folder) const {
  for (size_t i = 0; i < m_entries.size(); ++i)
    if (WithTrailingSlash(EntryLogFolder(m_entries[i])) == folder) return static_cast<int>(i);
  return -1;
}

bool CScanLogRegistry::DropUnusable(size_t index) {
  const std::string folder = WithTrailingSlash(EntryLogFolder(m_entries[index]));
  std::error_code ec;
  if (IsInsideScanLogFolder(folder) && fs::is_directory(folder, ec)) return false;
  // Nothing left to continue (or a folder this registry does not own).
  DropEntryOf(folder);
  return true;
}

bool CScanLogRegistry::Accept(int index, DeepScanEntry& entry) {
  m_continuing = false;
  m_continuedFolder.clear();
  if (index < 0) return false;
  entry = m_entries[static_cast<size_t>(index)];
  m_continuing = true;
  m_continuedFolder = WithTrailingSlash(EntryLogFolder(entry));
  return true;
}

bool CScanLogRegistry::FindEntryForPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                             uint16_t sourceKey, const SourceIdentity& current,
                                             DeepScanEntry& entry) {
  int found = -1;
  for (size_t i = 0; i < m_entries.size() && found < 0;) {
    const DeepScanEntry& e = m_entries[i];
    if (e.imagePath[0] != 0 || e.imagePath[1] != 0 || e.startSector != startSector ||
        e.sectorCount != sectorCount) {
      ++i;
      continue;
    }
    if (DropUnusable(i)) continue;
    const std::string folder = WithTrailingSlash(EntryLogFolder(e));
    const bool sameDisk = e.diskNumber == static_cast<uint32_t>(diskNumber);
    bool same = false;
    if (HasSourceIdentity(folder)) {
      SourceIdentity stored;
      same = ReadSourceIdentity(folder, stored) && SameSource(stored, current) &&
             ((!stored.drive.empty() && !current.drive.empty()) || sameDisk);
    } else {
      // Recorded before folders named their source.
      same = sameDisk && e.volumeBytes == VolumeTotalBytes(sourceKey);
    }
    if (same) found = static_cast<int>(i);
    ++i;
  }
  return Accept(found, entry);
}

bool CScanLogRegistry::FindEntryForPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                             uint16_t sourceKey, DeepScanEntry& entry) {
  return FindEntryForPartition(diskNumber, startSector, sectorCount, sourceKey,
                               PartitionSourceIdentity(diskNumber, startSector, sectorCount), entry);
}

bool CScanLogRegistry::FindEntryForImage(const std::string& imagePath, const SourceIdentity& current,
                                         DeepScanEntry& entry) {
  int found = -1;
  for (size_t i = 0; i < m_entries.size() && found < 0;) {
    const std::string stored = EntryImagePath(m_entries[i]);
    if (imagePath.empty() || stored.empty() || (stored != imagePath && stored != current.imagePath)) {
      ++i;
      continue;
    }
    if (DropUnusable(i)) continue;
    const DeepScanEntry& e = m_entries[i];
    const std::string folder = WithTrailingSlash(EntryLogFolder(e));
    bool same = false;
    if (HasSourceIdentity(folder)) {
      SourceIdentity identity;
      same = ReadSourceIdentity(folder, identity) && SameSource(identity, current);
    } else {
      // Recorded before folders named their source: the path as stored, so
      // a relative one only with the same write time and length.
      same = current.kind == SourceIdentity::Kind::kImage && e.imageWriteTime == FileWriteTime(imagePath) &&
             e.sectorCount == current.bytes / 512;
    }
    if (same) found = static_cast<int>(i);
    ++i;
  }
  return Accept(found, entry);
}

bool CScanLogRegistry::FindEntryForImage(const std::string& imagePath, DeepScanEntry& entry) {
  return FindEntryForImage(imagePath, ImageSourceIdentity(imagePath), entry);
}

int32_t CScanLogRegistry::RecordDeepScan(uint16_t sourceKey, int32_t diskNumber, uint64_t startSector,
                                         uint64_t sectorCount, const DeepScanSweep& sweep,
                                         const std::string& logFolder, const std::string& imagePath) {
  const std::string folder = WithTrailingSlash(logFolder);
  // A cut path would name another file or folder.
  if (!FitsPathField(folder) || !FitsPathField(imagePath)) return kErrFilenameTooLong;
  FileLock lock(*this);

  // Entries are told apart by their folders: several may name one source
  // key (another card that was in the same slot).
  const int index = FindByFolder(folder);
  DeepScanEntry* entry = nullptr;
  if (index >= 0) {
    entry = &m_entries[static_cast<size_t>(index)];
  } else {
    m_entries.push_back(MakeDeepScanEntry());
    entry = &m_entries.back();
    entry->volumeBytes = VolumeTotalBytes(sourceKey);
    if (!imagePath.empty()) entry->imageWriteTime = FileWriteTime(imagePath);
  }
  // The source as it is named now (a drive renumbered since, an image
  // continued under its canonical path).
  entry->diskNumber = static_cast<uint32_t>(diskNumber);
  entry->startSector = startSector;
  entry->sectorCount = sectorCount;
  SetPathField(entry->imagePath, imagePath);
  entry->extentStart = sweep.extentStart;
  entry->extentLength = sweep.extentLength;
  entry->extentDone = sweep.extentDone;
  entry->sectorsSwept = sweep.sectorsSwept;
  entry->filesFound = sweep.filesFound;
  // The sweep values belong to the logs of this folder.
  SetPathField(entry->logFolder, folder);
  return SaveRegistry();
}

int32_t CScanLogRegistry::DropEntryOf(const std::string& folder) {
  FileLock lock(*this);
  const std::string wanted = WithTrailingSlash(folder);
  int32_t saved = kOk;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (AsciiEqualNoCase(WithTrailingSlash(EntryLogFolder(m_entries[i])), wanted)) {
      m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
      saved = SaveRegistry();
      break;
    }
  }
  return saved;
}

int32_t CScanLogRegistry::RemoveLogFolder(const std::string& folder) {
  FileLock lock(*this);
  const std::string wanted = WithTrailingSlash(folder);
  // The path may come from a damaged registry file: never delete anything
  // outside the ScanLog folder.
  const bool inside = IsInsideScanLogFolder(wanted);
  std::error_code ec;
  const bool exists = inside && fs::exists(fs::symlink_status(WithoutTrailingSlash(wanted), ec));
  // Held while deleting, so that no scan takes the folder meanwhile; a
  // folder a scan holds is not touched, nor its entry.
  ScanFolderLock hold;
  if (exists && fs::is_directory(WithoutTrailingSlash(wanted), ec) && hold.Acquire(wanted) == kErrBusy)
    return kErrBusy;
  const int32_t saved = DropEntryOf(wanted);
  if (!inside) return kErrAccessDenied;
  if (!exists) return saved;
  const int32_t removed = RemoveFolderTree(WithoutTrailingSlash(wanted));
  hold.Release();
  return removed != kOk ? removed : saved;
}

int32_t CScanLogRegistry::SaveRegistry() {
  int32_t err = CreateFolderWithParents(m_scanLogFolder);
  if (err != kOk) return err;
  FileLock lock(*this, /*reload=*/false);
  // The counter, then the entries, as they lie in memory. The rename
  // replaces "config" in one step: "config" is never missing.
  std::string bytes(sizeof m_counter + m_entries.size() * sizeof(DeepScanEntry), '\0');
  std::memcpy(bytes.data(), &m_counter, sizeof m_counter);
  if (!m_entries.empty())
    std::memcpy(bytes.data() + sizeof m_counter, m_entries.data(), m_entries.size() * sizeof(DeepScanEntry));
  return ReplaceFileContents(m_scanLogFolder + "/config", bytes);
}

}  // namespace velmira
