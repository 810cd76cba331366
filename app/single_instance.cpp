#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>
#include <cerrno>

namespace velmira {
namespace {

constexpr int kAnswerWaitMs = 3000;
// How long a second start waits for a first one that holds the lock but
// does not listen yet (it is still starting).
constexpr int kConnectWaitMs = 3000;

const QByteArray kRaiseRequest = "raise\n";
const QByteArray kRaisedAnswer = "raised\n";
const QByteArray kNoWindowAnswer = "nowindow\n";

}  // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), m_socketPath(socketPath.isEmpty() ? DefaultSocketPath() : std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
  if (m_server != nullptr) m_server->close();
  if (m_lockFd >= 0) ::close(m_lockFd);  // the lock goes with the descriptor
}

QString SingleInstance::DefaultSocketPath() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
    return runtime + QStringLiteral("/Orvanta_2017.socket");
  return QDir::tempPath() + QStringLiteral("/Orvanta_2017-%1.socket").arg(::getuid());
}

SingleInstance::Claim SingleInstance::ClaimInstance() {
  const QByteArray lockPath = QFile::encodeName(m_socketPath + QStringLiteral(".lock"));
  m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (m_lockFd >= 0 && ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(m_lockFd);
    m_lockFd = -1;
    // A file system without locks must not keep the program from starting.
    if (held) return AskRunningInstance();
  }
  // Without a lock file (an unwritable folder) the program still starts.
  QLocalServer::removeServer(m_socketPath);  // left behind by a crashed instance
  m_server = new QLocalServer(this);
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
  if (!m_server->listen(m_socketPath)) qWarning("velmira: cannot listen on %s", qPrintable(m_socketPath));
  return Claim::kFirst;
}

SingleInstance::Claim SingleInstance::AskRunningInstance() const {
  QLocalSocket socket;
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    socket.connectToServer(m_socketPath);
    if (socket.waitForConnected(500)) break;
    if (waited.elapsed() > kConnectWaitMs) return Claim::kNoWindow;
    QThread::msleep(100);
  }
  socket.write(kRaiseRequest);
  socket.waitForBytesWritten(kAnswerWaitMs);
  QByteArray answer;
  while (!answer.contains('\n') && socket.waitForReadyRead(kAnswerWaitMs)) answer += socket.readAll();
  return answer == kRaisedAnswer ? Claim::kRaised : Claim::kNoWindow;
}

void SingleInstance::OnConnection() {
  while (QLocalSocket* socket = m_server->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > 64) socket->abort();  // not one of ours
        return;
      }
      if (socket->readLine() != kRaiseRequest) {
        socket->abort();
        return;
      }
      if (m_window == nullptr) {
        socket->write(kNoWindowAnswer);
      } else {
        m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
        socket->write(kRaisedAnswer);
        emit raiseRequested();
      }
      socket->flush();
      socket->disconnectFromServer();
    });
  }
}

}  // namespace velmira
