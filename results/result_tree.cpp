#include "results/result_tree.h"

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
