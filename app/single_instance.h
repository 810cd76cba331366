// One running copy per user. The first instance holds a lock file and
// listens on a local socket beside it; a later start asks it to bring its
// window forward and ends.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QWidget;

namespace velmira {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum class Claim {
    kFirst,     // this process is the one instance
    kRaised,    // another instance runs and brought its window forward
    kNoWindow,  // another instance runs but has no window (yet)
  };

  // `socketPath` empty: DefaultSocketPath().
  explicit SingleInstance(QString socketPath = QString(), QObject* parent = nullptr);
  ~SingleInstance() override;

  // $XDG_RUNTIME_DIR/Orvanta_2017.socket, else /tmp/Orvanta_2017-<uid>.socket.
  static QString DefaultSocketPath();

  // Becomes the one instance, or asks the one that runs to raise its window.
  [[nodiscard]] Claim ClaimInstance();

  // The window to bring forward when another start asks.
  void SetWindow(QWidget* window) { m_window = window; }

 signals:
  // Another start asked for the window (after it was raised).
  void raiseRequested();

 private:
  void OnConnection();
  [[nodiscard]] Claim AskRunningInstance() const;

  QString m_socketPath;
  int m_lockFd = -1;
  QLocalServer* m_server = nullptr;
  QPointer<QWidget> m_window;
};

}  // namespace velmira
