// The disk page ("PageDisks"): the list of drives, their partitions and
// free space, whole drives and loaded image files, the facts of the selected
// row, and the buttons that load an image, copy a drive into one and open
// the file-type page. The page owns the scannable sources of its rows and
// keeps the list up to date when devices come and go; the main window
// answers its buttons.
#pragma once

#include <QList>
#include <QWidget>
#include <memory>
#include <vector>

#include "jobs/disk_list.h"
#include "jobs/scan_source.h"
#include "platform/language_manager.h"

namespace Ui {
class DiskPage;
}
class QLabel;
class QTimer;
class QTreeWidgetItem;

namespace velmira {

class DeviceMonitor;

class CDiskPage : public QWidget {
  Q_OBJECT

 public:
  enum FillMode { kFillFirst = 0, kFillArrival = 1, kFillRemoval = 2 };
  enum RowKind { kRowNone = 0, kRowDisk = 1, kRowPartition = 2, kRowImageGroup = 3, kRowImage = 4 };
  Q_ENUM(FillMode)
  Q_ENUM(RowKind)

  explicit CDiskPage(QWidget* parent = nullptr);
  ~CDiskPage() override;

  // The page's controls, by their object names.
  [[nodiscard]] Ui::DiskPage& ui() const { return *m_ui; }

  // The messages and the main window's texts the rows and facts are made of.
  void SetTexts(const TextSection& messages, const TextSection& texts);

  // Fills the list: at start-up (all drives), after a device arrived
  // (drives without a row), after one was removed (drops the rows of drives
  // whose regions are gone; their sources are released).
  void FillDiskList(FillMode fillMode);
  // Adds an image file as a source. False (with a message) when the file
  // cannot be read.
  bool AddImageSource(const QString& path);
  [[nodiscard]] const std::vector<std::shared_ptr<ScanSource>>& sources() const { return m_sources; }
  // The shared owner of a listed source, or null.
  [[nodiscard]] std::shared_ptr<ScanSource> SharedSource(const ScanSource* source) const;

  // The row's kind and source (partition and image rows have one).
  [[nodiscard]] static RowKind KindOf(const QTreeWidgetItem* row);
  [[nodiscard]] static ScanSource* SourceOf(const QTreeWidgetItem* row);
  // What a scan of a row takes: its own source, or its children's in order.
  [[nodiscard]] static std::vector<ScanSource*> SourcesOfRow(const QTreeWidgetItem* row);
  [[nodiscard]] QTreeWidgetItem* SelectedRow() const;
  // The drive of a disk row or of one of its children.
  [[nodiscard]] DriveInfo DriveOfRow(const QTreeWidgetItem* row) const;

  // Shows or hides the image files (hidden while a drive is copied into an
  // image) and selects the row a new choice starts on: the first partition
  // of a removable drive, else the second row.
  void ApplyMode(bool imageRowsShown);
  // Rewrites every row's texts and the facts of the selected row (after a
  // language switch).
  void RewriteTexts();
  // Double click or Enter on a row: a drive row with partitions opens or
  // closes; any other row is activated (rowActivated).
  void ActivateRow(QTreeWidgetItem* row);
  // Selects the last visible row (a newly added image).
  void SelectLastRow();

 signals:
  // The selection changed (row may be null); the facts are shown.
  void selectionChanged(QTreeWidgetItem* row);
  // Rows came or went; what the selection can scan may have changed.
  void rowsChanged();
  // The row of `source` went with its device: whoever holds the source
  // marks it gone. Emitted before the page lets go of it.
  void sourceReleased(const ScanSource* source);
  void rowActivated(QTreeWidgetItem* row);

 private:
  void AddDiskRows(const DiskSnapshot& snapshot, int32_t disk);
  void SetDiskRowTexts(QTreeWidgetItem* row, const DriveInfo& drive);
  void SetRegionRowTexts(QTreeWidgetItem* row, const PartitionRecord& record, const std::string& drivePath);
  [[nodiscard]] QTreeWidgetItem* ImageGroupRow(bool create);
  void RemoveDiskRow(QTreeWidgetItem* row);
  void RefreshKeptRows(const DiskSnapshot& fresh);
  void RewriteRowTexts();
  void FitColumns();
  void ReleaseSource(const ScanSource* source);
  void OnSelection();
  void FillFacts(const QTreeWidgetItem* row);
  [[nodiscard]] QList<QTreeWidgetItem*> VisibleRows() const;

  std::unique_ptr<Ui::DiskPage> m_ui;
  std::vector<QLabel*> m_factLabels;
  std::vector<std::shared_ptr<ScanSource>> m_sources;
  DiskSnapshot m_snapshot;
  TextSection m_messages;
  TextSection m_texts;
  uint32_t m_imageKeyCounter = kFirstImageKeyCounter;
  bool m_imageRowsShown = true;
  QTimer* m_arrivalTimer = nullptr;
  QTimer* m_removalTimer = nullptr;
  DeviceMonitor* m_devices = nullptr;
};

}  // namespace velmira
