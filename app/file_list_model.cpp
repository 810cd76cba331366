#include "app/file_list_model.h"

#include <QIcon>
#include <algorithm>
#include <map>

#include "app/language_ui.h"
#include "platform/text.h"
#include "results/result_tree.h"

namespace velmira {

const char* const CFileListModel::kHeaderNames[kColumnCount] = {
    "", "FileName", "Size", "ModifiedTime", "CreatedTime", "Path", "Type"};

QString FileIconPath(const std::string& iconFor) {
  QString path = QStringLiteral(":/icons/") + Q(iconFor);
  if (path.endsWith(QStringLiteral(".png"))) path.replace(path.size() - 4, 4, QStringLiteral(".svg"));
  return path;
}

CFileListModel::CFileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void CFileListModel::SetRows(std::vector<const FoundRecord*> rows) {
  beginResetModel();
  m_rows = std::move(rows);
  endResetModel();
}

void CFileListModel::SetHeaderTexts(const QStringList& texts) {
  m_headerTexts = texts;
  emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

void CFileListModel::SetCheckLookup(std::function<bool(const FoundRecord&)> isChecked,
                                    std::function<void(const FoundRecord&, bool)> setChecked) {
  m_isChecked = std::move(isChecked);
  m_setChecked = std::move(setChecked);
}

void CFileListModel::SetPathLookup(std::function<std::string(const FoundRecord&)> pathOf) {
  m_pathOf = std::move(pathOf);
}

void CFileListModel::RefreshChecks() {
  if (!m_rows.empty())
    emit dataChanged(index(0, kCheck), index(rowCount() - 1, kCheck), {Qt::CheckStateRole});
}

const FoundRecord* CFileListModel::RecordAt(int row) const {
  return row >= 0 && static_cast<size_t>(row) < m_rows.size() ? m_rows[static_cast<size_t>(row)] : nullptr;
}

int CFileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CFileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QString CFileListModel::CellText(const FoundRecord& r, int column) const {
  switch (column) {
    case kName:
      return Q(RecordName(r));
    case kSize:
      return Q(SizeText(r));
    case kModified:
      return Q(TimeText(r.modified));
    case kCreated:
      return Q(TimeText(r.created));
    case kPath:
      return m_pathOf ? Q(m_pathOf(r)) : QString::fromLatin1(kNoTimeText);
    case kType:
      return Q(TypeText(r));
    default:
      return {};
  }
}

QVariant CFileListModel::data(const QModelIndex& index, int role) const {
  const FoundRecord* record = RecordAt(index.row());
  if (record == nullptr) return {};
  const int column = index.column();
  if (role == Qt::CheckStateRole && column == kCheck) {
    const bool checked = m_isChecked && m_isChecked(*record);
    return checked ? Qt::Checked : Qt::Unchecked;
  }
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
    if (role == Qt::ToolTipRole && column != kName && column != kPath) return {};
    return CellText(*record, column);
  }
  if (role == Qt::DecorationRole && column == kName) {
    // Icons are few: keep one of each.
    static std::map<std::string, QIcon> icons;
    const std::string path = IconFor(TypeText(*record), record->contentOk);
    auto it = icons.find(path);
    if (it == icons.end()) it = icons.emplace(path, QIcon(FileIconPath(path))).first;
    return it->second;
  }
  if (role == Qt::TextAlignmentRole && column == kSize) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  return {};
}

bool CFileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  const FoundRecord* record = RecordAt(index.row());
  if (record == nullptr || role != Qt::CheckStateRole || index.column() != kCheck || !m_setChecked)
    return false;
  m_setChecked(*record, value.toInt() == Qt::Checked);
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

QVariant CFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
    return QAbstractTableModel::headerData(section, orientation, role);
  return section >= 0 && section < m_headerTexts.size() ? m_headerTexts[section] : QString();
}

Qt::ItemFlags CFileListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.column() == kCheck) f |= Qt::ItemIsUserCheckable;
  return f;
}

void CFileListModel::SortRows(int column, bool ascending) {
  beginResetModel();
  if (column == kSize) {
    const auto less = [](const FoundRecord* a, const FoundRecord* b) {
      const bool fa = a->isFolder != 0, fb = b->isFolder != 0;
      if (fa != fb) return fa;  // folders before files
      return uint64_t{a->size} < uint64_t{b->size};
    };
    if (ascending)
      std::stable_sort(m_rows.begin(), m_rows.end(), less);
    else
      std::stable_sort(m_rows.begin(), m_rows.end(),
                       [&](const FoundRecord* a, const FoundRecord* b) { return less(b, a); });
  } else {
    // One key per row, compared without regard to case.
    std::vector<std::pair<std::string, const FoundRecord*>> keyed;
    keyed.reserve(m_rows.size());
    for (const FoundRecord* r : m_rows) keyed.emplace_back(AsciiLower(S(CellText(*r, column))), r);
    const auto less = [](const auto& a, const auto& b) { return a.first < b.first; };
    if (ascending)
      std::stable_sort(keyed.begin(), keyed.end(), less);
    else
      std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) { return less(b, a); });
    for (size_t i = 0; i < keyed.size(); ++i) m_rows[i] = keyed[i].second;
  }
  endResetModel();
}

}  // namespace velmira
