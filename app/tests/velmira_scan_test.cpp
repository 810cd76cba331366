// Scanning from the window on the offscreen platform: real FAT images with
// deleted photos through the real engines, and an engine that reports as a
// test tells it to for the progress labels, stopping and large results.
// The progress window and the results page are saved under build/screenshots/.
#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/recover_process_wnd.h"
#include "app/scan_process_wnd.h"
#include "app/scan_session.h"
#include "app/search_process_wnd.h"
#include "app/tests/message_box_answer.h"
#include "platform/message_format.h"
#include "results/extension_lists.h"
#include "results/result_tree.h"
#include "tests/fixtures/fake_scan_engine.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/photo_image.h"
#include "tests/fixtures/temp_dir.h"

#define VELMIRA_QSKIP_UNLESS_TOOLS()                                            \
  if (!testing::ToolAvailable("mkfs.vfat") || !testing::ToolAvailable("mcopy")) \
  QSKIP("mkfs.vfat or mtools is not installed")

using namespace velmira;
using velmira::testing::FakeScanEngine;
using velmira::testing::MessageBoxAnswer;

namespace {

// What the main window says, in the order it says it.
enum Notification { kEventScanFinished = 1, kEventCollectionFinished = 2 };

// Records the main window's notifications and every scan window's stages
// and reports; `onProgress` runs on each report with the open window.
class Watcher : public QObject {
 public:
  explicit Watcher(CMainWnd* mainWnd) {
    qApp->installEventFilter(this);
    connect(mainWnd, &CMainWnd::scanFinished, this, [this] { notifications << kEventScanFinished; });
    connect(mainWnd, &CMainWnd::collectionFinished, this, [this] {
      notifications << kEventCollectionFinished;
      if (clock.isValid()) collectionAtMs = clock.elapsed();
    });
  }
  ~Watcher() override { qApp->removeEventFilter(this); }

  QList<int> notifications;
  QStringList stages;
  QList<int> percents;
  qint64 collectionAtMs = -1;
  QElapsedTimer clock;
  std::function<void(CScanProcessWnd*, int)> onProgress;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* wnd = qobject_cast<CScanProcessWnd*>(watched)) {
        connect(wnd, &CScanProcessWnd::stageShown, this, [this](const QString& s) { stages << s; });
        connect(wnd, &CScanProcessWnd::progressShown, this, [this, wnd](int p) {
          percents << p;
          if (onProgress) onProgress(wnd, p);
        });
      }
    }
    return QObject::eventFilter(watched, event);
  }
};

QTreeWidgetItem* ImageRow(QTreeWidget* list, int index) {
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->data(0, kItemNameRole).toString() == QStringLiteral("ImageFile"))
      return list->topLevelItem(i)->child(index);
  return nullptr;
}

QTreeWidgetItem* NodeNamed(QTreeWidget* tree, const char* name) {
  for (int i = 0; i < tree->topLevelItemCount(); ++i)
    if (tree->topLevelItem(i)->data(0, kItemNameRole).toString() == QLatin1String(name))
      return tree->topLevelItem(i);
  return nullptr;
}

QString Message(const char* id) {
  return SectionText(LanguageManager::Instance().GetSection("Messages"), id);
}

long ProcStatusKiB(const char* key) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith(key))
      return line.mid(static_cast<int>(strlen(key)) + 1).trimmed().split(' ').first().toLong();
  return -1;
}

// An engine builder handing out fake engines prepared by `prepare`.
EngineBuilder FakeBuilder(std::function<void(FakeScanEngine&, const ScanSource&)> prepare,
                          std::vector<FakeScanEngine*>* built = nullptr) {
  return [prepare, built](const ScanSource& source, bool) -> std::unique_ptr<IFileRecoveryParse> {
    auto engine = std::make_unique<FakeScanEngine>();
    prepare(*engine, source);
    if (built != nullptr) built->push_back(engine.get());
    return engine;
  };
}

}  // namespace

class VelmiraScanTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void HundredThousandFiles();
  void FullRunOnAFatImage();
  void StoppingAtTheQuestion();
  void ThreePartitionsOfOneDisk();
  void ProgressLabels();
  void SecondDeepScanAsksToContinue();
  void NoEngineClosesWithAWarning();
  void StoppingTheCollection();
  void ScanCheckAllAndRecover();
  void RemovedDeviceKeepsItsFilesButIsNotRead();
  void EveryKindOnceWithPartlyTickedBoxes();
  void CarvedStartOfAnNtfsFileIsNoRow();

 private:
  // A main window on the current drives with image sources; its scans go
  // through `builder` when given.
  std::unique_ptr<CMainWnd> NewMainWnd(const QStringList& images, EngineBuilder builder = nullptr);
  void ScanRow(CMainWnd& wnd, QTreeWidgetItem* row);
  QString Shot(const QString& name) const { return m_shots + QLatin1Char('/') + name; }

  QTemporaryDir m_temp;
  QString m_blank;
  QString m_shots;
};

void VelmiraScanTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  const QString root = m_temp.path();
  for (const char* dir : {"data", "config", "runtime", "program/Languages"})
    QVERIFY(QDir().mkpath(root + QLatin1Char('/') + QLatin1String(dir)));
  qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
  qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
  qputenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/runtime")).toUtf8());
  const QString source = QStringLiteral(VELMIRA_APP_SOURCE_DIR);
  for (const char* language : {"English", "German"}) {
    const QString name = QStringLiteral("/Languages/%1.ini").arg(QLatin1String(language));
    QVERIFY(QFile::copy(source + name, root + QStringLiteral("/program") + name));
  }
  QVERIFY(QFile::copy(source + QStringLiteral("/config.ini"), root + QStringLiteral("/program/config.ini")));
  LanguageManager::Instance().Reset(
      LanguagePaths{S(root + QStringLiteral("/program")), S(root + QStringLiteral("/config/Orvanta"))});
  QVERIFY(LanguageManager::Instance().SwitchLanguage("English"));
  m_blank = root + QStringLiteral("/blank.img");
  testing::MakeBlankFile(S(m_blank), 1 << 20);
  qputenv("VELMIRA_DRIVES", m_blank.toUtf8());
  m_shots = QStringLiteral(VELMIRA_SCREENSHOT_DIR);
  QVERIFY(QDir().mkpath(m_shots));
  InitResources();
  ApplyProgramStyle();
}

std::unique_ptr<CMainWnd> VelmiraScanTest::NewMainWnd(const QStringList& images, EngineBuilder builder) {
  auto wnd = std::make_unique<CMainWnd>();
  wnd->resize(800, 500);
  wnd->show();
  if (builder) wnd->SetEngineBuilder(std::move(builder));
  for (const QString& image : images) wnd->AddImageSource(image);
  wnd->ChooseMode(CMainWnd::kModeRecover);
  return wnd;
}

void VelmiraScanTest::ScanRow(CMainWnd& wnd, QTreeWidgetItem* row) {
  auto* list = wnd.findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  list->setCurrentItem(row);
  QTest::mouseClick(wnd.findChild<QPushButton*>(QStringLiteral("BtnScan")), Qt::LeftButton);
}

// Measured, not asserted: the collection's end to a painted list of 100,000
// files, and the process's memory.
void VelmiraScanTest::HundredThousandFiles() {
  const long before = ProcStatusKiB("VmRSS:");
  auto wnd = NewMainWnd({m_blank}, FakeBuilder([](FakeScanEngine& e, const ScanSource& s) {
                          e.steps = 2;
                          e.records = testing::ManyFakeFiles(s.SourceKey(), 100000);
                        }));
  Watcher watch(wnd.get());
  watch.clock.start();
  ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
  QCOMPARE(wnd->collectedFiles().size(), size_t{100000});
  auto* view = wnd->findChild<QTableView*>(QStringLiteral("FileList"));
  const QPixmap painted = wnd->grab();  // the list as the user sees it
  const qint64 paintedAt = watch.clock.elapsed();
  QVERIFY(!painted.isNull());
  QVERIFY(view->model()->rowCount() > 10000);
  qInfo(
      "100000 files: collection end -> tree and list built %lld ms, -> painted %lld ms; RSS before %ld KiB, "
      "peak %ld "
      "KiB",
      static_cast<long long>(wnd->lastResultsMs()), static_cast<long long>(paintedAt - watch.collectionAtMs),
      before, ProcStatusKiB("VmHWM:"));
  // Sorting the biggest list by name.
  QElapsedTimer sortClock;
  sortClock.start();
  emit view->horizontalHeader()->sectionClicked(1);
  qInfo("sorting %d rows by name: %lld ms", view->model()->rowCount(),
        static_cast<long long>(sortClock.elapsed()));
}

void VelmiraScanTest::FullRunOnAFatImage() {
  VELMIRA_QSKIP_UNLESS_TOOLS();
  const QString image = m_temp.path() + QStringLiteral("/card.img");
  QVERIFY(testing::MakeFatImageWithDeletedPhotos(S(image), S(m_temp.path()), {"a.jpeg", "Beach.JPG", "c.png"},
                                                 true, 34));
  auto wnd = NewMainWnd({image});  // the program's own engines: the combined deep scan
  Watcher watch(wnd.get());
  ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
  QVERIFY(!watch.percents.isEmpty());
  QCOMPARE(watch.percents.last(), 100);
  QCOMPARE(watch.notifications, (QList<int>{kEventScanFinished, kEventCollectionFinished}));
  QCOMPARE(watch.stages, QStringList{QStringLiteral("Scanning image file card.img")});
  QCOMPARE(wnd->CurrentPage(), CMainWnd::kPageRecover);
  QVERIFY(QFile::exists(QString::fromStdString(std::string(getenv("XDG_DATA_HOME")) + "/Orvanta/Used")));

  auto* tree = wnd->findChild<QTreeWidget*>(QStringLiteral("TypeTree"));
  QTreeWidgetItem* photos = NodeNamed(tree, "NodePhoto");
  QVERIFY(photos != nullptr && !photos->isHidden());
  QTreeWidgetItem* jpg = nullptr;
  for (int i = 0; i < photos->childCount(); ++i)
    if (photos->child(i)->text(0).startsWith(QStringLiteral("JPG/JPEG"))) jpg = photos->child(i);
  QVERIFY(jpg != nullptr);
  // Both spellings under "jpg", counted in the node.
  int jpgFiles = 0;
  for (const FoundRecord& r : wnd->collectedFiles()) jpgFiles += TypeGroupKey(RecordName(r)) == "jpg" ? 1 : 0;
  QVERIFY(jpgFiles >= 2);
  QCOMPARE(jpg->text(0), QStringLiteral("JPG/JPEG (%1)").arg(jpgFiles));
  QVERIFY(photos->text(0).startsWith(Message("MSG0807") + QStringLiteral(" (")));
  QVERIFY(NodeNamed(tree, "NodeAudio")->isHidden());

  // One file ticked is one file, not "1 files"; a language switch relabels
  // the tree and the counts at once.
  QTreeWidgetItem* png = nullptr;
  for (int i = 0; i < photos->childCount(); ++i)
    if (photos->child(i)->text(0).startsWith(QStringLiteral("PNG (1)"))) png = photos->child(i);
  QVERIFY(png != nullptr);
  png->setCheckState(0, Qt::Checked);
  auto* selected = wnd->findChild<QLabel*>(QStringLiteral("SelectedFileInfo"));
  QVERIFY(LanguageManager::Instance().SwitchLanguage("German"));
  wnd->ApplyLanguage();
  QVERIFY2(photos->text(0).startsWith(QStringLiteral("Fotos (")), qPrintable(photos->text(0)));
  QCOMPARE(jpg->text(0), QStringLiteral("JPG/JPEG (%1)").arg(jpgFiles));
  QVERIFY2(selected->text().endsWith(QStringLiteral(" in 1 Datei")), qPrintable(selected->text()));
  QVERIFY(LanguageManager::Instance().SwitchLanguage("English"));
  wnd->ApplyLanguage();
  png->setCheckState(0, Qt::Unchecked);
  tree->setCurrentItem(jpg);
  auto* view = wnd->findChild<QTableView*>(QStringLiteral("FileList"));
  QAbstractItemModel* model = view->model();
  QCOMPARE(model->rowCount(), jpgFiles);
  const auto rowOf = [model](const QString& name) {
    for (int i = 0; i < model->rowCount(); ++i)
      if (model->index(i, 1).data().toString() == name) return i;
    return -1;
  };
  QVERIFY(rowOf(QStringLiteral("a.jpeg")) >= 0);
  QVERIFY(rowOf(QStringLiteral("Beach.JPG")) >= 0);
  QCOMPARE(model->index(rowOf(QStringLiteral("a.jpeg")), 5).data().toString().toUpper(),
           QStringLiteral("DCIM/"));

  // Sorting by size: largest first, then smallest first; by name A to Z.
  QHeaderView* header = view->horizontalHeader();
  const auto sizeAt = [wnd = wnd.get(), model](int row) {
    (void)model;
    const FoundRecord* r = nullptr;
    auto* table = wnd->findChild<QTableView*>(QStringLiteral("FileList"));
    table->setCurrentIndex(table->model()->index(row, 1));
    r = wnd->SelectedFileRecord();
    return r == nullptr ? uint64_t{0} : uint64_t{r->size};
  };
  emit header->sectionClicked(2);
  for (int i = 1; i < model->rowCount(); ++i) QVERIFY(sizeAt(i - 1) >= sizeAt(i));
  QVERIFY(sizeAt(0) > sizeAt(model->rowCount() - 1));
  emit header->sectionClicked(2);
  for (int i = 1; i < model->rowCount(); ++i) QVERIFY(sizeAt(i - 1) <= sizeAt(i));
  emit header->sectionClicked(1);
  for (int i = 1; i < model->rowCount(); ++i)
    QVERIFY(model->index(i - 1, 1).data().toString().compare(model->index(i, 1).data().toString(),
                                                             Qt::CaseInsensitive) <= 0);

  // The checked set: nothing checked, one row, the whole list, a tree node.
  auto* recover = wnd->findChild<QPushButton*>(QStringLiteral("BtnRecover"));
  auto* info = wnd->findChild<QLabel*>(QStringLiteral("SelectedFileInfo"));
  QVERIFY(!recover->isEnabled());
  QCOMPARE(info->text(), Message("MSG0803"));
  QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
  QVERIFY(recover->isEnabled());
  QCOMPARE(wnd->CheckedFiles().size(), size_t{1});
  QVERIFY2(info->text().endsWith(QStringLiteral(" in 1 file")), qPrintable(info->text()));
  wnd->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"))->click();
  QCOMPARE(wnd->CheckedFiles().size(), size_t(jpgFiles));
  wnd->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"))->click();
  QVERIFY(!recover->isEnabled());
  photos->setCheckState(0, Qt::Checked);
  QCOMPARE(jpg->checkState(0), Qt::Checked);
  QCOMPARE(wnd->CheckedFiles().size(), wnd->collectedFiles().size());
  QCOMPARE(model->index(1, 0).data(Qt::CheckStateRole).toInt(), int{Qt::Checked});
  QVERIFY(recover->isEnabled());
  QTest::qWait(20);
  QVERIFY(wnd->grab().save(Shot(QStringLiteral("results_page.png"))));
  photos->setCheckState(0, Qt::Unchecked);
  QVERIFY(wnd->CheckedFiles().empty());
  QCOMPARE(info->text(), Message("MSG0803"));

  // The folder view: the image's folders, their files with their path.
  QTreeWidgetItem* folders = NodeNamed(tree, "NodeFolders");
  QVERIFY(folders != nullptr && !folders->isHidden());
  QCOMPARE(folders->childCount(), 1);
  QTreeWidgetItem* root = folders->child(0);
  root->setExpanded(true);
  QTreeWidgetItem* dcim = nullptr;
  for (int i = 0; i < root->childCount(); ++i)
    if (root->child(i)->text(0).compare(QStringLiteral("DCIM"), Qt::CaseInsensitive) == 0)
      dcim = root->child(i);
  QVERIFY(dcim != nullptr);
  tree->setCurrentItem(dcim);
  QVERIFY(model->rowCount() >= 3);
  QStringList inFolder;
  for (int i = 0; i < model->rowCount(); ++i) inFolder << model->index(i, 1).data().toString();
  // The short name of a deleted file has lost its first letter.
  QVERIFY(
      !inFolder
           .filter(QRegularExpression(QStringLiteral("^.\\.png$"), QRegularExpression::CaseInsensitiveOption))
           .isEmpty());
  QVERIFY(inFolder.contains(QStringLiteral("Beach.JPG")));
}

void VelmiraScanTest::StoppingAtTheQuestion() {
  for (const bool stop : {true, false}) {
    std::vector<FakeScanEngine*> built;
    auto wnd = NewMainWnd({m_blank}, FakeBuilder(
                                         [](FakeScanEngine& e, const ScanSource& s) {
                                           e.steps = 150;
                                           e.secondsLeft = 30;
                                           e.onStep = [](int32_t) {
                                             std::this_thread::sleep_for(std::chrono::milliseconds(2));
                                           };
                                           e.records = {testing::FakeFile(s.SourceKey(), "x.jpg", 5),
                                                        testing::FakeFile(s.SourceKey(), "y.mp3", 6)};
                                         },
                                         &built));
    Watcher watch(wnd.get());
    int pausedAt = -1;
    int afterPause = -2;
    std::unique_ptr<MessageBoxAnswer> answer;
    bool asked = false;
    watch.onProgress = [&](CScanProcessWnd* scan, int percent) {
      if (asked || percent < 10) return;
      asked = true;
      answer =
          std::make_unique<MessageBoxAnswer>(stop ? 1 : 2, 120, [&] { afterPause = built[0]->reportsDone; });
      QTimer::singleShot(0, scan, [&, scan, stop] {
        pausedAt = built[0]->reportsDone;
        if (stop) {
          QTest::mouseClick(scan->findChild<QPushButton*>(QStringLiteral("cancelbtn")), Qt::LeftButton);
        } else {
          // Escape asks too; it never closes the window by itself.
          QTest::keyClick(scan, Qt::Key_Escape);
        }
      });
    };
    ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
    QVERIFY(answer != nullptr);
    QCOMPARE(answer->texts, QStringList{Message("MSG0709")});
    // The worker waited at its next report while the question was open.
    QVERIFY(pausedAt > 0);
    QVERIFY(afterPause - pausedAt <= 1);
    QCOMPARE(watch.notifications, (QList<int>{kEventScanFinished, kEventCollectionFinished}));
    QCOMPARE(wnd->collectedFiles().size(), size_t{2});
    if (stop) {
      QVERIFY(built[0]->reportsDone < 150);
    } else {
      QCOMPARE(built[0]->reportsDone, 150);
      QCOMPARE(watch.percents.last(), 100);
    }
  }
}

void VelmiraScanTest::ThreePartitionsOfOneDisk() {
  VELMIRA_QSKIP_UNLESS_TOOLS();
  const QString disk = m_temp.path() + QStringLiteral("/disk3.img");
  QVERIFY(
      testing::MakePartitionedImage(S(disk), 31ull << 20,
                                    "label: dos\nstart=2048, size=20480, type=6\n"
                                    "start=22528, size=20480, type=6\nstart=43008, size=20480, type=6\n"));
  const unsigned long long starts[] = {2048, 22528, 43008};
  for (int i = 0; i < 3; ++i) {
    QVERIFY(testing::FormatAt(S(disk), starts[i], 10, "fat16"));
    const std::string photo = S(m_temp.path()) + "/part" + std::to_string(i) + ".jpg";
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 1, 1, 0};
    jpeg.resize(3000, 0x41);
    testing::WriteFileBytes(photo, jpeg);
    const std::string at = S(disk) + "@@" + std::to_string(starts[i] * 512);
    QVERIFY(testing::Mtools(at, "mcopy", testing::ShellQuote(photo) + " ::/P" + std::to_string(i) + ".JPG"));
    QVERIFY(testing::Mtools(at, "mdel", "::/P" + std::to_string(i) + ".JPG"));
  }
  qputenv("VELMIRA_DRIVES", disk.toUtf8());
  auto wnd = NewMainWnd({});
  const auto restore = qScopeGuard([this] { qputenv("VELMIRA_DRIVES", m_blank.toUtf8()); });
  Watcher watch(wnd.get());
  auto* list = wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  QTreeWidgetItem* diskRow = list->topLevelItem(0);
  QVERIFY(diskRow != nullptr);
  QCOMPARE(CMainWnd::SourcesOfRow(diskRow).size(), size_t{3});
  ScanRow(*wnd, diskRow);
  QCOMPARE(watch.stages,
           (QStringList{QStringLiteral("Scanning partition 1"), QStringLiteral("Scanning partition 2"),
                        QStringLiteral("Scanning partition 3")}));
  QCOMPARE(watch.notifications.count(kEventScanFinished), 1);
  QCOMPARE(watch.notifications.count(kEventCollectionFinished), 1);
  // The files of every scanned partition are collected.
  QSet<uint16_t> keys;
  for (const FoundRecord& r : wnd->collectedFiles())
    if (ExtensionOf(RecordName(r)) == "jpg") keys.insert(uint16_t{r.sourceKey});
  QCOMPARE(keys, (QSet<uint16_t>{1, 2, 3}));
}

void VelmiraScanTest::ProgressLabels() {
  struct Case {
    int scale;
    int seconds;
    uint64_t total;
  };
  for (const Case c : {Case{9, 100, 0}, Case{100, -1, 5000}, Case{90, 75, 5000}}) {
    auto wnd =
        NewMainWnd({m_blank}, FakeBuilder([c](FakeScanEngine& e, const ScanSource&) {
                     e.steps = 5;
                     e.reportScale = c.scale;
                     e.secondsLeft = c.seconds;
                     e.totalSectors = c.total;
                     e.records = testing::ManyFakeFiles(1001, 40);
                     e.onStep = [](int32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
                   }));
    Watcher watch(wnd.get());
    QStringList times;
    bool sectorsShown = false;
    bool sectorsHidden = false;
    watch.onProgress = [&](CScanProcessWnd* scan, int) {
      times << scan->findChild<QLabel*>(QStringLiteral("time"))->text();
      if (c.scale == 90 && times.size() == 3)
        QVERIFY(scan->grab().save(Shot(QStringLiteral("scan_progress.png"))));
      const bool shown = !scan->findChild<QLabel*>(QStringLiteral("sectors"))->isHidden();
      (shown ? sectorsShown : sectorsHidden) = true;
      QCOMPARE(scan->findChild<QLabel*>(QStringLiteral("totalfile"))->isHidden(), !shown);
    };
    ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
    QVERIFY(!times.isEmpty());
    for (const QString& time : times) {
      if (c.scale == 9) QCOMPARE(time, Message("MSG0705"));
      if (c.scale == 100) QCOMPARE(time, QString());
      if (c.scale == 90) QCOMPARE(time, Message("MSG0708") + QStringLiteral("1 Min 15 Sec"));
    }
    QCOMPARE(sectorsShown, c.total != 0);
    QCOMPARE(sectorsHidden, c.total == 0);
    QCOMPARE(watch.percents.last(), c.scale);
  }
}

void VelmiraScanTest::SecondDeepScanAsksToContinue() {
  VELMIRA_QSKIP_UNLESS_TOOLS();
  const QString image = m_temp.path() + QStringLiteral("/again.img");
  QVERIFY(testing::MakeFatImageWithDeletedPhotos(S(image), S(m_temp.path()), {"a.jpg"}, false, 96));
  auto wnd = NewMainWnd({image});
  QTreeWidgetItem* row = ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0);
  const std::string logs = std::string(getenv("XDG_DATA_HOME")) + "/Orvanta/ScanLog";
  const auto folders = [&logs] {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(logs, ec))
      if (entry.is_directory()) out.insert(entry.path().string());
    return out;
  };
  const std::set<std::string> earlier = folders();
  {
    // The first scan is stopped early, so that it can be continued.
    Watcher watch(wnd.get());
    std::unique_ptr<MessageBoxAnswer> answer;
    watch.onProgress = [&](CScanProcessWnd* scan, int percent) {
      // Stopped in the sweep: a scan stopped in its fast pass leaves nothing
      // to continue. The card is large enough that the click lands before
      // the sweep ends, even in a Release build.
      if (answer || percent < 10) return;
      answer = std::make_unique<MessageBoxAnswer>(1);
      QTimer::singleShot(0, scan, [scan] {
        QTest::mouseClick(scan->findChild<QPushButton*>(QStringLiteral("cancelbtn")), Qt::LeftButton);
      });
    };
    ScanRow(*wnd, row);
    QVERIFY(answer != nullptr);
    QVERIFY2(!answer->texts.isEmpty(), "the scan ended before it was stopped");
  }
  std::vector<std::string> before;
  for (const std::string& folder : folders())
    if (earlier.count(folder) == 0) before.push_back(folder);
  QCOMPARE(before.size(), size_t{1});

  MessageBoxAnswer no(2);
  ScanRow(*wnd, row);
  QCOMPARE(no.texts, QStringList{Message("MSG1206")});
  for (const std::string& folder : before) QVERIFY2(!std::filesystem::exists(folder), folder.c_str());
  QVERIFY(!wnd->collectedFiles().empty());
}

void VelmiraScanTest::NoEngineClosesWithAWarning() {
  auto wnd =
      NewMainWnd({m_blank}, [](const ScanSource&, bool) { return std::unique_ptr<IFileRecoveryParse>(); });
  Watcher watch(wnd.get());
  MessageBoxAnswer ok(1);
  ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
  QCOMPARE(ok.texts, QStringList{Message("MSG0504")});
  QVERIFY(watch.notifications.isEmpty());
  QCOMPARE(wnd->CurrentPage(), CMainWnd::kPageDisks);

  // A scan and a collection that fail say so with their reason; the files
  // found before the failure are still shown.
  auto failing = NewMainWnd({m_blank}, FakeBuilder([](FakeScanEngine& e, const ScanSource& s) {
                              e.steps = 1;
                              e.records = testing::ManyFakeFiles(s.SourceKey(), 20);
                              e.scanResult = kErrReadFault;
                              e.collectResult = kErrNotEnoughMemory;
                            }));
  QStringList said;
  QPointer<CMessageBox> last;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    auto* box = qobject_cast<CMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || box == last) return;
    last = box;
    said << box->text();
    QTimer::singleShot(0, box, [box] {
      QTest::mouseClick(box->findChild<QPushButton*>(QStringLiteral("okbtn")), Qt::LeftButton);
    });
  });
  poll.start(5);
  ScanRow(*failing, ImageRow(failing->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
  const TextSection errors = LanguageManager::Instance().GetSection("Errors");
  QCOMPARE(said.size(), 2);
  QVERIFY2(said[0].endsWith(ErrorTextIn(errors, kErrReadFault, ErrorText(kErrReadFault))),
           qPrintable(said[0]));
  QVERIFY2(said[1].endsWith(ErrorTextIn(errors, kErrNotEnoughMemory, ErrorText(kErrNotEnoughMemory))),
           qPrintable(said[1]));
  QVERIFY(!failing->collectedFiles().empty());
  QCOMPARE(failing->CurrentPage(), CMainWnd::kPageRecover);
}

// Stopping the collection still shows the files collected so far.
void VelmiraScanTest::StoppingTheCollection() {
  auto wnd =
      NewMainWnd({m_blank}, FakeBuilder([](FakeScanEngine& e, const ScanSource& s) {
                   e.steps = 1;
                   e.records = testing::ManyFakeFiles(s.SourceKey(), 2000);
                   e.searchReportEvery = 10;
                   e.onSearchReport = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
                 }));
  Watcher watch(wnd.get());
  std::unique_ptr<MessageBoxAnswer> answer;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    auto* search = qobject_cast<CSearchProcessWnd*>(QApplication::activeModalWidget());
    if (search == nullptr || answer) return;
    answer = std::make_unique<MessageBoxAnswer>(1);
    QTest::mouseClick(search->findChild<QPushButton*>(QStringLiteral("cancelbtn")), Qt::LeftButton);
  });
  poll.start(20);
  ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
  QVERIFY(answer != nullptr);
  QCOMPARE(answer->texts, QStringList{Message("MSG1205")});
  QCOMPARE(watch.notifications, (QList<int>{kEventScanFinished, kEventCollectionFinished}));
  QVERIFY(!wnd->collectedFiles().empty());
  QVERIFY(wnd->collectedFiles().size() < 2000);
  QCOMPARE(wnd->CurrentPage(), CMainWnd::kPageRecover);
}

QTEST_MAIN(VelmiraScanTest)
// The whole workflow through the window's own buttons: scan an image, check
// every photo in the type tree, "BtnRecover" into a folder; the deleted
// photos come back byte for byte, each once.
void VelmiraScanTest::ScanCheckAllAndRecover() {
  VELMIRA_QSKIP_UNLESS_TOOLS();
  const QString work = m_temp.path() + QStringLiteral("/whole");
  QVERIFY(QDir().mkpath(work));
  const QString image = work + QStringLiteral("/card.img");
  QVERIFY(testing::MakeFatImageWithDeletedPhotos(S(image), S(work), {"Harbour.jpg", "Market.jpg"}, true, 34));
  auto wnd = NewMainWnd({image});
  ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
  QCOMPARE(wnd->CurrentPage(), CMainWnd::kPageRecover);
  QTreeWidgetItem* photos = NodeNamed(wnd->findChild<QTreeWidget*>(QStringLiteral("TypeTree")), "NodePhoto");
  QVERIFY(photos != nullptr);
  photos->setCheckState(0, Qt::Checked);
  QVERIFY(!wnd->CheckedFiles().empty());

  const QString out = work + QStringLiteral("/out");
  wnd->SetPathAsker([&](int, const QString&) { return out; });
  uint32_t processed = 0;
  uint32_t failed = 1;
  QTimer finisher;
  connect(&finisher, &QTimer::timeout, this, [&] {
    auto* rw = qobject_cast<CRecoverProcessWnd*>(QApplication::activeModalWidget());
    auto* finish = rw == nullptr ? nullptr : rw->findChild<QPushButton*>(QStringLiteral("FinishBtn"));
    if (finish == nullptr || !finish->isVisible()) return;
    finisher.stop();
    processed = rw->processed();
    failed = rw->failed();
    QTimer::singleShot(0, finish, [finish] { finish->click(); });
  });
  finisher.start(10);
  QTest::mouseClick(wnd->findChild<QPushButton*>(QStringLiteral("BtnRecover")), Qt::LeftButton);
  QCOMPARE(failed, 0u);
  QCOMPARE(size_t{processed}, wnd->CheckedFiles().size());
  // Compared as text: GCC 12 at -O3 takes the memcmp of two vectors' ordering
  // for an overread (-Wstringop-overread), falsely.
  auto text = [](const std::string& path) {
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
  };
  std::multiset<std::string> recovered;
  for (const auto& e : std::filesystem::directory_iterator(S(out + QStringLiteral("/photo"))))
    recovered.insert(text(e.path().string()));
  for (const char* original : {"/photo0.bin", "/photo1.bin"})  // what the card's two photos held
    QCOMPARE(recovered.count(text(S(work) + original)), size_t{1});
}

// A drive removed after its scan: the results stay listed, while the
// engine and its source stay alive in the scan session (they used to be
// freed with the drive's row, and the page then read freed memory). Preview
// and recovery say that the device is gone instead of reading from it.
void VelmiraScanTest::RemovedDeviceKeepsItsFilesButIsNotRead() {
  std::vector<FakeScanEngine*> built;
  auto wnd = NewMainWnd({}, FakeBuilder(
                                [](FakeScanEngine& e, const ScanSource& s) {
                                  e.steps = 2;
                                  e.records = {testing::FakeFile(s.SourceKey(), "x.jpg", 5),
                                               testing::FakeFile(s.SourceKey(), "y.jpg", 6)};
                                },
                                &built));
  auto* list = wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  QVERIFY(list->topLevelItemCount() > 0 && list->topLevelItem(0)->childCount() == 1);
  ScanRow(*wnd, list->topLevelItem(0)->child(0));
  QCOMPARE(wnd->CurrentPage(), CMainWnd::kPageRecover);
  QCOMPARE(wnd->collectedFiles().size(), size_t{2});

  // The drive goes (another one is present now) and its row with it.
  const QString other = m_temp.path() + QStringLiteral("/other.img");
  testing::MakeBlankFile(S(other), 1 << 20);
  qputenv("VELMIRA_DRIVES", other.toUtf8());
  const auto restore = qScopeGuard([this] { qputenv("VELMIRA_DRIVES", m_blank.toUtf8()); });
  wnd->FillDiskList(CMainWnd::kFillRemoval);
  QVERIFY(wnd->sources().empty());
  const std::shared_ptr<ScanSession> session = wnd->session();
  QVERIFY(session != nullptr);
  QCOMPARE(session->sources().size(), size_t{1});
  QVERIFY(session->IsGone(session->sources()[0].get()));
  QCOMPARE(session->sources()[0]->engine.get(), static_cast<IFileRecoveryParse*>(built[0]));
  QCOMPARE(wnd->collectedFiles().size(), size_t{2});

  // Preview: a clear word, no preview window, no read.
  auto* view = wnd->findChild<QTableView*>(QStringLiteral("FileList"));
  QVERIFY(view->model()->rowCount() == 2);
  view->setCurrentIndex(view->model()->index(1, 1));
  QCOMPARE(wnd->findChild<QTextBrowser*>(QStringLiteral("PreviewEdit"))->toPlainText(), Message("MSG0906"));
  QCOMPARE(wnd->EngineOfRecord(wnd->collectedFiles()[0]), nullptr);
  // The folder view offers nothing to open on it.
  QTreeWidgetItem* folders =
      NodeNamed(wnd->findChild<QTreeWidget*>(QStringLiteral("TypeTree")), "NodeFolders");
  QVERIFY(folders != nullptr);
  for (int i = 0; i < folders->childCount(); ++i) folders->child(i)->setExpanded(true);

  // Recovery: the user is told how many files cannot be recovered; with
  // nothing else checked no recovery window opens. One file is told of in
  // the singular.
  bool asked = false;
  wnd->SetPathAsker([&](int, const QString&) {
    asked = true;
    return m_temp.path();
  });
  QVERIFY(view->model()->setData(view->model()->index(0, 0), Qt::Checked, Qt::CheckStateRole));
  QCOMPARE(wnd->CheckedFiles().size(), size_t{1});
  {
    MessageBoxAnswer ok(1);
    QTest::mouseClick(wnd->findChild<QPushButton*>(QStringLiteral("BtnRecover")), Qt::LeftButton);
    QCOMPARE(ok.texts, QStringList{Q(FormatText(S(Message("MSG0825")), {1}))});
  }
  wnd->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"))->click();
  QCOMPARE(wnd->CheckedFiles().size(), size_t{2});
  MessageBoxAnswer ok(1);
  QTest::mouseClick(wnd->findChild<QPushButton*>(QStringLiteral("BtnRecover")), Qt::LeftButton);
  QCOMPARE(ok.texts, QStringList{Q(FormatText(S(Message("MSG0811")), {2}))});
  QVERIFY(!asked);
}

// One row per file, of every kind: a file that the fast and the deep pass
// both list and its shorter carved copy are one row, and the count says what
// can be ticked; documents, archives and, when asked for, every other file
// get categories of their own; the boxes show types ticked in part.
void VelmiraScanTest::EveryKindOnceWithPartlyTickedBoxes() {
  auto wnd = NewMainWnd({}, FakeBuilder([](FakeScanEngine& e, const ScanSource& s) {
                          e.steps = 2;
                          const uint16_t key = s.SourceKey();
                          FoundRecord fast = testing::FakeFile(key, "Beach.jpg", 50000, 1);
                          fast.engineTag = kTagFastFat;
                          fast.key = 5;
                          fast.clusterBytes = 4096;
                          fast.dataStart = 100;
                          fast.entrySector = 90;
                          FoundRecord deep = fast;
                          deep.engineTag = kTagDeepFat;
                          deep.recordNumber = 2;
                          FoundRecord copy = testing::FakeFile(key, "00001.mp4", 20000, 3);
                          copy.engineTag = kTagCarving;
                          copy.clusterBytes = kNoClusterBytes;
                          copy.entrySector = 100 + 3 * 8;  // where cluster 5 starts
                          e.records = {fast,
                                       deep,
                                       copy,
                                       testing::FakeFile(key, "a.jpg", 10, 4),
                                       testing::FakeFile(key, "report.pdf", 10, 5),
                                       testing::FakeFile(key, "notes.txt", 10, 6),
                                       testing::FakeFile(key, "backup.zip", 10, 7),
                                       testing::FakeFile(key, "data.e", 10, 8)};
                        }));
  auto* list = wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  auto* tree = wnd->findChild<QTreeWidget*>(QStringLiteral("TypeTree"));
  auto* all = wnd->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"));
  auto* view = wnd->findChild<QTableView*>(QStringLiteral("FileList"));
  ScanRow(*wnd, list->topLevelItem(0)->child(0));
  QCOMPARE(wnd->CurrentPage(), CMainWnd::kPageRecover);
  QCOMPARE(wnd->collectedFiles().size(), size_t{5});
  QVERIFY(wnd->findChild<QLabel*>(QStringLiteral("Txt2"))->text().contains(QStringLiteral(">5<")));
  const auto node = [tree](const char* category, int child) {
    QTreeWidgetItem* c = NodeNamed(tree, category);
    return c == nullptr || child < 0 ? c : c->child(child);
  };
  QCOMPARE(node("NodePhoto", -1)->text(0), QStringLiteral("Photos (2)"));
  QCOMPARE(node("NodeDocument", -1)->text(0), QStringLiteral("Documents (2)"));
  QCOMPARE(node("NodeArchive", -1)->text(0), QStringLiteral("Archives (1)"));
  QVERIFY(node("NodeVideo", -1)->isHidden());
  QVERIFY(node("NodeOthers", -1)->isHidden());
  QCOMPARE(node("NodeArchive", 0)->text(0), QStringLiteral("ZIP (1)"));

  // Ticked in part: a row of two, then "Select all", then the category.
  tree->setCurrentItem(node("NodePhoto", 0));
  QCOMPARE(view->model()->rowCount(), 2);
  QVERIFY(view->model()->setData(view->model()->index(0, 0), Qt::Checked, Qt::CheckStateRole));
  QCOMPARE(all->checkState(), Qt::PartiallyChecked);
  QCOMPARE(node("NodePhoto", 0)->checkState(0), Qt::PartiallyChecked);
  QCOMPARE(node("NodePhoto", -1)->checkState(0), Qt::PartiallyChecked);
  all->click();  // a partly ticked box ticks them all
  QCOMPARE(all->checkState(), Qt::Checked);
  QCOMPARE(wnd->CheckedFiles().size(), size_t{2});
  QCOMPARE(node("NodePhoto", -1)->checkState(0), Qt::Checked);
  node("NodeDocument", 0)->setCheckState(0, Qt::Checked);
  QCOMPARE(node("NodeDocument", -1)->checkState(0), Qt::PartiallyChecked);
  for (const char* category : {"NodeDocument", "NodeArchive"})
    node(category, -1)->setCheckState(0, Qt::Checked);
  QCOMPARE(wnd->CheckedFiles().size(), wnd->collectedFiles().size());
  all->click();
  QCOMPARE(all->checkState(), Qt::Unchecked);
  QCOMPARE(node("NodePhoto", -1)->checkState(0), Qt::Unchecked);

  // Every other file, when asked for; photos not.
  wnd->SelectPage(CMainWnd::kPageFileType);
  wnd->findChild<QCheckBox*>(QStringLiteral("OptOthersFile"))->click();
  wnd->findChild<QCheckBox*>(QStringLiteral("OptPhotoFile"))->click();
  ScanRow(*wnd, list->topLevelItem(0)->child(0));
  QCOMPARE(wnd->collectedFiles().size(), size_t{4});
  QVERIFY(node("NodePhoto", -1)->isHidden());
  QCOMPARE(node("NodeOthers", -1)->text(0), QStringLiteral("Others (1)"));
  QCOMPARE(node("NodeOthers", 0)->text(0), QStringLiteral("E (1)"));
  wnd->findChild<QCheckBox*>(QStringLiteral("OptOthersFile"))->click();
  wnd->findChild<QCheckBox*>(QStringLiteral("OptPhotoFile"))->click();
}

// A deleted NTFS file that starts with a whole picture: the carver finds
// the picture again at the file's first sector. Shorter than the file, it is
// a copy of the file's start and no row of its own, as on FAT.
void VelmiraScanTest::CarvedStartOfAnNtfsFileIsNoRow() {
  testing::NtfsDisk disk(16);
  const std::string unusable = disk.Unusable();
  if (!unusable.empty()) QSKIP(unusable.c_str());
  QImage picture(160, 120, QImage::Format_RGB32);
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x)
      picture.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, x * y % 256));
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  QVERIFY(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "JPG"));
  std::vector<uint8_t> bytes(jpeg.begin(), jpeg.end());
  const size_t pictureBytes = bytes.size();
  bytes.resize(pictureBytes + 40000, 0x33);
  QVERIFY(disk.Mount());
  disk.Put("Clips/Interview.mov", bytes);
  disk.Remove("Clips/Interview.mov");
  disk.Unmount();

  auto wnd = NewMainWnd({QString::fromStdString(disk.image())});
  ScanRow(*wnd, ImageRow(wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList")), 0));
  QCOMPARE(wnd->CurrentPage(), CMainWnd::kPageRecover);
  QStringList names;
  for (const FoundRecord& r : wnd->collectedFiles()) {
    const uint32_t tag = r.engineTag;
    names << Q(RecordName(r)) + (tag == kTagCarving ? QStringLiteral(" (carved)") : QString());
  }
  QCOMPARE(names, QStringList{QStringLiteral("Interview.mov")});
}

#include "velmira_scan_test.moc"
