// Where an engine writes the data it reads back for a found file: a
// recovered file (written under a hidden temporary name beside its own and
// moved to a free name once it is complete), a preview file in the ScanLog
// folder, or the caller's memory buffer.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/sha256.h"
#include "results/found_record.h"
#include "results/progress_callbacks.h"

namespace velmira {

// Bytes of the source, counted from the start of the drive or image file.
struct ByteRun {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// What went into a recovered file, gathered while it is written: the digest
// and number of its bytes and, in order, the places on the source they were
// read from (adjacent pieces joined). Bytes an engine made rather than
// copied (zeros of a sparse run, decompressed data, data kept inside a file
// record) have no place: they count in unplacedBytes, and the runs then do
// not describe the whole file.
struct WrittenTrace {
  bool begun = false;  // the file was created
  Sha256 digest;
  uint64_t bytes = 0;
  std::vector<ByteRun> runs;
  uint64_t unplacedBytes = 0;
};

// While one lives, the recovered files this thread writes (OutputSink's
// CreateRecovered) are traced into `trace`, which each new file resets.
class WrittenTraceScope {
 public:
  explicit WrittenTraceScope(WrittenTrace* trace);
  ~WrittenTraceScope();
  WrittenTraceScope(const WrittenTraceScope&) = delete;
  WrittenTraceScope& operator=(const WrittenTraceScope&) = delete;

 private:
  WrittenTrace* m_previous;
};

class OutputSink {
 public:
  OutputSink() = default;
  // A recovered file never finished (its engine threw) is removed.
  ~OutputSink();
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Creates the file's missing folders and the file itself, truncating an
  // existing one (a preview's temporary file). Returns 0 or the Win32 code of
  // the failing step.
  [[nodiscard]] int32_t OpenFile(const std::string& path);
  // For a recovered file that is to stand at `path`: creates the missing
  // folders and a new hidden temporary file in the same folder (O_EXCL, so
  // nothing is ever opened twice or truncated). Returns 0 or the error.
  [[nodiscard]] int32_t CreateRecovered(const std::string& path);
  // Ends a file begun by CreateRecovered. A complete one is flushed, closed
  // and moved to its path, or to the next free "name(1).ext", "name(2).ext",
  // ... without ever replacing a file. An incomplete one (or one whose flush,
  // close or move failed) is removed, or with `keepPartial` moved the same
  // way to "NAME.partial". `finalPath` gets the name the file now stands
  // under (the wanted path when nothing was kept). Returns 0 or the error of
  // flushing, closing or moving.
  [[nodiscard]] int32_t FinishRecovered(bool complete, bool keepPartial, std::string& finalPath);
  // The modification and access times a recovered file is given before it
  // takes its name (see RecoveredFileTimes); without a call it keeps the
  // time it was written.
  void SetTimes(const FoundRecord& record);
  // A copy that will be complete but is known not to be the file's own data
  // (kErrContentOverwritten): it is kept under its name and RecoverToFile
  // reports this code instead of success.
  void SetDoubtful(int32_t code) { m_doubtful = code; }
  [[nodiscard]] int32_t Doubtful() const { return m_doubtful; }
  // Writes into memory, at most `capacity` bytes; more is dropped.
  void UseMemory(uint8_t* memory, uint32_t capacity);

  // Writes all bytes (partial writes repeated). Returns 0 or the error.
  [[nodiscard]] int32_t Write(const uint8_t* data, size_t size);
  // The same for bytes read as they are from the source at byte
  // `sourceOffset`, which the file's trace records.
  [[nodiscard]] int32_t WriteFrom(const uint8_t* data, size_t size, uint64_t sourceOffset);
  // Closes the file; with `discard`, deletes it too. A file whose close
  // failed is deleted as well (its last bytes may be missing). Returns 0 or
  // the error of the close.
  [[nodiscard]] int32_t Close(bool discard = false);

  [[nodiscard]] bool ToFile() const { return m_file.IsValid(); }
  [[nodiscard]] const std::string& Path() const { return m_path; }
  [[nodiscard]] uint32_t MemoryBytes() const { return m_memoryUsed; }
  [[nodiscard]] bool MemoryFull() const { return m_memoryUsed >= m_capacity; }

 private:
  // Drops what the sink held before it takes a new target.
  void Reset();

  FileHandle m_file;
  std::string m_path;
  std::string m_wanted;  // a recovered file's own path; m_path is its temporary name
  uint8_t* m_memory = nullptr;
  uint32_t m_capacity = 0;
  uint32_t m_memoryUsed = 0;
  int32_t m_doubtful = 0;
  WrittenTrace* m_trace = nullptr;  // a recovered file's, while a WrittenTraceScope lives
  timespec m_times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};  // access, modification
};

// The access and modification times (for futimens) of a found file, from
// its record: FAT keeps local civil time, which means here what the local
// zone makes of it; NTFS keeps UTC. A time the record does not hold is
// UTIME_OMIT (a carved file has none); a missing access time is the
// modification time. False when neither is known.
[[nodiscard]] bool RecoveredFileTimes(const FoundRecord& record, timespec times[2]);

// Chooses the preview target of a found file by its name: photo, audio and
// video go to "tmp.jpg" / "tmp.avi" in the ScanLog folder (created when
// missing, the old file replaced); everything else goes to memory.
// Returns 0 or the error of creating the file.
[[nodiscard]] int32_t OpenPreviewSink(const std::string& recordName, OutputSink& sink, std::string& outPath,
                                      uint8_t* memory, uint32_t capacity);

// `path` with "(n)" before the extension of its last component ("a(2).jpg");
// n == 0 gives the path itself. A leading dot is part of the extension, as a
// hidden name's is.
[[nodiscard]] std::string NumberedPath(const std::string& path, uint32_t n);

// Moves a file to `to` unless something stands there: kErrFileExists then.
// Where the file system refuses the no-replace flag, a hard link (and the
// old name removed) does the same; where it has no links either, the name is
// looked up first.
[[nodiscard]] int32_t MoveWithoutReplacing(const std::string& from, const std::string& to);

// Whether recovered files that could not be finished on this thread are kept
// as "NAME.partial" (else removed). The recovery job sets it around each of
// its items; engines read it when they end a file.
[[nodiscard]] bool KeepPartialFiles();
class KeepPartialScope {
 public:
  explicit KeepPartialScope(bool keep);
  ~KeepPartialScope();
  KeepPartialScope(const KeepPartialScope&) = delete;
  KeepPartialScope& operator=(const KeepPartialScope&) = delete;

 private:
  bool m_previous;
};

// The ScanLog folder: <application data>/Orvanta/ScanLog.
[[nodiscard]] std::string ScanLogFolder();

// The frame every engine's file recovery shares: begins the file under a
// temporary name (given the times of `record`) (reporting a failure to the file callback as a finished
// file), runs `copy(sink, report)` where report(percent, error) forwards to
// the file callback, and ends the file. Its last report (100) comes only
// once the file stands under its final name, and carries that name and the
// file's outcome: a copy that failed or was stopped leaves no file under its
// name (see FinishRecovered; KeepPartialFiles keeps a ".partial" one).
template <typename CopyFn>
[[nodiscard]] int32_t RecoverToFile(const std::string& path, const FoundRecord& record,
                                    FileProgressCallback callback, void* userData, CopyFn copy) {
  OutputSink sink;
  int32_t err = sink.CreateRecovered(path);
  if (err != 0) {
    if (callback) (void)callback(userData, 100, 100, err, path);  // ends in error whatever the answer
    return err;
  }
  sink.SetTimes(record);
  err = copy(sink, [&](int32_t percent, int32_t error) {
    return callback ? callback(userData, percent < 100 ? percent : 99, 100, error, path) : 0;
  });
  std::string finalPath;
  const int32_t finished = sink.FinishRecovered(err == 0, KeepPartialFiles(), finalPath);
  if (err == 0) err = finished;
  if (err == 0) err = sink.Doubtful();
  if (callback) (void)callback(userData, 100, 100, err, finalPath);  // the last report: nothing to stop
  return err;
}

// The frame every engine's preview extraction shares: chooses the temporary
// file or memory by the record's name, runs `copy(sink, report)` where
// report(percent, error) forwards to the preview callback, sets byteCount to
// the bytes copied to memory, and deletes a temporary file that ended in error.
template <typename CopyFn>
[[nodiscard]] int32_t ExtractToPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                                       uint32_t& byteCount, PreviewProgressCallback callback, void* userData,
                                       CopyFn copy) {
  OutputSink sink;
  int32_t err = OpenPreviewSink(RecordName(record), sink, outPath, memory, byteCount);
  if (err != 0) {
    if (callback) (void)callback(userData, 100, err);  // the preview ends in error whatever the answer
    byteCount = 0;
    return err;
  }
  err = copy(sink, [&](int32_t percent, int32_t error) {
    return callback ? callback(userData, percent, error) : 0;
  });
  byteCount = sink.ToFile() ? 0 : sink.MemoryBytes();
  const int32_t closed = sink.Close(err > 0);
  if (err == kOk && closed != kOk) {
    err = closed;  // the temporary file was removed with its failed close
    outPath.clear();
  }
  return err;
}

}  // namespace velmira
