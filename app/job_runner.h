// How every job window runs its job: one worker thread, the job's cancel
// token, and the window's thread for everything the user sees. The worker's
// updates reach the window as queued calls; finished(code) arrives on the
// window's thread when the work has returned. A stop question pauses the
// worker at its next checkpoint while the question is open (no lock is held
// meanwhile) and cancels or resumes it by the answer.
#pragma once

#include <QObject>
#include <functional>
#include <thread>

#include "jobs/cancel_token.h"

namespace velmira {

class CJobRunner : public QObject {
  Q_OBJECT

 public:
  // `token`: the token the job's reports check; it outlives the runner.
  CJobRunner(CancelToken& token, QObject* parent);
  // Cancels a worker that is still running and waits for it.
  ~CJobRunner() override;

  // Resets the token and runs `work` on the worker thread; its result is
  // the code finished() carries. Once per runner.
  void Start(std::function<int()> work);
  [[nodiscard]] bool Started() const { return m_started; }
  // Whether the work has not yet returned (as seen on the window's thread).
  [[nodiscard]] bool Running() const { return m_started && !m_finished; }
  [[nodiscard]] bool StopRequested() const { return m_stopRequested; }
  [[nodiscard]] CancelToken& token() const { return m_token; }

  // Window's thread: asks whether to stop (`ask` runs a modal question and
  // says yes or no) with the worker paused at its next report. Yes cancels
  // the job; finished() follows once the work has unwound (a work that
  // returned while the question was open is announced after the answer).
  // True for yes.
  bool AskToStop(const std::function<bool()>& ask);

  // Worker thread: runs `call` on the window's thread, at once or after
  // what is queued before it.
  void Post(std::function<void()> call);
  // Worker thread: runs `call` on the window's thread and waits for it (a
  // question the job asks).
  void PostAndWait(const std::function<void()>& call);

 signals:
  // The work returned `code` (window's thread).
  void finished(int code);

 private:
  CancelToken& m_token;
  std::thread m_worker;
  bool m_started = false;
  bool m_finished = false;
  bool m_asking = false;
  bool m_stopRequested = false;
  int m_pendingCode = -1;  // the work returned while the question was open
};

}  // namespace velmira
