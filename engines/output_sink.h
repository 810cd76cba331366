// Where an engine writes the data it reads back for a found file: a
// recovered file (created with its folders, truncated), a preview file in the
// ScanLog folder, or the caller's memory buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace velmira
