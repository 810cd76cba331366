// The stop signal a job shares with its front end. The worker passes
// Checkpoint() at each progress report; the front end may Pause() the worker
// there while it asks the user whether to stop (no lock is held meanwhile),
// then Resume() it or Cancel() the job. Cancel also wakes a paused worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace velmira {

class CancelToken {
 public:
  // Worker: waits while paused; true when the job is to stop.
  [[nodiscard]] bool Checkpoint() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_wake.wait(hold, [this] { return !m_paused || m_cancelled.load(); });
    return m_cancelled.load();
  }
  [[nodiscard]] bool Cancelled() const { return m_cancelled.load(); }

  // Any thread.
  void Cancel() {
    {
      const std::lock_guard<std::mutex> hold(m_lock);
      m_cancelled.store(true);
      m_paused = false;
    }
    m_wake.notify_all();
  }
  void Pause() {
    const std::lock_guard<std::mutex> hold(m_lock);
    m_paused = true;
  }
  void Resume() {
    {
      const std::lock_guard<std::mutex> hold(m_lock);
      m_paused = false;
    }
    m_wake.notify_all();
  }
  // Before the next run of the job: clears a cancel (a pause stays until
  // it is resumed or cancelled).
  void Reset() { m_cancelled.store(false); }

 private:
  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_paused = false;
  std::atomic<bool> m_cancelled{false};
};

}  // namespace velmira
