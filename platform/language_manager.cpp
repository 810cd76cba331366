#include "platform/language_manager.h"

#include <unistd.h>

#include <filesystem>

#include "platform/folders.h"
#include "platform/ini_file.h"

namespace velmira {
namespace {

constexpr const char* kSettingsFile = "config.ini";
constexpr const char* kDefaultSection = "DefaultLanguage";
constexpr const char* kDefaultKey = "Default";
constexpr const char* kLanguagesSection = "Languages";
constexpr const char* kDefaultLanguage = "English";

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

LanguageManager& LanguageManager::Instance() {
  static LanguageManager manager(DefaultPaths());
  return manager;
}

LanguageManager::LanguageManager(LanguagePaths paths) {
  Reset(std::move(paths));
}

void LanguageManager::Reset(LanguagePaths paths) {
  std::lock_guard lock(m_mutex);
  m_paths = std::move(paths);
  LoadSettings();
  LoadTexts();
}

std::string LanguageManager::SettingsPathFor(const std::string& section) const {
  return SettingsPathIn(m_paths, section);
}

std::string LanguageManager::SettingsPathIn(const LanguagePaths& paths, const std::string& section) {
  const std::string user = Join(paths.userConfigFolder, kSettingsFile);
  if (!paths.userConfigFolder.empty() && FileExists(user)) {
    IniFile file;
    if (file.Load(user) && file.HasSection(section)) return user;
  }
  return Join(paths.programFolder, kSettingsFile);
}

LanguagePaths LanguageManager::DefaultPaths() {
  return LanguagePaths{ProgramFolder(), UserConfigFolder()};
}

std::string LanguageManager::SettingsWritePath() const {
  const std::string program = Join(m_paths.programFolder, kSettingsFile);
  if (m_paths.userConfigFolder.empty()) return program;
  const std::string user = Join(m_paths.userConfigFolder, kSettingsFile);
  if (FileExists(user)) return user;
  const bool programWritable = FileExists(program) ? ::access(program.c_str(), W_OK) == 0
                                                   : ::access(m_paths.programFolder.c_str(), W_OK) == 0;
  return programWritable ? program : user;
}

std::string LanguageManager::LanguageFilePath(const std::string& name) const {
  return Join(m_paths.programFolder, "Languages") + "/" + name + ".ini";
}

void LanguageManager::LoadSettings() {
  IniFile settings;
  (void)settings.Load(SettingsPathFor(kDefaultSection));  // no settings file yet: the defaults below
  m_current = settings.GetString(kDefaultSection, kDefaultKey, kDefaultLanguage, kLanguageNameChars);

  IniFile list;
  (void)list.Load(SettingsPathFor(kLanguagesSection));  // no list: only the languages found on disk
  TextSection seen;
  m_languages.clear();
  for (const std::string& full : list.SectionLines(kLanguagesSection, kLanguageListChars)) {
    const std::string line = CutToChars(full, kLanguageListLineChars - 1);
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    LanguageEntry entry{line.substr(0, eq), line.substr(eq + 1)};
    if (!seen.emplace(entry.name, entry.menuText).second) continue;
    m_languages.push_back(std::move(entry));
  }
}

void LanguageManager::LoadTexts() {
  m_texts.clear();
  m_fileLoaded = false;
  // A base name never leads out of the Languages folder.
  if (m_current.empty() || m_current.find('/') != std::string::npos || m_current == "..") return;
  IniFile file;
  if (!file.Load(LanguageFilePath(m_current))) return;
  m_fileLoaded = true;
  for (const std::string& section : file.SectionNames(kSectionNamesChars)) {
    if (CharCount(section) >= kSectionNameChars) continue;
    AddIniLines(file.SectionLines(section, kSectionChars), kSectionLineChars, m_texts[section]);
  }
}

TextSection LanguageManager::GetSection(const std::string& section) {
  std::lock_guard lock(m_mutex);
  return m_texts[section];
}

std::string LanguageManager::Text(const std::string& section, const std::string& key) {
  std::lock_guard lock(m_mutex);
  return m_texts[section][key];
}

bool LanguageManager::SwitchLanguage(const std::string& name) {
  if (name.empty() || CharCount(name) >= kLanguageNameChars || name.find('/') != std::string::npos ||
      name == "..") {
    return false;
  }
  std::lock_guard lock(m_mutex);
  const std::string path = SettingsWritePath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const bool written = WriteIniString(path, kDefaultSection, kDefaultKey, name) == 0;
  LoadSettings();
  if (!written) m_current = name;
  LoadTexts();
  return written;
}

std::vector<LanguageEntry> LanguageManager::ListLanguages() const {
  std::lock_guard lock(m_mutex);
  return m_languages;
}

std::string LanguageManager::CurrentLanguage() const {
  std::lock_guard lock(m_mutex);
  return m_current;
}

bool LanguageManager::LanguageFileLoaded() const {
  std::lock_guard lock(m_mutex);
  return m_fileLoaded;
}

}  // namespace velmira
