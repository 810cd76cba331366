// The preview of one found file: CPreviewWnd holds the preview's state and
// runs the small progress window CPreviewProcessWnd, whose worker has the
// file's engine extract it (into the temporary picture or media file, or
// into memory). Showing the result is the main window's part.
#pragma once

#include <QImage>
#include <QString>
#include <memory>

#include "app/job_runner.h"
#include "app/pop_up_wnd.h"
#include "jobs/preview_job.h"
#include "platform/language_manager.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace velmira {

class CPreviewProcessWnd : public CPopUpWnd, private PreviewJob::Observer {
  Q_OBJECT

 public:
  enum Code { kClosedExtracted = 1, kClosedCancelled = 2 };
  static constexpr int kWidth = 450;
  static constexpr int kHeight = 250;

  // The extraction starts when the window is first shown.
  CPreviewProcessWnd(QWidget* owner, PreviewState& state, IFileRecoveryParse* engine, uint32_t settleMs);
  ~CPreviewProcessWnd() override;

  // The extraction's result, once the window has closed.
  [[nodiscard]] Status result() const { return m_result; }

 protected:
  void OnCloseRequest() override;
  void showEvent(QShowEvent* event) override;

 private:
  void OnPreviewProgress(int32_t percent) override;
  void ShowPercent(int percent);
  [[nodiscard]] QString Message(const char* id) const;

  PreviewJob m_job;
  TextSection m_messages;
  std::unique_ptr<CJobRunner> m_runner;
  Status m_result;  // written by the worker; read once it has been joined
  QLabel* m_stage;
  QLabel* m_percent;
  QLabel* m_fileName;
  QProgressBar* m_progress;
  QPushButton* m_cancel;
};

class CPreviewWnd {
 public:
  // `settleMs`: the wait before a sound or video extraction (see PreviewJob).
  CPreviewWnd(const FoundRecord& record, IFileRecoveryParse* engine, uint32_t settleMs = 1000);

  // Runs the progress window modally; returns its close code (1 extracted, 2 cancelled).
  int Run(QWidget* owner);

  [[nodiscard]] PreviewState& state() { return *m_state; }
  // The extraction's result after Run: Ok, Cancelled or why it failed.
  [[nodiscard]] Status result() const { return m_result; }

  // Decodes a picture file with Qt's image readers, scaled down (never up)
  // to fit `fit`. A null image when it cannot be decoded or is 2 by 2 pixels
  // or smaller.
  [[nodiscard]] static QImage DecodePicture(const QString& path, const QSize& fit);

 private:
  std::unique_ptr<PreviewState> m_state;
  IFileRecoveryParse* m_engine;
  uint32_t m_settleMs;
  Status m_result;
};

}  // namespace velmira
