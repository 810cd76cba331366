// The assist menu under "BtnAssist" and the pages it opens: help, questions
// and answers, and support from the README that ships with the program, and
// the About box. Choosing a language switches it and posts the language
// notification to the main window.
#pragma once

class QMenu;
class QWidget;

namespace velmira {

enum class HelpTopic { kHelp, kQuestions, kSupport };

// A new menu "MenuWnd" owned by `mainWnd` with the items "item_help",
// "item_faq", "item_about", "item_support", "item_language" (one item per
// offered language, named by its base name, the current one marked) and
// "item_exit", their texts from the "MenuWnd" language section.
[[nodiscard]] QMenu* BuildAssistMenu(QWidget* mainWnd);

// The README of the program folder in a window of its own, opened at the
// section of `topic`.
void ShowHelpPage(QWidget* parent, HelpTopic topic);

// The About box: product name, version, what the program does.
void ShowAboutBox(QWidget* parent);

}  // namespace velmira
