#include "app/file_type_page.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>
#include <utility>

#include "app/language_ui.h"
#include "ui_file_type_page.h"

namespace velmira {

namespace {

// A group frame as the layout's photo, audio and video frames are: a head
// of a picture button and the group's own option, the options below it.
QFrame* AddGroupFrame(QHBoxLayout* row, const char* frameName, const char* buttonName, const char* icon,
                      const char* optionName, const char* text, bool checked) {
  auto* frame = new QFrame;
  frame->setObjectName(QString::fromLatin1(frameName));
  auto* layout = new QVBoxLayout(frame);
  layout->setSpacing(3);
  layout->setContentsMargins(10, 8, 10, 8);
  auto* head = new QHBoxLayout;
  head->setSpacing(4);
  auto* button = new QToolButton(frame);
  button->setObjectName(QString::fromLatin1(buttonName));
  button->setIcon(QIcon(IconPath(QString::fromLatin1(icon))));
  button->setIconSize(QSize(22, 22));
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  auto* all = new QCheckBox(QString::fromLatin1(text), frame);
  all->setObjectName(QString::fromLatin1(optionName));
  all->setChecked(checked);
  head->addWidget(button);
  head->addWidget(all);
  head->addStretch(1);
  layout->addLayout(head);
  row->addWidget(frame, 1);
  QObject::connect(button, &QToolButton::clicked, all, &QCheckBox::click);
  return frame;
}

}  // namespace

CFileTypePage::CFileTypePage(QWidget* parent) : QWidget(parent), m_ui(std::make_unique<Ui::FileTypePage>()) {
  m_ui->setupUi(this);
  // Documents, archives and every other file in a second row. Files of
  // other types are not offered unless asked for: they are many.
  auto* row = new QHBoxLayout;
  row->setSpacing(m_ui->layout20->spacing());
  row->setContentsMargins(0, 0, 0, 0);
  QFrame* documents = AddGroupFrame(row, "FileTypeDocument", "BtnDocument", "type_document",
                                    "OptDocumentFile", "Documents", true);
  QFrame* archives =
      AddGroupFrame(row, "FileTypeArchive", "BtnArchive", "type_archive", "OptArchiveFile", "Archives", true);
  QFrame* others =
      AddGroupFrame(row, "FileTypeOthers", "BtnOthers", "type_others", "OptOthersFile", "Others", false);
  auto* othersText =
      new QLabel(QStringLiteral("Files of every other type, and files without an extension"), others);
  othersText->setObjectName(QStringLiteral("TxtOthers"));
  othersText->setWordWrap(true);
  others->layout()->addWidget(othersText);
  static_cast<QVBoxLayout*>(others->layout())->addStretch(1);
  m_others = others->findChild<QCheckBox*>(QStringLiteral("OptOthersFile"));
  m_ui->layout21->addLayout(row, 1);
  m_ui->layout21->setStretchFactor(m_ui->layout20, 1);

  // A group's own option checks or clears all options of the group; the
  // group's picture button clicks that option.
  const std::pair<QCheckBox*, QWidget*> groups[] = {
      {m_ui->OptPhotoFile, m_ui->FileTypePhoto},
      {m_ui->OptAudioFile, m_ui->FileTypeAudio},
      {m_ui->OptVideoFile, m_ui->FileTypeVideo},
      {documents->findChild<QCheckBox*>(QStringLiteral("OptDocumentFile")), documents},
      {archives->findChild<QCheckBox*>(QStringLiteral("OptArchiveFile")), archives}};
  for (const auto& [all, group] : groups) {
    connect(all, &QCheckBox::clicked, this, [all = all, group = group](bool checked) {
      for (QCheckBox* option : group->findChildren<QCheckBox*>())
        if (option != all) option->setChecked(checked);
    });
  }
  connect(m_ui->BtnPhoto, &QToolButton::clicked, m_ui->OptPhotoFile, &QCheckBox::click);
  connect(m_ui->BtnAudio, &QToolButton::clicked, m_ui->OptAudioFile, &QCheckBox::click);
  connect(m_ui->BtnVideo, &QToolButton::clicked, m_ui->OptVideoFile, &QCheckBox::click);
}

CFileTypePage::~CFileTypePage() = default;

}  // namespace velmira
