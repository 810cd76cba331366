#include "app/search_process_wnd.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>

#include "app/language_ui.h"
#include "app/message_box.h"
#include "platform/errors.h"
#include "results/scan_log.h"

namespace velmira {

JobControl& CSearchProcessWnd::SharedControl() {
  static JobControl control;
  return control;
}

CSearchProcessWnd::CSearchProcessWnd(QWidget* mainWnd, std::vector<ScanSource*> sources, std::string pattern,
                                     std::vector<FoundRecord>& collected)
    : CJobWnd(mainWnd, SharedControl(), "SearchProcessWnd", "SearchProcessWnd", "MSG1205", 2,
              QSize(450, 220)),
      m_mainWnd(mainWnd),
      m_sources(std::move(sources)),
      m_pattern(std::move(pattern)),
      m_collected(collected) {
  m_time->hide();
}

int CSearchProcessWnd::RunJob() {
  SearchJob job(m_sources, m_pattern, m_collected, Control(), m_messages, this);
  m_outcome = job.Run();
  // A source whose files could not all be read is named with the reason;
  // what was collected is still shown.
  if (const Status& failed = job.FirstError(); failed.IsFailure() && job.FailedSource() < m_sources.size()) {
    QString text;
    if (const ScanLogWriteFailure written = FirstScanLogWriteFailure(); written.error != kOk) {
      text = Q(ScanLogWriteFailureText(written));
      if (!text.isEmpty()) text[0] = text[0].toUpper();
    } else {
      const TextSection errors = LanguageManager::Instance().GetSection("Errors");
      text = Q(SearchStageText(m_messages, *m_sources[job.FailedSource()])) + QStringLiteral(": ") +
             ErrorTextIn(errors, failed.Code(), ErrorText(failed.Code()));
    }
    PostAndWait([this, text] {
      setWindowOpacity(0.0);
      CMessageBox::Show(CMessageBox::kWarning, m_mainWnd, text);
      setWindowOpacity(1.0);
    });
  }
  if (SearchJob::Announces(m_outcome)) emit collectionEnded();
  return 1;
}

void CSearchProcessWnd::OnStage(size_t, const std::string& text) {
  Post([this, stage = Q(text)] { m_stage->setText(stage); });
}

void CSearchProcessWnd::OnProgress(int32_t percent, const std::string& text) {
  {
    const std::lock_guard<std::mutex> hold(m_viewLock);
    m_percentValue = percent;
    m_percentText = Q(text);
  }
  // One update queued at a time, however often the engine reports.
  if (m_updateQueued.exchange(true)) return;
  Post([this] {
    const std::lock_guard<std::mutex> hold(m_viewLock);
    m_updateQueued.store(false);
    m_progress->setValue(m_percentValue);
    m_percent->setText(m_percentText);
  });
}

}  // namespace velmira
