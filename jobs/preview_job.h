// Extracting one found file for a preview: what kind of file it is, the
// engine's extraction into the temporary file (or memory) on a worker
// thread, and the cancel protocol the progress window shares with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engines/file_recovery_parse.h"
#include "jobs/cancel_token.h"
#include "platform/status.h"

namespace velmira {

// The memory an extraction may fill for files that get no temporary file.
inline constexpr uint32_t kPreviewBufferBytes = 20u * 1024 * 1024;

// One preview: the file, its kind, and what the extraction produced.
struct PreviewState {
  FoundRecord file{};
  bool media = false;  // audio or video
  bool audio = false;
  std::string output;           // the temporary file the engine wrote; empty for none
  std::vector<uint8_t> buffer;  // kPreviewBufferBytes, zero-filled
  uint32_t byteCount = 0;       // bytes the engine copied into `buffer`

  // Copies the record and sets the kind from its name.
  explicit PreviewState(const FoundRecord& record);
  [[nodiscard]] bool IsPicture() const { return !media; }
};

class PreviewJob {
 public:
  // Receives the extraction's percent on the worker thread, after the token's checkpoint.
  struct Observer {
    virtual ~Observer() = default;
    virtual void OnPreviewProgress(int32_t percent) = 0;
  };

  // `settleMs`: how long a sound or video extraction waits first, so that a
  // player ended just before has let go of the temporary file.
  PreviewJob(PreviewState& state, IFileRecoveryParse* engine, Observer* observer, uint32_t settleMs = 1000);

  // Extracts the file: Ok, Cancelled, or the engine's failure
  // (kErrInvalidHandle without an engine). Sets Done() at the end.
  [[nodiscard]] Status Run();

  // The token each progress report passes (paused while the user is asked
  // whether to cancel).
  CancelToken& Token() { return m_token; }
  // Any thread: the next progress report stops the extraction.
  void Cancel() { m_token.Cancel(); }
  [[nodiscard]] bool Done() const { return m_done.load(); }

 private:
  static int32_t Progress(void* user, int32_t percent, int32_t error);

  PreviewState& m_state;
  IFileRecoveryParse* m_engine;
  Observer* m_observer;
  uint32_t m_settleMs;
  CancelToken m_token;
  std::atomic<bool> m_done{false};
};

}  // namespace velmira
