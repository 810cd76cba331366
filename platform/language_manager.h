// The settings file config.ini and the language files: which language is
// current, which languages are offered, and the texts of the current one by
// section ("Messages", "MainWnd", ...) and key ("MSG0101", a control name).
// A missing section or key gives an empty text. No widgets here: the desktop
// program applies the texts to its controls.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace velmira {

// Key -> text of one section, ordered by exact (case-sensitive) comparison.
using TextSection = std::map<std::string, std::string>;

// One entry of the language menu: the base name of the language file and
// the text the menu shows.
struct LanguageEntry {
  std::string name;
  std::string menuText;
};

// Where the settings and the language files are.
struct LanguagePaths {
  // The program folder: config.ini and Languages/*.ini.
  std::string programFolder;
  // The per-user folder that holds a config.ini of its own when the
  // program folder cannot be written (~/.config/Orvanta).
  std::string userConfigFolder;
};

// The reading-buffer limits, in characters.
inline constexpr size_t kLanguageNameChars = 64;
inline constexpr size_t kLanguageListChars = 10240;
inline constexpr size_t kLanguageListLineChars = 128;
inline constexpr size_t kSectionNamesChars = 1024;
inline constexpr size_t kSectionChars = 10240;
inline constexpr size_t kSectionLineChars = 1024;
inline constexpr size_t kSectionNameChars = 256;

class LanguageManager {
 public:
  // The one manager of the process, set up on first use with the program
  // folder and the user's configuration folder (platform/folders.h).
  static LanguageManager& Instance();

  // A manager over the given folders; loads the settings and the current
  // language at once.
  explicit LanguageManager(LanguagePaths paths);

  // Points the manager at other folders and loads everything again.
  void Reset(LanguagePaths paths);

  // The settings file read for a section: the user's config.ini when it holds
  // that section, else the program folder's.
  [[nodiscard]] std::string SettingsPathFor(const std::string& section) const;
  // The same for the given folders, without a manager (nothing is loaded).
  [[nodiscard]] static std::string SettingsPathIn(const LanguagePaths& paths, const std::string& section);
  // The folders Instance() uses.
  [[nodiscard]] static LanguagePaths DefaultPaths();
  // The settings file a change is written to: the user's config.ini when it
  // exists or the program folder cannot be written, else the program folder's.
  [[nodiscard]] std::string SettingsWritePath() const;
  // Languages/<name>.ini in the program folder.
  [[nodiscard]] std::string LanguageFilePath(const std::string& name) const;

  // The key -> text map of a section; empty (and recorded as such) when missing.
  [[nodiscard]] TextSection GetSection(const std::string& section);
  // One text; empty (and recorded as such) when missing.
  [[nodiscard]] std::string Text(const std::string& section, const std::string& key);

  // Makes `name` the current language: writes it to the settings, reads the
  // settings again and reloads the texts from Languages/<name>.ini. A name
  // that is empty, longer than the settings buffer or holds "/" is refused
  // (false). When the settings cannot be written the language still changes
  // for this run (and the result is false).
  bool SwitchLanguage(const std::string& name);

  // The offered languages, in the order of the "Languages" section.
  [[nodiscard]] std::vector<LanguageEntry> ListLanguages() const;
  [[nodiscard]] std::string CurrentLanguage() const;
  // Whether the current language's file could be read.
  [[nodiscard]] bool LanguageFileLoaded() const;

 private:
  void LoadSettings();
  void LoadTexts();

  mutable std::mutex m_mutex;
  LanguagePaths m_paths;
  std::string m_current;
  std::vector<LanguageEntry> m_languages;
  std::map<std::string, TextSection> m_texts;
  bool m_fileLoaded = false;
};

}  // namespace velmira
