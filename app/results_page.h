// The results page ("PageRecover"): the tree of found types and folders,
// the file list, the preview and the banner about unread sectors. The main
// window fills it from its scan session.
#pragma once

#include <QWidget>
#include <memory>

namespace Ui {
class ResultsPage;
}

namespace velmira {

class CResultsPage : public QWidget {
  Q_OBJECT

 public:
  explicit CResultsPage(QWidget* parent = nullptr);
  ~CResultsPage() override;

  // The page's controls, by their object names.
  [[nodiscard]] Ui::ResultsPage& ui() const { return *m_ui; }

 private:
  std::unique_ptr<Ui::ResultsPage> m_ui;
};

}  // namespace velmira
