// The scan's progress window: runs the scan job on its worker thread, shows
// the stage, percent, time left, sectors and files found, asks whether an
// earlier deep scan is continued, and says when the scan ended (scanEnded).
// Close code 1: ended or stopped; 3: no engine; 4: a scan log could not be
// written (no scanEnded: the results are not whole).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "app/job_wnd.h"
#include "jobs/scan_job.h"

namespace velmira {

class CScanProcessWnd : public CJobWnd, private ScanJob::Observer {
  Q_OBJECT

 public:
  // `mainWnd` owns the continue question.
  CScanProcessWnd(QWidget* mainWnd, std::vector<ScanSource*> sources, bool deep,
                  EngineBuilder builder = BuildEngineFor);

  // The cancel token and done flag shared by every scan window of the program.
  [[nodiscard]] static JobControl& SharedControl();
  // Makes sure the marker file "Used" exists in the company folder.
  static void EnsureUsedMarker();

  [[nodiscard]] ScanJob::Outcome outcome() const { return m_outcome; }
  // Close code 4: a scan log or the registry could not be written; the
  // scan stopped and failureText() says which folder and why.
  static constexpr int kCloseWriteFailed = 4;
  [[nodiscard]] const std::string& failureText() const { return m_failureText; }

 signals:
  // The controls were updated with a new stage text / a new report.
  void stageShown(const QString& stage);
  void progressShown(int percent);
  // The scan finished or was stopped, with results to collect (emitted on
  // the worker thread, before the window closes).
  void scanEnded();

 protected:
  int RunJob() override;

 private:
  void OnStage(size_t index, const std::string& text) override;
  void OnProgress(const ScanProgressView& view) override;
  bool ContinueEarlierScan(const ScanSource& source) override;
  void ShowProgress();

  QWidget* m_mainWnd;
  std::vector<ScanSource*> m_sources;
  bool m_deep;
  EngineBuilder m_builder;
  ScanJob::Outcome m_outcome = ScanJob::Outcome::kEmpty;
  std::string m_failureText;
  // The latest report, handed to the window's thread; only one update is
  // queued at a time however fast the engine reports.
  std::mutex m_viewLock;
  ScanProgressView m_view;
  std::atomic<bool> m_updateQueued{false};
};

}  // namespace velmira
