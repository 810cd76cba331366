// The modal progress window of a job that runs on a worker thread, in the
// frame of the other job windows: a stage text, a percent, a bar, a stop
// button. A CJobRunner runs the job: the
// worker's updates reach the controls as queued calls on the window's
// thread, and a stop asks first with the worker paused at its next report.
#pragma once

#include <functional>
#include <memory>

#include "app/job_runner.h"
#include "app/pop_up_wnd.h"
#include "jobs/scan_job.h"
#include "platform/language_manager.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace velmira {

class CJobWnd : public CPopUpWnd {
  Q_OBJECT

 public:
  ~CJobWnd() override;

  // Whether the worker is still running.
  [[nodiscard]] bool WorkerRunning() const { return m_runner->Running(); }
  [[nodiscard]] JobControl& Control() const { return m_control; }

 protected:
  // `section`: the language section of the window; `question`: the message
  // id asked before stopping; `stopCode`: the close code after a confirmed
  // stop (0: the worker closes the window).
  CJobWnd(QWidget* owner, JobControl& control, const char* objectName, const char* section,
          const char* question, int stopCode, QSize size);

  // Runs on the worker thread; returns the close code.
  virtual int RunJob() = 0;
  // On the window's thread, after the worker ended and before the window closes.
  virtual void AfterJob() {}

  // Runs `call` on the window's thread (queued; returns at once).
  void Post(std::function<void()> call);
  // Runs `call` on the window's thread and waits for it (worker only).
  void PostAndWait(const std::function<void()>& call);

  [[nodiscard]] QString Message(const char* id) const;

  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // "closebtn", Escape and the window manager's close ask to stop a running job.
  void OnCloseRequest() override;

  TextSection m_messages;
  QLabel* m_stage = nullptr;
  QLabel* m_percent = nullptr;
  QLabel* m_time = nullptr;
  QLabel* m_sectors = nullptr;
  QLabel* m_totalFile = nullptr;
  QProgressBar* m_progress = nullptr;
  QPushButton* m_cancelButton = nullptr;
  QToolButton* m_closeButton = nullptr;

 private:
  void OnStop();
  void WorkerEnded(int code);
  void CloseWith(int code);

  JobControl& m_control;
  const char* m_section;
  const char* m_question;
  int m_stopCode;
  std::unique_ptr<CJobRunner> m_runner;
};

}  // namespace velmira
