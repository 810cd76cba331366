// The frame of the program's job windows: a modal dialog without the window
// manager's frame, with a dark header holding "title" and "closebtn", centred
// on its owner. Closing it by "closebtn", Escape or the window manager goes
// through OnCloseRequest, so that a running job can ask first.
#pragma once

#include <QDialog>
#include <QPoint>
#include <functional>

class QLabel;
class QToolButton;
class QVBoxLayout;
class QFrame;

namespace velmira {

class CPopUpWnd : public QDialog {
  Q_OBJECT

 public:
  // A window of `width` by `height` pixels (also its minimum size).
  CPopUpWnd(QWidget* owner, const QString& objectName, int width, int height);

  // The layout below the header, for the window's own controls.
  [[nodiscard]] QVBoxLayout* Body() const { return m_body; }
  void SetTitle(const QString& title);
  // Moves the window to the centre of its owner (or of the screen).
  void Centre();

 protected:
  // "closebtn", Escape and the window manager's close: closes with 2 unless
  // a job window overrides it.
  virtual void OnCloseRequest() { done(2); }

  void reject() override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QFrame* m_header;
  QLabel* m_title;
  QToolButton* m_close;
  QVBoxLayout* m_body;
  bool m_centred = false;
};

}  // namespace velmira
