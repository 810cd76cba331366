#include "app/create_image_process_wnd.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/language_ui.h"
#include "app/message_box.h"
#include "jobs/scan_job.h"
#include "platform/errors.h"
#include "platform/message_format.h"
#include "storage/disk_discovery.h"
#include "storage/disk_image_copy.h"

namespace velmira {

CCreateImageProcessWnd::CCreateImageProcessWnd(QWidget* owner, const QString& imagePath,
                                               const std::string& sourcePath, uint64_t startSector,
                                               uint64_t sectorCount, bool resume)
    : CPopUpWnd(owner, QStringLiteral("CreateImageProcessWnd"), kWidth, kHeight),
      m_imagePath(imagePath),
      m_sourcePath(sourcePath),
      m_startSector(startSector),
      m_sectorCount(sectorCount),
      m_resume(resume),
      m_runner(std::make_unique<CJobRunner>(m_token, nullptr)) {
  auto label = [this](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(QString::fromLatin1(name));
    return l;
  };
  m_stage = label("stage");
  m_stage->setWordWrap(true);
  m_percent = label("percent");
  m_time = label("time");
  m_sectors = label("sectors");
  m_unreadable = label("unreadable");
  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setRange(0, 100);
  m_progress->setTextVisible(false);
  m_cancelButton = new QPushButton(QStringLiteral("Stop"), this);
  m_cancelButton->setObjectName(QStringLiteral("cancelbtn"));
  m_cancelButton->setDefault(true);

  QVBoxLayout* body = Body();
  body->addWidget(m_stage);
  body->addStretch(1);
  body->addWidget(m_progress);
  auto* line = new QHBoxLayout();
  line->addWidget(m_percent, 1);
  line->addWidget(m_time);
  body->addLayout(line);
  body->addWidget(m_sectors);
  body->addWidget(m_unreadable);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(m_cancelButton);
  body->addLayout(buttons);
  connect(m_cancelButton, &QPushButton::clicked, this, &CCreateImageProcessWnd::OnCloseRequest);
  connect(m_runner.get(), &CJobRunner::finished, this, [this](int result) {
    done(result == kOk ? kClosedComplete : result == kCancelled ? kClosedCancelled : kClosedFailed);
  });

  LanguageManager& language = LanguageManager::Instance();
  m_messages = language.GetSection("Messages");
  const TextSection texts = language.GetSection("CreateImageWnd");
  ApplySection(this, texts);
  MakeLabelsPlain(this);
  SetTitle(SectionText(texts, "title"));
  m_stage->setText(Q(FormatText("%s %s", {S(Message("MSG0302")), S(imagePath)})));
  ShowProgress(0, 0, 0, -1, 0, 0);
  m_cancelButton->setFocus();
}

CCreateImageProcessWnd::~CCreateImageProcessWnd() {
  m_runner.reset();  // stops a copy still running
}

QString CCreateImageProcessWnd::Message(const char* id) const {
  return SectionText(m_messages, id);
}

void CCreateImageProcessWnd::showEvent(QShowEvent* event) {
  CPopUpWnd::showEvent(event);
  if (m_runner->Started()) return;
  m_runner->Start([this] {
    ImageJob job;
    job.progress = &CCreateImageProcessWnd::Progress;
    job.resume = m_resume;
    job.mapComments = {"Source: " + m_sourcePath + ", from sector " + std::to_string(m_startSector)};
    m_job = &job;
    const int32_t result =
        CopyPathToImage(job, m_sourcePath, m_startSector, m_sectorCount, S(m_imagePath), this);
    m_job = nullptr;
    m_badSectors.store(job.badSectors);
    m_result.store(result);
    return static_cast<int>(result);
  });
}

int32_t CCreateImageProcessWnd::Progress(void* user, int32_t percent, uint64_t sectorsDone,
                                         uint64_t sectorsTotal, int32_t secondsLeft) {
  auto* wnd = static_cast<CCreateImageProcessWnd*>(user);
  if (wnd->m_token.Checkpoint()) return kCancelled;
  const uint64_t bad = wnd->m_job != nullptr ? wnd->m_job->badSectors : 0;
  const uint64_t speed = wnd->m_job != nullptr ? wnd->m_job->bytesPerSecond : 0;
  QMetaObject::invokeMethod(
      wnd,
      [wnd, percent, sectorsDone, sectorsTotal, secondsLeft, bad, speed] {
        wnd->ShowProgress(percent, sectorsDone, sectorsTotal, secondsLeft, bad, speed);
      },
      Qt::QueuedConnection);
  return 0;
}

void CCreateImageProcessWnd::ShowProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                                          int secondsLeft, uint64_t bad, uint64_t bytesPerSecond) {
  m_progress->setValue(std::clamp(percent, 0, 100));
  m_percent->setText(Q(FormatText("%s %d%%", {S(Message("MSG0301")), percent})));
  m_time->setText(secondsLeft == -1
                      ? Message("MSG0304")
                      : Q(FormatText("%s %s", {S(Message("MSG0305")),
                                               FormatDuration(secondsLeft, DurationUnitsOf(m_messages))})));
  m_sectors->setText(
      Q(FormatText("%s %llu / %llu", {S(Message("MSG0303")), static_cast<unsigned long long>(sectorsDone),
                                      static_cast<unsigned long long>(sectorsTotal)})));
  // Unreadable sectors so far, and the speed once it is known.
  std::string line = FormatText("%s %llu", {S(Message("MSG0307")), static_cast<unsigned long long>(bad)});
  if (bytesPerSecond != 0)
    line += "    " +
            FormatText("%s %s/s",
                       {S(Message("MSG0308")),
                        FormatSize(static_cast<int64_t>(std::min<uint64_t>(bytesPerSecond, INT64_MAX)))});
  m_unreadable->setText(Q(line));
}

void CCreateImageProcessWnd::OnCloseRequest() {
  // Not started or ended: the runner's end closes the window itself; after
  // a yes it closes with 2 once the copy has stopped at its next report.
  if (m_runner->AskToStop([this] {
        return CMessageBox::Show(CMessageBox::kQuestion, this, Message("MSG0306")) == CMessageBox::kOk;
      }))
    m_cancelButton->setEnabled(false);
}

}  // namespace velmira
