#include "app/pop_up_wnd.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>
#include <functional>

#include "app/frameless_window.h"
#include "app/language_ui.h"

namespace velmira {

CPopUpWnd::CPopUpWnd(QWidget* owner, const QString& objectName, int width, int height)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint) {
  InitResources();
  setObjectName(objectName);
  setProperty("popUp", true);
  setModal(true);
  setAttribute(Qt::WA_StyledBackground, true);
  resize(width, height);
  setMinimumSize(width, height);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(1, 1, 1, 1);
  outer->setSpacing(0);
  m_header = new QFrame(this);
  m_header->setObjectName(QStringLiteral("PopUpHeader"));
  m_header->setFixedHeight(34);
  auto* headerLayout = new QHBoxLayout(m_header);
  headerLayout->setContentsMargins(14, 0, 6, 0);
  m_title = new QLabel(m_header);
  m_title->setObjectName(QStringLiteral("title"));
  m_title->setTextFormat(Qt::PlainText);
  m_close = new QToolButton(m_header);
  m_close->setObjectName(QStringLiteral("closebtn"));
  m_close->setText(QStringLiteral("×"));
  m_close->setAutoRaise(true);
  m_close->setFocusPolicy(Qt::NoFocus);
  m_close->setFixedSize(26, 26);
  headerLayout->addWidget(m_title);
  headerLayout->addStretch(1);
  headerLayout->addWidget(m_close);
  outer->addWidget(m_header);
  new HeaderDrag(this, m_header);
  m_body = new QVBoxLayout();
  m_body->setContentsMargins(18, 12, 18, 12);
  m_body->setSpacing(8);
  outer->addLayout(m_body, 1);
  connect(m_close, &QToolButton::clicked, this, [this] { OnCloseRequest(); });
}

void CPopUpWnd::SetTitle(const QString& title) {
  m_title->setText(title);
  setWindowTitle(title.isEmpty() ? QStringLiteral("Velmira") : title);
}

void CPopUpWnd::Centre() {
  CentreOverOwner(this);
}

void CPopUpWnd::reject() {
  OnCloseRequest();
}

void CPopUpWnd::closeEvent(QCloseEvent* event) {
  event->ignore();
  OnCloseRequest();
}

void CPopUpWnd::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!m_centred) {
    m_centred = true;
    Centre();
  }
}

}  // namespace velmira
