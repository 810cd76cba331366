#include "jobs/search_job.h"

#include <set>

#include "engines/carving/signature_table.h"
#include "platform/errors.h"
#include "platform/message_format.h"
#include "platform/text.h"
#include "results/extension_lists.h"
#include "results/result_tree.h"

namespace velmira {
namespace {

std::string Text(const TextSection& messages, const char* key) {
  const auto it = messages.find(key);
  return it == messages.end() ? std::string() : it->second;
}

// The extensions of a "*.a|*.b|" list, in order.
std::vector<std::string> ListExtensions(std::string_view list) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find('|', at);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(at, end - at);
    if (item.substr(0, 2) == "*.") item.remove_prefix(2);
    if (!item.empty()) out.emplace_back(item);
    at = end + 1;
  }
  return out;
}

// The file-types page's group of a signature-table row: its category when
// that is photo, audio or video.
bool GroupOfRow(const SignatureRow& row, TypeGroup& group) {
  switch (row.category) {
    case FileCategory::kPhoto:
      group = TypeGroup::kPhoto;
      return true;
    case FileCategory::kAudio:
      group = TypeGroup::kAudio;
      return true;
    case FileCategory::kVideo:
      group = TypeGroup::kVideo;
      return true;
    default:
      return false;
  }
}

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

std::vector<std::string> SplitExtensions(std::string_view extensions) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= extensions.size()) {
    size_t end = extensions.find('|', at);
    if (end == std::string_view::npos) end = extensions.size();
    if (end > at) out.push_back(AsciiLower(extensions.substr(at, end - at)));
    at = end + 1;
  }
  return out;
}

void CompleteTypeOptions(std::vector<TypeOption>& options) {
  // Every known type with its group, in list order, then the table's own.
  std::vector<std::pair<std::string, TypeGroup>> known;
  std::set<std::string> seen;
  const std::pair<std::string_view, TypeGroup> lists[] = {{kPhotoExtensions, TypeGroup::kPhoto},
                                                          {kAudioExtensions, TypeGroup::kAudio},
                                                          {kVideoExtensions, TypeGroup::kVideo},
                                                          {kDocumentExtensions, TypeGroup::kDocument},
                                                          {kArchiveExtensions, TypeGroup::kArchive}};
  for (const auto& [list, group] : lists)
    for (const std::string& ext : ListExtensions(list))
      if (seen.insert(ext).second) known.emplace_back(ext, group);
  for (const SignatureRow& row : SignatureTable()) {
    TypeGroup group;
    const std::string ext = row.extension;
    // The row's category is the first list holding its extension, by
    // substring too ("ts" is video through "*.mts|").
    if (seen.count(ext) != 0 || !GroupOfRow(row, group)) continue;
    seen.insert(ext);
    known.emplace_back(ext, group);
  }

  // Group key -> option offering it.
  std::map<std::string, size_t> byKey;
  std::set<std::string> offered;
  for (size_t i = 0; i < options.size(); ++i) {
    for (const std::string& ext : SplitExtensions(options[i].extensions)) {
      byKey.emplace(TypeGroupKey("." + ext), i);
      offered.insert(ext);
    }
  }
  for (const auto& [ext, group] : known) {
    if (offered.count(ext) != 0) continue;
    const std::string key = TypeGroupKey("." + ext);
    const auto owner = byKey.find(key);
    if (owner != byKey.end()) {
      TypeOption& option = options[owner->second];
      option.extensions += "|" + ext;
      // A new option's label lists its spellings.
      if (option.name.rfind("OptMore", 0) == 0 && option.label.size() > 1)
        option.label.insert(option.label.size() - 1, " ." + ext);
    } else {
      TypeOption option;
      option.name = "OptMore" + UpperAscii(key);
      option.group = group;
      option.extensions = ext;
      option.label = UpperAscii(key) + " (." + ext + ")";
      byKey.emplace(key, options.size());
      options.push_back(std::move(option));
    }
    offered.insert(ext);
  }
}

ExtensionMap BuildExtensionMap(const std::vector<TypeOption>& options) {
  ExtensionMap map;
  for (size_t i = 0; i < options.size(); ++i)
    for (const std::string& ext : SplitExtensions(options[i].extensions)) map[ext] = i;
  return map;
}

std::string BuildSearchPattern(const ExtensionMap& map) {
  if (map.empty()) {
    return std::string(kPhotoExtensions) + "|" + std::string(kAudioExtensions) + "|" +
           std::string(kVideoExtensions);
  }
  std::string pattern;
  for (const auto& [ext, option] : map) {
    if (!pattern.empty()) pattern += "|";
    pattern += "*." + ext;
  }
  return pattern;
}

std::string ConvertSearchPattern(std::string_view wildcard) {
  std::string out;
  out.reserve(wildcard.size() * 2);
  for (size_t i = 0; i < wildcard.size(); ++i) {
    const char c = wildcard[i];
    switch (c) {
      case '*':
        if (i == 0 || wildcard[i - 1] != '\\') out += '.';
        break;
      case '.':
      case '^':
      case '$':
      case '+':
      case '?':
      case '{':
      case '}':
      case '[':
      case ']':
        out += '\\';
        out += c;
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

std::string SearchPatternFor(const std::vector<TypeOption>& options) {
  std::vector<TypeOption> chosen;
  for (const TypeOption& option : options)
    if (option.selected) chosen.push_back(option);
  return ConvertSearchPattern(BuildSearchPattern(BuildExtensionMap(chosen.empty() ? options : chosen)));
}

std::string SearchStageText(const TextSection& messages, const ScanSource& source) {
  if (source.IsImage()) return FormatText(Text(messages, "MSG1203"), {ImageFileName(source.imagePath)});
  return FormatText(Text(messages, "MSG1202"), {static_cast<int>(source.partition->letterOrNumber)});
}

SearchJob::SearchJob(std::vector<ScanSource*> sources, std::string pattern,
                     std::vector<FoundRecord>& collected, JobControl& control, TextSection messages,
                     Observer* observer)
    : m_sources(std::move(sources)),
      m_pattern(std::move(pattern)),
      m_collected(collected),
      m_control(control),
      m_messages(std::move(messages)),
      m_observer(observer) {}

SearchJob::Outcome SearchJob::Run() {
  Outcome outcome = m_sources.empty() ? Outcome::kEmpty : Outcome::kFinished;
  for (size_t i = 0; i < m_sources.size(); ++i) {
    if (m_control.Cancelled()) {
      outcome = Outcome::kCancelled;
      break;
    }
    ScanSource& source = *m_sources[i];
    if (!source.engine) {
      outcome = Outcome::kNoEngine;
      break;
    }
    if (m_observer != nullptr) m_observer->OnStage(i, SearchStageText(m_messages, source));
    source.engine->SetSearchCallback(ProgressCallback, this);
    // An engine may empty its output first: each source collects apart.
    std::vector<FoundRecord> matches;
    const Status result = Status::FromCode(source.engine->CollectMatches(m_pattern, matches),
                                           "the found files could not be read");
    source.engine->SetSearchCallback(nullptr, nullptr);
    if (m_collected.empty())
      m_collected = std::move(matches);
    else
      m_collected.insert(m_collected.end(), matches.begin(), matches.end());
    if (result.IsCancelled()) {
      outcome = Outcome::kCancelled;
      break;
    }
    if (result.IsFailure() && m_firstError.IsOk()) {
      m_firstError = result;
      m_failedSource = i;
    }
  }
  m_control.done.store(1);
  return outcome;
}

int32_t SearchJob::ProgressCallback(void* userData, int32_t percent, int32_t /*ignored*/) {
  auto* job = static_cast<SearchJob*>(userData);
  if (job == nullptr) return 0;
  if (job->m_control.Checkpoint()) return kCancelled;
  if (job->m_observer != nullptr)
    job->m_observer->OnProgress(percent, FormatText("%s %d%%", {Text(job->m_messages, "MSG1204"), percent}));
  return 0;
}

}  // namespace velmira
