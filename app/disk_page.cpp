#include "app/disk_page.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QIcon>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <set>

#include "app/device_monitor.h"
#include "app/language_ui.h"
#include "app/message_box.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "ui_disk_page.h"

namespace velmira {
namespace {

constexpr int kKindRole = 0x0100 + 1;    // RowKind
constexpr int kSourceRole = 0x0100 + 2;  // ScanSource*, as an integer
constexpr int kPathRole = 0x0100 + 3;    // disk rows and their children: the drive's path
constexpr int kRowHeight = 30;
constexpr int kColumns = 4;
constexpr int kDeviceSettleMs = 5000;

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

CDiskPage::CDiskPage(QWidget* parent) : QWidget(parent), m_ui(std::make_unique<Ui::DiskPage>()) {
  m_ui->setupUi(this);
  m_ui->DiskList->header()->setObjectName(QStringLiteral("DiskListHeader"));
  m_ui->DiskList->header()->setStretchLastSection(true);
  m_ui->DiskList->setAllColumnsShowFocus(true);
  FitColumns();
  for (QLabel* label : {m_ui->Label1, m_ui->Label2, m_ui->Label3, m_ui->Label4, m_ui->Label5, m_ui->Label6,
                        m_ui->Label7, m_ui->Label8, m_ui->Label9, m_ui->Label10})
    m_factLabels.push_back(label);
  connect(m_ui->DiskList, &QTreeWidget::itemSelectionChanged, this, &CDiskPage::OnSelection);
  connect(m_ui->DiskList, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* row, int) { ActivateRow(row); });

  // Devices: a refill 5 seconds after the last arrival or removal.
  m_arrivalTimer = new QTimer(m_ui->PartitionListBar);
  m_arrivalTimer->setObjectName(QStringLiteral("timer0"));
  m_removalTimer = new QTimer(m_ui->PartitionListBar);
  m_removalTimer->setObjectName(QStringLiteral("timer1"));
  for (QTimer* timer : {m_arrivalTimer, m_removalTimer}) {
    timer->setSingleShot(true);
    timer->setInterval(kDeviceSettleMs);
  }
  connect(m_arrivalTimer, &QTimer::timeout, this, [this] { FillDiskList(kFillArrival); });
  connect(m_removalTimer, &QTimer::timeout, this, [this] { FillDiskList(kFillRemoval); });
  m_devices = new DeviceMonitor(this);
  connect(m_devices, &DeviceMonitor::deviceArrived, m_arrivalTimer, qOverload<>(&QTimer::start));
  connect(m_devices, &DeviceMonitor::deviceRemoved, m_removalTimer, qOverload<>(&QTimer::start));
}

CDiskPage::~CDiskPage() = default;

void CDiskPage::SetTexts(const TextSection& messages, const TextSection& texts) {
  m_messages = messages;
  m_texts = texts;
}

std::shared_ptr<ScanSource> CDiskPage::SharedSource(const ScanSource* source) const {
  for (const auto& s : m_sources)
    if (s.get() == source) return s;
  return nullptr;
}

CDiskPage::RowKind CDiskPage::KindOf(const QTreeWidgetItem* row) {
  return row == nullptr ? kRowNone : static_cast<RowKind>(row->data(0, kKindRole).toInt());
}

ScanSource* CDiskPage::SourceOf(const QTreeWidgetItem* row) {
  if (row == nullptr) return nullptr;
  return reinterpret_cast<ScanSource*>(row->data(0, kSourceRole).value<quintptr>());
}

std::vector<ScanSource*> CDiskPage::SourcesOfRow(const QTreeWidgetItem* row) {
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

QTreeWidgetItem* CDiskPage::SelectedRow() const {
  const QList<QTreeWidgetItem*> selected = m_ui->DiskList->selectedItems();
  return selected.isEmpty() ? nullptr : selected.first();
}

DriveInfo CDiskPage::DriveOfRow(const QTreeWidgetItem* row) const {
  const std::string path = S(row->data(0, kPathRole).toString());
  for (const DriveInfo& drive : m_snapshot.drives)
    if (drive.path == path) return drive;
  DriveInfo unknown;
  unknown.path = path;
  return unknown;
}

// ---- rows ----------------------------------------------------------------------

void CDiskPage::SetDiskRowTexts(QTreeWidgetItem* row, const DriveInfo& drive) {
  SetRowTexts(row, DiskRowTexts(drive, m_messages, m_texts));
  row->setIcon(0, QIcon(IconPath(drive.removable ? QStringLiteral("removable_drive")
                                                 : QStringLiteral("physical_drive"))));
  if (drive.openError != kOk) row->setToolTip(1, Q(ErrorText(drive.openError)));
}

void CDiskPage::SetRegionRowTexts(QTreeWidgetItem* row, const PartitionRecord& record,
                                  const std::string& drivePath) {
  SetRowTexts(row, PartitionRowTexts(record, drivePath, m_texts));
}

void CDiskPage::AddDiskRows(const DiskSnapshot& snapshot, int32_t disk) {
  DriveInfo drive;
  if (const DriveInfo* known = snapshot.Drive(disk)) drive = *known;
  drive.diskNumber = disk;

  auto* row = new QTreeWidgetItem();
  row->setData(0, kKindRole, kRowDisk);
  row->setData(0, kPathRole, Q(drive.path));
  SetDiskRowTexts(row, drive);
  for (const PartitionRecord& record : snapshot.Regions(disk)) {
    auto source = std::make_shared<ScanSource>();
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

QTreeWidgetItem* CDiskPage::ImageGroupRow(bool create) {
  QTreeWidget* list = m_ui->DiskList;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (KindOf(list->topLevelItem(i)) == kRowImageGroup) return list->topLevelItem(i);
  if (!create) return nullptr;
  auto* group = new QTreeWidgetItem();
  group->setData(0, kKindRole, kRowImageGroup);
  group->setData(0, kItemNameRole, QStringLiteral("ImageFile"));
  const QString title = SectionText(m_texts, "ImageFile");
  SetRowTexts(group, RowTexts{title.isEmpty() ? std::string(kImageGroupText) : S(title), {}, {}, {}});
  group->setIcon(0, QIcon(IconPath(QStringLiteral("image_files"))));
  QFont bold = group->font(0);
  bold.setBold(true);
  group->setFont(0, bold);
  list->addTopLevelItem(group);
  group->setHidden(!m_imageRowsShown);
  return group;
}

bool CDiskPage::AddImageSource(const QString& path) {
  const std::string file = S(path);
  FileHandle handle;
  uint64_t size = 0;
  if (OpenReadOnly(file, handle) != kOk || QueryDriveLength(handle, size) != kOk) {
    CMessageBox::Show(CMessageBox::kWarning, window(), SectionText(m_messages, "MSG0504"));
    return false;
  }
  ++m_imageKeyCounter;
  auto source = std::make_shared<ScanSource>();
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
  FitColumns();
  emit rowsChanged();
  // The new image is what the next scan takes.
  m_ui->DiskList->setCurrentItem(row);
  m_ui->DiskList->scrollToItem(row);
  return true;
}

void CDiskPage::ReleaseSource(const ScanSource* source) {
  if (source == nullptr) return;
  // A scan session that holds the source keeps it (and its engine) alive.
  emit sourceReleased(source);
  const auto it = std::find_if(m_sources.begin(), m_sources.end(),
                               [source](const std::shared_ptr<ScanSource>& s) { return s.get() == source; });
  if (it != m_sources.end()) m_sources.erase(it);
}

void CDiskPage::RemoveDiskRow(QTreeWidgetItem* row) {
  for (int i = 0; i < row->childCount(); ++i) ReleaseSource(SourceOf(row->child(i)));
  delete row;
}

// ---- filling -------------------------------------------------------------------

void CDiskPage::FillDiskList(FillMode fillMode) {
  DiskSnapshot fresh = TakeDiskSnapshot();
  QTreeWidget* list = m_ui->DiskList;
  std::vector<QTreeWidgetItem*> diskRows;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (KindOf(list->topLevelItem(i)) == kRowDisk) diskRows.push_back(list->topLevelItem(i));

  if (fillMode == kFillFirst) {
    list->clear();
    m_sources.clear();
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
  FitColumns();
  emit rowsChanged();
}

// Drives are numbered in the order they are present, so an arrival or a
// removal can renumber the drives and regions that stay. Their records follow.
void CDiskPage::RefreshKeptRows(const DiskSnapshot& fresh) {
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

void CDiskPage::RewriteRowTexts() {
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

QList<QTreeWidgetItem*> CDiskPage::VisibleRows() const {
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

// The name, file system and size columns as wide as their texts (at least
// their first widths); the mount point takes the rest.
void CDiskPage::FitColumns() {
  QTreeWidget* list = m_ui->DiskList;
  int widths[] = {246, 88, 76};
  // Padding, and in the first column the branch and the icon.
  const int lead = std::max(list->iconSize().width(), 16) + 16;
  std::function<void(QTreeWidgetItem*, int)> measure = [&](QTreeWidgetItem* row, int depth) {
    for (int c = 0; c < 3; ++c) {
      const QFont font = row->data(c, Qt::FontRole).isValid() ? row->font(c) : list->font();
      const int text = QFontMetrics(font).horizontalAdvance(row->text(c)) + 12;
      widths[c] = std::max(widths[c], c == 0 ? text + lead + list->indentation() * (depth + 1) : text);
    }
    for (int i = 0; i < row->childCount(); ++i) measure(row->child(i), depth + 1);
  };
  for (int i = 0; i < list->topLevelItemCount(); ++i) measure(list->topLevelItem(i), 0);
  // The mount point fills the rest, but never less than its header (set first:
  // a new default size resets every column).
  const int mount = list->header()->fontMetrics().horizontalAdvance(list->headerItem()->text(3)) + 24;
  list->header()->setMinimumSectionSize(mount);
  list->header()->setDefaultSectionSize(mount);
  for (int c = 0; c < 3; ++c) {
    const int header = list->header()->fontMetrics().horizontalAdvance(list->headerItem()->text(c)) + 24;
    list->setColumnWidth(c, std::max(widths[c], header));
  }
}

void CDiskPage::RewriteTexts() {
  RewriteRowTexts();
  FitColumns();
  if (SelectedRow() != nullptr) OnSelection();
}

void CDiskPage::SelectLastRow() {
  const QList<QTreeWidgetItem*> rows = VisibleRows();
  if (rows.isEmpty()) return;
  m_ui->DiskList->setCurrentItem(rows.last());
  rows.last()->setSelected(true);
}

void CDiskPage::ApplyMode(bool imageRowsShown) {
  m_imageRowsShown = imageRowsShown;
  if (QTreeWidgetItem* group = ImageGroupRow(false)) group->setHidden(!m_imageRowsShown);
  // A drive is copied into an image: loading one or choosing file types
  // has no place then.
  m_ui->BtnLoadImage->setVisible(m_imageRowsShown);
  m_ui->BtnDeepScan->setVisible(m_imageRowsShown);
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

void CDiskPage::OnSelection() {
  QTreeWidgetItem* row = SelectedRow();
  FillFacts(row);
  emit selectionChanged(row);
}

void CDiskPage::FillFacts(const QTreeWidgetItem* row) {
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

void CDiskPage::ActivateRow(QTreeWidgetItem* row) {
  if (row == nullptr) return;
  if (KindOf(row) == kRowDisk && row->childCount() > 0) {
    row->setExpanded(!row->isExpanded());
    return;
  }
  emit rowActivated(row);
}

}  // namespace velmira
