#include "engines/fat/fat_layout_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engines/boot_sector_read.h"
#include "engines/fat/fat_directory.h"

namespace velmira {
namespace {

constexpr uint32_t kMaxFoldersChecked = 8;
constexpr uint32_t kMaxFilesChecked = 16;
constexpr uint32_t kMaxRootSectorsChecked = 4096;

class Reader {
 public:
  Reader(const SectorSource& source, uint64_t volumeStart, uint32_t bytesPerSector)
      : m_source(source), m_start(volumeStart), m_bps(bytesPerSector) {}
  // Reads `count` volume sectors from `sector`; false when any could not be read.
  bool Read(uint64_t sector, uint32_t count, std::vector<uint8_t>& out) const {
    out.assign(size_t{count} * m_bps, 0);
    return ReadSectorsEach(m_source, m_start + sector, count, m_bps, out.data()) == 0;
  }

 private:
  const SectorSource& m_source;
  uint64_t m_start;
  uint32_t m_bps;
};

// One 32-byte folder entry as a formatter or a file system leaves it.
bool PlausibleEntry(FatEntryView e) {
  if (e.IsLongNamePart()) return true;
  if ((e.Attributes() & 0xC0) != 0) return false;
  for (size_t i = 0; i < 11; ++i) {
    const uint8_t c = e.NameByte(i);
    if (i == 0 && (c == kFatDeletedMark || c == 0x05)) continue;
    if (c < 0x20 || c == '"' || c == '*' || c == '/' || c == ':' || c == '<' || c == '>' || c == '?' ||
        c == '\\' || c == '|' || c == 0x7F)
      return false;
  }
  return true;
}

// The entries of a folder's first sectors up to the end mark; false when one
// of them is not a folder entry.
bool LooksLikeFolder(ByteView sectors, size_t& endOffset) {
  endOffset = sectors.size();
  for (size_t off = 0; off + kFatEntryBytes <= sectors.size(); off += kFatEntryBytes) {
    const FatEntryView e(sectors.Sub(off, kFatEntryBytes));
    if (e.IsEndMark()) {
      endOffset = off;
      return true;
    }
    if (!PlausibleEntry(e)) return false;
  }
  return true;
}

}  // namespace

bool FatLayoutHolds(const SectorSource& source, uint64_t volumeStart, uint64_t mediumSectors, ByteView boot,
                    const FatGeometry& g) {
  const uint32_t bps = g.bytesPerSector;
  if (bps == 0 || g.sectorsPerCluster == 0 || g.sectorsPerTable == 0) return false;
  const Reader reader(source, volumeStart, bps);
  std::vector<uint8_t> buffer;

  // The clusters fit the table and the volume fits the medium.
  if (g.dataStart >= g.totalSectors) return false;
  if (mediumSectors != 0 && g.totalSectors > mediumSectors) return false;
  const uint64_t clusters = (g.totalSectors - g.dataStart) / g.sectorsPerCluster;
  const uint64_t tableEntries = uint64_t{g.sectorsPerTable} * bps * 8 / g.entryBits;
  if (clusters + 2 > tableEntries) return false;

  // FAT32 keeps a copy of its boot sector; a field changed in one alone
  // shows here.
  if (g.isFat32) {
    const uint32_t backup = boot.U16At(50);
    if (backup != 0 && backup != 0xFFFF && backup < g.reservedSectors && reader.Read(backup, 1, buffer)) {
      const ByteView copy(buffer.data(), buffer.size());
      if (IsFat32BackupBootSector(buffer.data(), buffer.size()) || copy.Matches(82, "FAT32   ")) {
        for (size_t i = 11; i < 48; ++i)
          if (copy.U8At(i) != boot.U8At(i)) return false;
      }
    }
  }

  // The tables: each copy starts as the first does; the first entries hold
  // the media byte and an end mark.
  std::vector<uint8_t> first;
  if (reader.Read(g.reservedSectors, 1, first)) {
    const ByteView fat(first.data(), first.size());
    uint32_t entry0 = 0, entry1 = 0, ones = 0;
    if (g.entryBits == 32) {
      entry0 = fat.U32At(0) & 0x0FFFFFFF;
      entry1 = (fat.U32At(4) | 0x0C000000) & 0x0FFFFFFF;
      ones = 0x0FFFFF00;
    } else if (g.entryBits == 16) {
      entry0 = fat.U16At(0);
      entry1 = fat.U16At(2) | 0xC000;
      ones = 0xFF00;
    } else {
      const uint32_t three = fat.U8At(0) | (uint32_t{fat.U8At(1)} << 8) | (uint32_t{fat.U8At(2)} << 16);
      entry0 = three & 0xFFF;
      entry1 = three >> 12;
      ones = 0xF00;
    }
    if ((entry0 & 0xFF) != boot.U8At(21) || (entry0 & ones) != ones) return false;
    if (entry1 < g.EndOfChain()) return false;
    for (uint32_t copy = 1; copy < g.numberOfTables; ++copy) {
      if (!reader.Read(g.reservedSectors + uint64_t{copy} * g.sectorsPerTable, 1, buffer)) continue;
      if (buffer != first) return false;
    }
  }

  // The root folder.
  std::vector<uint8_t> root;
  size_t rootEnd = 0;
  if (g.isFat32) {
    if (g.rootCluster < 2 || g.rootCluster > g.clusterCount + 1) return false;
    if (!reader.Read(g.ClusterSector(g.rootCluster), g.sectorsPerCluster, root)) return true;
    if (!LooksLikeFolder(ByteView(root.data(), root.size()), rootEnd)) return false;
  } else {
    const uint32_t sectors = std::min(g.rootSectors, kMaxRootSectorsChecked);
    if (sectors == 0) return false;
    if (!reader.Read(g.RootSector(), sectors, root)) return true;
    if (!LooksLikeFolder(ByteView(root.data(), root.size()), rootEnd)) return false;
    // A formatter clears the whole root; data after its end means that the
    // root is taken to be larger than it is.
    if (std::any_of(root.begin() + static_cast<std::ptrdiff_t>(rootEnd), root.end(),
                    [](uint8_t b) { return b != 0; }))
      return false;
  }

  // The folders the root names start with "." and ".."; the files it names
  // have chains as long as their sizes.
  FatTable table(source, g, volumeStart + g.reservedSectors);
  const ByteView entries(root.data(), rootEnd);
  uint32_t folders = 0, files = 0;
  for (size_t off = 0; off + kFatEntryBytes <= entries.size(); off += kFatEntryBytes) {
    const FatEntryView e(entries.Sub(off, kFatEntryBytes));
    if (e.IsDeleted() || e.StartsWithDot() || e.IsLongNamePart() || (e.Attributes() & kFatVolumeLabel) != 0)
      continue;
    const uint32_t cluster = e.FirstCluster() & 0x0FFFFFFF;
    if (cluster < 2) continue;
    if (cluster > g.clusterCount + 1) return false;
    if (e.IsFolder()) {
      if (folders++ >= kMaxFoldersChecked) continue;
      if (!reader.Read(g.ClusterSector(cluster), 1, buffer)) continue;
      const ByteView dot(buffer.data(), buffer.size());
      if (!dot.Matches(0, ".          ") || !dot.Matches(32, "..         ")) return false;
      if ((FatEntryAt(dot, 0).FirstCluster() & 0x0FFFFFFF) != cluster) return false;
      continue;
    }
    const uint32_t size = e.Size();
    if (size == 0 || files++ >= kMaxFilesChecked) continue;
    const uint64_t wanted = (uint64_t{size} + g.ClusterBytes() - 1) / g.ClusterBytes();
    uint64_t length = 1;
    uint32_t at = cluster;
    bool readable = true;
    while (length <= wanted) {
      uint32_t value = 0;
      if (table.Entry(at, value) != 0) {
        readable = false;
        break;
      }
      if (!table.IsChainValue(value)) break;
      at = value;
      ++length;
    }
    if (readable && length != wanted) return false;
  }
  return true;
}

}  // namespace velmira
