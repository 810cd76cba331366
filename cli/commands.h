// The commands of velmira-cli. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace velmira::cli {

// Exit codes, also listed by --help.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,        // unknown command or option, missing argument
  kExitCannotOpen = 2,   // the source does not exist, is a folder, or cannot be opened
  kExitUnreadable = 3,   // the source is too small or its start cannot be read
  kExitFailed = 4,       // the command ran and failed (scan or recovery error)
  kExitCancelled = 5,    // interrupted by the user
};

// A parsed SOURCE argument: an image path, or disk:N / disk:N:START:COUNT.
struct SourceArg {
  bool isDisk = false;
  int diskNumber = 0;
  unsigned long long startSector = 0;
  unsigned long long sectorCount = 0;  // 0: to the end of the drive
  std::string imagePath;
};

// False with a message when the text is a malformed disk:... form.
bool ParseSourceArg(const std::string& text, SourceArg& out, std::string& error);

int RunProbe(const std::vector<std::string>& args);

}  // namespace velmira::cli
