// Language texts on widgets: the text table of the current language applied
// to a window's controls by their object names, and the text conversions
// between the core's UTF-8 strings and Qt.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

#include "platform/language_manager.h"

class QWidget;
class QTreeWidget;

namespace velmira {

// The item data role that holds a tree item's name ("NodePhoto", ...).
inline constexpr int kItemNameRole = 0x0100 + 40;  // Qt::UserRole + 40
// The dynamic property of a tree or list widget that names its header items,
// one name per column ("ListHeaderName", ...).
inline constexpr const char* kHeaderNamesProperty = "headerNames";

inline QString Q(const std::string& text) {
  return QString::fromStdString(text);
}
inline std::string S(const QString& text) {
  return text.toStdString();
}

// A text of a section map, empty when missing.
[[nodiscard]] QString SectionText(const TextSection& section, const std::string& key);

// For every key of the section, in key order: the window's control of that
// name (the window itself, a widget, an action or a menu below it, a header
// item or a tree item) gets the text. Hidden controls are set as well;
// names without a control are left alone.
void ApplySection(QWidget* window, const TextSection& section);

// The text of a failure in the current language: the "Errors" section's
// text for the code (0 is success), else `english`.
[[nodiscard]] QString ErrorTextIn(const TextSection& errors, int32_t code, const std::string& english);

// Loads Qt's own texts (file dialogs, standard buttons) for the current
// language, named as Qt names it ("German"); English needs none. Returns
// whether the current language is now served.
bool LoadQtTranslations();

// Makes every label below `window` show its text as plain text, so that a
// translation can never inject markup; `except` keeps the rich ones.
void MakeLabelsPlain(QWidget* window, const QStringList& except = {});

// Loads the program's compiled-in layouts' icons and style sheet (the Qt
// resource file); safe to call more than once.
void InitResources();

// Sets the program's style sheet on the application.
void ApplyProgramStyle();

// An icon of the program's resources by its base name ("drive" -> :/icons/drive.svg).
[[nodiscard]] QString IconPath(const QString& name);

}  // namespace velmira
