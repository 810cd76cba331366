// Where an engine writes the data it reads back for a found file: a
// recovered file (created with its folders, truncated), a preview file in the
// ScanLog folder, or the caller's memory buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engines/found_record.h"
#include "engines/progress_callbacks.h"
#include "platform/file_handle.h"

namespace velmira {

class OutputSink {
 public:
  OutputSink() = default;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Creates the file's missing folders and the file itself, truncating an
  // existing one. Returns 0 or the Win32 code of the failing step.
  [[nodiscard]] int32_t OpenFile(const std::string& path);
  // Writes into memory, at most `capacity` bytes; more is dropped.
  void UseMemory(uint8_t* memory, uint32_t capacity);

  // Writes all bytes (partial writes repeated). Returns 0 or the error.
  [[nodiscard]] int32_t Write(const uint8_t* data, size_t size);
  // Closes the file; with `discard`, deletes it too.
  void Close(bool discard = false);

  [[nodiscard]] bool ToFile() const { return m_file.IsValid(); }
  [[nodiscard]] const std::string& Path() const { return m_path; }
  [[nodiscard]] uint32_t MemoryBytes() const { return m_memoryUsed; }
  [[nodiscard]] bool MemoryFull() const { return m_memoryUsed >= m_capacity; }

 private:
  FileHandle m_file;
  std::string m_path;
  uint8_t* m_memory = nullptr;
  uint32_t m_capacity = 0;
  uint32_t m_memoryUsed = 0;
};

// Chooses the preview target of a found file by its name: photo, audio and
// video go to "tmp.jpg" / "tmp.avi" in the ScanLog folder (created when
// missing, the old file replaced); everything else goes to memory.
// Returns 0 or the error of creating the file.
[[nodiscard]] int32_t OpenPreviewSink(const std::string& recordName, OutputSink& sink, std::string& outPath,
                                      uint8_t* memory, uint32_t capacity);

// The ScanLog folder: <application data>/Orvanta/ScanLog.
[[nodiscard]] std::string ScanLogFolder();

// The frame every engine's file recovery shares: opens `path` (reporting a
// failure to the file callback as a finished file), runs `copy(sink, report)`
// where report(percent, error) forwards to the file callback, and closes.
template <typename CopyFn>
[[nodiscard]] int32_t RecoverToFile(const std::string& path, FileProgressCallback callback, void* userData,
                                    CopyFn copy) {
  OutputSink sink;
  int32_t err = sink.OpenFile(path);
  if (err != 0) {
    if (callback) (void)callback(userData, 100, 100, err, path);
    return err;
  }
  err = copy(sink, [&](int32_t percent, int32_t error) {
    return callback ? callback(userData, percent, 100, error, path) : 0;
  });
  sink.Close();
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
    if (callback) (void)callback(userData, 100, err);
    byteCount = 0;
    return err;
  }
  err = copy(sink, [&](int32_t percent, int32_t error) { return callback ? callback(userData, percent, error) : 0; });
  byteCount = sink.ToFile() ? 0 : sink.MemoryBytes();
  sink.Close(err > 0);
  return err;
}

}  // namespace velmira
