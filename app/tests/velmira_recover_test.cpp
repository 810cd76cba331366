// Recovering, previewing and imaging from the desktop program, end to end:
// images are scanned by their engines, the windows are driven by object name
// on the offscreen platform, and the players are small scripts. The recovery
// window, a picture preview and the image window are saved as PNGs under
// build/screenshots/.
#include <QApplication>
#include <QBuffer>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "app/create_image_process_wnd.h"
#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview_wnd.h"
#include "app/recover_process_wnd.h"
#include "engines/engine_factory.h"
#include "platform/errors.h"
#include "platform/ini_file.h"
#include "platform/message_format.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/temp_dir.h"

using namespace velmira;

namespace {

// Steps run one after the other on the modal window that is open, every
// 10 ms; a step returns true when it is done. A message box that no step
// expects is answered with Cancel and its text kept.
class ModalScript : public QObject {
 public:
  using Step = std::function<bool(QWidget* modal)>;
  explicit ModalScript(std::vector<Step> steps) : m_steps(std::move(steps)) {
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr) return;
      if (m_index < m_steps.size()) {
        if (m_steps[m_index](modal)) ++m_index;
        return;
      }
      if (auto* box = qobject_cast<CMessageBox*>(modal)) {
        m_unexpected << box->text();
        Click(box->findChild<QPushButton*>(QStringLiteral("cancelbtn")));
      }
    });
    m_timer.start();
  }
  [[nodiscard]] bool finished() const { return m_index == m_steps.size(); }
  [[nodiscard]] const QStringList& unexpected() const { return m_unexpected; }

  // Clicks outside the script's own timer, so that a click that opens a
  // nested modal window does not hold the script up.
  static void Click(QAbstractButton* button) {
    if (button != nullptr) QTimer::singleShot(0, button, [button] { button->click(); });
  }

 private:
  QTimer m_timer;
  std::vector<Step> m_steps;
  size_t m_index = 0;
  QStringList m_unexpected;
};

// A step that answers a message box and keeps its text.
ModalScript::Step Answer(int answer, QString* text) {
  return [answer, text](QWidget* modal) {
    auto* box = qobject_cast<CMessageBox*>(modal);
    if (box == nullptr) return false;
    if (text != nullptr) *text = box->text();
    ModalScript::Click(box->findChild<QPushButton*>(answer == 1 ? "okbtn" : "cancelbtn"));
    return true;
  };
}

QString Msg(const char* id) {
  return Q(LanguageManager::Instance().Text("Messages", id));
}

std::vector<uint8_t> Bytes(const QByteArray& data) {
  return {data.begin(), data.end()};
}

std::vector<uint8_t> JpegOf(int width, int height, QColor colour) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  QPainter(&image).fillRect(0, 0, width / 2, height / 2, Qt::white);
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPG", 90);
  return Bytes(data);
}

std::vector<uint8_t> Patterned(size_t size, std::string_view head, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  for (size_t i = 0; i < head.size() && i < size; ++i) bytes[i] = static_cast<uint8_t>(head[i]);
  return bytes;
}

void SaveShot(QWidget* widget, const char* name) {
  const QString folder = QStringLiteral(VELMIRA_SCREENSHOT_DIR);
  QDir().mkpath(folder);
  QVERIFY(widget->grab().save(folder + QLatin1Char('/') + QLatin1String(name)));
}

// A scanned image: its engine and every file record below its root.
struct Scanned {
  std::unique_ptr<IFileRecoveryParse> engine;
  std::vector<FoundRecord> files;
  std::vector<FoundRecord> folders;

  [[nodiscard]] const FoundRecord* Named(const std::string& name) const {
    for (const FoundRecord& r : files)
      if (RecordName(r) == name) return &r;
    return nullptr;
  }
};

Scanned ScanImage(const std::string& path, uint16_t key) {
  Scanned s;
  s.engine = CreateEngineForImage(path, key, false);
  if (!s.engine) return s;
  if (const int32_t err = s.engine->Scan(""); err != kOk) {
    qWarning("scan of %s: error %d", path.c_str(), err);
    return s;
  }
  std::function<void(const FoundRecord*, uint32_t)> walk = [&](const FoundRecord* folder, uint32_t depth) {
    std::vector<FoundRecord> children;
    if (depth > 8 || s.engine->ListChildren(folder, depth, children) != kOk) return;
    for (const FoundRecord& child : children) {
      if (child.isFolder != 0) {
        s.folders.push_back(child);
        walk(&s.folders.back(), depth + 1);
      } else {
        s.files.push_back(child);
      }
    }
  };
  s.folders.reserve(64);
  walk(nullptr, 0);
  return s;
}

// An engine that reports slowly, for stopping a recovery or a preview half way, and
// that faults on a file named "fault.jpg".
class SlowEngine : public IFileRecoveryParse {
 public:
  int32_t OpenImage(const std::string&, uint16_t) override { return 0; }
  int32_t OpenPartition(int32_t, uint64_t, uint64_t, uint16_t) override { return 0; }
  int32_t SetProgressCallbacks(ScanProgressCallback, FileProgressCallback file, void* user,
                               int32_t) override {
    m_file = file;
    m_user = user;
    return 0;
  }
  int32_t Scan(const std::string&) override { return 0; }
  int32_t ListChildren(const FoundRecord*, uint32_t, std::vector<FoundRecord>&) override { return 0; }
  int32_t CountFiles(const FoundRecord*, uint32_t, uint32_t&) override { return 0; }
  uint64_t GetFoundCount() override { return 0; }
  int32_t GetFolderPath(const FoundRecord&, std::string&, uint32_t) override { return 0; }
  int32_t RecoverItem(const FoundRecord& record, const std::string& path, int32_t) override {
    if (RecordName(record) == "fault.jpg") throw std::runtime_error("engine fault");
    for (int p = 0; p <= 100; p += 20) {
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
      if (int32_t stop = m_file(m_user, p, 100, 0, path)) return stop;
    }
    return 0;
  }
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  int32_t CollectMatches(const std::string&, std::vector<FoundRecord>&) override { return 0; }
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord&, std::string&, uint8_t*, uint32_t&,
                            PreviewProgressCallback callback, void* user) override {
    for (int p = 0; p <= 100; ++p) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (int32_t stop = callback(user, p, 0)) return previewResult = stop;
    }
    return previewResult = 0;
  }
  int32_t previewResult = 1;
  [[nodiscard]] bool HasFileCallback() const { return m_file != nullptr || m_user != nullptr; }

 private:
  FileProgressCallback m_file = nullptr;
  void* m_user = nullptr;
};

FoundRecord NamedRecord(uint16_t key, const std::string& name) {
  FoundRecord r = MakeFoundRecord();
  r.sourceKey = key;
  SetRecordName(r, name);
  return r;
}

bool ProcessRuns(pid_t pid) {
  // A reaped process is gone; a zombie counts as ended too.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

pid_t ReadPid(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return -1;
  return static_cast<pid_t>(file.readAll().trimmed().toInt());
}

}  // namespace

// Receives the addresses the program asks the desktop to open.
class UrlCatcher : public QObject {
  Q_OBJECT

 public slots:
  void Open(const QUrl& url) { urls << url; }

 public:
  QList<QUrl> urls;
};

class VelmiraRecoverTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void RecoversAFatCardIntoCategoryFolders();
  void RecoversAnNtfsVolume();
  void StoppingARecoveryAsksFirst();
  void AnUnwritableFolderIsRefusedAndAskedAgain();
  void PreviewsPicturesFoldersAndBrokenFiles();
  void VideoPreviewsHandTheFileToThePlayer();
  void ImagesAPartitionAndScansTheImage();
  void StoppedAndRefusedImages();

 private:
  void SetVideoPlayer(const QString& script);
  QString Path(const char* name) const { return m_temp.path() + QLatin1Char('/') + QLatin1String(name); }

  QTemporaryDir m_temp;
  QString m_program;
  std::string m_card;
  std::vector<uint8_t> m_photoOne, m_photoTwo, m_notes, m_song, m_clip, m_broken, m_big;
};

void VelmiraRecoverTest::initTestCase() {
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
  QVERIFY(QFile::copy(source + QStringLiteral("/Languages/English.ini"),
                      m_program + QStringLiteral("/Languages/English.ini")));
  QFile::setPermissions(m_program + QStringLiteral("/config.ini"), QFile::ReadOwner | QFile::WriteOwner);
  LanguageManager::Instance().Reset(LanguagePaths{S(m_program), S(root + QStringLiteral("/config/Orvanta"))});
  qputenv("VELMIRA_DRIVES", QByteArray());
  ApplyProgramStyle();

  if (!testing::ToolAvailable("mcopy") || !testing::ToolAvailable("mkfs.vfat"))
    QSKIP("mtools and mkfs.vfat are needed for the camera card");
  // A camera card: two photos of one name in two folders, a note without an
  // extension, a song, a clip, a broken photo and a large clip written last,
  // all deleted.
  m_photoOne = JpegOf(320, 240, Qt::darkGreen);
  m_photoTwo = JpegOf(200, 150, Qt::darkBlue);
  m_notes = Patterned(3000, "shopping list", 3);
  m_song = Patterned(30000, "ID3\x03", 4);
  m_clip = Patterned(40000, std::string_view("RIFF\x38\x9c\0\0AVI LIST", 16), 5);
  m_broken = Patterned(6000, std::string_view("\xFF\xD8\xFF\xE0\x00\x10JFIF\0", 11), 6);
  m_big = Patterned(3u << 20, std::string_view("RIFF\xf8\xff\x2f\0AVI LIST", 16), 7);
  m_card = S(Path("card.img"));
  QVERIFY(testing::MakeFatImage(m_card, 32, 40));
  QVERIFY(testing::Mtools(m_card, "mmd", "::/One ::/Two"));
  const std::pair<const char*, const std::vector<uint8_t>*> files[] = {{"One/Holiday.jpg", &m_photoOne},
                                                                       {"Two/Holiday.jpg", &m_photoTwo},
                                                                       {"Notes", &m_notes},
                                                                       {"Song.mp3", &m_song},
                                                                       {"Clip.avi", &m_clip},
                                                                       {"Broken.jpg", &m_broken},
                                                                       {"Big.avi", &m_big}};
  QString deletions;
  for (const auto& [name, bytes] : files) {
    const std::string local = S(Path("put.bin"));
    testing::WriteFileBytes(local, *bytes);
    QVERIFY(testing::Mtools(m_card, "mcopy", testing::ShellQuote(local) + " ::/" + name));
    deletions += QStringLiteral(" ::/") + QLatin1String(name);
  }
  QVERIFY(testing::Mtools(m_card, "mdel", S(deletions)));
}

void VelmiraRecoverTest::SetVideoPlayer(const QString& script) {
  const std::string config = S(m_program + QStringLiteral("/config.ini"));
  QCOMPARE(WriteIniString(config, "Players", "Video", S(script)), kOk);
  QCOMPARE(WriteIniString(config, "Players", "VideoArgs", ""), kOk);
}

void VelmiraRecoverTest::RecoversAFatCardIntoCategoryFolders() {
  // The card is scanned from a copy that loses its end after the scan: the
  // large clip written last can then no longer be read.
  const std::string card = S(Path("card-failing.img"));
  std::filesystem::copy_file(m_card, card, std::filesystem::copy_options::overwrite_existing);
  Scanned scan = ScanImage(card, 1001);
  QVERIFY(scan.engine != nullptr);
  std::vector<FoundRecord> files = scan.files;  // every file of the card was deleted
  QCOMPARE(files.size(), size_t{7});
  const FoundRecord* big = scan.Named("Big.avi");
  QVERIFY(big != nullptr);
  const uint64_t bigAt =
      (big->partitionStart + big->dataStart) * 512 + uint64_t{big->key - 2} * big->clusterBytes;
  std::filesystem::resize_file(card, bigAt + big->clusterBytes);
  // A file whose source is no longer open.
  files.push_back(NamedRecord(999, "orphan.jpg"));

  CMainWnd wnd;
  const QString out = Path("out-fat");
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
  int asked = 0;
  wnd.SetPathAsker([&](int purpose, const QString&) {
    ++asked;
    return purpose == CMainWnd::kPathRecoveryFolder ? out + QLatin1Char('/') : QString();
  });
  QStringList detailTop;
  bool cancelShown = true;
  QSize grown;
  bool topRed = false;
  QString counts;
  QString noFileManager;
  const QByteArray path = qgetenv("PATH");
  ModalScript script({
      [&](QWidget* modal) {
        auto* rw = qobject_cast<CRecoverProcessWnd*>(modal);
        if (rw == nullptr || !rw->findChild<QPushButton*>("FinishBtn")->isVisible()) return false;
        cancelShown = rw->findChild<QPushButton*>("CancelBtn")->isVisible();
        const QSize before = rw->size();
        rw->findChild<QPushButton*>("DetailBtn")->click();
        grown = rw->size() - before;
        return true;
      },
      [&](QWidget* modal) {
        auto* rw = qobject_cast<CRecoverProcessWnd*>(modal);
        auto* list = rw->findChild<QTreeWidget*>("DetailList");
        if (!list->isVisible()) return false;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
          detailTop << list->topLevelItem(i)->text(1) + QLatin1Char('|') + list->topLevelItem(i)->text(0);
        topRed = list->topLevelItemCount() > 0 &&
                 list->topLevelItem(0)->foreground(0).color() == QColor(255, 0, 0);
        counts = rw->findChild<QLabel*>("recovered")->text();
        rw->findChild<QPushButton*>("OpenBtn")->click();
        // Without a file manager the user is told where the files are.
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        qputenv("PATH", QFile::encodeName(Path("no-programs")));
        ModalScript::Click(rw->findChild<QPushButton*>("OpenBtn"));
        return true;
      },
      Answer(1, &noFileManager),
      [&](QWidget* modal) {
        auto* rw = qobject_cast<CRecoverProcessWnd*>(modal);
        if (rw == nullptr) return false;
        qputenv("PATH", path);
        SaveShot(rw, "recover_window.png");
        // Details shrink back; "Close" after the end closes without a question.
        rw->findChild<QPushButton*>("DetailBtn")->click();
        if (rw->size() != QSize(500, 250)) detailTop << QStringLiteral("size not restored");
        ModalScript::Click(rw->findChild<QToolButton*>("closebtn"));
        return true;
      },
  });
  wnd.StartRecovery(files, {{1001, scan.engine.get()}});
  QVERIFY(script.finished());
  QVERIFY2(script.unexpected().isEmpty(), qPrintable(script.unexpected().join(QLatin1Char('\n'))));
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  QCOMPARE(asked, 1);
  QCOMPARE(wnd.destination(), out);
  QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(out)});
  QCOMPARE(noFileManager, Q(FormatText(S(Msg("MSG1212")), {S(out)})));
  QVERIFY2(!cancelShown, "Stop goes when the job is done");
  QCOMPARE(grown, QSize(150, 300));

  const auto bytesAt = [&](const char* rel) {
    return testing::ReadFileBytes(S(out + QLatin1Char('/') + QLatin1String(rel)));
  };
  const auto one = bytesAt("photo/Holiday.jpg");
  const auto two = bytesAt("photo/Holiday(1).jpg");
  QVERIFY((one == m_photoOne && two == m_photoTwo) || (one == m_photoTwo && two == m_photoOne));
  QVERIFY(bytesAt("others/Notes") == m_notes);  // no extension: others
  QVERIFY(bytesAt("audio/Song.mp3") == m_song);
  QVERIFY(bytesAt("video/Clip.avi") == m_clip);
  QVERIFY(bytesAt("photo/Broken.jpg") == m_broken);

  // Failures on top in red, then the successes.
  QCOMPARE(detailTop.size(), 8);
  QVERIFY(topRed);
  QVERIFY2(!detailTop[0].startsWith(QStringLiteral("Success")) &&
               !detailTop[1].startsWith(QStringLiteral("Success")),
           qPrintable(detailTop.join(QLatin1Char('\n'))));
  for (int i = 2; i < 8; ++i)
    QVERIFY2(detailTop[i].startsWith(QStringLiteral("Success|")), qPrintable(detailTop[i]));
  QVERIFY(detailTop.filter(QStringLiteral("Big.avi")).size() == 1 &&
          detailTop.filter(QStringLiteral("orphan.jpg")).size() == 1);
  QVERIFY(!detailTop[0].contains(QStringLiteral("Success")));
  QCOMPARE(counts, QStringLiteral("8 of 8 files done: 6 recovered, 2 failed."));
}

void VelmiraRecoverTest::RecoversAnNtfsVolume() {
  testing::NtfsDisk disk(16);
  if (std::string why = disk.Unusable(); !why.empty()) QSKIP(why.c_str());
  QVERIFY(disk.Mount());
  disk.Put("DCIM/photo.jpg", m_photoOne);
  disk.Put("Music/tune.mp3", m_song);
  disk.Put("Work/plan.pdf", Patterned(70000, "%PDF-1.4", 9));
  disk.Put("Kept.txt", {'k'});
  disk.Remove("DCIM");
  disk.Remove("Music/tune.mp3");
  disk.Remove("Work/plan.pdf");
  disk.Unmount();
  Scanned scan = ScanImage(disk.image(), 1002);
  QVERIFY(scan.engine != nullptr);
  std::vector<FoundRecord> files = scan.files;  // the live file is not listed
  QCOMPARE(files.size(), size_t{3});

  CMainWnd wnd;
  const QString out = Path("out-ntfs");
  wnd.SetPathAsker([&](int, const QString&) { return out; });
  std::pair<uint32_t, uint32_t> counts;
  ModalScript script({[&](QWidget* modal) {
    auto* rw = qobject_cast<CRecoverProcessWnd*>(modal);
    if (rw == nullptr || !rw->findChild<QPushButton*>("FinishBtn")->isVisible()) return false;
    counts = {rw->processed(), rw->failed()};
    ModalScript::Click(rw->findChild<QPushButton*>("FinishBtn"));
    return true;
  }});
  wnd.StartRecovery(files, {{1002, scan.engine.get()}});
  QVERIFY(script.finished());
  QCOMPARE(counts, std::make_pair(3u, 0u));
  QVERIFY(testing::ReadFileBytes(S(out + QStringLiteral("/photo/photo.jpg"))) == m_photoOne);
  QVERIFY(testing::ReadFileBytes(S(out + QStringLiteral("/audio/tune.mp3"))) == m_song);
  QVERIFY(testing::ReadFileBytes(S(out + QStringLiteral("/document/plan.pdf"))) ==
          disk.Original("Work/plan.pdf"));
}

void VelmiraRecoverTest::StoppingARecoveryAsksFirst() {
  SlowEngine engine;
  std::vector<FoundRecord> files;
  files.push_back(NamedRecord(7, "fault.jpg"));
  for (int i = 0; i < 60; ++i) files.push_back(NamedRecord(7, "f" + std::to_string(i) + ".jpg"));
  const QString out = Path("out-slow");
  QString firstQuestion;
  QString secondQuestion;
  uint32_t processedWhenAsked = 0;
  CRecoverProcessWnd window(nullptr, out, {{7, &engine}}, files);
  ModalScript script({
      [&](QWidget* modal) {
        auto* rw = qobject_cast<CRecoverProcessWnd*>(modal);
        if (rw == nullptr || rw->processed() < 3) return false;
        ModalScript::Click(rw->findChild<QPushButton*>("CancelBtn"));
        return true;
      },
      Answer(2, &firstQuestion),  // go on
      [&](QWidget* modal) {
        auto* rw = qobject_cast<CRecoverProcessWnd*>(modal);
        if (rw == nullptr || rw->processed() < 6) return false;
        processedWhenAsked = rw->processed();
        ModalScript::Click(rw->findChild<QToolButton*>("closebtn"));
        return true;
      },
      Answer(1, &secondQuestion),  // stop
  });
  const int code = window.exec();
  QCOMPARE(code, 2);
  QCOMPARE(firstQuestion, Msg("MSG1103"));
  QCOMPARE(secondQuestion, Msg("MSG1103"));
  QVERIFY(window.finished());
  QVERIFY(window.processed() >= processedWhenAsked);
  QVERIFY2(window.processed() < window.total(), "the job stopped before the end");
  // The engine's fault cost its own file only.
  QVERIFY(window.failed() >= 1);
  QCOMPARE(window.total(), 61u);
  QVERIFY2(!engine.HasFileCallback(), "the engine no longer calls into the window");
}

void VelmiraRecoverTest::AnUnwritableFolderIsRefusedAndAskedAgain() {
  // A folder below a plain file can never be made: the refusal names it, the
  // folder is asked for again, and giving up there starts nothing.
  testing::WriteFileBytes(S(Path("plain")), {1});
  const QString bad = Path("plain") + QStringLiteral("/out");
  CMainWnd wnd;
  int asked = 0;
  wnd.SetPathAsker([&](int, const QString&) { return ++asked == 1 ? bad : QString(); });
  QString refusal;
  ModalScript script({Answer(1, &refusal)});
  wnd.StartRecovery({NamedRecord(7, "a.jpg")}, {});
  QVERIFY(script.finished());
  QVERIFY2(script.unexpected().isEmpty(), qPrintable(script.unexpected().join(QLatin1Char('\n'))));
  QCOMPARE(asked, 2);
  QVERIFY2(refusal.contains(bad), qPrintable(refusal));
  QVERIFY(refusal.startsWith(Msg("MSG0810").section(QStringLiteral("%s"), 0, 0)));
}

void VelmiraRecoverTest::PreviewsPicturesFoldersAndBrokenFiles() {
  Scanned scan = ScanImage(m_card, 1001);
  QVERIFY(scan.engine != nullptr);
  CMainWnd wnd;
  wnd.resize(900, 560);
  wnd.SelectPage(CMainWnd::kPageRecover);
  wnd.show();
  auto* edit = wnd.findChild<QTextBrowser*>(QStringLiteral("PreviewEdit"));

  // A photo: drawn in the preview area, no larger than it.
  const FoundRecord* photo = scan.Named("Holiday.jpg");
  QVERIFY(photo != nullptr);
  wnd.StartPreview(*photo, scan.engine.get());
  QVERIFY(edit->toHtml().contains(QStringLiteral("<img")));
  const QVariant shown = edit->document()->resource(QTextDocument::ImageResource,
                                                    QUrl(QStringLiteral("velmira-preview:picture")));
  QVERIFY(shown.canConvert<QImage>());
  const QImage picture = shown.value<QImage>();
  QVERIFY(!picture.isNull());
  QVERIFY(picture.width() <= edit->viewport()->width());
  QCOMPARE(picture.width() * 3, picture.height() * 4);  // the aspect stays
  SaveShot(&wnd, "picture_preview.png");

  // A photo that does not decode; a folder.
  wnd.StartPreview(*scan.Named("Broken.jpg"), scan.engine.get());
  QCOMPARE(edit->toPlainText(), Msg("MSG0905"));
  QVERIFY(!edit->toHtml().contains(QStringLiteral("<img")));
  QVERIFY(!scan.folders.empty());
  wnd.StartPreview(scan.folders.front(), scan.engine.get());
  QCOMPARE(edit->toPlainText(), Msg("MSG0904"));

  // Stopping an extraction asks first and shows nothing.
  SlowEngine slow;
  QString question;
  ModalScript script({
      [&](QWidget* modal) {
        auto* pw = qobject_cast<CPreviewProcessWnd*>(modal);
        if (pw == nullptr || pw->findChild<QProgressBar*>(QStringLiteral("progress"))->value() < 5)
          return false;
        ModalScript::Click(pw->findChild<QPushButton*>(QStringLiteral("CancelBtn")));
        return true;
      },
      Answer(1, &question),
  });
  wnd.StartPreview(NamedRecord(7, "slow.jpg"), &slow);
  QVERIFY(script.finished());
  QCOMPARE(question, Msg("MSG0903"));
  QCOMPARE(slow.previewResult, kCancelled);
  QCOMPARE(edit->toPlainText(), QString());

  // A file with no engine shows nothing but does not fail; the decoder
  // reads TIFF as well.
  wnd.StartPreview(NamedRecord(1001, "x.jpg"), nullptr);
  QCOMPARE(edit->toPlainText(), Msg("MSG0905"));
  // A sound file that cannot be extracted says so too.
  wnd.StartPreview(NamedRecord(1001, "x.mp3"), nullptr);
  QCOMPARE(edit->toPlainText(), Msg("MSG0905"));
  QImage tiff(40, 30, QImage::Format_RGB32);
  tiff.fill(Qt::red);
  QVERIFY(tiff.save(Path("p.tif"), "TIFF"));
  QCOMPARE(CPreviewWnd::DecodePicture(Path("p.tif"), QSize(20, 20)).size(), QSize(20, 15));
}

void VelmiraRecoverTest::VideoPreviewsHandTheFileToThePlayer() {
  Scanned scan = ScanImage(m_card, 1001);
  const FoundRecord* clip = scan.Named("Clip.avi");
  QVERIFY(clip != nullptr);
  const QString playing = Path("play.sh");
  const QString silent = Path("silent.sh");
  const QString pidFile = Path("player.pid");
  const QString gotFile = Path("player.file");
  {
    QFile f(playing);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("#!/bin/sh\necho $$ > '%1'\ncmp -s \"$1\" '%2' && echo same > '%3'\n"
                           "echo 'A: 00:00:01 / 00:00:09 (11%)'\nexec sleep 30\n")
                .arg(pidFile, Path("clip.bin"), gotFile)
                .toUtf8());
  }
  {
    QFile f(silent);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\necho starting\nexit 0\n");
  }
  for (const QString& s : {playing, silent})
    QFile::setPermissions(s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  testing::WriteFileBytes(S(Path("clip.bin")), m_clip);

  CMainWnd wnd;
  SetVideoPlayer(playing);
  {
    ModalScript script({});
    wnd.StartPreview(*clip, scan.engine.get());
    QTRY_VERIFY_WITH_TIMEOUT(wnd.videoPlayerPlaying(), 5000);
    QVERIFY(script.unexpected().isEmpty());
  }
  QTRY_VERIFY(QFile::exists(gotFile));  // the player got the extracted clip
  const pid_t first = ReadPid(pidFile);
  QVERIFY(first > 0);
  QVERIFY(ProcessRuns(first));

  // A sound whose player cannot be started says so (and ends the video player).
  {
    const std::string config = S(m_program + QStringLiteral("/config.ini"));
    QCOMPARE(WriteIniString(config, "Players", "Audio", S(Path("no-such-player"))), kOk);
    QString audioText;
    ModalScript audio({Answer(1, &audioText)});
    wnd.StartPreview(*scan.Named("Song.mp3"), scan.engine.get());
    QTRY_VERIFY_WITH_TIMEOUT(audio.finished(), 5000);
    QCOMPARE(audioText, Msg("MSG1211"));
  }

  // The next preview ends the first player; a player that never prints a
  // percent leads to MSG1207.
  SetVideoPlayer(silent);
  QString text;
  ModalScript script({Answer(1, &text)});
  wnd.StartPreview(*clip, scan.engine.get());
  QVERIFY(!ProcessRuns(first));
  QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 5000);
  QCOMPARE(text, Msg("MSG1207"));
  QVERIFY(!wnd.videoPlayerPlaying());
}

void VelmiraRecoverTest::ImagesAPartitionAndScansTheImage() {
  if (!testing::ToolAvailable("sfdisk")) QSKIP("sfdisk is needed for the simulated drive");
  const std::string drive = S(Path("drive.img"));
  QVERIFY(testing::MakePartitionedImage(drive, 48ull << 20, "label: dos\nstart=2048, size=81920, type=c\n"));
  QVERIFY(testing::FormatAt(drive, 2048, 40, "fat32", "CARD"));
  qputenv("VELMIRA_DRIVES", QByteArray::fromStdString(drive));
  CMainWnd wnd;
  qputenv("VELMIRA_DRIVES", QByteArray());
  auto* list = wnd.findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  wnd.ChooseMode(CMainWnd::kModeCreateImage);
  QTreeWidgetItem* partition = list->topLevelItem(0)->child(0);
  QCOMPARE(CMainWnd::KindOf(partition), CMainWnd::kRowPartition);
  list->setCurrentItem(partition);

  // By keyboard: Enter on the row copies it; Tab walks the page's buttons in
  // order, and Enter presses the one with the focus.
  {
    int asked = 0;
    wnd.SetPathAsker([&](int purpose, const QString&) {
      if (purpose == CMainWnd::kPathImageFile) ++asked;
      return QString();
    });
    wnd.show();
    QApplication::setActiveWindow(&wnd);
    QVERIFY(QTest::qWaitForWindowActive(&wnd));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(asked, 1);
    // "BtnLoadImage" is hidden while a drive is copied into an image.
    QTest::keyClick(list, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("BtnCreateImage"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTRY_COMPARE(asked, 2);
    wnd.hide();
  }

  const QString target = Path("card-copy.img");
  QString proposed;
  wnd.SetPathAsker([&](int purpose, const QString& offer) {
    proposed = offer;
    return purpose == CMainWnd::kPathImageFile ? target : QString();
  });
  // A copy into that file was stopped after its first piece: Velmira asks,
  // and the copy goes on from the map beside it.
  {
    ImageJob stopped;
    stopped.progress = [](void*, int32_t, uint64_t, uint64_t, int32_t) -> int32_t { return kCancelled; };
    QCOMPARE(CopyPathToImage(stopped, drive, 2048, 81920, S(target), nullptr), kCancelled);
  }
  QVERIFY(HasUnfinishedImageMap(S(target)));
  QString resumeQuestion;
  QString offer;
  ModalScript script({Answer(1, &resumeQuestion), Answer(1, &offer)});
  // A picture of the window while it copies, when the copy is slow enough to be caught.
  QStringList sectorTexts;
  QTimer watch;
  watch.setInterval(2);
  connect(&watch, &QTimer::timeout, &watch, [&] {
    auto* iw = qobject_cast<CCreateImageProcessWnd*>(QApplication::activeModalWidget());
    if (iw == nullptr) return;
    const int value = iw->findChild<QProgressBar*>(QStringLiteral("progress"))->value();
    sectorTexts << iw->findChild<QLabel*>(QStringLiteral("sectors"))->text();
    if (value > 20 && value < 90 &&
        !QFile::exists(QStringLiteral(VELMIRA_SCREENSHOT_DIR "/image_window.png")))
      SaveShot(iw, "image_window.png");
  });
  watch.start();
  QTest::mouseClick(wnd.findChild<QPushButton*>(QStringLiteral("BtnCreateImage")), Qt::LeftButton);
  watch.stop();
  for (const QString& text : sectorTexts)
    QVERIFY2(text == QStringLiteral("Sectors: 0 / 0") || text.endsWith(QStringLiteral(" / 81920")),
             qPrintable(text));
  QVERIFY(script.finished());
  QVERIFY2(script.unexpected().isEmpty(), qPrintable(script.unexpected().join(QLatin1Char('\n'))));
  QCOMPARE(resumeQuestion, Msg("MSG0309"));
  QCOMPARE(offer, Msg("MSG0214"));
  QVERIFY(!HasUnfinishedImageMap(S(target)));
  QVERIFY2(proposed.endsWith(QStringLiteral("/1 (FAT32, 40.00 MB).img")), qPrintable(proposed));

  // Byte for byte the partition.
  const std::vector<uint8_t> whole = testing::ReadFileBytes(drive);
  const std::vector<uint8_t> copy = testing::ReadFileBytes(S(target));
  QCOMPARE(copy.size(), size_t{81920} * 512);
  QVERIFY(std::equal(copy.begin(), copy.end(), whole.begin() + 2048 * 512));

  // The image becomes a source and the type page opens.
  QCOMPARE(wnd.mode(), CMainWnd::kModeRecover);
  QCOMPARE(wnd.CurrentPage(), CMainWnd::kPageFileType);
  const QList<QTreeWidgetItem*> selected = list->selectedItems();
  QCOMPARE(selected.size(), 1);
  QCOMPARE(CMainWnd::KindOf(selected.first()), CMainWnd::kRowImage);
  QCOMPARE(CMainWnd::SourceOf(selected.first())->imagePath, S(target));
  QVERIFY(wnd.sourceChosen());
}

void VelmiraRecoverTest::StoppedAndRefusedImages() {
  if (!testing::ToolAvailable("sfdisk")) QSKIP("sfdisk is needed for the simulated drive");
  // Stopping: the question holds the copy, which then ends with code 2 and
  // leaves what it wrote.
  const std::string source = S(Path("source.img"));
  testing::WriteRandomFile(source, 24u << 20, 11);
  const QString target = Path("stopped.img");
  QString question;
  QString sectors;
  int code = 0;
  {
    // The copy's token is paused, so the copy waits at its first report
    // until the question is answered.
    CCreateImageProcessWnd window(nullptr, target, source, 0, 0);
    window.token().Pause();
    ModalScript script({
        [&](QWidget* modal) {
          auto* iw = qobject_cast<CCreateImageProcessWnd*>(modal);
          if (iw == nullptr) return false;
          ModalScript::Click(iw->findChild<QPushButton*>("cancelbtn"));
          return true;
        },
        [&](QWidget* modal) {
          auto* box = qobject_cast<CMessageBox*>(modal);
          if (box == nullptr) return false;
          question = box->text();
          sectors = window.findChild<QLabel*>(QStringLiteral("sectors"))->text();
          SaveShot(&window, "image_window_stop.png");
          ModalScript::Click(box->findChild<QPushButton*>("okbtn"));
          return true;
        },
    });
    code = window.exec();
    QCOMPARE(window.result(), kCancelled);
  }
  QCOMPARE(code, 2);
  QCOMPARE(question, Msg("MSG0306"));
  QVERIFY(QFile::exists(target));
  // At most a few 64 KiB pieces went through before the question.
  QVERIFY2(QFileInfo(target).size() > 0 && QFileInfo(target).size() <= (4 << 20),
           qPrintable(QString::number(QFileInfo(target).size())));
  // The copy was held at its first report, which may or may not have been shown.
  QVERIFY2(sectors == QStringLiteral("Sectors: 0 / 0") || sectors.endsWith(QStringLiteral(" / 49152")),
           qPrintable(sectors));
  // The stopped copy goes on from the map beside it to the whole source.
  QVERIFY(HasUnfinishedImageMap(S(target)));
  {
    CCreateImageProcessWnd window(nullptr, target, source, 0, 0, true);
    QCOMPARE(window.exec(), 1);
    QCOMPARE(window.result(), kOk);
    QCOMPARE(window.badSectors(), uint64_t{0});
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("unreadable"))->text().left(21),
             QStringLiteral("Unreadable sectors: 0"));
  }
  QVERIFY(testing::ReadFileBytes(S(target)) == testing::ReadFileBytes(source));
  QVERIFY(!HasUnfinishedImageMap(S(target)));

  // A whole drive larger than 4 GiB onto FAT32 is refused with MSG0220,
  // and the dialog comes back.
  const std::string big = S(Path("big-drive.img"));
  QVERIFY(testing::MakePartitionedImage(big, 5ull << 30, "label: dos\nstart=2048, size=81920, type=c\n"));
  qputenv("VELMIRA_DRIVES", QByteArray::fromStdString(big));
  CMainWnd wnd;
  qputenv("VELMIRA_DRIVES", QByteArray());
  auto* list = wnd.findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  wnd.ChooseMode(CMainWnd::kModeCreateImage);
  list->setCurrentItem(list->topLevelItem(0));
  QCOMPARE(CMainWnd::KindOf(list->topLevelItem(0)), CMainWnd::kRowDisk);
  int asked = 0;
  QString proposed;
  wnd.SetPathAsker([&](int, const QString& offer) {
    proposed = offer;
    return ++asked == 1 ? Path("on-fat32.img") : QString();
  });
  // This machine's folders are not FAT32: the FAT rule is checked against a
  // FAT32 file system of 70,000 clusters.
  wnd.SetImageTargetCheck(
      [](const std::string&, const std::string&, uint64_t bytes) { return CheckFatTarget(70000, bytes); });
  QString refusal;
  {
    // Ends before the next script starts: two scripts would race for its box.
    ModalScript script({Answer(1, &refusal)});
    QTest::mouseClick(wnd.findChild<QPushButton*>(QStringLiteral("BtnCreateImage")), Qt::LeftButton);
  }
  QCOMPARE(refusal, Msg("MSG0220"));
  QCOMPARE(asked, 2);
  QVERIFY2(proposed.endsWith(QStringLiteral("on-fat32.img")), "the dialog offers the refused name again");
  QVERIFY(!QFile::exists(Path("on-fat32.img")));

  // The drive goes away before the copy: the window closes with 3 and MSG0217 follows.
  QVERIFY(QFile::remove(Q(big)));
  wnd.SetPathAsker([&](int, const QString&) { return Path("after-loss.img"); });
  wnd.SetImageTargetCheck(
      [](const std::string&, const std::string&, uint64_t) { return ImageTargetProblem::kNone; });
  QString failure;
  ModalScript lost({Answer(1, &failure)});
  QTest::mouseClick(wnd.findChild<QPushButton*>(QStringLiteral("BtnCreateImage")), Qt::LeftButton);
  QCOMPARE(failure, Msg("MSG0217"));
  QCOMPARE(wnd.CurrentPage(), CMainWnd::kPageDisks);

  // A copy that fails closes with 3 and says so.
  QFile::remove(Path("gone.img"));
  {
    CCreateImageProcessWnd window(nullptr, Path("failed.img"), S(Path("gone.img")), 0, 0);
    QCOMPARE(window.exec(), 3);
    QCOMPARE(window.result(), kErrFileNotFound);
  }
}

QTEST_MAIN(VelmiraRecoverTest)
#include "velmira_recover_test.moc"
