#include "app/preview_wnd.h"

#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/language_ui.h"
#include "app/message_box.h"
#include "platform/errors.h"
#include "platform/message_format.h"

namespace velmira {

CPreviewProcessWnd::CPreviewProcessWnd(QWidget* owner, PreviewState& state, IFileRecoveryParse* engine,
                                       uint32_t settleMs)
    : CPopUpWnd(owner, QStringLiteral("PreviewProcessWnd"), kWidth, kHeight),
      m_job(state, engine, this, settleMs),
      m_runner(std::make_unique<CJobRunner>(m_job.Token(), nullptr)) {
  m_fileName = new QLabel(this);
  m_fileName->setObjectName(QStringLiteral("FileName"));
  m_stage = new QLabel(this);
  m_stage->setObjectName(QStringLiteral("stage"));
  m_stage->setWordWrap(true);
  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setRange(0, 100);
  m_progress->setTextVisible(false);
  m_percent = new QLabel(this);
  m_percent->setObjectName(QStringLiteral("percent"));
  m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_cancel->setObjectName(QStringLiteral("CancelBtn"));
  m_cancel->setDefault(true);

  QVBoxLayout* body = Body();
  body->addWidget(m_fileName);
  body->addWidget(m_stage);
  body->addStretch(1);
  body->addWidget(m_progress);
  body->addWidget(m_percent);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(m_cancel);
  body->addLayout(buttons);
  connect(m_cancel, &QPushButton::clicked, this, &CPreviewProcessWnd::OnCloseRequest);
  // The window closes when the extraction has ended: 2 after a stop.
  connect(m_runner.get(), &CJobRunner::finished, this,
          [this](int result) { done(result == kCancelled ? kClosedCancelled : kClosedExtracted); });

  LanguageManager& language = LanguageManager::Instance();
  m_messages = language.GetSection("Messages");
  const TextSection texts = language.GetSection("PreviewProcessWnd");
  ApplySection(this, texts);
  MakeLabelsPlain(this);
  SetTitle(SectionText(texts, "title"));
  const std::string name = RecordName(state.file);
  m_fileName->setText(Q(name));
  m_stage->setText(Q(FormatText("%s %s", {S(Message("MSG0902")), name})));
  ShowPercent(0);
  m_cancel->setFocus();
}

CPreviewProcessWnd::~CPreviewProcessWnd() {
  m_runner.reset();  // stops an extraction still running before the job goes
}

QString CPreviewProcessWnd::Message(const char* id) const {
  return SectionText(m_messages, id);
}

void CPreviewProcessWnd::showEvent(QShowEvent* event) {
  CPopUpWnd::showEvent(event);
  if (m_runner->Started()) return;
  m_runner->Start([this] {
    const Status result = m_job.Run();
    m_result = result;
    return static_cast<int>(result.Code());
  });
}

void CPreviewProcessWnd::OnPreviewProgress(int32_t percent) {
  QMetaObject::invokeMethod(
      this, [this, percent] { ShowPercent(percent); }, Qt::QueuedConnection);
}

void CPreviewProcessWnd::ShowPercent(int percent) {
  m_progress->setValue(std::clamp(percent, 0, 100));
  m_percent->setText(Q(FormatText("%s %d%%", {S(Message("MSG0901")), percent})));
}

void CPreviewProcessWnd::OnCloseRequest() {
  // Not started or ended: the runner's end closes the window itself.
  if (m_runner->AskToStop([this] {
        return CMessageBox::Show(CMessageBox::kQuestion, this, Message("MSG0903")) == CMessageBox::kOk;
      }))
    m_cancel->setEnabled(false);
}

// ---- CPreviewWnd ---------------------------------------------------------------

CPreviewWnd::CPreviewWnd(const FoundRecord& record, IFileRecoveryParse* engine, uint32_t settleMs)
    : m_state(std::make_unique<PreviewState>(record)), m_engine(engine), m_settleMs(settleMs) {}

int CPreviewWnd::Run(QWidget* owner) {
  CPreviewProcessWnd window(owner, *m_state, m_engine, m_settleMs);
  const int code = window.exec();
  m_result = window.result();
  return code;
}

QImage CPreviewWnd::DecodePicture(const QString& path, const QSize& fit) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  reader.setDecideFormatFromContent(true);
  const QSize full = reader.size();
  if (full.isValid() && fit.isValid() && (full.width() > fit.width() || full.height() > fit.height()))
    reader.setScaledSize(full.scaled(fit, Qt::KeepAspectRatio));
  QImage image = reader.read();
  if (image.isNull() || (image.width() <= 2 && image.height() <= 2)) return {};
  if (fit.isValid() && (image.width() > fit.width() || image.height() > fit.height()))
    image = image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

}  // namespace velmira
