// Every window and page of the desktop program, in English and in German, at
// the default size: no label, button, header or row text may be cut, elided
// or wider than its control (font metrics against geometry). Each window is
// saved as a picture under build/screenshots/; the README's pictures are
// taken from there.
#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include "app/assist_menu.h"
#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/recover_process_wnd.h"
#include "tests/fixtures/image_tools.h"

using namespace velmira;

namespace {

// The pixels a text needs on one line.
int TextWidth(const QFontMetrics& metrics, const QString& text) {
  int widest = 0;
  for (const QString& line : text.split(QLatin1Char('\n')))
    widest = std::max(widest, metrics.horizontalAdvance(line));
  return widest;
}

QString Describe(const QWidget* widget, const QString& text, int need, int have) {
  return QStringLiteral("%1 \"%2\": needs %3, has %4")
      .arg(widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                          : widget->objectName(),
           text.left(60))
      .arg(need)
      .arg(have);
}

// The controls of `window` whose text does not fit them.
QStringList TextsThatDoNotFit(QWidget* window) {
  QStringList problems;
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (!label->isVisibleTo(window) || label->text().isEmpty() || label->width() <= 1) continue;
    const QRect room = label->contentsRect();
    if (label->wordWrap() || label->textFormat() == Qt::RichText) {
      // A wrapped text must fit its height; a rich one is measured as wrapped.
      const int need = label->heightForWidth(label->width());
      if (need > label->height() + 1) problems << Describe(label, label->text(), need, label->height());
      continue;
    }
    const int need = TextWidth(label->fontMetrics(), label->text()) + 2 * label->margin();
    if (need > room.width()) problems << Describe(label, label->text(), need, room.width());
  }
  for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
    if (!button->isVisibleTo(window) || button->text().isEmpty()) continue;
    if (qobject_cast<QToolButton*>(button) != nullptr && button->text().size() <= 1) continue;
    // The style's own measure: text, icon, indicator and padding.
    const int need = button->sizeHint().width();
    if (need > button->width()) problems << Describe(button, button->text(), need, button->width());
  }
  for (QAbstractItemView* view : window->findChildren<QAbstractItemView*>()) {
    auto* tree = qobject_cast<QTreeView*>(view);
    auto* table = qobject_cast<QTableView*>(view);
    if ((tree == nullptr && table == nullptr) || !view->isVisibleTo(window)) continue;
    QHeaderView* header = tree != nullptr ? tree->header() : table->horizontalHeader();
    QAbstractItemModel* model = view->model();
    if (model == nullptr) continue;
    for (int column = 0; column < model->columnCount(); ++column) {
      if (header->isSectionHidden(column) || header->isHidden()) continue;
      const QString text = model->headerData(column, Qt::Horizontal).toString();
      if (text.isEmpty()) continue;
      // Room for the text, its padding and the sort arrow.
      const int need = TextWidth(header->fontMetrics(), text) + 24;
      const int have = header->sectionSize(column);
      if (need > have) problems << Describe(view, QStringLiteral("header ") + text, need, have);
    }
    // The rows shown: a text in a column narrower than itself is elided.
    std::function<void(const QModelIndex&, int)> rows = [&](const QModelIndex& parent, int depth) {
      for (int row = 0; row < model->rowCount(parent); ++row) {
        if (tree != nullptr ? tree->isRowHidden(row, parent) : table->isRowHidden(row)) continue;
        for (int column = 0; column < model->columnCount(); ++column) {
          if (header->isSectionHidden(column)) continue;
          const QModelIndex index = model->index(row, column, parent);
          const QString text = index.data().toString();
          if (text.isEmpty()) continue;
          const QRect cell = view->visualRect(index);
          if (cell.isEmpty()) continue;
          int need = TextWidth(view->fontMetrics(), text) + 8;
          if (!index.data(Qt::DecorationRole).isNull()) need += view->iconSize().width() + 4;
          if (index.data(Qt::CheckStateRole).isValid()) need += 20;
          if (need > cell.width()) problems << Describe(view, text, need, cell.width());
        }
        const QModelIndex first = model->index(row, 0, parent);
        if (tree != nullptr && tree->isExpanded(first)) rows(first, depth + 1);
      }
    };
    rows(QModelIndex(), 0);
  }
  return problems;
}

}  // namespace

class VelmiraTextsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void EveryWindowFitsItsTexts_data();
  void EveryWindowFitsItsTexts();

 private:
  // Checks `window`, saves it as `name`.png and reports what does not fit.
  void Check(QWidget* window, const QString& name);

  QTemporaryDir m_temp;
  QString m_program;
  QString m_card;
  QString m_shots;
};

void VelmiraTextsTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  const QString root = m_temp.path();
  for (const char* dir : {"data", "config", "runtime", "program/Languages"})
    QVERIFY(QDir().mkpath(root + QLatin1Char('/') + QLatin1String(dir)));
  qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
  qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
  qputenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/runtime")).toUtf8());
  m_program = root + QStringLiteral("/program");
  const QString source = QStringLiteral(VELMIRA_APP_SOURCE_DIR);
  QVERIFY(QFile::copy(source + QStringLiteral("/config.ini"), m_program + QStringLiteral("/config.ini")));
  for (const char* language : {"English", "German"}) {
    const QString name = QStringLiteral("/Languages/%1.ini").arg(QLatin1String(language));
    QVERIFY(QFile::copy(source + name, m_program + name));
  }
  QFile::setPermissions(m_program + QStringLiteral("/config.ini"), QFile::ReadOwner | QFile::WriteOwner);
  LanguageManager::Instance().Reset(LanguagePaths{S(m_program), S(root + QStringLiteral("/config/Orvanta"))});
  m_shots = QStringLiteral(VELMIRA_SCREENSHOT_DIR);
  QVERIFY(QDir().mkpath(m_shots));
  ApplyProgramStyle();

  if (!testing::ToolAvailable("sfdisk") || !testing::ToolAvailable("mkfs.vfat"))
    QSKIP("sfdisk and mkfs.vfat are needed to build the simulated drives");
  const QString disk = root + QStringLiteral("/disk.img");
  QVERIFY(
      testing::MakePartitionedImage(S(disk), 48ull << 20, "label: dos\nstart=2048, size=81920, type=c\n"));
  QVERIFY(testing::FormatAt(S(disk), 2048, 40, "fat32", "CAMERA"));
  m_card = root + QStringLiteral("/card.img");
  QVERIFY(testing::MakeFatImage(S(m_card), 16, 24));
  // A drive that cannot be read shows its longest row text.
  const QString locked = root + QStringLiteral("/locked.img");
  testing::MakeBlankFile(S(locked), 8ull << 20);
  qputenv("VELMIRA_DRIVES", (disk + QLatin1Char(':') + locked).toUtf8());
}

void VelmiraTextsTest::Check(QWidget* window, const QString& name) {
  QTest::qWait(20);  // texts, then the layouts they change
  QVERIFY(window->grab().save(m_shots + QLatin1Char('/') + name + QStringLiteral(".png")));
  const QStringList problems = TextsThatDoNotFit(window);
  if (!problems.isEmpty())
    QFAIL(qPrintable(name + QStringLiteral(":\n  ") + problems.join(QStringLiteral("\n  "))));
}

void VelmiraTextsTest::EveryWindowFitsItsTexts_data() {
  QTest::addColumn<QString>("language");
  QTest::addColumn<QString>("suffix");
  QTest::newRow("English") << QStringLiteral("English") << QString();
  QTest::newRow("German") << QStringLiteral("German") << QStringLiteral("_german");
}

void VelmiraTextsTest::EveryWindowFitsItsTexts() {
  QFETCH(QString, language);
  QFETCH(QString, suffix);
  QVERIFY(LanguageManager::Instance().SwitchLanguage(S(language)));

  CMainWnd wnd;
  wnd.resize(800, 500);
  wnd.show();
  QVERIFY(QTest::qWaitForWindowExposed(&wnd));
  QVERIFY(wnd.AddImageSource(m_card));
  Check(&wnd, QStringLiteral("page0_start") + suffix);
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(wnd.findChild<QWidget*>(QStringLiteral("BtnRecoverMode")), &enter);
  Check(&wnd, QStringLiteral("page0_start_hint") + suffix);
  wnd.ChooseMode(CMainWnd::kModeRecover);
  wnd.findChild<QTreeWidget*>(QStringLiteral("DiskList"))->expandAll();
  Check(&wnd, QStringLiteral("page1_disks") + suffix);
  wnd.SelectPage(CMainWnd::kPageFileType);
  Check(&wnd, QStringLiteral("page2_file_types") + suffix);
  wnd.SelectPage(CMainWnd::kPageRecover);
  Check(&wnd, QStringLiteral("page3_results") + suffix);
  wnd.ChooseMode(CMainWnd::kModeCreateImage);
  Check(&wnd, QStringLiteral("page1_create_image") + suffix);

  // Every message the program can show, in its box.
  const TextSection messages = LanguageManager::Instance().GetSection("Messages");
  for (const auto& [id, text] : messages) {
    CMessageBox box(CMessageBox::kWarning, &wnd, Q(text));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    const QStringList problems = TextsThatDoNotFit(&box);
    if (!problems.isEmpty())
      QFAIL(qPrintable(Q(id) + QStringLiteral(": ") + problems.join(QStringLiteral("; "))));
  }
  {
    CMessageBox box(CMessageBox::kWarning, &wnd, SectionText(messages, "MSG0504"));
    box.show();
    Check(&box, QStringLiteral("message_box_warning") + suffix);
  }

  // The menu's windows.
  QMenu* menu = BuildAssistMenu(&wnd);
  menu->findChild<QAction*>(QStringLiteral("item_faq"))->trigger();
  auto* help = wnd.findChild<QDialog*>(QStringLiteral("HelpWnd"));
  QVERIFY(help != nullptr);
  Check(help, QStringLiteral("help") + suffix);
  help->close();
  bool aboutSeen = false;
  QTimer::singleShot(0, this, [&] {
    auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (about == nullptr) return;
    aboutSeen = true;
    Check(about, QStringLiteral("about") + suffix);
    // The text keeps a margin from the window's edge.
    auto* text = about->findChild<QLabel*>(QStringLiteral("TxtAbout"));
    QVERIFY(text != nullptr);
    QVERIFY2(text->mapTo(about, QPoint(0, 0)).x() >= 12, "the About text sits against the edge");
    about->accept();
  });
  menu->findChild<QAction*>(QStringLiteral("item_about"))->trigger();
  delete menu;
  QVERIFY(aboutSeen);

  // The recovery window at its end, with a file whose source is gone.
  FoundRecord orphan{};
  orphan.key = 999;
  CRecoverProcessWnd recovery(&wnd, m_temp.path() + QStringLiteral("/out"), {}, {orphan});
  bool recoverySeen = false;
  QString status;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    auto* finish = recovery.findChild<QPushButton*>(QStringLiteral("FinishBtn"));
    if (!recovery.isVisible() || finish == nullptr || !finish->isVisible()) return;
    poll.stop();
    recoverySeen = true;
    recovery.findChild<QPushButton*>(QStringLiteral("DetailBtn"))->click();
    // The reason in the window's language.
    auto* details = recovery.findChild<QTreeWidget*>(QStringLiteral("DetailList"));
    status = details->topLevelItemCount() == 0 ? QString() : details->topLevelItem(0)->text(1);
    Check(&recovery, QStringLiteral("recover_window_details") + suffix);
    finish->click();
  });
  poll.start(10);
  (void)recovery.exec();
  QVERIFY(recoverySeen);
  QCOMPARE(status, SectionText(LanguageManager::Instance().GetSection("Errors"), "SourceGone"));
  QVERIFY(language == QStringLiteral("English") || !status.startsWith(QStringLiteral("The ")));
}

QTEST_MAIN(VelmiraTextsTest)
#include "velmira_texts_test.moc"
