#include "app/scan_process_wnd.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <fstream>

#include "app/language_ui.h"
#include "app/message_box.h"
#include "engines/combined/deep_recovery.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/message_format.h"

namespace velmira {

JobControl& CScanProcessWnd::SharedControl() {
  static JobControl control;
  return control;
}

void CScanProcessWnd::EnsureUsedMarker() {
  const std::string folder = CompanyDataFolder();
  const std::string marker = folder + "/Used";
  std::ifstream existing(marker);
  if (existing.good()) return;
  if (CreateFolderWithParents(folder) != 0) return;
  std::ofstream create(marker, std::ios::binary | std::ios::app);
}

CScanProcessWnd::CScanProcessWnd(QWidget* mainWnd, std::vector<ScanSource*> sources, bool deep,
                                 EngineBuilder builder)
    : CJobWnd(mainWnd, SharedControl(), "ScanProcessWnd", "ScanWnd", "MSG0709", 0, QSize(450, 250)),
      m_mainWnd(mainWnd),
      m_sources(std::move(sources)),
      m_deep(deep),
      m_builder(std::move(builder)) {
  EnsureUsedMarker();
}

int CScanProcessWnd::RunJob() {
  ScanJob job(m_sources, m_deep, Control(), m_messages, this);
  if (m_builder) job.SetEngineBuilder(m_builder);
  m_outcome = job.Run();
  const bool writeFailed = job.WriteFailure().error != kOk;
  // Each source whose scan failed is named with the reason; its files (if
  // any) are still shown. One that another Velmira program is scanning was
  // left alone: that is said in its own words. A log that could not be
  // written is said when the window has closed.
  const TextSection errors = LanguageManager::Instance().GetSection("Errors");
  for (size_t i = 0; i < job.ScanResults().size() && i < m_sources.size(); ++i) {
    const Status& result = job.ScanResults()[i];
    if (!result.IsFailure() || (writeFailed && i == job.FailedSource())) continue;
    const ScanSource& source = *m_sources[i];
    const auto* deep = dynamic_cast<const CDeepRecovery*>(source.engine.get());
    QString text;
    if (result.Code() == kErrBusy && deep != nullptr && deep->SourceBusy()) {
      const std::string name = source.IsImage()
                                   ? source.imagePath
                                   : std::to_string(static_cast<int>(source.partition->letterOrNumber));
      text = Q(FormatText(S(Message("MSG1210")), {name}));
    } else {
      text = Q(ScanStageText(m_messages, source)) + QStringLiteral(": ") +
             ErrorTextIn(errors, result.Code(), ErrorText(result.Code()));
    }
    PostAndWait([this, text] {
      setWindowOpacity(0.0);
      CMessageBox::Show(CMessageBox::kWarning, m_mainWnd, text);
      setWindowOpacity(1.0);
    });
  }
  if (writeFailed) {
    m_failureText = job.FailureText(job.FirstFailure());
    return kCloseWriteFailed;
  }
  if (ScanJob::Announces(m_outcome)) emit scanEnded();
  return ScanJob::CloseCode(m_outcome);
}

void CScanProcessWnd::OnStage(size_t, const std::string& text) {
  Post([this, stage = Q(text)] {
    m_stage->setText(stage);
    emit stageShown(stage);
  });
}

void CScanProcessWnd::OnProgress(const ScanProgressView& view) {
  {
    const std::lock_guard<std::mutex> hold(m_viewLock);
    m_view = view;
  }
  if (!m_updateQueued.exchange(true)) Post([this] { ShowProgress(); });
}

void CScanProcessWnd::ShowProgress() {
  ScanProgressView view;
  {
    const std::lock_guard<std::mutex> hold(m_viewLock);
    view = m_view;
    m_updateQueued.store(false);
  }
  m_progress->setValue(view.percent);
  m_time->setText(view.timeVisible ? Q(view.timeText) : QString());
  m_percent->setText(Q(view.percentText));
  if (view.sectorsVisible) {
    m_sectors->setText(Q(view.sectorsText));
    m_totalFile->setText(Q(view.totalFileText));
  }
  m_sectors->setVisible(view.sectorsVisible);
  m_totalFile->setVisible(view.sectorsVisible);
  emit progressShown(view.percent);
}

bool CScanProcessWnd::ContinueEarlierScan(const ScanSource& source) {
  // A scan that ran to its end is not continued: its results can be shown
  // again (with its date and file count), or the source scanned afresh.
  QString question = Message("MSG1206");
  if (const auto* deep = dynamic_cast<const CDeepRecovery*>(source.engine.get());
      deep != nullptr && deep->ContinuedFinished())
    question =
        Q(FormatText(S(Message("MSG1208")), {ScanDateText(deep->ContinuedDate()),
                                             static_cast<unsigned long long>(deep->ContinuedFiles())}));
  bool goOn = true;
  PostAndWait([this, &goOn, &question] {
    // Out of sight while the question is open; hiding the window would end
    // its modal loop.
    setWindowOpacity(0.0);
    goOn = CMessageBox::Show(CMessageBox::kQuestion, m_mainWnd, question) == CMessageBox::kOk;
    setWindowOpacity(1.0);
  });
  return goOn;
}

}  // namespace velmira
