#include "app/preview_wnd.h"

#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <mutex>

#include "app/language_ui.h"
#include "app/message_box.h"
#include "platform/errors.h"
#include "platform/message_format.h"

namespace velmira {

CPreviewProcessWnd::CPreviewProcessWnd(QWidget* owner, PreviewState& state, IFileRecoveryParse* engine,
                                       uint32_t settleMs)
    : CPopUpWnd(owner, QStringLiteral("PreviewProcessWnd"), kWidth, kHeight),
      m_job(state, engine, this, settleMs) {
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
  if (m_worker.joinable()) {
    {
      std::lock_guard<std::mutex> guard(m_job.Lock());
      m_job.Cancel();
    }
    m_worker.join();
  }
}

QString CPreviewProcessWnd::Message(const char* id) const {
  return SectionText(m_messages, id);
}

void CPreviewProcessWnd::showEvent(QShowEvent* event) {
  CPopUpWnd::showEvent(event);
  if (m_started) return;
  m_started = true;
  m_worker = std::thread([this] {
    const int32_t result = m_job.Run();
    m_result.store(result);
    const int code = result == kCancelled ? kClosedCancelled : kClosedExtracted;
    QMetaObject::invokeMethod(
        this, [this, code] { done(code); }, Qt::QueuedConnection);
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
  if (!m_started || m_job.Done()) return;  // the worker closes the window itself
  std::unique_lock<std::mutex> lock(m_job.Lock());
  if (CMessageBox::Show(CMessageBox::kQuestion, this, Message("MSG0903")) != CMessageBox::kOk) return;
  m_job.Cancel();
  lock.unlock();
  // The worker closes the window with 2 once the engine has stopped.
  WaitUntil([this] { return m_job.Done(); });
}

// ---- CPreviewWnd ---------------------------------------------------------------

CPreviewWnd::CPreviewWnd(const FoundRecord& record, IFileRecoveryParse* engine, uint32_t settleMs)
    : m_state(std::make_unique<PreviewState>(record)), m_engine(engine), m_settleMs(settleMs) {}

int CPreviewWnd::Run(QWidget* owner) {
  CPreviewProcessWnd window(owner, *m_state, m_engine, m_settleMs);
  return window.exec();
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
