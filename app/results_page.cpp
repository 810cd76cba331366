#include "app/results_page.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QIcon>
#include <QScrollBar>
#include <QTableView>
#include <QTextBrowser>
#include <QTreeWidget>
#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <tuple>

#include "app/file_list_model.h"
#include "app/language_ui.h"
#include "app/message_box.h"
#include "app/scan_process_wnd.h"
#include "app/scan_session.h"
#include "app/search_process_wnd.h"
#include "platform/message_format.h"
#include "results/extension_lists.h"
#include "results/result_tree.h"
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
constexpr int kOthers = 5;
constexpr int kCategories = 6;
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

struct CResultsPage::State {
  EngineBuilder builder = BuildEngineFor;
  // The scan the page shows, and the one whose windows run (it becomes the
  // shown one when its collection has finished).
  std::shared_ptr<ScanSession> session;
  std::shared_ptr<ScanSession> running;
  // The type page's options as the last collection ended, and their map.
  std::vector<TypeOption> options;
  ExtensionMap extensionMap;
  TypeGroups groups;
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
  int collectedCount = 0;
  qint64 lastResultsMs = 0;
};

void CResultsPage::StateDeleter::operator()(State* state) const {
  delete state;
}

// ---- set-up ------------------------------------------------------------------

CResultsPage::CResultsPage(QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::ResultsPage>()), m_state(new State()) {
  m_ui->setupUi(this);
  State& r = *m_state;
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
  // The categories of the type tree, hidden until they hold files.
  const char* nodes[] = {"NodePhoto", "NodeAudio", "NodeVideo", "NodeDocument", "NodeArchive", "NodeOthers"};
  for (int i = 0; i < kCategories; ++i) {
    QTreeWidgetItem* node = m_ui->TypeTree->topLevelItem(i);
    if (node == nullptr) node = new QTreeWidgetItem(m_ui->TypeTree);
    node->setData(0, kItemNameRole, QString::fromLatin1(nodes[i]));
    node->setData(0, kNodeKindRole, kNodeCategory);
    node->setIcon(0, QIcon(IconPath(QString::fromLatin1(kGroupIcons[i]))));
    node->setHidden(true);
  }

  // The folder view below the categories.
  r.folderRoot = new QTreeWidgetItem(m_ui->TypeTree);
  r.folderRoot->setData(0, kItemNameRole, QStringLiteral("NodeFolders"));
  r.folderRoot->setData(0, kNodeKindRole, kNodeFolderRoot);
  r.folderRoot->setText(0, QStringLiteral("Folders"));
  r.folderRoot->setIcon(0, QIcon(FileIconPath("FileIcon/folder.png")));
  r.folderRoot->setHidden(true);
  connect(m_ui->TypeTree, &QTreeWidget::itemSelectionChanged, this, &CResultsPage::OnTypeTreeSelection);
  connect(m_ui->TypeTree, &QTreeWidget::itemChanged, this,
          [this](QTreeWidgetItem* item, int) { OnTypeTreeItemChanged(item); });
  connect(m_ui->TypeTree, &QTreeWidget::itemExpanded, this, &CResultsPage::OnFolderExpanded);

  // The file list: a model whose rows are painted on demand.
  r.model = new CFileListModel(this);
  r.model->SetCheckLookup([this](const FoundRecord& f) { return m_state->checked.count(KeyOf(f)) != 0; },
                          [this](const FoundRecord& f, bool on) {
                            SetFileChecked(f, on);
                            ShowCheckStates();
                            emit checkedChanged();
                          });
  r.model->SetPathLookup([this](const FoundRecord& f) {
    IFileRecoveryParse* engine = EngineOfRecord(f);
    std::string path;
    if (engine == nullptr || engine->GetFolderPath(f, path, kMaxFolderPath) != 0) return std::string();
    return path;
  });
  QTableView* view = m_ui->FileList;
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
  connect(view->horizontalHeader(), &QHeaderView::sectionClicked, this, &CResultsPage::OnFileListHeaderClick);
  m_ui->ChkAllListSel->setTristate(true);
  connect(m_ui->ChkAllListSel, &QCheckBox::clicked, this, &CResultsPage::OnCheckAll);

  // Selecting a file previews it.
  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& now) {
            if (now.isValid()) PreviewSelected();
          });
}

CResultsPage::~CResultsPage() = default;

QString CResultsPage::Message(const char* id) const {
  return SectionText(m_messages, id);
}

QString CResultsPage::WindowText(const char* key) const {
  return SectionText(m_texts, key);
}

CResultsPage::TypeChoice CResultsPage::CurrentTypeChoice() const {
  return m_typeChoice ? m_typeChoice() : TypeChoice{};
}

void CResultsPage::SetTexts(const TextSection& messages, const TextSection& texts) {
  m_messages = messages;
  m_texts = texts;
  QStringList headers;
  for (const char* name : CFileListModel::kHeaderNames)
    headers << (*name == 0 ? QString() : WindowText(name));
  m_state->model->SetHeaderTexts(headers);
  const QString folders = WindowText("NodeFolders");
  if (!folders.isEmpty()) m_state->folderRoot->setText(0, folders);
  RelabelTypeTree();
  SizeFileListColumns();
}

ScanSource* CResultsPage::LiveSourceOfNode(const QTreeWidgetItem* node) const {
  const ScanSession* session = m_state->session.get();
  if (session == nullptr) return nullptr;
  ScanSource* source = session->SourceOfKey(static_cast<uint16_t>(node->data(0, kNodeSourceRole).toUInt()));
  return source == nullptr || !source->engine || session->IsGone(source) ? nullptr : source;
}

// ---- what the page shows ---------------------------------------------------------

std::shared_ptr<ScanSession> CResultsPage::session() const {
  return m_state->session;
}

const std::vector<FoundRecord>& CResultsPage::collectedFiles() const {
  static const std::vector<FoundRecord> kNone;
  return m_state->session ? m_state->session->collected() : kNone;
}

int CResultsPage::collectedCount() const {
  return m_state->collectedCount;
}

size_t CResultsPage::checkedCount() const {
  return m_state->checked.size();
}

uint64_t CResultsPage::checkedBytes() const {
  return m_state->checkedBytes;
}

qint64 CResultsPage::lastResultsMs() const {
  return m_state->lastResultsMs;
}

std::vector<FoundRecord> CResultsPage::CheckedFiles() const {
  std::vector<FoundRecord> out;
  out.reserve(m_state->checked.size());
  for (const auto& [key, record] : m_state->checked) out.push_back(record);
  return out;
}

const FoundRecord* CResultsPage::SelectedFileRecord() const {
  return m_state->model->RecordAt(m_ui->FileList->currentIndex().row());
}

IFileRecoveryParse* CResultsPage::EngineOfRecord(const FoundRecord& record) const {
  return m_state->session ? m_state->session->EngineOf(record) : nullptr;
}

void CResultsPage::SetEngineBuilder(EngineBuilder builder) {
  m_state->builder = std::move(builder);
}

void CResultsPage::MarkSourceGone(const ScanSource* source) {
  for (ScanSession* session : {m_state->session.get(), m_state->running.get()})
    if (session != nullptr) session->MarkGone(source);
}

// ---- preview and recovery ----------------------------------------------------------

void CResultsPage::PreviewSelected() {
  const FoundRecord* record = SelectedFileRecord();
  if (record == nullptr) return;
  const FoundRecord file = *record;  // the list may be rebuilt meanwhile
  // The session stays while the preview window reads from its engine.
  const std::shared_ptr<ScanSession> session = m_state->session;
  if (session != nullptr && session->SourceGone(file)) {
    m_ui->PreviewEdit->clear();
    m_ui->PreviewEdit->setPlainText(Message("MSG0906"));
    return;
  }
  emit previewRequested(file, session == nullptr ? nullptr : session->EngineOf(file));
}

void CResultsPage::RecoverChecked() {
  const std::shared_ptr<ScanSession> session = m_state->session;
  std::vector<FoundRecord> files = CheckedFiles();
  if (session == nullptr || files.empty()) return;
  const auto gone = static_cast<int>(std::count_if(
      files.begin(), files.end(), [&session](const FoundRecord& f) { return session->SourceGone(f); }));
  if (gone != 0) {
    CMessageBox::Show(CMessageBox::kWarning, window(),
                      Q(FormatText(S(Message(gone == 1 ? "MSG0825" : "MSG0811")), {gone})));
    // The others are recovered; those of the removed device are listed
    // among the failures with the reason.
    if (gone == static_cast<int>(files.size())) return;
  }
  emit recoverRequested(files, session->RecoverySources());
}

// ---- scan and collection -----------------------------------------------------------

void CResultsPage::RunScan(std::vector<std::shared_ptr<ScanSource>> sources, bool deep) {
  State& r = *m_state;
  r.running = std::make_shared<ScanSession>(std::move(sources));
  int code = 0;
  std::string failure;
  {
    CScanProcessWnd wnd(window(), r.running->SourceList(), deep, r.builder);
    connect(&wnd, &CScanProcessWnd::scanEnded, this, &CResultsPage::OnScanEnded, Qt::QueuedConnection);
    r.inScanWindow = true;
    code = wnd.exec();
    r.inScanWindow = false;
    failure = wnd.failureText();
  }
  if (code == 3) CMessageBox::Show(CMessageBox::kWarning, window(), Message("MSG0504"));
  // "cannot write the scan log in FOLDER: There is not enough space on the disk."
  if (code == CScanProcessWnd::kCloseWriteFailed) {
    std::string text = failure;
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    CMessageBox::Show(CMessageBox::kWarning, window(), Q(text + " The scan was stopped."));
  }
  if (r.scanFinishedPending) {
    r.scanFinishedPending = false;
    OnScanFinished();
  }
  r.running.reset();
}

void CResultsPage::OnScanEnded() {
  emit scanFinished();
  if (m_state->inScanWindow)
    m_state->scanFinishedPending = true;
  else
    OnScanFinished();
}

void CResultsPage::OnCollectionEnded() {
  emit collectionFinished();
  if (m_state->inSearchWindow)
    m_state->collectionFinishedPending = true;
  else
    OnCollectionFinished();
}

void CResultsPage::OnScanFinished() {
  State& r = *m_state;
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
  emit checkedChanged();
  emit sessionChanged();
  // "Others" takes every file; what no ticked option offers is left out
  // when the collection has ended.
  const TypeChoice choice = CurrentTypeChoice();
  const std::string pattern =
      choice.others ? ConvertSearchPattern(kEveryFilePattern) : SearchPatternFor(choice.options);
  {
    CSearchProcessWnd wnd(window(), sources, pattern, r.session->collected());
    connect(&wnd, &CSearchProcessWnd::collectionEnded, this, &CResultsPage::OnCollectionEnded,
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

void CResultsPage::OnCollectionFinished() {
  QElapsedTimer clock;
  clock.start();
  State& r = *m_state;
  r.model->Clear();
  m_ui->PreviewEdit->clear();
  const TypeChoice choice = CurrentTypeChoice();
  r.options = choice.options;
  r.extensionMap = BuildExtensionMap(r.options);
  // One row per file, and only files of the ticked types: the count
  // matches what the tree offers to tick.
  if (r.session != nullptr) {
    std::vector<FoundRecord>& files = r.session->collected();
    const std::shared_ptr<ScanSession> session = r.session;
    DropRepeatedFiles(files, 512, [&session](const FoundRecord& file, uint64_t& sector) {
      IFileRecoveryParse* engine = session->EngineOf(file);
      return engine != nullptr && engine->FirstDataSector(file, sector);
    });
    const std::vector<TypeOption>& options = r.options;
    const bool others = choice.others;
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
  r.collectedCount = static_cast<int>(collectedFiles().size());
  ShowUnreadBanner();
  emit resultsReady();
  RebuildTypeTree();
  r.lastResultsMs = clock.elapsed();
}

void CResultsPage::ShowUnreadBanner() {
  uint64_t unread = 0;
  if (m_state->session != nullptr)
    for (const ScanSource* source : m_state->session->LiveSources())
      unread += UnreadSectorsOf(*source->engine);
  m_ui->UnreadBanner->setVisible(unread != 0);
  if (unread == 0) return;
  m_ui->UnreadBanner->setText(Q(FormatText(S(Message(unread == 1 ? "MSG0823" : "MSG0824")),
                                           {static_cast<unsigned long long>(unread)})));
}

// ---- type tree -----------------------------------------------------------------

// Each column as wide as its header and its widest possible text: sizes up
// to "1023.99 MB", times with their seconds; the folder gets what is left.
void CResultsPage::SizeFileListColumns() {
  QTableView* view = m_ui->FileList;
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
void CResultsPage::RelabelTypeTree() {
  State& r = *m_state;
  const TypeChoice labels = CurrentTypeChoice();
  const QSignalBlocker block(m_ui->TypeTree);
  const int categories = std::min<int>(m_ui->TypeTree->topLevelItemCount(), std::size(kCategoryTexts));
  for (int g = 0; g < categories; ++g) {
    QTreeWidgetItem* category = m_ui->TypeTree->topLevelItem(g);
    uint64_t sum = 0;
    for (int i = 0; i < category->childCount(); ++i) {
      QTreeWidgetItem* node = category->child(i);
      const std::string key = S(node->data(0, kNodeKeyRole).toString());
      const auto files = r.groups.find(key);
      const auto option = r.extensionMap.find(key);
      if (files == r.groups.end() || option == r.extensionMap.end()) continue;
      const QString optionText =
          Q(option->second < labels.options.size() ? labels.options[option->second].label
                                                   : r.options[option->second].label);
      node->setText(0, Q(TypeNodeLabel(S(optionText), files->second.size())));
      sum += files->second.size();
    }
    const QString name = Message(kCategoryTexts[g]);
    category->setText(0, category->childCount() == 0 ? name : Q(CategoryNodeLabel(S(name), sum)));
  }
  ShowUnreadBanner();
}

void CResultsPage::RebuildTypeTree() {
  State& r = *m_state;
  const QSignalBlocker block(m_ui->TypeTree);
  r.updatingTree = true;
  QTreeWidgetItem* categories[kCategories];
  uint64_t sums[kCategories] = {};
  for (int g = 0; g < kCategories; ++g) {
    categories[g] = m_ui->TypeTree->topLevelItem(g);
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
      optionText = Q(offered.label);
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
      m_ui->TypeTree->setCurrentItem(categories[g]->child(0));
      break;
    }
  }
  OnTypeTreeSelection();
}

void CResultsPage::OnFolderExpanded(QTreeWidgetItem* item) {
  State& r = *m_state;
  const int kind = item->data(0, kNodeKindRole).toInt();
  if ((kind != kNodeSource && kind != kNodeFolder) || item->childCount() > 0) return;
  ScanSource* source = LiveSourceOfNode(item);
  if (source == nullptr) return;
  const uint32_t depth = item->data(0, kNodeDepthRole).toUInt();
  const FoundRecord* folder =
      kind == kNodeFolder ? &r.folderRecords[item->data(0, kNodeKeyRole).toULongLong()] : nullptr;
  std::vector<FoundRecord> children;
  if (source->engine->ListChildren(folder, depth, children) != 0) children.clear();
  const QSignalBlocker block(m_ui->TypeTree);
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

void CResultsPage::ShowRows(std::vector<const FoundRecord*> rows) {
  m_state->model->SetRows(std::move(rows));
  m_ui->FileList->horizontalHeader()->setSortIndicatorShown(false);
  SizeFileListColumns();
  ShowCheckStates();
}

void CResultsPage::OnTypeTreeSelection() {
  State& r = *m_state;
  const QList<QTreeWidgetItem*> selected = m_ui->TypeTree->selectedItems();
  QTreeWidgetItem* item = selected.isEmpty() ? m_ui->TypeTree->currentItem() : selected.first();
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

void CResultsPage::OnTypeTreeItemChanged(QTreeWidgetItem* item) {
  State& r = *m_state;
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
  emit checkedChanged();
}

// ---- checked set -----------------------------------------------------------------

void CResultsPage::SetFileChecked(const FoundRecord& record, bool checked) {
  State& r = *m_state;
  const uint64_t size = record.size;
  if (checked) {
    if (r.checked.emplace(KeyOf(record), record).second) r.checkedBytes += size;
  } else if (r.checked.erase(KeyOf(record)) != 0) {
    r.checkedBytes -= size;
  }
}

void CResultsPage::OnCheckAll() {
  // A click on a partly ticked box ticks every listed file.
  const bool checked = m_ui->ChkAllListSel->checkState() != Qt::Unchecked;
  for (const FoundRecord* record : m_state->model->Rows()) SetFileChecked(*record, checked);
  m_state->model->RefreshChecks();
  ShowCheckStates();
  emit checkedChanged();
}

namespace {

Qt::CheckState StateOf(size_t ticked, size_t total) {
  if (ticked == 0) return Qt::Unchecked;
  return ticked == total ? Qt::Checked : Qt::PartiallyChecked;
}

}  // namespace

void CResultsPage::ShowCheckStates() {
  State& r = *m_state;
  const auto ticked = [&r](const FoundRecord& f) { return r.checked.count(KeyOf(f)) != 0; };
  // "Select all": all, some or none of the listed files.
  {
    const std::vector<const FoundRecord*>& rows = r.model->Rows();
    size_t on = 0;
    if (!r.checked.empty())
      on = static_cast<size_t>(
          std::count_if(rows.begin(), rows.end(), [&](const FoundRecord* f) { return ticked(*f); }));
    const QSignalBlocker block(m_ui->ChkAllListSel);
    m_ui->ChkAllListSel->setCheckState(rows.empty() ? Qt::Unchecked : StateOf(on, rows.size()));
  }
  // The type nodes: of their files; the categories: of their types.
  if (r.session == nullptr) return;
  const bool wasUpdating = r.updatingTree;
  r.updatingTree = true;
  const QSignalBlocker block(m_ui->TypeTree);
  for (int g = 0; g < m_ui->TypeTree->topLevelItemCount(); ++g) {
    QTreeWidgetItem* category = m_ui->TypeTree->topLevelItem(g);
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
  m_ui->TypeTree->viewport()->update();
}

// ---- sorting -----------------------------------------------------------------------

void CResultsPage::OnFileListHeaderClick(int column) {
  if (column <= CFileListModel::kCheck || column >= CFileListModel::kColumnCount) return;
  int& direction = m_state->sortDirection[column];
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
  m_state->model->SortRows(column, direction == 1);
  QHeaderView* header = m_ui->FileList->horizontalHeader();
  header->setSortIndicatorShown(true);
  header->setSortIndicator(column, direction == 1 ? Qt::AscendingOrder : Qt::DescendingOrder);
}

}  // namespace velmira
