#include "app/job_runner.h"

#include <QThread>

namespace velmira {

CJobRunner::CJobRunner(CancelToken& token, QObject* parent) : QObject(parent), m_token(token) {}

CJobRunner::~CJobRunner() {
  if (m_worker.joinable()) {
    m_token.Cancel();
    m_worker.join();
  }
}

void CJobRunner::Start(std::function<int()> work) {
  if (m_started) return;
  m_started = true;
  m_token.Reset();
  m_worker = std::thread([this, work = std::move(work)] {
    const int code = work();
    Post([this, code] {
      if (m_worker.joinable()) m_worker.join();
      m_finished = true;
      if (m_asking) {
        m_pendingCode = code;  // announced once the question is answered
        return;
      }
      emit finished(code);
    });
  });
}

bool CJobRunner::AskToStop(const std::function<bool()>& ask) {
  if (!Running() || m_asking || m_stopRequested) return false;
  m_asking = true;
  m_token.Pause();
  const bool stop = ask();
  m_asking = false;
  if (stop) {
    m_stopRequested = true;
    m_token.Cancel();
  } else {
    m_token.Resume();
  }
  if (m_pendingCode >= 0) {
    const int code = m_pendingCode;
    m_pendingCode = -1;
    emit finished(code);
  }
  return stop;
}

void CJobRunner::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void CJobRunner::PostAndWait(const std::function<void()>& call) {
  if (QThread::currentThread() == thread()) {
    call();
    return;
  }
  QMetaObject::invokeMethod(this, call, Qt::BlockingQueuedConnection);
}

}  // namespace velmira
