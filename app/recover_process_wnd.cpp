#include "app/recover_process_wnd.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "app/language_ui.h"
#include "app/message_box.h"
#include "platform/errors.h"
#include "platform/message_format.h"

namespace velmira {
namespace {

// Failure rows: opaque red.
const QColor kFailureColour(255, 0, 0, 255);

std::vector<IFileRecoveryParse*> EnginesOf(const std::vector<RecoverySource>& sources) {
  std::vector<IFileRecoveryParse*> engines;
  for (const RecoverySource& s : sources)
    if (s.engine != nullptr && std::find(engines.begin(), engines.end(), s.engine) == engines.end())
      engines.push_back(s.engine);
  return engines;
}

QPushButton* NewButton(QWidget* parent, const char* name, const char* text) {
  auto* button = new QPushButton(QString::fromLatin1(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoDefault(true);
  return button;
}

}  // namespace

CRecoverProcessWnd::CRecoverProcessWnd(QWidget* owner, const QString& destination,
                                       std::vector<RecoverySource> sources, std::vector<FoundRecord> files)
    : CPopUpWnd(owner, QStringLiteral("RecoverProcessWnd"), kWidth, kHeight),
      m_destination(destination),
      m_engines(EnginesOf(sources)),
      m_job(S(destination), std::move(sources), std::move(files), this),
      m_runner(std::make_unique<CJobRunner>(m_job.Token(), nullptr)) {
  m_total = m_job.Total();
  m_current = new QLabel(this);
  m_current->setObjectName(QStringLiteral("current"));
  m_current->setMinimumWidth(1);
  m_percent = new QLabel(this);
  m_percent->setObjectName(QStringLiteral("percent"));
  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  m_recovered = new QLabel(this);
  m_recovered->setObjectName(QStringLiteral("recovered"));
  m_details = new QTreeWidget(this);
  m_details->setObjectName(QStringLiteral("DetailList"));
  m_details->setColumnCount(2);
  m_details->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Status")});
  m_details->setProperty(kHeaderNamesProperty, QStringList{QStringLiteral("File"), QStringLiteral("Status")});
  m_details->setRootIsDecorated(false);
  m_details->setUniformRowHeights(true);
  m_details->setWordWrap(false);
  m_details->setTextElideMode(Qt::ElideMiddle);
  m_details->header()->setStretchLastSection(false);
  m_details->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  m_details->header()->setSectionResizeMode(1, QHeaderView::Interactive);
  m_details->header()->resizeSection(1, 250);
  m_details->header()->setDefaultAlignment(Qt::AlignCenter);
  m_details->hide();

  m_detail = NewButton(this, "DetailBtn", "Details");
  m_open = NewButton(this, "OpenBtn", "Open folder");
  m_finish = NewButton(this, "FinishBtn", "Done");
  m_cancel = NewButton(this, "CancelBtn", "Stop");
  m_finish->hide();
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(m_detail);
  buttons->addStretch(1);
  buttons->addWidget(m_open);
  buttons->addWidget(m_finish);
  buttons->addWidget(m_cancel);

  QVBoxLayout* body = Body();
  body->addWidget(m_current);
  body->addWidget(m_progress);
  auto* counts = new QHBoxLayout();
  counts->addWidget(m_recovered, 1);
  counts->addWidget(m_percent);
  body->addLayout(counts);
  body->addWidget(m_details, 1);
  body->addStretch(0);
  body->addLayout(buttons);
  setTabOrder(m_detail, m_open);
  setTabOrder(m_open, m_finish);
  setTabOrder(m_finish, m_cancel);
  setTabOrder(m_cancel, m_details);

  connect(m_open, &QPushButton::clicked, this, &CRecoverProcessWnd::OpenFolder);
  connect(m_finish, &QPushButton::clicked, this, [this] { done(kClosedFinished); });
  connect(m_cancel, &QPushButton::clicked, this, &CRecoverProcessWnd::OnCloseRequest);
  connect(m_detail, &QPushButton::clicked, this, &CRecoverProcessWnd::ToggleDetails);
  connect(m_runner.get(), &CJobRunner::finished, this, &CRecoverProcessWnd::JobEnded);

  LanguageManager& language = LanguageManager::Instance();
  m_messages = language.GetSection("Messages");
  m_errors = language.GetSection("Errors");
  const TextSection texts = language.GetSection("RecoverProcessWnd");
  ApplySection(this, texts);
  MakeLabelsPlain(this);
  SetTitle(SectionText(texts, "title"));
  ShowProgress(0, QString(), 0, 0);
  m_cancel->setDefault(true);
  m_cancel->setFocus();
}

CRecoverProcessWnd::~CRecoverProcessWnd() {
  m_runner.reset();  // stops a job still running before the job goes
}

QString CRecoverProcessWnd::Message(const char* id) const {
  return SectionText(m_messages, id);
}

void CRecoverProcessWnd::showEvent(QShowEvent* event) {
  CPopUpWnd::showEvent(event);
  if (m_runner->Started()) return;
  m_runner->Start([this] {
    const Status result = m_job.Run();
    // The engines outlive this window: they must not keep calling back into it.
    for (IFileRecoveryParse* engine : m_engines) engine->SetProgressCallbacks(nullptr, nullptr, nullptr, 100);
    m_done.store(true);
    // The runner hands the end over as the interface code (kCancelled or 0);
    // each file's own failure is in its row.
    return static_cast<int>(result.Code());
  });
}

void CRecoverProcessWnd::JobEnded(int result) {
  // A confirmed stop closes the window; otherwise the user reads the counts.
  if (m_runner->StopRequested()) {
    done(kClosedCancelled);
    return;
  }
  if (result != kCancelled) ShowFinished();
}

// ---- worker side -------------------------------------------------------------

void CRecoverProcessWnd::OnProgress(int32_t percent, const std::string& path) {
  const uint32_t processed = m_job.Processed();
  const uint32_t failed = m_job.Failed();
  QMetaObject::invokeMethod(
      this,
      [this, percent, path = Q(path), processed, failed] { ShowProgress(percent, path, processed, failed); },
      Qt::QueuedConnection);
}

void CRecoverProcessWnd::OnFileFinished(const RecoveryResult& result) {
  const uint32_t processed = m_job.Processed();
  const uint32_t failed = m_job.Failed();
  QMetaObject::invokeMethod(
      this,
      [this, path = Q(result.path), status = StatusText(result), success = result.status.IsOk(), processed,
       failed] {
        AddDetailRow(path, status, success);
        ShowProgress(m_progress->value(), path, processed, failed);
      },
      Qt::QueuedConnection);
}

void CRecoverProcessWnd::OnResultChanged(const RecoveryResult& result) {
  const uint32_t processed = m_job.Processed();
  const uint32_t failed = m_job.Failed();
  QMetaObject::invokeMethod(
      this,
      [this, path = Q(result.path), status = StatusText(result), processed, failed] {
        // The file's success row becomes a failure row.
        for (int i = m_details->topLevelItemCount() - 1; i >= 0; --i) {
          QTreeWidgetItem* row = m_details->topLevelItem(i);
          if (row->text(0) == path && row->foreground(0).color() != kFailureColour) {
            delete m_details->takeTopLevelItem(i);
            break;
          }
        }
        AddDetailRow(path, status, false);
        ShowProgress(m_progress->value(), path, processed, failed);
      },
      Qt::QueuedConnection);
}

// The result's text in the current language: the job words it in English.
QString CRecoverProcessWnd::StatusText(const RecoveryResult& result) const {
  if (result.status.IsOk()) return ErrorTextIn(m_errors, kOk, result.text);
  if (result.text == kSourceGoneText) {
    const QString gone = SectionText(m_errors, "SourceGone");
    return gone.isEmpty() ? Q(result.text) : gone;
  }
  const int32_t code = result.status.Code();
  return result.text == ErrorText(code) ? ErrorTextIn(m_errors, code, result.text) : Q(result.text);
}

// ---- user-interface side -------------------------------------------------------

void CRecoverProcessWnd::ShowProgress(int percent, const QString& path, uint32_t processed, uint32_t failed) {
  m_processed = processed;
  m_failed = failed;
  m_progress->setValue(std::clamp(percent, 0, 100));
  if (!path.isEmpty()) {
    m_current->setToolTip(path);
    m_current->setText(m_current->fontMetrics().elidedText(path, Qt::ElideMiddle, m_current->width()));
  }
  m_percent->setText(Q(FormatText("%s %d%%", {S(Message("MSG1101")), percent})));
  m_recovered->setText(Q(FormatText(S(Message(m_total == 1 ? "MSG1104" : "MSG1102")),
                                    {processed, m_total, processed - failed, failed})));
}

void CRecoverProcessWnd::AddDetailRow(const QString& path, const QString& status, bool success) {
  auto* row = new QTreeWidgetItem({path, status});
  row->setToolTip(0, path);
  row->setToolTip(1, status);
  row->setTextAlignment(0, Qt::AlignLeft | Qt::AlignVCenter);
  row->setTextAlignment(1, Qt::AlignCenter);
  // The reason is read whole; the path may be shortened in its middle.
  const int statusWidth = m_details->fontMetrics().horizontalAdvance(status) + 16;
  if (statusWidth > m_details->header()->sectionSize(1)) m_details->header()->resizeSection(1, statusWidth);
  if (success) {
    m_details->addTopLevelItem(row);
  } else {
    row->setForeground(0, kFailureColour);
    row->setForeground(1, kFailureColour);
    m_details->insertTopLevelItem(0, row);
  }
}

void CRecoverProcessWnd::ShowFinished() {
  m_cancel->hide();
  m_finish->show();
  m_finish->setDefault(true);
  m_finish->setFocus();
}

void CRecoverProcessWnd::ToggleDetails() {
  m_detailsShown = !m_detailsShown;
  m_details->setVisible(m_detailsShown);
  const QSize size =
      m_detailsShown ? QSize(kWidth + kDetailWidth, kHeight + kDetailHeight) : QSize(kWidth, kHeight);
  setMinimumSize(size);
  resize(size);
  Centre();
}

void CRecoverProcessWnd::OpenFolder() {
  // Without a file manager (or a desktop to ask) the files are still there:
  // the user gets told where.
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(m_destination)))
    CMessageBox::Show(CMessageBox::kInformation, this,
                      Q(FormatText(S(Message("MSG1212")), {S(m_destination)})));
}

void CRecoverProcessWnd::OnCloseRequest() {
  if (m_finish->isVisible() || !m_runner->Started()) {
    done(kClosedFinished);
    return;
  }
  // Yes: the window closes with 2 once the job has stopped (JobEnded).
  if (m_runner->AskToStop([this] {
        return CMessageBox::Show(CMessageBox::kQuestion, this, Message("MSG1103")) == CMessageBox::kOk;
      }))
    m_cancel->setEnabled(false);
}

}  // namespace velmira
