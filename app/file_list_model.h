// The results page's file list as a model: rows are references to found
// records held elsewhere, texts are made only for the rows the view paints.
#pragma once

#include <QAbstractTableModel>
#include <functional>
#include <string>
#include <vector>

#include "results/found_record.h"

namespace velmira {

class CFileListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kCheck = 0, kName, kSize, kModified, kCreated, kPath, kType, kColumnCount };
  // The header items' names, by column.
  static const char* const kHeaderNames[kColumnCount];

  explicit CFileListModel(QObject* parent = nullptr);

  // The records stay owned by the caller until the next SetRows.
  void SetRows(std::vector<const FoundRecord*> rows);
  void Clear() { SetRows({}); }
  void SetHeaderTexts(const QStringList& texts);
  // Whether a record is checked; a click on a row's box asks to toggle it.
  void SetCheckLookup(std::function<bool(const FoundRecord&)> isChecked,
                      std::function<void(const FoundRecord&, bool)> setChecked);
  // The "Path" text of a record (its folder path).
  void SetPathLookup(std::function<std::string(const FoundRecord&)> pathOf);
  // The check boxes changed elsewhere: repaint them.
  void RefreshChecks();

  // Sorts the rows: "Size" by folder-first then size, every other column by
  // its text ignoring case (empty first); ascending or descending.
  void SortRows(int column, bool ascending);

  [[nodiscard]] const FoundRecord* RecordAt(int row) const;
  [[nodiscard]] const std::vector<const FoundRecord*>& Rows() const { return m_rows; }
  // A cell's text as shown.
  [[nodiscard]] QString CellText(const FoundRecord& record, int column) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  std::vector<const FoundRecord*> m_rows;
  QStringList m_headerTexts;
  std::function<bool(const FoundRecord&)> m_isChecked;
  std::function<void(const FoundRecord&, bool)> m_setChecked;
  std::function<std::string(const FoundRecord&)> m_pathOf;
};

// The icon resource of IconFor's answer ("FileIcon/image.png").
[[nodiscard]] QString FileIconPath(const std::string& iconFor);

}  // namespace velmira
