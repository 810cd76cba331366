// The main window: four pages in "TabPage" (the start page of its own
// layout, then CDiskPage, CFileTypePage and CResultsPage) with their banners
// and footers, the assist menu, and the flows between them: scanning a
// disk-page row (the results page runs the scan and shows what it found),
// recovering, previewing and copying a drive into an image.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "app/disk_page.h"
#include "jobs/recovery_job.h"
#include "jobs/scan_job.h"
#include "jobs/scan_source.h"
#include "jobs/search_job.h"
#include "storage/disk_image_copy.h"

namespace Ui {
class MainWnd;
class DiskPage;
class FileTypePage;
class ResultsPage;
}  // namespace Ui
class QCheckBox;
class QMenu;
class QTreeWidgetItem;

namespace velmira {

class CPreviewWnd;
class CFileTypePage;
class CResultsPage;
class ScanSession;
struct RecoverWndState;
struct RecoverWndStateDeleter {
  void operator()(RecoverWndState* state) const;
};

class CMainWnd : public QWidget {
  Q_OBJECT

 public:
  enum Page { kPageStart = 0, kPageDisks = 1, kPageFileType = 2, kPageRecover = 3 };
  enum Mode { kModeRecover = 0, kModeCreateImage = 1 };
  Q_ENUM(Page)
  Q_ENUM(Mode)
  // The disk page's, for the callers of the window.
  using FillMode = CDiskPage::FillMode;
  using RowKind = CDiskPage::RowKind;
  static constexpr FillMode kFillFirst = CDiskPage::kFillFirst;
  static constexpr FillMode kFillArrival = CDiskPage::kFillArrival;
  static constexpr FillMode kFillRemoval = CDiskPage::kFillRemoval;
  static constexpr RowKind kRowNone = CDiskPage::kRowNone;
  static constexpr RowKind kRowDisk = CDiskPage::kRowDisk;
  static constexpr RowKind kRowPartition = CDiskPage::kRowPartition;
  static constexpr RowKind kRowImageGroup = CDiskPage::kRowImageGroup;
  static constexpr RowKind kRowImage = CDiskPage::kRowImage;

  // The text of "BtnNext" on the disk page without a usable selection when
  // the language file has no MSG0506.
  static constexpr const char* kSelectDiskText = "Please select disk media for next step!";

  explicit CMainWnd(QWidget* parent = nullptr);
  ~CMainWnd() override;

  // The disk page's list (see CDiskPage::FillDiskList).
  void FillDiskList(FillMode fillMode);
  // Adds an image file as a source, as "BtnLoadImage" does after its dialog.
  // False (with a message) when the file cannot be read.
  bool AddImageSource(const QString& path);

  // Shows a page as its option in the top bar does.
  void SelectPage(Page page);
  // "BtnRecoverMode" / "BtnCreateImageMode": the mode, a row chosen for it,
  // then the disk page.
  void ChooseMode(Mode mode);

  [[nodiscard]] Page CurrentPage() const;
  [[nodiscard]] Mode mode() const { return m_mode; }
  [[nodiscard]] bool sourceChosen() const { return m_sourceChosen; }
  [[nodiscard]] bool scanFromTypePage() const { return m_scanFromTypePage; }
  // The scan kind handed to every scan job (true: the combined deep scan).
  [[nodiscard]] bool deep() const { return m_deep; }
  // Whether a scan window is open.
  [[nodiscard]] bool busy() const { return m_busy; }
  [[nodiscard]] const std::vector<std::shared_ptr<ScanSource>>& sources() const;
  // What the results page shows: the last scan's sources, engines and
  // files (null before the first scan). The recovery and preview windows
  // hold it while they run.
  [[nodiscard]] std::shared_ptr<ScanSession> session() const;

  // The row's kind and source (partition and image rows have one).
  [[nodiscard]] static RowKind KindOf(const QTreeWidgetItem* row) { return CDiskPage::KindOf(row); }
  [[nodiscard]] static ScanSource* SourceOf(const QTreeWidgetItem* row) { return CDiskPage::SourceOf(row); }
  // What a scan of a row takes: its own source, or its children's in order.
  [[nodiscard]] static std::vector<ScanSource*> SourcesOfRow(const QTreeWidgetItem* row) {
    return CDiskPage::SourcesOfRow(row);
  }

  // Receives the sources of a scan that "BtnScan" starts (the scan window).
  using ScanHandler = std::function<void(const std::vector<ScanSource*>&)>;
  void SetScanHandler(ScanHandler handler) { m_scanHandler = std::move(handler); }

  // The picture file of the last preview; deleted when the window goes.
  void SetPreviewFile(const QString& path) { m_previewFile = path; }

  // ---- recovering, previewing, imaging (main_wnd_recover.cpp) ----
  // "BtnRecover": asks for the destination folder (again after a refusal:
  // a folder on a scanned partition or image, or one that cannot be
  // written), then runs the recovery window over `files`, each recovered by
  // the engine of the source whose key it carries.
  void StartRecovery(std::vector<FoundRecord> files, std::vector<RecoverySource> sources);
  // A file selected in the results: extracts it by `engine` under the
  // preview window, then shows a picture in "PreviewEdit" or hands sound
  // and video to the players of config.ini. The players of the previous
  // preview are ended first.
  void StartPreview(const FoundRecord& record, IFileRecoveryParse* engine);
  // "BtnCreateImage" on the selected row.
  void CreateImage();
  // The last recovery folder.
  [[nodiscard]] QString destination() const;
  // Whether the last video player has printed its progress.
  [[nodiscard]] bool videoPlayerPlaying() const;

  // What the file dialogs answer; tests replace them. An empty answer is a cancel.
  enum PathPurpose { kPathRecoveryFolder = 0, kPathImageFile = 1 };
  using PathAsker = std::function<QString(PathPurpose purpose, const QString& proposed)>;
  void SetPathAsker(PathAsker asker);
  // The target check before an image copy (CheckImageTarget unless replaced).
  using ImageTargetCheck =
      std::function<ImageTargetProblem(const std::string& source, const std::string& target, uint64_t bytes)>;
  void SetImageTargetCheck(ImageTargetCheck check);

  // The language was switched: every text again (queued by the menu).
  void ApplyLanguage();

  // ---- the results page's, for the callers of the window (main_wnd_results.cpp) ----
  // How the scan window builds engines (tests hand in their own).
  void SetEngineBuilder(EngineBuilder builder);
  // The files of the offered types collected after the last scan.
  [[nodiscard]] const std::vector<FoundRecord>& collectedFiles() const;
  // The checked files, in the checked set's order.
  [[nodiscard]] std::vector<FoundRecord> CheckedFiles() const;
  // The record of the file list's current row, or null.
  [[nodiscard]] const FoundRecord* SelectedFileRecord() const;
  // The engine that found a record (matched by its source key among the
  // sources of the last scan), or null.
  [[nodiscard]] IFileRecoveryParse* EngineOfRecord(const FoundRecord& record) const;
  // The type page's options with their current selection.
  [[nodiscard]] std::vector<TypeOption> TypeOptions() const;
  // Milliseconds the last results took from the collection's end to a filled list.
  [[nodiscard]] qint64 lastResultsMs() const;

 signals:
  // A scan's end and its collection's end, as the main window takes them up.
  void scanFinished();
  void collectionFinished();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Pages and texts.
  void ShowPage(Page page);
  void SetPageTexts(Page page);
  void SetTabScanLook();
  void SetBanner(const QString& background, const QString& logo, const QString& colour);
  void LoadTexts();
  void OnNext();
  void OnPrev();
  void OnScan();
  void OnCreateImage();
  void OnLoadImage();
  void OnAssist();
  RecoverWndState& Recover();
  void ConnectKeyboard();
  void ShowPreviewResult(CPreviewWnd& preview);
  [[nodiscard]] QString Message(const char* id) const;
  [[nodiscard]] QString WindowText(const char* key) const;

  // The disk page's selection and what "BtnScan" can scan.
  void OnDiskSelection(QTreeWidgetItem* row);
  void OnDiskRowActivated();
  void UpdateScanButton();
  [[nodiscard]] QTreeWidgetItem* SelectedRow() const { return m_diskPage->SelectedRow(); }
  [[nodiscard]] DriveInfo DriveOfRow(const QTreeWidgetItem* row) const { return m_diskPage->DriveOfRow(row); }

  // The type page's options and the results page's wiring (main_wnd_results.cpp).
  void SetUpResults();
  // The footer below the results: the checked files' count and size, and
  // whether "BtnRecover" can be pressed.
  void UpdateSelectedFileInfo();

  std::unique_ptr<Ui::MainWnd> m_ui;
  // The pages after the start page, and their controls.
  CDiskPage* m_diskPage = nullptr;
  CFileTypePage* m_typePage = nullptr;
  CResultsPage* m_resultsPage = nullptr;
  Ui::DiskPage* m_disk = nullptr;
  Ui::FileTypePage* m_types = nullptr;
  Ui::ResultsPage* m_found = nullptr;
  // The type page's options, completed beyond the layout's, and their boxes.
  std::vector<TypeOption> m_typeOptions;
  std::vector<QCheckBox*> m_optionBoxes;
  TextSection m_messages;
  TextSection m_texts;
  Mode m_mode = kModeRecover;
  bool m_deep = true;
  bool m_sourceChosen = false;
  bool m_scanFromTypePage = false;
  bool m_busy = false;
  ScanHandler m_scanHandler;
  QString m_previewFile;
  // The assist menu, kept from one opening to the next, and the language it
  // was built in.
  QMenu* m_assistMenu = nullptr;
  std::string m_assistMenuLanguage;
  std::unique_ptr<RecoverWndState, RecoverWndStateDeleter> m_recover;
};

}  // namespace velmira
