#include "app/file_type_page.h"

#include <QCheckBox>
#include <QToolButton>
#include <utility>

#include "ui_file_type_page.h"

namespace velmira {

CFileTypePage::CFileTypePage(QWidget* parent) : QWidget(parent), m_ui(std::make_unique<Ui::FileTypePage>()) {
  m_ui->setupUi(this);
  // A group's own option checks or clears all options of the group; the
  // group's picture button clicks that option.
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
}

CFileTypePage::~CFileTypePage() = default;

}  // namespace velmira
