// Settings of how found names are read, taken from config.ini at start-up by
// both front ends.
#pragma once

#include <string>

namespace velmira {

// Reads [Settings] ShortNameCodePage (437, 850 or 1252) from the settings
// file at `configPath` and makes it the code page of short FAT names. A
// missing file or key keeps the default 437. A value that is not one of the
// three keeps the default too, and `problem` then says so in words.
void ApplyNameSettings(const std::string& configPath, std::string& problem);
// The same with the settings file that holds [Settings] (the user's
// config.ini or the program's).
void ApplyNameSettings(std::string& problem);

}  // namespace velmira
