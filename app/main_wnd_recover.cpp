// The main window's recovery, preview and disk-image flows.
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QTextBlockFormat>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <atomic>

#include "app/create_image_process_wnd.h"
#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview_wnd.h"
#include "app/recover_process_wnd.h"
#include "jobs/media_player.h"
#include "jobs/recovery_destination.h"
#include "platform/child_processes.h"
#include "platform/errors.h"
#include "platform/message_format.h"
#include "ui_disk_page.h"
#include "ui_main_wnd.h"
#include "ui_results_page.h"

namespace velmira {

struct RecoverWndState {
  QString destination;
  CMainWnd::PathAsker asker;
  CMainWnd::ImageTargetCheck targetCheck;
  std::unique_ptr<PlayerWatch> video;
  std::unique_ptr<PlayerWatch> audio;
  std::atomic<bool> videoPlaying{false};
};

void RecoverWndStateDeleter::operator()(RecoverWndState* state) const {
  delete state;
}

namespace {

// How long a sound or video extraction waits after a player was ended, so
// that it has let go of the temporary file.
constexpr uint32_t kPlayerSettleMs = 1000;

// Calls `action` for Enter or Return pressed in the watched widget.
class EnterKeyFilter : public QObject {
 public:
  EnterKeyFilter(QObject* parent, std::function<void()> action)
      : QObject(parent), m_action(std::move(action)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        m_action();
        return true;
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> m_action;
};

const char* TargetProblemMessage(ImageTargetProblem problem) {
  switch (problem) {
    case ImageTargetProblem::kIsSource:
    case ImageTargetProblem::kOnSource:
      return "MSG0218";
    case ImageTargetProblem::kTooLargeForFat32:
      return "MSG0220";
    case ImageTargetProblem::kTooLargeForFat:
      return "MSG0219";
    case ImageTargetProblem::kNoSpace:
      return "MSG0221";
    default:
      return nullptr;
  }
}

}  // namespace

RecoverWndState& CMainWnd::Recover() {
  if (!m_recover) m_recover.reset(new RecoverWndState());
  return *m_recover;
}

QString CMainWnd::destination() const {
  return m_recover ? m_recover->destination : QString();
}

bool CMainWnd::videoPlayerPlaying() const {
  return m_recover && m_recover->videoPlaying.load();
}

void CMainWnd::SetPathAsker(PathAsker asker) {
  Recover().asker = std::move(asker);
}

void CMainWnd::SetImageTargetCheck(ImageTargetCheck check) {
  Recover().targetCheck = std::move(check);
}

// ---- keyboard ------------------------------------------------------------------

void CMainWnd::ConnectKeyboard() {
  // Enter on a row of the disk list acts as a double click; in the image
  // mode it copies the row.
  m_disk->DiskList->installEventFilter(new EnterKeyFilter(m_disk->DiskList, [this] {
    QTreeWidgetItem* row = SelectedRow();
    if (row == nullptr) return;
    if (m_mode == kModeCreateImage && !(KindOf(row) == kRowDisk && row->childCount() > 0)) {
      OnCreateImage();
    } else {
      m_diskPage->ActivateRow(row);
    }
  }));
  // The disk page in reading order, then the footer.
  QWidget* order[] = {m_disk->DiskList, m_disk->BtnLoadImage, m_disk->BtnCreateImage, m_disk->BtnDeepScan,
                      m_ui->BtnPrev,    m_ui->BtnNext,        m_ui->BtnScan,          m_ui->BtnRecover};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

// ---- recovery --------------------------------------------------------------------

void CMainWnd::StartRecovery(std::vector<FoundRecord> files, std::vector<RecoverySource> sources) {
  RecoverWndState& state = Recover();
  // The areas the files come from: saving onto one of them may overwrite
  // what is still to be recovered, so a folder there is refused.
  std::vector<const PartitionRecord*> partitions;
  std::vector<ScannedArea> areas;
  for (const auto& source : m_diskPage->sources()) {
    const bool scanned = std::any_of(sources.begin(), sources.end(), [&](const RecoverySource& s) {
      return s.engine != nullptr && s.key == source->SourceKey();
    });
    if (!scanned) continue;
    if (source->IsImage()) {
      areas.push_back(ScannedAreaOf(source->imagePath, 0, 0));
    } else {
      partitions.push_back(&*source->partition);
      areas.push_back(ScannedAreaOf(*source->partition));
    }
  }

  QString folder;
  // Asked until the folder can take the files or the user gives up; the
  // results stay as they are meanwhile.
  for (;;) {
    const QString start = state.destination.isEmpty() ? QDir::homePath() : state.destination;
    folder = state.asker ? state.asker(kPathRecoveryFolder, start)
                         : QFileDialog::getExistingDirectory(this, WindowText("StrRecoveryFolder"), start,
                                                             QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return;
    if (folder.size() > 1 && (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'))))
      folder.chop(1);
    state.destination = folder;
    const bool onPartition = std::any_of(partitions.begin(), partitions.end(), [&](const PartitionRecord* p) {
      return DestinationOnPartition(S(folder), *p);
    });
    const DestinationCheck check = onPartition ? DestinationCheck{DestinationProblem::kOnScannedSource, {}, 0}
                                               : CheckRecoveryDestination(S(folder), areas);
    if (check.problem == DestinationProblem::kNone) break;
    const QString text =
        check.problem == DestinationProblem::kOnScannedSource
            ? Q(FormatText(S(Message("MSG0806")), {S(folder)}))
            : Q(FormatText(S(Message("MSG0810")),
                           {S(folder), S(ErrorTextIn(LanguageManager::Instance().GetSection("Errors"),
                                                     check.error, ErrorText(check.error)))}));
    CMessageBox::Show(CMessageBox::kInformation, this, text);
  }

  CRecoverProcessWnd window(this, folder, std::move(sources), std::move(files));
  (void)window.exec();  // the window reports its own outcome; its dialog code says nothing more
}

// ---- preview ---------------------------------------------------------------------

void CMainWnd::StartPreview(const FoundRecord& record, IFileRecoveryParse* engine) {
  QTextBrowser* edit = m_found->PreviewEdit;
  edit->clear();
  if (record.isFolder != 0) {
    edit->setPlainText(Message("MSG0904"));
    return;
  }
  RecoverWndState& state = Recover();
  // A new preview always ends the players of the previous one.
  const bool playerRan = (state.video && !state.video->Ended()) || (state.audio && !state.audio->Ended());
  state.video.reset();
  state.audio.reset();
  state.videoPlaying.store(false);
  const bool othersRan = EndRememberedProcesses() > 0;

  CPreviewWnd preview(record, engine, playerRan || othersRan ? kPlayerSettleMs : 0);
  if (preview.Run(this) != CPreviewProcessWnd::kClosedExtracted) return;
  ShowPreviewResult(preview);
}

void CMainWnd::ShowPreviewResult(CPreviewWnd& preview) {
  const PreviewState& result = preview.state();
  QTextBrowser* edit = m_found->PreviewEdit;
  // An extraction that failed is said, for sound and video as for pictures.
  if (preview.result().IsFailure()) {
    edit->setPlainText(Message("MSG0905"));
    SetPreviewFile(QString());
    return;
  }
  const QString output = Q(result.output);
  if (result.IsPicture() || output.isEmpty()) {
    SetPreviewFile(output);
    if (!result.IsPicture()) return;
    const QSize viewport = edit->viewport()->size();
    const QSize fit(std::max(viewport.width(), 200) - 16, std::max(viewport.height(), 150) - 16);
    const QImage picture = output.isEmpty() ? QImage() : CPreviewWnd::DecodePicture(output, fit);
    if (picture.isNull()) {
      edit->setPlainText(Message("MSG0905"));
      return;
    }
    QTextDocument* document = edit->document();
    const QUrl name(QStringLiteral("velmira-preview:picture"));
    document->addResource(QTextDocument::ImageResource, name, picture);
    QTextCursor cursor(document);
    QTextBlockFormat centre;
    centre.setAlignment(Qt::AlignHCenter);
    cursor.setBlockFormat(centre);
    QTextImageFormat image;
    image.setName(name.toString());
    image.setWidth(picture.width());
    image.setHeight(picture.height());
    cursor.insertImage(image);
    return;
  }

  RecoverWndState& state = Recover();
  const PlayerSettings players = ReadPlayerSettings(LanguageManager::Instance().SettingsPathFor("Players"));
  if (result.audio) {
    state.audio = std::make_unique<PlayerWatch>(players.audio, result.output, false, nullptr);
    if (state.audio->StartError() != 0) {
      state.audio.reset();
      CMessageBox::Show(CMessageBox::kInformation, this, Message("MSG1211"));
    }
    return;
  }
  state.video = std::make_unique<PlayerWatch>(players.video, result.output, true, [this](bool playing) {
    QMetaObject::invokeMethod(
        this,
        [this, playing] {
          if (playing) {
            Recover().videoPlaying.store(true);
          } else {
            CMessageBox::Show(CMessageBox::kInformation, this, Message("MSG1207"));
          }
        },
        Qt::QueuedConnection);
  });
}

// ---- disk image --------------------------------------------------------------------

void CMainWnd::CreateImage() {
  QTreeWidgetItem* row = SelectedRow();
  const RowKind kind = KindOf(row);
  ScanSource* source = SourceOf(row);
  if (row == nullptr || kind == kRowImageGroup) {
    CMessageBox::Show(CMessageBox::kInformation, this, Message("MSG0216"));
    return;
  }

  // What to copy, and the file name offered for it.
  std::string sourcePath;
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;  // 0: to the end
  uint64_t bytes = 0;
  QString proposed;
  if (kind == kRowPartition && source != nullptr && source->partition.has_value()) {
    const PartitionRecord& part = *source->partition;
    sourcePath = DriveOfRow(row).path;
    startSector = part.startSector;
    sectorCount = part.sectorCount;
    bytes = part.totalBytes != 0 ? part.totalBytes : part.sectorCount * 512;
    proposed = Q(FormatText(
        "%d (%s, %s)",
        {unsigned{part.letterOrNumber}, part.fileSystemName.empty() ? std::string("-") : part.fileSystemName,
         FormatSize(static_cast<int64_t>(std::min<uint64_t>(part.totalBytes, INT64_MAX)))}));
  } else if (kind == kRowImage && source != nullptr) {
    sourcePath = source->imagePath;
    bytes = static_cast<uint64_t>(QFileInfo(Q(sourcePath)).size());
    proposed = Q(FormatText(S(Message("MSG0223")), {S(QFileInfo(Q(sourcePath)).completeBaseName())}));
  } else {
    const DriveInfo drive = DriveOfRow(row);
    sourcePath = drive.path;
    bytes = drive.length;
    proposed = Q(FormatText(S(Message("MSG0222")), {drive.diskNumber + 1}));
  }
  proposed.replace(QLatin1Char('/'), QLatin1Char('_'));
  proposed = QDir::homePath() + QLatin1Char('/') + proposed + QStringLiteral(".img");

  RecoverWndState& state = Recover();
  QString target;
  for (;;) {
    if (state.asker) {
      target = state.asker(kPathImageFile, proposed);
    } else {
      QFileDialog dialog(this, m_disk->BtnCreateImage->text(), proposed,
                         WindowText("StrImageFilter") + QStringLiteral(" (*.img)"));
      dialog.setAcceptMode(QFileDialog::AcceptSave);
      dialog.setFileMode(QFileDialog::AnyFile);
      dialog.setDefaultSuffix(QStringLiteral("img"));
      dialog.selectFile(proposed);
      target = dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
    }
    if (target.isEmpty()) return;
    proposed = target;
    const ImageTargetProblem problem = state.targetCheck ? state.targetCheck(sourcePath, S(target), bytes)
                                                         : CheckImageTarget(sourcePath, S(target), bytes);
    if (problem == ImageTargetProblem::kNone) break;
    const char* id = TargetProblemMessage(problem);
    CMessageBox::Show(CMessageBox::kInformation, this,
                      id != nullptr ? Message(id) : Q(ErrorText(kErrAccessDenied)));
  }

  // A copy into this file that was stopped can go on where it stopped.
  const bool resume = HasUnfinishedImageMap(S(target)) &&
                      CMessageBox::Show(CMessageBox::kQuestion, this, Message("MSG0309")) == CMessageBox::kOk;

  int code = 0;
  uint64_t unreadable = 0;
  {
    CCreateImageProcessWnd window(this, target, sourcePath, startSector, sectorCount, resume);
    code = window.exec();
    unreadable = window.badSectors();
  }
  if (code == CCreateImageProcessWnd::kClosedFailed) {
    CMessageBox::Show(CMessageBox::kInformation, this, Message("MSG0217"));
    return;
  }
  if (code == CCreateImageProcessWnd::kClosedComplete && unreadable != 0)
    CMessageBox::Show(CMessageBox::kWarning, this,
                      Q(FormatText(S(Message(unreadable == 1 ? "MSG0311" : "MSG0310")).c_str(),
                                   {static_cast<unsigned long long>(unreadable), ImageMapPath(S(target))})));
  if (CMessageBox::Show(CMessageBox::kQuestion, this, Message("MSG0214")) != CMessageBox::kOk) return;
  ChooseMode(kModeRecover);
  if (!AddImageSource(target)) return;
  m_diskPage->SelectLastRow();
  SelectPage(kPageFileType);
}

}  // namespace velmira
