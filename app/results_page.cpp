#include "app/results_page.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTreeWidget>
#include <algorithm>

#include "ui_results_page.h"

namespace velmira {

CResultsPage::CResultsPage(QWidget* parent) : QWidget(parent), m_ui(std::make_unique<Ui::ResultsPage>()) {
  m_ui->setupUi(this);
  // The tree is as wide as its longest label; a scroll bar shows the rest.
  m_ui->TypeTree->header()->setStretchLastSection(false);
  m_ui->TypeTree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  // It widens with its labels up to a point, so that "QuickTime (12)" needs
  // no scrolling; folder names longer than that do.
  QTreeWidget* tree = m_ui->TypeTree;
  connect(tree->header(), &QHeaderView::sectionResized, this, [tree](int, int, int size) {
    const int least = 170;
    const int most = 250;
    const int bar = tree->verticalScrollBar()->isVisible() ? tree->verticalScrollBar()->width() : 0;
    tree->setFixedWidth(std::clamp(size + 2 * tree->frameWidth() + bar, least, most));
  });
}

CResultsPage::~CResultsPage() = default;

}  // namespace velmira
