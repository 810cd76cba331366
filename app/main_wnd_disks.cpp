// The disk list of the main window: rows, sources, facts and device events.
#include <QIcon>
#include <QTreeWidget>
#include <algorithm>
#include <set>

#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "ui_main_wnd.h"

namespace velmira {
namespace {

constexpr int kKindRole = 0x0100 + 1;    // RowKind
constexpr int kSourceRole = 0x0100 + 2;  // ScanSource*, as an integer
constexpr int kPathRole = 0x0100 + 3;    // disk rows and their children: the drive's path
constexpr int kRowHeight = 30;
constexpr int kColumns = 4;

void SetRowTexts(QTreeWidgetItem* row, const RowTexts& texts) {
  row->setText(0, Q(texts.name));
  row->setText(1, Q(texts.type));
  row->setText(2, Q(texts.size));
  row->setText(3, Q(texts.mount));
  row->setToolTip(0, Q(texts.name));
  row->setToolTip(3, Q(texts.mount));
  row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  for (int c = 0; c < kColumns; ++c) row->setSizeHint(c, QSize(0, kRowHeight));
}

uint64_t ImageSize(const std::string& path) {
  FileHandle handle;
  uint64_t size = 0;
  if (OpenReadOnly(path, handle) != kOk || QueryDriveLength(handle, size) != kOk) return 0;
  return size;
}

QString RegionIcon(const PartitionRecord& record, bool removable) {
  if (record.kind == RegionKind::kUnallocated) return QStringLiteral("unallocated");
  return removable ? QStringLiteral("drive_usb") : QStringLiteral("drive");
}

}  // namespace

int CMainWnd::KindOf(const QTreeWidgetItem* row) {
  return row == nullptr ? kRowNone : row->data(0, kKindRole).toInt();
}

ScanSource* CMainWnd::SourceOf(const QTreeWidgetItem* row) {
  if (row == nullptr) return nullptr;
  return reinterpret_cast<ScanSource*>(row->data(0, kSourceRole).value<quintptr>());
}

std::vector<ScanSource*> CMainWnd::SourcesOfRow(const QTreeWidgetItem* row) {
  std::vector<ScanSource*> list;
  if (row == nullptr) return list;
  if (row->childCount() == 0) {
    if (ScanSource* own = SourceOf(row)) list.push_back(own);
    return list;
  }
  for (int i = 0; i < row->childCount(); ++i)
    if (ScanSource* child = SourceOf(row->child(i))) list.push_back(child);
  return list;
}

QTreeWidgetItem* CMainWnd::SelectedRow() const {
  const QList<QTreeWidgetItem*> selected = m_ui->DiskList->selectedItems();
  return selected.isEmpty() ? nullptr : selected.first();
}

DriveInfo CMainWnd::DriveOfRow(const QTreeWidgetItem* row) const {
  const std::string path = S(row->data(0, kPathRole).toString());
  for (const DriveInfo& drive : m_snapshot.drives)
    if (drive.path == path) return drive;
  DriveInfo unknown;
  unknown.path = path;
  return unknown;
}

// ---- rows ----------------------------------------------------------------------

void CMainWnd::SetDiskRowTexts(QTreeWidgetItem* row, const DriveInfo& drive) {
  SetRowTexts(row, DiskRowTexts(drive, m_messages, m_texts));
  row->setIcon(0, QIcon(IconPath(drive.removable ? QStringLiteral("removable_drive")
                                                 : QStringLiteral("physical_drive"))));
  if (drive.openError != kOk) row->setToolTip(1, Q(ErrorText(drive.openError)));
}

void CMainWnd::SetRegionRowTexts(QTreeWidgetItem* row, const PartitionRecord& record,
                                 const std::string& drivePath) {
  SetRowTexts(row, PartitionRowTexts(record, drivePath, m_texts));
}

void CMainWnd::AddDiskRows(const DiskSnapshot& snapshot, int32_t disk) {
  DriveInfo drive;
  if (const DriveInfo* known = snapshot.Drive(disk)) drive = *known;
  drive.diskNumber = disk;

  auto* row = new QTreeWidgetItem();
  row->setData(0, kKindRole, kRowDisk);
  row->setData(0, kPathRole, Q(drive.path));
  SetDiskRowTexts(row, drive);
  for (const PartitionRecord& record : snapshot.Regions(disk)) {
    auto source = std::make_unique<ScanSource>();
    source->partition = record;
    auto* child = new QTreeWidgetItem(row);
    child->setData(0, kKindRole, kRowPartition);
    child->setData(0, kPathRole, Q(drive.path));
    child->setData(0, kSourceRole, QVariant::fromValue(reinterpret_cast<quintptr>(source.get())));
    child->setIcon(0, QIcon(IconPath(RegionIcon(record, drive.removable))));
    SetRegionRowTexts(child, record, drive.path);
    m_sources.push_back(std::move(source));
  }
  // Disks in drive order, above the image files.
  QTreeWidget* list = m_ui->DiskList;
  int at = 0;
  while (at < list->topLevelItemCount()) {
    const QTreeWidgetItem* other = list->topLevelItem(at);
    if (KindOf(other) != kRowDisk) break;
    const std::string otherPath = S(other->data(0, kPathRole).toString());
    const auto later = std::find_if(snapshot.drives.begin(), snapshot.drives.end(), [&](const DriveInfo& d) {
      return d.path == otherPath && d.diskNumber > disk;
    });
    if (later != snapshot.drives.end()) break;
    ++at;
  }
  list->insertTopLevelItem(at, row);
  row->setExpanded(true);
}

QTreeWidgetItem* CMainWnd::ImageGroupRow(bool create) {
  QTreeWidget* list = m_ui->DiskList;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (KindOf(list->topLevelItem(i)) == kRowImageGroup) return list->topLevelItem(i);
  if (!create) return nullptr;
  auto* group = new QTreeWidgetItem();
  group->setData(0, kKindRole, kRowImageGroup);
  group->setData(0, kItemNameRole, QStringLiteral("ImageFile"));
  SetRowTexts(group, RowTexts{kImageGroupText, {}, {}, {}});
  group->setIcon(0, QIcon(IconPath(QStringLiteral("image_files"))));
  QFont bold = group->font(0);
  bold.setBold(true);
  group->setFont(0, bold);
  list->addTopLevelItem(group);
  group->setHidden(m_mode == kModeCreateImage);
  return group;
}

bool CMainWnd::AddImageSource(const QString& path) {
  const std::string file = S(path);
  FileHandle handle;
  uint64_t size = 0;
  if (OpenReadOnly(file, handle) != kOk || QueryDriveLength(handle, size) != kOk) {
    CMessageBox::Show(CMessageBox::kWarning, this, Message("MSG0504"));
    return false;
  }
  ++m_imageKeyCounter;
  auto source = std::make_unique<ScanSource>();
  source->imagePath = file;
  source->imageValue = static_cast<uint16_t>(m_imageKeyCounter & 0xFFFF);

  QTreeWidgetItem* group = ImageGroupRow(true);
  auto* row = new QTreeWidgetItem(group);
  row->setData(0, kKindRole, kRowImage);
  row->setData(0, kSourceRole, QVariant::fromValue(reinterpret_cast<quintptr>(source.get())));
  row->setIcon(0, QIcon(IconPath(QStringLiteral("image_file"))));
  SetRowTexts(row, ImageRowTexts(file, size));
  m_sources.push_back(std::move(source));
  group->setExpanded(true);
  UpdateScanButton();
  return true;
}

void CMainWnd::ReleaseSource(const ScanSource* source) {
  if (source == nullptr) return;
  if (m_currentSource == source) m_currentSource = nullptr;
  const auto it = std::find_if(m_sources.begin(), m_sources.end(),
                               [source](const std::unique_ptr<ScanSource>& s) { return s.get() == source; });
  if (it != m_sources.end()) m_sources.erase(it);
}

void CMainWnd::RemoveDiskRow(QTreeWidgetItem* row) {
  for (int i = 0; i < row->childCount(); ++i) ReleaseSource(SourceOf(row->child(i)));
  delete row;
}

// ---- filling -------------------------------------------------------------------

void CMainWnd::FillDiskList(int fillMode) {
  DiskSnapshot fresh = TakeDiskSnapshot();
  QTreeWidget* list = m_ui->DiskList;
  std::vector<QTreeWidgetItem*> diskRows;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (KindOf(list->topLevelItem(i)) == kRowDisk) diskRows.push_back(list->topLevelItem(i));

  if (fillMode == kFillFirst) {
    list->clear();
    m_sources.clear();
    m_currentSource = nullptr;
    for (const int32_t disk : fresh.DiskNumbers()) AddDiskRows(fresh, disk);
  } else if (fillMode == kFillArrival) {
    // A row without regions (an empty card reader, a drive that could not
    // be read) is replaced when the drive now has some.
    std::set<std::string> listed;
    for (QTreeWidgetItem* row : diskRows) {
      const std::string path = S(row->data(0, kPathRole).toString());
      if (row->childCount() > 0) listed.insert(path);
    }
    for (const int32_t disk : ArrivedDisks(listed, fresh)) {
      for (QTreeWidgetItem* row : diskRows) {
        if (row != nullptr && S(row->data(0, kPathRole).toString()) == fresh.DrivePath(disk)) {
          RemoveDiskRow(row);
          std::replace(diskRows.begin(), diskRows.end(), row, static_cast<QTreeWidgetItem*>(nullptr));
        }
      }
      AddDiskRows(fresh, disk);
    }
  } else {
    const std::set<std::string> lost = DisksWithLostRegions(m_snapshot, fresh);
    for (QTreeWidgetItem* row : diskRows)
      if (lost.count(S(row->data(0, kPathRole).toString())) != 0) RemoveDiskRow(row);
  }
  if (fillMode != kFillFirst) RefreshKeptRows(fresh);
  m_snapshot = std::move(fresh);
  if (fillMode != kFillFirst) {
    // Drive numbers may have moved: rows keep the order of the drives.
    RewriteRowTexts();
  }
  if (SelectedRow() == nullptr) FillFacts(nullptr);
  UpdateScanButton();
}

// Drives are numbered in the order they are present, so an arrival or a
// removal can renumber the drives and regions that stay. Their records follow.
void CMainWnd::RefreshKeptRows(const DiskSnapshot& fresh) {
  QTreeWidget* list = m_ui->DiskList;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    if (KindOf(row) != kRowDisk) continue;
    const std::string path = S(row->data(0, kPathRole).toString());
    for (int c = 0; c < row->childCount(); ++c) {
      ScanSource* source = SourceOf(row->child(c));
      if (source == nullptr || !source->partition) continue;
      if (const PartitionRecord* now = fresh.FindRegion(path, source->partition->startSector))
        source->partition = *now;
    }
  }
}

void CMainWnd::RewriteRowTexts() {
  QTreeWidget* list = m_ui->DiskList;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    if (KindOf(row) != kRowDisk) continue;
    const DriveInfo drive = DriveOfRow(row);
    SetDiskRowTexts(row, drive);
    for (int c = 0; c < row->childCount(); ++c) {
      const ScanSource* source = SourceOf(row->child(c));
      if (source != nullptr && source->partition)
        SetRegionRowTexts(row->child(c), *source->partition, drive.path);
    }
  }
}

// ---- selection -----------------------------------------------------------------

QList<QTreeWidgetItem*> CMainWnd::VisibleRows() const {
  QList<QTreeWidgetItem*> rows;
  QTreeWidget* list = m_ui->DiskList;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    if (row->isHidden()) continue;
    rows.append(row);
    for (int c = 0; c < row->childCount(); ++c)
      if (!row->child(c)->isHidden()) rows.append(row->child(c));
  }
  return rows;
}

void CMainWnd::ApplyModeToList() {
  if (QTreeWidgetItem* group = ImageGroupRow(false)) group->setHidden(m_mode == kModeCreateImage);
  const QList<QTreeWidgetItem*> rows = VisibleRows();
  QTreeWidgetItem* choice = nullptr;
  for (QTreeWidgetItem* row : rows) {
    if (KindOf(row) == kRowPartition && row->parent() != nullptr && DriveOfRow(row->parent()).removable) {
      choice = row;
      break;
    }
  }
  if (choice == nullptr && rows.size() >= 2) choice = rows[1];
  if (choice != nullptr) {
    m_ui->DiskList->setCurrentItem(choice);
    m_ui->DiskList->scrollToItem(choice);
  }
}

void CMainWnd::UpdateScanButton() {
  m_ui->BtnScan->setEnabled(!SourcesOfRow(SelectedRow()).empty());
}

void CMainWnd::OnDiskSelection() {
  const QTreeWidgetItem* row = SelectedRow();
  m_sourceChosen = row != nullptr;
  FillFacts(row);
  UpdateScanButton();
}

void CMainWnd::FillFacts(const QTreeWidgetItem* row) {
  FactTexts facts(kFactLabels);
  switch (KindOf(row)) {
    case kRowDisk:
      facts = DiskFacts(DriveOfRow(row), m_messages, m_texts);
      break;
    case kRowPartition:
      if (const ScanSource* source = SourceOf(row); source != nullptr && source->partition)
        facts =
            PartitionFacts(*source->partition, S(row->data(0, kPathRole).toString()), m_messages, m_texts);
      break;
    case kRowImage:
      if (const ScanSource* source = SourceOf(row))
        facts = ImageFacts(source->imagePath, ImageSize(source->imagePath), m_messages);
      break;
    default:
      break;
  }
  for (size_t i = 0; i < m_factLabels.size() && i < facts.size(); ++i) {
    m_factLabels[i]->setText(Q(facts[i]));
    m_factLabels[i]->setVisible(!facts[i].empty());
  }
}

void CMainWnd::OnDiskDoubleClick(QTreeWidgetItem* row) {
  if (row == nullptr) return;
  if (KindOf(row) == kRowDisk && row->childCount() > 0) {
    row->setExpanded(!row->isExpanded());
    return;
  }
  if (m_mode == kModeRecover) OnScan();
}

}  // namespace velmira
