#include "results/result_tree.h"

#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "platform/message_format.h"
#include "platform/text.h"
#include "platform/time_util.h"
#include "results/extension_lists.h"
#include "storage/disk_discovery.h"

namespace velmira {

std::string TypeTextOfName(std::string_view name, bool isFolder) {
  if (isFolder) return "folder";
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "file";
  return std::string(name.substr(dot + 1));
}

std::string TypeText(const FoundRecord& record) {
  return TypeTextOfName(RecordName(record), record.isFolder != 0);
}

std::string TypeGroupKey(std::string_view name) {
  const size_t dot = name.rfind('.');
  std::string key = AsciiLower(dot == std::string_view::npos ? name : name.substr(dot + 1));
  if (key == "jpeg") return "jpg";
  if (key == "tiff") return "tif";
  if (key == "scr") return "pcx";
  if (key == "midi") return "mid";
  if (key == "m4p") return "m4a";
  if (key == "jpe" || key == "jfif") return "jpg";
  if (key == "heif") return "heic";
  if (key == "dib") return "bmp";
  if (key == "mpg") return "mpeg";
  if (key == "sqlite") return "db";
  return key;
}

std::string IconFor(std::string_view typeText, uint32_t contentOk) {
  const std::string type = AsciiLower(typeText);
  std::string base;
  if (type == "folder") return "FileIcon/folder.png";
  if (type == "exe") {
    base = "exe";
  } else if (ListContains(kPhotoExtensions, type)) {
    base = "image";
  } else if (ListContains(kAudioExtensions, type)) {
    base = "music";
  } else if (ListContains(kDocumentExtensions, type)) {
    base = "doc";
  } else if (ListContains(kVideoExtensions, type)) {
    base = "video";
  } else if (ListContains(kArchiveExtensions, type)) {
    base = "zip";
  } else {
    base = "default";
  }
  return "FileIcon/" + base + (contentOk != 0 ? ".png" : "_error.png");
}

std::string TimeText(uint64_t fileTime) {
  if (fileTime == 0) return kNoTimeText;
  const CivilTime t = CivilFromFileTime(fileTime);
  return FormatText("%d-%d-%d %02d:%02d:%02d", {t.year, t.month, t.day, t.hour, t.minute, t.second});
}

std::string SizeText(const FoundRecord& record) {
  if (record.isFolder != 0) return {};
  const uint64_t size = record.size;
  return FormatSize(size > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(size));
}

namespace {

// The absolute first data sector of a named FAT file; false when the record
// does not tell it.
bool FatDataSector(const FoundRecord& record, uint32_t bytesPerSector, uint64_t& sector) {
  const uint32_t tag = record.engineTag;
  const uint32_t key = record.key;
  const uint32_t clusterBytes = record.clusterBytes;
  const uint64_t start = record.partitionStart;
  const uint64_t dataStart = record.dataStart;
  if ((tag != kTagFastFat && tag != kTagDeepFat) || record.isFolder != 0 || bytesPerSector == 0) return false;
  if (key < 2 || clusterBytes == 0 || clusterBytes == kNoClusterBytes || clusterBytes % bytesPerSector != 0)
    return false;
  const uint64_t clusterSectors = clusterBytes / bytesPerSector;
  const uint64_t index = key - 2;
  if (start > UINT64_MAX / 4 || dataStart > UINT64_MAX / 4 || index > (UINT64_MAX / 4) / clusterSectors)
    return false;
  sector = start + dataStart + index * clusterSectors;
  return true;
}

}  // namespace

void DropRepeatedFiles(std::vector<FoundRecord>& files, uint32_t bytesPerSector,
                       const DataSectorLookup& dataSector) {
  // Named files by their entry: the family of the file system (the fast
  // and the deep pass of one read the same entries), the source, the
  // entry's sector, its first cluster or file record, the name.
  using Entry = std::tuple<uint16_t, bool, uint64_t, uint32_t, std::string>;
  std::set<Entry> entries;
  // Entries are compared only when two passes of a file system, or the
  // carver, could have listed a file twice.
  bool tags[kTagCarving + 1] = {};
  std::set<uint16_t> carvedSources;
  for (const FoundRecord& r : files) {
    const uint32_t tag = r.engineTag;
    if (tag <= kTagCarving) tags[tag] = true;
    if (tag == kTagCarving) carvedSources.insert(uint16_t{r.sourceKey});
  }
  const bool twoNtfs = tags[kTagFastNtfs] && tags[kTagDeepNtfs];
  const bool twoFat = tags[kTagFastFat] && tags[kTagDeepFat];
  if (!twoNtfs && !twoFat && carvedSources.empty()) return;
  // Named files by where their data starts: size and type key. Only on
  // sources with carved files; an engine's answer may cost a read.
  std::map<std::pair<uint16_t, uint64_t>, std::vector<std::pair<uint64_t, std::string>>> starts;
  for (const FoundRecord& r : files) {
    const uint32_t tag = r.engineTag;
    if (tag == kTagCarving || r.isFolder != 0 || carvedSources.count(uint16_t{r.sourceKey}) == 0) continue;
    uint64_t sector = 0;
    if (FatDataSector(r, bytesPerSector, sector) ||
        (tag != kTagFastFat && tag != kTagDeepFat && dataSector && dataSector(r, sector)))
      starts[{uint16_t{r.sourceKey}, sector}].emplace_back(uint64_t{r.size}, TypeGroupKey(RecordName(r)));
  }
  std::erase_if(files, [&](const FoundRecord& r) {
    const uint32_t tag = r.engineTag;
    if (tag == kTagCarving) {
      const auto it = starts.find({uint16_t{r.sourceKey}, uint64_t{r.entrySector}});
      if (it == starts.end() || r.isFolder != 0) return false;
      const std::string key = TypeGroupKey(RecordName(r));
      for (const auto& [size, namedKey] : it->second)
        if (namedKey == key || r.size <= size) return true;
      return false;
    }
    const bool ntfs = tag == kTagFastNtfs || tag == kTagDeepNtfs;
    if (ntfs ? !twoNtfs : (tag != kTagFastFat && tag != kTagDeepFat) || !twoFat) return false;
    return !entries
                .emplace(uint16_t{r.sourceKey}, ntfs, uint64_t{r.entrySector}, uint32_t{r.key}, RecordName(r))
                .second;
  });
}

void DropRepeatedFiles(std::vector<FoundRecord>& files, uint32_t bytesPerSector) {
  DropRepeatedFiles(files, bytesPerSector, DataSectorLookup());
}

void GroupByType(const std::vector<FoundRecord>& results, TypeGroups& groups) {
  groups.clear();
  for (size_t i = 0; i < results.size(); ++i)
    groups[TypeGroupKey(RecordName(results[i]))].push_back(static_cast<uint32_t>(i));
}

std::string TypeNodeLabel(std::string_view optionText, uint64_t count) {
  std::string_view shown = optionText;
  const size_t paren = optionText.find('(');
  if (paren != std::string_view::npos) shown = optionText.substr(0, paren == 0 ? 0 : paren - 1);
  return FormatText("%s (%llu)", {shown, count});
}

std::string CategoryNodeLabel(std::string_view categoryText, uint64_t count) {
  return FormatText("%s (%llu)", {categoryText, count});
}

}  // namespace velmira
