// The collection window: runs the collection job on its worker thread with a
// stage text, a percent and a bar, and says when it ended (collectionEnded).
// Close code 1, or 2 after a confirmed stop.
#pragma once

#include <QString>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "app/job_wnd.h"
#include "jobs/search_job.h"

namespace velmira {

class CSearchProcessWnd : public CJobWnd, private SearchJob::Observer {
  Q_OBJECT

 public:
  // Appends the matches of `pattern` to `collected`, which the caller reads
  // after collectionEnded.
  CSearchProcessWnd(QWidget* mainWnd, std::vector<ScanSource*> sources, std::string pattern,
                    std::vector<FoundRecord>& collected);

  [[nodiscard]] static JobControl& SharedControl();
  [[nodiscard]] SearchJob::Outcome outcome() const { return m_outcome; }

 signals:
  // The collection finished or was stopped (worker thread, before the window closes).
  void collectionEnded();

 protected:
  int RunJob() override;

 private:
  void OnStage(size_t index, const std::string& text) override;
  void OnProgress(int32_t percent, const std::string& text) override;

  QWidget* m_mainWnd;
  std::vector<ScanSource*> m_sources;
  std::string m_pattern;
  std::vector<FoundRecord>& m_collected;
  SearchJob::Outcome m_outcome = SearchJob::Outcome::kEmpty;
  std::mutex m_viewLock;
  int32_t m_percentValue = 0;
  QString m_percentText;
  std::atomic<bool> m_updateQueued{false};
};

}  // namespace velmira
