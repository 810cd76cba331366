#include "app/results_page.h"

#include "ui_results_page.h"

namespace velmira {

CResultsPage::CResultsPage(QWidget* parent) : QWidget(parent), m_ui(std::make_unique<Ui::ResultsPage>()) {
  m_ui->setupUi(this);
}

CResultsPage::~CResultsPage() = default;

}  // namespace velmira
