// The results page ("PageRecover"): the tree of found types and folders,
// the file list with its checked set and sorting, the preview area and the
// banner about unread sectors. The page runs a scan and its collection
// through their windows, owns the scan session it shows, and tells the main
// window through signals what the user asked for (a preview, a recovery)
// and when the shown files or the checked set changed.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "jobs/recovery_job.h"
#include "jobs/scan_job.h"
#include "jobs/scan_source.h"
#include "jobs/search_job.h"
#include "platform/language_manager.h"

namespace Ui {
class ResultsPage;
}
class QTreeWidgetItem;

namespace velmira {

class ScanSession;

class CResultsPage : public QWidget {
  Q_OBJECT

 public:
  explicit CResultsPage(QWidget* parent = nullptr);
  ~CResultsPage() override;

  // The page's controls, by their object names.
  [[nodiscard]] Ui::ResultsPage& ui() const { return *m_ui; }

  // What the type page offers when a collection starts and ends: its options
  // with their current selection and labels, and whether "Others" is ticked.
  struct TypeChoice {
    std::vector<TypeOption> options;
    bool others = false;
  };
  using TypeChoiceSource = std::function<TypeChoice()>;
  void SetTypeChoiceSource(TypeChoiceSource source) { m_typeChoice = std::move(source); }

  // The messages and the main window's texts (the list's headers, the
  // "Folders" node); every label is written again.
  void SetTexts(const TextSection& messages, const TextSection& texts);

  // How the scan window builds engines (tests hand in their own).
  void SetEngineBuilder(EngineBuilder builder);

  // Scans `sources` under the scan window, then collects the offered types
  // under the collection window and shows them. The page's files stay as
  // they are until the new scan has found something.
  void RunScan(std::vector<std::shared_ptr<ScanSource>> sources, bool deep);
  // A device went: the sources of the shown (or running) scan are marked
  // gone, not freed.
  void MarkSourceGone(const ScanSource* source);

  // What the page shows: the last scan's sources, engines and files (null
  // before the first scan). The recovery and preview windows hold it while
  // they run.
  [[nodiscard]] std::shared_ptr<ScanSession> session() const;
  // The files collected after the last scan.
  [[nodiscard]] const std::vector<FoundRecord>& collectedFiles() const;
  [[nodiscard]] int collectedCount() const;
  // The checked files, in the checked set's order, and their bytes.
  [[nodiscard]] std::vector<FoundRecord> CheckedFiles() const;
  [[nodiscard]] size_t checkedCount() const;
  [[nodiscard]] uint64_t checkedBytes() const;
  // The record of the file list's current row, or null.
  [[nodiscard]] const FoundRecord* SelectedFileRecord() const;
  // The engine that found a record (matched by its source key among the
  // sources of the last scan), or null.
  [[nodiscard]] IFileRecoveryParse* EngineOfRecord(const FoundRecord& record) const;
  // Milliseconds the last results took from the collection's end to a filled list.
  [[nodiscard]] qint64 lastResultsMs() const;

  // "BtnRecover": the checked files through the session's live engines
  // (recoverRequested), after a warning about those of a removed device.
  void RecoverChecked();

 signals:
  // A scan's end and its collection's end (before the page takes them up).
  void scanFinished();
  void collectionFinished();
  // The page now shows a new scan (its files follow after the collection).
  void sessionChanged();
  // The collected files are counted and grouped: the page is to be shown.
  void resultsReady();
  // The checked set changed.
  void checkedChanged();
  // A file selected in the list is to be previewed by `engine` (null: none).
  void previewRequested(const FoundRecord& record, IFileRecoveryParse* engine);
  // The checked files are to be recovered from these sources.
  void recoverRequested(const std::vector<FoundRecord>& files, const std::vector<RecoverySource>& sources);

 private:
  [[nodiscard]] QString Message(const char* id) const;
  [[nodiscard]] QString WindowText(const char* key) const;
  [[nodiscard]] TypeChoice CurrentTypeChoice() const;

  void PreviewSelected();
  // The scan window's and the collection window's end, handled once their
  // modal loop has ended.
  void OnScanEnded();
  void OnCollectionEnded();
  void OnScanFinished();
  void OnCollectionFinished();
  // Shows above the file list how many sectors the last scan could not
  // read, or hides the banner when it read them all.
  void ShowUnreadBanner();
  void RebuildTypeTree();
  void RelabelTypeTree();
  void SizeFileListColumns();
  void OnTypeTreeSelection();
  void OnTypeTreeItemChanged(QTreeWidgetItem* item);
  void OnFolderExpanded(QTreeWidgetItem* item);
  // The source of a folder-view node while it can still be read, else null.
  [[nodiscard]] ScanSource* LiveSourceOfNode(const QTreeWidgetItem* node) const;
  void OnFileListHeaderClick(int column);
  void OnCheckAll();
  // "ChkAllListSel" and the type tree's boxes: ticked, partly ticked or
  // clear as the files below them are.
  void ShowCheckStates();
  void SetFileChecked(const FoundRecord& record, bool checked);
  void ShowRows(std::vector<const FoundRecord*> rows);

  struct State;
  struct StateDeleter {
    void operator()(State* state) const;
  };

  std::unique_ptr<Ui::ResultsPage> m_ui;
  std::unique_ptr<State, StateDeleter> m_state;
  TextSection m_messages;
  TextSection m_texts;
  TypeChoiceSource m_typeChoice;
};

}  // namespace velmira
