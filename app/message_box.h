// The program's modal message box: five kinds, each with its title text and
// buttons; the answer is 1 for "okbtn" and 2 for "cancelbtn" or "closebtn".
#pragma once

#include <QDialog>
#include <QPoint>
#include <memory>

namespace Ui {
class MessageBox;
}

namespace velmira {

class CMessageBox : public QDialog {
  Q_OBJECT

 public:
  enum Kind { kError = 0, kConfirm = 1, kInformation = 2, kWarning = 3, kQuestion = 4 };
  enum Answer { kOk = 1, kCancel = 2 };

  // A box of `kind` (any other value is an error box) with `text`, centred
  // on `owner` (may be null). The texts of the "MessageBox" language section
  // are applied when it opens.
  CMessageBox(int kind, QWidget* owner, const QString& text);
  ~CMessageBox() override;

  // Shows a box modally and returns its answer.
  static int Show(int kind, QWidget* owner, const QString& text);

  [[nodiscard]] int kind() const { return m_kind; }
  [[nodiscard]] QString text() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::unique_ptr<Ui::MessageBox> m_ui;
  int m_kind;
};

}  // namespace velmira
