#include "results/extension_lists.h"

#include <initializer_list>
#include <utility>

#include "platform/text.h"

namespace velmira {
namespace {

using Candidate = std::pair<std::string_view, FileCategory>;

constexpr size_t kMaxRecoveryExtension = 26;

FileCategory FirstListHolding(std::string_view ext, std::initializer_list<Candidate> order) {
  // The empty extension is in every list by substring: a file without one
  // is none of their kinds.
  if (ext.empty()) return FileCategory::kOthers;
  for (const auto& [list, category] : order)
    if (ListContains(list, ext)) return category;
  return FileCategory::kOthers;
}

}  // namespace

bool PatternTakesEveryFile(std::string_view pattern) {
  return pattern.find("*.*") != std::string_view::npos || pattern.find(".\\..") != std::string_view::npos;
}

bool PatternTakesNoExtension(std::string_view pattern) {
  return PatternTakesEveryFile(pattern) || pattern.find("*.|") != std::string_view::npos ||
         pattern.find("\\.|") != std::string_view::npos;
}

std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return AsciiLower(name.substr(dot + 1));
}

FileCategory RecoveryCategoryOf(std::string_view name) {
  std::string ext = ExtensionOf(name);
  if (ext.size() > kMaxRecoveryExtension) ext.resize(kMaxRecoveryExtension);
  return CategoryOfExtension(ext);
}

const char* RecoveryFolderName(FileCategory category) {
  switch (category) {
    case FileCategory::kPhoto:
      return "photo";
    case FileCategory::kAudio:
      return "audio";
    case FileCategory::kVideo:
      return "video";
    case FileCategory::kDocument:
      return "document";
    case FileCategory::kArchive:
      return "archive";
    case FileCategory::kOthers:
      return "others";
  }
  return "others";
}

FileCategory PreviewKindOf(std::string_view name) {
  if (name.find('.') == std::string_view::npos) return FileCategory::kPhoto;
  const std::string ext = ExtensionOf(name);
  if (ListContains(kAudioExtensions, ext)) return FileCategory::kAudio;
  if (ListContains(kVideoExtensions, ext)) return FileCategory::kVideo;
  return FileCategory::kPhoto;
}

PreviewTarget PreviewTargetOf(std::string_view name) {
  const std::string ext = ExtensionOf(name);
  if (ListContains(kAudioExtensions, ext) || ListContains(kVideoExtensions, ext))
    return PreviewTarget::kTempMedia;
  if (ListContains(kPhotoExtensions, ext)) return PreviewTarget::kTempPicture;
  return PreviewTarget::kMemory;
}

const char* PreviewTempFileName(PreviewTarget target) {
  switch (target) {
    case PreviewTarget::kTempMedia:
      return "tmp.avi";
    case PreviewTarget::kTempPicture:
      return "tmp.jpg";
    case PreviewTarget::kMemory:
      return "";
  }
  return "";
}

FileCategory IconCategoryOf(std::string_view name) {
  return FirstListHolding(ExtensionOf(name), {{kPhotoExtensions, FileCategory::kPhoto},
                                              {kAudioExtensions, FileCategory::kAudio},
                                              {kDocumentExtensions, FileCategory::kDocument},
                                              {kVideoExtensions, FileCategory::kVideo},
                                              {kArchiveExtensions, FileCategory::kArchive}});
}

}  // namespace velmira
