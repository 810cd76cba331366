// The commands of velmira-cli. Each returns the process exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmira::cli {

// Exit codes, also listed by --help.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,          // unknown command or option, missing argument
  kExitCannotOpen = 2,     // the source does not exist, cannot be opened, or is no file or block device
  kExitUnreadable = 3,     // the source is too small to hold a file system
  kExitFailed = 4,         // the command ran and failed (scan or recovery error)
  kExitCancelled = 5,      // interrupted by the user
  kExitUnreadSectors = 6,  // done, but some sectors of the source could not be read
};

// A parsed SOURCE argument: an image path, disk:N / disk:N:START:COUNT, or
// the number of a region of the disk list (resolved to its disk:... form).
struct SourceArg {
  bool isDisk = false;
  int diskNumber = 0;
  unsigned long long startSector = 0;
  unsigned long long sectorCount = 0;  // 0: to the end of the drive
  std::string imagePath;
  // The disk list's number of the region SOURCE named (1, 2, ...), which is
  // also the source key its records carry; 0 for the other forms.
  uint16_t regionNumber = 0;
};

// False with a message when the text is a malformed disk:... form. A plain
// number is left as a path here; ResolveSourceArg (cli/cli_support.h) turns
// it into a region.
bool ParseSourceArg(const std::string& text, SourceArg& out, std::string& error);

int RunProbe(const std::vector<std::string>& args);

}  // namespace velmira::cli
