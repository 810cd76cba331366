#include "app/language_ui.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QTranslator>
#include <QTreeWidget>
#include <QWidget>

static void InitVelmiraResources() {
  Q_INIT_RESOURCE(velmira);
}

namespace velmira {
namespace {

bool SetObjectText(QObject* object, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(object)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(object)) {
    button->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(object)) {
    group->setTitle(text);
  } else if (auto* menu = qobject_cast<QMenu*>(object)) {
    menu->setTitle(text);
  } else if (auto* action = qobject_cast<QAction*>(object)) {
    action->setText(text);
  } else if (auto* widget = qobject_cast<QWidget*>(object); widget != nullptr && widget->isWindow()) {
    widget->setWindowTitle(text);
  } else {
    return false;
  }
  return true;
}

void SetTreeItemTexts(QTreeWidgetItem* item, const TextSection& section) {
  const QString name = item->data(0, kItemNameRole).toString();
  if (!name.isEmpty()) {
    const auto it = section.find(S(name));
    if (it != section.end()) item->setText(0, Q(it->second));
  }
  for (int i = 0; i < item->childCount(); ++i) SetTreeItemTexts(item->child(i), section);
}

// Language files keep the keys they were written with; these two widgets
// have since been renamed after the deep scan they lead to.
QString ObjectNameOf(const std::string& key) {
  if (key == "BtnAdvanceScan") return QStringLiteral("BtnDeepScan");
  if (key == "TxtAdvancedScan") return QStringLiteral("TxtDeepScan");
  return Q(key);
}

}  // namespace

QString SectionText(const TextSection& section, const std::string& key) {
  const auto it = section.find(key);
  return it == section.end() ? QString() : Q(it->second);
}

void ApplySection(QWidget* window, const TextSection& section) {
  if (window == nullptr) return;
  for (const auto& [key, text] : section) {
    const QString name = ObjectNameOf(key);
    if (window->objectName() == name) {
      SetObjectText(window, Q(text));
      continue;
    }
    for (QObject* object : window->findChildren<QObject*>(name)) SetObjectText(object, Q(text));
  }
  // Header items and tree nodes are not objects of their own.
  for (QTreeWidget* tree : window->findChildren<QTreeWidget*>()) {
    const QStringList headers = tree->property(kHeaderNamesProperty).toStringList();
    for (int column = 0; column < headers.size(); ++column) {
      const auto it = section.find(S(headers[column]));
      if (!headers[column].isEmpty() && it != section.end())
        tree->headerItem()->setText(column, Q(it->second));
    }
    for (int i = 0; i < tree->topLevelItemCount(); ++i) SetTreeItemTexts(tree->topLevelItem(i), section);
  }
}

QString ErrorTextIn(const TextSection& errors, int32_t code, const std::string& english) {
  const QString text = SectionText(errors, std::to_string(code));
  return text.isEmpty() ? Q(english) : text;
}

bool LoadQtTranslations() {
  static QTranslator* installed = nullptr;
  if (installed != nullptr) {
    QCoreApplication::removeTranslator(installed);
    delete installed;
    installed = nullptr;
  }
  const QString name = Q(LanguageManager::Instance().CurrentLanguage());
  for (int value = QLocale::C + 1; value <= QLocale::LastLanguage; ++value) {
    const auto language = static_cast<QLocale::Language>(value);
    if (QLocale::languageToString(language).compare(name, Qt::CaseInsensitive) != 0) continue;
    if (language == QLocale::English) return true;
    auto* translator = new QTranslator(qApp);
    if (!translator->load(QLocale(language), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
      delete translator;
      return false;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
    return true;
  }
  return false;
}

void MakeLabelsPlain(QWidget* window, const QStringList& except) {
  for (QLabel* label : window->findChildren<QLabel*>())
    if (!except.contains(label->objectName())) label->setTextFormat(Qt::PlainText);
}

void InitResources() {
  [[maybe_unused]] static const bool done = [] {
    InitVelmiraResources();
    return true;
  }();
}

void ApplyProgramStyle() {
  InitResources();
  QFile style(QStringLiteral(":/velmira.qss"));
  if (style.open(QIODevice::ReadOnly)) qApp->setStyleSheet(QString::fromUtf8(style.readAll()));
}

QString IconPath(const QString& name) {
  return QStringLiteral(":/icons/") + name + QStringLiteral(".svg");
}

}  // namespace velmira
