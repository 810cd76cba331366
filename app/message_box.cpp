#include "app/message_box.h"

#include <QIcon>
#include <QLayout>
#include <algorithm>

#include "app/frameless_window.h"
#include "app/language_ui.h"
#include "ui_message_box.h"

namespace velmira {
namespace {

struct KindLook {
  const char* title;  // message id of the title
  const char* icon;
  bool cancel;      // a second button
  bool cancelIsNo;  // which the language section calls "nobtn"
};

KindLook LookOf(int kind) {
  switch (kind) {
    case CMessageBox::kConfirm:
      return {"MSG0402", "msg_confirm", true, false};
    case CMessageBox::kInformation:
      return {"MSG0403", "msg_info", false, false};
    case CMessageBox::kWarning:
      return {"MSG0405", "msg_warning", false, false};
    case CMessageBox::kQuestion:
      return {"MSG0404", "msg_question", true, true};
    default:
      return {"MSG0401", "msg_error", false, false};
  }
}

}  // namespace

CMessageBox::CMessageBox(int kind, QWidget* owner, const QString& text)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint),
      m_ui(std::make_unique<Ui::MessageBox>()),
      m_kind(kind < kError || kind > kQuestion ? kError : kind) {
  InitResources();
  m_ui->setupUi(this);
  new HeaderDrag(this, m_ui->MessageHeader);
  MakeLabelsPlain(this);
  setModal(true);

  const KindLook look = LookOf(m_kind);
  LanguageManager& texts = LanguageManager::Instance();
  const TextSection section = texts.GetSection("MessageBox");
  ApplySection(this, section);
  const QString title = Q(texts.Text("Messages", look.title));
  m_ui->title->setText(title);
  setWindowTitle(title.isEmpty() ? QStringLiteral("Velmira") : title);
  m_ui->kindicon->setPixmap(QIcon(IconPath(QString::fromLatin1(look.icon))).pixmap(36, 36));
  m_ui->message->setText(text);
  // At least the usual 400 x 160; a long text (or a long translation) makes
  // the box wider up to 560 and then taller, never cut.
  ensurePolished();  // the style sheet's font, which the measures below use
  // The icon, the margins and the spacing take 104 pixels of the width.
  const int width =
      std::clamp(m_ui->message->fontMetrics().horizontalAdvance(text) + 2, 400 - 104, 560 - 104);
  m_ui->message->setMinimumWidth(width);
  m_ui->message->setMinimumHeight(m_ui->message->heightForWidth(width));
  setMinimumSize(layout()->minimumSize().expandedTo(QSize(400, 160)));
  resize(minimumSize());
  m_ui->cancelbtn->setVisible(look.cancel);
  if (look.cancelIsNo) {
    const QString no = SectionText(section, "nobtn");
    m_ui->cancelbtn->setText(no.isEmpty() ? QStringLiteral("No") : no);
  }

  connect(m_ui->okbtn, &QPushButton::clicked, this, [this] { done(kOk); });
  connect(m_ui->cancelbtn, &QPushButton::clicked, this, [this] { done(kCancel); });
  connect(m_ui->closebtn, &QToolButton::clicked, this, [this] { done(kCancel); });
}

CMessageBox::~CMessageBox() = default;

int CMessageBox::Show(int kind, QWidget* owner, const QString& text) {
  CMessageBox box(kind, owner, text);
  const int answer = box.exec();
  // Escape and the window manager's close give 0: the same as closing.
  return answer == kOk ? kOk : kCancel;
}

QString CMessageBox::text() const {
  return m_ui->message->text();
}

void CMessageBox::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  CentreOverOwner(this);
}

}  // namespace velmira
