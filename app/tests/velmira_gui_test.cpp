// The desktop program's windows driven by object name on the offscreen
// platform. Drives are simulated with VELMIRA_DRIVES: an MBR disk image with
// a FAT32 and an NTFS partition and free space after them, and a blank disk.
// Each page is also saved as a PNG under build/screenshots/.
#include <sys/resource.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#include <csignal>
#include <cstdlib>
#include <functional>

#include "app/assist_menu.h"
#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/single_instance.h"
#include "app/tests/message_box_answer.h"
#include "platform/message_format.h"
#include "tests/fixtures/image_tools.h"

using namespace velmira;
using velmira::testing::MessageBoxAnswer;

namespace {

template <typename T>
T* Find(QWidget* window, const char* name) {
  T* child = window->findChild<T*>(QString::fromLatin1(name));
  if (child == nullptr) qWarning("no control named %s", name);
  return child;
}

QString Text(QWidget* window, const char* name) {
  if (auto* label = window->findChild<QLabel*>(QString::fromLatin1(name))) return label->text();
  if (auto* button = window->findChild<QAbstractButton*>(QString::fromLatin1(name))) return button->text();
  return QStringLiteral("<no control %1>").arg(QString::fromLatin1(name));
}

void SetDrives(const QStringList& paths) {
  qputenv("VELMIRA_DRIVES", paths.join(QLatin1Char(':')).toUtf8());
}

}  // namespace

class VelmiraGuiTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void DiskListShowsDisksPartitionsRegionsAndWholeDrives();
  void ImageFilesGetKeysAndFacts();
  void NavigationAndModes();
  void LanguagesSwitchAndFailSoftly();
  void DevicesComingAndGoing();
  void MessageBoxKinds();
  void HelpPagesAndAboutBox();
  void SecondInstanceRaisesTheFirst();
  void PagesAsPictures();

 private:
  void UseLanguage(const char* name);
  QString ProgramFile(const QString& name) const { return m_program + QLatin1Char('/') + name; }

  QTemporaryDir m_temp;
  QString m_program;
  QString m_disk1;
  QString m_disk2;
  QString m_card;
};

void VelmiraGuiTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  const QString root = m_temp.path();
  for (const char* dir : {"data", "config", "runtime", "program/Languages"})
    QVERIFY(QDir().mkpath(root + QLatin1Char('/') + QLatin1String(dir)));
  qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
  qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
  qputenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/runtime")).toUtf8());

  // A program folder of our own, so that switching languages writes there.
  m_program = root + QStringLiteral("/program");
  const QString source = QStringLiteral(VELMIRA_APP_SOURCE_DIR);
  QVERIFY(QFile::copy(source + QStringLiteral("/config.ini"), ProgramFile(QStringLiteral("config.ini"))));
  for (const char* language : {"English", "German"}) {
    const QString name = QStringLiteral("Languages/%1.ini").arg(QLatin1String(language));
    QVERIFY(QFile::copy(source + QLatin1Char('/') + name, ProgramFile(name)));
  }
  QFile::setPermissions(ProgramFile(QStringLiteral("config.ini")), QFile::ReadOwner | QFile::WriteOwner);
  LanguageManager::Instance().Reset(LanguagePaths{S(m_program), S(root + QStringLiteral("/config/Orvanta"))});

  if (!testing::ToolAvailable("sfdisk") || !testing::ToolAvailable("mkfs.vfat") ||
      !testing::ToolAvailable("mkntfs")) {
    QSKIP("sfdisk, mkfs.vfat and mkntfs are needed to build the simulated drives");
  }
  m_disk1 = root + QStringLiteral("/disk1.img");
  m_disk2 = root + QStringLiteral("/disk2.img");
  m_card = root + QStringLiteral("/card.img");
  QVERIFY(testing::MakePartitionedImage(S(m_disk1), 80ull << 20,
                                        "label: dos\nstart=2048, size=81920, type=c\n"
                                        "start=83968, size=32768, type=7\n"));
  QVERIFY(testing::FormatAt(S(m_disk1), 2048, 40, "fat32", "CAMERA"));
  QVERIFY(testing::FormatAt(S(m_disk1), 83968, 16, "ntfs", "BACKUP"));
  testing::MakeBlankFile(S(m_disk2), 16ull << 20);
  QVERIFY(testing::MakeFatImage(S(m_card), 16, 24));
  SetDrives({m_disk1, m_disk2});
  ApplyProgramStyle();
}

void VelmiraGuiTest::UseLanguage(const char* name) {
  QVERIFY(LanguageManager::Instance().SwitchLanguage(name));
}

void VelmiraGuiTest::DiskListShowsDisksPartitionsRegionsAndWholeDrives() {
  UseLanguage("English");
  CMainWnd wnd;
  auto* list = Find<QTreeWidget>(&wnd, "DiskList");
  QVERIFY(list != nullptr);
  QCOMPARE(list->topLevelItemCount(), 2);
  QTreeWidgetItem* disk1 = list->topLevelItem(0);
  QTreeWidgetItem* disk2 = list->topLevelItem(1);
  QCOMPARE(disk1->text(0), QStringLiteral("Disk 1  ") + m_disk1);
  QCOMPARE(disk1->text(2), QStringLiteral("80.00 MB"));
  QCOMPARE(disk2->text(0), QStringLiteral("Disk 2  ") + m_disk2);
  QCOMPARE(CMainWnd::KindOf(disk1), CMainWnd::kRowDisk);

  // FAT32, NTFS, the free space after them; the blank disk as a whole.
  QCOMPARE(disk1->childCount(), 3);
  QCOMPARE(disk1->child(0)->text(0), QStringLiteral("1:  disk1.img #1  CAMERA"));
  QCOMPARE(disk1->child(0)->text(1), QStringLiteral("FAT32"));
  QCOMPARE(disk1->child(0)->text(2), QStringLiteral("40.00 MB"));
  QCOMPARE(disk1->child(1)->text(0), QStringLiteral("2:  disk1.img #2  BACKUP"));
  QCOMPARE(disk1->child(1)->text(1), QStringLiteral("NTFS"));
  QCOMPARE(disk1->child(1)->text(2), QStringLiteral("16.00 MB"));
  QCOMPARE(disk1->child(2)->text(0), QStringLiteral("3:  Unallocated space"));
  QCOMPARE(disk1->child(2)->text(1), QString());
  QCOMPARE(disk1->child(2)->text(2), QStringLiteral("23.00 MB"));
  QCOMPARE(disk2->childCount(), 1);
  QCOMPARE(disk2->child(0)->text(0), QStringLiteral("4:  Whole disk"));
  QCOMPARE(disk2->child(0)->text(2), QStringLiteral("16.00 MB"));
  QCOMPARE(wnd.sources().size(), size_t{4});
  QCOMPARE(CMainWnd::SourceOf(disk1->child(1))->SourceKey(), uint16_t{2});

  // Nothing chosen yet: no scan.
  QVERIFY(!wnd.sourceChosen());
  QVERIFY(!Find<QPushButton>(&wnd, "BtnScan")->isEnabled());

  list->setCurrentItem(disk1->child(0));
  QVERIFY(wnd.sourceChosen());
  QVERIFY(Find<QPushButton>(&wnd, "BtnScan")->isEnabled());
  QCOMPARE(Text(&wnd, "Label1"), QStringLiteral("Number: 1"));
  QCOMPARE(Text(&wnd, "Label2"), QStringLiteral("Label: CAMERA"));
  QCOMPARE(Text(&wnd, "Label3"), QStringLiteral("File system: FAT32"));
  QCOMPARE(Text(&wnd, "Label4"), QStringLiteral("Size: 40.00 MB"));
  // Not mounted: what is used and free is not known.
  QCOMPARE(Text(&wnd, "Label5"), QStringLiteral("Used: -"));
  QCOMPARE(Text(&wnd, "Label6"), QStringLiteral("Free: -"));
  QCOMPARE(Text(&wnd, "Label7"), QStringLiteral("Device: disk1.img #1"));
  QCOMPARE(Text(&wnd, "Label8"), QStringLiteral("Mounted on: not mounted"));

  list->setCurrentItem(disk1->child(2));
  QCOMPARE(Text(&wnd, "Label1"), QStringLiteral("Number: 3"));
  QCOMPARE(Text(&wnd, "Label3"), QStringLiteral("File system: Unallocated space"));
  QCOMPARE(Text(&wnd, "Label6"), QStringLiteral("Free: 23.00 MB"));
  QCOMPARE(Text(&wnd, "Label8"), QString());

  // A disk row scans all of its regions, in order.
  list->setCurrentItem(disk1);
  const std::vector<ScanSource*> all = CMainWnd::SourcesOfRow(disk1);
  QCOMPARE(all.size(), size_t{3});
  QCOMPARE(all[2]->SourceKey(), uint16_t{3});
  QCOMPARE(Text(&wnd, "Label1"), QStringLiteral("Disk 1"));
  QCOMPARE(Text(&wnd, "Label4"), QStringLiteral("Size: 80.00 MB"));
}

void VelmiraGuiTest::ImageFilesGetKeysAndFacts() {
  CMainWnd wnd;
  auto* list = Find<QTreeWidget>(&wnd, "DiskList");
  std::vector<ScanSource*> scanned;
  wnd.SetScanHandler([&scanned](const std::vector<ScanSource*>& sources) { scanned = sources; });
  QVERIFY(wnd.AddImageSource(m_card));
  QVERIFY(wnd.AddImageSource(m_disk2));
  QTreeWidgetItem* group = list->topLevelItem(list->topLevelItemCount() - 1);
  // The image loaded last is selected, and Scan scans it.
  QCOMPARE(list->currentItem(), group->child(1));
  QTest::mouseClick(Find<QPushButton>(&wnd, "BtnScan"), Qt::LeftButton);
  QCOMPARE(scanned.size(), size_t{1});
  QCOMPARE(scanned[0]->SourceKey(), uint16_t{1002});
  QCOMPARE(CMainWnd::KindOf(group), CMainWnd::kRowImageGroup);
  QCOMPARE(group->text(0), QStringLiteral("Image File"));
  QCOMPARE(group->childCount(), 2);
  QCOMPARE(group->child(0)->text(0), m_card);
  QCOMPARE(group->child(0)->text(2), QStringLiteral("24.00 MB"));
  QCOMPARE(CMainWnd::SourceOf(group->child(0))->SourceKey(), uint16_t{1001});
  QCOMPARE(CMainWnd::SourceOf(group->child(1))->SourceKey(), uint16_t{1002});
  QVERIFY(CMainWnd::SourceOf(group->child(1))->IsImage());

  list->setCurrentItem(group->child(0));
  QCOMPARE(Text(&wnd, "Label1"), QStringLiteral("Image file: ") + m_card);
  QCOMPARE(Text(&wnd, "Label2"), QStringLiteral("Size: 24.00 MB"));
  QVERIFY(Find<QLabel>(&wnd, "Label3")->isHidden());

  // A file that cannot be read is not added.
  MessageBoxAnswer answer(1);
  QVERIFY(!wnd.AddImageSource(m_temp.path() + QStringLiteral("/missing.img")));
  QCOMPARE(answer.kind(), int{CMessageBox::kWarning});
  QCOMPARE(group->childCount(), 2);

  // Creating an image: the image rows are hidden, and so are loading an
  // image and choosing file types.
  wnd.ChooseMode(CMainWnd::kModeCreateImage);
  QVERIFY(group->isHidden());
  for (const char* name : {"BtnLoadImage", "BtnDeepScan", "TabFileType"})
    QVERIFY2(Find<QWidget>(&wnd, name)->isHidden(), name);
  wnd.ChooseMode(CMainWnd::kModeRecover);
  QVERIFY(!group->isHidden());
  for (const char* name : {"BtnLoadImage", "BtnDeepScan", "TabFileType"})
    QVERIFY2(!Find<QWidget>(&wnd, name)->isHidden(), name);
}

void VelmiraGuiTest::NavigationAndModes() {
  CMainWnd wnd;
  wnd.show();
  QVERIFY(QTest::qWaitForWindowExposed(&wnd));
  auto* next = Find<QPushButton>(&wnd, "BtnNext");
  auto* prev = Find<QPushButton>(&wnd, "BtnPrev");
  auto* pages = Find<QStackedWidget>(&wnd, "TabPage");
  auto* list = Find<QTreeWidget>(&wnd, "DiskList");
  QCOMPARE(pages->currentIndex(), 0);
  QVERIFY(Find<QWidget>(&wnd, "SubBar1")->isVisible());
  QVERIFY(!Find<QWidget>(&wnd, "ToolBar3")->isVisible());

  // The help text under the mode buttons follows the pointer.
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(Find<QWidget>(&wnd, "BtnCreateImageMode"), &enter);
  QCOMPARE(Text(&wnd, "TxtMainInfo"), Q(LanguageManager::Instance().Text("Messages", "MSG0102")));
  QApplication::sendEvent(Find<QWidget>(&wnd, "BtnRecoverMode"), &enter);
  QCOMPARE(Text(&wnd, "TxtMainInfo"), Q(LanguageManager::Instance().Text("Messages", "MSG0101")));

  // Page 1 without a usable selection: the fixed text, and no step forward.
  wnd.SelectPage(CMainWnd::kPageStart);
  next->click();  // hidden on the start page
  QCOMPARE(pages->currentIndex(), 1);
  QVERIFY(Find<QWidget>(&wnd, "ToolBar3")->isVisible());
  QVERIFY(!Find<QWidget>(&wnd, "SubBar1")->isVisible());
  list->clearSelection();
  {
    MessageBoxAnswer answer(1);
    QTest::mouseClick(next, Qt::LeftButton);
    QCOMPARE(answer.text(), Q(LanguageManager::Instance().Text("Messages", "MSG0506")));
    QCOMPARE(answer.kind(), int{CMessageBox::kInformation});
  }
  QCOMPARE(pages->currentIndex(), 1);
  {
    MessageBoxAnswer answer(1);
    QTest::mouseClick(Find<QPushButton>(&wnd, "BtnScan"), Qt::LeftButton);  // disabled: nothing
    QTest::mouseClick(Find<QPushButton>(&wnd, "BtnCreateImage"), Qt::LeftButton);
    QCOMPARE(answer.text(), Q(LanguageManager::Instance().Text("Messages", "MSG0216")));
  }

  // Recover mode: the second row (no removable disk here) is chosen.
  QTest::mouseClick(prev, Qt::LeftButton);
  QCOMPARE(pages->currentIndex(), 0);
  QTest::mouseClick(Find<QWidget>(&wnd, "BtnRecoverMode"), Qt::LeftButton);
  QCOMPARE(pages->currentIndex(), 1);
  QCOMPARE(wnd.mode(), CMainWnd::kModeRecover);
  QCOMPARE(list->currentItem(), list->topLevelItem(0)->child(0));
  QVERIFY(Find<QWidget>(&wnd, "BtnScan")->isVisible());
  QVERIFY(Find<QWidget>(&wnd, "TabRecover")->isVisible());
  QCOMPARE(Text(&wnd, "Txt1"), Q(LanguageManager::Instance().Text("Messages", "MSG0501")));
  QCOMPARE(Text(&wnd, "TabScan"), Q(LanguageManager::Instance().Text("Messages", "MSG0503")));

  // A scan started from the type page returns there from the results.
  QTest::mouseClick(next, Qt::LeftButton);
  QCOMPARE(pages->currentIndex(), 2);
  QCOMPARE(Text(&wnd, "Txt1"), Q(LanguageManager::Instance().Text("Messages", "MSG0601")));
  std::vector<ScanSource*> scanned;
  wnd.SetScanHandler([&scanned](const std::vector<ScanSource*>& sources) { scanned = sources; });
  QTest::mouseClick(Find<QPushButton>(&wnd, "BtnScan"), Qt::LeftButton);
  QVERIFY(wnd.scanFromTypePage());
  QCOMPARE(scanned.size(), size_t{1});
  QCOMPARE(scanned[0]->SourceKey(), uint16_t{1});
  QTest::mouseClick(next, Qt::LeftButton);
  QCOMPARE(pages->currentIndex(), 3);
  QVERIFY(Find<QWidget>(&wnd, "SelectedFileInfo")->isVisible());
  QVERIFY(!Find<QWidget>(&wnd, "BtnScan")->isVisible());
  QVERIFY(!Find<QPushButton>(&wnd, "BtnRecover")->isEnabled());
  QCOMPARE(Text(&wnd, "SelectedFileInfo"), Q(LanguageManager::Instance().Text("Messages", "MSG0803")));
  QTest::mouseClick(prev, Qt::LeftButton);
  QCOMPARE(pages->currentIndex(), 2);

  // ... and one started from the disk page (a double-click) returns to it.
  wnd.SelectPage(CMainWnd::kPageDisks);
  QTreeWidgetItem* region = list->topLevelItem(0)->child(2);
  list->setCurrentItem(region);
  emit list->itemDoubleClicked(region, 0);
  QCOMPARE(scanned.size(), size_t{1});
  QCOMPARE(scanned[0]->SourceKey(), uint16_t{3});
  QVERIFY(!wnd.scanFromTypePage());
  wnd.SelectPage(CMainWnd::kPageRecover);
  QTest::mouseClick(prev, Qt::LeftButton);
  QCOMPARE(pages->currentIndex(), 1);

  // Double-clicking a disk row folds it; it does not scan.
  scanned.clear();
  QTreeWidgetItem* disk = list->topLevelItem(0);
  QVERIFY(disk->isExpanded());
  emit list->itemDoubleClicked(disk, 0);
  QVERIFY(!disk->isExpanded());
  QVERIFY(scanned.empty());
  disk->setExpanded(true);

  // Creating an image: no scan button, the image look of the first option.
  QTest::mouseClick(prev, Qt::LeftButton);
  QTest::mouseClick(Find<QWidget>(&wnd, "BtnCreateImageMode"), Qt::LeftButton);
  QCOMPARE(wnd.mode(), CMainWnd::kModeCreateImage);
  QVERIFY(!Find<QWidget>(&wnd, "BtnScan")->isVisible());
  QVERIFY(!Find<QWidget>(&wnd, "TabRecover")->isVisible());
  QCOMPARE(Text(&wnd, "TabScan"), Q(LanguageManager::Instance().Text("Messages", "MSG0211")));
  QCOMPARE(Text(&wnd, "Txt2"), Q(LanguageManager::Instance().Text("Messages", "MSG0213")));
}

void VelmiraGuiTest::LanguagesSwitchAndFailSoftly() {
  UseLanguage("English");
  CMainWnd wnd;
  auto* list = Find<QTreeWidget>(&wnd, "DiskList");
  wnd.ChooseMode(CMainWnd::kModeRecover);
  QCOMPARE(Text(&wnd, "BtnNext"), QStringLiteral("Next"));

  // The language menu offers the settings' languages, the current one marked.
  QMenu* menu = BuildAssistMenu(&wnd);
  auto* german = menu->findChild<QAction*>(QStringLiteral("German"));
  QVERIFY(german != nullptr);
  QCOMPARE(german->text(), QStringLiteral("Deutsch"));
  QVERIFY(german->icon().isNull());
  QVERIFY(!menu->findChild<QAction*>(QStringLiteral("English"))->icon().isNull());
  QCOMPARE(menu->findChild<QAction*>(QStringLiteral("item_faq"))->text(),
           QStringLiteral("Questions and answers"));
  german->trigger();
  delete menu;
  QTRY_COMPARE(Text(&wnd, "BtnNext"), QStringLiteral("Weiter"));
  QCOMPARE(Text(&wnd, "LblProductName"), QStringLiteral("Velmira Datenrettung"));
  QCOMPARE(Text(&wnd, "Txt1"), QStringLiteral("Wo lagen Ihre Dateien?"));
  QCOMPARE(Text(&wnd, "TabScan"), QStringLiteral("Datenträger wählen"));
  QCOMPARE(list->headerItem()->text(3), QStringLiteral("Eingehängt in"));
  QCOMPARE(list->topLevelItem(0)->text(0).left(12), QStringLiteral("Festplatte 1"));
  QCOMPARE(list->topLevelItem(0)->child(2)->text(0), QStringLiteral("3:  Nicht zugeordnet"));
  QCOMPARE(Text(&wnd, "Label1"), QStringLiteral("Nummer: 1"));  // the facts of the selected row
  {
    QFile settings(ProgramFile(QStringLiteral("config.ini")));
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QVERIFY(settings.readAll().contains("Default=German"));
  }
  {
    // Nothing chosen: the hint is German too, and so are Qt's own dialogs.
    QVERIFY(wnd.AddImageSource(m_card));
    MessageBoxAnswer answer(1);
    list->clearSelection();
    QTest::mouseClick(Find<QPushButton>(&wnd, "BtnNext"), Qt::LeftButton);
    QCOMPARE(answer.text(),
             QStringLiteral("Bitte wählen Sie zuerst einen Datenträger, eine Partition oder eine "
                            "Abbilddatei."));
  }
  QCOMPARE(Find<QTreeWidget>(&wnd, "DiskList")->topLevelItem(2)->text(0), QStringLiteral("Abbilddateien"));
  if (QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_de.qm")))
    QCOMPARE(QCoreApplication::translate("QFileDialog", "&Open"), QStringLiteral("&Öffnen"));
  else
    qWarning("qtbase_de.qm is not installed: Qt's own dialogs were not checked");
  wnd.SelectPage(CMainWnd::kPageFileType);
  QCOMPARE(Text(&wnd, "OptPhotoFile"), QStringLiteral("Fotos"));

  // A choice that cannot be saved (files may not grow past 16 bytes for a
  // moment) holds for this run, and the user is told where it was not saved.
  {
    struct sigaction ignore {
    }, oldSignal{};
    ignore.sa_handler = SIG_IGN;
    rlimit oldLimit{};
    QVERIFY(sigaction(SIGXFSZ, &ignore, &oldSignal) == 0 && getrlimit(RLIMIT_FSIZE, &oldLimit) == 0);
    rlimit small = oldLimit;
    small.rlim_cur = 16;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    menu = BuildAssistMenu(&wnd);
    MessageBoxAnswer answer(1);
    menu->findChild<QAction*>(QStringLiteral("English"))->trigger();
    delete menu;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &oldLimit) == 0 && sigaction(SIGXFSZ, &oldSignal, nullptr) == 0);
    const std::string path = LanguageManager::Instance().SettingsWritePath();
    QCOMPARE(answer.text(), Q(FormatText(LanguageManager::Instance().Text("Messages", "MSG0103"), {path})));
    QVERIFY(answer.text().contains(Q(path)));
    QCOMPARE(answer.kind(), int{CMessageBox::kWarning});
    QTRY_COMPARE(Text(&wnd, "OptPhotoFile"), QStringLiteral("Photos"));
    QFile settings(ProgramFile(QStringLiteral("config.ini")));
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QVERIFY(settings.readAll().contains("Default=German"));
  }
  menu = BuildAssistMenu(&wnd);  // back to where the steps below start
  menu->findChild<QAction*>(QStringLiteral("German"))->trigger();
  delete menu;
  QTRY_COMPARE(Text(&wnd, "OptPhotoFile"), QStringLiteral("Fotos"));

  // A language without "MSG1209": the product name goes empty.
  QFile english(ProgramFile(QStringLiteral("Languages/English.ini")));
  QVERIFY(english.open(QIODevice::ReadOnly));
  QByteArray text = english.readAll();
  text.replace("MSG1209=", "XMSG1209=");
  QFile noName(ProgramFile(QStringLiteral("Languages/NoName.ini")));
  QVERIFY(noName.open(QIODevice::WriteOnly));
  noName.write(text);
  noName.close();
  QFile settings(ProgramFile(QStringLiteral("config.ini")));
  QVERIFY(settings.open(QIODevice::Append));
  settings.write("NoName=No name\nGhost=Ghost\n");
  settings.close();
  UseLanguage("NoName");
  QMetaObject::invokeMethod(&wnd, &CMainWnd::ApplyLanguage, Qt::QueuedConnection);
  QTRY_COMPARE(Text(&wnd, "BtnNext"), QStringLiteral("Next"));
  QCOMPARE(Text(&wnd, "LblProductName"), QString());
  QCOMPARE(Text(&wnd, "Txt1"), QStringLiteral("Which kinds of files do you need?"));

  // A language whose file is missing: layout texts stay, messages are empty.
  UseLanguage("Ghost");
  QVERIFY(!LanguageManager::Instance().LanguageFileLoaded());
  QMetaObject::invokeMethod(&wnd, &CMainWnd::ApplyLanguage, Qt::QueuedConnection);
  QTRY_COMPARE(Text(&wnd, "Txt1"), QString());
  QCOMPARE(Text(&wnd, "BtnNext"), QStringLiteral("Next"));
  QCOMPARE(Text(&wnd, "LblProductName"), QString());
  list->setCurrentItem(list->topLevelItem(0)->child(0));
  QCOMPARE(Text(&wnd, "Label3"), QStringLiteral("FAT32"));
  {
    MessageBoxAnswer answer(1);
    QTest::mouseClick(Find<QPushButton>(&wnd, "BtnPrev"), Qt::LeftButton);
    wnd.SelectPage(CMainWnd::kPageDisks);
    list->clearSelection();
    QTest::mouseClick(Find<QPushButton>(&wnd, "BtnNext"), Qt::LeftButton);
    QCOMPARE(answer.text(), QString::fromLatin1(CMainWnd::kSelectDiskText));
  }
  UseLanguage("English");
}

void VelmiraGuiTest::DevicesComingAndGoing() {
  CMainWnd wnd;
  auto* list = Find<QTreeWidget>(&wnd, "DiskList");
  auto* bar = Find<QWidget>(&wnd, "PartitionListBar");
  for (const char* name : {"timer0", "timer1"}) {
    auto* timer = bar->findChild<QTimer*>(QString::fromLatin1(name));
    QVERIFY(timer != nullptr);
    QVERIFY(timer->isSingleShot());
    QCOMPARE(timer->interval(), 5000);
  }
  QTreeWidgetItem* disk1 = list->topLevelItem(0);
  ScanSource* camera = CMainWnd::SourceOf(disk1->child(0));

  // A card arrives: its disk is added, the others stay as they are.
  SetDrives({m_disk1, m_disk2, m_card});
  wnd.FillDiskList(CMainWnd::kFillArrival);
  QCOMPARE(list->topLevelItemCount(), 3);
  QCOMPARE(list->topLevelItem(0), disk1);
  QCOMPARE(CMainWnd::SourceOf(disk1->child(0)), camera);
  QCOMPARE(list->topLevelItem(2)->text(0), QStringLiteral("Disk 3  ") + m_card);
  QCOMPARE(list->topLevelItem(2)->child(0)->text(0),
           QStringLiteral("5:  ") + m_card + QStringLiteral("  VELMIRA"));
  QCOMPARE(list->topLevelItem(2)->child(0)->text(1), QStringLiteral("FAT"));
  QCOMPARE(wnd.sources().size(), size_t{5});

  // The blank disk goes: its rows and sources go; the card becomes disk 2.
  list->setCurrentItem(list->topLevelItem(1)->child(0));
  SetDrives({m_disk1, m_card});
  wnd.FillDiskList(CMainWnd::kFillRemoval);
  QCOMPARE(list->topLevelItemCount(), 2);
  QCOMPARE(list->topLevelItem(0), disk1);
  QCOMPARE(list->topLevelItem(1)->text(0), QStringLiteral("Disk 2  ") + m_card);
  QCOMPARE(list->topLevelItem(1)->child(0)->text(0),
           QStringLiteral("4:  ") + m_card + QStringLiteral("  VELMIRA"));
  QCOMPARE(CMainWnd::SourceOf(list->topLevelItem(1)->child(0))->SourceKey(), uint16_t{4});
  QCOMPARE(wnd.sources().size(), size_t{4});
  QVERIFY(!wnd.sourceChosen());
  QVERIFY(!Find<QPushButton>(&wnd, "BtnScan")->isEnabled());

  // No drives at all: nothing breaks.
  SetDrives({m_temp.path() + QStringLiteral("/gone.img")});
  wnd.FillDiskList(CMainWnd::kFillRemoval);
  QCOMPARE(list->topLevelItemCount(), 0);
  QVERIFY(wnd.sources().empty());
  SetDrives({m_disk1, m_disk2});
}

void VelmiraGuiTest::MessageBoxKinds() {
  struct Case {
    int kind;
    const char* title;
    bool cancel;
    const char* cancelText;
  };
  const Case cases[] = {
      {CMessageBox::kError, "MSG0401", false, ""},       {CMessageBox::kConfirm, "MSG0402", true, "Cancel"},
      {CMessageBox::kInformation, "MSG0403", false, ""}, {CMessageBox::kWarning, "MSG0405", false, ""},
      {CMessageBox::kQuestion, "MSG0404", true, "No"},   {77, "MSG0401", false, ""}};
  for (const Case& c : cases) {
    CMessageBox box(c.kind, nullptr, QStringLiteral("text"));
    QCOMPARE(box.size(), QSize(400, 160));
    QCOMPARE(box.findChild<QLabel*>("title")->text(),
             Q(LanguageManager::Instance().Text("Messages", c.title)));
    QCOMPARE(box.findChild<QPushButton*>("cancelbtn")->isVisibleTo(&box), c.cancel);
    if (c.cancel)
      QCOMPARE(box.findChild<QPushButton*>("cancelbtn")->text(), QString::fromLatin1(c.cancelText));
  }
  {
    // A long text makes the box larger instead of losing its last lines.
    CMessageBox box(CMessageBox::kWarning, nullptr, QStringLiteral("Ein langer Satz. ").repeated(30));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    auto* message = box.findChild<QLabel*>("message");
    QVERIFY(box.height() > 160);
    QVERIFY(message->heightForWidth(message->width()) <= message->height());
  }
  for (const auto& [button, result] : {std::pair{"okbtn", 1}, {"cancelbtn", 2}, {"closebtn", 2}}) {
    QTimer::singleShot(0, [button = button] {
      auto* box = qobject_cast<CMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      QTest::mouseClick(box->findChild<QAbstractButton*>(QString::fromLatin1(button)), Qt::LeftButton);
    });
    QCOMPARE(CMessageBox::Show(CMessageBox::kConfirm, nullptr, QStringLiteral("Go on?")), result);
  }
}

void VelmiraGuiTest::HelpPagesAndAboutBox() {
  CMainWnd wnd;
  QMenu* menu = BuildAssistMenu(&wnd);
  menu->findChild<QAction*>(QStringLiteral("item_faq"))->trigger();
  auto* help = wnd.findChild<QDialog*>(QStringLiteral("HelpWnd"));
  QVERIFY(help != nullptr);
  QCOMPARE(help->windowTitle(), QStringLiteral("Velmira Help"));
  QVERIFY(help->findChild<QTextBrowser*>(QStringLiteral("HelpText"))
              ->toPlainText()
              .contains(QStringLiteral("Velmira")));
  help->close();

  QTimer::singleShot(0, [] {
    auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    QVERIFY(about != nullptr);
    QCOMPARE(about->objectName(), QStringLiteral("AboutWnd"));
    QVERIFY(about->findChild<QLabel*>(QStringLiteral("AboutVersion"))
                ->text()
                .startsWith(QStringLiteral("Version ")));
    about->accept();
  });
  menu->findChild<QAction*>(QStringLiteral("item_about"))->trigger();

  // "item_exit" closes the window, which ends the message loop.
  wnd.show();
  menu->findChild<QAction*>(QStringLiteral("item_exit"))->trigger();
  QVERIFY(!wnd.isVisible());
  delete menu;

  // The menu from its button, every entry clicked twice. The menu is kept
  // while its items run (the About box's modal loop runs inside the menu's
  // click), and the same menu opens again until the language changes.
  QPointer<QMenu> kept;
  for (int round = 0; round < 2; ++round) {
    for (const char* entry :
         {"item_help", "item_faq", "item_support", "item_about", "German", "English", "item_exit"}) {
      if (!wnd.isVisible()) {
        wnd.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wnd));
      }
      const std::string language = LanguageManager::Instance().CurrentLanguage();
      QTest::mouseClick(Find<QToolButton>(&wnd, "BtnAssist"), Qt::LeftButton);
      auto* open = wnd.findChild<QMenu*>(QStringLiteral("MenuWnd"));
      QVERIFY(open != nullptr && open->isVisible());
      if (kept != nullptr) QCOMPARE(open, kept.data());
      kept = open;
      auto* action = open->findChild<QAction*>(QString::fromLatin1(entry));
      QVERIFY2(action != nullptr, entry);
      bool aboutShown = false;
      QTimer::singleShot(0, [&aboutShown] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (about == nullptr || about->objectName() != QStringLiteral("AboutWnd")) return;
        aboutShown = true;
        QTest::mouseClick(about->findChild<QPushButton*>(QStringLiteral("okbtn")), Qt::LeftButton);
      });
      if (open->actions().contains(action)) {
        QTest::mouseClick(open, Qt::LeftButton, {}, open->actionGeometry(action).center());
      } else {  // a language, in the submenu
        action->trigger();
        open->hide();
      }
      QTest::qWait(20);  // queued language switch, deferred deletions
      QVERIFY2(kept != nullptr, entry);
      QVERIFY(!open->isVisible());
      QCOMPARE(aboutShown, std::string(entry) == "item_about");
      for (QDialog* help : wnd.findChildren<QDialog*>(QStringLiteral("HelpWnd"))) help->close();
      if (LanguageManager::Instance().CurrentLanguage() != language) kept = nullptr;  // built anew
    }
    QVERIFY(!wnd.isVisible());
  }
  UseLanguage("English");
}

void VelmiraGuiTest::SecondInstanceRaisesTheFirst() {
  SingleInstance first;
  QCOMPARE(first.ClaimInstance(), SingleInstance::Claim::kFirst);
  QWidget window;
  window.setWindowTitle(QStringLiteral("Velmira"));
  window.showMinimized();
  first.SetWindow(&window);
  QSignalSpy raised(&first, &SingleInstance::raiseRequested);

  QProcess second;
  second.setProgram(QStringLiteral(VELMIRA_GUI_PATH));
  second.start();
  QVERIFY(second.waitForStarted(5000));
  // The first instance answers from this event loop. (Should the second
  // hang, QProcess ends it when the test leaves.)
  QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
  QCOMPARE(second.exitStatus(), QProcess::NormalExit);
  QCOMPARE(second.exitCode(), 0);
  QCOMPARE(raised.count(), 1);
  QVERIFY(!window.isMinimized());
  QVERIFY(window.isVisible());
}

void VelmiraGuiTest::PagesAsPictures() {
  UseLanguage("English");
  const QString folder = QStringLiteral(VELMIRA_SCREENSHOT_DIR);
  QVERIFY(QDir().mkpath(folder));
  CMainWnd wnd;
  wnd.resize(800, 500);
  wnd.show();
  QVERIFY(QTest::qWaitForWindowExposed(&wnd));
  QVERIFY(wnd.AddImageSource(m_card));
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(Find<QWidget>(&wnd, "BtnRecoverMode"), &enter);
  const auto save = [&](const char* name) {
    QTest::qWait(20);  // texts, then the layouts they change
    const QPixmap picture = wnd.grab();
    QCOMPARE(picture.size(), QSize(800, 500));
    QVERIFY(picture.save(folder + QLatin1Char('/') + QLatin1String(name)));
  };
  save("page0_start.png");
  wnd.ChooseMode(CMainWnd::kModeRecover);
  save("page1_disks.png");
  wnd.SelectPage(CMainWnd::kPageFileType);
  save("page2_file_types.png");
  wnd.SelectPage(CMainWnd::kPageRecover);
  save("page3_results.png");
  UseLanguage("German");
  QMetaObject::invokeMethod(&wnd, &CMainWnd::ApplyLanguage, Qt::QueuedConnection);
  wnd.SelectPage(CMainWnd::kPageDisks);
  save("page1_disks_german.png");
  UseLanguage("English");

  CMessageBox box(CMessageBox::kInformation, &wnd, QString::fromLatin1(CMainWnd::kSelectDiskText));
  box.show();
  QCoreApplication::processEvents();
  QVERIFY(box.grab().save(folder + QStringLiteral("/message_box.png")));
}

QTEST_MAIN(VelmiraGuiTest)
#include "velmira_gui_test.moc"
