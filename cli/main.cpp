// velmira-cli: find deleted and lost files from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/commands.h"

namespace {

const char kUsageHead[] =
    "Usage: velmira-cli [--drive PATH]... COMMAND [ARGS]\n"
    "       velmira-cli --help | --version\n"
    "\n"
    "Velmira finds deleted and lost files on memory cards, USB sticks, hard disks\n"
    "and disk-image files, and copies them to safety. It never writes to the source.\n"
    "\n"
    "Commands:\n";

const char kUsageTail[] =
    "\n"
    "SOURCE is one of:\n"
    "  PATH                    a disk-image file (or a block device path)\n"
    "  N                       region N of the list 'disks' prints (a volume,\n"
    "                          unallocated space or a whole drive); a file named N\n"
    "                          is taken instead when one exists\n"
    "  disk:N                  physical drive N, counted from 0\n"
    "  disk:N:START:COUNT      COUNT sectors of drive N starting at sector START\n"
    "\n"
    "Drives are the whole-disk block devices of /sys/block in natural name order\n"
    "(sda, sdb, ..., mmcblk0, nvme0n1, vda). VELMIRA_DRIVES=PATH:PATH:... replaces\n"
    "that list.\n"
    "\n"
    "Every command takes --drive PATH (also --drive=PATH, repeatable): PATH, an\n"
    "image file of a whole disk or a device, becomes a drive, and the drives given\n"
    "so replace the list above (and VELMIRA_DRIVES) in their order. The partitions\n"
    "inside an image then show in 'disks' and can be named by their numbers:\n"
    "  velmira-cli disks --drive sdb.img\n"
    "  velmira-cli recover --drive sdb.img 2 --to DIR\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  usage error (unknown command or option, missing or malformed argument)\n"
    "  2  the source does not exist, is a folder, or cannot be opened\n"
    "  3  the source is smaller than 16 KiB or its start cannot be read\n"
    "  4  the command ran and failed\n"
    "  5  cancelled by the user\n";

std::string Usage() {
  std::string text = kUsageHead;
  for (const auto& c : velmira::cli::Commands()) {
    if (c.hidden) continue;
    text += "  ";
    text += c.synopsis;
    text += "\n";
    text += c.help;
  }
  return text + kUsageTail;
}

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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!TakeDriveOptions(args)) return velmira::cli::kExitUsage;
  if (args.empty()) {
    std::fputs(Usage().c_str(), stderr);
    return velmira::cli::kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(Usage().c_str(), stdout);
    return velmira::cli::kExitOk;
  }
  if (command == "--version" || command == "-V") {
    std::printf("velmira-cli %s\n", VELMIRA_VERSION);
    return velmira::cli::kExitOk;
  }
  for (const auto& c : velmira::cli::Commands())
    if (command == c.name) return c.run(args);
  std::fprintf(stderr, "velmira-cli: unknown command '%s' (see velmira-cli --help)\n", command.c_str());
  return velmira::cli::kExitUsage;
}
