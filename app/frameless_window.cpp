#include "app/frameless_window.h"

#include <QMouseEvent>
#include <QScreen>
#include <QWidget>

namespace velmira {

void CentreOverOwner(QWidget* dialog) {
  QRect area;
  if (dialog->parentWidget() != nullptr) {
    area = dialog->parentWidget()->window()->frameGeometry();
  } else if (const QScreen* screen = dialog->screen(); screen != nullptr) {
    area = screen->availableGeometry();
  }
  if (area.isValid()) dialog->move(area.center() - dialog->rect().center());
}

HeaderDrag::HeaderDrag(QWidget* window, QWidget* header) : QObject(window), m_window(window) {
  header->installEventFilter(this);
}

bool HeaderDrag::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress) {
    auto* press = static_cast<QMouseEvent*>(event);
    if (press->button() == Qt::LeftButton) {
      m_dragging = true;
      m_offset = press->globalPosition().toPoint() - m_window->frameGeometry().topLeft();
    }
  } else if (event->type() == QEvent::MouseMove) {
    auto* move = static_cast<QMouseEvent*>(event);
    if (m_dragging && (move->buttons() & Qt::LeftButton))
      m_window->move(move->globalPosition().toPoint() - m_offset);
    else
      m_dragging = false;
  } else if (event->type() == QEvent::MouseButtonRelease) {
    m_dragging = false;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace velmira
