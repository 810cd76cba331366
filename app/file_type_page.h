// The file-type page ("PageFileType"): the photo, audio and video options,
// below them the document and archive options and "Others", whose ticked
// types the next collection offers; each group's own option ticks or clears
// the whole group.
#pragma once

#include <QWidget>
#include <memory>

class QCheckBox;

namespace Ui {
class FileTypePage;
}

namespace velmira {

class CFileTypePage : public QWidget {
  Q_OBJECT

 public:
  explicit CFileTypePage(QWidget* parent = nullptr);
  ~CFileTypePage() override;

  // The page's controls, by their object names.
  [[nodiscard]] Ui::FileTypePage& ui() const { return *m_ui; }
  // "OptOthersFile": files of no offered type, and files without extension.
  [[nodiscard]] QCheckBox* othersOption() const { return m_others; }

 private:
  std::unique_ptr<Ui::FileTypePage> m_ui;
  QCheckBox* m_others = nullptr;
};

}  // namespace velmira
