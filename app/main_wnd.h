// The main window: four pages in "TabPage" (start, disks, file types,
// results) with their banners and footers, the assist menu, and the disk
// list of drives, partitions, unallocated space, whole drives and loaded
// image files, kept up to date when devices come and go.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "jobs/disk_list.h"
#include "jobs/recovery_job.h"
#include "jobs/scan_job.h"
#include "jobs/scan_source.h"
#include "jobs/search_job.h"
#include "storage/disk_image_copy.h"

namespace Ui {
class MainWnd;
}
class QTimer;
class QTreeWidgetItem;
class QLabel;

namespace velmira {

class DeviceMonitor;
class CPreviewWnd;
struct RecoverWndState;
struct RecoverWndStateDeleter {
  void operator()(RecoverWndState* state) const;
};

class CMainWnd : public QWidget {
  Q_OBJECT

 public:
  enum Page { kPageStart = 0, kPageDisks = 1, kPageFileType = 2, kPageRecover = 3 };
  enum Mode { kModeRecover = 0, kModeCreateImage = 1 };
  enum FillMode { kFillFirst = 0, kFillArrival = 1, kFillRemoval = 2 };
  enum RowKind { kRowNone = 0, kRowDisk = 1, kRowPartition = 2, kRowImageGroup = 3, kRowImage = 4 };

  // The fixed text of "BtnNext" on the disk page without a usable selection.
  static constexpr const char* kSelectDiskText = "Please select disk media for next step!";

  explicit CMainWnd(QWidget* parent = nullptr);
  ~CMainWnd() override;

  // Fills the disk list: at start-up (all drives), after a device arrived
  // (drives without a row), after one was removed (drops the rows of drives
  // whose regions are gone).
  void FillDiskList(int fillMode);
  // Adds an image file as a source, as "BtnLoadImage" does after its dialog.
  // False (with a message) when the file cannot be read.
  bool AddImageSource(const QString& path);

  // Shows a page as its option in the top bar does.
  void SelectPage(int page);
  // "BtnRecoverMode" / "BtnCreateImageMode": the mode, a row chosen for it,
  // then the disk page.
  void ChooseMode(int mode);

  [[nodiscard]] int CurrentPage() const;
  [[nodiscard]] int mode() const { return m_mode; }
  [[nodiscard]] bool sourceChosen() const { return m_sourceChosen; }
  [[nodiscard]] bool scanFromTypePage() const { return m_scanFromTypePage; }
  // The scan kind handed to every scan job (1: the combined deep scan).
  [[nodiscard]] bool deep() const { return m_deep; }
  // Whether a scan window is open.
  [[nodiscard]] bool busy() const { return m_busy; }
  [[nodiscard]] const std::vector<std::unique_ptr<ScanSource>>& sources() const { return m_sources; }

  // The row's kind and source (partition and image rows have one).
  [[nodiscard]] static int KindOf(const QTreeWidgetItem* row);
  [[nodiscard]] static ScanSource* SourceOf(const QTreeWidgetItem* row);
  // What a scan of a row takes: its own source, or its children's in order.
  [[nodiscard]] static std::vector<ScanSource*> SourcesOfRow(const QTreeWidgetItem* row);

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

  // What the file dialogs answer; tests replace them. `purpose` is one of
  // PathPurpose; an empty answer is a cancel.
  enum PathPurpose { kPathRecoveryFolder = 0, kPathImageFile = 1 };
  using PathAsker = std::function<QString(int purpose, const QString& proposed)>;
  void SetPathAsker(PathAsker asker);
  // The target check before an image copy (CheckImageTarget unless replaced).
  using ImageTargetCheck = std::function<ImageTargetProblem(const std::string& source,
                                                            const std::string& target, uint64_t bytes)>;
  void SetImageTargetCheck(ImageTargetCheck check);

  // ---- scans, collection and the results page (main_wnd_results.cpp) ----
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
  // Milliseconds the last results took from notification 1026 to a filled list.
  [[nodiscard]] qint64 lastResultsMs() const;

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Pages and texts.
  void ShowPage(int page);
  void SetPageTexts(int page);
  void SetTabScanLook();
  void SetBanner(const QString& background, const QString& logo, const QString& colour);
  void UpdateSelectedFileInfo();
  void LoadTexts();
  void OnLanguageSwitched();
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

  // Disk list.
  void AddDiskRows(const DiskSnapshot& snapshot, int32_t disk);
  void SetDiskRowTexts(QTreeWidgetItem* row, const DriveInfo& drive);
  void SetRegionRowTexts(QTreeWidgetItem* row, const PartitionRecord& record, const std::string& drivePath);
  [[nodiscard]] QTreeWidgetItem* ImageGroupRow(bool create);
  void RemoveDiskRow(QTreeWidgetItem* row);
  void RefreshKeptRows(const DiskSnapshot& fresh);
  void RewriteRowTexts();
  void ReleaseSource(const ScanSource* source);
  void OnDiskSelection();
  void FillFacts(const QTreeWidgetItem* row);
  void OnDiskDoubleClick(QTreeWidgetItem* row);
  void ApplyModeToList();
  [[nodiscard]] QList<QTreeWidgetItem*> VisibleRows() const;
  [[nodiscard]] QTreeWidgetItem* SelectedRow() const;
  void UpdateScanButton();
  [[nodiscard]] DriveInfo DriveOfRow(const QTreeWidgetItem* row) const;

  // Results page (main_wnd_results.cpp).
  struct Results;
  struct ResultsDeleter {
    void operator()(Results* results) const;
  };
  void SetUpResults();
  void ApplyResultTexts();
  void RunScanWindow(const std::vector<ScanSource*>& list);
  bool HandleJobNotification(int type);
  void OnScanFinished();
  void OnCollectionFinished();
  // Shows above the file list how many sectors the last scan could not
  // read, or hides the banner when it read them all.
  void ShowUnreadBanner();
  void RebuildTypeTree();
  void OnTypeTreeSelection();
  void OnTypeTreeItemChanged(QTreeWidgetItem* item);
  void OnFolderExpanded(QTreeWidgetItem* item);
  void OnFileListHeaderClick(int column);
  void OnCheckAll(bool checked);
  void SetFileChecked(const FoundRecord& record, bool checked);
  void ShowRows(std::vector<const FoundRecord*> rows);

  std::unique_ptr<Ui::MainWnd> m_ui;
  std::unique_ptr<Results, ResultsDeleter> m_results;
  std::vector<QLabel*> m_factLabels;
  std::vector<std::unique_ptr<ScanSource>> m_sources;
  DiskSnapshot m_snapshot;
  TextSection m_messages;
  TextSection m_texts;
  uint32_t m_imageKeyCounter = kFirstImageKeyCounter;
  int m_mode = kModeRecover;
  int m_deep = 1;
  bool m_sourceChosen = false;
  bool m_scanFromTypePage = false;
  bool m_busy = false;
  ScanSource* m_currentSource = nullptr;
  QTimer* m_arrivalTimer = nullptr;
  QTimer* m_removalTimer = nullptr;
  DeviceMonitor* m_devices = nullptr;
  ScanHandler m_scanHandler;
  QString m_previewFile;
  int m_collectedCount = 0;
  std::unique_ptr<RecoverWndState, RecoverWndStateDeleter> m_recover;
};

}  // namespace velmira
