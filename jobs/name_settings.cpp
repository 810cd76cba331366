#include "jobs/name_settings.h"

#include "engines/fat/fat_names.h"
#include "platform/ini_file.h"
#include "platform/language_manager.h"

namespace velmira {

void ApplyNameSettings(const std::string& configPath, std::string& problem) {
  problem.clear();
  IniFile ini;
  (void)ini.Load(configPath);  // a missing file gives the default
  const std::string text = ini.GetString("Settings", "ShortNameCodePage", "", 16);
  if (text.empty()) {
    (void)SetShortNameCodePage(kDefaultShortNameCodePage);  // the default is always one it takes
    return;
  }
  int codePage = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || codePage > 99999) {
      codePage = -1;
      break;
    }
    codePage = codePage * 10 + (c - '0');
  }
  if (!SetShortNameCodePage(codePage)) {
    (void)SetShortNameCodePage(kDefaultShortNameCodePage);  // as above
    problem = "ShortNameCodePage=" + text + " in " + configPath +
              " is not 437, 850 or 1252; short names are read in " +
              std::to_string(kDefaultShortNameCodePage);
  }
}

void ApplyNameSettings(std::string& problem) {
  // Only config.ini is read: the language texts are not needed for this.
  ApplyNameSettings(LanguageManager::SettingsPathIn(LanguageManager::DefaultPaths(), "Settings"), problem);
}

}  // namespace velmira
