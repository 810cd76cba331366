// Answers the next message box the program opens, for the GUI tests: keeps
// its text and kind, waits `holdMs` (the box stays open meanwhile), runs
// `whileOpen`, then clicks OK (answer 1) or the other button.
#pragma once

#include <QApplication>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "app/message_box.h"

namespace velmira::testing {

class MessageBoxAnswer : public QObject {
 public:
  explicit MessageBoxAnswer(int answer, int holdMs = 0, std::function<void()> whileOpen = {})
      : m_answer(answer), m_hold(holdMs), m_whileOpen(std::move(whileOpen)) {
    connect(&m_timer, &QTimer::timeout, this, [this] {
      auto* box = qobject_cast<CMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      m_timer.stop();
      texts << box->text();
      m_kind = box->kind();
      QTimer::singleShot(m_hold, box, [this, box] {
        if (m_whileOpen) m_whileOpen();
        QTest::mouseClick(box->findChild<QPushButton*>(m_answer == 1 ? "okbtn" : "cancelbtn"),
                          Qt::LeftButton);
      });
    });
    m_timer.start(5);
  }

  // The text of the box answered (empty while none was).
  [[nodiscard]] QString text() const { return texts.value(0); }
  // Its kind, -1 while none was answered.
  [[nodiscard]] int kind() const { return m_kind; }

  QStringList texts;

 private:
  QTimer m_timer;
  int m_answer;
  int m_hold;
  std::function<void()> m_whileOpen;
  int m_kind = -1;
};

}  // namespace velmira::testing
