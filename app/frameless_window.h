// What the program's frameless dialogs (message boxes, job windows) share:
// they centre themselves over their owner and move when their header is
// dragged, the window manager giving them no frame.
#pragma once

#include <QObject>
#include <QPoint>

class QWidget;

namespace velmira {

// Centres `dialog` over its owner's window, or on its screen without one.
void CentreOverOwner(QWidget* dialog);

// Moves `window` while `header` is dragged with the left button.
class HeaderDrag : public QObject {
 public:
  HeaderDrag(QWidget* window, QWidget* header);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* m_window;
  QPoint m_offset;
  bool m_dragging = false;
};

}  // namespace velmira
