#include "jobs/preview_job.h"

#include <chrono>
#include <exception>
#include <thread>

#include "platform/errors.h"
#include "results/extension_lists.h"

namespace velmira {

PreviewState::PreviewState(const FoundRecord& record) : file(record), buffer(kPreviewBufferBytes, 0) {
  const FileCategory kind = PreviewKindOf(RecordName(file));
  audio = kind == FileCategory::kAudio;
  media = audio || kind == FileCategory::kVideo;
}

PreviewJob::PreviewJob(PreviewState& state, IFileRecoveryParse* engine, Observer* observer, uint32_t settleMs)
    : m_state(state), m_engine(engine), m_observer(observer), m_settleMs(settleMs) {}

int32_t PreviewJob::Progress(void* user, int32_t percent, int32_t /*error*/) {
  auto* job = static_cast<PreviewJob*>(user);
  if (job->m_token.Checkpoint()) return kCancelled;
  if (job->m_observer) job->m_observer->OnPreviewProgress(percent);
  return 0;
}

Status PreviewJob::Run() {
  int32_t result = kErrInvalidHandle;
  if (m_state.media && m_settleMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_settleMs));
  m_state.output.clear();
  m_state.byteCount = static_cast<uint32_t>(m_state.buffer.size());
  if (m_engine != nullptr && !m_token.Cancelled()) {
    try {
      result = m_engine->ExtractForPreview(m_state.file, m_state.output, m_state.buffer.data(),
                                           m_state.byteCount, &PreviewJob::Progress, this);
    } catch (...) {
      // A fault while reading one file costs that preview, nothing more.
      result = kErrGenFailure;
      m_state.output.clear();
    }
  } else if (m_token.Cancelled()) {
    result = kCancelled;
  }
  if (result != kOk) m_state.byteCount = 0;
  m_done.store(true);
  if (m_engine == nullptr && result == kErrInvalidHandle)
    return Status::Fatal(kErrInvalidHandle, "the source of this file is no longer open");
  return Status::FromCode(result, "the file could not be read for its preview");
}

}  // namespace velmira
