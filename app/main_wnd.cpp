#include "app/main_wnd.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QFile>
#include <QFileDialog>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

#include "app/assist_menu.h"
#include "app/file_type_page.h"
#include "app/language_ui.h"
#include "app/message_box.h"
#include "app/results_page.h"
#include "platform/message_format.h"
#include "ui_disk_page.h"
#include "ui_file_type_page.h"
#include "ui_main_wnd.h"
#include "ui_results_page.h"

namespace velmira {
namespace {

struct PageLook {
  const char* background;
  const char* logo;
  const char* colour;  // of "Txt1"
};

constexpr PageLook kDiskPageLook{"banner_bg", "scan_files", "#0089BE"};
constexpr PageLook kTypePageLook{"banner_bg2", "deep_scan", "#E47100"};
constexpr PageLook kResultPageLook{"banner_bg1", "recover_file", "#316D1E"};

}  // namespace

CMainWnd::CMainWnd(QWidget* parent) : QWidget(parent), m_ui(std::make_unique<Ui::MainWnd>()) {
  InitResources();
  m_ui->setupUi(this);
  m_diskPage = new CDiskPage(m_ui->TabPage);
  m_typePage = new CFileTypePage(m_ui->TabPage);
  m_resultsPage = new CResultsPage(m_ui->TabPage);
  for (QWidget* page : {static_cast<QWidget*>(m_diskPage), static_cast<QWidget*>(m_typePage),
                        static_cast<QWidget*>(m_resultsPage)})
    m_ui->TabPage->addWidget(page);
  m_disk = &m_diskPage->ui();
  m_types = &m_typePage->ui();
  m_found = &m_resultsPage->ui();
  setWindowTitle(QStringLiteral("Velmira"));
  setWindowIcon(QIcon(IconPath(QStringLiteral("velmira"))));
  MakeLabelsPlain(this, {QStringLiteral("Txt2")});
  m_ui->Txt2->setTextFormat(Qt::RichText);
  m_ui->LogoIcon->setPixmap(QIcon(IconPath(QStringLiteral("velmira"))).pixmap(28, 28));

  // The page options act as one group.
  auto* tabs = new QButtonGroup(this);
  tabs->addButton(m_ui->TabScan, kPageDisks);
  tabs->addButton(m_ui->TabFileType, kPageFileType);
  tabs->addButton(m_ui->TabRecover, kPageRecover);
  connect(tabs, &QButtonGroup::idClicked, this, [this](int page) { SelectPage(static_cast<Page>(page)); });

  connect(m_ui->BtnStart, &QPushButton::clicked, this, [this] {
    m_deep = true;
    ChooseMode(kModeRecover);
  });
  connect(m_ui->BtnRecoverMode, &QToolButton::clicked, this, [this] { ChooseMode(kModeRecover); });
  connect(m_ui->BtnCreateImageMode, &QToolButton::clicked, this, [this] { ChooseMode(kModeCreateImage); });
  m_ui->BtnRecoverMode->installEventFilter(this);
  m_ui->BtnCreateImageMode->installEventFilter(this);
  connect(m_ui->BtnNext, &QPushButton::clicked, this, &CMainWnd::OnNext);
  connect(m_ui->BtnPrev, &QPushButton::clicked, this, &CMainWnd::OnPrev);
  connect(m_ui->BtnScan, &QPushButton::clicked, this, &CMainWnd::OnScan);
  connect(m_disk->BtnLoadImage, &QPushButton::clicked, this, &CMainWnd::OnLoadImage);
  connect(m_disk->BtnCreateImage, &QPushButton::clicked, this, &CMainWnd::OnCreateImage);
  connect(m_disk->BtnDeepScan, &QPushButton::clicked, this, [this] { SelectPage(kPageFileType); });
  connect(m_ui->BtnAssist, &QToolButton::clicked, this, &CMainWnd::OnAssist);
  connect(m_found->BtnLikeIt, &QPushButton::clicked, this,
          [this] { ShowHelpPage(this, HelpTopic::kSupport); });
  connect(m_diskPage, &CDiskPage::selectionChanged, this, &CMainWnd::OnDiskSelection);
  connect(m_diskPage, &CDiskPage::rowsChanged, this, &CMainWnd::UpdateScanButton);
  connect(m_diskPage, &CDiskPage::rowActivated, this, &CMainWnd::OnDiskRowActivated);
  // A removed device's sources stay in the results page's sessions, marked gone.
  connect(m_diskPage, &CDiskPage::sourceReleased, m_resultsPage, &CResultsPage::MarkSourceGone);

  SetUpResults();
  LoadTexts();
  FillDiskList(kFillFirst);
  UpdateSelectedFileInfo();
  ShowPage(kPageStart);
  ConnectKeyboard();
}

CMainWnd::~CMainWnd() {
  m_found->PreviewEdit->clear();
  if (!m_previewFile.isEmpty()) QFile::remove(m_previewFile);
}

// ---- texts -------------------------------------------------------------------

QString CMainWnd::Message(const char* id) const {
  return SectionText(m_messages, id);
}

QString CMainWnd::WindowText(const char* key) const {
  return SectionText(m_texts, key);
}

void CMainWnd::LoadTexts() {
  LanguageManager& language = LanguageManager::Instance();
  m_messages = language.GetSection("Messages");
  m_texts = language.GetSection("MainWnd");
  m_diskPage->SetTexts(m_messages, m_texts);
  (void)LoadQtTranslations();  // without them Qt's dialogs stay English
  ApplySection(this, m_texts);
  m_ui->LblProductName->setText(Message("MSG1209"));
  m_resultsPage->SetTexts(m_messages, m_texts);
  UpdateSelectedFileInfo();
}

void CMainWnd::ApplyLanguage() {
  LoadTexts();
  SetTabScanLook();
  const Page page = CurrentPage();
  if (page != kPageStart) SetPageTexts(page);
  UpdateSelectedFileInfo();
  m_diskPage->RewriteTexts();
}

void CMainWnd::SetTabScanLook() {
  const bool recover = m_mode == kModeRecover;
  m_ui->TabScan->setIcon(
      QIcon(IconPath(recover ? QStringLiteral("btn_scan") : QStringLiteral("btn_create_image"))));
  m_ui->TabScan->setText(Message(recover ? "MSG0503" : "MSG0211"));
}

void CMainWnd::SetPageTexts(Page page) {
  switch (page) {
    case kPageDisks: {
      const bool recover = m_mode == kModeRecover;
      SetTabScanLook();
      m_ui->Txt1->setText(Message(recover ? "MSG0501" : "MSG0212"));
      m_ui->Txt2->setText(Message(recover ? "MSG0502" : "MSG0213").toHtmlEscaped());
      break;
    }
    case kPageFileType:
      m_ui->Txt1->setText(Message("MSG0601"));
      m_ui->Txt2->setText(Message("MSG0602").toHtmlEscaped());
      break;
    case kPageRecover: {
      m_ui->Txt1->setText(Message("MSG0801"));
      const int collected = m_resultsPage->collectedCount();
      const QString count =
          QStringLiteral("<span style=\"font-size:15px; font-weight:bold; color:#316D1E\">%1</span>")
              .arg(collected);
      m_ui->Txt2->setText(
          Q(FormatText(S(Message(collected == 1 ? "MSG0821" : "MSG0802").toHtmlEscaped()), {S(count)})));
      break;
    }
    default:
      break;
  }
}

// ---- pages -------------------------------------------------------------------

CMainWnd::Page CMainWnd::CurrentPage() const {
  return static_cast<Page>(m_ui->TabPage->currentIndex());
}

void CMainWnd::SelectPage(Page page) {
  if (page < kPageStart || page > kPageRecover) return;
  QAbstractButton* option = page == kPageDisks      ? static_cast<QAbstractButton*>(m_ui->TabScan)
                            : page == kPageFileType ? m_ui->TabFileType
                            : page == kPageRecover  ? m_ui->TabRecover
                                                    : nullptr;
  if (option != nullptr) {
    const QSignalBlocker block(option);
    option->setChecked(true);
  }
  ShowPage(page);
}

void CMainWnd::SetBanner(const QString& background, const QString& logo, const QString& colour) {
  m_ui->ToolBar2->setStyleSheet(QStringLiteral("#ToolBar2 { border-image: url(%1) 0 0 0 0 stretch stretch; }")
                                    .arg(IconPath(background)));
  m_ui->ToolBar2Logo->setPixmap(QIcon(IconPath(logo)).pixmap(44, 44));
  m_ui->Txt1->setStyleSheet(QStringLiteral("color: %1;").arg(colour));
}

void CMainWnd::ShowPage(Page page) {
  m_ui->TabPage->setCurrentIndex(page);
  const bool start = page == kPageStart;
  m_ui->ToolBar2->setVisible(!start);
  m_ui->ToolBar3->setVisible(!start);
  m_ui->SubBar1->setVisible(start);
  m_ui->SubBar2->setVisible(!start);
  m_ui->Txt1->setVisible(!start);
  m_ui->Txt2->setVisible(!start);
  m_ui->BtnPrev->setEnabled(!start);
  m_ui->BtnNext->setEnabled(page != kPageRecover);
  SetTabScanLook();
  switch (page) {
    case kPageDisks: {
      const bool recover = m_mode == kModeRecover;
      m_ui->SelectedFileInfo->hide();
      m_ui->BtnRecover->hide();
      m_ui->BtnScan->setVisible(recover);
      m_ui->TabRecover->setVisible(recover);
      m_ui->TabFileType->setVisible(recover);
      SetBanner(kDiskPageLook.background, kDiskPageLook.logo, kDiskPageLook.colour);
      break;
    }
    case kPageFileType:
      m_ui->SelectedFileInfo->hide();
      m_ui->BtnScan->show();
      m_ui->BtnRecover->hide();
      SetBanner(kTypePageLook.background, kTypePageLook.logo, kTypePageLook.colour);
      break;
    case kPageRecover:
      m_ui->BtnScan->hide();
      m_ui->BtnRecover->show();
      m_ui->SelectedFileInfo->show();
      SetBanner(kResultPageLook.background, kResultPageLook.logo, kResultPageLook.colour);
      break;
    default:
      break;
  }
  SetPageTexts(page);
}

void CMainWnd::ChooseMode(Mode mode) {
  m_mode = mode == kModeCreateImage ? kModeCreateImage : kModeRecover;
  m_diskPage->ApplyMode(m_mode == kModeRecover);
  SelectPage(kPageDisks);
}

void CMainWnd::OnNext() {
  switch (CurrentPage()) {
    case kPageStart:
      SelectPage(kPageDisks);
      break;
    case kPageDisks:
      if (m_ui->BtnScan->isEnabled()) {
        SelectPage(kPageFileType);
      } else {
        CMessageBox::Show(
            CMessageBox::kInformation, this,
            Message("MSG0506").isEmpty() ? QString::fromLatin1(kSelectDiskText) : Message("MSG0506"));
      }
      break;
    case kPageFileType:
      SelectPage(kPageRecover);
      break;
    default:
      break;
  }
}

void CMainWnd::OnPrev() {
  switch (CurrentPage()) {
    case kPageDisks:
      SelectPage(kPageStart);
      break;
    case kPageFileType:
      SelectPage(kPageDisks);
      break;
    case kPageRecover:
      SelectPage(m_scanFromTypePage ? kPageFileType : kPageDisks);
      break;
    default:
      break;
  }
}

void CMainWnd::OnScan() {
  const QTreeWidgetItem* row = SelectedRow();
  std::vector<ScanSource*> list = row == nullptr ? std::vector<ScanSource*>() : SourcesOfRow(row);
  // A row without anything to scan (a drive that cannot be read) counts as no choice.
  if (!m_sourceChosen || list.empty()) {
    CMessageBox::Show(CMessageBox::kInformation, this, Message("MSG0505"));
    return;
  }
  m_scanFromTypePage = CurrentPage() == kPageFileType;
  if (!m_scanHandler) return;  // no scan window in this build
  m_busy = true;
  m_scanHandler(list);
  m_busy = false;
}

void CMainWnd::OnCreateImage() {
  if (!m_sourceChosen || SelectedRow() == nullptr) {
    CMessageBox::Show(CMessageBox::kInformation, this, Message("MSG0216"));
    return;
  }
  CreateImage();
}

void CMainWnd::OnLoadImage() {
  const QString path =
      QFileDialog::getOpenFileName(this, m_disk->BtnLoadImage->text(), QString(),
                                   WindowText("StrImageFilter") + QStringLiteral(" (*.img);;") +
                                       WindowText("StrAllFiles") + QStringLiteral(" (*)"));
  if (!path.isEmpty()) (void)AddImageSource(path);  // a file it cannot open gets its own message there
}

// ---- the disk page -------------------------------------------------------------

void CMainWnd::FillDiskList(FillMode fillMode) {
  m_diskPage->FillDiskList(fillMode);
}

bool CMainWnd::AddImageSource(const QString& path) {
  return m_diskPage->AddImageSource(path);
}

const std::vector<std::shared_ptr<ScanSource>>& CMainWnd::sources() const {
  return m_diskPage->sources();
}

void CMainWnd::UpdateScanButton() {
  m_ui->BtnScan->setEnabled(!SourcesOfRow(SelectedRow()).empty());
}

void CMainWnd::OnDiskSelection(QTreeWidgetItem* row) {
  m_sourceChosen = row != nullptr;
  UpdateScanButton();
}

void CMainWnd::OnDiskRowActivated() {
  if (m_mode == kModeRecover) OnScan();
}

void CMainWnd::OnAssist() {
  // The menu is kept: an item's handler (the About box's modal loop) still
  // runs inside the menu's own code after the menu has hidden, so the menu
  // must not go when it hides. It is built again only here, with no menu
  // code on the stack, when the language changed since.
  const std::string language = LanguageManager::Instance().CurrentLanguage();
  if (m_assistMenu != nullptr && m_assistMenuLanguage != language) {
    delete m_assistMenu;
    m_assistMenu = nullptr;
  }
  if (m_assistMenu == nullptr) {
    m_assistMenu = BuildAssistMenu(this);
    m_assistMenuLanguage = language;
  }
  m_assistMenu->popup(m_ui->BtnAssist->mapToGlobal(
      QPoint(m_ui->BtnAssist->width() - m_assistMenu->sizeHint().width(), m_ui->BtnAssist->height())));
}

// ---- events --------------------------------------------------------------------

void CMainWnd::keyPressEvent(QKeyEvent* event) {
  // Enter presses the button that has the focus; otherwise Enter and Escape
  // do nothing here, and Escape never closes the window.
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    if (auto* button = qobject_cast<QAbstractButton*>(focusWidget());
        button != nullptr && button->isEnabled())
      button->animateClick();
    event->accept();
    return;
  }
  if (key == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

bool CMainWnd::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Enter) {
    if (watched == m_ui->BtnRecoverMode) m_ui->TxtMainInfo->setText(Message("MSG0101"));
    if (watched == m_ui->BtnCreateImageMode) m_ui->TxtMainInfo->setText(Message("MSG0102"));
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velmira
