// velmira-cli: find deleted and lost files from the command line.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/help_text.h"
#include "jobs/name_settings.h"
#include "platform/drives.h"

namespace {

// Takes every --drive PATH and --drive=PATH out of `args`, wherever it
// stands, and makes the paths the drive list of this process.
bool TakeDriveOptions(std::vector<std::string>& args) {
  std::vector<std::string> rest, drives;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string path;
    if (args[i] == "--drive") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "velmira-cli: --drive needs a PATH\n");
        return false;
      }
      path = args[++i];
    } else if (args[i].rfind("--drive=", 0) == 0) {
      path = args[i].substr(8);
    } else {
      rest.push_back(args[i]);
      continue;
    }
    if (path.empty() || path.find(':') != std::string::npos) {
      std::fprintf(stderr, "velmira-cli: --drive needs a PATH without ':', got '%s'\n", path.c_str());
      return false;
    }
    drives.push_back(path);
  }
  args.swap(rest);
  if (drives.empty()) return true;
  std::string list;
  for (const auto& d : drives) list += (list.empty() ? "" : ":") + d;
  ::setenv("VELMIRA_DRIVES", list.c_str(), 1);
  return true;
}

// Takes --sector-size N and --sector-size=N out of `args`, wherever they
// stand, and makes N the sector size of every drive and image opened.
bool TakeSectorSizeOption(std::vector<std::string>& args) {
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (args[i] == "--sector-size") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "velmira-cli: --sector-size needs a number of bytes\n");
        return false;
      }
      value = args[++i];
    } else if (args[i].rfind("--sector-size=", 0) == 0) {
      value = args[i].substr(14);
    } else {
      rest.push_back(args[i]);
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long bytes = value.empty() || value[0] == '-' ? 0 : std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || errno != 0 || end == nullptr || *end != '\0' || bytes == 0 || bytes > 65536 ||
        !velmira::SetSectorSizeOverride(static_cast<uint32_t>(bytes))) {
      std::fprintf(stderr, "velmira-cli: --sector-size needs a power of two from 512 to 65536, got '%s'\n",
                   value.c_str());
      return false;
    }
  }
  args.swap(rest);
  return true;
}

// Whatever a command printed must have reached its reader: output that
// cannot be written (a full disk behind a redirection) turns a success into
// a failure, said on standard error.
int FinishOutput(int exitCode) {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return exitCode;
  const int err = errno;
  std::fprintf(stderr, "velmira-cli: cannot write the output%s%s\n", err != 0 ? ": " : "",
               err != 0 ? std::strerror(err) : "");
  return exitCode == velmira::cli::kExitOk || exitCode == velmira::cli::kExitUnreadSectors
             ? velmira::cli::kExitFailed
             : exitCode;
}

int RunCommand(std::vector<std::string> args) {
  if (!TakeDriveOptions(args) || !TakeSectorSizeOption(args)) return velmira::cli::kExitUsage;
  if (args.empty()) {
    std::fputs(velmira::cli::UsageText().c_str(), stderr);
    return velmira::cli::kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(velmira::cli::UsageText().c_str(), stdout);
    return velmira::cli::kExitOk;
  }
  // The build writes the manual pages and the bash completion with this.
  if (command == "--write-docs") {
    if (args.size() != 1) {
      std::fprintf(stderr, "velmira-cli: --write-docs needs a FOLDER\n");
      return velmira::cli::kExitUsage;
    }
    return velmira::cli::WriteDocs(args[0]) ? velmira::cli::kExitOk : velmira::cli::kExitFailed;
  }
  if (command == "--version" || command == "-V") {
    std::printf("velmira-cli %s\n", VELMIRA_VERSION);
    return velmira::cli::kExitOk;
  }
  std::string settingsProblem;
  velmira::ApplyNameSettings(settingsProblem);
  if (!settingsProblem.empty()) std::fprintf(stderr, "velmira-cli: %s\n", settingsProblem.c_str());
  for (const auto& c : velmira::cli::Commands()) {
    if (command != c.name) continue;
    for (const std::string& a : args)
      if (a == "--help" || a == "-h") {
        std::fputs(velmira::cli::CommandHelpText(c).c_str(), stdout);
        return velmira::cli::kExitOk;
      }
    return c.run(args);
  }
  std::fprintf(stderr, "velmira-cli: unknown command '%s' (see velmira-cli --help)\n", command.c_str());
  return velmira::cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  return FinishOutput(RunCommand(std::vector<std::string>(argv + 1, argv + argc)));
}
