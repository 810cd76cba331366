// Collecting the found files of the offered types from the scanned engines,
// and the options of the type page that decide which types are offered. No
// window here: the desktop program's collection window drives this job.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/scan_job.h"
#include "platform/status.h"
#include "results/found_record.h"

namespace velmira {

// The type page's groups, in the order of the recovery folders.
enum class TypeGroup { kPhoto = 0, kAudio = 1, kVideo = 2, kDocument = 3, kArchive = 4 };

// One option of the type page: its control name, its group, its extensions
// ("jpg|jpeg") and its text ("JPG/JPEG (.jpg .jpeg)").
struct TypeOption {
  std::string name;
  TypeGroup group = TypeGroup::kPhoto;
  std::string extensions;
  std::string label;
  bool selected = true;
};

// The extensions of an option's user data, in order.
[[nodiscard]] std::vector<std::string> SplitExtensions(std::string_view extensions);

// Completes the options so that every photo, audio, video, document and
// archive type that the extension lists or the signature table know is
// offered: a spelling of a
// type an option already offers joins that option's extensions (m4p with
// m4a); every other type gets an option of its own ("PCX (.pcx .scr)")
// appended to the first group whose list holds it.
void CompleteTypeOptions(std::vector<TypeOption>& options);

// Extension -> position of the option offering it; an extension offered by
// several options maps to the last. Ordered by plain character comparison.
using ExtensionMap = std::map<std::string, size_t>;
[[nodiscard]] ExtensionMap BuildExtensionMap(const std::vector<TypeOption>& options);

// "*.a|*.b|..." over the map's extensions; the photo, audio and video lists
// joined when the map is empty.
[[nodiscard]] std::string BuildSearchPattern(const ExtensionMap& map);
// The pattern the engines match with: "*" -> "." (dropped after "\"), and
// . ^ $ + ? { } [ ] escaped with "\".
[[nodiscard]] std::string ConvertSearchPattern(std::string_view wildcard);
// The converted pattern of the selected options; all options when none is
// selected.
[[nodiscard]] std::string SearchPatternFor(const std::vector<TypeOption>& options);

// "Collecting the files found on partition 2", "... in card.img".
[[nodiscard]] std::string SearchStageText(const TextSection& messages, const ScanSource& source);

class SearchJob {
 public:
  enum class Outcome {
    kFinished,   // every source searched
    kCancelled,  // stopped by a cancel; the files collected so far stay
    kNoEngine,   // a source without an engine: nothing is announced
    kEmpty,      // nothing to search
  };

  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void OnStage(size_t /*index*/, const std::string& /*text*/) {}
    // On the worker thread, after the control's checkpoint.
    virtual void OnProgress(int32_t /*percent*/, const std::string& /*percentText*/) {}
  };

  // Appends to `collected`, which the caller reads only after Run returned.
  SearchJob(std::vector<ScanSource*> sources, std::string pattern, std::vector<FoundRecord>& collected,
            JobControl& control, TextSection messages = {}, Observer* observer = nullptr);

  // A finished or stopped job may still have failed on a source: FirstError.
  [[nodiscard]] Outcome Run();
  void Cancel() { m_control.Cancel(); }

  // 2 after a confirmed cancel, else 1.
  [[nodiscard]] static int CloseCode(Outcome outcome) { return outcome == Outcome::kCancelled ? 2 : 1; }
  [[nodiscard]] static bool Announces(Outcome outcome) {
    return outcome == Outcome::kFinished || outcome == Outcome::kCancelled;
  }
  // The first failure an engine returned (Ok when none; a stop is no failure).
  [[nodiscard]] const Status& FirstError() const { return m_firstError; }
  // The index of the source that gave FirstError.
  [[nodiscard]] size_t FailedSource() const { return m_failedSource; }

  static int32_t ProgressCallback(void* userData, int32_t percent, int32_t ignored);

 private:
  std::vector<ScanSource*> m_sources;
  std::string m_pattern;
  std::vector<FoundRecord>& m_collected;
  JobControl& m_control;
  TextSection m_messages;
  Observer* m_observer;
  Status m_firstError;
  size_t m_failedSource = 0;
};

}  // namespace velmira
