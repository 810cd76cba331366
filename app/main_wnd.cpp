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
#include "app/device_monitor.h"
#include "app/language_ui.h"
#include "app/message_box.h"
#include "platform/message_format.h"
#include "ui_main_wnd.h"

namespace velmira {
namespace {

constexpr int kDeviceSettleMs = 5000;

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
  setWindowTitle(QStringLiteral("Velmira"));
  setWindowIcon(QIcon(IconPath(QStringLiteral("velmira"))));
  MakeLabelsPlain(this, {QStringLiteral("Txt2")});
  m_ui->Txt2->setTextFormat(Qt::RichText);
  m_ui->LogoIcon->setPixmap(QIcon(IconPath(QStringLiteral("velmira"))).pixmap(28, 28));
  m_ui->DiskList->header()->setObjectName(QStringLiteral("DiskListHeader"));
  m_ui->DiskList->header()->setStretchLastSection(true);
  m_ui->DiskList->setAllColumnsShowFocus(true);
  m_ui->DiskList->setColumnWidth(0, 246);
  m_ui->DiskList->setColumnWidth(1, 88);
  m_ui->DiskList->setColumnWidth(2, 76);
  const char* nodes[] = {"NodePhoto", "NodeAudio", "NodeVideo"};
  const char* nodeIcons[] = {"type_photo", "type_audio", "type_video"};
  for (int i = 0; i < 3; ++i) {
    QTreeWidgetItem* node = m_ui->TypeTree->topLevelItem(i);
    node->setData(0, kItemNameRole, QString::fromLatin1(nodes[i]));
    node->setIcon(0, QIcon(IconPath(QString::fromLatin1(nodeIcons[i]))));
    node->setHidden(true);
  }
  for (QLabel* label : {m_ui->Label1, m_ui->Label2, m_ui->Label3, m_ui->Label4, m_ui->Label5, m_ui->Label6,
                        m_ui->Label7, m_ui->Label8, m_ui->Label9, m_ui->Label10}) {
    m_factLabels.push_back(label);
  }

  // The page options act as one group.
  auto* tabs = new QButtonGroup(this);
  tabs->addButton(m_ui->TabScan, kPageDisks);
  tabs->addButton(m_ui->TabFileType, kPageFileType);
  tabs->addButton(m_ui->TabRecover, kPageRecover);
  connect(tabs, &QButtonGroup::idClicked, this, [this](int page) { SelectPage(page); });

  connect(m_ui->BtnStart, &QPushButton::clicked, this, [this] {
    m_deep = 1;
    ChooseMode(kModeRecover);
  });
  connect(m_ui->BtnRecoverMode, &QToolButton::clicked, this, [this] { ChooseMode(kModeRecover); });
  connect(m_ui->BtnCreateImageMode, &QToolButton::clicked, this, [this] { ChooseMode(kModeCreateImage); });
  m_ui->BtnRecoverMode->installEventFilter(this);
  m_ui->BtnCreateImageMode->installEventFilter(this);
  connect(m_ui->BtnNext, &QPushButton::clicked, this, &CMainWnd::OnNext);
  connect(m_ui->BtnPrev, &QPushButton::clicked, this, &CMainWnd::OnPrev);
  connect(m_ui->BtnScan, &QPushButton::clicked, this, &CMainWnd::OnScan);
  connect(m_ui->BtnLoadImage, &QPushButton::clicked, this, &CMainWnd::OnLoadImage);
  connect(m_ui->BtnCreateImage, &QPushButton::clicked, this, &CMainWnd::OnCreateImage);
  connect(m_ui->BtnDeepScan, &QPushButton::clicked, this, [this] { SelectPage(kPageFileType); });
  connect(m_ui->BtnAssist, &QToolButton::clicked, this, &CMainWnd::OnAssist);
  connect(m_ui->BtnLikeIt, &QPushButton::clicked, this, [this] { ShowHelpPage(this, HelpTopic::kSupport); });
  connect(m_ui->DiskList, &QTreeWidget::itemSelectionChanged, this, &CMainWnd::OnDiskSelection);
  connect(m_ui->DiskList, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* row, int) { OnDiskDoubleClick(row); });

  // A group's own option checks or clears all options of the group.
  const std::pair<QCheckBox*, QWidget*> groups[] = {{m_ui->OptPhotoFile, m_ui->FileTypePhoto},
                                                    {m_ui->OptAudioFile, m_ui->FileTypeAudio},
                                                    {m_ui->OptVideoFile, m_ui->FileTypeVideo}};
  for (const auto& [all, group] : groups) {
    connect(all, &QCheckBox::clicked, this, [all = all, group = group](bool checked) {
      for (QCheckBox* option : group->findChildren<QCheckBox*>())
        if (option != all) option->setChecked(checked);
    });
  }
  connect(m_ui->BtnPhoto, &QToolButton::clicked, m_ui->OptPhotoFile, &QCheckBox::click);
  connect(m_ui->BtnAudio, &QToolButton::clicked, m_ui->OptAudioFile, &QCheckBox::click);
  connect(m_ui->BtnVideo, &QToolButton::clicked, m_ui->OptVideoFile, &QCheckBox::click);

  // Devices: a refill 5 seconds after the last arrival or removal.
  m_arrivalTimer = new QTimer(m_ui->PartitionListBar);
  m_arrivalTimer->setObjectName(QStringLiteral("timer0"));
  m_removalTimer = new QTimer(m_ui->PartitionListBar);
  m_removalTimer->setObjectName(QStringLiteral("timer1"));
  for (QTimer* timer : {m_arrivalTimer, m_removalTimer}) {
    timer->setSingleShot(true);
    timer->setInterval(kDeviceSettleMs);
  }
  connect(m_arrivalTimer, &QTimer::timeout, this, [this] { FillDiskList(kFillArrival); });
  connect(m_removalTimer, &QTimer::timeout, this, [this] { FillDiskList(kFillRemoval); });
  m_devices = new DeviceMonitor(this);
  connect(m_devices, &DeviceMonitor::deviceArrived, m_arrivalTimer, qOverload<>(&QTimer::start));
  connect(m_devices, &DeviceMonitor::deviceRemoved, m_removalTimer, qOverload<>(&QTimer::start));

  SetUpResults();
  LoadTexts();
  FillDiskList(kFillFirst);
  UpdateSelectedFileInfo();
  ShowPage(kPageStart);
  ConnectKeyboard();
}

CMainWnd::~CMainWnd() {
  m_ui->PreviewEdit->clear();
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
  ApplySection(this, m_texts);
  m_ui->LblProductName->setText(Message("MSG1209"));
  ApplyResultTexts();
}

void CMainWnd::OnLanguageSwitched() {
  LoadTexts();
  SetTabScanLook();
  const int page = CurrentPage();
  if (page != kPageStart) SetPageTexts(page);
  UpdateSelectedFileInfo();
  RewriteRowTexts();
  if (SelectedRow() != nullptr) OnDiskSelection();
}

void CMainWnd::SetTabScanLook() {
  const bool recover = m_mode == kModeRecover;
  m_ui->TabScan->setIcon(
      QIcon(IconPath(recover ? QStringLiteral("btn_scan") : QStringLiteral("btn_create_image"))));
  m_ui->TabScan->setText(Message(recover ? "MSG0503" : "MSG0211"));
}

void CMainWnd::SetPageTexts(int page) {
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
      const QString count =
          QStringLiteral("<span style=\"font-size:15px; font-weight:bold; color:#316D1E\">%1</span>")
              .arg(m_collectedCount);
      m_ui->Txt2->setText(Q(FormatText(S(Message("MSG0802").toHtmlEscaped()), {S(count)})));
      break;
    }
    default:
      break;
  }
}

// ---- pages -------------------------------------------------------------------

int CMainWnd::CurrentPage() const {
  return m_ui->TabPage->currentIndex();
}

void CMainWnd::SelectPage(int page) {
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

void CMainWnd::ShowPage(int page) {
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

void CMainWnd::ChooseMode(int mode) {
  m_mode = mode == kModeCreateImage ? kModeCreateImage : kModeRecover;
  ApplyModeToList();
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
        CMessageBox::Show(CMessageBox::kInformation, this, QString::fromLatin1(kSelectDiskText));
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
  if (m_currentSource != nullptr) m_currentSource->engine.reset();
  m_currentSource = list.back();
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
  const QString path = QFileDialog::getOpenFileName(this, m_ui->BtnLoadImage->text(), QString(),
                                                    QStringLiteral("Image Files (*.img);;All files (*)"));
  if (!path.isEmpty()) (void)AddImageSource(path);  // a file it cannot open gets its own message there
}

void CMainWnd::OnAssist() {
  QMenu* menu = BuildAssistMenu(this);
  connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
  menu->popup(m_ui->BtnAssist->mapToGlobal(
      QPoint(m_ui->BtnAssist->width() - menu->sizeHint().width(), m_ui->BtnAssist->height())));
}

// ---- events --------------------------------------------------------------------

bool CMainWnd::event(QEvent* event) {
  if (event->type() == static_cast<QEvent::Type>(kEventLanguageSwitched)) {
    OnLanguageSwitched();
    return true;
  }
  if (HandleJobNotification(static_cast<int>(event->type()))) return true;
  return QWidget::event(event);
}

void CMainWnd::keyPressEvent(QKeyEvent* event) {
  // Enter presses the button that has the focus; otherwise Enter and Escape
  // do nothing here, and Escape never closes the window.
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    if (auto* button = qobject_cast<QAbstractButton*>(focusWidget()); button != nullptr && button->isEnabled())
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
