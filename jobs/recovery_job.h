// Recovering checked files out of their engines into a destination folder,
// one category subfolder per kind of file. No window here: the command line
// and the desktop program both drive this job and show its results.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engines/file_recovery_parse.h"
#include "engines/output_sink.h"
#include "jobs/cancel_token.h"
#include "platform/status.h"

namespace velmira {

// The result text of a file whose source was closed before it was copied.
inline constexpr const char* kSourceGoneText = "The source of this file is no longer open.";

// A scanned source that can serve recoveries: its source key (the partition
// key or image value every record of it carries) and its engine.
struct RecoverySource {
  uint16_t key = 0;
  IFileRecoveryParse* engine = nullptr;
};

// How one file ended.
struct RecoveryResult {
  std::string path;  // destination path (or the record's name when no path was built)
  Status status;     // Ok, Cancelled (stopped while copied), or the failure with its code
  std::string text;  // "Success" or the English text of the code
  size_t index = 0;  // the file's position in the job's list
  // What the engine wrote of the file (its digest, size and places on the
  // source), when it began writing it.
  bool traced = false;
  WrittenTrace trace;
};

// The target path of a record: destination/category/name, where the name is
// the stored name made safe for a path, and "(1)", "(2)", ... go before the
// extension while the path is taken. The engine's output takes the next free
// name again when it moves a finished file there (another program may have
// taken this one meanwhile), and reports the name it used.
[[nodiscard]] std::string RecoveryTargetPath(const std::string& destination, const FoundRecord& record);

// Keeps a category folder usable when a run recovers very many files (a
// carve of a large medium): the first `limit` files of a category go to its
// folder ("photo"), the next `limit` to "photo.2", then "photo.3", ... The
// caller owns it, so that several jobs of one run (a listing recovered in
// pieces) share the counts. A limit of 0 keeps one folder per category.
struct FolderSpread {
  uint32_t limit = 0;
  uint64_t placed[6] = {};  // files placed so far, by FileCategory

  // The category folder name for the next file of `name`'s category, counted.
  [[nodiscard]] std::string NextFolder(std::string_view name);
};
inline constexpr uint32_t kFilesPerFolder = 10000;

// As above, in the folder `spread` gives (null: the category folder).
[[nodiscard]] std::string RecoveryTargetPath(const std::string& destination, const FoundRecord& record,
                                             FolderSpread* spread);

// The engine of a record: the first source whose key equals the record's
// sourceKey, else null.
[[nodiscard]] IFileRecoveryParse* EngineForRecord(const std::vector<RecoverySource>& sources,
                                                  const FoundRecord& record);

// Separators in all but the last character of a folder path.
[[nodiscard]] int32_t SeparatorCount(const std::string& folder);

class RecoveryJob {
 public:
  // Called on the worker thread, after the token's checkpoint.
  struct Observer {
    virtual ~Observer() = default;
    // Overall percent of the current file and its destination path.
    virtual void OnProgress(int32_t percent, const std::string& path) = 0;
    // A finished file (success or failure).
    virtual void OnFileFinished(const RecoveryResult& result) = 0;
    // A file reported as a success whose engine then returned an error: the
    // last result now holds that error.
    virtual void OnResultChanged(const RecoveryResult& /*result*/) {}
  };

  RecoveryJob(std::string destination, std::vector<RecoverySource> sources, std::vector<FoundRecord> files,
              Observer* observer = nullptr);

  // Recovers every file in order. Ok when all were attempted (some may have
  // failed; see Results and Failed), or Cancelled.
  [[nodiscard]] Status Run();

  // May be called from any thread; the next progress report stops the job.
  void Cancel() { m_token.Cancel(); }
  // The token each progress report passes: a front end pauses it while it
  // asks whether to stop.
  CancelToken& Token() { return m_token; }

  // Keep what was copied of a file that failed or was stopped as
  // "NAME.partial" instead of removing it. Set before Run.
  void SetKeepPartial(bool keep) { m_keepPartial = keep; }
  // Spread the files over category folders of at most spread->limit files.
  // Set before Run; the object must outlive it.
  void SetFolderSpread(FolderSpread* spread) { m_spread = spread; }

  // Trace what is written of each file (its SHA-256 and its places on the
  // source) into its result, for a report. Set before Run.
  void SetTraceWrites(bool trace) { m_traceWrites = trace; }

  [[nodiscard]] uint32_t Processed() const { return m_processed; }
  [[nodiscard]] uint32_t Failed() const { return m_failed; }
  [[nodiscard]] uint32_t Total() const { return static_cast<uint32_t>(m_files.size()); }
  // Results in the order the files finished.
  [[nodiscard]] const std::vector<RecoveryResult>& Results() const { return m_results; }

 private:
  static int32_t FileProgress(void* user, int32_t percent, int32_t scale, int32_t error,
                              const std::string& path);
  int32_t OnFileProgress(int32_t percent, int32_t scale, int32_t error, const std::string& path);
  void Finish(const std::string& path, int32_t error, const char* text = nullptr);
  void Finish(const std::string& path, const Status& status, const char* text = nullptr);

  std::string m_destination;
  std::vector<RecoverySource> m_sources;
  std::vector<FoundRecord> m_files;
  Observer* m_observer;
  std::mutex m_lock;
  CancelToken m_token;
  uint32_t m_processed = 0;
  uint32_t m_failed = 0;
  bool m_fileFinished = false;
  bool m_keepPartial = false;
  FolderSpread* m_spread = nullptr;
  bool m_traceWrites = false;
  size_t m_current = 0;
  WrittenTrace m_trace;  // of the current file
  std::vector<RecoveryResult> m_results;
};

}  // namespace velmira
