// The main window's part of a scan: the scan and collection windows, the
// type page's options, and the results page (tree of types, folder view,
// file list, checked set, sorting).
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QIcon>
#include <QScrollArea>
#include <QTableView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <tuple>

#include "app/file_list_model.h"
#include "app/file_type_page.h"
#include "app/language_ui.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/scan_process_wnd.h"
#include "app/scan_session.h"
#include "app/search_process_wnd.h"
#include "jobs/recovery_job.h"
#include "platform/message_format.h"
#include "results/extension_lists.h"
#include "results/result_tree.h"
#include "storage/disk_discovery.h"
#include "ui_disk_page.h"
#include "ui_main_wnd.h"
#include "ui_results_page.h"

namespace velmira {
namespace {

constexpr int kNodeKindRole = 0x0100 + 41;    // NodeKind
constexpr int kNodeKeyRole = 0x0100 + 42;     // extension key, or folder record index
constexpr int kNodeSourceRole = 0x0100 + 43;  // the source key of a folder node
constexpr int kNodeDepthRole = 0x0100 + 44;
constexpr uint32_t kMaxFolderPath = 4096;

enum NodeKind {
  kNodeCategory = 1,
  kNodeExtension = 2,
  kNodeFolderRoot = 3,
  kNodeSource = 4,
  kNodeFolder = 5
};

// What identifies a found record across engines and sources.
using RecordKey = std::tuple<uint16_t, uint32_t, uint32_t, uint64_t, std::string>;
RecordKey KeyOf(const FoundRecord& r) {
  // Copies: the record's fields are packed.
  const uint16_t source = r.sourceKey;
  const uint32_t engine = r.engineTag;
  const uint32_t number = r.recordNumber;
  const uint64_t sector = r.entrySector;
  return {source, engine, number, sector, RecordName(r)};
}

// The groups of the type page's options, then "Others": the categories of
// the type tree, in the order of the recovery folders.
constexpr int kOptionGroups = 5;
constexpr int kOthers = 5;
constexpr int kCategories = 6;
const char* const kGroupFrames[kOptionGroups] = {"FileTypePhoto", "FileTypeAudio", "FileTypeVideo",
                                                 "FileTypeDocument", "FileTypeArchive"};
const char* const kGroupIcons[kCategories] = {"type_photo",    "type_audio",   "type_video",
                                              "type_document", "type_archive", "type_others"};
const char* const kCategoryTexts[kCategories] = {"MSG0807", "MSG0808", "MSG0809",
                                                 "MSG0812", "MSG0813", "MSG0814"};

// The group keys of the files of no offered type start with this; the files
// without an extension share the key made of it alone.
constexpr char kOthersKeyMark = '*';

// The files of no offered type go under "Others" by their extension.
void GroupOthers(const std::vector<FoundRecord>& files, const ExtensionMap& offered, TypeGroups& groups) {
  TypeGroups others;
  for (auto it = groups.begin(); it != groups.end();) {
    if (offered.count(it->first) != 0) {
      ++it;
      continue;
    }
    for (const uint32_t i : it->second) {
      const bool noExtension = ExtensionOf(RecordName(files[i])).empty();
      others[std::string(1, kOthersKeyMark) + (noExtension ? std::string() : it->first)].push_back(i);
    }
    it = groups.erase(it);
  }
  for (auto& [key, indices] : others) {
    std::sort(indices.begin(), indices.end());
    groups[key] = std::move(indices);
  }
}

}  // namespace

struct CMainWnd::Results {
  EngineBuilder builder = BuildEngineFor;
  // The scan the page shows, and the one whose windows run (it becomes the
  // shown one when its collection has finished).
  std::shared_ptr<ScanSession> session;
  std::shared_ptr<ScanSession> running;
  TypeGroups groups;
  std::vector<TypeOption> options;
  std::vector<QCheckBox*> optionBoxes;
  ExtensionMap extensionMap;
  std::map<RecordKey, FoundRecord> checked;
  uint64_t checkedBytes = 0;
  CFileListModel* model = nullptr;
  QTreeWidgetItem* folderRoot = nullptr;
  std::deque<FoundRecord> folderRecords;  // records of the folder nodes
  std::vector<FoundRecord> folderRows;    // the listed folder's children
  std::map<int, int> sortDirection;       // column -> 1 / -1
  bool inScanWindow = false;
  bool inSearchWindow = false;
  bool scanFinishedPending = false;
  bool collectionFinishedPending = false;
  bool updatingTree = false;
  qint64 lastResultsMs = 0;
};

void CMainWnd::ResultsDeleter::operator()(Results* results) const {
  delete results;
}

ScanSource* CMainWnd::LiveSourceOfNode(const QTreeWidgetItem* node) const {
  const ScanSession* session = m_results->session.get();
  if (session == nullptr) return nullptr;
  ScanSource* source = session->SourceOfKey(static_cast<uint16_t>(node->data(0, kNodeSourceRole).toUInt()));
  return source == nullptr || !source->engine || session->IsGone(source) ? nullptr : source;
}

// ---- set-up ------------------------------------------------------------------

void CMainWnd::SetUpResults() {
  m_results.reset(new Results());
  Results& r = *m_results;
  m_scanHandler = [this](const std::vector<ScanSource*>& list) { RunScanWindow(list); };

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
      r.options.push_back(option);
      r.optionBoxes.push_back(box);
    }
  }
  const size_t fromLayout = r.options.size();
  CompleteTypeOptions(r.options);
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
  for (size_t i = 0; i < r.options.size(); ++i) {
    TypeOption& option = r.options[i];
    QVBoxLayout* list = lists[static_cast<size_t>(option.group)];
    if (list == nullptr) continue;
    QCheckBox* box = i < fromLayout ? r.optionBoxes[i] : nullptr;
    if (box == nullptr) {
      box = new QCheckBox(Q(option.label));
      box->setObjectName(Q(option.name));
      box->setChecked(true);
      r.optionBoxes.push_back(box);
    }
    box->setProperty("extensions", Q(option.extensions));
    list->addWidget(box);
  }
  for (QVBoxLayout* list : lists)
    if (list != nullptr) list->addStretch(1);
  r.extensionMap = BuildExtensionMap(r.options);

  // Results page: the folder view below the three categories.
  r.folderRoot = new QTreeWidgetItem(m_found->TypeTree);
  r.folderRoot->setData(0, kItemNameRole, QStringLiteral("NodeFolders"));
  r.folderRoot->setData(0, kNodeKindRole, kNodeFolderRoot);
  r.folderRoot->setText(0, QStringLiteral("Folders"));
  r.folderRoot->setIcon(0, QIcon(FileIconPath("FileIcon/folder.png")));
  r.folderRoot->setHidden(true);
  for (int i = 0; i < kCategories; ++i)
    m_found->TypeTree->topLevelItem(i)->setData(0, kNodeKindRole, kNodeCategory);
  connect(m_found->TypeTree, &QTreeWidget::itemSelectionChanged, this, &CMainWnd::OnTypeTreeSelection);
  connect(m_found->TypeTree, &QTreeWidget::itemChanged, this,
          [this](QTreeWidgetItem* item, int) { OnTypeTreeItemChanged(item); });
  connect(m_found->TypeTree, &QTreeWidget::itemExpanded, this, &CMainWnd::OnFolderExpanded);

  // The file list: a model whose rows are painted on demand.
  r.model = new CFileListModel(this);
  r.model->SetCheckLookup([this](const FoundRecord& f) { return m_results->checked.count(KeyOf(f)) != 0; },
                          [this](const FoundRecord& f, bool on) {
                            SetFileChecked(f, on);
                            ShowCheckStates();
                            UpdateSelectedFileInfo();
                          });
  r.model->SetPathLookup([this](const FoundRecord& f) {
    IFileRecoveryParse* engine = EngineOfRecord(f);
    std::string path;
    if (engine == nullptr || engine->GetFolderPath(f, path, kMaxFolderPath) != 0) return std::string();
    return path;
  });
  QTableView* view = m_found->FileList;
  view->setModel(r.model);
  view->verticalHeader()->hide();
  view->verticalHeader()->setDefaultSectionSize(22);
  view->horizontalHeader()->setObjectName(QStringLiteral("FileListHeader"));
  view->horizontalHeader()->setSectionsClickable(true);
  view->horizontalHeader()->setSortIndicatorShown(false);
  view->horizontalHeader()->setHighlightSections(false);
  view->horizontalHeader()->setStretchLastSection(true);
  view->setIconSize(QSize(16, 16));
  SizeFileListColumns();
  connect(view->horizontalHeader(), &QHeaderView::sectionClicked, this, &CMainWnd::OnFileListHeaderClick);
  m_found->ChkAllListSel->setTristate(true);
  connect(m_found->ChkAllListSel, &QCheckBox::clicked, this, &CMainWnd::OnCheckAll);

  // Selecting a file previews it; "BtnRecover" recovers the checked files,
  // each through the engine of the source it was found on.
  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& now) {
            if (now.isValid()) PreviewSelected();
          });
  connect(m_ui->BtnRecover, &QAbstractButton::clicked, this, &CMainWnd::RecoverChecked);
}

void CMainWnd::PreviewSelected() {
  const FoundRecord* record = SelectedFileRecord();
  if (record == nullptr) return;
  const FoundRecord file = *record;  // the list may be rebuilt meanwhile
  // The session stays while the preview window reads from its engine.
  const std::shared_ptr<ScanSession> session = m_results->session;
  if (session != nullptr && session->SourceGone(file)) {
    m_found->PreviewEdit->clear();
    m_found->PreviewEdit->setPlainText(Message("MSG0906"));
    return;
  }
  StartPreview(file, session == nullptr ? nullptr : session->EngineOf(file));
}

void CMainWnd::RecoverChecked() {
  const std::shared_ptr<ScanSession> session = m_results->session;
  std::vector<FoundRecord> files = CheckedFiles();
  if (session == nullptr || files.empty()) return;
  const auto gone = static_cast<int>(std::count_if(
      files.begin(), files.end(), [&session](const FoundRecord& f) { return session->SourceGone(f); }));
  if (gone != 0) {
    CMessageBox::Show(CMessageBox::kWarning, this,
                      Q(FormatText(S(Message(gone == 1 ? "MSG0825" : "MSG0811")), {gone})));
    // The others are recovered; those of the removed device are listed
    // among the failures with the reason.
    if (gone == static_cast<int>(files.size())) return;
  }
  StartRecovery(std::move(files), session->RecoverySources());
}

std::shared_ptr<ScanSession> CMainWnd::session() const {
  return m_results ? m_results->session : nullptr;
}

void CMainWnd::MarkSourceGone(const ScanSource* source) {
  if (!m_results) return;
  for (ScanSession* session : {m_results->session.get(), m_results->running.get()})
    if (session != nullptr) session->MarkGone(source);
}

void CMainWnd::ApplyResultTexts() {
  if (!m_results || m_results->model == nullptr) return;
  QStringList headers;
  for (const char* name : CFileListModel::kHeaderNames)
    headers << (*name == 0 ? QString() : WindowText(name));
  m_results->model->SetHeaderTexts(headers);
  const QString folders = WindowText("NodeFolders");
  if (!folders.isEmpty()) m_results->folderRoot->setText(0, folders);
  RelabelTypeTree();
  SizeFileListColumns();
  UpdateSelectedFileInfo();
}

void CMainWnd::SetEngineBuilder(EngineBuilder builder) {
  m_results->builder = std::move(builder);
}

const std::vector<FoundRecord>& CMainWnd::collectedFiles() const {
  static const std::vector<FoundRecord> kNone;
  return m_results->session ? m_results->session->collected() : kNone;
}

qint64 CMainWnd::lastResultsMs() const {
  return m_results->lastResultsMs;
}

std::vector<TypeOption> CMainWnd::TypeOptions() const {
  std::vector<TypeOption> options = m_results->options;
  for (size_t i = 0; i < options.size() && i < m_results->optionBoxes.size(); ++i) {
    options[i].selected = m_results->optionBoxes[i]->isChecked();
    options[i].label = S(m_results->optionBoxes[i]->text());
  }
  return options;
}

std::vector<FoundRecord> CMainWnd::CheckedFiles() const {
  std::vector<FoundRecord> out;
  out.reserve(m_results->checked.size());
  for (const auto& [key, record] : m_results->checked) out.push_back(record);
  return out;
}

const FoundRecord* CMainWnd::SelectedFileRecord() const {
  return m_results->model->RecordAt(m_found->FileList->currentIndex().row());
}

IFileRecoveryParse* CMainWnd::EngineOfRecord(const FoundRecord& record) const {
  return m_results->session ? m_results->session->EngineOf(record) : nullptr;
}

// ---- scan and collection -----------------------------------------------------------

void CMainWnd::RunScanWindow(const std::vector<ScanSource*>& list) {
  Results& r = *m_results;
  std::vector<std::shared_ptr<ScanSource>> shared;
  for (ScanSource* source : list)
    if (std::shared_ptr<ScanSource> owner = m_diskPage->SharedSource(source))
      shared.push_back(std::move(owner));
  r.running = std::make_shared<ScanSession>(std::move(shared));
  int code = 0;
  std::string failure;
  {
    CScanProcessWnd wnd(this, r.running->SourceList(), m_deep, r.builder);
    connect(&wnd, &CScanProcessWnd::scanEnded, this, &CMainWnd::OnScanEnded, Qt::QueuedConnection);
    r.inScanWindow = true;
    code = wnd.exec();
    r.inScanWindow = false;
    failure = wnd.failureText();
  }
  if (code == 3) CMessageBox::Show(CMessageBox::kWarning, this, Message("MSG0504"));
  // "cannot write the scan log in FOLDER: There is not enough space on the disk."
  if (code == CScanProcessWnd::kCloseWriteFailed) {
    std::string text = failure;
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    CMessageBox::Show(CMessageBox::kWarning, this, Q(text + " The scan was stopped."));
  }
  if (r.scanFinishedPending) {
    r.scanFinishedPending = false;
    OnScanFinished();
  }
  r.running.reset();
}

void CMainWnd::OnScanEnded() {
  emit scanFinished();
  if (m_results->inScanWindow)
    m_results->scanFinishedPending = true;
  else
    OnScanFinished();
}

void CMainWnd::OnCollectionEnded() {
  emit collectionFinished();
  if (m_results->inSearchWindow)
    m_results->collectionFinishedPending = true;
  else
    OnCollectionFinished();
}

void CMainWnd::OnScanFinished() {
  Results& r = *m_results;
  if (r.running == nullptr) return;
  // Every source of the scan that holds an engine, in scan order.
  const std::vector<ScanSource*> sources = r.running->LiveSources();
  if (sources.empty()) return;
  // The page lets go of the last scan: its rows refer to its files.
  r.checked.clear();
  r.checkedBytes = 0;
  r.model->Clear();
  r.folderRows.clear();
  if (r.session != nullptr && r.session != r.running) {
    // The engines of the last scan that this one does not rescan are done.
    for (const auto& old : r.session->sources()) {
      const auto& now = r.running->sources();
      if (std::find(now.begin(), now.end(), old) == now.end()) old->engine.reset();
    }
  }
  r.session = r.running;
  r.session->collected().clear();
  UpdateSelectedFileInfo();
  if (SelectedRow() == nullptr && m_disk->DiskList->topLevelItemCount() > 0)
    m_disk->DiskList->setCurrentItem(m_disk->DiskList->topLevelItem(0));
  // "Others" takes every file; what no ticked option offers is left out
  // when the collection has ended.
  const std::string pattern = m_typePage->othersOption()->isChecked()
                                  ? ConvertSearchPattern(kEveryFilePattern)
                                  : SearchPatternFor(TypeOptions());
  {
    CSearchProcessWnd wnd(this, sources, pattern, r.session->collected());
    connect(&wnd, &CSearchProcessWnd::collectionEnded, this, &CMainWnd::OnCollectionEnded,
            Qt::QueuedConnection);
    r.inSearchWindow = true;
    (void)wnd.exec();  // the window reports its own outcome; its dialog code says nothing more
    r.inSearchWindow = false;
  }
  if (r.collectionFinishedPending) {
    r.collectionFinishedPending = false;
    OnCollectionFinished();
  }
}

void CMainWnd::OnCollectionFinished() {
  QElapsedTimer clock;
  clock.start();
  Results& r = *m_results;
  r.model->Clear();
  m_found->PreviewEdit->clear();
  // One row per file, and only files of the ticked types: the count
  // matches what the tree offers to tick.
  if (r.session != nullptr) {
    std::vector<FoundRecord>& files = r.session->collected();
    const std::shared_ptr<ScanSession> session = r.session;
    DropRepeatedFiles(files, 512, [&session](const FoundRecord& file, uint64_t& sector) {
      IFileRecoveryParse* engine = session->EngineOf(file);
      return engine != nullptr && engine->FirstDataSector(file, sector);
    });
    const std::vector<TypeOption> options = TypeOptions();
    const bool others = m_typePage->othersOption()->isChecked();
    const bool any =
        others || std::any_of(options.begin(), options.end(), [](const TypeOption& o) { return o.selected; });
    std::erase_if(files, [&](const FoundRecord& f) {
      if (f.isFolder != 0) return true;
      if (!any) return false;  // nothing ticked: everything was asked for
      const auto option = r.extensionMap.find(TypeGroupKey(RecordName(f)));
      return option == r.extensionMap.end() ? !others : !options[option->second].selected;
    });
  }
  GroupByType(collectedFiles(), r.groups);
  GroupOthers(collectedFiles(), r.extensionMap, r.groups);
  m_collectedCount = static_cast<int>(collectedFiles().size());
  ShowUnreadBanner();
  SelectPage(kPageRecover);
  RebuildTypeTree();
  r.lastResultsMs = clock.elapsed();
}

void CMainWnd::ShowUnreadBanner() {
  uint64_t unread = 0;
  if (m_results->session != nullptr)
    for (const ScanSource* source : m_results->session->LiveSources())
      unread += UnreadSectorsOf(*source->engine);
  m_found->UnreadBanner->setVisible(unread != 0);
  if (unread == 0) return;
  m_found->UnreadBanner->setText(Q(FormatText(S(Message(unread == 1 ? "MSG0823" : "MSG0824")),
                                              {static_cast<unsigned long long>(unread)})));
}

// ---- type tree -----------------------------------------------------------------

// Each column as wide as its header and its widest possible text: sizes up
// to "1023.99 MB", times with their seconds; the folder gets what is left.
void CMainWnd::SizeFileListColumns() {
  QTableView* view = m_found->FileList;
  const QFontMetrics text = view->fontMetrics();
  const QFontMetrics header = view->horizontalHeader()->fontMetrics();
  const QString samples[] = {QString(),
                             QStringLiteral("Name.jpg"),
                             QStringLiteral("1023.99 MB"),
                             QStringLiteral("2026-12-31 23:59:59"),
                             QStringLiteral("2026-12-31 23:59:59"),
                             QString(),
                             QStringLiteral("jpeg")};
  const int least[] = {24, 140, 0, 0, 0, 90, 0};
  QAbstractItemModel* model = view->model();
  // The texts of the first rows shown count too (names and folders are
  // long); a few hundred rows tell the widths without reading every path.
  constexpr int kMeasuredRows = 200;
  constexpr int kWidest = 600;
  const int rows = model == nullptr ? 0 : std::min(model->rowCount(), kMeasuredRows);
  for (int c = 0; c < CFileListModel::kColumnCount; ++c) {
    const QString title = model == nullptr ? QString() : model->headerData(c, Qt::Horizontal).toString();
    // Padding of the cell and of the header with its sort arrow.
    int width = std::max({least[c], text.horizontalAdvance(samples[c]) + 14,
                          title.isEmpty() ? 0 : header.horizontalAdvance(title) + 24});
    if (c != CFileListModel::kCheck) {
      const int icon = c == CFileListModel::kName ? view->iconSize().width() + 4 : 0;
      for (int row = 0; row < rows; ++row)
        width = std::max(
            width,
            std::min(kWidest, text.horizontalAdvance(model->index(row, c).data().toString()) + icon + 14));
    }
    view->setColumnWidth(c, width);
  }
}

// The type and category nodes in the current language, with their counts.
void CMainWnd::RelabelTypeTree() {
  Results& r = *m_results;
  const QSignalBlocker block(m_found->TypeTree);
  const int categories = std::min<int>(m_found->TypeTree->topLevelItemCount(), std::size(kCategoryTexts));
  for (int g = 0; g < categories; ++g) {
    QTreeWidgetItem* category = m_found->TypeTree->topLevelItem(g);
    uint64_t sum = 0;
    for (int i = 0; i < category->childCount(); ++i) {
      QTreeWidgetItem* node = category->child(i);
      const std::string key = S(node->data(0, kNodeKeyRole).toString());
      const auto files = r.groups.find(key);
      const auto option = r.extensionMap.find(key);
      if (files == r.groups.end() || option == r.extensionMap.end()) continue;
      const QString optionText = option->second < r.optionBoxes.size() ? r.optionBoxes[option->second]->text()
                                                                       : Q(r.options[option->second].label);
      node->setText(0, Q(TypeNodeLabel(S(optionText), files->second.size())));
      sum += files->second.size();
    }
    const QString name = Message(kCategoryTexts[g]);
    category->setText(0, category->childCount() == 0 ? name : Q(CategoryNodeLabel(S(name), sum)));
  }
  ShowUnreadBanner();
}

void CMainWnd::RebuildTypeTree() {
  Results& r = *m_results;
  const QSignalBlocker block(m_found->TypeTree);
  r.updatingTree = true;
  QTreeWidgetItem* categories[kCategories];
  uint64_t sums[kCategories] = {};
  for (int g = 0; g < kCategories; ++g) {
    categories[g] = m_found->TypeTree->topLevelItem(g);
    qDeleteAll(categories[g]->takeChildren());
    categories[g]->setHidden(true);
    categories[g]->setText(0, Message(kCategoryTexts[g]));
    categories[g]->setFlags(categories[g]->flags() | Qt::ItemIsUserCheckable);
    categories[g]->setCheckState(0, Qt::Unchecked);
  }
  for (const auto& [key, indices] : r.groups) {
    if (indices.empty()) continue;
    int g = kOthers;
    QString optionText;
    if (!key.empty() && key[0] == kOthersKeyMark) {
      optionText = key.size() == 1 ? Message("MSG0815") : Q(key.substr(1)).toUpper();
    } else {
      const auto option = r.extensionMap.find(key);
      if (option == r.extensionMap.end()) continue;
      const TypeOption& offered = r.options[option->second];
      g = static_cast<int>(offered.group);
      optionText =
          option->second < r.optionBoxes.size() ? r.optionBoxes[option->second]->text() : Q(offered.label);
    }
    if (g < 0 || g >= kCategories) continue;
    auto* node = new QTreeWidgetItem(categories[g]);
    node->setText(0, Q(TypeNodeLabel(S(optionText), indices.size())));
    node->setData(0, kNodeKindRole, kNodeExtension);
    node->setData(0, kNodeKeyRole, Q(key));
    node->setFlags(node->flags() | Qt::ItemIsUserCheckable);
    node->setCheckState(0, Qt::Unchecked);
    node->setIcon(0, QIcon(IconPath(QString::fromLatin1(kGroupIcons[g]))));
    categories[g]->setHidden(false);
    sums[g] += indices.size();
  }
  for (int g = 0; g < kCategories; ++g) {
    if (categories[g]->childCount() == 0) continue;
    categories[g]->setText(0, Q(CategoryNodeLabel(S(Message(kCategoryTexts[g])), sums[g])));
    categories[g]->setExpanded(true);
  }

  // The folder view: one node per scanned source with an engine.
  qDeleteAll(r.folderRoot->takeChildren());
  r.folderRecords.clear();
  const std::vector<ScanSource*> scanned = r.session ? r.session->LiveSources() : std::vector<ScanSource*>();
  for (ScanSource* source : scanned) {
    auto* node = new QTreeWidgetItem(r.folderRoot);
    node->setText(0, source->IsImage()
                         ? Q(ImageFileName(source->imagePath))
                         : Q(FormatText("%d:", {static_cast<int>(source->partition->letterOrNumber)})));
    node->setData(0, kNodeKindRole, kNodeSource);
    node->setData(0, kNodeSourceRole, unsigned{source->SourceKey()});
    node->setData(0, kNodeDepthRole, 0);
    node->setIcon(
        0, QIcon(IconPath(source->IsImage() ? QStringLiteral("image_file") : QStringLiteral("drive"))));
    node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  }
  r.folderRoot->setHidden(r.folderRoot->childCount() == 0);
  r.updatingTree = false;

  // Show the first type's files at once.
  for (int g = 0; g < kCategories; ++g) {
    if (categories[g]->childCount() > 0) {
      m_found->TypeTree->setCurrentItem(categories[g]->child(0));
      break;
    }
  }
  OnTypeTreeSelection();
}

void CMainWnd::OnFolderExpanded(QTreeWidgetItem* item) {
  Results& r = *m_results;
  const int kind = item->data(0, kNodeKindRole).toInt();
  if ((kind != kNodeSource && kind != kNodeFolder) || item->childCount() > 0) return;
  ScanSource* source = LiveSourceOfNode(item);
  if (source == nullptr) return;
  const uint32_t depth = item->data(0, kNodeDepthRole).toUInt();
  const FoundRecord* folder =
      kind == kNodeFolder ? &r.folderRecords[item->data(0, kNodeKeyRole).toULongLong()] : nullptr;
  std::vector<FoundRecord> children;
  if (source->engine->ListChildren(folder, depth, children) != 0) children.clear();
  const QSignalBlocker block(m_found->TypeTree);
  for (const FoundRecord& child : children) {
    if (child.isFolder == 0) continue;
    r.folderRecords.push_back(child);
    auto* node = new QTreeWidgetItem(item);
    node->setText(0, Q(RecordName(child)));
    node->setIcon(0, QIcon(FileIconPath("FileIcon/folder.png")));
    node->setData(0, kNodeKindRole, kNodeFolder);
    node->setData(0, kNodeKeyRole, static_cast<qulonglong>(r.folderRecords.size() - 1));
    node->setData(0, kNodeSourceRole, item->data(0, kNodeSourceRole));
    node->setData(0, kNodeDepthRole, depth + 1);
    node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  }
  if (item->childCount() == 0) item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
}

void CMainWnd::ShowRows(std::vector<const FoundRecord*> rows) {
  m_results->model->SetRows(std::move(rows));
  m_found->FileList->horizontalHeader()->setSortIndicatorShown(false);
  SizeFileListColumns();
  ShowCheckStates();
}

void CMainWnd::OnTypeTreeSelection() {
  Results& r = *m_results;
  const QList<QTreeWidgetItem*> selected = m_found->TypeTree->selectedItems();
  QTreeWidgetItem* item = selected.isEmpty() ? m_found->TypeTree->currentItem() : selected.first();
  std::vector<const FoundRecord*> rows;
  if (item == nullptr) {
    ShowRows({});
    return;
  }
  const auto addGroup = [&](const QTreeWidgetItem* node) {
    const auto it = r.groups.find(S(node->data(0, kNodeKeyRole).toString()));
    if (it == r.groups.end()) return;
    for (const uint32_t i : it->second) rows.push_back(&r.session->collected()[i]);
  };
  switch (item->data(0, kNodeKindRole).toInt()) {
    case kNodeExtension:
      addGroup(item);
      break;
    case kNodeCategory:
      for (int i = 0; i < item->childCount(); ++i) addGroup(item->child(i));
      break;
    case kNodeSource:
    case kNodeFolder: {
      ScanSource* source = LiveSourceOfNode(item);
      const bool isFolder = item->data(0, kNodeKindRole).toInt() == kNodeFolder;
      const FoundRecord* folder =
          isFolder ? &r.folderRecords[item->data(0, kNodeKeyRole).toULongLong()] : nullptr;
      r.model->Clear();  // the rows below refer to folderRows
      r.folderRows.clear();
      if (source != nullptr &&
          source->engine->ListChildren(folder, item->data(0, kNodeDepthRole).toUInt(), r.folderRows) != 0)
        r.folderRows.clear();
      for (const FoundRecord& f : r.folderRows) rows.push_back(&f);
      break;
    }
    default:
      break;
  }
  ShowRows(std::move(rows));
}

void CMainWnd::OnTypeTreeItemChanged(QTreeWidgetItem* item) {
  Results& r = *m_results;
  if (r.updatingTree || item == nullptr) return;
  const int kind = item->data(0, kNodeKindRole).toInt();
  if (kind != kNodeExtension && kind != kNodeCategory) return;
  const bool on = item->checkState(0) == Qt::Checked;
  r.updatingTree = true;
  std::vector<QTreeWidgetItem*> nodes;
  if (kind == kNodeExtension) nodes.push_back(item);
  for (int i = 0; kind == kNodeCategory && i < item->childCount(); ++i) {
    item->child(i)->setCheckState(0, item->checkState(0));
    nodes.push_back(item->child(i));
  }
  for (const QTreeWidgetItem* node : nodes) {
    const auto it = r.groups.find(S(node->data(0, kNodeKeyRole).toString()));
    if (it == r.groups.end()) continue;
    for (const uint32_t i : it->second) SetFileChecked(r.session->collected()[i], on);
  }
  r.updatingTree = false;
  r.model->RefreshChecks();
  ShowCheckStates();
  UpdateSelectedFileInfo();
}

// ---- checked set -----------------------------------------------------------------

void CMainWnd::SetFileChecked(const FoundRecord& record, bool checked) {
  Results& r = *m_results;
  const uint64_t size = record.size;
  if (checked) {
    if (r.checked.emplace(KeyOf(record), record).second) r.checkedBytes += size;
  } else if (r.checked.erase(KeyOf(record)) != 0) {
    r.checkedBytes -= size;
  }
}

void CMainWnd::OnCheckAll() {
  // A click on a partly ticked box ticks every listed file.
  const bool checked = m_found->ChkAllListSel->checkState() != Qt::Unchecked;
  for (const FoundRecord* record : m_results->model->Rows()) SetFileChecked(*record, checked);
  m_results->model->RefreshChecks();
  ShowCheckStates();
  UpdateSelectedFileInfo();
}

namespace {

Qt::CheckState StateOf(size_t ticked, size_t total) {
  if (ticked == 0) return Qt::Unchecked;
  return ticked == total ? Qt::Checked : Qt::PartiallyChecked;
}

}  // namespace

void CMainWnd::ShowCheckStates() {
  Results& r = *m_results;
  const auto ticked = [&r](const FoundRecord& f) { return r.checked.count(KeyOf(f)) != 0; };
  // "Select all": all, some or none of the listed files.
  {
    const std::vector<const FoundRecord*>& rows = r.model->Rows();
    size_t on = 0;
    if (!r.checked.empty())
      on = static_cast<size_t>(
          std::count_if(rows.begin(), rows.end(), [&](const FoundRecord* f) { return ticked(*f); }));
    const QSignalBlocker block(m_found->ChkAllListSel);
    m_found->ChkAllListSel->setCheckState(rows.empty() ? Qt::Unchecked : StateOf(on, rows.size()));
  }
  // The type nodes: of their files; the categories: of their types.
  if (r.session == nullptr) return;
  const bool wasUpdating = r.updatingTree;
  r.updatingTree = true;
  const QSignalBlocker block(m_found->TypeTree);
  for (int g = 0; g < m_found->TypeTree->topLevelItemCount(); ++g) {
    QTreeWidgetItem* category = m_found->TypeTree->topLevelItem(g);
    if (category->data(0, kNodeKindRole).toInt() != kNodeCategory) continue;
    size_t full = 0;
    size_t some = 0;
    for (int i = 0; i < category->childCount(); ++i) {
      QTreeWidgetItem* node = category->child(i);
      const auto it = r.groups.find(S(node->data(0, kNodeKeyRole).toString()));
      size_t on = 0;
      size_t total = 0;
      if (it != r.groups.end()) {
        total = it->second.size();
        if (!r.checked.empty())
          for (const uint32_t index : it->second) on += ticked(r.session->collected()[index]) ? 1 : 0;
      }
      const Qt::CheckState state = StateOf(on, total);
      node->setCheckState(0, state);
      full += state == Qt::Checked ? 1 : 0;
      some += state == Qt::PartiallyChecked ? 1 : 0;
    }
    if (category->childCount() > 0)
      category->setCheckState(0, full == static_cast<size_t>(category->childCount())
                                     ? Qt::Checked
                                     : (full + some > 0 ? Qt::PartiallyChecked : Qt::Unchecked));
  }
  r.updatingTree = wasUpdating;
  m_found->TypeTree->viewport()->update();
}

void CMainWnd::UpdateSelectedFileInfo() {
  if (!m_results || m_results->checked.empty()) {
    m_ui->BtnRecover->setEnabled(false);
    m_ui->SelectedFileInfo->setText(Message("MSG0803"));
    return;
  }
  const uint64_t bytes = m_results->checkedBytes;
  m_ui->BtnRecover->setEnabled(true);
  m_ui->SelectedFileInfo->setText(Q(FormatText(
      S(Message(m_results->checked.size() == 1 ? "MSG0822" : "MSG0804")),
      {FormatSize(bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes)),
       static_cast<int>(m_results->checked.size())})));
}

// ---- sorting -----------------------------------------------------------------------

void CMainWnd::OnFileListHeaderClick(int column) {
  if (column <= CFileListModel::kCheck || column >= CFileListModel::kColumnCount) return;
  int& direction = m_results->sortDirection[column];
  switch (column) {
    case CFileListModel::kName:
    case CFileListModel::kType:
      direction = direction == 1 ? -1 : 1;  // first click: ascending
      break;
    case CFileListModel::kSize:
    case CFileListModel::kModified:
    case CFileListModel::kCreated:
      direction = direction == -1 ? 1 : -1;  // first click: largest / newest first
      break;
    default:
      if (direction == 0) direction = 1;  // "Path" keeps its direction
      break;
  }
  m_results->model->SortRows(column, direction == 1);
  QHeaderView* header = m_found->FileList->horizontalHeader();
  header->setSortIndicatorShown(true);
  header->setSortIndicator(column, direction == 1 ? Qt::AscendingOrder : Qt::DescendingOrder);
}

}  // namespace velmira
