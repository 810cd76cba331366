// The recovery window: runs a RecoveryJob over the checked files on a worker
// thread and shows the file being written, the counts, and, on request, a
// list of every file's outcome with the failures in red at the top.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/job_runner.h"
#include "app/pop_up_wnd.h"
#include "jobs/recovery_job.h"
#include "platform/language_manager.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace velmira {

class CRecoverProcessWnd : public CPopUpWnd, private RecoveryJob::Observer {
  Q_OBJECT

 public:
  enum Code { kClosedFinished = 1, kClosedCancelled = 2 };
  static constexpr int kWidth = 500;
  static constexpr int kHeight = 250;
  // How much the details make the window grow.
  static constexpr int kDetailWidth = 150;
  static constexpr int kDetailHeight = 300;

  // The job starts when the window is first shown.
  CRecoverProcessWnd(QWidget* owner, const QString& destination, std::vector<RecoverySource> sources,
                     std::vector<FoundRecord> files);
  ~CRecoverProcessWnd() override;

  [[nodiscard]] uint32_t processed() const { return m_processed; }
  [[nodiscard]] uint32_t failed() const { return m_failed; }
  [[nodiscard]] uint32_t total() const { return m_total; }
  [[nodiscard]] bool detailsShown() const { return m_detailsShown; }
  // Whether the job has ended (every file tried, or stopped).
  [[nodiscard]] bool finished() const { return m_done.load(); }

 protected:
  void OnCloseRequest() override;
  void showEvent(QShowEvent* event) override;

 private:
  void OnProgress(int32_t percent, const std::string& path) override;
  void OnFileFinished(const RecoveryResult& result) override;
  void OnResultChanged(const RecoveryResult& result) override;
  void ShowProgress(int percent, const QString& path, uint32_t processed, uint32_t failed);
  void AddDetailRow(const QString& path, const QString& status, bool success);
  void ShowFinished();
  void JobEnded(int result);
  void ToggleDetails();
  void OpenFolder();
  [[nodiscard]] QString StatusText(const RecoveryResult& result) const;
  [[nodiscard]] QString Message(const char* id) const;

  QString m_destination;
  TextSection m_errors;
  std::vector<IFileRecoveryParse*> m_engines;
  RecoveryJob m_job;
  TextSection m_messages;
  std::unique_ptr<CJobRunner> m_runner;
  std::atomic<bool> m_done{false};
  bool m_detailsShown = false;
  uint32_t m_processed = 0;
  uint32_t m_failed = 0;
  uint32_t m_total = 0;
  QLabel* m_current;
  QLabel* m_recovered;
  QLabel* m_percent;
  QProgressBar* m_progress;
  QPushButton* m_open;
  QPushButton* m_finish;
  QPushButton* m_cancel;
  QPushButton* m_detail;
  QTreeWidget* m_details;
};

}  // namespace velmira
