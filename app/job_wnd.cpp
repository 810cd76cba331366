#include "app/job_wnd.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/language_ui.h"
#include "app/message_box.h"

namespace velmira {
namespace {

QLabel* NewLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

CJobWnd::CJobWnd(QWidget* owner, JobControl& control, const char* objectName, const char* section,
                 const char* question, int stopCode, QSize size)
    : CPopUpWnd(owner, QString::fromLatin1(objectName), size.width(), size.height()),
      m_control(control),
      m_section(section),
      m_question(question),
      m_stopCode(stopCode),
      m_runner(std::make_unique<CJobRunner>(control, nullptr)) {
  m_closeButton = findChild<QToolButton*>(QStringLiteral("closebtn"));

  m_stage = NewLabel(this, "stage");
  m_stage->setWordWrap(true);
  m_percent = NewLabel(this, "percent");
  m_time = NewLabel(this, "time");
  m_time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  m_sectors = NewLabel(this, "sectors");
  m_sectors->hide();
  m_totalFile = NewLabel(this, "totalfile");
  m_totalFile->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_totalFile->hide();
  m_cancelButton = new QPushButton(this);
  m_cancelButton->setObjectName(QStringLiteral("cancelbtn"));
  m_cancelButton->setAutoDefault(false);

  auto* numbers = new QHBoxLayout();
  numbers->addWidget(m_percent, 1);
  numbers->addWidget(m_time, 1);
  auto* counts = new QHBoxLayout();
  counts->addWidget(m_sectors, 1);
  counts->addWidget(m_totalFile, 1);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(m_cancelButton);

  QVBoxLayout* layout = Body();
  layout->addWidget(m_stage);
  layout->addLayout(numbers);
  layout->addWidget(m_progress);
  layout->addLayout(counts);
  layout->addStretch(1);
  layout->addLayout(buttons);

  connect(m_cancelButton, &QPushButton::clicked, this, &CJobWnd::OnStop);
  connect(m_runner.get(), &CJobRunner::finished, this, &CJobWnd::WorkerEnded);
}

CJobWnd::~CJobWnd() {
  // Never reached with a running worker in normal use: the runner stops it
  // before the members its job uses go.
  m_runner.reset();
}

QString CJobWnd::Message(const char* id) const {
  return SectionText(m_messages, id);
}

void CJobWnd::Post(std::function<void()> call) {
  m_runner->Post(std::move(call));
}

void CJobWnd::PostAndWait(const std::function<void()>& call) {
  m_runner->PostAndWait(call);
}

void CJobWnd::showEvent(QShowEvent* event) {
  CPopUpWnd::showEvent(event);
  if (m_runner->Started()) return;
  m_control.Reset();
  LanguageManager& language = LanguageManager::Instance();
  m_messages = language.GetSection("Messages");
  ApplySection(this, language.GetSection(m_section));
  SetTitle(findChild<QLabel*>(QStringLiteral("title"))->text());
  m_runner->Start([this] { return RunJob(); });
}

void CJobWnd::WorkerEnded(int code) {
  AfterJob();
  // After a confirmed stop the window closes with its stop code, if it has one.
  CloseWith(m_runner->StopRequested() && m_stopCode != 0 ? m_stopCode : code);
}

void CJobWnd::CloseWith(int code) {
  if (result() == 0 && isVisible()) done(code);
}

void CJobWnd::OnStop() {
  if (m_runner->StopRequested()) return;  // stopping already: the window closes when the job has
  // The worker unwinds at its next report and the runner's finished() closes the window.
  if (m_runner->AskToStop([this] {
        return CMessageBox::Show(CMessageBox::kQuestion, this, Message(m_question)) == CMessageBox::kOk;
      }))
    m_cancelButton->setEnabled(false);
}

void CJobWnd::keyPressEvent(QKeyEvent* event) {
  // Escape never closes a job window while its worker runs: it asks to stop.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    OnStop();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CJobWnd::OnCloseRequest() {
  if (WorkerRunning()) {
    OnStop();
    return;
  }
  done(QDialog::Rejected);
}

}  // namespace velmira
