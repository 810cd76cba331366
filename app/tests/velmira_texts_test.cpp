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
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "app/assist_menu.h"
#include "app/create_image_process_wnd.h"
#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview_wnd.h"
#include "app/recover_process_wnd.h"
#include "app/scan_process_wnd.h"
#include "app/search_process_wnd.h"
#include "app/tests/message_box_answer.h"
#include "engines/engine_factory.h"
#include "platform/message_format.h"
#include "tests/fixtures/fake_scan_engine.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/photo_image.h"

using namespace velmira;
using velmira::testing::FakeScanEngine;
using velmira::testing::MessageBoxAnswer;

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
    if (label->wordWrap()) {
      // A wrapped text must fit its height.
      const int need = label->heightForWidth(label->width());
      if (need > label->height() + 1) problems << Describe(label, label->text(), need, label->height());
      continue;
    }
    if (label->textFormat() == Qt::RichText ||
        (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()))) {
      // A rich text on one line: the width its document needs.
      const int need = label->sizeHint().width();
      if (need > label->width()) problems << Describe(label, label->text(), need, label->width());
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

// Holds a worker thread at a point of its job until the test has looked at
// the window: the worker calls Wait(), the window's thread Release().
class Gate {
 public:
  void Wait() {
    m_waiting = true;
    while (!m_open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_waiting = false;
  }
  [[nodiscard]] bool Waiting() const { return m_waiting.load(); }
  void Release() { m_open = true; }

 private:
  std::atomic<bool> m_waiting{false};
  std::atomic<bool> m_open{false};
};

// An engine whose preview extraction reports 40 percent and then waits at a gate.
class HeldPreviewEngine : public FakeScanEngine {
 public:
  explicit HeldPreviewEngine(Gate& gate) : m_gate(gate) {}
  int32_t ExtractForPreview(const FoundRecord&, std::string&, uint8_t*, uint32_t& byteCount,
                            PreviewProgressCallback callback, void* user) override {
    // Its answer is not needed: the gate decides when the extraction ends.
    if (callback != nullptr) (void)callback(user, 40, 0);
    m_gate.Wait();
    byteCount = 0;
    return 0;
  }

 private:
  Gate& m_gate;
};

// Runs `onShow` on every widget about to be shown, before the widget's own
// show handler.
class ShowHook : public QObject {
 public:
  explicit ShowHook(std::function<void(QObject*)> onShow) : m_onShow(std::move(onShow)) {
    qApp->installEventFilter(this);
  }
  ~ShowHook() override { qApp->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) m_onShow(watched);
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void(QObject*)> m_onShow;
};

}  // namespace

class VelmiraTextsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void EveryWindowFitsItsTexts_data();
  void EveryWindowFitsItsTexts();

 private:
  // Checks `window`, saves it as `name`.png and reports what does not fit.
  // `settle`: lets the events run first (not while a job is due to close it).
  void Check(QWidget* window, const QString& name, bool settle = true);
  // The scan and collection windows of a scan that waits at gates, and the
  // preview window.
  void CheckJobWindows(CMainWnd& wnd, const QString& suffix);
  // A real scan of the image of large files, and the results page after it.
  void CheckResults(CMainWnd& wnd, const QString& suffix);
  // The image window of a copy held after its first report; returns the
  // file name proposed for the image.
  QString CheckImageWindow(CMainWnd& wnd, const QString& suffix);

  QTemporaryDir m_temp;
  QString m_program;
  QString m_card;
  // Files of about 100 MB (sparse NTFS) or, without ntfs-3g, deleted photos.
  QString m_filled;
  QString m_shots;
  std::unique_ptr<testing::NtfsDisk> m_ntfs;
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

  // Deleted files of about 100 MB with long names in folders, for the size,
  // time and folder columns (sparse: the image stays small).
  m_ntfs = std::make_unique<testing::NtfsDisk>(16);
  const std::string unusable = m_ntfs->Unusable();
  if (unusable.empty() && m_ntfs->Mount()) {
    const std::vector<uint8_t> start(4096, 0x5a);
    const std::pair<const char*, uint64_t> large[] = {
        {"DCIM/Summer holiday at the lake 2024.mp4", 104857600},
        {"DCIM/Birthday party in the garden.mov", 99614720},
        {"Documents/Annual report with all figures.pdf", 1048576}};
    for (const auto& [name, size] : large)
      m_ntfs->PutSparse(name, {{0, start}, {size - start.size(), start}});
    m_ntfs->Put("DCIM/IMG_0001.jpg", std::vector<uint8_t>(20000, 0x11));
    for (const auto& [name, size] : large) m_ntfs->Remove(name);
    m_ntfs->Remove("DCIM/IMG_0001.jpg");
    m_ntfs->Unmount();
    m_filled = QString::fromStdString(m_ntfs->image());
  } else {
    qInfo("results from deleted photos on FAT: %s", unusable.c_str());
    m_filled = root + QStringLiteral("/photos.img");
    QVERIFY(
        testing::MakeFatImageWithDeletedPhotos(S(m_filled), S(root), {"Harbour.jpg", "Market.jpg"}, true));
  }
}

void VelmiraTextsTest::Check(QWidget* window, const QString& name, bool settle) {
  if (settle) {
    QTest::qWait(20);  // texts, then the layouts they change
  } else {
    for (int i = 0; i < 3; ++i) QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  }
  QVERIFY(window->grab().save(m_shots + QLatin1Char('/') + name + QStringLiteral(".png")));
  const QStringList problems = TextsThatDoNotFit(window);
  if (!problems.isEmpty())
    QFAIL(qPrintable(name + QStringLiteral(":\n  ") + problems.join(QStringLiteral("\n  "))));
}

// The scan stops at its third report and the collection at its second, so
// that each window is looked at with its texts of a running job: the time
// left in hours, minutes and seconds, the sectors of a 2 TB disk.
void VelmiraTextsTest::CheckJobWindows(CMainWnd& wnd, const QString& suffix) {
  // Shared with the engines, which the scan session keeps after this returns.
  const auto scanGate = std::make_shared<Gate>();
  const auto searchGate = std::make_shared<Gate>();
  wnd.SetEngineBuilder([=](const ScanSource& source, bool) -> std::unique_ptr<IFileRecoveryParse> {
    auto engine = std::make_unique<FakeScanEngine>();
    engine->steps = 4;
    engine->secondsLeft = 3723;
    engine->totalSectors = 3907029168ull;
    engine->onStep = [scanGate](int32_t step) {
      if (step == 2) scanGate->Wait();
    };
    engine->records = testing::ManyFakeFiles(source.SourceKey(), 40);
    engine->searchReportEvery = 10;
    engine->onSearchReport = [searchGate, reports = std::make_shared<int>(0)] {
      if (++*reports == 2) searchGate->Wait();
    };
    return engine;
  });
  Gate previewGate;
  bool scanSeen = false;
  bool searchSeen = false;
  bool previewSeen = false;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (qobject_cast<CScanProcessWnd*>(modal) != nullptr && scanGate->Waiting() && !scanSeen) {
      scanSeen = true;
      Check(modal, QStringLiteral("scan_window") + suffix);
      scanGate->Release();
    } else if (qobject_cast<CSearchProcessWnd*>(modal) != nullptr && searchGate->Waiting() && !searchSeen) {
      searchSeen = true;
      Check(modal, QStringLiteral("collection_window") + suffix);
      searchGate->Release();
    } else if (qobject_cast<CPreviewProcessWnd*>(modal) != nullptr && previewGate.Waiting() && !previewSeen) {
      previewSeen = true;
      Check(modal, QStringLiteral("preview_window") + suffix);
      previewGate.Release();
    }
  });
  poll.start(5);
  // Should a window not come, the workers do not wait for ever.
  QTimer giveUp;
  giveUp.setSingleShot(true);
  connect(&giveUp, &QTimer::timeout, this, [&] {
    scanGate->Release();
    searchGate->Release();
    previewGate.Release();
  });
  giveUp.start(30000);

  const auto restore = qScopeGuard([&wnd] { wnd.SetEngineBuilder(BuildEngineFor); });
  auto* list = wnd.findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  QTreeWidgetItem* card = nullptr;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (CMainWnd::KindOf(list->topLevelItem(i)) == CMainWnd::kRowImageGroup)
      card = list->topLevelItem(i)->child(0);
  QVERIFY(card != nullptr);
  list->setCurrentItem(card);
  wnd.findChild<QPushButton*>(QStringLiteral("BtnScan"))->click();
  QVERIFY(scanSeen);
  QVERIFY(searchSeen);
  QCOMPARE(wnd.CurrentPage(), CMainWnd::kPageRecover);

  HeldPreviewEngine engine(previewGate);
  CPreviewWnd preview(testing::FakeFile(1, "Summer holiday at the lake 2024.jpg", 104857600), &engine, 0);
  QCOMPARE(preview.Run(&wnd), int{CPreviewProcessWnd::kClosedExtracted});
  QVERIFY(previewSeen);
}

// Sizes of 100 MB, times with their seconds and long folder names, as the
// engines read them from the image.
void VelmiraTextsTest::CheckResults(CMainWnd& wnd, const QString& suffix) {
  // The second language's scan is offered the first one's results.
  MessageBoxAnswer showAgain(1);
  wnd.SelectPage(CMainWnd::kPageDisks);
  QVERIFY(wnd.AddImageSource(m_filled));
  wnd.findChild<QPushButton*>(QStringLiteral("BtnScan"))->click();
  QCOMPARE(wnd.CurrentPage(), CMainWnd::kPageRecover);
  QVERIFY(!wnd.collectedFiles().empty());
  auto* tree = wnd.findChild<QTreeWidget*>(QStringLiteral("TypeTree"));
  const auto node = [tree](const char* name) -> QTreeWidgetItem* {
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
      if (tree->topLevelItem(i)->data(0, kItemNameRole).toString() == QLatin1String(name))
        return tree->topLevelItem(i);
    return nullptr;
  };
  QTreeWidgetItem* largest = node(m_ntfs->image() == S(m_filled) ? "NodeVideo" : "NodePhoto");
  QVERIFY(largest != nullptr && !largest->isHidden());
  tree->expandAll();
  tree->setCurrentItem(largest);
  auto* files = wnd.findChild<QTableView*>(QStringLiteral("FileList"));
  QVERIFY(files->model()->rowCount() > 0);
  Check(&wnd, QStringLiteral("page3_results") + suffix);
  // A folder of the source, with the files in it.
  QTreeWidgetItem* folders = node("NodeFolders");
  QVERIFY(folders != nullptr && folders->childCount() > 0);
  QTreeWidgetItem* source = folders->child(0);
  tree->expandItem(source);
  QTreeWidgetItem* shown = source;
  for (int i = 0; i < source->childCount(); ++i)
    if (source->child(i)->text(0).startsWith(QStringLiteral("DCIM"))) shown = source->child(i);
  tree->setCurrentItem(shown);
  Check(&wnd, QStringLiteral("page3_results_folders") + suffix);
}

QString VelmiraTextsTest::CheckImageWindow(CMainWnd& wnd, const QString& suffix) {
  wnd.ChooseMode(CMainWnd::kModeCreateImage);
  Check(&wnd, QStringLiteral("page1_create_image") + suffix);
  auto* list = wnd.findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  QTreeWidgetItem* disk = nullptr;
  for (int i = 0; i < list->topLevelItemCount() && disk == nullptr; ++i)
    if (CMainWnd::KindOf(list->topLevelItem(i)) == CMainWnd::kRowDisk) disk = list->topLevelItem(i);
  if (disk == nullptr) {
    QTest::qFail("no disk row to copy", __FILE__, __LINE__);
    return {};
  }
  list->setCurrentItem(disk);
  const QString target = m_temp.path() + QStringLiteral("/copy%1.img").arg(suffix);
  QString proposed;
  wnd.SetPathAsker([&](int purpose, const QString& offer) {
    proposed = offer;
    return purpose == CMainWnd::kPathImageFile ? target : QString();
  });
  // The copy waits at its first report from the start; it is let go until
  // the window shows a report, then held while the window is looked at.
  ShowHook hold([](QObject* shown) {
    if (auto* window = qobject_cast<CCreateImageProcessWnd*>(shown)) window->token().Pause();
  });
  bool seen = false;
  QString first;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    auto* window = qobject_cast<CCreateImageProcessWnd*>(QApplication::activeModalWidget());
    if (window == nullptr || seen) return;
    const QString sectors = window->findChild<QLabel*>(QStringLiteral("sectors"))->text();
    if (first.isNull()) {
      first = sectors;
      window->token().Resume();
      return;
    }
    if (sectors == first) return;
    window->token().Pause();
    seen = true;
    Check(window, QStringLiteral("image_window") + suffix);
    window->token().Resume();
  });
  poll.start(1);
  MessageBoxAnswer scanNow(2);
  wnd.findChild<QPushButton*>(QStringLiteral("BtnCreateImage"))->click();
  if (!seen) QTest::qFail("the image window was not seen with a report", __FILE__, __LINE__);
  if (scanNow.text() != SectionText(LanguageManager::Instance().GetSection("Messages"), "MSG0214"))
    QTest::qFail(qPrintable(QStringLiteral("unexpected question: ") + scanNow.text()), __FILE__, __LINE__);
  return proposed;
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
  CheckJobWindows(wnd, suffix);
  CheckResults(wnd, suffix);
  // The name offered for the image of a whole disk is in the window's language.
  const QString proposed = CheckImageWindow(wnd, suffix);
  const QString diskName =
      Q(FormatText(S(SectionText(LanguageManager::Instance().GetSection("Messages"), "MSG0222")), {1}));
  QVERIFY2(proposed.endsWith(QLatin1Char('/') + diskName + QStringLiteral(".img")), qPrintable(proposed));

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
  (void)recovery.exec();  // what counts is checked below: the window was seen, with its reason
  QVERIFY(recoverySeen);
  QCOMPARE(status, SectionText(LanguageManager::Instance().GetSection("Errors"), "SourceGone"));
  QVERIFY(language == QStringLiteral("English") || !status.startsWith(QStringLiteral("The ")));
}

QTEST_MAIN(VelmiraTextsTest)
#include "velmira_texts_test.moc"
