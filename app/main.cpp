// velmira: the desktop program. Start-up makes sure one copy runs per user,
// shows the main window centred and runs the message loop; shutdown removes
// the temporary preview files and ends the players this program started.
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QScreen>
#include <cstdio>

#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/single_instance.h"
#include "jobs/name_settings.h"
#include "platform/child_processes.h"
#include "platform/folders.h"

int main(int argc, char** argv) {
  using namespace velmira;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmira"));
  QApplication::setOrganizationName(QStringLiteral("Orvanta"));
  QApplication::setApplicationVersion(QStringLiteral(VELMIRA_VERSION));
  QGuiApplication::setDesktopFileName(QStringLiteral("velmira"));
  InitResources();
  QApplication::setWindowIcon(QIcon(IconPath(QStringLiteral("velmira"))));
  ApplyProgramStyle();
  std::string settingsProblem;
  ApplyNameSettings(settingsProblem);
  if (!settingsProblem.empty()) std::fprintf(stderr, "velmira: %s\n", settingsProblem.c_str());

  SingleInstance instance;
  switch (instance.ClaimInstance()) {
    case SingleInstance::Claim::kRaised:
      return 0;
    case SingleInstance::Claim::kNoWindow: {
      // Told in the user's language; in English when its file lacks the text.
      const QString text = Q(LanguageManager::Instance().Text("Messages", "MSG0104"));
      CMessageBox::Show(CMessageBox::kInformation, nullptr,
                        text.isEmpty() ? QStringLiteral("Orvanta is running.") : text);
      return 0;
    }
    case SingleInstance::Claim::kFirst:
      break;
  }

  int code = 0;
  {
    CMainWnd window;
    window.resize(800, 500);
    if (const QScreen* screen = window.screen(); screen != nullptr)
      window.move(screen->availableGeometry().center() - window.rect().center());
    instance.SetWindow(&window);
    window.show();
    window.activateWindow();
    code = QApplication::exec();
    instance.SetWindow(nullptr);
  }

  (void)EndRememberedProcesses();  // leaving anyway: nothing is left to tell
  QFile::remove(Q(CompanyDataFolder()) + QStringLiteral("/ScanLog/tmp.avi"));
  return code;
}
