#include "cli/help_text.h"

#include <cctype>
#include <sstream>

#include "cli/commands.h"

namespace velmira::cli {

const char kCliSummary[] =
    "Velmira finds deleted and lost files on memory cards, USB sticks, hard disks and disk-image files, "
    "and copies them to safety. It never writes to the source: drives, partitions and image files are "
    "opened read-only.";

std::vector<DocItem> SourceForms() {
  return {
      {"PATH", "a disk-image file (or a block device path such as /dev/sdb1)", kDocCli},
      {"N",
       "region N of the list 'disks' prints (a volume, unallocated space or a whole drive); a file named N "
       "is taken instead when one exists",
       kDocCli},
      {"disk:N",
       "physical drive N, counted from 0: the whole-disk block devices of /sys/block in natural name order "
       "(sda, sdb, ..., mmcblk0, nvme0n1, vda), or the drives --drive or VELMIRA_DRIVES name",
       kDocCli},
      {"disk:N:START:COUNT", "COUNT sectors of drive N starting at sector START", kDocCli},
  };
}

std::vector<DocItem> GlobalOptions() {
  return {
      {"--drive PATH",
       "also --drive=PATH, repeatable, taken by every command: PATH, an image file of a whole disk or a "
       "device, becomes a drive, and the drives given so replace the list of /sys/block (and "
       "VELMIRA_DRIVES) in their order. The partitions inside an image then show in 'disks' and can be "
       "named by their numbers.",
       kDocCli},
      {"--sector-size N",
       "also --sector-size=N, taken by every command: read every drive and image file in sectors of N bytes "
       "(512, 1024, 2048, 4096, ... up to 65536) instead of the size the kernel gives a device or an image "
       "file's partition table or boot sector implies (512 when they tell none). For an image copied from a "
       "drive with 4096-byte sectors whose contents do not tell.",
       kDocCli},
      {"--help", "print this help and exit", kDocCli},
      {"--version", "print the version and exit", kDocCli},
  };
}

std::vector<ExitCodeDoc> ExitCodes() {
  return {
      {kExitOk, "success"},
      {kExitUsage,
       "usage error: unknown command or option, missing or malformed argument, or a target refused before "
       "anything was read (a DIR or OUT on the medium being read, an existing OUT)"},
      {kExitCannotOpen,
       "the source cannot be opened: it does not exist, cannot be opened, or is neither a disk nor an image "
       "file (a folder, a FIFO, a character device such as /dev/zero)"},
      {kExitUnreadable,
       "the source is unreadable as a medium: smaller than 16 KiB, or without one whole sector"},
      {kExitFailed,
       "finished with failures: a scan error, files that could not be recovered, a report or image that "
       "could "
       "not be written"},
      {kExitCancelled,
       "stopped by the user (Ctrl-C, SIGTERM, a closed terminal); a deep scan or an image copy continues "
       "where it stopped when run again"},
      {kExitUnreadSectors,
       "finished, but some sectors of the source could not be read: files in them may be missing or damaged "
       "(the command says how many on stderr)"},
  };
}

std::vector<DocItem> JsonOutputs() {
  return {
      {"disks --json",
       "one document {\"drives\":[DRIVE,...]}; DRIVE is "
       "{\"drive\",\"path\",\"bytes\",\"size\",\"sectorSize\","
       "\"sectors\",\"removable\",\"regions\":[REGION,...]} (or \"error\" and \"message\" instead of the "
       "sizes); "
       "REGION is {\"number\",\"kind\",\"device\",\"start\",\"length\",\"bytes\",\"size\",\"fileSystem\","
       "\"label\",\"mountPoint\",\"removable\",\"partition\",\"usedBytes\",\"freeBytes\"}.",
       kDocCli},
      {"probe --json",
       "one object "
       "{\"source\",\"drive\",\"start\",\"bytes\",\"size\",\"sectorSize\",\"sectors\",\"fileSystem\","
       "\"backupBootSector\",\"headSectors\",\"unreadableHeadSectors\"}.",
       kDocCli},
      {"recover --json",
       "one object per line: with --list {\"path\",\"size\",\"modified\",\"created\",\"contentOk\"} per file "
       "found, else {\"file\",\"error\",\"status\"} per file recovered or failed.",
       kDocCli},
      {"log --json",
       "one document {\"folder\",\"logs\":[LOG,...]}; LOG is "
       "{\"name\",\"records\",\"keys\":[{\"key\",\"depth\","
       "\"id\",\"children\"}],\"folders\":[{\"key\",\"record\",\"name\"}]} (or \"error\" and \"message\").",
       kDocCli},
      {"velmira-report.json",
       "one document "
       "{\"creator\",\"source\":{\"given\",\"path\",\"offset\",\"size\",\"sectorSize\",\"fileSystem\","
       "\"identity\"},\"scan\":{\"date\",\"mode\",\"types\"},\"destination\",\"files\":[FILE,...],"
       "\"summary\"}; "
       "FILE is {\"written\",\"originalPath\",\"name\",\"category\",\"size\",\"modified\",\"created\","
       "\"accessed\",\"foundBy\",\"contentOk\",\"byteRuns\":[{\"offset\",\"length\"}],"
       "\"byteRunsComplete\",\"bytesWritten\",\"sha256\",\"status\",\"error\",\"message\"}. Byte runs count "
       "bytes from the start of the drive or image file \"path\" names; byteRunsComplete is false when some "
       "bytes "
       "were not copied as they lie on the source (zeros of a sparse run, compressed or resident NTFS data). "
       "foundBy is fast, deep or carved; sha256 is taken of the bytes as they were written.",
       kDocCli},
  };
}

std::vector<DocItem> EnvironmentVariables() {
  return {
      {"VELMIRA_DRIVES",
       "PATH:PATH:... replaces the list of drives: each path, a device or an image file of a whole disk, "
       "becomes drive 0, 1, ... in order. Empty items are ignored.",
       kDocBoth},
      {"XDG_DATA_HOME",
       "where the scan logs are kept: $XDG_DATA_HOME/Orvanta/ScanLog/. When it is unset or not an "
       "absolute path, ~/.local/share is used.",
       kDocBoth},
      {"XDG_CONFIG_HOME",
       "where the user's settings are kept: $XDG_CONFIG_HOME/Orvanta/config.ini, else "
       "~/.config/Orvanta/config.ini.",
       kDocGui},
  };
}

std::vector<DocItem> Files() {
  return {
      {"~/.local/share/Orvanta/ScanLog/",
       "the scan logs: what each scan found, in a numbered folder per scan, and the file config, which "
       "remembers every deep scan so that a later deep scan of the same source can continue where it "
       "stopped, or show the results of a finished one again. While it sweeps, a deep scan saves its place "
       "in its folder every few seconds (the files checkpoint and sweep_journal), so that it can also be "
       "continued after a crash or a power cut; a scan holds its folder locked (the file lock). Nothing "
       "here is needed once the files are recovered: removing a numbered folder removes "
       "that scan's results, removing ScanLog/ removes them all. $XDG_DATA_HOME replaces ~/.local/share.",
       kDocBoth},
      {"/usr/share/velmira/config.ini",
       "the desktop program's settings: the languages offered (section [Languages]) and the one chosen. "
       "The folder is share/velmira under the installation prefix; a copy of the program with a "
       "Languages/ folder beside it uses its own folder instead.",
       kDocGui},
      {"~/.config/Orvanta/config.ini",
       "the user's settings, written when the program's config.ini cannot be written, and read first "
       "when it holds a section. $XDG_CONFIG_HOME replaces ~/.config.",
       kDocGui},
      {"/usr/share/velmira/Languages/",
       "one file per language (English.ini, German.ini). A language is one file here plus one line in "
       "the section [Languages] of config.ini.",
       kDocGui},
  };
}

std::vector<ExampleDoc> Examples() {
  return {
      {"A formatted memory card",
       "Stop using the card. Find its number in the list of regions, look at what the deep scan (the "
       "default) finds, then copy the files onto another disk. The deep scan sweeps the card's free "
       "space, or all of it when no file system is found: it rebuilds the folders of a quick-formatted "
       "card and finds photos and videos by their content.",
       "velmira-cli disks\n"
       "velmira-cli recover 3 --list\n"
       "velmira-cli recover 3 --to ~/rescued-card"},
      {"A deleted folder on a USB stick",
       "Unmount the stick so that nothing writes to it. The fast scan reads the file system's own records "
       "and finds deleted folders with their names and dates in seconds; recover only the kinds of files "
       "needed.",
       "umount /dev/sdb1\n"
       "velmira-cli recover /dev/sdb1 --fast --list\n"
       "velmira-cli recover /dev/sdb1 --fast --to ~/rescued-stick --types jpg,docx,pdf"},
      {"A disk image",
       "Copy a failing card once into an image file on another disk, then scan the copy as often as "
       "needed. An image of a whole disk is given as a drive so that its partitions can be named by "
       "their numbers.",
       "velmira-cli image disk:1 ~/card.img\n"
       "velmira-cli probe ~/card.img\n"
       "velmira-cli disks --drive ~/card.img\n"
       "velmira-cli recover --drive ~/card.img 1 --to ~/rescued"},
  };
}

std::string WrapText(const std::string& text, size_t indent, size_t width) {
  std::istringstream words(text);
  std::string word, line, out;
  const std::string pad(indent, ' ');
  while (words >> word) {
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      out += pad + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty()) out += pad + line + "\n";
  return out;
}

std::string UnwrapHelp(const char* help) {
  std::istringstream words(help != nullptr ? help : "");
  std::string word, out;
  while (words >> word) out += (out.empty() ? "" : " ") + word;
  return out;
}

SynopsisParts ParseSynopsis(const std::string& synopsis) {
  std::vector<std::string> tokens;
  // "[--continue|--restart]" reads as "[--continue | --restart]".
  std::string spaced;
  for (char c : synopsis) spaced += c == '|' ? std::string(" | ") : std::string(1, c);
  std::istringstream in(spaced);
  for (std::string t; in >> t;) tokens.push_back(t);
  auto core = [](const std::string& t) {
    size_t b = t.find_first_not_of('[');
    if (b == std::string::npos) return std::string();
    size_t e = t.find_last_not_of(']');
    return t.substr(b, e - b + 1);
  };
  SynopsisParts parts;
  for (size_t i = 1; i < tokens.size(); ++i) {
    const std::string word = core(tokens[i]);
    if (word.empty() || word == "|") continue;
    if (word[0] != '-') {
      parts.positionals.push_back(word);
      continue;
    }
    SynopsisOption option{word, ""};
    const bool closed = tokens[i].back() == ']';
    if (!closed && i + 1 < tokens.size() && tokens[i + 1][0] != '[') {
      const std::string next = core(tokens[i + 1]);
      if (!next.empty() && next[0] != '-' && next != "|") {
        option.value = next;
        ++i;
      }
    }
    parts.options.push_back(option);
  }
  return parts;
}

namespace {

std::string TermList(const std::vector<DocItem>& items, int program, size_t column) {
  std::string out;
  for (const DocItem& item : items) {
    if ((item.programs & program) == 0) continue;
    std::string head = std::string("  ") + item.term;
    std::string body = WrapText(item.text, column);
    if (head.size() + 2 <= column)
      out += head + body.substr(head.size());
    else
      out += head + "\n" + body;
  }
  return out;
}

}  // namespace

std::string UsageText() {
  std::string text =
      "Usage: velmira-cli [--drive PATH]... [--sector-size N] COMMAND [ARGS]\n"
      "       velmira-cli --help | --version\n\n";
  text += WrapText(kCliSummary, 0) + "\nCommands:\n";
  for (const CliCommand& c : VisibleCommands()) {
    text += std::string("  ") + c.synopsis + "\n";
    text += c.help;
  }
  text += "\nSOURCE is one of:\n" + TermList(SourceForms(), kDocCli, 26);
  text += "\nOptions:\n" + TermList(GlobalOptions(), kDocCli, 26);
  text +=
      "  For example:\n"
      "    velmira-cli disks --drive sdb.img\n"
      "    velmira-cli recover --drive sdb.img 2 --to DIR\n";
  text += "\nEnvironment:\n" + TermList(EnvironmentVariables(), kDocCli, 26);
  text += "\nFiles:\n" + TermList(Files(), kDocCli, 26);
  text += "\nExit codes:\n" + ExitCodeList();
  text += "\nMore in the manual page velmira-cli(1), with examples.\n";
  return text;
}

std::string ExitCodeList() {
  std::string text;
  for (const ExitCodeDoc& e : ExitCodes()) {
    const std::string body = WrapText(e.text, 5);
    text += "  " + std::to_string(e.code) + "  " + body.substr(5);
  }
  return text;
}

std::string CommandHelpText(const CliCommand& command) {
  std::string text =
      std::string("Usage: velmira-cli [--drive PATH]... [--sector-size N] ") + command.synopsis + "\n\n";
  text += WrapText(UnwrapHelp(command.help), 2);
  const SynopsisParts parts = ParseSynopsis(command.synopsis);
  if (!parts.positionals.empty()) {
    text += "\nArguments:\n";
    for (const std::string& p : parts.positionals) text += "  " + p + "\n";
    for (const std::string& p : parts.positionals)
      if (p == "SOURCE") {
        text += "\nSOURCE is one of:\n" + TermList(SourceForms(), kDocCli, 26);
        break;
      }
  }
  if (!parts.options.empty()) {
    text += "\nOptions:\n";
    for (const SynopsisOption& o : parts.options)
      text += "  " + o.name + (o.value.empty() ? "" : " " + o.value) + "\n";
  }
  text += "\nOptions of every command:\n" + TermList(GlobalOptions(), kDocCli, 26);
  text += "\nExit codes:\n" + ExitCodeList();
  return text;
}

}  // namespace velmira::cli
