// Where Velmira keeps its data, and folder creation and removal.
#pragma once

#include <cstdint>
#include <string>

namespace velmira {

// $XDG_DATA_HOME, else $HOME/.local/share (else the passwd home). No trailing "/".
[[nodiscard]] std::string AppDataFolder();

// AppDataFolder() + "/Orvanta": the folder of the scan logs, preview files
// and the "Used" marker.
[[nodiscard]] std::string CompanyDataFolder();

// $XDG_CONFIG_HOME/Orvanta, else $HOME/.config/Orvanta.
[[nodiscard]] std::string UserConfigFolder();

// The folder of config.ini and Languages/: the executable's folder when it
// holds "Languages", else ../share/velmira beside it (an installed tree,
// wherever it was unpacked), else the data folder of the configured prefix.
[[nodiscard]] std::string ProgramFolder();
// The same choice for a program in `exeFolder`, given the configured folder.
[[nodiscard]] std::string ProgramFolderFor(const std::string& exeFolder, const std::string& installedFolder);

// Creates a folder and its missing parents. An existing folder is success;
// an existing non-folder gives kErrAlreadyExists.
[[nodiscard]] int32_t CreateFolderWithParents(const std::string& path);

// Removes a folder and everything below it without following symbolic links
// out of it. A missing folder is success.
[[nodiscard]] int32_t RemoveFolderTree(const std::string& path);

}  // namespace velmira
