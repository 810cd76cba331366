// The deep FAT scan: rebuilds FAT folders and files from directory sectors
// met during a sweep of the whole source, without trusting the boot sector,
// the allocation table or the root folder. The sweep (the combined deep scan,
// or RunDeepFatSweep for this engine alone) hands over every sector that
// starts a folder (OnDotDirectorySector) or looks like a piece of a folder
// (OnDirectorySector); the engine infers where the data area lies and how
// large the clusters are, joins long names cut at sector boundaries, links
// folders to their parents through their ".." entries, and files everything
// in its scan log. File data is read back from consecutive clusters.
//
//   CDeepFatRecovery engine;
//   engine.OpenImage(path, 1001);
//   engine.BeginDeepFatLog("");
//   engine.AddBootSectorLayout();
//   for each sector s at absolute sector n:
//     if (engine.IsDotDirectorySector(s)) engine.OnDotDirectorySector(s, n);
//     else if (engine.IsDirectorySector(s)) engine.OnDirectorySector(s, n);
//   engine.FinishDeepFat();
//   ... ListChildren, RecoverItem, ExtractForPreview ...
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engines/engine_skeleton.h"
#include "engines/fat/fat_directory.h"
#include "engines/fat/fat_layout.h"
#include "engines/output_sink.h"
#include "platform/byte_view.h"
#include "results/scan_log.h"
#include "storage/sector_source.h"

namespace velmira {

class CDeepFatRecovery final : public CEngineSkeleton {
 public:
  // Bounds that keep a hostile medium from exhausting memory or time. Real
  // media stay far below them.
  static constexpr size_t kMaxLayouts = 64;
  static constexpr size_t kMaxObservations = 4096;     // oldest dropped first
  static constexpr size_t kMaxNameTails = 1024;        // oldest dropped first
  static constexpr size_t kMaxFragments = 262144;      // further fragments are dropped
  static constexpr size_t kMaxPendingFiles = 1000000;  // further unplaceable files are dropped
  static constexpr size_t kMaxKnownFolders = 1000000;  // further folders are not kept (nor stored)
  static constexpr uint32_t kMaxFolderDepth = 256;     // ".." walks end here
  // Contiguous directory sectors after a folder start whose layout is not
  // known yet are taken as that folder's, up to this many sectors.
  static constexpr uint32_t kMaxUnplacedRun = 128;

  CDeepFatRecovery();
  ~CDeepFatRecovery() override;

  // Slots. Opening keeps the caller's sector count; an image's count is its
  // size / 512. A second open returns 0 at once.
  int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                               void* userData, int32_t scale) override;
  // Does nothing: the scan is driven from outside.
  int32_t Scan(const std::string& scanLogPath) override;
  int32_t RecoverItem(const FoundRecord& record, const std::string& destination, int32_t rootDepth) override;
  // Does nothing and returns 0.
  int32_t NextFreeExtent(uint64_t& position, uint64_t& length) override;
  // Does nothing and returns 0.
  int32_t LoadAllocationMap() override;
  int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                            uint32_t& byteCount, PreviewProgressCallback callback, void* userData) override;

  // Opens an already opened source (a test's or fuzzer's memory reader):
  // the partition is [startSector, startSector + sectorCount) of it.
  [[nodiscard]] int32_t OpenSource(SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                   uint16_t sourceKey, uint32_t bytesPerSector = 512) override;

  // The sweep's operations, in the order the sweep calls them.
  //
  // Empties every list and map, closes the previous scan log and opens a new
  // one: `logName` when continuing an earlier deep scan, else a fresh
  // "Pro_Fat_<start>_<time>" log in the folder it was handed (SetLogFolder).
  // Returns the open's result.
  [[nodiscard]] int32_t BeginDeepFatLog(const std::string& logName);
  // Adds the layout of a valid FAT boot sector at the partition start (the
  // first layout). Returns 0 (also when the sector is not a FAT boot sector)
  // or the read error.
  [[nodiscard]] int32_t AddBootSectorLayout();
  // The sweep's tests (engines/fat/fat_directory.h).
  [[nodiscard]] static bool IsDotDirectorySector(ByteView sector) {
    return sector.U8At(0) == '.' && velmira::IsDotDirectorySector(sector);
  }
  [[nodiscard]] static bool IsDirectorySector(ByteView buffer) {
    return MayBeDirectorySector(buffer) && velmira::IsDirectorySector(buffer);
  }
  // A sector that starts a folder, at absolute sector `sector`.
  void OnDotDirectorySector(ByteView data, uint64_t sector);
  // A directory sector that does not start a folder.
  void OnDirectorySector(ByteView data, uint64_t sector);
  // Once after the sweep: places the fragments and the files still pending
  // and writes the folders that lead to recorded files. Flushes the log:
  // returns 0 or the write error that left it incomplete.
  int32_t FinishDeepFat();

  // Inspection.
  [[nodiscard]] const std::vector<FatLayout>& Layouts() const { return m_layouts; }
  [[nodiscard]] bool HasBootLayout() const { return m_bootLayout; }
  [[nodiscard]] uint32_t RootCluster() const { return m_rootCluster; }
  [[nodiscard]] size_t PendingFileCount() const;
  [[nodiscard]] size_t FragmentCount() const { return m_fragments.size(); }
  [[nodiscard]] size_t NameTailCount() const { return m_tails.size(); }
  [[nodiscard]] uint64_t PartitionStart() const { return m_partitionStart; }
  [[nodiscard]] uint64_t PartitionLength() const { return m_partitionLength; }
  [[nodiscard]] uint32_t BytesPerSector() const { return m_bytesPerSector; }
  [[nodiscard]] const SectorSource& Source() const { return m_source; }
  [[nodiscard]] CScanLog* Store() { return m_store.get(); }

  // Where the next new scan log goes (see IFileRecoveryParse).

 private:
  using LayoutIndex = int32_t;  // into m_layouts; kNoLayout when none
  static constexpr LayoutIndex kNoLayout = -1;

  // An unfinished long name at the end of a parsed buffer.
  struct NameTail {
    uint8_t checksum = 0;
    uint32_t cluster = 0;  // the folder it was read under
    LayoutIndex layout = kNoLayout;
    std::vector<uint8_t> bytes;  // from the sequence's first part to the end of the buffer
    uint64_t sector = 0;         // the buffer's sector
    uint64_t endSector = 0;      // the sector that holds the tail's last bytes
  };
  struct Fragment {
    std::vector<uint8_t> bytes;
    bool used = false;
  };
  // A file whose folder no layout explained yet.
  struct PendingFile {
    FoundRecord record;         // every field but the layout's
    uint32_t folder = 0;        // the folder cluster
    uint64_t folderSector = 0;  // the sector recorded with it: the folder's start when explained
    bool searchHighHalf = false;
    bool done = false;
  };
  struct KnownFolder {
    FoundRecord record;  // recordNumber unused until stored
    uint32_t parent = 0;
    LayoutIndex layout = kNoLayout;
    uint64_t folderSector = 0;  // the sector recorded with the buffer it was found in
  };
  struct FolderToStore {
    LayoutIndex layout = kNoLayout;
    uint64_t sector = 0;
  };
  struct Placement {  // last layout / fragment layout
    LayoutIndex layout = kNoLayout;
    uint32_t cluster = 0;
    uint64_t sector = 0;
  };
  // A folder start met before any layout explained it; the contiguous
  // directory sectors after it are taken as the same folder's.
  struct UnplacedRun {
    bool active = false;
    uint32_t cluster = 0;
    uint64_t start = 0;
    uint64_t last = 0;
  };
  // What the first entries of a cluster's first sector say.
  struct FolderStart {
    bool read = false;         // the sector could be read
    bool volumeLabel = false;  // its first entry is a volume label
    bool dots = false;         // it starts with "." and ".."
    uint32_t dot = 0;          // the "." entry's cluster
    uint32_t dotDot = 0;       // the ".." entry's cluster
  };
  // Where the bytes of a parsed buffer lie: the first `headBytes` come from a
  // kept name tail, the rest from consecutive sectors starting at `sector`.
  struct BufferOrigin {
    size_t headBytes = 0;
    uint64_t headEndSector = 0;
    uint64_t sector = 0;
  };

  int32_t Open(const PartitionLocator& target) override;
  void ResetSweepState();
  [[nodiscard]] const FatLayout* LayoutAt(LayoutIndex index) const;
  [[nodiscard]] uint32_t SectorsPerClusterOf(LayoutIndex index) const;
  LayoutIndex AddLayout(const FatLayout& layout);
  LayoutIndex LayoutPlacingCluster(uint32_t cluster, uint64_t sector) const;
  LayoutIndex LayoutCovering(uint32_t cluster, uint64_t sector) const;
  LayoutIndex LayoutNearestBelow(uint64_t sector) const;
  void InferLayout(uint32_t cluster, uint64_t sector);
  [[nodiscard]] bool InSource(uint64_t sector) const;

  // Parsing (deep_fat_parse.cpp).
  std::optional<NameTail> ParseDirectoryBuffer(LayoutIndex layout, ByteView buffer, uint64_t sector,
                                               uint32_t cluster, const BufferOrigin& origin);
  uint32_t CurrentFolderOf(LayoutIndex layout, ByteView buffer, uint32_t cluster,
                           std::optional<uint32_t> continued);
  void ParseAndJoin(LayoutIndex layout, ByteView buffer, uint64_t sector, uint32_t cluster,
                    const BufferOrigin& origin);
  void KeepTail(NameTail tail);
  bool TryContinueTail(ByteView data, uint64_t sector);
  [[nodiscard]] bool TailMayContinueAt(const NameTail& tail, uint64_t sector) const;
  void RecordFile(LayoutIndex layout, FoundRecord record, uint32_t folder, uint64_t folderSector,
                  bool searchHighHalf);
  void WriteFile(LayoutIndex layout, FoundRecord record, uint32_t folder, bool searchHighHalf);
  void AddFoldersToStore(LayoutIndex layout, uint32_t folder, uint64_t sector);
  void PlacePendingFiles();
  // Appends the record; with a parent, files it there (named: with its name).
  void StoreRecord(FoundRecord record, std::optional<DirectoryKey> parent, bool named);
  FolderStart ReadFolderStart(LayoutIndex layout, uint32_t cluster);
  uint32_t FolderDepth(LayoutIndex layout, uint32_t parent);
  std::optional<uint32_t> ParentOf(LayoutIndex layout, uint32_t cluster);
  uint32_t SearchHighHalf(LayoutIndex layout, uint32_t low, bool folder, const std::string& extension);
  // Whether a file of `size` bytes from `cluster` lies inside the source and
  // its first sector fits the type its name gives.
  bool ContentMatches(LayoutIndex layout, uint32_t cluster, const std::string& name, uint64_t size);
  void ApplyLayout(FoundRecord& record, LayoutIndex layout) const;
  void ProcessFragments();
  void StoreFolders();

  // Reading back (deep_fat_output.cpp).
  template <typename ReportFn>
  int32_t CopyClusters(const FoundRecord& record, OutputSink& sink, ReportFn report);
  int32_t WriteOneFile(const FoundRecord& record, const std::string& path);

  // Target.
  bool m_opened = false;
  uint64_t m_partitionStart = 0;
  uint64_t m_partitionLength = 0;
  uint32_t m_bytesPerSector = 512;
  uint16_t m_sourceKey = 0;

  // Sweep state.
  std::vector<FatLayout> m_layouts;
  bool m_bootLayout = false;
  std::deque<std::pair<uint32_t, uint64_t>> m_observations;  // (cluster, sector)
  std::vector<PendingFile> m_pending;
  size_t m_pendingOpen = 0;     // pending files not yet placed
  size_t m_pendingChecked = 0;  // files [0, this) were checked against...
  size_t m_layoutsChecked = 0;  // ...layouts [0, this)
  std::map<uint32_t, KnownFolder> m_knownFolders;
  std::map<uint32_t, FolderToStore> m_foldersToStore;
  std::deque<NameTail> m_tails;
  std::map<uint64_t, Fragment> m_fragments;
  // Unused fragments by the checksum of their first entry (FirstEntryChecksum).
  std::array<std::set<uint64_t>, 256> m_fragmentIndex;
  Placement m_lastLayout;
  Placement m_fragmentLayout;
  UnplacedRun m_run;
  // The buffer parsed last: a directory sector right after it that shows no
  // folder of its own continues the same folder.
  struct PreviousParse {
    bool valid = false;
    LayoutIndex layout = kNoLayout;
    uint64_t endSector = 0;
    uint32_t folder = 0;
  } m_previous;
  uint32_t m_rootCluster = 2;
  // Folder starts and depths already read, by (layout, cluster).
  std::unordered_map<uint64_t, FolderStart> m_folderStarts;
  std::unordered_map<uint64_t, uint32_t> m_depths;
  std::vector<uint8_t> m_sectorBuffer;

  // Callbacks.
  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  int32_t m_scale = 0;
};

}  // namespace velmira
