// The main window's part of a scan: the type page's options, and the
// results page's wiring (its scan, its footer, its preview and recovery
// requests).
#include <QCheckBox>
#include <QScrollArea>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/file_type_page.h"
#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/results_page.h"
#include "app/scan_session.h"
#include "platform/message_format.h"
#include "ui_disk_page.h"
#include "ui_main_wnd.h"

namespace velmira {
namespace {

// The groups of the type page's options, in the order of the recovery folders.
constexpr int kOptionGroups = 5;
const char* const kGroupFrames[kOptionGroups] = {"FileTypePhoto", "FileTypeAudio", "FileTypeVideo",
                                                 "FileTypeDocument", "FileTypeArchive"};

}  // namespace

// ---- set-up ------------------------------------------------------------------

void CMainWnd::SetUpResults() {
  m_scanHandler = [this](const std::vector<ScanSource*>& list) {
    std::vector<std::shared_ptr<ScanSource>> shared;
    for (ScanSource* source : list)
      if (std::shared_ptr<ScanSource> owner = m_diskPage->SharedSource(source))
        shared.push_back(std::move(owner));
    m_resultsPage->RunScan(std::move(shared), m_deep);
  };

  // Type page: the layout's options, completed so that every known photo,
  // audio, video, document and archive type is offered; each group's
  // options scroll.
  for (int g = 0; g < kOptionGroups; ++g) {
    auto* frame = m_ui->TabPage->findChild<QFrame*>(QString::fromLatin1(kGroupFrames[g]));
    auto* frameLayout = frame == nullptr ? nullptr : qobject_cast<QVBoxLayout*>(frame->layout());
    if (frameLayout == nullptr) continue;
    for (QCheckBox* box : frame->findChildren<QCheckBox*>()) {
      const QVariant extensions = box->property("extensions");
      if (!extensions.isValid()) continue;
      TypeOption option{S(box->objectName()), static_cast<TypeGroup>(g), S(extensions.toString()),
                        S(box->text()), box->isChecked()};
      m_typeOptions.push_back(option);
      m_optionBoxes.push_back(box);
    }
  }
  const size_t fromLayout = m_typeOptions.size();
  CompleteTypeOptions(m_typeOptions);
  std::vector<QVBoxLayout*> lists(kOptionGroups, nullptr);
  for (int g = 0; g < kOptionGroups; ++g) {
    auto* frame = m_ui->TabPage->findChild<QFrame*>(QString::fromLatin1(kGroupFrames[g]));
    auto* frameLayout = frame == nullptr ? nullptr : qobject_cast<QVBoxLayout*>(frame->layout());
    if (frameLayout == nullptr) continue;
    auto* area = new QScrollArea(frame);
    area->setObjectName(QString::fromLatin1(kGroupFrames[g]) + QStringLiteral("List"));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->viewport()->setAutoFillBackground(false);
    auto* inner = new QWidget(area);
    inner->setAutoFillBackground(false);
    inner->setObjectName(QStringLiteral("TypeOptionList"));
    lists[static_cast<size_t>(g)] = new QVBoxLayout(inner);
    lists[static_cast<size_t>(g)]->setContentsMargins(0, 0, 0, 0);
    lists[static_cast<size_t>(g)]->setSpacing(3);
    area->setWidget(inner);
    frameLayout->insertWidget(1, area, 1);
  }
  for (size_t i = 0; i < m_typeOptions.size(); ++i) {
    TypeOption& option = m_typeOptions[i];
    QVBoxLayout* list = lists[static_cast<size_t>(option.group)];
    if (list == nullptr) continue;
    QCheckBox* box = i < fromLayout ? m_optionBoxes[i] : nullptr;
    if (box == nullptr) {
      box = new QCheckBox(Q(option.label));
      box->setObjectName(Q(option.name));
      box->setChecked(true);
      m_optionBoxes.push_back(box);
    }
    box->setProperty("extensions", Q(option.extensions));
    list->addWidget(box);
  }
  for (QVBoxLayout* list : lists)
    if (list != nullptr) list->addStretch(1);

  // The results page asks what the type page offers, and tells what it shows.
  m_resultsPage->SetTypeChoiceSource([this] {
    return CResultsPage::TypeChoice{TypeOptions(), m_typePage->othersOption()->isChecked()};
  });
  connect(m_resultsPage, &CResultsPage::scanFinished, this, &CMainWnd::scanFinished);
  connect(m_resultsPage, &CResultsPage::collectionFinished, this, &CMainWnd::collectionFinished);
  connect(m_resultsPage, &CResultsPage::checkedChanged, this, &CMainWnd::UpdateSelectedFileInfo);
  connect(m_resultsPage, &CResultsPage::sessionChanged, this, [this] {
    if (SelectedRow() == nullptr && m_disk->DiskList->topLevelItemCount() > 0)
      m_disk->DiskList->setCurrentItem(m_disk->DiskList->topLevelItem(0));
  });
  connect(m_resultsPage, &CResultsPage::resultsReady, this, [this] { SelectPage(kPageRecover); });
  connect(m_resultsPage, &CResultsPage::previewRequested, this, &CMainWnd::StartPreview);
  connect(m_resultsPage, &CResultsPage::recoverRequested, this,
          [this](const std::vector<FoundRecord>& files, const std::vector<RecoverySource>& sources) {
            StartRecovery(files, sources);
          });
  // "BtnRecover" in the footer recovers the checked files, each through the
  // engine of the source it was found on.
  connect(m_ui->BtnRecover, &QAbstractButton::clicked, m_resultsPage, &CResultsPage::RecoverChecked);
}

std::vector<TypeOption> CMainWnd::TypeOptions() const {
  std::vector<TypeOption> options = m_typeOptions;
  for (size_t i = 0; i < options.size() && i < m_optionBoxes.size(); ++i) {
    options[i].selected = m_optionBoxes[i]->isChecked();
    options[i].label = S(m_optionBoxes[i]->text());
  }
  return options;
}

void CMainWnd::UpdateSelectedFileInfo() {
  const size_t checked = m_resultsPage->checkedCount();
  if (checked == 0) {
    m_ui->BtnRecover->setEnabled(false);
    m_ui->SelectedFileInfo->setText(Message("MSG0803"));
    return;
  }
  const uint64_t bytes = m_resultsPage->checkedBytes();
  m_ui->BtnRecover->setEnabled(true);
  m_ui->SelectedFileInfo->setText(Q(FormatText(
      S(Message(checked == 1 ? "MSG0822" : "MSG0804")),
      {FormatSize(bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes)),
       static_cast<int>(checked)})));
}

// ---- the results page, for the callers of the window ------------------------------

std::shared_ptr<ScanSession> CMainWnd::session() const {
  return m_resultsPage->session();
}

void CMainWnd::SetEngineBuilder(EngineBuilder builder) {
  m_resultsPage->SetEngineBuilder(std::move(builder));
}

const std::vector<FoundRecord>& CMainWnd::collectedFiles() const {
  return m_resultsPage->collectedFiles();
}

qint64 CMainWnd::lastResultsMs() const {
  return m_resultsPage->lastResultsMs();
}

std::vector<FoundRecord> CMainWnd::CheckedFiles() const {
  return m_resultsPage->CheckedFiles();
}

const FoundRecord* CMainWnd::SelectedFileRecord() const {
  return m_resultsPage->SelectedFileRecord();
}

IFileRecoveryParse* CMainWnd::EngineOfRecord(const FoundRecord& record) const {
  return m_resultsPage->EngineOfRecord(record);
}

}  // namespace velmira
