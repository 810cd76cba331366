#include "app/assist_menu.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>

#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "platform/folders.h"
#include "platform/message_format.h"
#include "ui_about_wnd.h"
#include "ui_help_wnd.h"

namespace velmira {
namespace {

// The README's headings of the sections the menu opens.
const char* HeadingOf(HelpTopic topic) {
  switch (topic) {
    case HelpTopic::kQuestions:
      return "Questions and answers";
    case HelpTopic::kSupport:
      return "Getting help";
    default:
      return "Using the desktop program";
  }
}

QString ReadmeText() {
  QFile file(Q(ProgramFolder()) + QStringLiteral("/README.md"));
  if (!file.open(QIODevice::ReadOnly)) {
    return QStringLiteral("# Velmira\n\nThe help file README.md was not found in %1.\n")
        .arg(Q(ProgramFolder()));
  }
  QString text = QString::fromUtf8(file.readAll());
  // The screenshots live beside the sources, not beside the program.
  static const QRegularExpression images(QStringLiteral("^!\\[[^\\n]*\\n?"),
                                         QRegularExpression::MultilineOption);
  text.remove(images);
  return text;
}

}  // namespace

QMenu* BuildAssistMenu(QWidget* mainWnd) {
  auto* menu = new QMenu(mainWnd);
  menu->setObjectName(QStringLiteral("MenuWnd"));
  auto item = [menu](const char* name, const char* text) {
    QAction* action = menu->addAction(QString::fromLatin1(text));
    action->setObjectName(QString::fromLatin1(name));
    return action;
  };
  QObject::connect(item("item_help", "Help"), &QAction::triggered, mainWnd,
                   [mainWnd] { ShowHelpPage(mainWnd, HelpTopic::kHelp); });
  QObject::connect(item("item_faq", "Questions and answers"), &QAction::triggered, mainWnd,
                   [mainWnd] { ShowHelpPage(mainWnd, HelpTopic::kQuestions); });
  QObject::connect(item("item_support", "Getting help"), &QAction::triggered, mainWnd,
                   [mainWnd] { ShowHelpPage(mainWnd, HelpTopic::kSupport); });
  QObject::connect(item("item_about", "About Velmira"), &QAction::triggered, mainWnd,
                   [mainWnd] { ShowAboutBox(mainWnd); });
  menu->addSeparator();

  LanguageManager& language = LanguageManager::Instance();
  QMenu* languages = menu->addMenu(QStringLiteral("Language"));
  languages->setObjectName(QStringLiteral("item_language"));
  const std::string current = language.CurrentLanguage();
  for (const LanguageEntry& entry : language.ListLanguages()) {
    QAction* action = languages->addAction(Q(entry.menuText));
    action->setObjectName(Q(entry.name));
    if (entry.name == current) action->setIcon(QIcon(IconPath(QStringLiteral("point"))));
    QObject::connect(action, &QAction::triggered, mainWnd, [mainWnd, name = entry.name] {
      LanguageManager& manager = LanguageManager::Instance();
      if (!manager.SwitchLanguage(name)) {
        // The choice holds for this run only; said in the language now in use.
        CMessageBox::Show(CMessageBox::kWarning, mainWnd,
                          Q(FormatText(manager.Text("Messages", "MSG0103"), {manager.SettingsWritePath()})));
      }
      if (auto* main = qobject_cast<CMainWnd*>(mainWnd))
        QMetaObject::invokeMethod(main, &CMainWnd::ApplyLanguage, Qt::QueuedConnection);
    });
  }
  languages->setEnabled(!languages->isEmpty());
  menu->addSeparator();
  QObject::connect(item("item_exit", "Exit"), &QAction::triggered, mainWnd, [mainWnd] { mainWnd->close(); });

  ApplySection(menu, language.GetSection("MenuWnd"));
  // Language names are shown as the settings give them, whatever the section says.
  for (QAction* action : languages->actions()) {
    for (const LanguageEntry& entry : language.ListLanguages())
      if (Q(entry.name) == action->objectName()) action->setText(Q(entry.menuText));
  }
  return menu;
}

void ShowHelpPage(QWidget* parent, HelpTopic topic) {
  auto* dialog = new QDialog(parent);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  Ui::HelpWnd ui;
  ui.setupUi(dialog);
  QObject::connect(ui.closebtn, &QPushButton::clicked, dialog, &QDialog::accept);
  ui.HelpText->setMarkdown(ReadmeText());
  ApplySection(dialog, LanguageManager::Instance().GetSection("MenuWnd"));
  dialog->show();
  // Scroll to the topic's heading.
  const QString heading = QString::fromLatin1(HeadingOf(topic));
  QTextDocument* document = ui.HelpText->document();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    if (block.text().trimmed() != heading) continue;
    QTextCursor cursor(block);
    ui.HelpText->setTextCursor(cursor);
    const QRect where = ui.HelpText->cursorRect(cursor);
    QScrollBar* bar = ui.HelpText->verticalScrollBar();
    bar->setValue(bar->value() + where.top());
    break;
  }
}

void ShowAboutBox(QWidget* parent) {
  QDialog dialog(parent);
  Ui::AboutWnd ui;
  ui.setupUi(&dialog);
  MakeLabelsPlain(&dialog);
  QObject::connect(ui.okbtn, &QPushButton::clicked, &dialog, &QDialog::accept);
  ui.AboutIcon->setPixmap(QIcon(IconPath(QStringLiteral("velmira"))).pixmap(64, 64));
  LanguageManager& language = LanguageManager::Instance();
  const QString name = Q(language.Text("Messages", "MSG1209"));
  if (!name.isEmpty()) ui.AboutName->setText(name);
  const TextSection texts = language.GetSection("MenuWnd");
  ApplySection(&dialog, texts);
  QString version = SectionText(texts, "TxtVersion");
  if (version.isEmpty()) version = QStringLiteral("Version");
  ui.AboutVersion->setText(version + QLatin1Char(' ') + QStringLiteral(VELMIRA_VERSION));
  // 420 pixels wide; a longer translation makes the box taller, never cuts it.
  ui.TxtAbout->setMinimumWidth(380);
  dialog.layout()->setSizeConstraint(QLayout::SetMinimumSize);
  dialog.adjustSize();
  dialog.exec();
}

}  // namespace velmira
