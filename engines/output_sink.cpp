#include "engines/output_sink.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/errors.h"
#include "platform/folders.h"
#include "results/extension_lists.h"

namespace velmira {

int32_t OutputSink::OpenFile(const std::string& path) {
  Close();
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) {
    const int32_t err = CreateFolderWithParents(parent.string());
    if (err != kOk && err != kErrFileExists && err != kErrAlreadyExists) return err;
  }
  const int32_t err = OpenForWriting(path, WriteMode::kCreateAlways, m_file);
  if (err != kOk) return err;
  m_path = path;
  return kOk;
}

void OutputSink::UseMemory(uint8_t* memory, uint32_t capacity) {
  Close();
  m_memory = memory;
  m_capacity = memory ? capacity : 0;
  m_memoryUsed = 0;
}

int32_t OutputSink::Write(const uint8_t* data, size_t size) {
  if (m_file.IsValid()) {
    size_t put = 0;
    while (put < size) {
      size_t done = 0;
      const int32_t err = WriteHere(m_file, data + put, size - put, done);
      if (err != kOk) return err;
      if (done == 0) return kErrWriteFault;
      put += done;
    }
    return kOk;
  }
  const size_t room = m_capacity - m_memoryUsed;
  const size_t n = size < room ? size : room;
  if (n > 0) std::memcpy(m_memory + m_memoryUsed, data, n);
  m_memoryUsed += static_cast<uint32_t>(n);
  return kOk;
}

void OutputSink::Close(bool discard) {
  if (m_file.IsValid()) {
    (void)m_file.Close();
    if (discard) ::unlink(m_path.c_str());
  }
}

std::string ScanLogFolder() { return CompanyDataFolder() + "/ScanLog"; }

int32_t OpenPreviewSink(const std::string& recordName, OutputSink& sink, std::string& outPath, uint8_t* memory,
                        uint32_t capacity) {
  const PreviewTarget target = PreviewTargetOf(recordName);
  if (target == PreviewTarget::kMemory) {
    sink.UseMemory(memory, capacity);
    return kOk;
  }
  const std::string path = ScanLogFolder() + "/" + PreviewTempFileName(target);
  outPath = path;
  ::unlink(path.c_str());
  return sink.OpenFile(path);
}

}  // namespace velmira
